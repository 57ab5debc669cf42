// The checker's cycles layer: quorvelcheck cycles opens and closes the driver over and over, as
// hosts do (a project loaded, a device switched, a host restarted), in one worker process and in
// fresh ones, and ends some cycles dirty (the host killed while streaming, the object released
// without stop, a second object made while the first lives). Per cycle: success, the times of each
// step, every figure the driver reports, and the worker's handles, threads and private memory after
// the Release; then figures that drift across opens, and growth per cycle as a slope.
//
// The worker runs the hidden command cycles-run: --count cycles from --first-cycle, the last ended
// as --ending says, and hands back one record (CyclesWorkerResults) that the parent checks. The
// parent starts the workers, ends the one to be killed, gathers the cycles and judges them.
// Parent side, main thread, but for the session.
#pragma once

#include "checker/base/base.h"
#include "checker/commands/commands.h"
#include "checker/session/session.h"

#include <stdint.h>

// How a cycle ends. Clean: stop, disposeBuffers, Release. The others are the dirty endings, each
// followed by a fresh worker that must open the driver and stream again.
enum CycleEnding { ENDING_CLEAN, ENDING_KILLED, ENDING_RELEASED, ENDING_SECOND, ENDINGS };
// "clean", "kill", "release", "second": the worker's --ending.
const char *endingOption(int ending);

// How far a cycle got.
enum CycleStage {
    CYCLE_NOTHING, CYCLE_CREATED, CYCLE_OPENED, CYCLE_READ, CYCLE_BUFFERS, CYCLE_STARTED,
    CYCLE_STREAMING, CYCLE_STREAMED, CYCLE_CLOSED,
};

// What the driver reports, read right after init (at the rate it had then) or with the cycle's
// buffers made.
struct CycleFigures {
    long minSize, maxSize, preferredSize, granularity;
    double sampleRate;
    long inputs, outputs;
    long inputLatency, outputLatency;
};
enum { CYCLE_FIGURES = 9 };
// "min size", "preferred size", ... as the text names figure `figure`; its JSON key; its value.
const char *cycleFigureName(int figure);
const char *cycleFigureKey(int figure);
double cycleFigure(const CycleFigures &figures, int figure);
// A size or latency: one that grows is a failure, where another figure's change is a warning.
bool cycleFigureGrows(int figure);

// What the worker measures of itself after each Release: -1 where it could not. Handles are the
// values from 4 (step 4) that GetHandleInformation answers, up to HANDLE_PROBE_GAP values in a row
// that do not or HANDLE_PROBE_BOUND; threads a Toolhelp snapshot's of the process; memory
// VirtualQuery's committed private regions. Wine gives 0 for GetProcessHandleCount and leaves
// GetProcessMemoryInfo's figures unmoved.
enum { HANDLE_PROBE_BOUND = 1 << 16, HANDLE_PROBE_GAP = 512 };
struct ProcessCounts {
    long handles;
    long threads;
    long long privateKB;
};
void measureProcess(ProcessCounts *counts);

enum { MAX_SECOND_TEXT = 124 };
struct CycleResult {
    int32_t number;          // from 1 over the whole command
    int32_t worker;          // the worker process it ran in, from 1 (the parent sets it)
    int32_t inWorker;        // its place there, from 1
    int32_t ending;          // CycleEnding
    int32_t stage;           // CycleStage reached
    bool ok;                 // opened, streamed and (for a clean ending) closed with every call ASE_OK
    long bufferSize;         // the cycle's setting
    double rate;
    bool rateSet;            // setSampleRate was asked for it (set back at the Release)
    CycleFigures opened;     // right after init
    long inputLatency, outputLatency;  // with the buffers made
    double createMs, initMs, buffersMs, startMs, firstSwitchMs, stopMs;  // NAN: not reached
    long long switches;
    bool initialised;
    long createResult;       // CoCreateInstance's HRESULT
    char errorMessage[124];  // getErrorMessage after a failed init
    ASIOError readResult;    // the first of the figure calls that did not answer ASE_OK
    ASIOError setRateResult, buffersResult, startResult, stopResult, disposeResult;
    unsigned long referencesLeft;
    ProcessCounts after;     // after the Release
    // ENDING_SECOND: the second object's creation and init, made while the first streamed.
    long secondCreateResult;
    bool secondInitialised;
    char secondMessage[MAX_SECOND_TEXT];
    char failure[200];       // why it is not ok; "" when it is
};

// One worker's record. The parent empties it before each worker.
enum { MAX_CYCLES_IN_WORKER = MAX_CYCLES };
struct CyclesWorkerResults {
    int32_t count;           // cycles begun
    CycleResult cycles[MAX_CYCLES_IN_WORKER];
};
extern CyclesWorkerResults cyclesWorker;
// Its entry in the table of records (RecordSpec); its check: the count within the array, every
// cycle's ending and stage known, the texts ended, the process counts within their bounds.
extern const RecordSpec cyclesWorkerRecord;
extern const CommandSpec cyclesRunCommandSpec;  // the worker's hidden command
// Its session: options.cycles cycles of driver options.probeIndex, numbered from
// options.firstCycle, the last ended as options.ending says. Stops at the first cycle that fails.
int cyclesRunSession(const CheckerOptions &options);

// ---- The parent's account of the whole command.

enum { MAX_ALL_CYCLES = MAX_CYCLES + 4 };
struct CyclesRun {
    int count;                     // cycles in `cycles`
    CycleResult cycles[MAX_ALL_CYCLES];
    int workers;                   // workers started
    int crashedCycle;              // the cycle a crash, hang or end of the worker came in; 0 none
    SessionOutcome crash;          // ... its story
    bool interrupted;              // the user interrupted: the cycles so far are shown, nothing judged
    bool shortfall;                // the checker's own shortfall stopped it (its text in `why`)
    char why[320];
};
extern CyclesRun cyclesRun;

// ---- The verdicts: each finding's word, its sentence, and the evidence behind it.

enum CyclesVerdict { CYCLES_PASS, CYCLES_WARN, CYCLES_FAIL, CYCLES_NOT_RUN };
const char *cyclesVerdictName(int verdict);  // "PASS", "WARN", "FAIL", "not run"

// A least-squares slope of a count over the clean cycles of each worker after its first (its
// baseline), one line per worker and one slope for all, with its standard error.
struct Growth {
    bool judged;         // a worker with 3 cycles fitted after its baseline
    int cycles;          // the cycles fitted
    double slope;        // per cycle
    double spread;       // its standard error
    bool clear;          // slope above GROWTH_FLOOR and above 3 spreads: a leak
};
// The floors under which a slope is noise whatever its spread.
extern const double GROWTH_FLOOR[3];  // handles, threads, KB per cycle

enum CyclesFinding {
    FINDING_CYCLES,      // every cycle opened and streamed
    FINDING_RELEASED,    // opened again after a Release without stop and disposeBuffers
    FINDING_SECOND,      // ... after a second object was made while the first lived
    FINDING_KILLED,      // ... after a host was killed while streaming
    FINDING_DRIFT,       // no figure drifts across opens at the same settings
    FINDING_HANDLES,     // no growth of handles, threads, private memory per cycle
    FINDING_THREADS,
    FINDING_MEMORY,
    CYCLES_FINDINGS
};
struct CyclesFindings {
    int verdict[CYCLES_FINDINGS];
    char text[CYCLES_FINDINGS][400];
    Growth growth[3];    // handles, threads, memory
};
// "cycles", "after_kill", ... the finding's id in JSON and JUnit.
const char *cyclesFindingId(int finding);
void judgeCycles(const CheckerOptions &options, CyclesFindings *findings);
// The status for them: EXIT_CHECK_MISSED for a FAIL (fail() with the first), else EXIT_FINE.
int cyclesStatus(const CyclesFindings &findings);

// ---- The command's three parts (commands.h), and the JUnit file.
int measureCycles(const CheckerOptions &options, int index, const char *arguments,
                  SessionOutcome *outcome);
void writeCyclesDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                         int exitCode);
void printCyclesText(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                     int exitCode);
// A test case per finding, a failure with its sentence; a crash or a driver that could not be
// opened is a failing case of its own, the checker's own shortfall an error of a case "checker".
// EXIT_FINE or EXIT_USAGE when the file cannot be written.
int writeCyclesJunit(const char *path, const CheckerOptions &options, int exitCode);
extern const CommandSpec cyclesCommandSpec;
