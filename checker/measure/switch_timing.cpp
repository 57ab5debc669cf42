// The timing of buffer switches: the ring the callbacks fill, the arrivals the main thread keeps,
// and the judgement of a run.
#include "checker/measure/timing_parts.h"

#include "engine/loopback.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

ArrivalRing arrivalRing;

// Every arrival is kept up to this many (x64: 256 MiB of ticks, about 90 minutes at 32 frames and
// 192 kHz); beyond it the late switches and the longest gap are still counted as the arrivals come.
static const size_t MAX_KEPT = sizeof(void *) == 8 ? size_t(1) << 25 : size_t(1) << 23;

static uint32_t taken;          // ring slots the main thread has emptied
static int64_t *kept;           // arrivals in the order they were taken
static size_t keptCount, keptRoom;
static long long arrivalsSeen;
static long long lostToTheRing;  // overwritten before the main thread came: the checker fell behind
// Beyond MAX_KEPT: judged as they come, at the calibration of that moment.
static BeyondKept beyond;
static long long arrivalsJudged;  // arrivalsSeen when judgeRun ran

void recordArrival(int64_t before, int64_t after)
{
    // A driver may call back from two threads at once: each arrival claims a slot of its own.
    uint32_t slot = arrivalRing.claimed.fetch_add(1, std::memory_order_relaxed);
    reinterpret_cast<std::atomic<int64_t> *>(&arrivalRing.slots[slot & (ARRIVAL_RING_SIZE - 1)])
        ->store(before, std::memory_order_release);
    if (after - before > arrivalRing.longestTicks)
        arrivalRing.longestTicks = after - before;
    addCallbackTicks(after - before);
}

void timedBufferSwitch(long index, long directProcess)
{
    int64_t before = switchTicks();
    onBufferSwitch(index, directProcess);
    recordArrival(before, switchTicks());
}

const int64_t *keptArrivals(size_t *count)
{
    *count = keptCount;
    return kept;
}

bool everyArrivalKept()
{
    return arrivalsSeen == static_cast<long long>(keptCount) && lostToTheRing == 0;
}

long long arrivalsNotTaken()
{
    drainArrivals();
    return lostToTheRing;
}

bool prepareTiming(double seconds, double periodUs)
{
    // A run that began earlier in this process is over: what it left in the ring is dropped.
    for (int64_t &slot : arrivalRing.slots)
        slot = 0;
    arrivalRing.claimed.store(0);
    arrivalRing.longestTicks = 0;
    taken = 0;
    keptCount = 0;
    arrivalsSeen = lostToTheRing = 0;
    beyond = BeyondKept();
    beyond.periodUs = periodUs;
    double expected = periodUs > 0 ? seconds * 1e6 / periodUs * 1.1 + 1024 : 65536;
    size_t wanted = expected < static_cast<double>(MAX_KEPT) ? static_cast<size_t>(expected) : MAX_KEPT;
    if (wanted > keptRoom) {
        int64_t *grown = static_cast<int64_t *>(realloc(kept, wanted * sizeof *kept));
        if (!grown)
            return false;
        kept = grown;
        keptRoom = wanted;
    }
    startSwitchClock();
    return true;
}

static bool keep(int64_t arrival)
{
    if (keptCount == keptRoom) {
        size_t room = keptRoom * 2 < MAX_KEPT ? keptRoom * 2 : MAX_KEPT;
        int64_t *grown = room > keptRoom ? static_cast<int64_t *>(realloc(kept, room * sizeof *kept))
                                         : nullptr;
        if (!grown)
            return false;
        kept = grown;
        keptRoom = room;
    }
    kept[keptCount++] = arrival;
    return true;
}

void judgeBeyondKept(BeyondKept *b, int64_t arrival, double ticksPerUs)
{
    if (b->periodUs > 0 && b->last) {
        double us = (arrival - b->last) / ticksPerUs;
        b->late += us > 1.5 * b->periodUs;
        if (us > b->longestUs) {
            b->longestUs = us;
            b->longestFrom = b->last;
        }
    }
    b->last = arrival;
}

static void takeArrival(int64_t arrival)
{
    arrivalsSeen++;
    if (keep(arrival))
        beyond.last = arrival;
    else
        judgeBeyondKept(&beyond, arrival, calibratedTicksPerUs());
}

void drainArrivals()
{
    uint32_t claimed = arrivalRing.claimed.load(std::memory_order_acquire);
    if (claimed - taken > ARRIVAL_RING_SIZE) {
        lostToTheRing += claimed - taken - ARRIVAL_RING_SIZE;
        taken = claimed - ARRIVAL_RING_SIZE;
    }
    for (; taken != claimed; taken++) {
        auto *slot = reinterpret_cast<std::atomic<int64_t> *>(
            &arrivalRing.slots[taken & (ARRIVAL_RING_SIZE - 1)]);
        int64_t arrival = slot->load(std::memory_order_acquire);
        if (arrival == 0)
            break;  // claimed, not yet stored: the next drain takes it
        slot->store(0, std::memory_order_relaxed);
        takeArrival(arrival);
    }
}

// Splits a run's arrivals by the window: those before or after it counted apart; of those in it,
// the count, the intervals between them, each one's lateness against the ideal timeline from the
// first, and the head and tail gaps.
static void windowIntervals(const SwitchArrivals &run, TimingFigures *f, std::vector<double> *intervals,
                            std::vector<double> *lateness)
{
    int64_t first = 0, previous = 0;
    for (size_t k = 0; k < run.count; k++) {
        int64_t arrival = run.arrivals[k];
        if (arrival < run.windowStart) {
            f->beforeStart++;
            continue;
        }
        if (arrival > run.windowEnd) {
            f->afterEnd++;
            continue;
        }
        if (f->switches == 0) {
            first = arrival;
            f->headGapUs = (arrival - run.windowStart) / run.ticksPerUs;
        } else {
            intervals->push_back((arrival - previous) / run.ticksPerUs);
        }
        if (run.periodUs > 0)
            lateness->push_back((arrival - first) / run.ticksPerUs - f->switches * run.periodUs);
        previous = arrival;
        f->switches++;
    }
    // Arrivals that were not kept lie after the kept ones, inside the window (the run outgrew the
    // memory, not the window).
    f->switches += run.total - static_cast<long long>(run.count);
    f->tailGapUs = f->switches ? (run.windowEnd - previous) / run.ticksPerUs : 0;
}

// One gap: late over 1.5 periods, and the longest kept with where it began.
static void judgeGap(double gapUs, double atUs, double periodUs, TimingFigures *f)
{
    if (periodUs > 0 && gapUs > 1.5 * periodUs)
        f->late++;
    if (gapUs > f->longestGapUs) {
        f->longestGapUs = gapUs;
        f->longestGapAtUs = atUs;
    }
}

// Late intervals and gaps, the longest, the ratio and the histogram against the period.
static void judgeGaps(const std::vector<double> &intervals, double periodUs, TimingFigures *f)
{
    // A run without switches is one gap from start to stop.
    judgeGap(f->switches ? f->headGapUs : f->windowUs, 0, periodUs, f);
    double at = f->headGapUs;
    for (double gap : intervals) {
        judgeGap(gap, at, periodUs, f);
        at += gap;
    }
    if (f->switches)
        judgeGap(f->tailGapUs, f->windowUs - f->tailGapUs, periodUs, f);
    if (periodUs <= 0) {
        f->ratio = NAN;
        return;
    }
    f->expected = f->windowUs / periodUs;
    f->ratio = f->expected > 0 ? f->switches / f->expected : NAN;
    f->histogramBinUs = 3 * periodUs / TIMING_HISTOGRAM_BINS;
    for (double us : intervals) {
        long bin = static_cast<long>(us / f->histogramBinUs);
        f->histogram[bin < 0 ? 0 : bin >= TIMING_HISTOGRAM_BINS ? TIMING_HISTOGRAM_BINS - 1 : bin]++;
    }
}

// The intervals' least, greatest and percentiles.
static void judgeIntervals(std::vector<double> *intervals, TimingFigures *f)
{
    f->intervals = static_cast<long long>(intervals->size());
    if (intervals->empty())
        return;
    std::sort(intervals->begin(), intervals->end());
    f->minUs = intervals->front();
    f->maxUs = intervals->back();
    f->medianUs = nearestRank(intervals->data(), intervals->size(), 50);
    f->p99Us = nearestRank(intervals->data(), intervals->size(), 99);
    f->p999Us = nearestRank(intervals->data(), intervals->size(), 99.9);
}

// The timeline in stretches of the run, in order, then its extremes and percentile.
static void judgeTimeline(std::vector<double> *lateness, TimingFigures *f)
{
    if (lateness->size() < 2)
        return;
    f->timelineBins = static_cast<int>(std::min<size_t>(TIMING_TIMELINE_BINS, lateness->size()));
    for (int b = 0; b < f->timelineBins; b++) {
        size_t from = lateness->size() * b / f->timelineBins;
        size_t to = lateness->size() * (b + 1) / f->timelineBins;
        auto range = std::minmax_element(lateness->begin() + from, lateness->begin() + to);
        f->timelineLowUs[b] = *range.first;
        f->timelineHighUs[b] = *range.second;
    }
    std::sort(lateness->begin(), lateness->end());
    f->timelineMinUs = lateness->front();
    f->timelineMaxUs = lateness->back();
    f->timelineP999Us = nearestRank(lateness->data(), lateness->size(), 99.9);
}

void judgeArrivals(const SwitchArrivals &run, TimingFigures *f)
{
    memset(f, 0, sizeof *f);
    f->windowUs = (run.windowEnd - run.windowStart) / run.ticksPerUs;
    f->kept = static_cast<long long>(run.count);
    f->late = run.periodUs > 0 ? 0 : -1;
    std::vector<double> intervals, lateness;
    windowIntervals(run, f, &intervals, &lateness);
    judgeGaps(intervals, run.periodUs, f);
    judgeIntervals(&intervals, f);
    judgeTimeline(&lateness, f);
}

void judgeRun(int64_t windowStart, int64_t windowEnd, double periodUs, TimingFigures *f)
{
    drainArrivals();
    double perUs = calibratedTicksPerUs();
    // Callbacks from two threads may have taken their slots out of the order of their ticks.
    std::sort(kept, kept + keptCount);
    const SwitchArrivals run = {kept, keptCount, arrivalsSeen, windowStart, windowEnd, perUs, periodUs};
    judgeArrivals(run, f);
    // Beyond the kept arrivals, what was judged as they came.
    if (arrivalsSeen > static_cast<long long>(keptCount)) {
        f->late += f->late >= 0 ? beyond.late : 0;
        if (beyond.longestUs > f->longestGapUs) {
            f->longestGapUs = beyond.longestUs;
            f->longestGapAtUs = (beyond.longestFrom - windowStart) / perUs;
        }
        f->maxUs = std::max(f->maxUs, beyond.longestUs);
    }
    f->missedByChecker = lostToTheRing;
    f->longestCallbackUs = arrivalRing.longestTicks / perUs;
    arrivalsJudged = arrivalsSeen;
}

void countArrivalsAfterJudgement(TimingFigures *f)
{
    drainArrivals();
    f->afterEnd += arrivalsSeen - arrivalsJudged;
    arrivalsJudged = arrivalsSeen;
}

double longestIntervalUs(long long from, long long to)
{
    double perUs = calibratedTicksPerUs();
    long long last = std::min<long long>(to, static_cast<long long>(keptCount) - 1);
    int64_t longest = 0;
    for (long long k = std::max<long long>(from, 0) + 1; k <= last; k++)
        longest = std::max(longest, kept[k] - kept[k - 1]);
    return longest / perUs;
}

const char *timingFault(const TimingFigures &figures)
{
    if (!inRange(figures.timelineBins, 0, TIMING_TIMELINE_BINS))
        return "timing.timelineBins";
    return cpuFault(figures.cpu);
}

const double STALL_SECONDS = 0.5;
const double MIN_SWITCH_RATIO = 0.5;

StreamKept judgeStreamKept(const TimingFigures &t, double periodUs)
{
    StreamKept kept;
    kept.boundUs = std::max(STALL_SECONDS * 1e6, periodUs > 0 ? STALL_PERIODS * periodUs : 0);
    kept.stalled = t.longestGapUs > kept.boundUs;
    // Over a window of a few periods where its ends fall says more than the pace.
    kept.starved = periodUs > 0 && t.expected >= STARVED_AFTER_PERIODS && t.ratio < MIN_SWITCH_RATIO;
    return kept;
}

void streamKeptText(const TimingFigures &t, const StreamKept &kept, char *out, size_t size)
{
    double at = t.longestGapAtUs / 1e6, gap = t.longestGapUs / 1e6, bound = kept.boundUs / 1e6;
    if (kept.stalled && t.switches == 0) {
        snprintf(out, size, "not one switch in the %.2f s from start to stop", t.windowUs / 1e6);
    } else if (kept.stalled && at <= 0) {
        snprintf(out, size, "the first switch came %.2f s after start returned (a host waits at most "
                 "%.2f s)", gap, bound);
    } else if (kept.stalled && at + gap >= t.windowUs / 1e6 - 1e-6) {
        snprintf(out, size, "the switches stopped %.2f s into the run and did not come back in its "
                 "last %.2f s (a host waits at most %.2f s)", at, gap, bound);
    } else if (kept.stalled) {
        snprintf(out, size, "the switches stopped %.2f s into the run for %.2f s (a host waits at "
                 "most %.2f s)", at, gap, bound);
    } else if (kept.starved) {
        snprintf(out, size, "%lld switches of the %.1f the period promises (ratio %.3f, below %g)",
                 t.switches, t.expected, t.ratio, MIN_SWITCH_RATIO);
    } else {
        *out = '\0';
    }
}
