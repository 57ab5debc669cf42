// The switch clock: the ticks the callbacks time arrivals in, the processor's time-stamp counter
// where it runs at a fixed rate, else the performance counter, and its calibration against the
// performance counter, which is the system's and the same in every process.
#include "checker/measure/timing_parts.h"

#include <windows.h>
#include <intrin.h>

static bool stampCounter;       // ticks of the time-stamp counter, else of the performance counter

// Both counters read together, the stamp between two reads of the performance counter.
struct Calibration {
    int64_t counter;  // the performance counter, the mean of the two reads
    int64_t stamp;
};
static Calibration calibrationStart;

static double performanceTicksPerUs()
{
    static double perUs = 0;
    if (perUs == 0) {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        perUs = frequency.QuadPart / 1e6;
    }
    return perUs;
}

static int64_t performanceCounter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t performanceTicks()
{
    return performanceCounter();
}

double ticksToUs(int64_t ticks)
{
    return ticks / performanceTicksPerUs();
}

static Calibration readCalibration()
{
    Calibration c;
    int64_t before = performanceCounter();
    c.stamp = static_cast<int64_t>(__rdtsc());
    int64_t after = performanceCounter();
    c.counter = before + (after - before) / 2;
    return c;
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

int64_t switchTicks()
{
    if (stampCounter)
        return static_cast<int64_t>(__rdtsc());
    return performanceCounter();
}

int64_t switchTicksToCounter(int64_t ticks)
{
    if (!stampCounter)
        return ticks;
    double us = (ticks - calibrationStart.stamp) / calibratedTicksPerUs();
    return calibrationStart.counter + static_cast<int64_t>(us * performanceTicksPerUs());
}

double calibratedTicksPerUs()
{
    if (!stampCounter)
        return performanceTicksPerUs();
    Calibration now = readCalibration();
    double us = (now.counter - calibrationStart.counter) / performanceTicksPerUs();
    int64_t stamps = now.stamp - calibrationStart.stamp;
    return us > 0 && stamps > 0 ? stamps / us : performanceTicksPerUs();
}

void startSwitchClock()
{
    stampCounter = invariantStampCounter();
    calibrationStart = readCalibration();
}
