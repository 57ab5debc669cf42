// The timing of buffer switches. The callback stores each arrival's ticks in a ring; the main thread
// drains the ring while the run goes on and keeps every arrival; after the run the arrivals are
// judged against the buffer period over the whole run, from start's return to the stop.
//
// Ticks are the processor's time-stamp counter where it runs at a fixed rate (a read costs about
// 15 ns, where a performance-counter read costs 100 to 200 ns under Wine), calibrated against the
// performance counter, and the performance counter otherwise.
#pragma once

#include <atomic>
#include <stddef.h>
#include <stdint.h>

// ---- The callback's side

// Made once per process and never freed: a driver whose stop returned early may still store its
// last arrival after the run, and so may one that calls back from two threads at once.
enum { ARRIVAL_RING_SIZE = 1 << 18 };
struct ArrivalRing {
    std::atomic<uint32_t> claimed;  // slots taken by callbacks; a slot is filled just after
    int64_t slots[ARRIVAL_RING_SIZE];  // 0 while empty; the main thread empties what it takes
    int64_t longestTicks;           // longest callback
};
extern ArrivalRing arrivalRing;

// The ticks of the switch clock. Callback-safe: no system call where the time-stamp counter serves.
int64_t switchTicks();
// Stores one arrival (its ticks before the callback's work) and the callback's duration. No
// allocation, lock or system call.
void recordArrival(int64_t before, int64_t after);
// The checker's buffer switch: the loopback's onBufferSwitch, timed and recorded.
void timedBufferSwitch(long index, long directProcess);

// ---- The main thread's side

// The performance counter, for everything outside the callbacks, and its ticks in microseconds.
int64_t performanceTicks();
double ticksToUs(int64_t ticks);

// Empties the ring, chooses the ticks and takes the first calibration reads. False when there is no
// memory for the arrivals of `seconds` at `periodUs` (unknown: 0).
bool prepareTiming(double seconds, double periodUs);
// Moves what the callbacks stored into the kept arrivals; call it often while the run goes on.
void drainArrivals();
// Microseconds per tick from the calibration since prepareTiming (reads counter, stamp, counter).
double calibratedTicksPerUs();

// ---- The judgement (pure: feed it arrivals)

enum { TIMING_HISTOGRAM_BINS = 64, TIMING_TIMELINE_BINS = 256 };

struct TimingFigures {
    long long switches;     // arrivals between the window's start and end
    long long beforeStart;  // arrivals before the window: during createBuffers and start
    long long afterEnd;     // arrivals after it: during stop
    long long kept;         // arrivals whose ticks were kept (all, unless the run outgrew the memory)
    long long missedByChecker;  // arrivals the checker did not take in time (its thread was held)
    double windowUs;        // start's return to the stop
    double expected;        // switches the window holds at the period; 0 when the period is unknown
    double ratio;           // switches / expected; NAN when unknown
    // Intervals between arrivals in the window, and the gaps from its start to the first arrival and
    // from the last to its end (a run without switches is one gap).
    long long intervals;    // between arrivals (not counting the two gaps)
    double minUs, medianUs, p99Us, p999Us, maxUs;  // nearest rank over the intervals; 0 with none
    double headGapUs, tailGapUs;  // window start to first arrival, last arrival to window end
    long long late;         // intervals and gaps over 1.5 periods; -1 when the period is unknown
    double longestGapUs;    // the longest interval or gap
    // Each switch's lateness against the ideal timeline: arrival k - first arrival - k x period.
    double timelineMaxUs, timelineP999Us, timelineMinUs;  // 0 with fewer than two switches
    double longestCallbackUs;
    // For pictures: intervals in TIMING_HISTOGRAM_BINS bins from 0 to 3 periods (the last bin holds
    // everything above), and the timeline in TIMING_TIMELINE_BINS stretches of the run, each with
    // its least and greatest lateness.
    double histogramBinUs;
    long long histogram[TIMING_HISTOGRAM_BINS];
    int timelineBins;
    double timelineLowUs[TIMING_TIMELINE_BINS];
    double timelineHighUs[TIMING_TIMELINE_BINS];
};

// Judges `count` arrivals (ticks, in order) between windowStart and windowEnd at `ticksPerUs`;
// periodUs 0: unknown. `total` is every arrival of the run, `count` of them kept.
void judgeArrivals(const int64_t *arrivals, size_t count, long long total, int64_t windowStart,
                   int64_t windowEnd, double ticksPerUs, double periodUs, TimingFigures *figures);
// judgeArrivals over what drainArrivals kept, with the final calibration.
void judgeRun(int64_t windowStart, int64_t windowEnd, double periodUs, TimingFigures *figures);
// After the stop: takes the arrivals that came since judgeRun (during stop) into its figures, as
// switches after the window.
void countArrivalsAfterJudgement(TimingFigures *figures);
// After judgeRun: the longest interval between kept arrivals number `from` to `to` (counted from 0
// in the order they came, every callback of the run), in microseconds.
double longestIntervalUs(long long from, long long to);
