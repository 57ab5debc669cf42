// The settings that break one rule of a driver call each: opening, figures, rates, buffers,
// outputReady and the object's life. Each is shown against the same call with the setting off.
#include "sim_loopback_host.h"

#include <string.h>

namespace {

const long kInvalidMode = -997, kNoClock = -995;

SimConfig defaults() {
    SimConfig config;
    simDefaultConfig(&config);
    config.periodUs = 2000;
    return config;
}

// The performance counter: Wine's tick count may lag behind by tens of milliseconds.
LONGLONG now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

double msSince(LONGLONG before) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(now() - before) * 1000.0 / (double)frequency.QuadPart;
}

IASIO *g_readyDriver;
volatile LONG g_readySwitches, g_earlySwitches;
DWORD g_earlyThread;

// Says its outputs are ready in every other switch, twice.
void readySwitch(long index, long) {
    InterlockedIncrement(&g_host.callbacks);
    if (index == 0) {
        g_readyDriver->outputReady();
        g_readyDriver->outputReady();
        InterlockedIncrement(&g_readySwitches);
    }
}

void earlySwitch(long, long) {
    InterlockedIncrement(&g_earlySwitches);
    g_earlyThread = GetCurrentThreadId();
}

}  // namespace

TEST_F(SimDeviceTest, CallSettingsReadBack) {
    SimConfig written = defaults();
    strcpy(written.faultCall, "getChannels");
    strcpy(written.failCall, "outputReady");
    int32_t *numbers[] = {
        &written.faultKind, &written.faultAtCall, &written.faultExitCode, &written.failAtCall,
        &written.failCount, &written.silentStartAt, &written.createDelayMs, &written.initDelayMs,
        &written.errorMessageUnterminated, &written.reinitFails, &written.channelInfoFault,
        &written.channelInfoPastEnd, &written.clockFault, &written.setRateIgnored,
        &written.setRateAcceptsAll, &written.maxWorkingSize, &written.sharedBuffer,
        &written.latencyFault, &written.callbackInCreateBuffers, &written.outputReady,
        &written.keepsReference, &written.setRateBackIgnored, &written.restartSilent,
        &written.recreateFails, &written.silentAfterRecreates, &written.rateChangeSilent,
        &written.latencyLieAtSize};
    int32_t value = 100;
    for (int32_t *number : numbers)
        *number = value++;
    TestDevice &device = registerDevice(written);
    SimConfig read;
    ASSERT_EQ(0, simReadConfig(device.clsidText.c_str(), &read));
    EXPECT_EQ(0, memcmp(&written, &read, sizeof read));
}

TEST_F(SimDeviceTest, OpeningSlowlyOnceOnlyAndWithAnUnterminatedMessage) {
    SimConfig broken = defaults();
    broken.createDelayMs = 150;
    broken.initDelayMs = 150;
    broken.errorMessageUnterminated = 1;
    broken.reinitFails = 1;
    TestDevice &fine = registerDevice(defaults());
    TestDevice &slow = registerDevice(broken);
    for (TestDevice *device : {&fine, &slow}) {
        const bool on = device == &slow;
        LONGLONG before = now();
        IASIO *first = load(*device);
        ASSERT_NE(nullptr, first);
        EXPECT_EQ(on, msSince(before) >= 140);
        before = now();
        EXPECT_EQ(1, first->init(nullptr));
        EXPECT_EQ(on, msSince(before) >= 140);
        IASIO *second = load(*device);
        ASSERT_NE(nullptr, second);
        EXPECT_EQ(on ? 0 : 1, second->init(nullptr));
        char text[130];
        memset(text, '#', sizeof text);
        second->getErrorMessage(text);
        if (on) {
            const char *inUse = "Quorvel Sim: the device is in use";
            EXPECT_EQ(0, memcmp(inUse, text, strlen(inUse)));
            EXPECT_EQ(nullptr, memchr(text, 0, 124));
            EXPECT_EQ('#', text[124]);
        } else {
            EXPECT_EQ(0, text[0]);
        }
        EXPECT_EQ(1, first->init(nullptr)) << "the first object stays usable";
        IASIO *third = load(*device);
        ASSERT_NE(nullptr, third);
        EXPECT_EQ(1, third->init(nullptr)) << "only the second object fails";
        third->Release();
        second->Release();
        first->Release();
    }
}

TEST_F(SimDeviceTest, ChannelInfoAndClockSourcesThatBreakTheirRules) {
    // Fault 0 is the device as it should be; each other device breaks one channel rule and one
    // clock rule (fault 4 is a channel rule only), and answers past the last channel.
    for (int fault = 0; fault <= 4; fault++) {
        SimConfig config = defaults();
        config.channelInfoFault = fault;
        config.clockFault = fault % 4;
        config.channelInfoPastEnd = fault != 0;
        IASIO *driver = load(registerDevice(config));
        ASSERT_NE(nullptr, driver);
        ASIOChannelInfo info = {};
        info.channel = 1;
        info.isInput = 1;
        EXPECT_EQ(ASE_OK, driver->getChannelInfo(&info));
        EXPECT_EQ(fault == 3 ? 2 : 1, info.channel) << fault;
        EXPECT_EQ(fault == 4 ? 0 : 1, info.isInput) << fault;
        if (fault == 1)
            EXPECT_EQ(nullptr, memchr(info.name, 0, sizeof info.name));
        else
            EXPECT_STREQ(fault == 2 ? "" : "Sim In 2", info.name) << fault;
        info = {};
        info.channel = 2;
        EXPECT_EQ(fault ? ASE_OK : ASE_InvalidParameter, driver->getChannelInfo(&info));
        EXPECT_EQ(SIM_ST_INT32_LSB, info.type);

        ASIOClockSource clocks[4];
        long count = 4;
        EXPECT_EQ(ASE_OK, driver->getClockSources(clocks, &count));
        const long counts[] = {1, 0, 1, 2, 1};
        ASSERT_EQ(counts[fault], count) << fault;
        for (long i = 0; i < count; i++)
            EXPECT_EQ(fault == 2 ? 0 : 1, clocks[i].isCurrentSource) << fault;
        driver->Release();
    }
}

TEST_F(SimDeviceTest, SetSampleRateIgnoredOrAcceptingAnything) {
    SimConfig fine = defaults(), ignored, acceptsAll;
    strcpy(fine.sampleRates, "44100,48000");
    ignored = acceptsAll = fine;
    ignored.setRateIgnored = 1;
    acceptsAll.setRateAcceptsAll = 1;
    IASIO *good = load(registerDevice(fine));
    IASIO *deaf = load(registerDevice(ignored));
    IASIO *loose = load(registerDevice(acceptsAll));
    ASSERT_TRUE(good && deaf && loose);
    double rate = 0;
    EXPECT_EQ(ASE_OK, good->setSampleRate(44100));
    good->getSampleRate(&rate);
    EXPECT_EQ(44100, rate);
    EXPECT_EQ(kNoClock, good->setSampleRate(12345));
    EXPECT_EQ(ASE_OK, deaf->setSampleRate(44100));
    deaf->getSampleRate(&rate);
    EXPECT_EQ(48000, rate);
    EXPECT_NE(ASE_OK, loose->canSampleRate(12345));
    EXPECT_EQ(ASE_OK, loose->setSampleRate(12345));
    loose->getSampleRate(&rate);
    EXPECT_EQ(12345, rate);
    EXPECT_EQ(kNoClock, loose->setSampleRate(-1));
    good->Release();
    deaf->Release();
    loose->Release();
}

TEST_F(SimDeviceTest, BuffersTooSmallSharedMislatencedOrCalledBackEarly) {
    SimConfig fine = defaults(), broken[2];
    broken[0] = broken[1] = fine;
    broken[0].maxWorkingSize = 512;
    broken[0].latencyFault = 1;
    broken[0].callbackInCreateBuffers = 1;
    broken[1].latencyFault = 2;
    ASIOCallbacks early = {earlySwitch, nullptr, nullptr, nullptr};
    for (int knob = 0; knob <= 2; knob++) {
        TestDevice &device = registerDevice(knob ? broken[knob - 1] : fine);
        IASIO *driver = load(device);
        ASSERT_NE(nullptr, driver);
        ASIOBufferInfo infos[2] = {{1, 0, {}}, {0, 0, {}}};
        g_earlySwitches = 0;
        EXPECT_EQ(knob == 1 ? kInvalidMode : (long)ASE_OK,
                  driver->createBuffers(infos, 2, 1024, &early));
        EXPECT_EQ(0, g_earlySwitches);
        long in64 = 0, out64 = 0, in512 = 0, out512 = 0;
        ASSERT_EQ(ASE_OK, driver->createBuffers(infos, 2, 64, &early));
        driver->getLatencies(&in64, &out64);
        EXPECT_EQ(knob == 1 ? 1 : 0, g_earlySwitches);
        if (knob == 1) {
            EXPECT_EQ(GetCurrentThreadId(), g_earlyThread);
        }
        ASSERT_EQ(ASE_OK, driver->createBuffers(infos, 2, 512, &early));
        driver->getLatencies(&in512, &out512);
        const long expected64[] = {64, 32, 4032}, expected512[] = {512, 256, 3584};
        EXPECT_EQ(expected64[knob], in64);
        EXPECT_EQ(expected64[knob], out64);
        EXPECT_EQ(expected512[knob], in512);
        EXPECT_EQ(expected512[knob], out512);
        driver->Release();
    }
}

// The host's second element shares the first's memory, or overlaps it; a host copying into it
// spoils what it copies, and the device sees that, safely.
TEST_F(SimDeviceTest, SharedAndOverlappingBuffersAreJudgedSafely) {
    for (int shared = 0; shared <= 2; shared++) {
        SimConfig config = defaults();
        config.sharedBuffer = shared;
        TestDevice &device = registerDevice(config);
        IASIO *driver = load(device);
        ASSERT_NE(nullptr, driver);
        setHostLayout({{1, 0}, {0, 0}}, 64, 4, HostFault::None);
        ASSERT_EQ(ASE_OK, driver->createBuffers(g_host.infos, 2, 64, &g_callbacks));
        for (int h = 0; h < 2; h++) {
            auto *first = (char *)g_host.infos[0].buffers[h];
            auto *second = (char *)g_host.infos[1].buffers[h];
            EXPECT_EQ(shared == 0, second >= first + 256 + 64) << "the half and its guard";
            EXPECT_EQ(shared == 1, second == first);
            EXPECT_EQ(shared == 2, second == first + 128);
        }
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_TRUE(waitForCallbacks(6));
        driver->stop();
        const SimShared *record = device.shared;
        EXPECT_EQ(shared != 0, record->mismatches > 0) << shared;
        EXPECT_EQ(shared == 2, record->guardViolations > 0) << shared;
        driver->Release();
    }
}

TEST_F(SimDeviceTest, OutputReadyAnswersAndCountsTheSwitchesItFollowed) {
    for (int mode = 0; mode <= 2; mode++) {
        SimConfig config = defaults();
        config.outputReady = mode;
        TestDevice &device = registerDevice(config);
        IASIO *driver = load(device);
        ASSERT_NE(nullptr, driver);
        for (int call = 1; call <= 12; call++) {
            long expected = mode == 0 ? ASE_NotPresent
                            : mode == 2 && call > 10 ? ASE_HWMalfunction
                                                     : ASE_OK;
            EXPECT_EQ(expected, driver->outputReady()) << mode << " " << call;
        }
        EXPECT_EQ(0, device.shared->outputReadyAfterSwitch) << "not running";
    }

    TestDevice &device = registerDevice(defaults());
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({{1, 0}, {0, 0}}, 64, 4, HostFault::None);
    ASIOCallbacks ready = {readySwitch, nullptr, nullptr, nullptr};
    g_readyDriver = driver;
    g_readySwitches = 0;
    ASSERT_EQ(ASE_OK, driver->createBuffers(g_host.infos, 2, 64, &ready));
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(10));
    driver->stop();
    EXPECT_GE(g_readySwitches, 5);
    EXPECT_EQ(g_readySwitches, device.shared->outputReadyAfterSwitch);
    EXPECT_EQ(2 * g_readySwitches, device.shared->opCounts[SIM_OUTPUT_READY]);
    driver->Release();
}

TEST_F(SimDeviceTest, KeepsReferenceLeaksItself) {
    SimConfig leaking = defaults();
    leaking.keepsReference = 1;
    TestDevice &fine = registerDevice(defaults());
    TestDevice &leaky = registerDevice(leaking);
    IASIO *good = load(fine);
    IASIO *leaker = load(leaky);
    ASSERT_TRUE(good && leaker);
    EXPECT_EQ(0u, good->Release());
    EXPECT_EQ(0, fine.shared->instancesAlive);
    EXPECT_EQ(1u, leaker->Release());
    EXPECT_EQ(1u, leaker->Release());
    EXPECT_EQ(1, leaky.shared->instancesAlive);
    std::vector<SimCall> releases = loggedCalls(leaky.shared, SIM_RELEASE);
    ASSERT_EQ(2u, releases.size());
    EXPECT_EQ(1, releases[0].a);
    EXPECT_EQ(1, releases[1].a);
    EXPECT_EQ(0u, loggedCalls(leaky.shared, SIM_RELEASED).size());
}
