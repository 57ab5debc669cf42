// The conformance checks' callbacks: every switch noted (time, index, thread, the driver's sample
// position and time info, outputReady's answer) with the stage of the host it came in, so that the
// streaming and lifecycle checks can judge the whole run afterwards.
#pragma once

#include "drivers/asio_interface.h"

#include <atomic>
#include <stddef.h>
#include <stdint.h>

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
// The notes taken so far (at most their room) and how many callbacks came in each stage.
long conformNoteCount();
const SwitchNote *conformNotes();
long conformStageCount(ConformStage stage);
// Callbacks of every kind since resetConformSwitches, noted or not.
long conformSwitchCount();
// The time per step of a series that advances one step a sample: the median of its advance over
// half the series, from every start in its first half, so that a few values the system delayed, or
// a burst that made them up, move it no more than they move the median. 0 for fewer than two.
double robustStep(const double *values, size_t count);
// robustStep over the arrivals of notes `from` to `to` (not included), in microseconds.
double arrivalStepUs(long from, long to);
// Waits, pumping messages, until `more` callbacks have come since `since` or `ms` have passed.
bool waitForSwitches(long since, long more, unsigned long ms);
