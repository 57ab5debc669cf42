// quorvelcheck: the console checker of ASIO drivers. It shares the dialog programs' scan, loading,
// report figures and loopback handler (quorvel_core) and shows what the dialog cannot: every
// channel, the rates a driver accepts, its claimed and its real latency, the timing of its buffer
// switches, and all of it as JSON for a build pipeline.
//
// One command per process. A command that loads a driver runs the driver's session in a worker: the
// same program started again by itself (worker.h), so that a driver that crashes, hangs or ends the
// process is reported instead of taking the checker with it. The worker measures; this process
// prints, writes JSON and decides the exit status. The modules:
//   options and commands   this header (arguments.cpp, the *_command.cpp files)
//   output.h               errors, progress, the driver's answers by name, calls not answering ASE_OK
//   json_writer.h          the JSON documents
//   driver_session.h       choosing, opening and closing the driver, its heading
//   worker.h               the worker process and what it hands back
//   checker_callbacks.h    what the driver calls besides buffer switches
//   switch_timing.h        the timing of buffer switches
//   run_setup.h            a run of the loopback, as the dialog runs it
//   ping.h                 the pings of the latency command
//   conform.h              the conformance checks
//   report.h               the report: every part's results on one HTML page
#pragma once

enum {
    EXIT_FINE = 0,
    EXIT_CHECK_MISSED = 1,  // a run threshold, a lost ping, no switches at all
    EXIT_USAGE = 2,         // unknown command or option, bad value, no such driver
    EXIT_DRIVER = 3,        // the driver could not be loaded, initialised or started
    EXIT_CRASHED = 4,       // the driver crashed, hung or ended the process in a call
};

enum Command {
    COMMAND_NONE,
    COMMAND_LIST,
    COMMAND_INFO,
    COMMAND_RUN,
    COMMAND_LATENCY,
    COMMAND_CONFORM,
    COMMAND_INTEGRITY,
    COMMAND_REPORT,
    COMMAND_PROBE,  // the worker's side of list --probe: one driver; never on a user's command line
};

struct CheckerOptions {
    Command command;
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
    long outChannel;        // latency: required
    long inChannel;         // latency: required
    long pings;             // latency: 5 (a sweep: 3)
    bool pingsGiven;
    bool sweep;             // latency --sweep
    const char *rates;      // --rates: "all" or a comma-separated list; null: the current rate
    double tolerance;       // --tolerance in frames; negative: none
    int probeIndex;         // COMMAND_PROBE: the list index to probe
    // conform
    bool listChecks;        // --list-checks
    const char *only;       // --only: checks or phases, comma-separated; null for all
    const char *skip;       // --skip: the same
    bool strict;            // a WARN fails
    long repeat;            // conform: the whole suite this many times (1); a sweep: each setting (2)
    bool repeatGiven;
    const char *junitFile;  // --junit FILE; null for none
    // report (also seconds, and outChannel and inChannel for a cable, -1 without)
    const char *reportFile;  // -o FILE
};

// Fills options from the command line (the worker's private argument already taken off). EXIT_FINE,
// or EXIT_USAGE with the reason on stderr.
int parseArguments(int argc, char **argv, CheckerOptions *options);
// The usage text of one command (or of all, for COMMAND_NONE) on stdout.
void printHelp(Command command);
// "quorvelcheck 1.1.0 (x64)", or its JSON document.
void printVersion(bool json);
// "list", "info", "run", "latency"; "" for COMMAND_NONE.
const char *commandName(Command command);

// The commands. Each prints its results on stdout (text or JSON) and returns the exit status.
int listCommand(const CheckerOptions &options);
int infoCommand(const CheckerOptions &options);
int runLoopbackCommand(const CheckerOptions &options);
int latencyCommand(const CheckerOptions &options);
// latency --sweep, for the driver at list index `index` (latency_sweep.cpp).
int sweepCommand(const CheckerOptions &options, int index);
int conformCommand(const CheckerOptions &options);
int integrityCommand(const CheckerOptions &options);
int reportCommand(const CheckerOptions &options);

// The driver sessions the commands hand to the worker; they run in the worker process (or in this
// one with --in-process), measure, and publish what they measured as records (worker.h).
int infoSession(const CheckerOptions &options);
int runSession(const CheckerOptions &options);
int latencySession(const CheckerOptions &options);
int probeSession(const CheckerOptions &options);
int conformSession(const CheckerOptions &options);
int integritySession(const CheckerOptions &options);
int sweepSession(const CheckerOptions &options);
