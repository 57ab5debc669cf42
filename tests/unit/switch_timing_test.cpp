// The judgement of a run's switches, fed with arrivals in microseconds (one tick per microsecond).
#include "checker/measure/timing_parts.h"

#include <gtest/gtest.h>
#include <math.h>
#include <vector>

namespace {

const double PERIOD = 1000;

TimingFigures judge(const std::vector<int64_t> &arrivals, int64_t start, int64_t end,
                    double period = PERIOD)
{
    TimingFigures f;
    const SwitchArrivals run = {arrivals.data(), arrivals.size(),
                                static_cast<long long>(arrivals.size()), start, end, 1.0, period};
    judgeArrivals(run, &f);
    return f;
}

TEST(SwitchTimingTest, PercentilesAreNearestRanksAndLateMeansOverOneAndAHalfPeriods)
{
    // Intervals of 1, 2, ... 1000 us after an arrival at 10000: nearest rank of 1000 values.
    std::vector<int64_t> arrivals = {10000};
    for (int k = 1; k <= 1000; k++)
        arrivals.push_back(arrivals.back() + k);
    TimingFigures f = judge(arrivals, 10000, arrivals.back(), 2000);
    EXPECT_EQ(f.intervals, 1000);
    EXPECT_EQ(f.minUs, 1);
    EXPECT_EQ(f.medianUs, 500);
    EXPECT_EQ(f.p99Us, 990);
    EXPECT_EQ(f.p999Us, 999);
    EXPECT_EQ(f.maxUs, 1000);
    EXPECT_EQ(f.late, 0) << "nothing over 3000 us";

    // 1.49, 1.51, 2.0 and 2.6 periods among regular ones: three are late.
    std::vector<int64_t> uneven = {0};
    for (double step : {1.0, 1.49, 1.0, 1.51, 1.0, 2.0, 1.0, 2.6, 1.0})
        uneven.push_back(uneven.back() + static_cast<int64_t>(step * PERIOD));
    TimingFigures g = judge(uneven, 0, uneven.back());
    EXPECT_EQ(g.late, 3);
    EXPECT_EQ(g.longestGapUs, 2600);
}

TEST(SwitchTimingTest, AWindowWithoutSwitchesOrWithGapsAtItsEndsIsLate)
{
    TimingFigures none = judge({}, 0, 2000000);
    EXPECT_EQ(none.switches, 0);
    EXPECT_EQ(none.late, 1) << "the whole run is one gap";
    EXPECT_EQ(none.ratio, 0);
    EXPECT_EQ(none.longestGapUs, 2000000);

    TimingFigures unknown = judge({}, 0, 2000000, 0);
    EXPECT_EQ(unknown.late, -1) << "no period, nothing judged";
    EXPECT_TRUE(isnan(unknown.ratio));

    // On time from 5 ms after start, then silent for the last 100 ms: both gaps are late.
    std::vector<int64_t> arrivals;
    for (int k = 0; k < 100; k++)
        arrivals.push_back(5000 + k * 1000);
    TimingFigures ends = judge(arrivals, 0, arrivals.back() + 100000);
    EXPECT_EQ(ends.headGapUs, 5000);
    EXPECT_EQ(ends.tailGapUs, 100000);
    EXPECT_EQ(ends.late, 2);
    EXPECT_NEAR(ends.ratio, 100 / 204.0, 1e-9);
}

// The bound is the longer of half a second and 20 periods; the gap is placed where it began.
TEST(SwitchTimingTest, AStreamThatStopsOrFallsFarBehindItsPaceIsNotKept)
{
    auto steady = [](int64_t from, int64_t to, int64_t step) {
        std::vector<int64_t> arrivals;
        for (int64_t at = from; at <= to; at += step)
            arrivals.push_back(at);
        return arrivals;
    };
    std::vector<int64_t> paused = steady(1000, 1000000, 1000), after = steady(1600000, 3000000, 1000);
    paused.insert(paused.end(), after.begin(), after.end());
    TimingFigures mid = judge(paused, 0, 3000000);
    StreamKept kept = judgeStreamKept(mid, PERIOD);
    EXPECT_TRUE(kept.stalled) << "0.6 s without a switch";
    EXPECT_EQ(kept.boundUs, 500000);
    EXPECT_EQ(mid.longestGapAtUs, 1000000);
    EXPECT_FALSE(judgeStreamKept(mid, 40000).stalled) << "20 periods of 40 ms are 0.8 s";

    TimingFigures tail = judge(steady(1000, 1000000, 1000), 0, 3000000);
    char why[200];
    streamKeptText(tail, judgeStreamKept(tail, PERIOD), why, sizeof why);
    EXPECT_STREQ(why, "the switches stopped 1.00 s into the run and did not come back in its last "
                      "2.00 s (a host waits at most 0.50 s)");

    TimingFigures slow = judge(steady(1000, 3000000, 2100), 0, 3000000);
    EXPECT_FALSE(judgeStreamKept(slow, PERIOD).stalled);
    EXPECT_TRUE(judgeStreamKept(slow, PERIOD).starved) << "under half the switches promised";
    EXPECT_FALSE(judgeStreamKept(judge(steady(1000, 3000000, 1900), 0, 3000000), PERIOD).starved);
    EXPECT_FALSE(judgeStreamKept(judge(steady(1000, 3000000, 2100), 0, 3000000, 0), 0).starved)
        << "no period, no pace to fall behind";
}

TEST(SwitchTimingTest, SwitchesOutsideTheWindowAreCountedApartAndNotInTheRatio)
{
    // A burst of 50 inside createBuffers and start, then 100 on time, then 3 during stop.
    std::vector<int64_t> arrivals;
    for (int k = 0; k < 50; k++)
        arrivals.push_back(k);
    for (int k = 0; k < 100; k++)
        arrivals.push_back(1000 + k * 1000);
    for (int k = 0; k < 3; k++)
        arrivals.push_back(100500 + k);
    TimingFigures f = judge(arrivals, 500, 100400);
    EXPECT_EQ(f.beforeStart, 50);
    EXPECT_EQ(f.afterEnd, 3);
    EXPECT_EQ(f.switches, 100);
    EXPECT_NEAR(f.ratio, 100 / 99.9, 1e-9);
}

TEST(SwitchTimingTest, TheTimelineShowsASlipThatCatchesUp)
{
    // On time, then one switch 3 periods late, then four quick ones that catch up: the intervals
    // show one long gap, the timeline how far behind the clock fell.
    std::vector<int64_t> arrivals;
    for (int k = 0; k < 10; k++)
        arrivals.push_back(k * 1000);
    arrivals.push_back(13000);  // due at 10000
    for (int k = 1; k <= 4; k++)
        arrivals.push_back(13000 + k * 250);  // due at 11000..14000: 14000 is on time again
    for (int k = 15; k < 20; k++)
        arrivals.push_back(k * 1000);
    TimingFigures f = judge(arrivals, 0, 19500);
    EXPECT_EQ(f.timelineMaxUs, 3000);
    EXPECT_EQ(f.timelineMinUs, 0);
    EXPECT_EQ(f.late, 1);
    EXPECT_EQ(f.maxUs, 4000);

    // A clock 1% slow drifts behind: 99 switches, the last 0.99 periods late.
    std::vector<int64_t> slow;
    for (int k = 0; k < 100; k++)
        slow.push_back(static_cast<int64_t>(k * 1010));
    TimingFigures s = judge(slow, 0, slow.back());
    EXPECT_EQ(s.late, 0);
    EXPECT_EQ(s.timelineMaxUs, 990);
}

TEST(SwitchTimingTest, ArrivalsPastTheKeptOnesAreJudgedLateOverOneAndAHalfPeriods)
{
    // As the arrivals of a run longer than the memory come: 1.49, 1.51, 2.0 and 2.6 periods among
    // regular ones (2 ticks a microsecond), the first arrival judged against the last kept one.
    BeyondKept beyond = {PERIOD, 0, 0, 0, 0};
    int64_t ticks = 2000;
    judgeBeyondKept(&beyond, ticks, 2.0);
    for (double step : {1.0, 1.49, 1.0, 1.51, 1.0, 2.0, 1.0, 2.6, 1.0}) {
        ticks += static_cast<int64_t>(step * PERIOD * 2);
        judgeBeyondKept(&beyond, ticks, 2.0);
    }
    EXPECT_EQ(beyond.late, 3);
    EXPECT_EQ(beyond.longestUs, 2600);
    BeyondKept unknown = {0, 0, 0, 0, 0};
    judgeBeyondKept(&unknown, 1000, 1.0);
    judgeBeyondKept(&unknown, 900000, 1.0);
    EXPECT_EQ(unknown.late, 0) << "no period, nothing judged";
}

TEST(SwitchTimingTest, NearestRanksAreExactForEveryCountOfIntervals)
{
    // The rank is ceil(p x n / 100), in whole numbers here: p x n / 100 computed in floating point
    // lands a hair above a whole rank for some n (the first for 99.9 % near 41,000) and must not
    // move to the next one.
    std::vector<double> sorted(100000);
    for (size_t k = 0; k < sorted.size(); k++)
        sorted[k] = static_cast<double>(k + 1);
    long long wrong = 0, firstWrong = 0;
    for (long long n = 1; n <= 100000; n++) {
        for (long long tenths : {500LL, 990LL, 999LL}) {
            long long rank = (tenths * n + 999) / 1000;
            if (nearestRank(sorted.data(), static_cast<size_t>(n), tenths / 10.0) != rank) {
                wrong++;
                firstWrong = firstWrong ? firstWrong : n;
            }
        }
    }
    EXPECT_EQ(wrong, 0) << "first at " << firstWrong << " intervals";
}

}  // namespace
