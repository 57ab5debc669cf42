// The conformance folder's internal interface: grading, the phases, what the phases share, and the
// callbacks that note every switch with the stage of the host it came in, so that the streaming and
// lifecycle checks can judge the whole run afterwards. Worker, main thread, except the callbacks.
#pragma once

#include "checker/conform/conform.h"

#include <atomic>
#include <initializer_list>
#include <stddef.h>
#include <stdint.h>

// ---- Grading. A check not wanted (--only, --skip) is never begun and makes no driver call of its
// own; it stays "skipped" whatever it is graded. Over the repetitions the worst verdict stands, with
// the evidence of the first repetition that gave it.

// Records a verdict of the running repetition, the evidence as printf.
void grade(ConformCheck check, Verdict verdict, const char *format, ...) PRINTF_LIKE(3, 4);
// True when `result` is ASE_OK; otherwise grades FAIL "<call> answered <its name>", call as printf.
bool answered(ConformCheck check, ASIOError result, const char *call, ...) PRINTF_LIKE(3, 4);
// Leaves a check "not run" with why (as printf): an earlier failure left it nothing to judge.
void notRun(ConformCheck check, const char *format, ...) PRINTF_LIKE(2, 3);
// `why`, the failure of check `cause`, left `check` nothing to judge: "not run", naming the cause,
// when the cause is wanted (its FAIL shows); a FAIL with `why` when it is skipped.
void nothingToJudge(ConformCheck check, ConformCheck cause, const char *why);
// Adds to the evidence of the running repetition (as printf).
void appendEvidence(ConformCheck check, const char *format, ...) PRINTF_LIKE(2, 3);
// Records the check's figure (the last one recorded stands).
void gradeFigure(ConformCheck check, double figure);
// Whether the options want the check.
bool wanted(ConformCheck check);
// The first check of `phase` the options want; CHECK_COUNT for none.
ConformCheck firstWantedCheck(ConformPhase phase);
// Marks a wanted check in progress, so that a crash or hang is its FAIL, and publishes the results
// so far; a check not wanted is never marked.
void beginCheck(ConformCheck check);
// Begins the first wanted one of `checks`, which share the calls that come next: false for none.
bool beginFirstWanted(std::initializer_list<ConformCheck> checks);
// The user interrupted (runStopAsked): every wanted check the running repetition has not graded is
// left "not run", saying so; none is failed for it.
void leaveInterrupted();
// The checker's own shortfall (no memory, fell behind) left `check` without a judgement in the
// running repetition: "not run" with why (as printf), unless it failed already, whatever it was
// graded; the first such why is the run's shortfall (status 6 when no check failed).
void leaveUnjudged(ConformCheck check, const char *format, ...) PRINTF_LIKE(2, 3);

// ---- The phases, in order. Each opens a driver object of its own and releases it.

// Creates, initialises, names and reopens the driver; false when nothing else can be checked.
bool conformOpen(const CheckerOptions &options, int index);
// What the driver says of itself before any buffer exists.
void conformFigures(const CheckerOptions &options, int index);
// Every standard rate asked about, set and read back; then the rate it had set back.
void conformRates(const CheckerOptions &options, int index);
// createBuffers at the allowed sizes, again after a dispose, and twice without one.
void conformBuffers(const CheckerOptions &options, int index);
// One run at the preferred size, time info declined or offered, its switches judged afterwards.
void conformStream(const CheckerOptions &options, int index, bool timeInfo);
// Start and stop, dispose and create, a rate change between runs, and the last release.
void conformLife(const CheckerOptions &options, int index);
// A second host, in a worker of its own, while the first streams; then the first alone again.
void conformClients(const CheckerOptions &options, int index);
// What the driver tells its host while streaming: a reset request followed through, a rate the host
// sets while streaming, notifications with no change behind them, and a host that supports nothing.
void conformNotify(const CheckerOptions &options, int index);
// notify.second_host_change (conform_second_change.cpp): a second host changes the rate, or the
// buffer size, while this one streams; what this one was told. The driver closed after.
void checkSecondHostChange(const CheckerOptions &options, int index);
// The accepted standard rate furthest from `rate` (canSampleRate, on the open driver), whose pace
// tells them apart where one is; 0 when it accepts no other.
double otherAcceptedRate(double rate);
// A notify check's stream on the phase's open object: a conformance run begun (the log noted
// against its own count of switches), buffers at `frames`, started. True; or the check failed
// with what answered, and the object closed.
bool startNotifyStream(ConformCheck check, long frames);

// ---- The clients phase's cable (--out, --in; nothing is done without them): the first stream
// writes the integrity sequence on output O, input I is analysed. Worker, main thread.

// The first stream's callbacks: integrityCallbacks, the cable's plan, ring and analysis made; without
// a cable timedCallbacks. Null, with why and the failure's status in *code (EXIT_SHORTFALL: the
// checker's own), when the cable cannot be used.
const ASIOCallbacks *prepareClientsCable(const CheckerOptions &options, const DriverFigures &figures,
                                         long frames, double periodUs, char *why, size_t size, int *code);
// Just after the first host's start returned.
void startClientsCable();
// While the first streams, at least every 100 ms.
void pollClientsCable();
// Just before the first host's stop: the analysis finished.
void finishClientsCable();
// After the phase: the analysis freed.
void endClientsCable();
// Fails `check` on the first integrity event the first host's input had from `from` to `to` (the
// performance counter), or on the samples missing at the end when `to` is INT64_MAX, placed against
// the second host's calls; fails it without the sequence found before input position `lockBy`, as
// there is nothing to judge the samples by; else adds the cable's figures to its evidence.
void judgeClientsCable(ConformCheck check, int64_t from, int64_t to, int64_t lockBy, const char *while_);
// "3.1 ms after the second host's start() returned", for a moment on the performance counter.
void placeAgainstSecondHost(int64_t at, char *out, size_t size);

// ---- What the phases share

// Opens a fresh object for a phase, the opening charged to the phase's first wanted check; when that
// fails, every wanted check of the phase fails: false.
bool openForPhase(const CheckerOptions &options, int index, ConformPhase phase);
// The rate the phase's object had when it was opened: getSampleRate's answer and the rate, whatever
// it was (0, NaN). A rate that could not be read leaves the last one the driver reported earlier in
// the suite, where there is one.
void phaseRate(ASIOError got, double rate);
// The rate the phase's close sets back after a change: the phase's own, else the last the driver
// reported. False when none is known.
bool rateToSetBack(double *rate);
// setSampleRate(rate), with rateToSetBack remembered first (rememberRateToRestore), so that the
// phase's close sets it back whatever happens after.
ASIOError setRateToRestore(double rate);
// openForPhase, then the driver's figures read.
bool openWithFigures(const CheckerOptions &options, int index, ConformPhase phase,
                     DriverFigures *figures);
// Written into a buffer before the driver fills it: a byte it must replace with text and a NUL.
enum { UNWRITTEN = 0x7f };
// Whether a text ends within `room` bytes, not empty unless allowed, sparing `guard` more; else why.
bool textWellFormed(const char *buffer, size_t room, size_t guard, char *why, size_t whySize,
                    bool mayBeEmpty);

// ---- The conformance callbacks

// Where the host stands when a callback comes: callbacks are due only while starting, running and
// stopping.
enum ConformStage {
    STAGE_IDLE,          // no buffers, or made and never started
    STAGE_CREATING,      // inside createBuffers
    STAGE_BEFORE_START,  // buffers made, start not yet called
    STAGE_RUNNING,       // from the call of start until stop is called
    STAGE_STOPPING,      // inside stop
    STAGE_STOPPED,       // stop has returned
    STAGE_COUNT
};

struct SwitchNote {
    int64_t ticks;          // switchTicks() on arrival
    long index;
    unsigned long thread;
    signed char stage;      // ConformStage when the callback came
    signed char stageAfter; // ... and when it returned
    bool viaTimeInfo;       // came through bufferSwitchTimeInfo
    bool timeInfo;          // ... with a record (the time fields below)
    bool readyCalled;
    ASIOError positionResult;  // getSamplePosition, asked in the callback (ASE_NotPresent: not asked)
    int64_t position;
    int64_t stampNs;
    ASIOError readyResult;     // outputReady, called after the switch
    unsigned long timeFlags;   // the time-info record, when there was one
    int64_t timePosition;
    int64_t timeNs;
    double timeRate;
};

// The notes a run keeps; the switches after them are counted, not noted.
enum { NOTE_ROOM = 1 << 15 };

// The callbacks: the switches of the run are noted, the loopback copies only while running;
// asioMessage is the checker's (measure.h).
extern const ASIOCallbacks conformCallbacks;

// Readies a run on the open driver: the notes emptied, the driver published to the callbacks, the
// "supports time info" answer, and whether each switch asks getSamplePosition and outputReady (until
// its first answer that is not ASE_OK). No run.
void beginConformRun(bool timeInfo, bool askPosition, bool askReady);
// The callbacks no longer note the run or call its driver; waits (watched as a driver call) for a
// callback that may still be calling it. Before the object is released.
void endConformRun();
// endConformRun, then closeChosenDriver: its answer.
unsigned long closeConformDriver();
// The stage the callbacks are noted in from now on.
void setConformStage(ConformStage stage);
// The loopback's buffers made with conformCallbacks, staged CREATING then BEFORE_START; the answer.
ASIOError createConformBuffers(long frames);
// The notes taken so far (at most NOTE_ROOM).
long conformNoteCount();
// Note k, in the order the callbacks came; null while its callback is still writing it.
const SwitchNote *conformNote(long k);
// How many callbacks of the run came in the stage.
long conformStageCount(ConformStage stage);
// Callbacks of every kind of the run, noted or not.
long conformSwitchCount();
// Callbacks that came after endConformRun, while the object was released and since.
long conformCallbacksAfterRun();
// robustStep over the arrivals of notes `from` to `to` (not included), in microseconds.
double arrivalStepUs(long from, long to);
// Waits, pumping messages, until `more` callbacks have come since `since` (true), or `ms` have
// passed, the user interrupted or a driver thread crashed (false).
bool waitForSwitches(long since, long more, unsigned long ms);
