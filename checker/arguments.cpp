#include "checker/checker.h"

#include "checker/conform.h"
#include "checker/json_writer.h"
#include "checker/output.h"
#include "checker/ping.h"
#include "checker/results.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef QUORVEL_VERSION_TEXT
#define QUORVEL_VERSION_TEXT "unknown"
#endif

// Options that take a value, and the commands that accept each.
// Options, and the commands that accept each (flags take no value).
enum Option {
    OPTION_SECONDS, OPTION_BUFFER, OPTION_RATE, OPTION_MAX_LATE, OPTION_MIN_SWITCH_RATIO,
    OPTION_OUT, OPTION_IN, OPTION_PINGS, OPTION_CALL_TIMEOUT, OPTION_IN_PROCESS, OPTION_PROBE,
    OPTION_TIME_INFO, OPTION_LIST_CHECKS, OPTION_ONLY, OPTION_SKIP, OPTION_STRICT, OPTION_REPEAT,
    OPTION_JUNIT, OPTION_SWEEP, OPTION_RATES, OPTION_TOLERANCE, OPTION_REPORT_FILE, OPTION_COUNT
};

enum {
    FOR_LIST = 1 << COMMAND_LIST,
    FOR_INFO = 1 << COMMAND_INFO,
    FOR_RUN = 1 << COMMAND_RUN,
    FOR_LATENCY = 1 << COMMAND_LATENCY,
    FOR_CONFORM = 1 << COMMAND_CONFORM,
    FOR_INTEGRITY = 1 << COMMAND_INTEGRITY,
    FOR_REPORT = 1 << COMMAND_REPORT,
    FOR_PROBE = 1 << COMMAND_PROBE,
    FOR_DRIVER = FOR_INFO | FOR_RUN | FOR_LATENCY | FOR_CONFORM | FOR_INTEGRITY | FOR_REPORT |
                 FOR_PROBE,
};

struct OptionRule {
    const char *name;
    int commands;
    bool flag;
};

static const OptionRule optionRules[OPTION_COUNT] = {
    {"--seconds", FOR_RUN | FOR_CONFORM | FOR_INTEGRITY | FOR_REPORT, false},
    {"--buffer", FOR_RUN | FOR_LATENCY | FOR_INTEGRITY, false},
    {"--rate", FOR_RUN | FOR_LATENCY | FOR_INTEGRITY, false},
    {"--max-late", FOR_RUN, false},
    {"--min-switch-ratio", FOR_RUN, false},
    {"--out", FOR_LATENCY | FOR_INTEGRITY | FOR_REPORT, false},
    {"--in", FOR_LATENCY | FOR_INTEGRITY | FOR_REPORT, false},
    {"--pings", FOR_LATENCY, false},
    {"--call-timeout", FOR_DRIVER | FOR_LIST, false},
    {"--in-process", FOR_DRIVER | FOR_LIST, true},
    {"--probe", FOR_LIST, true},
    {"--time-info", FOR_RUN | FOR_LATENCY | FOR_INTEGRITY, true},
    {"--list-checks", FOR_CONFORM, true},
    {"--only", FOR_CONFORM, false},
    {"--skip", FOR_CONFORM, false},
    {"--strict", FOR_CONFORM, true},
    {"--repeat", FOR_CONFORM | FOR_LATENCY, false},
    {"--junit", FOR_CONFORM, false},
    {"--sweep", FOR_LATENCY, true},
    {"--rates", FOR_LATENCY, false},
    {"--tolerance", FOR_LATENCY, false},
    {"-o", FOR_REPORT, false},
};

const char *commandName(Command command)
{
    switch (command) {
    case COMMAND_LIST: return "list";
    case COMMAND_INFO: return "info";
    case COMMAND_RUN: return "run";
    case COMMAND_LATENCY: return "latency";
    case COMMAND_CONFORM: return "conform";
    case COMMAND_INTEGRITY: return "integrity";
    case COMMAND_REPORT: return "report";
    case COMMAND_PROBE: return "probe";
    case COMMAND_NONE: break;
    }
    return "";
}

static Command commandNamed(const char *text)
{
    static const Command commands[] = {COMMAND_LIST, COMMAND_INFO, COMMAND_RUN, COMMAND_LATENCY,
                                       COMMAND_CONFORM, COMMAND_INTEGRITY, COMMAND_REPORT,
                                       COMMAND_PROBE};
    for (Command c : commands) {
        if (strcmp(text, commandName(c)) == 0)
            return c;
    }
    return COMMAND_NONE;
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

static int takeValue(Option option, const char *text, CheckerOptions *o)
{
    const char *name = optionRules[option].name;
    double number = 0;
    long whole = 0;
    switch (option) {
    case OPTION_SECONDS:
        if (!parseNumber(text, &number) || number <= 0 || number > 86400)
            return badValue(name, text, "seconds above 0, at most 86400");
        o->seconds = number;
        break;
    case OPTION_BUFFER:
        if (!parseWhole(text, &whole) || whole <= 0)
            return badValue(name, text, "a buffer size in frames above 0");
        o->bufferSize = whole;
        break;
    case OPTION_RATE:
        if (!parseNumber(text, &number) || number <= 0)
            return badValue(name, text, "a sample rate in Hz above 0");
        o->rate = number;
        break;
    case OPTION_MAX_LATE:
        if (!parseWhole(text, &whole) || whole < 0)
            return badValue(name, text, "a count of late switches, 0 or more");
        o->maxLate = whole;
        break;
    case OPTION_MIN_SWITCH_RATIO:
        if (!parseNumber(text, &number) || number <= 0 || number > 10)
            return badValue(name, text, "a ratio above 0, at most 10, such as 0.99");
        o->minSwitchRatio = number;
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
    case OPTION_CALL_TIMEOUT:
        if (!parseNumber(text, &number) || number < 0.1 || number > 86400)
            return badValue(name, text, "seconds from 0.1 to 86400");
        o->callTimeout = number;
        break;
    case OPTION_IN_PROCESS:
        o->inProcess = true;
        break;
    case OPTION_PROBE:
        o->probe = true;
        break;
    case OPTION_TIME_INFO:
        o->timeInfo = true;
        break;
    case OPTION_LIST_CHECKS:
        o->listChecks = true;
        break;
    case OPTION_ONLY:
    case OPTION_SKIP: {
        bool selected[CHECK_COUNT];
        int result = parseCheckList(text, selected);
        if (result != EXIT_FINE)
            return result;
        (option == OPTION_ONLY ? o->only : o->skip) = text;
        break;
    }
    case OPTION_STRICT:
        o->strict = true;
        break;
    case OPTION_REPEAT:
        if (!parseWhole(text, &whole) || whole < 1 || whole > MAX_REPEAT)
            return badValue(name, text, "a count of repetitions from 1 to 100");
        o->repeat = whole;
        o->repeatGiven = true;
        break;
    case OPTION_SWEEP:
        o->sweep = true;
        break;
    case OPTION_RATES:
        if (strcmp(text, "all") != 0) {
            const char *at = text;
            for (;;) {
                char *end = nullptr;
                double rate = strtod(at, &end);
                if (end == at || !(rate > 0) || (*end != ',' && *end != '\0'))
                    return badValue(name, text, "\"all\" or rates in Hz, comma-separated");
                if (*end == '\0')
                    break;
                at = end + 1;
            }
        }
        o->rates = text;
        break;
    case OPTION_TOLERANCE:
        if (!parseNumber(text, &number) || number < 0)
            return badValue(name, text, "frames, 0 or more");
        o->tolerance = number;
        break;
    case OPTION_JUNIT:
        if (!*text)
            return badValue(name, text, "a file name");
        o->junitFile = text;
        break;
    case OPTION_REPORT_FILE:
        if (!*text)
            return badValue(name, text, "a file name");
        o->reportFile = text;
        break;
    case OPTION_COUNT:
        break;
    }
    return EXIT_FINE;
}

int parseArguments(int argc, char **argv, CheckerOptions *o)
{
    memset(o, 0, sizeof *o);
    o->command = COMMAND_NONE;
    o->seconds = 10;
    o->maxLate = -1;
    o->outChannel = -1;
    o->inChannel = -1;
    o->pings = 5;
    o->callTimeout = 10;
    o->repeat = 1;
    o->tolerance = -1;
    // Known before anything can fail, so that a failure still gives its JSON document.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0)
            o->json = true;
    }

    const char *positional[2] = {nullptr, nullptr};
    int positionals = 0;
    bool given[OPTION_COUNT] = {};
    const char *unexpected = nullptr;
    const char *unknown = nullptr;

    for (int i = 1; i < argc; i++) {
        const char *argument = argv[i];
        bool shortOption = strcmp(argument, "-o") == 0;
        if (!shortOption && (strncmp(argument, "--", 2) != 0 || argument[2] == '\0')) {
            if (positionals < 2)
                positional[positionals++] = argument;
            else if (!unexpected)
                unexpected = argument;
            continue;
        }
        if (strcmp(argument, "--json") == 0) {
            o->json = true;
            continue;
        }
        if (strcmp(argument, "--help") == 0) {
            o->help = true;
            continue;
        }
        if (strcmp(argument, "--version") == 0) {
            o->version = true;
            continue;
        }
        // --name VALUE or --name=VALUE
        const char *equals = strchr(argument, '=');
        size_t nameLength = equals ? static_cast<size_t>(equals - argument) : strlen(argument);
        int option = 0;
        while (option < OPTION_COUNT && (strlen(optionRules[option].name) != nameLength ||
                                         strncmp(optionRules[option].name, argument, nameLength) != 0))
            option++;
        if (option == OPTION_COUNT) {
            if (!unknown)
                unknown = argument;
            continue;
        }
        const char *value = nullptr;
        if (optionRules[option].flag) {
            if (equals)
                return fail(EXIT_USAGE, "%s takes no value", optionRules[option].name);
        } else {
            value = equals ? equals + 1 : (i + 1 < argc ? argv[++i] : nullptr);
            if (!value)
                return fail(EXIT_USAGE, "%s needs a value", optionRules[option].name);
        }
        if (o->help || o->version)
            continue;
        int result = takeValue(static_cast<Option>(option), value, o);
        if (result != EXIT_FINE)
            return result;
        given[option] = true;
    }

    if (positional[0])
        o->command = commandNamed(positional[0]);
    // Help and version answer whatever else stands on the line.
    if (o->help || o->version)
        return EXIT_FINE;

    if (!positional[0])
        return fail(EXIT_USAGE, "no command; the commands are list, info, run, latency, "
                                "conform and integrity (quorvelcheck --help)");
    if (o->command == COMMAND_NONE)
        return fail(EXIT_USAGE, "unknown command \"%s\"; the commands are list, info, run, "
                                "latency, conform and integrity", positional[0]);
    const char *name = commandName(o->command);
    if (unknown)
        return fail(EXIT_USAGE, "unknown option %s (quorvelcheck %s --help)", unknown, name);
    if (unexpected)
        return fail(EXIT_USAGE, "unexpected argument \"%s\"", unexpected);
    for (int option = 0; option < OPTION_COUNT; option++) {
        bool accepted = (optionRules[option].commands & (1 << o->command)) != 0;
        if (given[option] && !accepted) {
            return fail(EXIT_USAGE, "%s does not take %s (quorvelcheck %s --help)", name,
                        optionRules[option].name, name);
        }
    }

    if (o->command == COMMAND_LIST) {
        if (positional[1])
            return fail(EXIT_USAGE, "list takes no DRIVER; unexpected argument \"%s\"", positional[1]);
        if (given[OPTION_CALL_TIMEOUT] && !o->probe)
            return fail(EXIT_USAGE, "list takes --call-timeout only with --probe");
        return EXIT_FINE;
    }
    if (o->command == COMMAND_CONFORM && o->listChecks) {
        if (positional[1])
            return fail(EXIT_USAGE, "conform --list-checks takes no DRIVER");
        return EXIT_FINE;
    }
    if (o->command == COMMAND_CONFORM && !given[OPTION_SECONDS])
        o->seconds = 3;
    o->driver = positional[1];
    if (o->command == COMMAND_PROBE)
        o->probeIndex = o->driver ? atoi(o->driver) : 0;
    if (!o->driver) {
        return fail(EXIT_USAGE, "%s needs a DRIVER: an index or part of a name, as "
                                "\"quorvelcheck list\" shows them", name);
    }
    if ((o->command == COMMAND_LATENCY || o->command == COMMAND_INTEGRITY) &&
        (o->outChannel < 0 || o->inChannel < 0)) {
        return fail(EXIT_USAGE, "%s needs --out O and --in I: the output and input the cable joins",
                    name);
    }
    if (o->command == COMMAND_LATENCY && !o->sweep) {
        const Option sweepOnly[] = {OPTION_RATES, OPTION_TOLERANCE, OPTION_REPEAT};
        for (Option option : sweepOnly) {
            if (given[option])
                return fail(EXIT_USAGE, "latency takes %s only with --sweep", optionRules[option].name);
        }
    }
    if (o->command == COMMAND_LATENCY && o->sweep) {
        if (given[OPTION_BUFFER] || given[OPTION_RATE])
            return fail(EXIT_USAGE, "latency --sweep sets the sizes and rates itself: give --rates, "
                                    "not --buffer or --rate");
        if (o->repeat > MAX_SWEEP_REPEATS)
            return fail(EXIT_USAGE, "latency --sweep takes --repeat up to %d", MAX_SWEEP_REPEATS);
        if (!o->repeatGiven)
            o->repeat = 2;
        if (!o->pingsGiven)
            o->pings = 3;
    }
    if (o->command == COMMAND_INTEGRITY && !given[OPTION_SECONDS])
        o->seconds = 10;
    if (o->command == COMMAND_REPORT && !o->reportFile)
        return fail(EXIT_USAGE, "report needs -o FILE: the HTML file to write");
    if (o->command == COMMAND_REPORT && (o->outChannel < 0) != (o->inChannel < 0))
        return fail(EXIT_USAGE, "report takes --out O and --in I together, for a cable, or neither");
    return EXIT_FINE;
}

static const char *const generalHelp =
    "quorvelcheck: checks an ASIO driver from the command line.\n"
    "\n"
    "usage: quorvelcheck COMMAND [DRIVER] [options]\n"
    "\n"
    "  list                   the drivers the dialog lists, and the registry keys it skips\n"
    "  info DRIVER            the driver's figures, channels, rates, latencies, clocks\n"
    "  run DRIVER             the loopback for a while, with the timing of its buffer switches\n"
    "  latency DRIVER         the real round trip through a cable from an output to an input\n"
    "  conform DRIVER         a pass/fail verdict on the driver's behaviour, check by check\n"
    "  integrity DRIVER       every sample through a cable from an output to an input, bit for bit\n"
    "  report DRIVER -o F     all of the above on one HTML page with pictures\n"
    "\n"
    "DRIVER is an index as list shows it, or a part of a driver's name (any case) that only one\n"
    "name contains; a name equal to it as a whole is taken before names that contain it.\n"
    "\n"
    "Every command takes --json (one JSON document on stdout), --help and --version.\n"
    "The driver is loaded in a worker process, so that a driver that crashes, hangs or ends the\n"
    "process is reported, with the call it was in:\n"
    "  --call-timeout S       seconds a driver call may take (10); the run is not a call\n"
    "  --in-process           no worker: the driver runs in this process (for a debugger)\n"
    "Exit status: 0 fine; 1 a check missed; 2 a usage error; 3 the driver could not be\n"
    "loaded, initialised or started; 4 the driver crashed, hung or ended the process.\n"
    "Errors go to stderr, results to stdout.\n";

static const char *const listHelp =
    "usage: quorvelcheck list [--probe [--call-timeout S]] [--json]\n"
    "\n"
    "Every driver the dialog would list, in its order and with its name, with its class, server\n"
    "path, whether that file exists and the registry view searched; then every key under\n"
    "SOFTWARE\\ASIO that the scan skipped, and why.\n"
    "\n"
    "  --probe                load, initialise and release each driver, each in a worker of its\n"
    "                         own: whether it loads (the COM result otherwise), initialises (its\n"
    "                         message otherwise), its name and version, the time to create and to\n"
    "                         initialise it, or the call it crashed or hung in\n";

static const char *const infoHelp =
    "usage: quorvelcheck info DRIVER [--json]\n"
    "\n"
    "Loads and initialises the driver (on failure: its error message, exit 3) and shows its name\n"
    "and version, buffer sizes, current sample rate and which of 44.1 to 384 kHz it accepts,\n"
    "every channel (name, group, active, sample type), latencies and clock sources. Every driver\n"
    "call that does not answer ASE_OK is shown with its answer.\n";

static const char *const runHelp =
    "usage: quorvelcheck run DRIVER [--seconds S] [--buffer N] [--rate R] [--time-info]\n"
    "                        [--max-late N] [--min-switch-ratio R] [--json]\n"
    "\n"
    "Runs the loopback as the dialog does (input i copied to output i) for S seconds (10), at the\n"
    "driver's preferred buffer size and current rate unless N or R are given, and shows the\n"
    "switches made against those the time from start to stop holds, the intervals between\n"
    "switches against the buffer period, each switch's lateness against the ideal timeline, the\n"
    "longest callback, late switches (an interval over 1.5 periods, the gaps after start and\n"
    "before stop included) and the driver's messages. A run without any switch misses (exit 1).\n"
    "\n"
    "  --time-info            answer yes to \"supports time info\", as most hosts do: the driver\n"
    "                         may then call bufferSwitchTimeInfo instead of bufferSwitch\n"
    "  --max-late N           exit 1 when more than N switches came late\n"
    "  --min-switch-ratio R   exit 1 when switches made / switches expected is below R\n";

static const char *const conformHelp =
    "usage: quorvelcheck conform DRIVER [--seconds S] [--repeat N] [--only LIST] [--skip LIST]\n"
    "                            [--strict] [--junit FILE] [--json]\n"
    "       quorvelcheck conform --list-checks [--json]\n"
    "\n"
    "Runs a fixed series of checks of the driver's behaviour, in phases (open, figures, rates,\n"
    "buffers, streaming with time info declined and offered, lifecycle), each phase on a driver\n"
    "object of its own, and grades each check PASS, WARN or FAIL with its evidence. A crash or\n"
    "hang fails the check it came in; the checks after it are not run.\n"
    "\n"
    "  --seconds S            the length of each streaming run (3)\n"
    "  --repeat N             the whole suite N times (1), verdicts per repetition\n"
    "  --only LIST            only these checks or phases, comma-separated (--list-checks)\n"
    "  --skip LIST            all but these\n"
    "  --strict               a WARN fails too\n"
    "  --junit FILE           JUnit XML: one test case per check\n"
    "Exit status: 0 every check passed (WARN allowed unless --strict); 1 a check failed; 2 usage;\n"
    "3 the driver could not be loaded or initialised; 4 it crashed or hung (the check is named).\n";

static const char *const integrityHelp =
    "usage: quorvelcheck integrity DRIVER --out O --in I [--seconds S] [--buffer N] [--rate R]\n"
    "                              [--time-info] [--json]\n"
    "\n"
    "For a cable from output O to input I: writes a known sequence on output O, every sample a\n"
    "value its neighbours do not share, using every bit the sample type carries, for S seconds\n"
    "(10), finds it on input I, and accounts for every sample that comes back: matched,\n"
    "corrupted (the bits that differ), inverted, dropped, repeated, or a slip of the delay. Each\n"
    "event with its stream position, switch and time; which bits came through unchanged; and\n"
    "the switch timing, so that a late switch is told apart from lost data. Exit 1 when anything\n"
    "did not match after the sequence was found, or when it was not found within 2 s (with what\n"
    "the input carried instead).\n";

static const char *const latencyHelp =
    "usage: quorvelcheck latency DRIVER --out O --in I [--pings N] [--buffer N] [--rate R]\n"
    "                            [--time-info] [--json]\n"
    "       quorvelcheck latency DRIVER --out O --in I --sweep [--rates R1,R2,...|all]\n"
    "                            [--repeat N] [--tolerance F] [--pings N] [--json]\n"
    "\n"
    "For a cable from output O to input I: writes a short pulse into output O about twice a\n"
    "second and finds it on input I. Shows each ping's round trip in frames and ms, their median\n"
    "and spread, the latency the driver reports (input + output, read when the buffers were made\n"
    "and again after the run) and the difference. N pings (5). A pulse that does not come back\n"
    "within 2 s: exit 1, with what the input carried. Little-endian integer and float sample\n"
    "types only.\n"
    "\n"
    "  --sweep                the round trip at every buffer size the driver allows (at most 16),\n"
    "                         at each rate: the current one, those of --rates, or with --rates all\n"
    "                         every standard rate canSampleRate accepts; each setting --repeat\n"
    "                         times (2), each time with buffers made afresh, N pings each (3)\n"
    "  --tolerance F          exit 1 where the driver's claim and the measured round trip differ by\n"
    "                         more than F frames at any setting\n";

static const char *const reportHelp =
    "usage: quorvelcheck report DRIVER -o FILE.html [--seconds S] [--out O --in I] [--json]\n"
    "\n"
    "Runs info, conform (its default settings) and run for S seconds (10) and, with a cable from\n"
    "output O to input I, latency --sweep and integrity for S seconds, each in a worker of its\n"
    "own, one after another. Then it writes one self-contained HTML page: the driver's figures and\n"
    "channels, the switch timing, the latency against buffer size and the integrity of the signal\n"
    "with their pictures, the conformance checklist, and every part's JSON document as its\n"
    "command prints it with --json. A part that crashes or\n"
    "hangs is reported on the page and the next part runs. The page needs no network and no\n"
    "script, and prints on A4 and Letter.\n"
    "Exit status: 0 every part passed; else the worst of the parts' statuses; 2 usage, or a file\n"
    "that cannot be written.\n";

void printHelp(Command command)
{
    switch (command) {
    case COMMAND_LIST: fputs(listHelp, stdout); break;
    case COMMAND_INFO: fputs(infoHelp, stdout); break;
    case COMMAND_RUN: fputs(runHelp, stdout); break;
    case COMMAND_LATENCY: fputs(latencyHelp, stdout); break;
    case COMMAND_CONFORM: fputs(conformHelp, stdout); break;
    case COMMAND_INTEGRITY: fputs(integrityHelp, stdout); break;
    case COMMAND_REPORT: fputs(reportHelp, stdout); break;
    case COMMAND_PROBE:
    case COMMAND_NONE: fputs(generalHelp, stdout); break;
    }
}

void printVersion(bool json)
{
    if (json) {
        jsonBeginObject(nullptr);
        jsonHeader(COMMAND_NONE);
        jsonEndObject();
        jsonFinish();
        return;
    }
    printf("quorvelcheck %s (%s)\n", QUORVEL_VERSION_TEXT, sizeof(void *) == 8 ? "x64" : "x86");
}
