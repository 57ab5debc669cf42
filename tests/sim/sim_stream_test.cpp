// Faults of the callbacks themselves: from two threads, no more after a count, a repeated index,
// before start, after stop has returned, and latencies that change once the device said so.
#include "sim_loopback_host.h"
#include "sim_stream_host.h"

namespace {

const long kFrames = 64;

}  // namespace

TEST_F(SimStreamTest, CallbacksFromTwoThreadsCutShortOnARepeatedIndexOrBeforeStart) {
    {
        SCOPED_TRACE("TwoThreads");
        SimConfig config = streamConfig(1000);
        config.twoThreads = 1;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_TRUE(waitForStreamCalls(20));
        EXPECT_EQ(ASE_OK, driver->stop());
        const StreamCall *call = g_stream.call;
        EXPECT_NE(call[0].thread, call[1].thread);
        EXPECT_NE(GetCurrentThreadId(), call[0].thread);
        EXPECT_NE(GetCurrentThreadId(), call[1].thread);
        for (long i = 0; i < 20; i++) {
            EXPECT_EQ(call[i % 2].thread, call[i].thread) << i;
            EXPECT_EQ(i & 1, call[i].index) << i;
        }
        driver->Release();
    }
    {
        SCOPED_TRACE("StopCallbacksAfter");
        SimConfig config = streamConfig(1000);
        config.stopCallbacksAfter = 5;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        ASSERT_EQ(ASE_OK, driver->start());
        for (int i = 0; i < 200 && device->shared->clockPeriods < 15; i++)
            Sleep(10);
        EXPECT_EQ(ASE_OK, driver->stop());
        EXPECT_GE(device->shared->clockPeriods, 15) << "the clock goes on";
        EXPECT_EQ(5, g_stream.calls);
        EXPECT_EQ(5, device->shared->hostSwitches);
        driver->Release();
    }
    {
        SCOPED_TRACE("IndexFault and RequestLatencyShift");
        SimConfig config = streamConfig(1000);
        config.indexFault = 4;
        config.requestSelector = SIM_MSG_LATENCIES_CHANGED;
        config.requestAtSwitch = 3;
        config.requestLatencyShift = 100;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        g_stream.supports = 1ul << SIM_MSG_LATENCIES_CHANGED;
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        long input = 0, output = 0;
        EXPECT_EQ(ASE_OK, driver->getLatencies(&input, &output));
        EXPECT_EQ(kFrames, output);
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_TRUE(waitForStreamCalls(16));
        EXPECT_EQ(ASE_OK, driver->stop());
        const StreamCall *call = g_stream.call;
        for (long i = 1; i < 16; i++)
            EXPECT_EQ((i + 1) % 4 == 0 ? call[i - 1].index : i & 1, call[i].index) << i;
        EXPECT_EQ(1, device->shared->requestsSent);
        EXPECT_EQ(ASE_OK, driver->getLatencies(&input, &output));
        EXPECT_EQ(kFrames + 100, output);
        driver->Release();
    }
    {
        SCOPED_TRACE("CallbacksBeforeStart");
        SimConfig config = streamConfig(1000);
        config.callbacksBeforeStart = 1;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        EXPECT_TRUE(waitForStreamCalls(5)) << "no start yet";
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_EQ(ASE_OK, driver->stop());
        LONG calls = g_stream.calls;
        Sleep(20);
        EXPECT_EQ(calls, g_stream.calls) << "stop ends them";
        driver->Release();
    }
}

TEST_F(SimStreamTest, ALateCallbackComesAfterStopReturnedAndReleaseWaitsForIt) {
    SimConfig config = streamConfig(1000);
    config.lateCallbackMs = 150;
    setStreamHost(kFrames, SIM_ST_INT32_LSB);
    IASIO *driver = prepare(config);
    ASSERT_NE(nullptr, driver);
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForStreamCalls(5));
    unsigned long long before = nowNs();
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    unsigned long long returned = nowNs();
    EXPECT_LT(returned - before, 50000000ull) << "neither waits for the thread";
    // The host reads its inputs in the last callback: the disposed buffers are still there.
    EXPECT_TRUE(waitForZero(&device->shared->threadsRunning));
    EXPECT_GE(g_stream.call[g_stream.calls - 1].arrivedNs, returned + 100000000ull);

    ASSERT_EQ(ASE_OK, driver->createBuffers(g_stream.infos, 4, kFrames, &g_streamCallbacks));
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForStreamCalls(g_stream.calls + 5));
    EXPECT_EQ(ASE_OK, driver->stop());
    returned = nowNs();
    driver->Release();
    EXPECT_GE(g_stream.call[g_stream.calls - 1].arrivedNs, returned + 100000000ull)
        << "the last callback came before Release returned";
    EXPECT_EQ(0, device->shared->threadsRunning);
    EXPECT_EQ(0, device->shared->instancesAlive);
}
