// The device's clock and judgement: a correct host leaves nothing to count, and each kind of host
// mistake shows up in its own counter.
#include "sim_loopback_host.h"

#include <string.h>

namespace {

SimConfig loopbackConfig(int inputs, int outputs, int sampleType) {
    SimConfig config;
    simDefaultConfig(&config);
    config.inputs = inputs;
    config.outputs = outputs;
    config.sampleType = sampleType;
    config.periodUs = 2000;
    return config;
}

// Runs the device until the host has seen `switches` callbacks, then stops it.
void runLoopback(HostDriver *driver, LONG switches) {
    ASSERT_EQ(1, driver->init(nullptr));
    ASSERT_EQ(HOST_ASE_OK, driver->createBuffers(g_host.infos, g_host.count, g_host.frames,
                                                 &g_callbacks));
    ASSERT_EQ(HOST_ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(switches));
    EXPECT_EQ(HOST_ASE_OK, driver->stop());
}

}  // namespace

TEST_F(SimDeviceTest, CorrectHostLeavesNothingToCount) {
    TestDevice &device = registerDevice(loopbackConfig(2, 3, 18));
    HostDriver *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({{1, 0}, {1, 1}, {0, 0}, {0, 1}, {0, 2}}, 64, 4, HostFault::None);
    runLoopback(driver, 50);

    const SimShared *shared = device.shared;
    EXPECT_EQ(0, shared->threadsRunning);
    EXPECT_EQ(g_host.callbacks, shared->runSwitches);
    EXPECT_EQ(g_host.callbacks, shared->totalSwitches);
    EXPECT_EQ(1, shared->starts);
    EXPECT_EQ(0, shared->mismatches);
    EXPECT_EQ(0, shared->sentinelViolations);
    EXPECT_EQ(0, shared->guardViolations);
    driver->Release();
}

TEST_F(SimDeviceTest, OnlyChannelsThatTookPartArePaired) {
    TestDevice &device = registerDevice(loopbackConfig(4, 4, 18));
    HostDriver *driver = load(device);
    ASSERT_NE(nullptr, driver);
    // Output 0 has no input buffer: it must stay untouched; outputs 1 and 3 carry their inputs.
    setHostLayout({{0, 3}, {1, 3}, {0, 0}, {1, 1}, {0, 1}}, 32, 4, HostFault::None);
    runLoopback(driver, 20);

    HostChannelInfo info = {};
    info.channel = 1;
    info.isInput = 1;
    driver->getChannelInfo(&info);
    EXPECT_EQ(1, info.isActive);
    info.channel = 2;
    driver->getChannelInfo(&info);
    EXPECT_EQ(0, info.isActive);
    EXPECT_EQ(0, device.shared->mismatches);
    EXPECT_EQ(0, device.shared->sentinelViolations);
    EXPECT_EQ(0, device.shared->guardViolations);
    EXPECT_GE(device.shared->runSwitches, 20);
    driver->Release();
}

TEST_F(SimDeviceTest, RealTimePaceFollowsBufferSizeAndRate) {
    SimConfig config = loopbackConfig(1, 1, 18);
    config.periodUs = 0;
    strcpy(config.sampleRate, "32000");
    TestDevice &device = registerDevice(config);
    HostDriver *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({{1, 0}, {0, 0}}, 96, 4, HostFault::None);  // 3 ms per switch
    ASSERT_EQ(HOST_ASE_OK, driver->createBuffers(g_host.infos, 2, 96, &g_callbacks));
    DWORD before = GetTickCount();
    ASSERT_EQ(HOST_ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(30));
    DWORD elapsed = GetTickCount() - before;
    HostSamples position = {}, stamp = {};
    EXPECT_EQ(HOST_ASE_OK, driver->getSamplePosition(&position, &stamp));
    EXPECT_EQ(0u, position.lo % 96);
    EXPECT_GE(position.lo, 29u * 96);
    driver->stop();
    EXPECT_GE(elapsed, 80u);  // 30 switches of 3 ms, less timer slack
    EXPECT_EQ(0, device.shared->mismatches);
    driver->Release();
}

struct FaultCase {
    const char *name;
    HostFault fault;
    int sampleType;
    int hostSampleBytes;
    bool mismatches, sentinel, guard;  // which counters must count
};

void PrintTo(const FaultCase &c, std::ostream *out) {
    *out << c.name;
}

class HostMistakeTest : public SimDeviceTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(HostMistakeTest, DeviceCountsTheMistakeInItsOwnCounter) {
    const FaultCase &c = GetParam();
    TestDevice &device = registerDevice(loopbackConfig(2, 3, c.sampleType));
    HostDriver *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({{1, 0}, {1, 1}, {0, 0}, {0, 1}, {0, 2}}, 48, c.hostSampleBytes, c.fault);
    runLoopback(driver, 10);

    const SimShared *shared = device.shared;
    EXPECT_EQ(c.mismatches, shared->mismatches > 0) << shared->mismatches;
    EXPECT_EQ(c.sentinel, shared->sentinelViolations > 0) << shared->sentinelViolations;
    EXPECT_EQ(c.guard, shared->guardViolations > 0) << shared->guardViolations;
    EXPECT_EQ(g_host.callbacks, shared->runSwitches);
    driver->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HostMistakeTest,
    ::testing::Values(
        FaultCase{"NoMistakeThreeByteSamples", HostFault::None, 17, 3, false, false, false},
        FaultCase{"ShortCopy", HostFault::ShortCopy, 18, 4, true, false, false},
        FaultCase{"PastTheEnd", HostFault::PastEnd, 18, 4, false, false, true},
        FaultCase{"OutputWithoutInput", HostFault::UnpairedOutput, 18, 4, false, true, false},
        FaultCase{"WritesAnInput", HostFault::WritesInput, 18, 4, false, true, false},
        FaultCase{"FourBytesForThreeByteSamples", HostFault::FourBytes, 17, 3, false, false, true},
        FaultCase{"CopiesAnUnknownType", HostFault::FourBytes, 999, 0, false, true, false},
        FaultCase{"EightByteFloatsCopiedAsFour", HostFault::FourBytes, 20, 8, true, false, false}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });
