// Windows and message loops inside the device's own calls, on the host's thread: the host's
// timer goes on firing meanwhile and calls back in, as a host's window would.
#include "sim_loopback_host.h"

#include <string.h>

namespace {

// What the host's timer did and saw while the device's window or loop was up.
struct HostTimer {
    IASIO *driver;  // null once released
    const SimShared *shared;
    CLSID clsid;
    bool releaseNext;
    int calls;
    int queries;
    LONG aliveAfterRelease;
    bool windowSeen;
    bool windowOwned;
    bool windowCaptioned;
    char caption[64];
};

HostTimer g_timer;

BOOL CALLBACK noteWindow(HWND window, LPARAM) {
    if (!IsWindowVisible(window))
        return TRUE;
    g_timer.windowSeen = true;
    g_timer.windowOwned |= GetWindow(window, GW_OWNER) != nullptr;
    g_timer.windowCaptioned = (GetWindowLongA(window, GWL_STYLE) & WS_CAPTION) == WS_CAPTION;
    GetWindowTextA(window, g_timer.caption, sizeof g_timer.caption);
    return TRUE;
}

void CALLBACK hostTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (!g_timer.driver)
        return;
    EnumThreadWindows(GetCurrentThreadId(), noteWindow, 0);
    if (g_timer.releaseNext) {
        g_timer.driver->Release();
        g_timer.driver = nullptr;
        g_timer.aliveAfterRelease = g_timer.shared->instancesAlive;
        return;
    }
    g_timer.driver->getDriverVersion();
    g_timer.calls++;
    if (g_timer.queries == 0) {
        IUnknown *face = nullptr;
        if (g_timer.driver->QueryInterface(IID_IUnknown, (void **)&face) == S_OK)
            face->Release();
        g_timer.queries++;
    }
}

void clearSeen() {
    g_timer.windowSeen = g_timer.windowOwned = g_timer.windowCaptioned = false;
    g_timer.caption[0] = 0;
}

}  // namespace

TEST_F(SimDeviceTest, CallsFromInsideTheDevicesWindowsAreFlaggedAndAReleaseWaitsForThem) {
    SimConfig config;
    simDefaultConfig(&config);
    config.periodUs = 2000;
    config.panelShowsWindow = 2;
    config.initMessageBox = 1;
    config.stopWaits = 1;
    config.windowMs = 300;
    strcpy(config.driverName, "Window Test Sim");
    SimConfig changed = config;
    changed.preferredSize = 512;
    TestDevice &device = registerDevice(config);
    ASSERT_EQ(0, simSetPanelChanges(device.clsidText.c_str(), &config, &changed));
    const SimShared *shared = device.shared;
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    memset(&g_timer, 0, sizeof g_timer);
    g_timer.driver = driver;
    g_timer.shared = shared;
    UINT_PTR timer = SetTimer(nullptr, 0, 40, hostTimer);
    ASSERT_NE(0u, timer);

    // init's message box: no owner, closes itself; the host's timer calls in meanwhile.
    EXPECT_EQ(1, driver->init(nullptr));
    EXPECT_GT(g_timer.calls, 0);
    EXPECT_TRUE(g_timer.windowSeen && !g_timer.windowOwned) << g_timer.caption;
    EXPECT_EQ(0, strncmp(g_timer.caption, "Quorvel Sim", 11)) << g_timer.caption;
    int duringWindows = g_timer.calls;
    driver->getDriverVersion();

    // The panel: a top-level window with a caption and no owner, in the device's own loop;
    // afterwards the panel's changes are there for the next instance.
    clearSeen();
    EXPECT_EQ(ASE_OK, driver->controlPanel());
    EXPECT_GT(g_timer.calls, duringWindows);
    EXPECT_TRUE(g_timer.windowSeen && !g_timer.windowOwned && g_timer.windowCaptioned);
    EXPECT_STREQ("Window Test Sim settings", g_timer.caption);
    EXPECT_EQ(1, g_timer.queries);
    duringWindows = g_timer.calls;
    SimConfig now;
    ASSERT_EQ(0, simReadConfig(device.clsidText.c_str(), &now));
    EXPECT_EQ(512, now.preferredSize);
    driver->getDriverVersion();

    // stop waits with messages and no window; the host lets go of the object from its timer.
    setHostLayout({{1, 0}, {0, 0}}, 64, 4, HostFault::None);
    ASSERT_EQ(ASE_OK, driver->createBuffers(g_host.infos, 2, 64, &g_callbacks));
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForCallbacks(5));
    g_timer.releaseNext = true;
    clearSeen();
    EXPECT_EQ(ASE_OK, driver->stop());
    KillTimer(nullptr, timer);
    EXPECT_FALSE(g_timer.windowSeen);
    EXPECT_EQ(nullptr, g_timer.driver) << "released from inside stop";
    EXPECT_EQ(1, g_timer.aliveAfterRelease) << "alive while its own call was on the stack";
    EXPECT_EQ(0, shared->instancesAlive);
    EXPECT_EQ(0, shared->threadsRunning);
    EXPECT_EQ(0, shared->windowsUp);
    EXPECT_EQ(3, shared->windowsShown);

    // Flagged: every call of the timer, its query and both releases; not the test's own calls.
    int flaggedVersions = 0, plainVersions = 0, flaggedOther = 0, flagged = 0;
    for (LONG i = 0; i < shared->callCount && i < SIM_MAX_CALLS; i++) {
        const SimCall &call = shared->calls[i];
        bool during = (call.flags & SIM_CALL_DURING_WINDOW) != 0;
        flagged += during;
        if (call.op == SIM_GET_DRIVER_VERSION)
            (during ? flaggedVersions : plainVersions)++;
        else if (during)
            flaggedOther++;
        EXPECT_FALSE(call.op == SIM_RELEASED && during);
    }
    EXPECT_EQ(duringWindows, flaggedVersions);
    EXPECT_EQ(2, plainVersions);
    std::vector<SimCall> queries = loggedCalls(shared, SIM_QUERY_INTERFACE);
    ASSERT_EQ(1u, queries.size());
    EXPECT_EQ(SIM_ASKED_UNKNOWN, queries[0].a);
    std::vector<SimCall> releases = loggedCalls(shared, SIM_RELEASE);
    ASSERT_EQ(2u, releases.size());
    EXPECT_EQ(1, releases[0].b) << "the IUnknown face's";
    EXPECT_EQ(0, releases[1].a) << "the last reference";
    EXPECT_EQ(3, flaggedOther);
    EXPECT_EQ(flagged, shared->callsDuringWindow);
    EXPECT_EQ(SIM_RELEASED, shared->calls[shared->callCount - 1].op);
}
