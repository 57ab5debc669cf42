// The command line: the defaults, the option loop, the rules every command shares; each command's
// own rules come from its CommandSpec.
#include "checker/base/base.h"

#include <errno.h>
#include <float.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

// ---- The options: each declared once, in the table below, with how its value is read and checked,
// where it goes and its default. A new option is its Option and its CheckerOptions field (base.h),
// its row here, and its bit in the CommandSpec of each command that takes it.

// --rates: "all", or rates in Hz above 0, comma-separated: finite, as --rate takes them.
static bool ratesValid(const char *text)
{
    if (strcmp(text, "all") == 0)
        return true;
    for (const char *at = text;;) {
        char *end = nullptr;
        double rate = strtod(at, &end);
        if (end == at || !(rate > 0) || !isfinite(rate) || (*end != ',' && *end != '\0'))
            return false;
        if (*end == '\0')
            return true;
        at = end + 1;
    }
}

// --outs and --ins: their syntax here, their channels against the driver's in the command.
static bool channelListValid(const char *text)
{
    long channels[MAX_ROUTE_CHANNELS];
    return parseChannelList(text, channels) >= 1;
}

// --map: "same", which the command expands, or output:input pairs.
static bool routeMapValid(const char *text)
{
    long outs[MAX_ROUTE_CHANNELS], ins[MAX_ROUTE_CHANNELS];
    return strcmp(text, "same") == 0 || parseRouteMap(text, outs, ins) >= 1;
}

static bool hostSupportsValid(const char *text)
{
    unsigned long selectors;
    return parseHostSupports(text, &selectors);
}

// --on-reset: one of the policies by name.
static bool resetPolicyValid(const char *text)
{
    return strcmp(text, "follow") == 0 || strcmp(text, "stop") == 0 || strcmp(text, "ignore") == 0;
}

const char *resetPolicyName(int policy)
{
    return policy == RESET_STOP ? "stop" : policy == RESET_IGNORE ? "ignore" : "follow";
}

ResetPolicy resetPolicy(const CheckerOptions &options)
{
    const char *text = options.onReset ? options.onReset : "follow";
    return strcmp(text, "stop") == 0 ? RESET_STOP : strcmp(text, "ignore") == 0 ? RESET_IGNORE
                                                                                  : RESET_FOLLOW;
}

// The worker's --ending: one of the ways a cycles worker's last cycle ends.
static bool endingValid(const char *text)
{
    return strcmp(text, "clean") == 0 || strcmp(text, "kill") == 0 || strcmp(text, "release") == 0 ||
           strcmp(text, "second") == 0;
}

static bool fileNameValid(const char *text)
{
    return *text != '\0';
}

// How an option's value is read.
enum OptionKind {
    KIND_FLAG,   // no value: sets its flag
    KIND_REAL,   // a finite number within the bounds
    KIND_WHOLE,  // a whole number within the bounds
    KIND_TEXT,   // a text, checked by `valid` where it has one
};

struct OptionRule {
    Option option;
    const char *name;        // as typed: "--seconds"
    const char *argument;    // its value as the usage texts name it: "S"; null for a flag
    OptionKind kind;
    double low, high;        // a number's bounds, both in, but low itself out when `aboveLow`
    bool aboveLow;
    bool (*valid)(const char *text);  // a text's check; null: any (the command checks it)
    const char *wanted;      // what a bad value lacks: "bad value for --seconds: "x" (<wanted>)"
    const char *help;        // its line in the general help; null: only in its commands' usage
    // Where the value goes, the field of its kind; a number's value when it is not given.
    bool CheckerOptions::*flag;
    double CheckerOptions::*real;
    long CheckerOptions::*whole;
    const char *CheckerOptions::*text;
    double byDefault;
};

enum { ABOVE = true, FROM = false };

static constexpr OptionRule flagOption(Option option, const char *name, bool CheckerOptions::*field,
                                       const char *help = nullptr)
{
    return {option, name, nullptr, KIND_FLAG, 0, 0, false, nullptr, nullptr, help, field, nullptr,
            nullptr, nullptr, 0};
}

static constexpr OptionRule realOption(Option option, const char *name, const char *argument,
                                       bool aboveLow, double low, double high, const char *wanted,
                                       double CheckerOptions::*field, double byDefault,
                                       const char *help = nullptr)
{
    return {option, name, argument, KIND_REAL, low, high, aboveLow, nullptr, wanted, help, nullptr,
            field, nullptr, nullptr, byDefault};
}

static constexpr OptionRule wholeOption(Option option, const char *name, const char *argument,
                                        long low, long high, const char *wanted,
                                        long CheckerOptions::*field, long byDefault)
{
    return {option, name, argument, KIND_WHOLE, double(low), double(high), false, nullptr, wanted,
            nullptr, nullptr, nullptr, field, nullptr, double(byDefault)};
}

static constexpr OptionRule textOption(Option option, const char *name, const char *argument,
                                       bool (*valid)(const char *), const char *wanted,
                                       const char *CheckerOptions::*field)
{
    return {option, name, argument, KIND_TEXT, 0, 0, false, valid, wanted, nullptr, nullptr, nullptr,
            nullptr, field, 0};
}

static constexpr OptionRule optionRules[] = {
    realOption(OPTION_SECONDS, "--seconds", "S", ABOVE, 0, 86400, "seconds above 0, at most 86400",
               &CheckerOptions::seconds, 10),
    wholeOption(OPTION_BUFFER, "--buffer", "N", 1, LONG_MAX, "a buffer size in frames above 0",
                &CheckerOptions::bufferSize, 0),
    realOption(OPTION_RATE, "--rate", "R", ABOVE, 0, DBL_MAX, "a sample rate in Hz above 0",
               &CheckerOptions::rate, 0),
    wholeOption(OPTION_MAX_LATE, "--max-late", "N", 0, LONG_MAX, "a count of late switches, 0 or more",
                &CheckerOptions::maxLate, -1),
    realOption(OPTION_MIN_SWITCH_RATIO, "--min-switch-ratio", "R", ABOVE, 0, 10,
               "a ratio above 0, at most 10, such as 0.99", &CheckerOptions::minSwitchRatio, 0),
    wholeOption(OPTION_OUT, "--out", "O", 0, LONG_MAX, "a channel number, 0 or more",
                &CheckerOptions::outChannel, -1),
    wholeOption(OPTION_IN, "--in", "I", 0, LONG_MAX, "a channel number, 0 or more",
                &CheckerOptions::inChannel, -1),
    wholeOption(OPTION_PINGS, "--pings", "N", 1, MAX_PINGS, "a count of pings from 1 to 1000",
                &CheckerOptions::pings, 5),
    realOption(OPTION_CALL_TIMEOUT, "--call-timeout", "S", FROM, 0.1, 86400,
               "seconds from 0.1 to 86400", &CheckerOptions::callTimeout, 10,
               "seconds a driver call may take (10); the run is not a call"),
    flagOption(OPTION_IN_PROCESS, "--in-process", &CheckerOptions::inProcess,
               "no worker: the driver runs in this process (for a debugger)"),
    flagOption(OPTION_PROBE, "--probe", &CheckerOptions::probe),
    flagOption(OPTION_TIME_INFO, "--time-info", &CheckerOptions::timeInfo),
    flagOption(OPTION_LIST_CHECKS, "--list-checks", &CheckerOptions::listChecks),
    textOption(OPTION_ONLY, "--only", "LIST", nullptr, nullptr, &CheckerOptions::only),
    textOption(OPTION_SKIP, "--skip", "LIST", nullptr, nullptr, &CheckerOptions::skip),
    flagOption(OPTION_STRICT, "--strict", &CheckerOptions::strict),
    wholeOption(OPTION_REPEAT, "--repeat", "N", 1, MAX_REPEAT, "a count of repetitions from 1 to 100",
                &CheckerOptions::repeat, 1),
    textOption(OPTION_JUNIT, "--junit", "FILE", fileNameValid, "a file name",
               &CheckerOptions::junitFile),
    flagOption(OPTION_SWEEP, "--sweep", &CheckerOptions::sweep),
    textOption(OPTION_RATES, "--rates", "R1,R2,...|all", ratesValid,
               "\"all\" or rates in Hz, comma-separated", &CheckerOptions::rates),
    realOption(OPTION_TOLERANCE, "--tolerance", "F", FROM, 0, DBL_MAX, "frames, 0 or more",
               &CheckerOptions::tolerance, -1),
    textOption(OPTION_REPORT_FILE, "-o", "FILE", fileNameValid, "a file name",
               &CheckerOptions::reportFile),
    flagOption(OPTION_ALL, "--all", &CheckerOptions::all),
    textOption(OPTION_OUTS, "--outs", "LIST", channelListValid,
               "channels and ranges such as 0,1,4-7, each once, 0 to 127", &CheckerOptions::outs),
    textOption(OPTION_INS, "--ins", "LIST", channelListValid,
               "channels and ranges such as 0,1,4-7, each once, 0 to 127", &CheckerOptions::ins),
    textOption(OPTION_MAP, "--map", "same|O:I,...", routeMapValid,
               "\"same\" or output:input pairs, comma-separated, each input once, channels 0 to 127",
               &CheckerOptions::map),
    realOption(OPTION_MAX_SKEW, "--max-skew", "F", FROM, 0, DBL_MAX, "frames, 0 or more",
               &CheckerOptions::maxSkew, -1),
    textOption(OPTION_HOST_SUPPORTS, "--host-supports", "all|none|LIST", hostSupportsValid,
               "\"all\", \"none\" or selectors 1 to 15 by number or name (reset, buffer-size, "
               "resync, latencies, time-info, overload, engine-version...), comma-separated",
               &CheckerOptions::hostSupports),
    // What a host does with the driver's requests.
    textOption(OPTION_ON_RESET, "--on-reset", "follow|stop|ignore", resetPolicyValid,
               "\"follow\", \"stop\" or \"ignore\"", &CheckerOptions::onReset),
    // The device made to go while it streams, and brought back.
    textOption(OPTION_GONE_COMMAND, "--gone-command", "CMD", fileNameValid, "a command line",
               &CheckerOptions::goneCommand),
    textOption(OPTION_BACK_COMMAND, "--back-command", "CMD", fileNameValid, "a command line",
               &CheckerOptions::backCommand),
    realOption(OPTION_GONE_STEP, "--gone-step", "S", ABOVE, 0, 3600, "seconds above 0, at most 3600",
               &CheckerOptions::goneStep, 0),
    realOption(OPTION_BACK_SECONDS, "--back-seconds", "S", ABOVE, 0, 86400,
               "seconds above 0, at most 86400", &CheckerOptions::backSeconds, 30),
    realOption(OPTION_PANEL_STEP, "--panel-step", "S", ABOVE, 0, 3600, "seconds above 0, at most 3600",
               &CheckerOptions::panelStep, 0),
    // compare's files besides its documents.
    textOption(OPTION_MARKDOWN, "--markdown", "FILE", fileNameValid, "a file name",
               &CheckerOptions::markdownFile),
    textOption(OPTION_WAIVERS, "--waivers", "FILE", fileNameValid, "a file name",
               &CheckerOptions::waiversFile),
    // One long stream.
    realOption(OPTION_HOURS, "--hours", "H", ABOVE, 0, 1000, "hours above 0, at most 1000",
               &CheckerOptions::hours, 0),
    realOption(OPTION_MINUTES, "--minutes", "M", ABOVE, 0, 60000, "minutes above 0, at most 60000",
               &CheckerOptions::minutes, 0),
    realOption(OPTION_MAX_PPM, "--max-ppm", "P", ABOVE, 0, 1e6, "ppm above 0, at most 1000000",
               &CheckerOptions::maxPpm, 200),
    realOption(OPTION_MAX_TREND, "--max-trend", "P", ABOVE, 0, 1e6,
               "ppm per hour above 0, at most 1000000", &CheckerOptions::maxTrend, 20),
    wholeOption(OPTION_MAX_GLITCHES, "--max-glitches", "N", 0, LONG_MAX, "a count of glitches, 0 or more",
                &CheckerOptions::maxGlitches, -1),
    flagOption(OPTION_UNTIL_GLITCH, "--until-glitch", &CheckerOptions::untilGlitch),
    textOption(OPTION_LOG, "--log", "FILE", fileNameValid, "a file name", &CheckerOptions::logFile),
    realOption(OPTION_CHECKPOINT_SECONDS, "--checkpoint-seconds", "S", FROM, 0.1, 86400,
               "seconds from 0.1 to 86400", &CheckerOptions::checkpointSeconds, 60),
    // Opening and closing the driver over and over.
    wholeOption(OPTION_CYCLES, "--count", "N", 1, MAX_CYCLES, "a count of cycles from 1 to 100",
                &CheckerOptions::cycles, 8),
    wholeOption(OPTION_FRESH_EVERY, "--fresh-every", "K", 1, MAX_CYCLES, "a count of cycles from 1 to 100",
                &CheckerOptions::freshEvery, 4),
    flagOption(OPTION_NO_DIRTY, "--no-dirty", &CheckerOptions::noDirty),
    wholeOption(OPTION_FIRST_CYCLE, "--first-cycle", "N", 1, 2 * MAX_CYCLES, "a cycle number",
                &CheckerOptions::firstCycle, 1),
    textOption(OPTION_ENDING, "--ending", "clean|kill|release|second", endingValid,
               "\"clean\", \"kill\", \"release\" or \"second\"", &CheckerOptions::ending),
};

// Row k is option k, so that an option is found by its number.
static constexpr bool rowsInOrder()
{
    for (int k = 0; k < OPTION_COUNT; k++) {
        if (optionRules[k].option != k)
            return false;
    }
    return true;
}
static_assert(sizeof optionRules / sizeof optionRules[0] == OPTION_COUNT && rowsInOrder(),
              "optionRules: a row for every Option, in the enum's order");

const char *optionName(Option option)
{
    return option >= 0 && option < OPTION_COUNT ? optionRules[option].name : "";
}

void printSharedOptions()
{
    for (const OptionRule &rule : optionRules) {
        if (!rule.help)
            continue;
        char usage[64];
        snprintf(usage, sizeof usage, "%s%s%s", rule.name, rule.argument ? " " : "",
                 rule.argument ? rule.argument : "");
        printf("  %-22s %s\n", usage, rule.help);
    }
}

static const CommandSpec *const *commandTable = nullptr;
static int commandCount = 0;

void useCommands(const CommandSpec *const *commands, int count)
{
    commandTable = commands;
    commandCount = count;
}

const CommandSpec *const *programCommands(int *count)
{
    *count = commandCount;
    return commandTable;
}

const char *commandName(const CommandSpec *command)
{
    return command ? command->name : "";
}

static const CommandSpec *commandNamed(const char *text, bool hiddenToo)
{
    for (int k = 0; k < commandCount; k++) {
        const CommandSpec *c = commandTable[k];
        if ((hiddenToo || !c->hidden) && strcmp(text, c->name) == 0)
            return c;
    }
    return nullptr;
}

const CommandSpec *findCommand(const char *name)
{
    return commandNamed(name, true);
}

// "list, info, run, latency, conform, integrity and report".
static std::string commandList()
{
    std::string list;
    int shown = 0, total = 0;
    for (int k = 0; k < commandCount; k++)
        total += !commandTable[k]->hidden;
    for (int k = 0; k < commandCount; k++) {
        if (commandTable[k]->hidden)
            continue;
        if (shown++)
            list += shown == total ? " and " : ", ";
        list += commandTable[k]->name;
    }
    return list;
}

static bool parseNumber(const char *text, double *value)
{
    char *end = nullptr;
    errno = 0;
    *value = strtod(text, &end);
    return *text && *end == '\0' && errno == 0 && isfinite(*value);
}

static bool parseWhole(const char *text, long *value)
{
    char *end = nullptr;
    errno = 0;
    *value = strtol(text, &end, 10);
    return *text && *end == '\0' && errno == 0;
}

static bool withinBounds(const OptionRule &rule, double value)
{
    return (rule.aboveLow ? value > rule.low : value >= rule.low) && value <= rule.high;
}

// The option's value (null for a flag) checked and put in its field. EXIT_FINE, or EXIT_USAGE with
// the reason.
static int takeValue(const OptionRule &rule, const char *text, CheckerOptions *o)
{
    double number = 0;
    long whole = 0;
    bool good = true;
    switch (rule.kind) {
    case KIND_FLAG:
        o->*rule.flag = true;
        break;
    case KIND_REAL:
        good = parseNumber(text, &number) && withinBounds(rule, number);
        if (good)
            o->*rule.real = number;
        break;
    case KIND_WHOLE:
        good = parseWhole(text, &whole) && withinBounds(rule, whole);
        if (good)
            o->*rule.whole = whole;
        break;
    case KIND_TEXT:
        good = !rule.valid || rule.valid(text);
        if (good)
            o->*rule.text = text;
        break;
    }
    if (!good)
        return fail(EXIT_USAGE, "bad value for %s: \"%s\" (%s)", rule.name, text, rule.wanted);
    return EXIT_FINE;
}

static void setDefaults(int argc, char **argv, CheckerOptions *o)
{
    memset(o, 0, sizeof *o);
    for (const OptionRule &rule : optionRules) {
        if (rule.kind == KIND_REAL)
            o->*rule.real = rule.byDefault;
        else if (rule.kind == KIND_WHOLE)
            o->*rule.whole = static_cast<long>(rule.byDefault);
    }
    // Known before anything can fail, so that a failure still gives its JSON document.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0)
            o->json = true;
    }
}

// What the loop gathered besides the options' values.
struct ArgumentWords {
    const char *positional[3];
    int positionals;
    const char *unexpected;  // a fourth word that is not an option
    const char *unknown;     // the first unknown option
    ArgumentFacts facts;
};

static int findOption(const char *argument, size_t nameLength)
{
    int option = 0;
    while (option < OPTION_COUNT && (strlen(optionRules[option].name) != nameLength ||
                                     strncmp(optionRules[option].name, argument, nameLength) != 0))
        option++;
    return option;
}

// --name VALUE, --name=VALUE, a flag, or a word. EXIT_FINE or EXIT_USAGE; *i moves past a value.
static int readArgument(int argc, char **argv, int *i, CheckerOptions *o, ArgumentWords *w)
{
    const char *argument = argv[*i];
    if (strcmp(argument, "-o") != 0 && (strncmp(argument, "--", 2) != 0 || argument[2] == '\0')) {
        if (w->positionals < 3)
            w->positional[w->positionals++] = argument;
        else if (!w->unexpected)
            w->unexpected = argument;
        return EXIT_FINE;
    }
    if (strcmp(argument, "--json") == 0) {
        o->json = true;
        return EXIT_FINE;
    }
    if (strcmp(argument, "--help") == 0) {
        o->help = true;
        return EXIT_FINE;
    }
    if (strcmp(argument, "--version") == 0) {
        o->version = true;
        return EXIT_FINE;
    }
    const char *equals = strchr(argument, '=');
    int option = findOption(argument, equals ? static_cast<size_t>(equals - argument) : strlen(argument));
    if (option == OPTION_COUNT) {
        if (!w->unknown)
            w->unknown = argument;
        return EXIT_FINE;
    }
    const char *value = nullptr;
    if (optionRules[option].kind == KIND_FLAG) {
        if (equals)
            return fail(EXIT_USAGE, "%s takes no value", optionRules[option].name);
    } else {
        value = equals ? equals + 1 : (*i + 1 < argc ? argv[++*i] : nullptr);
        if (!value)
            return fail(EXIT_USAGE, "%s needs a value", optionRules[option].name);
    }
    if (o->help || o->version)
        return EXIT_FINE;
    int result = takeValue(optionRules[option], value, o);
    if (result == EXIT_FINE)
        w->facts.given[option] = true;
    return result;
}

// The rules every command shares: a known command, known options, only the options it takes.
static int commonRules(const ArgumentWords &w, const CheckerOptions &o)
{
    std::string commands = commandList();
    if (!w.positional[0]) {
        return fail(EXIT_USAGE, "no command; the commands are %s (quorvelcheck --help)",
                    commands.c_str());
    }
    if (!o.command) {
        return fail(EXIT_USAGE, "unknown command \"%s\"; the commands are %s", w.positional[0],
                    commands.c_str());
    }
    const char *name = o.command->name;
    if (w.unknown)
        return fail(EXIT_USAGE, "unknown option %s (quorvelcheck %s --help)", w.unknown, name);
    if (w.positional[2] && !o.command->secondWord)
        return fail(EXIT_USAGE, "unexpected argument \"%s\"", w.positional[2]);
    if (w.unexpected)
        return fail(EXIT_USAGE, "unexpected argument \"%s\"", w.unexpected);
    for (int option = 0; option < OPTION_COUNT; option++) {
        if (w.facts.given[option] && !(o.command->options & OPTION_BIT(option))) {
            return fail(EXIT_USAGE, "%s does not take %s (quorvelcheck %s --help)", name,
                        optionRules[option].name, name);
        }
    }
    return EXIT_FINE;
}

int parseArguments(int argc, char **argv, CheckerOptions *o, bool hiddenToo)
{
    setDefaults(argc, argv, o);
    ArgumentWords words = {};
    for (int i = 1; i < argc; i++) {
        int result = readArgument(argc, argv, &i, o, &words);
        if (result != EXIT_FINE)
            return result;
    }
    if (words.positional[0])
        o->command = commandNamed(words.positional[0], hiddenToo);
    // Help and version answer whatever else stands on the line.
    if (o->help || o->version)
        return EXIT_FINE;
    int code = commonRules(words, *o);
    if (code != EXIT_FINE)
        return code;
    words.facts.driver = words.positional[1];
    words.facts.second = words.positional[2];
    return o->command->rules ? o->command->rules(o, words.facts) : EXIT_FINE;
}

int requireDriver(CheckerOptions *o, const ArgumentFacts &facts)
{
    o->driver = facts.driver;
    if (!o->driver) {
        return fail(EXIT_USAGE, "%s needs a DRIVER: an index or part of a name, as "
                                "\"quorvelcheck list\" shows them", commandName(o->command));
    }
    return EXIT_FINE;
}
