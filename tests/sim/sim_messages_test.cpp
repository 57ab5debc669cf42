// asioMessage as real drivers use it, and the callbacks record kept by pointer.
#include "sim_loopback_host.h"

#include <string.h>

namespace {

struct Message {
    long selector;
    long value;
    DWORD thread;
    LONG afterSwitches;  // buffer switches the host had seen when it came
};

Message g_messages[64];
volatile LONG g_messageCount;
volatile LONG g_timeInfoCalls;
volatile LONG g_swappedSwitches;

// Supports reset (3), time info (7) and overload (15); engine version 2; a reset is answered 42.
long hostMessage(long selector, long value, void *, double *) {
    LONG n = InterlockedIncrement(&g_messageCount) - 1;
    if (n < 64)
        g_messages[n] = {selector, value, GetCurrentThreadId(), g_host.callbacks};
    switch (selector) {
    case SIM_MSG_SELECTOR_SUPPORTED:
        return value == SIM_MSG_RESET_REQUEST || value == SIM_MSG_SUPPORTS_TIME_INFO ||
               value == SIM_MSG_OVERLOAD;
    case SIM_MSG_ENGINE_VERSION:
        return 2;
    case SIM_MSG_RESET_REQUEST:
        return 42;
    case SIM_MSG_SUPPORTS_TIME_INFO:
        return 1;
    default:
        return 0;
    }
}

ASIOTime *timeInfo(ASIOTime *, long index, long directProcess) {
    InterlockedIncrement(&g_timeInfoCalls);
    g_callbacks.bufferSwitch(index, directProcess);
    return nullptr;
}

ASIOTime *swappedTimeInfo(ASIOTime *, long index, long directProcess) {
    InterlockedIncrement(&g_swappedSwitches);
    g_callbacks.bufferSwitch(index, directProcess);
    return nullptr;
}

}  // namespace

TEST_F(SimDeviceTest, AsioMessageIsAskedTheUsualQuestionsAndARequestComesFromTheSwitchThread) {
    SimConfig config;
    simDefaultConfig(&config);
    config.periodUs = 2000;
    config.requestSelector = SIM_MSG_RESET_REQUEST;
    config.requestAtSwitch = 4;
    TestDevice &device = registerDevice(config);
    const SimShared *shared = device.shared;
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    g_messageCount = g_timeInfoCalls = g_swappedSwitches = 0;
    setHostLayout({{1, 0}, {0, 0}}, 64, 4, HostFault::None);
    ASIOCallbacks callbacks = {g_callbacks.bufferSwitch, nullptr, hostMessage, timeInfo};
    EXPECT_EQ(-1, shared->supportedAnswers[SIM_MSG_SUPPORTS_TIME_INFO]) << "never asked yet";
    ASSERT_EQ(ASE_OK, driver->createBuffers(g_host.infos, 2, 64, &callbacks));

    const long supported = SIM_MSG_SELECTOR_SUPPORTED;
    const long asked[][2] = {{supported, SIM_MSG_ENGINE_VERSION},
                             {supported, SIM_MSG_RESET_REQUEST},
                             {supported, SIM_MSG_BUFFER_SIZE_CHANGE},
                             {supported, SIM_MSG_RESYNC_REQUEST},
                             {supported, SIM_MSG_LATENCIES_CHANGED},
                             {supported, SIM_MSG_SUPPORTS_TIME_INFO},
                             {supported, SIM_MSG_SUPPORTS_TIME_CODE},
                             {supported, SIM_MSG_OVERLOAD},
                             {SIM_MSG_ENGINE_VERSION, 0},
                             {SIM_MSG_SUPPORTS_TIME_INFO, 0},
                             {SIM_MSG_SUPPORTS_TIME_CODE, 0}};
    ASSERT_EQ(11, g_messageCount);
    for (int i = 0; i < 11; i++) {
        EXPECT_EQ(asked[i][0], g_messages[i].selector) << i;
        EXPECT_EQ(asked[i][1], g_messages[i].value) << i;
        EXPECT_EQ(GetCurrentThreadId(), g_messages[i].thread) << i;
    }
    for (int s = 0; s < SIM_SELECTORS; s++) {
        bool supportAsked = (s >= SIM_MSG_ENGINE_VERSION && s <= SIM_MSG_SUPPORTS_TIME_CODE) ||
                            s == SIM_MSG_OVERLOAD;
        long yes = s == SIM_MSG_RESET_REQUEST || s == SIM_MSG_SUPPORTS_TIME_INFO ||
                   s == SIM_MSG_OVERLOAD;
        EXPECT_EQ(supportAsked ? yes : -1, shared->supportedAnswers[s]) << s;
        long answer = s == SIM_MSG_ENGINE_VERSION       ? 2
                      : s == SIM_MSG_SUPPORTS_TIME_INFO ? 1
                      : s == SIM_MSG_SUPPORTS_TIME_CODE ? 0
                                                        : -1;
        EXPECT_EQ(answer, shared->messageAnswers[s]) << s;
    }

    // The record is the host's own: a change after createBuffers is what the device calls.
    callbacks.bufferSwitchTimeInfo = swappedTimeInfo;
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(10));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(g_host.callbacks, g_swappedSwitches);
    ASSERT_EQ(1, shared->requestsSent);
    EXPECT_EQ(42, shared->requestAnswer);
    ASSERT_EQ(12, g_messageCount);
    EXPECT_EQ(SIM_MSG_RESET_REQUEST, g_messages[11].selector);
    EXPECT_EQ(0, g_messages[11].value);
    EXPECT_EQ(4, g_messages[11].afterSwitches);
    EXPECT_NE(GetCurrentThreadId(), g_messages[11].thread);
    EXPECT_EQ(0, shared->bufferSwitchCalls) << "time info only, for a host that supports it";
    EXPECT_EQ(g_host.callbacks, shared->timeInfoCalls);

    ASSERT_EQ(ASE_OK, driver->start());
    g_host.callbacks = 0;
    EXPECT_TRUE(waitForCallbacks(10));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(2, shared->requestsSent) << "once per run";
    EXPECT_EQ(0, shared->mismatches);
    driver->Release();
}
