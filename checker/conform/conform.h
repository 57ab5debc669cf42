// quorvelcheck conform: a fixed series of checks of a driver's behaviour, each graded PASS, WARN or
// FAIL with one line of evidence (the call, what it answered, what was expected). The phases run in
// order in the worker, each on a driver object of its own, so that one phase's leftovers do not
// decide the next; a crash or hang fails the check it came in, and the checks after it are not run.
#pragma once

#include "checker/commands/commands.h"

enum ConformCheck {
    // open
    CHECK_OPEN_CREATE, CHECK_OPEN_INIT, CHECK_OPEN_NAME, CHECK_OPEN_ERROR_MESSAGE, CHECK_OPEN_REOPEN,
    // figures
    CHECK_FIGURES_BUFFER_SIZES, CHECK_FIGURES_GRANULARITY, CHECK_FIGURES_CHANNELS,
    CHECK_FIGURES_CHANNEL_INFO, CHECK_FIGURES_CHANNEL_PAST_END, CHECK_FIGURES_CLOCKS,
    CHECK_FIGURES_CURRENT_RATE,
    // rates
    CHECK_RATES_SET, CHECK_RATES_REFUSED, CHECK_RATES_RESTORED,
    // buffers
    CHECK_BUFFERS_SIZES, CHECK_BUFFERS_POINTERS, CHECK_BUFFERS_LATENCIES, CHECK_BUFFERS_RECREATE,
    CHECK_BUFFERS_DOUBLE_CREATE,
    // streaming, time info declined
    CHECK_STREAM_WINDOW, CHECK_STREAM_INDEX, CHECK_STREAM_THREAD, CHECK_STREAM_RATE,
    CHECK_STREAM_POSITION, CHECK_STREAM_BUFFER_SWITCH, CHECK_STREAM_MESSAGES, CHECK_STREAM_RESET,
    CHECK_STREAM_OUTPUT_READY, CHECK_STREAM_CPU,
    // streaming, time info offered
    CHECK_TIME_INFO_WINDOW, CHECK_TIME_INFO_INDEX, CHECK_TIME_INFO_THREAD, CHECK_TIME_INFO_RATE,
    CHECK_TIME_INFO_POSITION, CHECK_TIME_INFO_RECORD, CHECK_TIME_INFO_MESSAGES,
    CHECK_TIME_INFO_RESET, CHECK_TIME_INFO_OUTPUT_READY, CHECK_TIME_INFO_CPU,
    // lifecycle
    CHECK_LIFE_START_STOP, CHECK_LIFE_RECREATE, CHECK_LIFE_RATE_CHANGE, CHECK_LIFE_RELEASE,
    // two hosts at once
    CHECK_CLIENTS_SECOND, CHECK_CLIENTS_FIRST_KEPT, CHECK_CLIENTS_FIRST_AFTER,
    // what the driver tells its host while streaming, and what it does when the host acts on it
    CHECK_NOTIFY_RESET_ROUND_TRIP, CHECK_NOTIFY_HOST_RATE_CHANGE, CHECK_NOTIFY_NEEDLESS,
    CHECK_NOTIFY_SUPPORTS_NOTHING, CHECK_NOTIFY_SECOND_HOST_CHANGE,
    CHECK_COUNT
};

enum ConformPhase {
    PHASE_OPEN, PHASE_FIGURES, PHASE_RATES, PHASE_BUFFERS, PHASE_STREAM, PHASE_TIME_INFO,
    PHASE_LIFE, PHASE_CLIENTS, PHASE_NOTIFY, PHASE_COUNT
};

enum Verdict { VERDICT_NOT_RUN, VERDICT_SKIPPED, VERDICT_PASS, VERDICT_WARN, VERDICT_FAIL };

struct CheckDefinition {
    const char *id;           // stable: JSON, JUnit, --only and --skip use it
    ConformPhase phase;
    const char *description;  // one line, for --list-checks
};
extern const CheckDefinition checkDefinitions[CHECK_COUNT];
// "open", "figures", ...
const char *phaseName(ConformPhase phase);
// True for the first check of its phase in the table, where a list of the checks heads the phase.
bool opensPhase(int check);
// "PASS", "WARN", "FAIL", "not run", "skipped".
const char *verdictName(Verdict verdict);

enum { EVIDENCE_SIZE = 400 };  // MAX_REPEAT: base.h

struct CheckResult {
    Verdict verdict;                    // the worst of every repetition
    char evidence[EVIDENCE_SIZE];       // of the first repetition that gave the worst verdict
    int evidenceRepetition;             // counted from 1
    double figure;                      // the check's measured figure, where it has one (ppm, ms...)
    bool hasFigure;
    signed char perRepetition[MAX_REPEAT];  // each repetition's verdict
};

enum ConformRun { CONFORM_RUN_STREAM, CONFORM_RUN_TIME_INFO, CONFORM_RUN_CLIENTS, CONFORM_RUNS };
struct ConformResults {
    bool wanted[CHECK_COUNT];  // by --only and --skip; the others are graded "skipped"
    int repetitions;       // asked for
    int repetitionsRun;    // begun
    int runningCheck;      // the check in progress, -1 between checks: a crash or hang is its FAIL
    int runningRepetition;
    CheckResult checks[CHECK_COUNT];
    CpuFigures streamCost[2];  // what the runs of stream [0] and time_info [1] cost the machine
    char shortfall[160];       // the checker's own shortfall that left checks not judged; "" none
    // The notifications of the runs of stream [CONFORM_RUN_STREAM], time_info and the clients'
    // first host, the last repetition's.
    NotificationRecord notifications[CONFORM_RUNS];
};
extern ConformResults conformResults;
// Its entry in the table of records (RecordSpec); its check: the repetitions and the running check
// within range, every verdict known, the evidence ended, the streams' costs in range.
extern const RecordSpec conformRecord;

// The conform command's three parts, as the others' (commands.h): the checks chosen by the
// options, the session, a crash or hang charged to its check, the status from the verdicts.
int measureConform(const CheckerOptions &options, int index, const char *arguments,
                   SessionOutcome *outcome);
void writeConformDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                          int exitCode);
void printConformText(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                      int exitCode);

// How many checks have each verdict.
struct VerdictCounts {
    int byVerdict[VERDICT_FAIL + 1];
};
VerdictCounts countVerdicts(const ConformResults &results);

// --only and --skip: a comma-separated list of check identifiers or phase names. 0, or EXIT_USAGE
// naming the unknown entry.
int parseCheckList(const char *list, bool selected[CHECK_COUNT]);
// Whether a check is to be run under the options.
bool checkWanted(const CheckerOptions &options, ConformCheck check);

// The verdicts as JUnit XML in `path`: a test case per check; after `exitCode` 3 or 4 with no check
// failed, one more for the driver, failed with the error. 0, or EXIT_USAGE when the file cannot be
// written.
int writeJunit(const char *path, const ConformResults &results, int exitCode);
// The checks as --list-checks prints them (text, or JSON with --json).
void printCheckList(const CheckerOptions &options);

// ---- The second host of the clients phase: a worker of its own (the hidden command second-host)
// that does what a second program does while the first streams, and notes when each of its calls
// began and returned on the performance counter, which is the system's.

enum SecondHostCall {
    SECOND_CREATE, SECOND_INIT, SECOND_FIGURES, SECOND_CREATE_BUFFERS, SECOND_START, SECOND_STOP,
    SECOND_DISPOSE, SECOND_RELEASE, SECOND_CALLS
};
struct SecondHostResults {
    int reached;                    // the last call begun; -1 none
    int64_t began[SECOND_CALLS];    // the performance counter; 0: not made
    int64_t ended[SECOND_CALLS];    // 0: not returned
    long answers[SECOND_CALLS];     // ASIOError; create: its HRESULT; init: 1 usable, 0 not
    char errorMessage[124];         // getErrorMessage after a failed init, ended here
    long frames;                    // its buffers' size
    double rate;                    // the rate it read
    long switches;                  // callbacks in its second of streaming
    // The hidden command second-change: what it changed while the first streams, and when.
    int change;                     // SecondChange
    double changedTo;               // the rate it set (CHANGE_RATE)
    long changedFrames;             // the buffer size it made and started (CHANGE_BUFFER_SIZE)
    long changeAnswer;              // setSampleRate's answer; createBuffers' or start's
    double readBack;                // getSampleRate after setSampleRate
    int64_t changeBegan;            // the change's call began (the performance counter); 0: not
    int64_t changedAt;              // the change was made and read back, or started; 0: not yet
};
enum SecondChange { CHANGE_NONE, CHANGE_RATE, CHANGE_BUFFER_SIZE };
// The second host of the notify phase holds its change this long, then undoes it and releases.
const double SECOND_CHANGE_HOLD_SECONDS = 2.5;
extern SecondHostResults secondHostResults;
// Its entry in the table of records (RecordSpec); its check: the call reached known, the message
// ended.
extern const RecordSpec secondHostRecord;
// The name the evidence gives a call: "start()".
const char *secondCallName(int call);
