// What the device tells its host of its own, seen from a host that answers "selector supported"
// as it is told: requests and their details, rate announcements and the pace that follows them,
// a rate set while running.
#include "sim_stream_host.h"

namespace {

const long kFrames = 256;  // 5.3 ms at 48 kHz, 10.7 ms at 24 kHz

// Periods of the device's own clock over half a second, as the microseconds each took.
double measuredPeriodUs(const SimShared *shared) {
    LONG before = shared->clockPeriods;
    unsigned long long from = nowNs();
    Sleep(500);
    LONG periods = shared->clockPeriods - before;
    return periods > 0 ? (nowNs() - from) / 1000.0 / periods : 0;
}

SimConfig realTime() {
    SimConfig config;
    simDefaultConfig(&config);
    strcpy(config.sampleRates, "48000,24000");
    return config;  // PeriodUs 0: the pace follows the rate
}

}  // namespace

TEST_F(SimStreamTest, ARequestCarriesItsValueRepeatsAndChangesTheFiguresOfLaterObjects) {
    SimConfig config = streamConfig(1000);
    config.requestSelector = SIM_MSG_BUFFER_SIZE_CHANGE;
    config.requestValue = 512;
    config.requestAtSwitch = 3;
    config.requestRepeat = 1;
    config.requestBadPointer = 1;
    config.requestPreferredSize = 512;
    config.requestLatencyShift = 40;
    setStreamHost(kFrames, SIM_ST_INT32_LSB);
    g_stream.supports = 1ul << SIM_MSG_BUFFER_SIZE_CHANGE;
    IASIO *driver = prepare(config);
    ASSERT_NE(nullptr, driver);
    long minSize, maxSize, preferred, granularity;
    ASSERT_EQ(ASE_OK, driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity));
    EXPECT_EQ(256, preferred);
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForStreamCalls(10));
    EXPECT_EQ(ASE_OK, driver->stop());

    std::vector<StreamNote> requests = streamNotes(SIM_MSG_BUFFER_SIZE_CHANGE);
    ASSERT_GE(requests.size(), 8u);
    for (size_t i = 0; i < requests.size(); i++) {
        EXPECT_EQ(3 + (LONG)i, requests[i].afterCalls) << "after every switch from 3 on";
        EXPECT_EQ(512, requests[i].value);
        EXPECT_EQ((const void *)0x10, requests[i].message);
        EXPECT_EQ((const double *)0x18, requests[i].opt);
        EXPECT_NE(GetCurrentThreadId(), requests[i].thread);
    }
    EXPECT_EQ((LONG)requests.size(), device->shared->requestsSent);
    EXPECT_EQ(3, device->shared->firstRequestSwitch);
    ASSERT_EQ(ASE_OK, driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity));
    EXPECT_EQ(512, preferred);
    EXPECT_EQ(64, minSize);
    EXPECT_EQ(2048, maxSize);

    // The host's reset round trip: a new object, made before the old one goes, has the new figures.
    IASIO *again = load(*device);
    ASSERT_NE(nullptr, again);
    driver->Release();
    ASSERT_EQ(ASE_OK, again->getBufferSize(&minSize, &maxSize, &preferred, &granularity));
    EXPECT_EQ(512, preferred);
    long input = 0, output = 0;
    ASSERT_EQ(ASE_OK, again->getLatencies(&input, &output));
    EXPECT_EQ(512, input) << "no buffers yet: the preferred size";
    EXPECT_EQ(512 + 40, output);
    EXPECT_EQ(2, device->shared->objectsInProcess);
    ASSERT_EQ(ASE_OK, again->createBuffers(g_stream.infos, 4, 512, &g_streamCallbacks));
    ASSERT_EQ(ASE_OK, again->getLatencies(&input, &output));
    EXPECT_EQ(512 + 40, output);
    again->Release();
}

TEST_F(SimStreamTest, ARequestGoesOnlyToAHostThatSaidItSupportsIt) {
    struct Case {
        const char *name;
        unsigned long supports;
        int32_t ignores;
        bool sent;
    };
    // Input gain is not among the usual questions: the device asks about it as well.
    const Case cases[] = {{"unsupported", 0, 0, false},
                          {"unsupported, sent anyway", 0, 1, true},
                          {"supported", 1ul << SIM_MSG_INPUT_GAIN, 0, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SimConfig config = streamConfig(1000);
        config.requestSelector = SIM_MSG_INPUT_GAIN;
        config.requestAtSwitch = 2;
        config.ignoresUnsupported = c.ignores;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        g_stream.supports = c.supports;
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        EXPECT_EQ(c.supports ? 1 : 0, device->shared->supportedAnswers[SIM_MSG_INPUT_GAIN]);
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_TRUE(waitForStreamCalls(6));
        EXPECT_EQ(ASE_OK, driver->stop());
        EXPECT_EQ(c.sent ? 1u : 0u, streamNotes(SIM_MSG_INPUT_GAIN).size());
        EXPECT_EQ(c.sent ? 1 : 0, device->shared->requestsSent);
        EXPECT_EQ(c.sent ? 0 : 1, device->shared->requestsWithheld);
        driver->Release();
    }
}

TEST_F(SimStreamTest, AnAnnouncedRateIsTheRateTheClockKeepsFromThenOn) {
    {
        SCOPED_TRACE("same");
        SimConfig config = realTime();
        strcpy(config.announceRate, "same");
        config.announceAtSwitch = 2;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_TRUE(waitForStreamCalls(5));
        EXPECT_EQ(ASE_OK, driver->stop());
        std::vector<StreamNote> rates = streamNotes(0);
        ASSERT_EQ(1u, rates.size());
        EXPECT_EQ(48000, rates[0].rate);
        EXPECT_EQ(2, rates[0].afterCalls);
        EXPECT_EQ(1, device->shared->rateAnnouncements);
        EXPECT_EQ(48000, device->shared->clockRate);
        driver->Release();
    }
    {
        SCOPED_TRACE("24000");
        SimConfig config = realTime();
        strcpy(config.announceRate, "24000");
        config.announceAtSwitch = 2;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        ASSERT_EQ(ASE_OK, driver->start());
        ASSERT_TRUE(waitForStreamNote(0));
        double periodUs = measuredPeriodUs(device->shared);
        EXPECT_EQ(ASE_OK, driver->stop());
        EXPECT_GT(periodUs, 8000) << "256 frames at 24 kHz are 10.7 ms, at 48 kHz 5.3 ms";
        EXPECT_LT(periodUs, 14000);
        std::vector<StreamNote> rates = streamNotes(0);
        ASSERT_EQ(1u, rates.size());
        EXPECT_EQ(24000, rates[0].rate);
        EXPECT_NE(GetCurrentThreadId(), rates[0].thread);
        double rate = 0;
        EXPECT_EQ(ASE_OK, driver->getSampleRate(&rate));
        EXPECT_EQ(24000, rate);
        EXPECT_EQ(24000, device->shared->clockRate);
        EXPECT_EQ(24000, device->shared->announcedRate);
        driver->Release();
    }
}

TEST_F(SimStreamTest, ARateSetWhileRunningIsTakenRefusedResetOrLiedAbout) {
    for (int32_t mode = 0; mode <= 3; mode++) {
        SCOPED_TRACE(mode);
        SimConfig config = realTime();
        config.runningRateChange = mode;
        setStreamHost(kFrames, SIM_ST_INT32_LSB);
        g_stream.supports = 1ul << SIM_MSG_RESET_REQUEST;
        IASIO *driver = prepare(config);
        ASSERT_NE(nullptr, driver);
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_TRUE(waitForStreamCalls(3));
        EXPECT_EQ(mode == 1 ? ASE_InvalidMode : ASE_OK, driver->setSampleRate(24000));
        double rate = 0;
        EXPECT_EQ(ASE_OK, driver->getSampleRate(&rate));
        EXPECT_EQ(mode == 1 ? 48000 : 24000, rate);
        if (mode == 0) {
            EXPECT_TRUE(waitForStreamNote(0));
        } else if (mode == 2) {
            EXPECT_TRUE(waitForStreamNote(SIM_MSG_RESET_REQUEST));
        }
        double periodUs = measuredPeriodUs(device->shared);
        EXPECT_EQ(ASE_OK, driver->stop());
        bool slower = mode == 0;
        EXPECT_GT(periodUs, slower ? 8000 : 4000);
        EXPECT_LT(periodUs, slower ? 14000 : 7000);
        EXPECT_EQ(slower ? 24000 : 48000, device->shared->clockRate);
        std::vector<StreamNote> rates = streamNotes(0);
        EXPECT_EQ(mode == 0 ? 1u : 0u, rates.size());
        if (!rates.empty()) {
            EXPECT_EQ(24000, rates[0].rate);
            EXPECT_NE(GetCurrentThreadId(), rates[0].thread);
        }
        EXPECT_EQ(mode == 2 ? 1u : 0u, streamNotes(SIM_MSG_RESET_REQUEST).size());
        EXPECT_EQ(mode == 2 ? 1 : 0, device->shared->ownRequestsSent);

        // The host's restart: the rate taken is the clock's now, but not the one lied about.
        ASSERT_EQ(ASE_OK, driver->start());
        EXPECT_TRUE(waitForStreamCalls(g_stream.calls + 2));
        EXPECT_EQ(ASE_OK, driver->stop());
        EXPECT_EQ(mode == 0 || mode == 2 ? 24000 : 48000, device->shared->clockRate);
        driver->Release();
    }
}
