#include "checker/checker.h"

#include "engine/loopback.h"

#include <windows.h>
#include <intrin.h>
#include <algorithm>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

SwitchTiming switchTiming;

static const uint32_t MIN_RING = 1 << 12;
static const uint32_t MAX_RING = 1 << 22;

// Where the calibration of the time-stamp counter began: both counters read together.
static int64_t calibrationCounter;
static int64_t calibrationStamp;

static double ticksPerUs()
{
    static double perUs = 0;
    if (perUs == 0) {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        perUs = frequency.QuadPart / 1e6;
    }
    return perUs;
}

int64_t performanceTicks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double ticksToUs(int64_t ticks)
{
    return ticks / ticksPerUs();
}

// A time-stamp counter that runs at one rate whatever the processor's power state, in every state.
static bool invariantStampCounter()
{
    int registers[4] = {0, 0, 0, 0};  // eax, ebx, ecx, edx
    __cpuid(registers, static_cast<int>(0x80000000));
    if (static_cast<unsigned int>(registers[0]) < 0x80000007)
        return false;
    __cpuid(registers, static_cast<int>(0x80000007));
    return (registers[3] >> 8) & 1;
}

static inline int64_t switchTicks()
{
    if (switchTiming.stampCounter)
        return static_cast<int64_t>(__rdtsc());
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

bool prepareTiming(double seconds, double periodUs)
{
    releaseTiming();
    // A quarter more than the run holds, and room for a start-up burst; an unknown period gets
    // the most.
    double expected = periodUs > 0 ? seconds * 1e6 / periodUs : MAX_RING;
    double wanted = expected * 1.25 + 1024;
    uint32_t size = MIN_RING;
    while (size < wanted && size < MAX_RING)
        size <<= 1;
    switchTiming.arrivals = static_cast<int64_t *>(malloc(size * sizeof(int64_t)));
    if (!switchTiming.arrivals)
        return false;
    // Every page touched now, so that none faults in on the driver's thread.
    memset(switchTiming.arrivals, 0, size * sizeof(int64_t));
    switchTiming.mask = size - 1;
    switchTiming.recorded = 0;
    switchTiming.longestTicks = 0;
    switchTiming.stampCounter = invariantStampCounter();
    switchTiming.ticksPerUs = ticksPerUs();
    calibrationCounter = performanceTicks();
    calibrationStamp = static_cast<int64_t>(__rdtsc());
    return true;
}

void releaseTiming()
{
    free(switchTiming.arrivals);
    switchTiming.arrivals = nullptr;
    switchTiming.mask = 0;
    switchTiming.recorded = 0;
    switchTiming.longestTicks = 0;
}

void recordSwitch(int64_t before, int64_t after)
{
    switchTiming.arrivals[switchTiming.recorded & switchTiming.mask] = before;
    switchTiming.recorded++;
    if (after - before > switchTiming.longestTicks)
        switchTiming.longestTicks = after - before;
}

int64_t switchTimingNow()
{
    return switchTicks();
}

void timedBufferSwitch(long index, ASIOBool directProcess)
{
    int64_t before = switchTicks();
    onBufferSwitch(index, directProcess);
    recordSwitch(before, switchTicks());
}

// The time-stamp counter's rate, against the performance counter over everything since
// prepareTiming: the longer the run, the finer.
static void calibrate()
{
    if (!switchTiming.stampCounter)
        return;
    double us = ticksToUs(performanceTicks() - calibrationCounter);
    int64_t stamps = static_cast<int64_t>(__rdtsc()) - calibrationStamp;
    if (us > 0 && stamps > 0)
        switchTiming.ticksPerUs = stamps / us;
}

static double nearestRank(const std::vector<double> &sorted, double percent)
{
    size_t rank = static_cast<size_t>(ceil(percent / 100.0 * sorted.size()));
    return sorted[rank > 0 ? rank - 1 : 0];
}

void computeTimingStatistics(double periodUs, TimingStatistics *s)
{
    *s = TimingStatistics();
    calibrate();
    const double perUs = switchTiming.ticksPerUs;
    s->late = periodUs > 0 ? 0 : -1;
    s->longestCallbackUs = switchTiming.longestTicks / perUs;
    uint32_t recorded = switchTiming.recorded;
    uint32_t size = switchTiming.mask + 1;
    if (!switchTiming.arrivals || recorded < 2)
        return;

    // Oldest first: after a wrap the ring holds the latest `size` arrivals from recorded % size.
    s->wrapped = recorded > size;
    uint32_t held = s->wrapped ? size : recorded;
    uint32_t first = s->wrapped ? recorded & switchTiming.mask : 0;
    std::vector<double> intervals;
    intervals.reserve(held - 1);
    int64_t previous = switchTiming.arrivals[first];
    for (uint32_t k = 1; k < held; k++) {
        int64_t arrival = switchTiming.arrivals[(first + k) & switchTiming.mask];
        double us = (arrival - previous) / perUs;
        intervals.push_back(us);
        if (periodUs > 0 && us > 1.5 * periodUs)
            s->late++;
        previous = arrival;
    }
    std::sort(intervals.begin(), intervals.end());
    s->intervals = static_cast<long>(intervals.size());
    s->minUs = intervals.front();
    s->maxUs = intervals.back();
    s->medianUs = nearestRank(intervals, 50);
    s->p99Us = nearestRank(intervals, 99);
    s->p999Us = nearestRank(intervals, 99.9);
}
