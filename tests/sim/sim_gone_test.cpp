// The device gone while streaming: its callbacks stop, its calls answer that it is not there,
// objects made meanwhile, in this process or another, fail init until it is back.
#include "sim_stream_host.h"

namespace {

const long kFrames = 64;

}  // namespace

class SimGoneTest : public SimStreamTest {
protected:
    // init of a new object of the device, its error message in `text`.
    long initAgain(char *text) {
        IASIO *driver = load(*device);
        if (!driver)
            return -1;
        long ok = driver->init(nullptr);
        driver->getErrorMessage(text);
        driver->Release();
        return ok;
    }
};

TEST_F(SimGoneTest, TheDeviceGoesAwayAfterItsSwitchAndNewObjectsFailInitWhileItIsAway) {
    SimConfig config = streamConfig(1000);
    config.goneAtSwitch = 5;
    config.goneWay = 2;
    setStreamHost(kFrames, SIM_ST_INT32_LSB);
    IASIO *driver = prepare(config);
    ASSERT_NE(nullptr, driver);
    EXPECT_EQ(1, driver->init(nullptr));
    ASSERT_EQ(ASE_OK, driver->start());
    for (int i = 0; i < 300 && device->shared->clockPeriods < 20; i++)
        Sleep(10);
    EXPECT_EQ(5, g_stream.calls) << "no callback after the fifth";
    EXPECT_EQ(5, device->shared->goneAtSwitch);
    long inputs = 0, outputs = 0;
    EXPECT_EQ(ASE_NotPresent, driver->getChannels(&inputs, &outputs));
    EXPECT_EQ(ASE_NotPresent, driver->stop());
    EXPECT_EQ(0, device->shared->threadsRunning) << "stopped all the same";
    EXPECT_EQ(ASE_NotPresent, driver->disposeBuffers());
    driver->Release();
    EXPECT_EQ(0, device->shared->ownRequestsSent);

    char text[128] = {};
    EXPECT_EQ(0, initAgain(text));
    EXPECT_STREQ("Quorvel Sim: the device is not present", text);
    EXPECT_EQ(1, device->shared->initsWhileGone);
    // Another process finds it away too.
    PROCESS_INFORMATION host = startFaultHost(*device, 1);
    EXPECT_EQ(0u, endOf(host, 30000));
    EXPECT_EQ(2, device->shared->initsWhileGone);
    EXPECT_GE(device->shared->opCounts[SIM_GET_CHANNELS], 2) << "the other process made its calls";
}

TEST_F(SimGoneTest, AResetRequestThenAwayUntilTheDeviceIsBack) {
    SimConfig config = streamConfig(1000);
    config.goneAtSwitch = 3;
    config.goneWay = 4;
    config.backAfterMs = 1500;
    setStreamHost(kFrames, SIM_ST_INT32_LSB);
    g_stream.supports = 1ul << SIM_MSG_RESET_REQUEST;
    IASIO *driver = prepare(config);
    ASSERT_NE(nullptr, driver);
    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_TRUE(waitForStreamNote(SIM_MSG_RESET_REQUEST));
    unsigned long long went = nowNs();
    std::vector<StreamNote> resets = streamNotes(SIM_MSG_RESET_REQUEST);
    ASSERT_EQ(1u, resets.size());
    EXPECT_EQ(3, resets[0].afterCalls);
    EXPECT_NE(GetCurrentThreadId(), resets[0].thread);
    EXPECT_EQ(1, device->shared->ownRequestsSent);
    EXPECT_EQ(ASE_NotPresent, driver->stop());
    EXPECT_EQ(3, g_stream.calls);
    driver->Release();

    char text[128] = {};
    EXPECT_EQ(0, initAgain(text)) << "the host's reset round trip finds it away";
    ASSERT_LT(nowNs() - went, 1000000000ull) << "too slow to see it away";
    Sleep(1600);
    EXPECT_EQ(1, initAgain(text)) << "back after 1.5 s";
    EXPECT_FALSE(simGoneFor(device->clsidText.c_str(), nullptr)) << "back for every process";
    EXPECT_EQ(1, device->shared->initsWhileGone);
}
