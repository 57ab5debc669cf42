// The device's clock and judgement: a correct host leaves nothing to count, and each kind of host
// mistake shows up in its own counter.
#include "sim_loopback_host.h"

#include <stdio.h>
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
void runLoopback(IASIO *driver, LONG switches) {
    ASSERT_EQ(1, driver->init(nullptr));
    ASSERT_EQ(ASE_OK, driver->createBuffers(g_host.infos, g_host.count, g_host.frames,
                                                 &g_callbacks));
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(switches));
    EXPECT_EQ(ASE_OK, driver->stop());
}

}  // namespace

TEST_F(SimDeviceTest, CorrectHostLeavesNothingToCount) {
    TestDevice &device = registerDevice(loopbackConfig(2, 3, SIM_ST_INT32_LSB));
    IASIO *driver = load(device);
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
    TestDevice &device = registerDevice(loopbackConfig(4, 4, SIM_ST_INT32_LSB));
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    // Output 0 has no input buffer: it must stay untouched; outputs 1 and 3 carry their inputs.
    setHostLayout({{0, 3}, {1, 3}, {0, 0}, {1, 1}, {0, 1}}, 32, 4, HostFault::None);
    runLoopback(driver, 20);

    ASIOChannelInfo info = {};
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
    SimConfig config = loopbackConfig(1, 1, SIM_ST_INT32_LSB);
    config.periodUs = 0;
    strcpy(config.sampleRate, "32000");
    TestDevice &device = registerDevice(config);
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({{1, 0}, {0, 0}}, 96, 4, HostFault::None);  // 3 ms per switch
    ASSERT_EQ(ASE_OK, driver->createBuffers(g_host.infos, 2, 96, &g_callbacks));
    DWORD before = GetTickCount();
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(30));
    DWORD elapsed = GetTickCount() - before;
    ASIOSamples position = {};
    ASIOTimeStamp stamp = {};
    EXPECT_EQ(ASE_OK, driver->getSamplePosition(&position, &stamp));
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
    IASIO *driver = load(device);
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
        FaultCase{"NoMistakeThreeByteSamples", HostFault::None, SIM_ST_INT24_LSB, 3, false, false, false},
        FaultCase{"ShortCopy", HostFault::ShortCopy, SIM_ST_INT32_LSB, 4, true, false, false},
        FaultCase{"PastTheEnd", HostFault::PastEnd, SIM_ST_INT32_LSB, 4, false, false, true},
        FaultCase{"OutputWithoutInput", HostFault::UnpairedOutput, SIM_ST_INT32_LSB, 4, false, true, false},
        FaultCase{"WritesAnInput", HostFault::WritesInput, SIM_ST_INT32_LSB, 4, false, true, false},
        FaultCase{"FourBytesForThreeByteSamples", HostFault::FourBytes, SIM_ST_INT24_LSB, 3, false, false, true},
        FaultCase{"CopiesAnUnknownType", HostFault::FourBytes, 999, 0, false, true, false},
        FaultCase{"EightByteFloatsCopiedAsFour", HostFault::FourBytes, SIM_ST_FLOAT64_LSB, 8, true, false, false}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

// Channels of different widths: a host copies as many bytes as the narrower side has. Copying
// the output's length out of a narrower input reads the input's guard zone into the output;
// copying the input's length into a narrower output overwrites the output's guard.
TEST_F(SimDeviceTest, MixedTypesCatchAHostThatCopiesTheWiderLength) {
    struct Case {
        HostFault fault;
        bool sentinel, guard;
    } cases[] = {
        {HostFault::None, false, false},
        {HostFault::OutputLength, true, false},
        {HostFault::InputLength, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE((int)c.fault);
        SimConfig config = loopbackConfig(2, 4, SIM_ST_INT32_LSB);
        snprintf(config.inputTypes, sizeof config.inputTypes, "%d,%d", SIM_ST_INT16_LSB,
                 SIM_ST_INT32_LSB);
        // Output 3 is a 64-bit float too.
        snprintf(config.outputTypes, sizeof config.outputTypes, "%d,%d,%d", SIM_ST_INT32_LSB,
                 SIM_ST_INT24_LSB, SIM_ST_FLOAT64_LSB);
        TestDevice &device = registerDevice(config);
        IASIO *driver = load(device);
        ASSERT_NE(nullptr, driver);
        // 16 frames: what the wider copy runs past the end stays inside the 64-byte guard.
        setHostLayout({{1, 0}, {1, 1}, {0, 0}, {0, 1}, {0, 3}}, 16, 0, c.fault);
        const long bytes[] = {2, 4, 4, 3, 8};
        memcpy(g_host.elementBytes, bytes, sizeof bytes);
        runLoopback(driver, 10);

        const SimShared *shared = device.shared;
        EXPECT_EQ(0, shared->mismatches);
        EXPECT_EQ(c.sentinel, shared->sentinelViolations > 0) << shared->sentinelViolations;
        EXPECT_EQ(c.guard, shared->guardViolations > 0) << shared->guardViolations;
        ASIOChannelInfo info = {};
        info.channel = 3;
        EXPECT_EQ(ASE_OK, driver->getChannelInfo(&info));
        EXPECT_EQ(20, info.type);
        EXPECT_EQ(1, info.isActive);
        driver->Release();
    }
}

TEST_F(SimDeviceTest, ChannelNamesAndTheRatesTheDeviceAccepts) {
    SimConfig config = loopbackConfig(3, 2, SIM_ST_INT32_LSB);
    strcpy(config.inputNames, "Left,,A name that is longer than thirty-one characters");
    strcpy(config.outputNames, "Main");
    strcpy(config.sampleRates, "44100,48000,96000");
    TestDevice &device = registerDevice(config);
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    const char *inputs[] = {"Left", "Sim In 2", "A name that is longer than thir"};
    for (long channel = 0; channel < 3; channel++) {
        ASIOChannelInfo info = {};
        info.channel = channel;
        info.isInput = 1;
        EXPECT_EQ(ASE_OK, driver->getChannelInfo(&info));
        EXPECT_STREQ(inputs[channel], info.name);
    }
    ASIOChannelInfo info = {};
    info.channel = 1;
    EXPECT_EQ(ASE_OK, driver->getChannelInfo(&info));
    EXPECT_STREQ("Sim Out 2", info.name);

    const long noClock = -995;
    EXPECT_EQ(ASE_OK, driver->canSampleRate(96000.0));
    EXPECT_EQ(noClock, driver->canSampleRate(88200.0));
    EXPECT_EQ(noClock, driver->setSampleRate(88200.0));
    EXPECT_EQ(ASE_OK, driver->setSampleRate(96000.0));
    EXPECT_EQ(ASE_OK, driver->setSampleRate(0.0));
    double rate = 0;
    EXPECT_EQ(ASE_OK, driver->getSampleRate(&rate));
    EXPECT_EQ(96000.0, rate);
    driver->Release();
}

// A driver may run its clock with no channels at all; only a negative count is refused.
TEST_F(SimDeviceTest, BuffersWithNoChannelsStillRunTheClock) {
    TestDevice &device = registerDevice(loopbackConfig(2, 2, SIM_ST_INT32_LSB));
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({}, 64, 4, HostFault::None);
    EXPECT_NE(ASE_OK, driver->createBuffers(nullptr, -1, 64, &g_callbacks));
    EXPECT_EQ(ASE_NotPresent, driver->start());
    ASSERT_EQ(ASE_OK, driver->createBuffers(nullptr, 0, 64, &g_callbacks));
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(20));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(g_host.callbacks, device.shared->runSwitches);
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    driver->Release();
}

TEST_F(SimDeviceTest, EveryNthSwitchComesLateByTheStall) {
    SimConfig config = loopbackConfig(1, 1, SIM_ST_INT32_LSB);
    config.stallEvery = 4;
    config.stallMs = 40;
    TestDevice &device = registerDevice(config);
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({{1, 0}, {0, 0}}, 64, 4, HostFault::None);
    runLoopback(driver, 13);

    LONG made = device.shared->runSwitches;
    EXPECT_EQ(made / 4, device.shared->stalls);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (LONG n = 4; n <= made && n <= 64; n += 4) {
        double ms = (double)(g_host.startedAt[n - 1] - g_host.startedAt[n - 2]) * 1000 /
                    (double)frequency.QuadPart;
        EXPECT_GE(ms, 35.0) << "switch " << n;  // the 2 ms period and then some
    }
    EXPECT_EQ(0, device.shared->mismatches);
    driver->Release();
}
