// Faults planted in the driver's calls: a crash, a hang or the end of the process, each shown by
// a host in a process of its own; calls that answer an error; a start that starts nothing.
#include "sim_loopback_host.h"
#include "tests/support/testkit.h"

#include <string.h>

namespace {

const long kNotAdvancing = -996;

SimConfig faulting(const char *call, int kind, int atCall) {
    SimConfig config;
    simDefaultConfig(&config);
    strcpy(config.faultCall, call);
    config.faultKind = kind;
    config.faultAtCall = atCall;
    return config;
}

// Of a thread: Wine tells no times of another process, but it does of any thread.
double cpuSeconds(HANDLE thread) {
    FILETIME created, ended, kernel, user;
    GetThreadTimes(thread, &created, &ended, &kernel, &user);
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
    return (double)(k.QuadPart + u.QuadPart) / 1e7;
}

}  // namespace

TEST_F(SimDeviceTest, FaultsCrashHangOrEndTheHostAtTheChosenCall) {
    TestDevice &clean = registerDevice(faulting("", 1, 1));
    TestDevice &crash = registerDevice(faulting("create", 1, 2));
    TestDevice &exits = registerDevice(faulting("getChannels", 3, 2));
    TestDevice &hangs = registerDevice(faulting("release", 2, 1));
    PROCESS_INFORMATION cleanHost = startFaultHost(clean, 2);
    PROCESS_INFORMATION crashHost = startFaultHost(crash, 2);
    PROCESS_INFORMATION exitHost = startFaultHost(exits, 2);
    PROCESS_INFORMATION hangHost = startFaultHost(hangs, 2);

    EXPECT_EQ(0u, endOf(cleanHost, 60000));
    EXPECT_EQ(2, clean.shared->opCounts[SIM_RELEASED]);
    // The second CreateInstance crashes, after a whole first session, with the code this system
    // gives a write through a bad pointer.
    EXPECT_EQ(badWriteExceptionCode(), endOf(crashHost, 60000));
    EXPECT_EQ(2, crash.shared->createForClsid);
    EXPECT_EQ(1, crash.shared->instancesCreated);
    EXPECT_EQ(1, crash.shared->opCounts[SIM_RELEASED]);
    EXPECT_EQ(77u, endOf(exitHost, 60000));
    EXPECT_EQ(2, exits.shared->opCounts[SIM_GET_CHANNELS]);
    EXPECT_EQ(1, exits.shared->opCounts[SIM_GET_LATENCIES]);

    // The last call before Release has been made; Release never returns, asleep.
    for (int i = 0; i < 3000 && hangs.shared->opCounts[SIM_FUTURE] < 1; i++)
        Sleep(10);
    ASSERT_EQ(1, hangs.shared->opCounts[SIM_FUTURE]);
    double cpuBefore = cpuSeconds(hangHost.hThread);
    Sleep(2000);
    EXPECT_LT(cpuSeconds(hangHost.hThread) - cpuBefore, 0.5) << "asleep, not spinning";
    EXPECT_EQ((DWORD)STILL_ACTIVE, endOf(hangHost, 0));
    EXPECT_EQ(1, hangs.shared->instancesAlive);
    EXPECT_EQ(0, hangs.shared->opCounts[SIM_RELEASED]);
}

TEST_F(SimDeviceTest, FailedCallsAnswerAnErrorAndDoNothingElse) {
    SimConfig sizes, inits, names, creates;
    simDefaultConfig(&sizes);
    inits = names = creates = sizes;
    strcpy(sizes.failCall, "getBufferSize");
    sizes.failAtCall = 2;
    sizes.failCount = 2;
    strcpy(inits.failCall, "init");
    inits.failAtCall = 2;
    inits.failCount = -1;
    strcpy(names.failCall, "getDriverName");
    strcpy(creates.failCall, "create");
    IASIO *sizing = load(registerDevice(sizes));
    IASIO *initing = load(registerDevice(inits));
    IASIO *naming = load(registerDevice(names));
    ASSERT_TRUE(sizing && initing && naming);

    const long expected[] = {ASE_OK, ASE_HWMalfunction, ASE_HWMalfunction,
                             ASE_OK};
    for (long answer : expected) {
        long minSize = -5, maxSize = -5, preferred = -5, granularity = -5;
        EXPECT_EQ(answer, sizing->getBufferSize(&minSize, &maxSize, &preferred, &granularity));
        EXPECT_EQ(answer == ASE_OK ? 256 : -5, preferred);
    }
    EXPECT_EQ(1, initing->init(nullptr));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(0, initing->init(nullptr));
    char name[40];
    memset(name, '#', sizeof name);
    naming->getDriverName(name);
    EXPECT_EQ('#', name[0]);
    naming->getDriverName(name);
    EXPECT_STREQ("Quorvel Sim", name);

    TestDevice &creating = registerDevice(creates);
    void *object = (void *)1;
    EXPECT_EQ(E_FAIL, CoCreateInstance(creating.clsid, nullptr, CLSCTX_INPROC_SERVER,
                                       creating.clsid, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, creating.shared->instancesCreated);
    IASIO *second = load(creating);
    ASSERT_NE(nullptr, second);
    second->Release();
    sizing->Release();
    initing->Release();
    naming->Release();
}

TEST_F(SimDeviceTest, SilentStartAnswersOkAndSwitchesNothing) {
    SimConfig config;
    simDefaultConfig(&config);
    config.periodUs = 2000;
    config.silentStartAt = 2;
    TestDevice &device = registerDevice(config);
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    setHostLayout({{1, 0}, {0, 0}}, 64, 4, HostFault::None);
    ASSERT_EQ(ASE_OK, driver->createBuffers(g_host.infos, 2, 64, &g_callbacks));
    ASIOSamples position;
    ASIOTimeStamp stamp;

    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(3));
    EXPECT_EQ(ASE_OK, driver->getSamplePosition(&position, &stamp));
    driver->stop();
    LONG before = g_host.callbacks;
    ASSERT_EQ(ASE_OK, driver->start());
    Sleep(100);
    EXPECT_EQ(before, g_host.callbacks);
    EXPECT_EQ(0, device.shared->threadsRunning);
    EXPECT_EQ(kNotAdvancing, driver->getSamplePosition(&position, &stamp));
    driver->stop();
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(before + 3));
    driver->stop();
    driver->Release();
}
