// The checker's session layer: the worker process a driver's session runs in, the driver a command
// works on (found, opened, closed) and a run of the loopback. It knows none of the user's commands:
// the program hands it its table of records (useRecords), and each command its session; its one
// command is its own hidden restore-rate, the worker that sets a rate back after a session that
// could not. Main thread of either process.
//
// The worker: every command that loads a driver runs the driver's session in a second process, the
// same program started again by itself with a private first argument. The worker says, in a small
// shared record, which driver call it is in; the parent gives each call a time limit, and reports a
// call that does not return, a crash (exception code, module and offset) or an end of the process
// from inside a call, naming the call. What the worker measured reaches the parent as records
// (plain structs of this program, sent whole over a pipe as they are filled), so that what was
// measured before a failure is still printed. --in-process runs the session in the parent itself,
// for a debugger.
#pragma once

#include "checker/base/base.h"
#include "checker/measure/measure.h"
#include "drivers/asio_interface.h"
#include "engine/driver_report.h"

#include <stddef.h>
#include <stdint.h>
#include <string>

// ---- The records a worker hands back: the same globals in both processes, the worker's copied
// over the parent's as they come. Plain data only: the two processes share no addresses.

struct RecordSpec {
    void *place;
    size_t size;
    const char *name;  // as the failure names it: "info"
    // The first field of a copy (`size` bytes) that is out of range, by name, or null when the
    // copy holds: counts and indexes within their arrays, enums known, texts ended.
    const char *(*fault)(const void *copy);
};
// The program's records (the driver as opened and the call notes among them), kept by pointer;
// call once, before any session, in both processes. Each record's entry stands beside its
// definition; the call notes', whose record is the base layer's, in the session layer.
void useRecords(const RecordSpec *const *records, int count);
extern const RecordSpec callNotesRecord;
// Worker: sends the record at `place` (one of the table's) to the parent as it is now. In the
// parent (in process): nothing.
void publishRecord(const void *place);
// The parent: `taken` is called with a record's place each time a copy of it has been checked and
// taken over it (in process: each time it is published), on the main thread, as the session goes
// on; null for none. A command that writes as it goes (soak's log) sets it before its session.
void onRecordTaken(void (*taken)(const void *place));
// The check a copy of the record at `place` gets when it arrives: the field out of range, or
// null when it holds (and for a place that is not a record).
const char *recordFault(const void *place, const void *copy);

// ---- How a session ended, seen from the parent

enum SessionEnd {
    SESSION_FINISHED,     // the session returned its own status
    SESSION_CRASHED,      // an exception nobody handled
    SESSION_HUNG,         // a driver call (or the run) went over its time limit: the worker was ended
    SESSION_EXITED,       // the process ended without a result: the driver ended it
    SESSION_NOT_STARTED,  // the worker could not be started, or failed before it loaded a driver
    SESSION_CORRUPTED,    // what the worker sent was out of range: the driver wrote over its memory
    SESSION_INTERRUPTED,  // Ctrl+C or Ctrl+Break: the parent ended the worker
};

// What became of a rate the session changed, when the worker did not set it back itself.
enum RateRestore {
    RATE_NOT_NEEDED,     // unchanged, or set back by the session
    RATE_SET_BACK,       // a new worker set it back and read it back
    RATE_NOT_SET_BACK,   // it could not (the text says why)
};

struct SessionOutcome {
    SessionEnd end;
    bool inProcess;                // --in-process: no worker
    char call[64];                 // the driver call it was in ("createBuffers()"); "" for none
    char lastCall[64];             // the last call that had returned ("Release()"); "" for none
    bool duringRun;                // between start and stop, outside any call
    bool beforeFirstWord;          // the worker had said nothing yet
    unsigned long exceptionCode;   // SESSION_CRASHED
    char module[64];               // where it happened: "simasio64.dll"; "" unknown
    unsigned long long offset;     // from the module's base
    bool onOtherThread;            // a thread of the driver's, not the session's
    double crashRunSeconds;        // a driver thread's crash during the run: how far into it
    long long crashSwitches;       // ... and after how many switches; -1 unknown
    unsigned long exitCode;        // SESSION_EXITED: the process's exit code
    double limitSeconds;           // SESSION_HUNG: the limit that ran out
    bool wouldNotEnd;              // the worker was still there seconds after it was ended
    char record[32];               // SESSION_CORRUPTED: the record ("" for the frames themselves)
    char field[96];                // ... and its field out of range, or what was wrong
    bool interruptedBefore;        // the user interrupted, and the driver then crashed, hung or
                                   // ended the process while the session was closing it
    double workerStartMs;          // from creating the worker to its first word
    RateRestore rateRestore;       // after a crash, hang, exit or interruption with a rate changed
    double restoredRate;           // the rate to set back
    char rateText[160];            // the sentence on it
    char text[320];                // the whole story in a sentence, as the error line gives it
};

// Runs `session` for `options` in a worker (or here, with options.inProcess). `arguments` is the
// worker's command line after the program and the private argument: the user's arguments as given,
// or those of an internal command; the worker parses it and runs its command's session. The
// records the session publishes land here as they come. Returns the session's exit status, or
// EXIT_CRASHED (EXIT_DRIVER when no worker ran, EXIT_INTERRUPTED) with *outcome filled (the story
// on stderr).
int runDriverSession(const CheckerOptions &options, int (*session)(const CheckerOptions &),
                     const char *arguments, SessionOutcome *outcome);
// A short worker of a command's own after its session (gone's fresh tries to open the driver
// again): as runDriverSession, but nothing of it is shown and no fail() is this command's; the
// driver's lines are kept as a session's. Its status, its story in *outcome, the failure it sent
// in lastFailure().
int runFreshWorker(const CheckerOptions &options, int (*session)(const CheckerOptions &),
                   const char *arguments, SessionOutcome *outcome);
// A worker the parent ends itself, as a host is killed from the task manager: as runFreshWorker,
// but poll() is asked at every look (every 20 ms or so), and true ends the worker at once
// (TerminateProcess); its outcome is then SESSION_INTERRUPTED. No --in-process: EXIT_USAGE.
int runWorkerEndedBy(const CheckerOptions &options, const char *arguments, bool (*poll)(),
                     SessionOutcome *outcome);
// The user's arguments as typed (the wide command line after the program's name, in UTF-8), for
// runDriverSession; argc and argv are not needed.
void userArguments(int argc, char **argv);
const char *userArgumentText();
// Appends `argument` to a command line, quoted so that the C runtime's parsing gives it back whole.
void quoteArgument(std::string *line, const char *argument);
// The session outcome as JSON fields: "worker" (in process or not, its start-up time),
// "rate_restored", and "failure" for a session that did not finish.
void jsonSessionOutcome(const SessionOutcome &outcome);
// What drivers wrote on the workers' standard output and error, apart from the checker's own
// output: "The driver wrote 4 lines to its standard handles:" and the lines kept (at most 100 and
// 16 KiB, the rest counted), after a command's results; nothing when there were none. As JSON:
// "driver_output", its "lines" and "not_kept".
void printDriverOutput();
void jsonDriverOutput();
// How every document of a driver session ends: the outcome, "driver_output", "error" unless all was
// fine, the exit status, and the document's close.
void jsonSessionEnd(const SessionOutcome &outcome, int exitCode);

// ---- The worker's side

// True when argv[1] is the private argument: this process is a worker.
bool isWorkerArgument(const char *argument);
// The worker's main: attaches to the parent, watches the driver calls, runs the session of the
// command in argv[2...] and ends with its status.
int workerMain(int argc, char **argv);
// The run between start and stop, outside any call: judged by its own limit (seconds plus the call
// limit). 0 ends it.
void watchRun(double seconds);
// The switches of the run so far, for the parent should the run end without a word.
void watchRunSwitches(long long switches);
// The rate the parent sets back in a new worker should this one end without doing it.
void watchRateToRestore(bool registered, double rate);
// True once a thread of the driver's crashed during the run: the worker's filter noted it and
// holds that thread. The run's wait ends; what it measured is judged and published as after any
// wait; endRun (or the end of the session) then ends the worker with the exception code.
bool runCrashed();
// True once the parent asked the run to end (the user interrupted): the wait ends, and the session
// goes on as after any run.
bool runStopAsked();
// The session stops at safe points of its own when runStopAsked(), between runs too (conform's
// phases, the sweep's settings): the parent then hands it the user's interrupt wherever it is,
// rather than ending the worker. Call before the first driver call.
void stopAtSafePoints();
// Ends the worker with the crash's exception code when runCrashed(); nothing otherwise.
void endCrashedRun();
// The least time a worker has to say its first word: its own start runs no driver code, and a
// loaded or emulated machine takes seconds for it whatever the call limit.
const double WORKER_START_SECONDS = 60;

// A second worker beside this session's run (conform's second host): the hidden command in
// `arguments` runs in a process of its own while the run goes on. This worker's watch says it is
// running for `wholeSeconds`, which the second's whole session must fit in, so that the parent
// neither ends this worker too early nor waits for ever; the second is ended past it too. poll()
// (may be null) is called every 20 ms or so, as waitForRun's is: true ends the second at once, as
// a driver thread's crash or the user's interrupt do. The second's records land here; nothing of
// it is shown, and lastFailure() stays. Its status (EXIT_CRASHED, EXIT_DRIVER or EXIT_INTERRUPTED
// when it did not finish), its outcome in *outcome. The watch is idle again after.
int runBesideRun(const CheckerOptions &options, const char *arguments, double wholeSeconds,
                 bool (*poll)(), SessionOutcome *outcome);

// ---- Setting a rate back in a new worker (the hidden command restore-rate), after a session that
// changed it and ended without setting it back.
enum RestoreStage { RESTORE_NOTHING, RESTORE_SET, RESTORE_READ_BACK };
struct RateRestoreResults {
    RestoreStage stage;
    ASIOError setResult;   // setSampleRate
    ASIOError readResult;  // getSampleRate after it
    double readBack;
};
extern RateRestoreResults rateRestoreResults;
// Its entry in the table of records (RecordSpec); its check: the stage known.
extern const RecordSpec rateRestoreRecord;

// ---- The driver a command works on: found in the list the dialog shows, opened and initialised
// with a hidden window as its system reference, and closed again.

// The driver as it was opened.
struct OpenedDriver {
    int index;
    bool created;          // the COM object was made
    long createResult;     // what creating it answered (an HRESULT)
    bool initialised;      // init answered true
    double createMs, initMs;
    int64_t createdAt, initialisedAt;  // when each began, on the performance counter (the system's)
    char name[32];         // getDriverName, terminated here
    long version;
    char errorMessage[124];  // getErrorMessage after a failed init, terminated here
};
extern OpenedDriver openedDriver;
// Its entry in the table of records (RecordSpec); its check: both texts ended.
extern const RecordSpec openedDriverRecord;

// Scans the registry once, as the dialog does; COM is initialised when a driver was found.
void loadDriverList();
// DRIVER as a list index or an unambiguous, case-insensitive part of an entry's name (a name equal
// to it as a whole wins over names that only contain it). 0 with *index set, or EXIT_USAGE with the
// choices on stderr.
int findDriver(const char *text, int *index);
// "0x80040154 (Class not registered)": an HRESULT with the system's text for it.
const char *comResultText(long result, char *out, size_t size);
// Opens and initialises entry `index` with a hidden top-level window as its system reference, and
// notes what it gave and the times of both in openedDriver, handed to the parent. 0, or
// EXIT_DRIVER with the COM result or the driver's own error message.
int openChosenDriver(int index);
// The list loaded, DRIVER found (its index in *index) and opened: 0, or the first failure's status.
int openNamedDriver(const char *text, int *index);
// Remembers the rate to set back before the driver is closed: a run that changes the rate sets it
// back whatever happens after (drivers keep, often persist, the last rate). Call it before every
// setSampleRate, with the rate the driver reported whatever it was (0, NaN): the first one counts.
// The parent learns it too, and sets it back in a new worker should this one crash, hang or end.
void rememberRateToRestore(double rate);
// Sets a remembered rate back, releases the driver (its buffers disposed before) and destroys the
// window. The references the driver's Release said were left: 0 when it let go.
unsigned long closeChosenDriver();
// The chosen driver as the output names it: index, list name, class.
void printDriverHeading(int index);
void jsonDriver(int index);
// Waits `ms` milliseconds while dispatching the thread's messages: drivers post to their windows,
// and COM's apartment needs its messages too.
void pumpMessages(unsigned long ms);

// ---- A run of the loopback as the dialog runs it (input i copied to output i in every switch),
// with the checker's own callbacks, at a buffer size and rate of the user's choice. The driver is
// open.

struct RunSetup {
    int index;               // the chosen entry
    DriverFigures figures;   // read after any rate change (readRecordFigures)
    double originalRate;     // the rate before --rate, set back when the driver is closed; 0: unchanged
    long bufferSize;         // frames per buffer of this run
    double periodUs;         // bufferSize / rate; 0 when the rate is not usable
    int64_t windowStart;     // switch ticks when start had returned
    int64_t windowEnd;       // switch ticks just before stop was called
    double elapsedS;         // the window in seconds
    long switchCount;        // the loopback's count after the stop, every switch of the run
};

// A copy's check, for the records that hold one: the figures' pointer null, their texts ended.
const char *runSetupFault(const RunSetup &setup);
const char *figuresFault(const DriverFigures &figures);
// readDriverFigures with the figures' one pointer (the sample type's row) cleared: figures travel in
// records to the parent, which looks the type up itself.
void readRecordFigures(DriverFigures *figures);
// The first steps of a run's session: the driver found and opened, the run prepared. 0, or the
// first failure's status, with the reason on stderr.
int openRun(const CheckerOptions &options, RunSetup *setup);
// Reads the figures; --rate (canSampleRate must answer ASE_OK, then setSampleRate, then the figures
// again; the old rate is set back when the driver is closed, whatever happens) and --buffer (within
// the driver's sizes and granularity). A run needs a buffer size above 0. 0, EXIT_USAGE or
// EXIT_DRIVER, with the reason on stderr.
int prepareRun(const CheckerOptions &options, RunSetup *setup);
// Creates the buffers with `callbacks` and, when that worked, starts the driver; the window of the
// run begins when start has returned. 0, or EXIT_DRIVER with the reason (the buffers are disposed
// again).
int beginRun(const ASIOCallbacks *callbacks, RunSetup *setup);
// Waits while pumping messages and taking the arrivals, at most `seconds`, with the live progress
// line; progress(line, size) writes its text. poll() (may be null) is called at least every 100 ms:
// it may take what the callbacks left, and true ends the wait. A crash on a driver thread ends it
// too (runCrashed), and so does the user's interrupt (runStopAsked).
void waitForRun(double seconds, bool (*poll)(), void (*progress)(char *line, size_t size));
// Ends the run's window and judges its switches: before the stop is asked for, so that what the run
// measured stands even when the driver does not come back from stop.
void judgeWindow(RunSetup *setup, TimingFigures *timing);
// Stops the driver and disposes its buffers; the switches that came during the stop join the
// figures judged before it (null: none were). After runCrashed() the worker ends here instead.
void endRun(RunSetup *setup, TimingFigures *timing);
// endLoopback, with what stop and disposeBuffers answered noted (callNotes): a driver that fails
// while it is closed is a finding like one that fails while it is opened.
void endNotedLoopback();
// One channel of a run: it exists, and its sample type (in *type) is one `supported` takes (`need`
// says which, in the message). 0, or EXIT_USAGE with the reason on stderr.
int checkChannel(bool isInput, long channel, const DriverFigures &figures, bool (*supported)(long type),
                 const char *need, long *type);
// The channels a cable joins: output --out and input --in exist, and their sample types are ones
// `supported` takes (`need` says which, in the message). Their types in *outType and *inType.
// 0, or EXIT_USAGE with the reason on stderr.
int checkCable(const CheckerOptions &options, const DriverFigures &figures, bool (*supported)(long type),
               const char *need, long *outType, long *inType);

// ---- What the host does when the driver asks for something during a run (round_trip.cpp). The
// callbacks only note a request (measure.h's notification log); here, on the main thread, the run
// acts on it as a host must: a reset request by stop, disposeBuffers, Release, the object made and
// initialised anew, every figure read again, new buffers at the (new) preferred size and start; a
// buffer size change by new buffers at that size; changed latencies by reading them again; a resync
// or a new rate by reading the rate and the sample position again. Every call goes through the
// watched calls of the driver layer, so a crash or hang in a round trip names its call.

// What a host reads again after a request.
struct HostFigures {
    long minSize, maxSize, preferredSize, granularity;
    double sampleRate;
    long inputs, outputs;
    long inputLatency, outputLatency;
    long inputType, outputType;  // of input 0 and output 0; -1 where there is none
    long clockSource;            // index of the current clock source; -1 when none is current
    char clockName[32];          // its name, ended here
    int64_t samplePosition;      // not compared: it moves
    ASIOError sizesResult, rateResult, channelsResult, latencyResult, clockResult, positionResult;
};
// Asks the open driver for all of it (stopped or running).
void readHostFigures(HostFigures *figures);
// The figures' names, as the output and the document give them ("preferred_size"), and each as
// text ("256", "48000", "ASIOSTInt32LSB"); FIGURE_COUNT of them, the sample position not among them.
enum { FIGURE_COUNT = 12 };
const char *hostFigureName(int figure);
void hostFigureText(const HostFigures &figures, int figure, char *out, size_t size);
// Whether figure `figure` differs between the two.
bool hostFigureChanged(const HostFigures &before, const HostFigures &after, int figure);

// The steps of a round trip, in order.
enum TripStep {
    STEP_STOP, STEP_DISPOSE, STEP_RELEASE, STEP_CREATE, STEP_INIT, STEP_SET_RATE, STEP_READ,
    STEP_CREATE_BUFFERS,
    STEP_START, TRIP_STEPS
};
// "stop()", "disposeBuffers()", "Release()", "CoCreateInstance()", "init()", "setSampleRate()"
// (the host's rate set again on the new object, where it had one and the object came at another),
// "the figures read again", "createBuffers()", "start()".
const char *tripStepName(int step);

// One request the run met, and what became of it.
struct HostRoundTrip {
    long requests;           // the PendingRequest bits it answered
    int policy;              // ResetPolicy: what the checker did
    double requestMs;        // from the run's start (start's return) to the request; -1 unknown
    long long afterSwitch;   // the run's switches before it
    uint32_t thread;         // the thread it came on
    bool onHostThread;       // the checker's own main thread (inside a call of the host's)
    long size;               // a buffer size change: the size asked for
    double rate;             // a rate change: the rate announced
    HostFigures before, after;
    bool made[TRIP_STEPS];   // the steps taken
    long answers[TRIP_STEPS];  // ASIOError; Release: the references left; CoCreateInstance: its
                               // HRESULT; init: 1 usable, 0 not
    int failedStep;          // the step that failed, -1 none
    bool shortfall;          // ... for want of the checker's own memory, not the driver's doing
    char failure[200];       // why, "" none
    double actedMs;          // from the request to the checker's first step: its own delay
    double firstSwitchMs;    // from the request to the first switch after the restart; -1 none
    long bufferSize;         // of the stream after it
    double periodUs;         // ... at the rate the driver reports after it; 0 unknown
    bool judged;             // the stream after it was judged into `timing`
    TimingFigures timing;
};
enum { MAX_ROUND_TRIPS = 6 };
struct HostRoundTrips {
    int count;
    long notKept;            // requests past MAX_ROUND_TRIPS: counted, not acted on
    bool failed;             // a round trip failed: the run ended there, the driver closed or not
    bool stopped;            // --on-reset stop: the run ended at the request
    HostRoundTrip trips[MAX_ROUND_TRIPS];
};
// A copy's check: the count within the array, the failed step known, the texts ended, the timings
// in range.
const char *roundTripsFault(const HostRoundTrips &trips);

// The run's wait (waitForRun), `seconds` from start's return, with the driver's requests acted on
// by `policy`: each one splits the run, the window before it judged (the first into *timing, as
// judgeWindow does, the later ones into the trip before) and the stream after it judged the same
// way into its trip, given at least a second. A round trip that fails ends the run there
// (trips->failed; the trip says why). publish() (may be null) is called after each step. On return every
// window was judged and *last names the timing the stop's switches belong to (endRun). The driver is
// then running, or closed after a failed round trip.
// `hostRate` is the rate the host keeps (--rate; 0: none), set again on a new object that comes at
// another.
void runWithRequests(int policy, double seconds, double hostRate, const ASIOCallbacks *callbacks,
                     RunSetup *setup,
                     TimingFigures *timing, HostRoundTrips *trips, TimingFigures **last,
                     void (*progress)(char *line, size_t size), void (*publish)());
// One round trip outside a run of runWithRequests (conform's): what a host does with
// trip->requests on the driver running at `runningSize` frames with `callbacks`, entry `index` made
// again for a reset, `hostRate` (0: none) set again on it. trip->before is the caller's; the rest is filled. False when a step failed
// (trip->failedStep, trip->failure); the driver is then stopped, or closed.
bool followRequests(HostRoundTrip *trip, int index, const ASIOCallbacks *callbacks, long runningSize,
                    double hostRate);
