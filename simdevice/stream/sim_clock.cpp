// The device's own sample clock: period k starts at origin + (k - originPeriod) periods of the
// performance counter, whatever the host does; its frame clock is (k-1) x frames then. The switch
// thread moves it on; getSamplePosition and the time info read it, faults and all.
#include "stream.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace {

// 50 us..1 s: a nonsense rate must not make the thread spin without end or stall.
double nominalPeriodUs(const SimDevice *device, long frames) {
    double period = device->config.periodUs > 0 ? device->config.periodUs
                                                 : frames / device->clockRate * 1e6;
    if (!(period >= 50))
        period = isnan(period) ? 10000 : 50;
    if (period > 1e6)
        period = 1e6;
    return period;
}

unsigned long long nanoseconds(LONGLONG ticks, LONGLONG frequency) {
    unsigned long long t = (unsigned long long)ticks, f = (unsigned long long)frequency;
    return t / f * 1000000000ull + t % f * 1000000000ull / f;
}

void split(unsigned long long value, SimAsioSamples *out) {
    out->hi = (unsigned long)(value >> 32);
    out->lo = (unsigned long)value;
}

void publish(SimDevice *device, LONG period, unsigned long long ns) {
    AcquireSRWLockExclusive(&device->stream.positionLock);
    device->stream.latestPeriod = period;
    device->stream.latestNs = ns;
    ReleaseSRWLockExclusive(&device->stream.positionLock);
}

// The period of `frames` at the device's clockRate, "ClockPpm" and the drifts applied.
void setPeriod(const SimDevice *device, SimClock *clock, long frames) {
    double ppm = device->config.clockPpm + clock->driftPpm;
    if (ppm < -500000)
        ppm = -500000;  // at most half the pace: a period never grows without end
    clock->nominalUs = nominalPeriodUs(device, frames);
    clock->periodUs = clock->nominalUs / (1 + ppm / 1e6);
    clock->periodTicks = clock->periodUs * (double)clock->frequency / 1e6;
    if (clock->periodTicks < 1)
        clock->periodTicks = 1;
}

}  // namespace

LONGLONG simClockNow() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

void simClockBegin(SimDevice *device, SimClock *clock, long frames) {
    memset(clock, 0, sizeof *clock);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    clock->frequency = frequency.QuadPart;
    setPeriod(device, clock, frames);
    simPublishClockRate(device);
    clock->frames = frames;
    clock->positionStart = _strtoui64(device->config.positionStart, nullptr, 10);
    LONGLONG now = simClockNow();
    // The first buffer is ready one period after the start, as with converters that must fill it.
    clock->origin = now + (LONGLONG)clock->periodTicks;
    clock->originPeriod = 1;
    clock->firstStart = clock->origin;
    AcquireSRWLockExclusive(&device->stream.positionLock);
    device->stream.frames = frames;
    device->stream.firstNs = nanoseconds(clock->origin, clock->frequency);
    ReleaseSRWLockExclusive(&device->stream.positionLock);
    publish(device, 0, nanoseconds(now, clock->frequency));
    device->shared->clockPeriods = 0;
    device->shared->clockErrorMilliPpm = 0;
    device->shared->stoppedAtPeriod = 0;
}

LONGLONG simPeriodStart(const SimClock &clock, LONG period) {
    return clock.origin +
           (LONGLONG)(clock.originFraction + (double)(period - clock.originPeriod) * clock.periodTicks);
}

namespace {

// The timeline from the start of `period` on at the pace setPeriod gives now, the tick's fraction
// kept.
void newPace(SimDevice *device, SimClock *clock, LONG period) {
    double exact = clock->originFraction + (double)(period - clock->originPeriod) * clock->periodTicks;
    double whole = floor(exact);
    clock->origin += (LONGLONG)whole;
    clock->originFraction = exact - whole;
    clock->originPeriod = period;
    setPeriod(device, clock, clock->frames);
}

// "RateStepAtMs"/"RateStepPpm" and "SlidePpmPerMinute": the drift at the start of the next period,
// taken when it moved by a hundredth of a ppm or more.
void followDrift(SimDevice *device, SimClock *clock) {
    const SimConfig &config = device->config;
    if (config.rateStepAtMs <= 0 && config.slidePpmPerMinute == 0)
        return;
    LONG next = clock->period + 1;
    double ms = (double)(simPeriodStart(*clock, next) - clock->firstStart) * 1000 / clock->frequency;
    double drift = config.slidePpmPerMinute * ms / 60000;
    if (config.rateStepAtMs > 0 && ms >= config.rateStepAtMs)
        drift += config.rateStepPpm;
    if (fabs(drift - clock->driftPpm) < 0.01)
        return;
    clock->driftPpm = drift;
    newPace(device, clock, next);
}

// The clock's own account of its rate error since period 1, against the rate it reports.
void publishError(SimDevice *device, const SimClock &clock) {
    if (clock.period < 2)
        return;
    double seconds = (double)(simPeriodStart(clock, clock.period) - clock.firstStart) / clock.frequency;
    double frames = (double)(clock.period - 1) * clock.frames;
    double rate = device->sampleRate;
    if (!(seconds > 0) || !(rate > 0))
        return;
    double ppm = (frames / seconds / rate - 1) * 1e6;
    double milli = ppm * 1000;
    if (milli > 2e9)
        milli = 2e9;
    if (milli < -2e9)
        milli = -2e9;
    InterlockedExchange(&device->shared->clockErrorMilliPpm, (LONG)milli);
}

}  // namespace

void simClockNextPeriod(SimDevice *device, SimClock *clock) {
    LONG k = ++clock->period;
    publish(device, k, nanoseconds(simPeriodStart(*clock, k), clock->frequency));
    InterlockedExchange(&device->shared->clockPeriods, k);
    publishError(device, *clock);
    followDrift(device, clock);
}

void simClockRestartAfter(SimClock *clock, LONGLONG now) {
    clock->origin = now + (LONGLONG)clock->periodTicks;
    clock->originFraction = 0;
    clock->originPeriod = clock->period + 1;
}

void simClockSetPace(SimDevice *device, SimClock *clock) {
    newPace(device, clock, clock->period + 1);
    simPublishClockRate(device);
}

bool simClockStopped(SimDevice *device, const SimClock &clock) {
    LONG stopAt = device->config.stopAtMs;
    if (stopAt <= 0 || clock.period < 1)
        return false;
    if ((double)(simClockNow() - clock.firstStart) * 1000 / clock.frequency < stopAt)
        return false;
    InterlockedExchange(&device->shared->stoppedAtPeriod, clock.period);
    return true;
}

long simSamplePosition(SimDevice *device, SimAsioSamples *position, SimAsioSamples *stamp) {
    AcquireSRWLockShared(&device->stream.positionLock);
    LONG k = device->stream.latestPeriod;
    unsigned long long frames = (unsigned long)device->stream.frames;
    unsigned long long ns = device->stream.latestNs, firstNs = device->stream.firstNs;
    ReleaseSRWLockShared(&device->stream.positionLock);
    unsigned long long start = _strtoui64(device->config.positionStart, nullptr, 10);
    unsigned long long frame = start + (k > 0 ? (unsigned long long)(k - 1) * frames : 0);
    switch (device->config.positionFault) {
    case 1:  // stays at the value of period 10
        if (k > 10)
            frame = 9 * frames;
        break;
    case 2:  // every 10th period one buffer behind the period before
        if (k > 0 && k % 10 == 0)
            frame -= 2 * frames;
        break;
    case 4:
        ns = firstNs;
        break;
    }
    split(frame, position);
    if (device->config.positionCarryFault == 1)
        position->hi = (unsigned long)(start >> 32);
    split(ns, stamp);
    bool running = simThreadRunning(device) && !device->stream.lateStop &&
                   WaitForSingleObject(device->stopEvent, 0) == WAIT_TIMEOUT;
    if (!running || device->config.positionFault == 3)
        return SIM_ASE_SP_NOT_ADVANCING;
    return SIM_ASE_OK;
}

void simFillTimeInfo(const SimDevice *device, SimClock *clock, SimAsioTime *time) {
    memset(time, 0, sizeof *time);
    LONG k = clock->period;
    unsigned long long position =
        clock->positionStart + (unsigned long long)(k - 1) * (unsigned long)clock->frames;
    unsigned long long ns = nanoseconds(simPeriodStart(*clock, k), clock->frequency);
    if (!clock->timeInfoGiven) {
        clock->timeInfoGiven = true;
        clock->firstPosition = position;
        clock->firstTimeNs = ns;
    }
    SimAsioTimeInfo &info = time->timeInfo;
    info.speed = 1;
    info.sampleRate = device->sampleRate;
    info.flags = SIM_TIME_SYSTEM_VALID | SIM_TIME_POSITION_VALID | SIM_TIME_RATE_VALID;
    switch (device->config.timeInfoFault) {
    case 1:
        info.flags = 0;
        break;
    case 2:
        position = clock->firstPosition;
        break;
    case 3:
        info.sampleRate *= 1.01;
        break;
    case 4:
        ns = clock->firstTimeNs;
        break;
    }
    split(position, &info.samplePosition);
    if (device->config.positionCarryFault == 1)
        info.samplePosition.hi = (unsigned long)(clock->positionStart >> 32);
    split(ns, &info.systemTime);
}
