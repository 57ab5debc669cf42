// What a driver session measured, as plain records: filled in the worker, handed to the parent whole
// (worker.h), printed and written as JSON there. Each says how far its session got, so that what was
// measured before a failure is still shown. No pointers: the two processes share no addresses.
#pragma once

#include "checker/checker_callbacks.h"
#include "checker/integrity_analysis.h"
#include "checker/ping.h"
#include "checker/run_setup.h"
#include "checker/switch_timing.h"
#include "drivers/asio_interface.h"

struct SessionOutcome;

// Each command's measuring and its JSON document, shared by the command and the report: the measure
// function runs the session in a worker (`arguments`: its command line there, as runDriverSession
// takes it), leaves what it measured in the command's record and returns the command's exit status;
// the write function writes the document `--json` prints to the JSON writer's destination
// (json_writer.h), the document of the failure alone after a status the results do not stand after.

// The driver as it was opened.
struct OpenedDriver {
    int index;
    bool created;          // the COM object was made
    long createResult;     // what creating it answered (an HRESULT)
    bool initialised;      // init answered true
    double createMs, initMs;
    char name[32];         // getDriverName, terminated here
    long version;
    char errorMessage[124];  // getErrorMessage after a failed init, terminated here
};
extern OpenedDriver openedDriver;

// ---- info
enum { PROBE_RATES = 8, MAX_LISTED_CHANNELS = 1024, MAX_CLOCKS = 32 };
extern const double probeRates[PROBE_RATES];

enum InfoStage { INFO_NOTHING, INFO_FIGURES, INFO_RATES, INFO_CHANNELS, INFO_LATENCIES, INFO_DONE };
struct InfoResults {
    InfoStage stage;        // the last part measured
    DriverFigures figures;  // its sampleType is not valid in the parent: look the type up again
    ASIOError rateAnswers[PROBE_RATES];
    long listedInputs, listedOutputs;  // at most MAX_LISTED_CHANNELS each
    ASIOChannelInfo inputs[MAX_LISTED_CHANNELS];
    ASIOChannelInfo outputs[MAX_LISTED_CHANNELS];
    long inputLatency, outputLatency;
    ASIOError latencyResult;
    ASIOClockSource clocks[MAX_CLOCKS];
    long clockCount;
};
extern InfoResults infoResults;
int measureInfo(const CheckerOptions &options, const char *arguments, SessionOutcome *outcome);
void writeInfoDocument(int index, const InfoResults &results, const SessionOutcome &outcome,
                       int exitCode);

// ---- run
enum RunStage { RUN_NOTHING, RUN_PREPARED, RUN_STARTED, RUN_MEASURED, RUN_STOPPED };
struct RunResults {
    RunStage stage;
    RunSetup setup;
    TimingFigures timing;   // from RUN_MEASURED: judged before the stop was asked for
    MessageTally messages;
};
extern RunResults runResults;
int measureRun(const CheckerOptions &options, int index, const char *arguments, SessionOutcome *outcome);
void writeRunDocument(const CheckerOptions &options, const RunResults &results,
                      const SessionOutcome &outcome, int exitCode);

// ---- latency
struct LatencyResults {
    RunStage stage;
    RunSetup setup;
    long outChannel, inChannel;
    long outType, inType;
    // The driver's claim once the buffers were made, and again after the run: a driver that sends a
    // latency-changed or reset request has changed it meanwhile.
    long inputLatency, outputLatency;
    long inputLatencyAfter, outputLatencyAfter;
    bool claimReadAfter;
    // The pings, as the callback left them.
    long wanted;
    long sent;
    int64_t sentAt[MAX_PINGS];
    int64_t roundTrip[MAX_PINGS];  // frames; -1 lost
    int64_t sentInSwitch[MAX_PINGS];
    double gapBeforeUs[MAX_PINGS];  // the longest interval between switches since the ping before
    bool lost;
    bool quietSinceSent;    // for the lost ping: the input fell quiet before the echo could come
    double peakSinceSent;   // ... its loudest frame since it was sent, a fraction of full scale
    double quietestWindow;  // ... its quietest 16 frames in a row
    TimingFigures timing;
    MessageTally messages;
};
extern LatencyResults latencyResults;

// ---- latency --sweep: the round trip at every allowed buffer size, at each rate asked for, each
// setting measured `repeats` times, each a full create, start, stop and dispose.
enum { MAX_SWEEP_RATES = 8, MAX_SWEEP_SIZES = 16, MAX_SWEEP_REPEATS = 10,
       MAX_SWEEP_SETTINGS = MAX_SWEEP_RATES * MAX_SWEEP_SIZES };

struct SweepSetting {
    double rate;
    long size;
    int repeatsRun;
    int64_t roundTrip[MAX_SWEEP_REPEATS];  // frames, the median of that repeat's pings; -1 lost
    long reportedIn, reportedOut;          // getLatencies once the buffers of the first repeat were made
    ASIOError error;                       // the setting could not be run: createBuffers or start
    bool measured;                         // at least one repeat came back
    int64_t median, spread;                // across the repeats that came back
    long difference;                       // reported - measured median
    bool outsideTolerance;
};

struct SweepResults {
    RunStage stage;
    long outChannel, inChannel;
    long outType, inType;
    int repeats;
    double tolerance;        // frames; negative when no --tolerance was given
    int settingCount;        // settings measured so far, in order: rate by rate, size by size
    int runningSetting;      // the setting in progress, -1 between them
    SweepSetting settings[MAX_SWEEP_SETTINGS];
};
extern SweepResults sweepResults;
// Runs the sweep's session for entry `index` (the records emptied first); its exit status.
int measureSweep(const CheckerOptions &options, int index, const char *arguments,
                 SessionOutcome *outcome);
// The document latency --sweep --json prints (the failure's alone after a status it does not show).
void writeSweepDocument(int index, const SweepResults &results, const SessionOutcome &outcome,
                        int exitCode);

// ---- integrity: a known sequence through the cable, every sample accounted for.
struct IntegrityResults {
    RunStage stage;
    RunSetup setup;
    long outChannel, inChannel;
    long outType, inType;
    int bits;                   // the input's sample bits the sequence uses
    // The analysis as it ended (integrity_analysis.h), without its working state.
    int state;                  // IntegrityState
    int64_t delay, lockDelay, lockPosition;
    int64_t received, unseen, matched, corrupted, inverted, foreign, dropped, repeated, slipped;
    int64_t eventCounts[EVENT_KINDS];
    int keptEvents;
    IntegrityEvent events[MAX_INTEGRITY_EVENTS];
    uint32_t differingBits;
    int transparentBits;
    int noLockReason;           // NoLockReason
    double peakDbfs, rmsDbfs;
    long blocksDroppedByChecker;  // blocks the checker's ring had no room for: its own fault
    TimingFigures timing;
    MessageTally messages;
};
extern IntegrityResults integrityResults;
int measureIntegrity(const CheckerOptions &options, int index, const char *arguments,
                     SessionOutcome *outcome);
// The document integrity --json prints (the failure's alone after a status it does not show).
void writeIntegrityDocument(const IntegrityResults &results, const SessionOutcome &outcome,
                            int exitCode);
