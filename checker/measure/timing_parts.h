// What the measuring layer's timing files share, private to the folder: the switch clock's start,
// the callbacks' share of the processor time, the buffer switches the callback records name, and
// the pure judgement of arrivals, which the tests feed directly.
#pragma once

#include "checker/measure/measure.h"

// ---- The switch clock (switch_clock.cpp)

// Chooses the ticks (the time-stamp counter where it runs at a fixed rate) and takes the first
// calibration reads, which calibratedTicksPerUs and switchTicksToCounter count from. Main thread,
// before the run.
void startSwitchClock();

// ---- The processor time (driver_cost.cpp)

// Adds one callback's duration in switch ticks. Callback-safe: one atomic add, no lock or call.
void addCallbackTicks(int64_t ticks);
// Counts a thread of the checker's (an analysis thread) among the checker's own for the window
// begun last; the handle is copied. Main thread, while the window is open.
void noteCheckerThread(void *thread);

// ---- The buffer switches of the callback records (checker_callbacks.cpp)

// The checker's buffer switch: the loopback's onBufferSwitch, timed and recorded.
void timedBufferSwitch(long index, long directProcess);
// The latency command's buffer switch: timed like timedBufferSwitch; after onBufferSwitch it writes
// all of output O (silence, or the pulse at its stream position, switch number x frames + offset)
// and looks for the pulse on input I from the frame it was sent at.
void pingBufferSwitch(long index, ASIOBool directProcess);

// ---- The judgement of arrivals (pure)

// A run's arrivals and the window they are judged in.
struct SwitchArrivals {
    const int64_t *arrivals;  // ticks, in the order they came
    size_t count;             // kept
    long long total;          // every arrival of the run, `count` of them kept
    int64_t windowStart;      // ticks: start's return
    int64_t windowEnd;        // ... the stop
    double ticksPerUs;
    double periodUs;          // 0: unknown
};
// Judges the arrivals into `figures` (all of it but the processor time, zeroed).
void judgeArrivals(const SwitchArrivals &run, TimingFigures *figures);

// The arrivals past the kept ones (the run outgrew the memory), judged one by one as they come:
// intervals over 1.5 periods are late, and the longest is kept.
struct BeyondKept {
    double periodUs;   // 0: unknown, nothing judged
    int64_t last;      // the arrival before, kept or not; 0 before the first
    long long late;
    double longestUs;
    int64_t longestFrom;  // the arrival the longest began at
};
// Judges `arrival` against the one before (pure).
void judgeBeyondKept(BeyondKept *beyond, int64_t arrival, double ticksPerUs);
