// Drivers that open windows of their own and run their own message loops inside their calls, on the
// dialog's thread: the dialog keeps getting messages meanwhile, and must not act on them until the
// driver's call has returned.
#include "res/resource.h"
#include "tests/support/sim_fixture.h"

#include <gtest/gtest.h>

namespace {

enum WindowKind { PANEL_WITHOUT_OWNER, INIT_MESSAGE_BOX, STOP_WITH_MESSAGE_LOOP };

class DriverWindowsTest : public SimProgramTest, public ::testing::WithParamInterface<WindowKind> {
protected:
    SimConfig windowConfig()
    {
        SimConfig config = fastConfig();
        config.windowMs = 1500;
        if (GetParam() == PANEL_WITHOUT_OWNER)
            config.panelShowsWindow = 2;
        else if (GetParam() == INIT_MESSAGE_BOX)
            config.initMessageBox = 1;
        else
            config.stopWaits = 1;
        return config;
    }

    // Sets off the command during which `device` shows its window; returns when it is up. The
    // command is posted: sent, it would hold this thread until the window closed.
    void openWindow(RegisteredDevice *device, int item)
    {
        LONG shown = device->shared->windowsShown;
        if (GetParam() == PANEL_WITHOUT_OWNER) {
            postCommand(run.dialog, IDC_CONTROL_PANEL, BN_CLICKED);
        } else if (GetParam() == INIT_MESSAGE_BOX) {
            SendMessageA(GetDlgItem(run.dialog, IDC_DRIVER), CB_SETCURSEL, item, 0);
            postCommand(run.dialog, IDC_DRIVER, CBN_SELCHANGE);
        } else {
            clickButton(run.dialog, IDC_START);
            ASSERT_TRUE(waitForSwitches(device, 10));
            postCommand(run.dialog, IDC_START, BN_CLICKED);
        }
        DWORD started = GetTickCount();
        while (device->shared->windowsUp == 0 || device->shared->windowsShown == shown) {
            ASSERT_LT(GetTickCount() - started, 30000u) << "the driver's window did not come";
            Sleep(10);
        }
    }

    // What a user could try while the window is up: Start, another driver.
    void tryCommands()
    {
        EXPECT_FALSE(IsWindowEnabled(run.dialog)) << "the dialog is disabled during the command";
        sendCommand(run.dialog, IDC_START, BN_CLICKED);
        chooseDriverItem(run.dialog, 1);
        sendCommand(run.dialog, IDC_CONTROL_PANEL, BN_CLICKED);
    }

    // The driver's window ends by itself. What the command does after it waits for nothing, so
    // once the window is gone and the dialog has answered, the command has returned, and so has
    // whatever was to follow it.
    void waitForCommandEnd(RegisteredDevice *device)
    {
        DWORD started = GetTickCount();
        while (device->shared->windowsUp != 0) {
            ASSERT_LT(GetTickCount() - started, 30000u) << "the driver's window did not end";
            Sleep(10);
        }
        syncWithDialog(run.dialog);
    }
};

TEST_P(DriverWindowsTest, CommandsAndACloseDuringTheDriversWindowWaitUntilItsCallReturns)
{
    RegisteredDevice *device = addDevice(windowConfig());
    RegisteredDevice *other = addDevice(fastConfig());
    RegisteredDevice *third = addDevice(windowConfig());
    start();
    HWND list = GetDlgItem(run.dialog, IDC_DRIVER);
    if (GetParam() != INIT_MESSAGE_BOX)
        chooseDriverItem(run.dialog, 0);
    SendMessageA(run.dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(list), TRUE);
    HWND focus = focusedWindow(run.dialog);
    ASSERT_EQ(focus, list);

    openWindow(device, 0);
    size_t buffersCreated = calls(device, SIM_CREATE_BUFFERS).size();
    tryCommands();
    waitForCommandEnd(device);
    EXPECT_TRUE(IsWindowEnabled(run.dialog)) << "the dialog is enabled again";
    EXPECT_EQ(device->shared->callsDuringWindow, 0) << "a call reached the driver inside its own";
    EXPECT_EQ(other->shared->instancesCreated, 0) << "the selection was not acted on";
    EXPECT_EQ(selectedDriverItem(run.dialog), 0) << "the list shows the driver that is loaded";
    EXPECT_EQ(calls(device, SIM_CREATE_BUFFERS).size(), buffersCreated) << "Start was not acted on";
    EXPECT_EQ(focusedWindow(run.dialog), focus) << "the focus is back where it was";
    if (GetParam() == PANEL_WITHOUT_OWNER) {
        // The reload came after the panel: the first instance went once its call had returned.
        EXPECT_EQ(device->shared->instancesCreated, 2);
        EXPECT_EQ(device->shared->instancesAlive, 1);
        EXPECT_EQ(controls(), (Controls{"Start", true, true}));
    } else if (GetParam() == INIT_MESSAGE_BOX) {
        EXPECT_EQ(device->shared->instancesAlive, 1);
        EXPECT_NE(report().find("Position: "), std::string::npos) << "reported after init";
        EXPECT_EQ(controls(), (Controls{"Start", true, true}));
    } else {
        EXPECT_EQ(device->shared->threadsRunning, 0);
        EXPECT_EQ(calls(device, SIM_START).size(), 1u);
        EXPECT_EQ(controls(), (Controls{"Start", true, true}));
    }

    // The close below starts from the state above; after a failure there it would only wait.
    if (HasFailure())
        return;

    // Now a close asked for during the window: carried out once the command is done.
    RegisteredDevice *last = device;
    if (GetParam() == INIT_MESSAGE_BOX)
        last = third;
    openWindow(last, 2);
    tryCommands();
    // Sent, not posted: a posted close could be taken after the sync of waitForCommandEnd.
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(run.dialog, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_NORMAL, 60000, &answer);
    waitForCommandEnd(last);
    ASSERT_EQ(last->shared->instancesAlive, 0) << "the close did not follow the command";
    EXPECT_EQ(waitForExit(&run, 60000), 2);
    for (RegisteredDevice *d : devices) {
        EXPECT_EQ(d->shared->callsDuringWindow, 0) << d->name;
        EXPECT_EQ(d->shared->instancesAlive, 0) << d->name;
    }
    EXPECT_EQ(other->shared->instancesCreated, 0);
    LONG count = last->shared->callCount;
    ASSERT_GE(count, 3);
    EXPECT_EQ(last->shared->calls[count - 1].op, SIM_RELEASED);
    if (GetParam() == STOP_WITH_MESSAGE_LOOP) {
        EXPECT_EQ(last->shared->calls[count - 3].op, SIM_STOP);
        EXPECT_EQ(last->shared->calls[count - 2].op, SIM_DISPOSE_BUFFERS);
    }
}

std::string kindName(const ::testing::TestParamInfo<WindowKind> &info)
{
    static const char *names[] = {"PanelWithoutOwner", "InitMessageBox", "StopWithMessageLoop"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Windows, DriverWindowsTest,
                         ::testing::Values(PANEL_WITHOUT_OWNER, INIT_MESSAGE_BOX,
                                           STOP_WITH_MESSAGE_LOOP),
                         kindName);

}  // namespace
