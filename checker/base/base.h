// The checker's base layer: the command line, what the checker says besides its results (errors,
// progress, the driver's answers by name, calls that did not answer ASE_OK), and the JSON writer.
// No driver is called and no process is started here. Main thread throughout.
#pragma once

#include "drivers/asio_interface.h"

#include <limits.h>
#include <stddef.h>
#include <string>

enum {
    EXIT_FINE = 0,
    EXIT_CHECK_MISSED = 1,  // a run threshold, a lost ping, no switches at all, a failed check
    EXIT_USAGE = 2,         // unknown command or option, bad value, no such driver
    EXIT_DRIVER = 3,        // the driver could not be loaded, initialised or started
    EXIT_CRASHED = 4,       // the driver crashed, hung, ended the process or corrupted the worker
    EXIT_INTERRUPTED = 5,   // Ctrl+C or Ctrl+Break: what was measured is shown, nothing judged
    EXIT_SHORTFALL = 6,     // the checker's own shortfall: no memory for what it measures, or it
                            // fell behind and left input unanalysed; never the driver's fault
};
// The status to give of two (a command's parts, list --probe's drivers): what the driver did comes
// before the checker's own shortfall and the user's interrupt, whatever their numbers.
int worseStatus(int a, int b);

// ---- Options: each one's name, value, bounds and default are its row in arguments.cpp's table.

enum Option {
    OPTION_SECONDS, OPTION_BUFFER, OPTION_RATE, OPTION_MAX_LATE, OPTION_MIN_SWITCH_RATIO,
    OPTION_OUT, OPTION_IN, OPTION_PINGS, OPTION_CALL_TIMEOUT, OPTION_IN_PROCESS, OPTION_PROBE,
    OPTION_TIME_INFO, OPTION_LIST_CHECKS, OPTION_ONLY, OPTION_SKIP, OPTION_STRICT, OPTION_REPEAT,
    OPTION_JUNIT, OPTION_SWEEP, OPTION_RATES, OPTION_TOLERANCE, OPTION_REPORT_FILE, OPTION_ALL,
    OPTION_OUTS, OPTION_INS, OPTION_MAP, OPTION_MAX_SKEW,
    OPTION_HOST_SUPPORTS,
    // What a host does with the driver's requests.
    OPTION_ON_RESET,
    // The device made to go while it streams, and brought back.
    OPTION_GONE_COMMAND, OPTION_BACK_COMMAND, OPTION_GONE_STEP, OPTION_BACK_SECONDS,
    // A person changes a setting in the driver's control panel while run streams.
    OPTION_PANEL_STEP,
    // compare's files besides its documents.
    OPTION_MARKDOWN, OPTION_WAIVERS,
    // One long stream: its length, its limits and its log.
    OPTION_HOURS, OPTION_MINUTES, OPTION_MAX_PPM, OPTION_MAX_TREND, OPTION_MAX_GLITCHES,
    OPTION_UNTIL_GLITCH, OPTION_LOG, OPTION_CHECKPOINT_SECONDS,
    // Opening and closing the driver over and over (cycles), and the worker's part of it.
    OPTION_CYCLES, OPTION_FRESH_EVERY, OPTION_NO_DIRTY, OPTION_FIRST_CYCLE, OPTION_ENDING,
    OPTION_COUNT
};
// Marks a function whose argument `f` is a printf format for the arguments from `a`: the compiler
// then checks every call as it checks printf's.
#define PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))

// A command's set of options: its bits, one an option, in CommandSpec::options.
#define OPTION_BIT(option) (1ull << (option))
static_assert(OPTION_COUNT <= sizeof(unsigned long long) * CHAR_BIT,
              "more options than bits in CommandSpec::options: widen it and OPTION_BIT");
// What every command that loads a driver takes: its worker's time limit, or no worker.
#define WORKER_OPTIONS (OPTION_BIT(OPTION_CALL_TIMEOUT) | OPTION_BIT(OPTION_IN_PROCESS))

// Bounds of the values the options take.
enum { MAX_PINGS = 1000, MAX_REPEAT = 100, MAX_SWEEP_REPEATS = 10, MAX_CYCLES = 100 };
// Channels of each direction one integrity run drives and analyses: outputs and inputs 0 to 127
// (the outputs that carry a sequence of their own).
enum { MAX_ROUTE_CHANNELS = 128 };

struct CommandSpec;

struct CheckerOptions {
    const CommandSpec *command;  // null when none was named
    const char *driver;     // DRIVER as given; null when absent
    bool json;
    bool help;
    bool version;
    bool inProcess;         // --in-process: no worker, for a debugger
    bool probe;             // list --probe
    bool timeInfo;          // --time-info: answer yes to "supports time info"
    double callTimeout;     // seconds a driver call may take: 10
    double seconds;         // run: 10
    long bufferSize;        // 0: the driver's preferred size
    double rate;            // 0: the driver's current rate
    long maxLate;           // run: -1 for no check
    double minSwitchRatio;  // run: 0 for no check
    long outChannel;        // latency, integrity: required; -1 when not given
    long inChannel;
    bool all;               // integrity --all: every output and input
    const char *outs;       // --outs, --ins: channel lists ("0,1,4-7"); null for all
    const char *ins;
    const char *map;        // --map: "same" or "0:3,1:2" (output:input); null for none
    double maxSkew;         // --max-skew in frames; negative: none
    long pings;             // latency: 5 (a sweep: 3)
    bool sweep;             // latency --sweep
    const char *rates;      // --rates: "all" or a comma-separated list; null: the current rate
    double tolerance;       // --tolerance in frames; negative: none
    int probeIndex;         // the worker's probe: the list index to probe
    bool listChecks;        // conform --list-checks
    const char *only;       // --only: checks or phases, comma-separated; null for all
    const char *skip;       // --skip: the same
    bool strict;            // a WARN fails
    long repeat;            // conform: the whole suite this many times (1); a sweep: each setting (2)
    const char *junitFile;  // --junit FILE; null for none
    const char *reportFile;  // report -o FILE
    // What the host answers it supports (hostSupportedSelectors): --host-supports as given; null:
    // "all".
    const char *hostSupports;
    // What a host does with the driver's requests.
    const char *onReset;    // --on-reset: "follow", "stop" or "ignore"; null: follow
    // The device made to go while it streams, and brought back.
    const char *goneCommand;  // --gone-command: the command line that makes the device go; null
    const char *backCommand;  // --back-command: the one that brings it back; null for none
    double goneStep;          // --gone-step: seconds a person has to unplug it; 0 for none
    double backSeconds;       // --back-seconds: how long fresh workers try to open it again (30)
    double panelStep;         // run --panel-step: seconds a person has with the control panel; 0: none
    // compare: each side's documents, one file or several comma-separated, and its other files.
    const char *baseFiles;
    const char *newFiles;
    const char *markdownFile;  // --markdown FILE; null for none
    const char *waiversFile;   // --waivers FILE; null for none
    // One long stream (soak).
    double hours, minutes;    // --hours, --minutes: its length, instead of --seconds; 0: not given
    double maxPpm;            // --max-ppm: the rate error that warns (200); 5 times it fails
    double maxTrend;          // --max-trend: ppm per hour of the rate error's trend that warns (20)
    long maxGlitches;         // --max-glitches: -1 for none (any glitch warns)
    bool untilGlitch;         // --until-glitch: ends at the first glitch
    const char *logFile;      // --log: the checkpoints' JSON lines; null for none
    double checkpointSeconds; // --checkpoint-seconds: 60
    // Opening and closing the driver over and over.
    long cycles;              // cycles --count: the clean cycles (8)
    long freshEvery;          // --fresh-every: a fresh worker every this many cycles (4)
    bool noDirty;             // --no-dirty: no killed, released or doubled endings
    long firstCycle;          // the worker's: the number of its first cycle (1)
    const char *ending;       // the worker's: how its last cycle ends: "clean", "kill", "release",
                              // "second"; null: clean
};

// What the host does when the driver asks for a reset (or another of its requests: a buffer size
// change, a resync, changed latencies, a new rate) during a run: follows it as a host must (the
// default), stops the run there, or notes it and does nothing.
enum ResetPolicy { RESET_FOLLOW, RESET_STOP, RESET_IGNORE };
// --on-reset as a ResetPolicy; RESET_FOLLOW when it was not given.
ResetPolicy resetPolicy(const CheckerOptions &options);
// "follow", "stop", "ignore".
const char *resetPolicyName(int policy);

// What the option loop saw, for a command's own rules.
struct ArgumentFacts {
    bool given[OPTION_COUNT];
    const char *driver;     // the second word that is not an option; null when absent
    const char *second;     // the third, for a command that takes one (secondWord); null when absent
};

// A command of the program: its name and texts, the options it takes, its own rules, and the
// functions that carry it out. The program's table of them is handed to useCommands.
struct CommandSpec {
    const char *name;        // as typed: "run"
    const char *synopsis;    // its line in the general help: "run DRIVER"
    const char *summary;     // ... and what it does
    const char *help;        // its usage text (--help)
    unsigned long long options;  // OPTION_BIT of every option it takes
    bool hidden;             // the worker's own: never on a user's command line
    // Its defaults and rules once the options are read: EXIT_FINE, or EXIT_USAGE with the reason.
    int (*rules)(CheckerOptions *options, const ArgumentFacts &facts);
    // The command, in the process the user started: its exit status. Null for a hidden one.
    int (*run)(const CheckerOptions &options);
    // The driver session it runs in a worker (the same program started again); null for none.
    int (*session)(const CheckerOptions &options);
    // Takes a second word after the first (compare's NEW); any other command refuses one.
    bool secondWord = false;
};

// The program's commands, in the order the help lists them. Kept by pointer; call first.
void useCommands(const CommandSpec *const *commands, int count);
// The command of that name in the table, hidden ones too; null when there is none.
const CommandSpec *findCommand(const char *name);
// The table useCommands was given, and its length in *count.
const CommandSpec *const *programCommands(int *count);
// Fills options from the command line (the worker's private argument already taken off). Hidden
// commands are known only when `hiddenToo`. EXIT_FINE, or EXIT_USAGE with the reason on stderr
// (options.json and, when it was named, options.command are set even then).
int parseArguments(int argc, char **argv, CheckerOptions *options, bool hiddenToo = false);
// "--seconds", ...
const char *optionName(Option option);
// The lines the general help gives the options every command that loads a driver takes, on
// stdout: "  --call-timeout S       seconds a driver call may take (10); ...".
void printSharedOptions();
// A channel list ("0,1,4-7": numbers and ranges, each channel once, each below
// MAX_ROUTE_CHANNELS) into channels (room for MAX_ROUTE_CHANNELS), in the order given. The
// count, or -1 when the text is not such a list.
int parseChannelList(const char *text, long *channels);
// A map of routes ("0:3,1:2": output:input pairs, each input once, every number below
// MAX_ROUTE_CHANNELS) into outs and ins (room for MAX_ROUTE_CHANNELS each). The count, or -1.
// "same" is not parsed here: the command expands it.
int parseRouteMap(const char *text, long *outs, long *ins);
// A command's rule: it needs DRIVER, taken from the facts. EXIT_FINE or EXIT_USAGE.
int requireDriver(CheckerOptions *options, const ArgumentFacts &facts);
// The usage text of options.command, or the general one for none, on stdout.
void printHelp(const CommandSpec *command);
// "quorvelcheck 1.3.0 (x64)", or its JSON document.
void printVersion(bool json);
// The command's name; "" for none.
const char *commandName(const CommandSpec *command);

// ---- Output

// Writes "quorvelcheck: <text>" to stderr, keeps the text for the JSON documents, and returns
// exitCode.
int fail(int exitCode, const char *format, ...) PRINTF_LIKE(2, 3);
// Keeps the text as fail() does, without writing it (the worker has written it already).
void setFailureText(const char *text);
// The text of the last fail(), "" when none.
const char *lastFailure();
// The document a JSON run prints when the command ended before its results: command, exit code,
// error.
void printFailureDocument(const CommandSpec *command, int exitCode);

// The worker's: fail() lines and the progress line go to these instead of stderr (a progress of ""
// clears it), and progress is always wanted there; the parent shows them.
void sendMessagesTo(void (*line)(const char *text), void (*progress)(const char *text));
// True when stderr is a console, where the live progress line goes.
bool progressWanted();
// Rewrites the progress line on stderr; clearProgress() empties it before the results.
void showProgress(const char *format, ...) PRINTF_LIKE(1, 2);
void clearProgress();

// ---- Texts

// "ASE_OK", "ASE_NoClock"...; anything else as "error N" in `buffer`, which it returns then.
const char *asioErrorName(ASIOError error, char *buffer, size_t size);
// "kAsioResetRequest"... for selectors 1 to 15; null for any other.
const char *selectorName(long selector);
// What selectors 1 to 15 mean in plain words ("reset request", "buffer size change"); null for any
// other.
const char *selectorWords(long selector);
// The short name --host-supports takes for selectors 1 to 15 ("reset", "buffer-size"); null for
// any other.
const char *selectorOptionName(long selector);
// --host-supports: "all" (bits 1 to 15), "none" (0), or selectors by number (1 to 15) or short
// name, comma-separated, into bits (1 << selector). False for anything else.
bool parseHostSupports(const char *text, unsigned long *selectors);
// The options' --host-supports as bits: every selector (1 to 15) when it was not given.
unsigned long hostSupportedSelectors(const CheckerOptions &options);
// The sample type's name from the shared table; null for a code it does not hold.
const char *sampleTypeName(long type);
// The sample type's name, or "unknown type N" in `out`.
const char *typeText(long type, char *out, size_t size);
// "48000" style numbers: no decimals unless the value has some.
void formatRate(double rate, char *out, size_t size);
// Appends printf's text (at most 1023 characters of it).
void appendFormat(std::string *out, const char *format, ...) PRINTF_LIKE(2, 3);
// Driver and registry texts are in the system's ANSI code page; JSON and the report are UTF-8. A text
// too long to convert whole keeps its plain ASCII and gets '?' for the rest. Always terminated.
void ansiToUtf8(const char *ansi, char *utf8, size_t size);
// Appends UTF-8 text escaped for XML (& < > " as entities); bytes XML does not allow (controls but
// tab and line feed, broken sequences) become '?'.
void appendXmlUtf8(std::string *out, const char *utf8, size_t length);
// The same for an ANSI text.
void appendXmlText(std::string *out, const char *ansi);

// ---- Checks of a record a worker sent: the driver may have written over it. Each record has one,
// beside its definition: the name of the first field out of range, or null when the record holds.

// True when the text ends (a NUL) within its `size` bytes.
bool textEnds(const char *text, size_t size);
// True when low <= value <= high.
bool inRange(long long value, long long low, long long high);
// callNotes' check: the count within its array, every call's text ended.
const char *callNotesFault(const void *record);

// ---- Driver calls that did not answer ASE_OK, in the order made. Main thread.

enum { MAX_NOTED_CALLS = 64 };
struct NotedCall {
    char call[48];  // "getLatencies", "getChannelInfo(input 3)"...
    ASIOError result;
};
struct CallNotes {
    int count;    // kept; calls beyond MAX_NOTED_CALLS are only counted in `dropped`
    int dropped;
    NotedCall calls[MAX_NOTED_CALLS];
};
extern CallNotes callNotes;
// Keeps the call when `result` is not ASE_OK; returns `result`.
ASIOError noteCall(ASIOError result, const char *format, ...) PRINTF_LIKE(2, 3);
// callNotes as text lines under a heading; "none" when empty.
void printCallNotes();
// callNotes as "calls_not_ok".
void jsonCallNotes();

// ---- The JSON writer: one document on stdout (or into a buffer), written as it goes, two spaces
// per level. `key` is null at the top and inside arrays. Texts are ANSI and written as UTF-8;
// numbers that are not finite as null.

// Documents from now on are appended to *into (the caller's), the same text stdout would get,
// until jsonToStdout. A document finished there does not count for jsonDocumentWritten.
void jsonToBuffer(std::string *into);
void jsonToStdout();

void jsonBeginObject(const char *key);
void jsonEndObject();
void jsonBeginArray(const char *key);
void jsonEndArray();
void jsonText(const char *key, const char *value);  // null value: null
// A text that is UTF-8 already (what compare read from a document), written whole.
void jsonUtf8Text(const char *key, const char *utf8);
void jsonInteger(const char *key, long long value);
void jsonNumber(const char *key, double value);
void jsonBool(const char *key, bool value);
void jsonNull(const char *key);
// Ends the document with a line feed.
void jsonFinish();
// True once a document has been finished on stdout.
bool jsonDocumentWritten();
// The fields every document starts with: program, version, build, and the command (none for null).
void jsonHeader(const CommandSpec *command);
