// The device's own clock: its pace against the performance counter, the time info it gives a host
// that asks for it, and getSamplePosition, each with its faults.
#include "sim_stream_host.h"

#include <algorithm>
#include <vector>

namespace {

const long kFrames = 64;

// Steps between the stamps of successive periods: one period each (to the nanosecond of
// rounding), or more where a long scheduling delay restarted the timeline; never less.
std::vector<double> stampSteps(unsigned long long StreamCall::*stamp, long calls) {
    std::vector<double> steps;
    for (long i = 1; i < calls; i++)
        steps.push_back((double)(g_stream.call[i].*stamp - g_stream.call[i - 1].*stamp));
    return steps;
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

void expectPeriodSteps(unsigned long long StreamCall::*stamp, long calls, double periodNs) {
    std::vector<double> steps = stampSteps(stamp, calls);
    EXPECT_NEAR(periodNs, median(steps), 2);
    EXPECT_GE(*std::min_element(steps.begin(), steps.end()), periodNs - 2);
}

}  // namespace

// The stamps claim the pace; that they never run ahead of the callbacks nor fall behind them
// ties the claim to the performance counter.
TEST_F(SimStreamTest, TheClockRunsAtItsOwnPaceAndStampsEachPeriodOnThePerformanceCounter) {
    SimConfig config = streamConfig(2000);
    config.clockPpm = 20000;  // 2% fast
    setStreamHost(kFrames, SIM_ST_INT32_LSB);
    g_stream.timeInfoAnswer = 1;
    IASIO *driver = prepare(config);
    ASSERT_NE(nullptr, driver);
    ASSERT_EQ(ASE_OK, driver->start());
    const long calls = 520;  // a second
    EXPECT_TRUE(waitForStreamCalls(calls));
    EXPECT_EQ(ASE_OK, driver->stop());

    double period = median(stampSteps(&StreamCall::systemNs, calls));
    EXPECT_NEAR(1.02, 2e6 / period, 0.005) << period << " ns a period";
    std::vector<double> late;
    for (long i = 0; i < calls; i++) {
        const StreamCall &call = g_stream.call[i];
        ASSERT_LE(call.systemNs, call.arrivedNs) << "a period's stamp is its start: " << i;
        ASSERT_EQ(i * kFrames, (long long)call.position);
        late.push_back((double)(call.arrivedNs - call.systemNs));
    }
    EXPECT_LT(median(late), 1e6) << "callbacks come at the stamped starts of their periods";
    EXPECT_EQ(g_stream.calls, device->shared->clockPeriods);
    driver->Release();
}

TEST_F(SimStreamTest, TimeInfoGoesToAHostThatSupportsItAndCarriesTheBuffersTimeAndItsFaults) {
    struct Case {
        long answer;
        int only, fault;
    } cases[] = {{1, 0, 0}, {0, 0, 0}, {0, 1, 0}, {1, 0, 1}, {1, 0, 2},
                 {1, 0, 3}, {1, 0, 4}, {1, 0, 5}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "answer " << c.answer << ", only " << c.only
                                        << ", fault " << c.fault);
        SimConfig config = streamConfig(1000);
        config.timeInfoOnly = c.only;
        config.timeInfoFault = c.fault;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        g_stream.timeInfoAnswer = c.answer;
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        g_stream.driver = driver;
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_TRUE(waitForStreamCalls(12));
        EXPECT_EQ(ASE_OK, driver->stop());

        const bool timeInfo = c.answer || c.only;
        const SimShared *shared = device->shared;
        EXPECT_EQ(g_stream.calls, shared->hostSwitches);
        EXPECT_EQ(timeInfo ? shared->hostSwitches : 0, shared->timeInfoCalls);
        EXPECT_EQ(timeInfo ? 0 : shared->hostSwitches, shared->bufferSwitchCalls);
        for (long i = 0; i < 12; i++) {
            const StreamCall &call = g_stream.call[i], &first = g_stream.call[0];
            ASSERT_EQ(timeInfo, call.viaTimeInfo) << i;
            ASSERT_EQ(timeInfo && c.fault != 5, call.timeInfo) << "fault 5: a null record";
            if (!call.timeInfo)
                continue;
            EXPECT_EQ(c.fault == 1 ? 0ul : 7ul, call.flags) << i;
            EXPECT_EQ(c.fault == 2 ? 0 : i * kFrames, (long long)call.position) << i;
            EXPECT_EQ(c.fault == 3 ? 48480.0 : 48000.0, call.rate) << i;
            EXPECT_EQ(1.0, call.speed);
            if (c.fault == 4) {
                EXPECT_EQ(first.systemNs, call.systemNs) << i;
            }
            if (c.fault == 0) {  // the same clock as getSamplePosition
                EXPECT_EQ(call.position, call.readPosition) << i;
                EXPECT_EQ(call.systemNs, call.readNs) << i;
            }
        }
        if (timeInfo && c.fault != 4 && c.fault != 5) {
            expectPeriodSteps(&StreamCall::systemNs, 12, 1e6);
        }
        driver->Release();
    }
}

TEST_F(SimStreamTest, SamplePositionIsTheLatestPeriodsStartAndItsFaultsShow) {
    for (int fault = 0; fault <= 4; fault++) {
        SCOPED_TRACE(fault);
        SimConfig config = streamConfig(1000);
        config.positionFault = fault;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        g_stream.driver = driver;
        ASIOSamples position;
        ASIOTimeStamp stamp;
        EXPECT_EQ(-996, driver->getSamplePosition(&position, &stamp)) << "not running";
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_TRUE(waitForStreamCalls(25));
        EXPECT_EQ(ASE_OK, driver->stop());
        EXPECT_EQ(-996, driver->getSamplePosition(&position, &stamp)) << "stopped";

        const StreamCall *call = g_stream.call;
        for (long i = 0; i < 25; i++) {  // call i: period i + 1
            long long expected = i * kFrames;
            if (fault == 1 && i >= 10)
                expected = 9 * kFrames;
            if (fault == 2 && (i + 1) % 10 == 0)
                expected = (i - 2) * kFrames;  // one buffer behind the period before
            EXPECT_EQ(fault == 3 ? -996 : ASE_OK, call[i].positionError) << i;
            EXPECT_EQ(expected, (long long)call[i].readPosition) << i;
            if (fault == 4) {
                EXPECT_EQ(call[0].readNs, call[i].readNs) << i;
            }
        }
        if (fault != 4) {
            expectPeriodSteps(&StreamCall::readNs, 25, 1e6);
        }
        driver->Release();
    }
}
