// The command line: the defaults, the option loop, the rules every command shares; each command's
// own rules come from its CommandSpec.
#include "checker/base/base.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

struct OptionRule {
    const char *name;
    bool flag;  // takes no value
};

static const OptionRule optionRules[OPTION_COUNT] = {
    {"--seconds", false},       {"--buffer", false},     {"--rate", false},
    {"--max-late", false},      {"--min-switch-ratio", false},
    {"--out", false},           {"--in", false},         {"--pings", false},
    {"--call-timeout", false},  {"--in-process", true},  {"--probe", true},
    {"--time-info", true},      {"--list-checks", true}, {"--only", false},
    {"--skip", false},          {"--strict", true},      {"--repeat", false},
    {"--junit", false},         {"--sweep", true},       {"--rates", false},
    {"--tolerance", false},     {"-o", false},           {"--all", true},
    {"--outs", false},          {"--ins", false},        {"--map", false},
    {"--max-skew", false},
};

const char *optionName(Option option)
{
    return option >= 0 && option < OPTION_COUNT ? optionRules[option].name : "";
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

static int badValue(const char *option, const char *text, const char *wanted)
{
    return fail(EXIT_USAGE, "bad value for %s: \"%s\" (%s)", option, text, wanted);
}

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

// The options that take a real number.
static int takeReal(Option option, const char *text, CheckerOptions *o)
{
    const char *name = optionRules[option].name;
    double number = 0;
    switch (option) {
    case OPTION_SECONDS:
        if (!parseNumber(text, &number) || number <= 0 || number > 86400)
            return badValue(name, text, "seconds above 0, at most 86400");
        o->seconds = number;
        break;
    case OPTION_RATE:
        if (!parseNumber(text, &number) || number <= 0)
            return badValue(name, text, "a sample rate in Hz above 0");
        o->rate = number;
        break;
    case OPTION_MIN_SWITCH_RATIO:
        if (!parseNumber(text, &number) || number <= 0 || number > 10)
            return badValue(name, text, "a ratio above 0, at most 10, such as 0.99");
        o->minSwitchRatio = number;
        break;
    case OPTION_CALL_TIMEOUT:
        if (!parseNumber(text, &number) || number < 0.1 || number > 86400)
            return badValue(name, text, "seconds from 0.1 to 86400");
        o->callTimeout = number;
        break;
    case OPTION_TOLERANCE:
    case OPTION_MAX_SKEW:
        if (!parseNumber(text, &number) || number < 0)
            return badValue(name, text, "frames, 0 or more");
        (option == OPTION_TOLERANCE ? o->tolerance : o->maxSkew) = number;
        break;
    default:
        break;
    }
    return EXIT_FINE;
}

// The options that take a whole number.
static int takeWhole(Option option, const char *text, CheckerOptions *o)
{
    const char *name = optionRules[option].name;
    long whole = 0;
    switch (option) {
    case OPTION_BUFFER:
        if (!parseWhole(text, &whole) || whole <= 0)
            return badValue(name, text, "a buffer size in frames above 0");
        o->bufferSize = whole;
        break;
    case OPTION_MAX_LATE:
        if (!parseWhole(text, &whole) || whole < 0)
            return badValue(name, text, "a count of late switches, 0 or more");
        o->maxLate = whole;
        break;
    case OPTION_OUT:
    case OPTION_IN:
        if (!parseWhole(text, &whole) || whole < 0)
            return badValue(name, text, "a channel number, 0 or more");
        (option == OPTION_OUT ? o->outChannel : o->inChannel) = whole;
        break;
    case OPTION_PINGS:
        if (!parseWhole(text, &whole) || whole < 1 || whole > MAX_PINGS)
            return badValue(name, text, "a count of pings from 1 to 1000");
        o->pings = whole;
        o->pingsGiven = true;
        break;
    case OPTION_REPEAT:
        if (!parseWhole(text, &whole) || whole < 1 || whole > MAX_REPEAT)
            return badValue(name, text, "a count of repetitions from 1 to 100");
        o->repeat = whole;
        o->repeatGiven = true;
        break;
    default:
        return takeReal(option, text, o);
    }
    return EXIT_FINE;
}

// --outs, --ins and --map: their syntax here, their channels against the driver's in the command.
static int takeChannelOption(Option option, const char *text, CheckerOptions *o)
{
    long outs[MAX_ROUTE_CHANNELS], ins[MAX_ROUTE_CHANNELS];
    const char *name = optionRules[option].name;
    if (option == OPTION_MAP) {
        if (strcmp(text, "same") != 0 && parseRouteMap(text, outs, ins) < 1)
            return badValue(name, text, "\"same\" or output:input pairs, comma-separated, each input "
                            "once, channels 0 to 127");
        o->map = text;
        return EXIT_FINE;
    }
    if (parseChannelList(text, outs) < 1)
        return badValue(name, text, "channels and ranges such as 0,1,4-7, each once, 0 to 127");
    (option == OPTION_OUTS ? o->outs : o->ins) = text;
    return EXIT_FINE;
}

// Flags and the options that take a text.
static int takeValue(Option option, const char *text, CheckerOptions *o)
{
    const char *name = optionRules[option].name;
    switch (option) {
    case OPTION_IN_PROCESS: o->inProcess = true; break;
    case OPTION_PROBE: o->probe = true; break;
    case OPTION_TIME_INFO: o->timeInfo = true; break;
    case OPTION_LIST_CHECKS: o->listChecks = true; break;
    case OPTION_STRICT: o->strict = true; break;
    case OPTION_SWEEP: o->sweep = true; break;
    case OPTION_ALL: o->all = true; break;
    // Their entries are checked by the command that takes them (its rules).
    case OPTION_ONLY: o->only = text; break;
    case OPTION_SKIP: o->skip = text; break;
    case OPTION_RATES:
        if (!ratesValid(text))
            return badValue(name, text, "\"all\" or rates in Hz, comma-separated");
        o->rates = text;
        break;
    case OPTION_OUTS:
    case OPTION_INS:
    case OPTION_MAP:
        return takeChannelOption(option, text, o);
    case OPTION_JUNIT:
    case OPTION_REPORT_FILE:
        if (!*text)
            return badValue(name, text, "a file name");
        (option == OPTION_JUNIT ? o->junitFile : o->reportFile) = text;
        break;
    default:
        return takeWhole(option, text, o);
    }
    return EXIT_FINE;
}

static void setDefaults(int argc, char **argv, CheckerOptions *o)
{
    memset(o, 0, sizeof *o);
    o->seconds = 10;
    o->maxLate = -1;
    o->outChannel = -1;
    o->inChannel = -1;
    o->pings = 5;
    o->callTimeout = 10;
    o->repeat = 1;
    o->tolerance = -1;
    o->maxSkew = -1;
    // Known before anything can fail, so that a failure still gives its JSON document.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0)
            o->json = true;
    }
}

// What the loop gathered besides the options' values.
struct ArgumentWords {
    const char *positional[2];
    int positionals;
    const char *unexpected;  // a third word that is not an option
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
        if (w->positionals < 2)
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
    if (optionRules[option].flag) {
        if (equals)
            return fail(EXIT_USAGE, "%s takes no value", optionRules[option].name);
    } else {
        value = equals ? equals + 1 : (*i + 1 < argc ? argv[++*i] : nullptr);
        if (!value)
            return fail(EXIT_USAGE, "%s needs a value", optionRules[option].name);
    }
    if (o->help || o->version)
        return EXIT_FINE;
    int result = takeValue(static_cast<Option>(option), value, o);
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
