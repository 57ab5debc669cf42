// Calls in odd orders, from odd places and with hostile arguments: the device refuses or copes,
// and never is the one that crashes.
#include "sim_loopback_host.h"

#include <string.h>

namespace {

SimConfig quickConfig() {
    SimConfig config;
    simDefaultConfig(&config);
    config.periodUs = 2000;
    return config;
}

void *const kUntouched = (void *)0x1234;

void markUntouched(ASIOBufferInfo *infos, int count) {
    for (int i = 0; i < count; i++)
        infos[i].buffers[0] = infos[i].buffers[1] = kUntouched;
}

}  // namespace

TEST_F(SimDeviceTest, StopAndDisposeWithoutStartOrBuffersAreHarmless) {
    TestDevice &device = registerDevice(quickConfig());
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(ASE_NotPresent, driver->start());
    EXPECT_EQ(ASE_InvalidParameter, driver->getChannels(nullptr, nullptr));
    driver->getDriverName(nullptr);
    driver->getErrorMessage(nullptr);
    EXPECT_EQ(ASE_InvalidParameter, driver->getChannelInfo(nullptr));
    EXPECT_EQ(ASE_NotPresent, driver->outputReady());
    EXPECT_EQ(ASE_InvalidParameter, driver->future(1, nullptr));
    driver->Release();
    EXPECT_EQ(0, device.shared->starts);
    EXPECT_EQ(1u, loggedCalls(device.shared, SIM_RELEASED).size());
}

TEST_F(SimDeviceTest, SecondCreateBuffersReplacesTheFirstAndKeepsItsOwnLayout) {
    TestDevice &device = registerDevice(quickConfig());
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    ASIOBufferInfo first[2] = {{1, 0, {}}, {0, 0, {}}};
    ASSERT_EQ(ASE_OK, driver->createBuffers(first, 2, 64, &g_callbacks));
    setHostLayout({{1, 1}, {0, 1}, {0, 0}}, 128, 4, HostFault::None);
    ASIOBufferInfo second[3];
    memcpy(second, g_host.infos, sizeof second);
    ASSERT_EQ(ASE_OK, driver->createBuffers(second, 3, 128, &g_callbacks));
    memcpy(g_host.infos, second, sizeof second);
    memset(second, 0x7F, sizeof second);  // the host reuses its array; the device must not care

    ASSERT_EQ(ASE_OK, driver->start());
    ASSERT_EQ(ASE_OK, driver->start());  // never a second thread
    EXPECT_TRUE(waitForCallbacks(10));
    EXPECT_EQ(1, device.shared->threadsRunning);
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(1, device.shared->starts);
    EXPECT_EQ(0, device.shared->mismatches);
    EXPECT_EQ(0, device.shared->sentinelViolations);
    EXPECT_EQ(0, device.shared->guardViolations);
    EXPECT_EQ(g_host.callbacks, device.shared->runSwitches);
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    driver->Release();
}

TEST_F(SimDeviceTest, ReleaseWhileRunningEndsTheThread) {
    TestDevice &device = registerDevice(quickConfig());
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({{1, 0}, {0, 0}}, 64, 4, HostFault::None);
    ASSERT_EQ(ASE_OK, driver->createBuffers(g_host.infos, 2, 64, &g_callbacks));
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(5));
    driver->Release();  // no stop: a forgetful host

    EXPECT_EQ(0, device.shared->threadsRunning);
    EXPECT_EQ(0, device.shared->instancesAlive);
    LONG seen = g_host.callbacks;
    Sleep(50);
    EXPECT_EQ(seen, g_host.callbacks);
}

TEST_F(SimDeviceTest, StopAndReleaseFromInsideTheCallback) {
    TestDevice &device = registerDevice(quickConfig());
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({{1, 0}, {0, 0}}, 64, 4, HostFault::None);
    g_host.driver = driver;
    g_host.stopAt = 3;
    ASSERT_EQ(ASE_OK, driver->createBuffers(g_host.infos, 2, 64, &g_callbacks));
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForZero(&device.shared->threadsRunning) && g_host.callbacks == 3);

    // Started again, the host lets go of its only reference from inside the callback.
    g_host.releaseAt = 6;
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForZero(&device.shared->instancesAlive));
    EXPECT_TRUE(waitForZero(&device.shared->threadsRunning));
    EXPECT_EQ(6, g_host.callbacks);
    EXPECT_EQ(1u, loggedCalls(device.shared, SIM_RELEASED).size());
    EXPECT_EQ(2, device.shared->starts);
}

TEST_F(SimDeviceTest, HostileCreateBuffersRequestsAreRefusedUntouched) {
    SimConfig config = quickConfig();
    TestDevice &device = registerDevice(config);
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    ASIOBufferInfo infos[2] = {{1, 0, {}}, {0, 0, {}}};
    struct Request {
        ASIOBufferInfo *infos;
        long count, size;
        ASIOCallbacks *callbacks;
    } requests[] = {
        {infos, 0x7FFFFFFF, 64, &g_callbacks},  // far more than the array holds
        {infos, 2, 0x10000000, &g_callbacks},   // 1 GiB per half
        {infos, 2, 0, &g_callbacks},
        {infos, -1, 64, &g_callbacks},
        {infos, 2, 64, nullptr},
        {nullptr, 2, 64, &g_callbacks},
    };
    for (const Request &r : requests) {
        markUntouched(infos, 2);
        EXPECT_NE(ASE_OK, driver->createBuffers(r.infos, r.count, r.size, r.callbacks))
            << r.count << " x " << r.size;
        EXPECT_EQ(kUntouched, infos[0].buffers[0]);
        EXPECT_EQ(kUntouched, infos[1].buffers[1]);
    }
    ASIOBufferInfo outOfRange[2] = {{1, 0, {}}, {0, 2, {}}};
    markUntouched(outOfRange, 2);
    EXPECT_NE(ASE_OK, driver->createBuffers(outOfRange, 2, 64, &g_callbacks));
    EXPECT_EQ(kUntouched, outOfRange[0].buffers[0]);
    EXPECT_EQ(ASE_NotPresent, driver->start());
    driver->Release();
}

TEST_F(SimDeviceTest, ConfiguredFaultsOfCreateBuffersAndStart) {
    SimConfig fails = quickConfig(), nulls = quickConfig(), noStart = quickConfig();
    fails.createBuffersFails = 1;
    nulls.nullBuffers = 1;
    noStart.startFails = 1;
    IASIO *failing = load(registerDevice(fails));
    IASIO *nulling = load(registerDevice(nulls));
    TestDevice &noStartDevice = registerDevice(noStart);
    IASIO *notStarting = load(noStartDevice);
    ASSERT_TRUE(failing && nulling && notStarting);
    ASIOBufferInfo infos[2] = {{1, 0, {}}, {0, 1, {}}};

    markUntouched(infos, 2);
    EXPECT_EQ(ASE_NoMemory, failing->createBuffers(infos, 2, 64, &g_callbacks));
    EXPECT_EQ(kUntouched, infos[1].buffers[0]);

    markUntouched(infos, 2);
    EXPECT_EQ(ASE_OK, nulling->createBuffers(infos, 2, 64, &g_callbacks));
    EXPECT_EQ(nullptr, infos[0].buffers[0]);
    EXPECT_EQ(nullptr, infos[1].buffers[1]);
    EXPECT_EQ(ASE_NotPresent, nulling->start());

    EXPECT_EQ(ASE_OK, notStarting->createBuffers(infos, 2, 64, &g_callbacks));
    EXPECT_NE(nullptr, infos[0].buffers[0]);
    EXPECT_EQ(ASE_HWMalfunction, notStarting->start());
    EXPECT_EQ(0, noStartDevice.shared->starts);
    std::vector<SimCall> starts = loggedCalls(noStartDevice.shared, SIM_START);
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(ASE_HWMalfunction, starts[0].a);

    failing->Release();
    nulling->Release();
    notStarting->Release();
}
