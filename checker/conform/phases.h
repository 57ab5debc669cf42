// What the conformance phases share inside this folder: grading, the phases themselves, and the
// callbacks that note every switch with the stage of the host it came in, so that the streaming and
// lifecycle checks can judge the whole run afterwards. Worker, main thread, except the callbacks.
#pragma once

#include "checker/conform/conform.h"

#include <atomic>
#include <stddef.h>
#include <stdint.h>

// Records a verdict for the running repetition: evidence as printf. The worst verdict stands over
// the repetitions, with the evidence of the first that gave it. Checks not wanted stay "skipped".
void grade(ConformCheck check, Verdict verdict, const char *format, ...);
// True when `result` is ASE_OK; otherwise grades FAIL "<call> answered <its name>", call as printf.
bool answered(ConformCheck check, ASIOError result, const char *call, ...);
// Records the check's figure (the last one recorded stands).
void gradeFigure(ConformCheck check, double figure);
// Marks the check in progress; publishes the results so far.
void beginCheck(ConformCheck check);

// The phases, in the worker. Each opens a driver object of its own and releases it. conformOpen is
// false when the driver could not be created or initialised: nothing else can be checked then.
bool conformOpen(const CheckerOptions &options, int index);
void conformFigures(const CheckerOptions &options, int index);
void conformRates(const CheckerOptions &options, int index);
void conformBuffers(const CheckerOptions &options, int index);
void conformStream(const CheckerOptions &options, int index, bool timeInfo);
void conformLife(const CheckerOptions &options, int index);
// Opens a fresh object for a phase; when that fails, every wanted check of the phase fails with the
// reason (and false).
bool openForPhase(const CheckerOptions &options, int index, ConformPhase phase);
// openForPhase, then the driver's figures read.
bool openWithFigures(const CheckerOptions &options, int index, ConformPhase phase,
                     DriverFigures *figures);

// Written into a buffer before the driver fills it: a byte it must replace with text and a NUL.
enum { UNWRITTEN = 0x7f };
// Whether a text the driver wrote into `room` bytes (of a buffer with `guard` more behind them) ends
// within its room, is not empty, and left the guard alone. The reason it fails in `why`.
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
    bool timeInfo;          // came through bufferSwitchTimeInfo
    bool readyCalled;
    ASIOError positionResult;  // getSamplePosition, asked in the callback
    int64_t position;
    int64_t stampNs;
    ASIOError readyResult;     // outputReady, called after the switch
    unsigned long timeFlags;   // the time-info record, when there was one
    int64_t timePosition;
    int64_t timeNs;
    double timeRate;
};

// The callbacks: bufferSwitch and bufferSwitchTimeInfo note the switch; the loopback copies only
// while running; asioMessage is the checker's (checker_callbacks.h).
extern const ASIOCallbacks conformCallbacks;

// Prepares the notes of a run of `seconds` at `frames` per switch (earlier notes stay allocated: a
// late callback may still write them) and the answer to "supports time info". Main thread, no run.
void resetConformSwitches(double seconds, long frames, bool timeInfo);
void setConformStage(ConformStage stage);
// The loopback's buffers made with conformCallbacks, staged CREATING, then BEFORE_START; the answer.
ASIOError createConformBuffers(long frames);
// The notes taken so far (at most their room) and how many callbacks came in each stage.
long conformNoteCount();
const SwitchNote *conformNotes();
long conformStageCount(ConformStage stage);
// Callbacks of every kind since resetConformSwitches, noted or not.
long conformSwitchCount();
// robustStep over the arrivals of notes `from` to `to` (not included), in microseconds.
double arrivalStepUs(long from, long to);
// Waits, pumping messages, until `more` callbacks have come since `since` or `ms` have passed.
bool waitForSwitches(long since, long more, unsigned long ms);
