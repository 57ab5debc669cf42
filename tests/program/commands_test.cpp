// The whole tool from the dialog: the real program, driven from here, loading simulated devices
// through COM; the devices report what they were asked and whether every buffer came back right.
#include "res/resource.h"
#include "simdevice/sim_asio_abi.h"
#include "tests/support/sim_fixture.h"

#include <gtest/gtest.h>

namespace {

const char *EXAMPLE_REPORT =
    "Buffer Size min: 64\n"
    "Buffer Size max: 512\n"
    "Buffer Size preferred: 256\n"
    "Buffer Size granularity: -1\n"
    "\n"
    "Sample Rate: 48000.000000\n"
    "Input Channel Count: 2\n"
    "Output Channel Count: 4\n"
    "Sample Type: ASIOSTInt32LSB (4 bytes)\n"
    "Position: ";

const char *NO_DRIVER_REPORT =
    "Buffer Size min: 0\n"
    "Buffer Size max: 0\n"
    "Buffer Size preferred: 0\n"
    "Buffer Size granularity: 0\n"
    "\n"
    "Sample Rate: 0.000000\n"
    "Input Channel Count: 0\n"
    "Output Channel Count: 0\n"
    "Sample Type: ASIOSTInt16MSB (2 bytes)\n"
    "Position: ";

using CommandsTest = SimProgramTest;

TEST_F(CommandsTest, ReportsTheExampleDriverInTenLines)
{
    SimConfig config = fastConfig();
    config.inputs = 2;
    config.outputs = 4;
    config.minSize = 64;
    config.maxSize = 512;
    config.preferredSize = 256;
    config.granularity = -1;
    config.sampleType = SIM_ST_INT32_LSB;
    RegisteredDevice *device = addDevice(config);
    start();
    chooseDriverItem(run.dialog, 0);
    EXPECT_EQ(report(), EXAMPLE_REPORT);

    std::vector<SimCall> init = calls(device, SIM_INIT);
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].a, 1) << "init gets the dialog as system reference";
    std::vector<SimCall> info = calls(device, SIM_GET_CHANNEL_INFO);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].a, 0);
    EXPECT_EQ(info[0].b, 0) << "the report asks for output channel 0";

    // Choosing the driver that is already current does nothing.
    chooseDriverItem(run.dialog, 0);
    EXPECT_EQ(device->shared->instancesCreated, 1);
    // Asked for under its class identifier, never as IID_IUnknown: many drivers hand out a bare
    // three-slot object for that.
    EXPECT_EQ(device->shared->createForClsid, 1);
    EXPECT_EQ(device->shared->createForUnknown + device->shared->queryForUnknown, 0);
    EXPECT_EQ(closeProgram(&run), 2);
}

TEST_F(CommandsTest, ControlStatesFollowTheCommands)
{
    RegisteredDevice *device = addDevice(fastConfig());
    // Listed (its server path is set) but its class cannot be created.
    std::string broken = addClass("C:\\nowhere\\missing-driver.dll");
    addAsioDriverKey("Sim 99", broken, "Broken Driver");
    start();
    EXPECT_EQ(controls(), (Controls{"Start", false, false}));

    chooseDriverItem(run.dialog, 0);
    EXPECT_EQ(controls(), (Controls{"Start", true, true})) << "selection that opened a driver";
    std::string opened = report();

    clickButton(run.dialog, IDC_START);
    EXPECT_EQ(controls(), (Controls{"Stop", true, false})) << "Start";
    EXPECT_TRUE(waitForPosition(1)) << "the refresh timer shows the count";

    clickButton(run.dialog, IDC_START);
    EXPECT_EQ(controls(), (Controls{"Start", true, true})) << "Stop";

    clickButton(run.dialog, IDC_CONTROL_PANEL);
    EXPECT_EQ(controls(), (Controls{"Start", true, true})) << "Control Panel";

    chooseDriverItem(run.dialog, 1);
    EXPECT_EQ(controls(), (Controls{"Start", false, true})) << "selection that opened nothing";
    EXPECT_EQ(report(), opened) << "the previous report stays";
    // Control Panel with nothing open does nothing.
    clickButton(run.dialog, IDC_CONTROL_PANEL);
    EXPECT_EQ(device->shared->instancesCreated, 2);
    EXPECT_EQ(device->shared->instancesAlive, 0);

    EXPECT_EQ(closeProgram(&run), 2);
}

TEST_F(CommandsTest, StartStopStartCountsEachRunFromZero)
{
    SimConfig config = fastConfig();
    config.inputs = 3;
    config.outputs = 2;
    config.preferredSize = 128;
    RegisteredDevice *device = addDevice(config);
    start();
    chooseDriverItem(run.dialog, 0);

    clickButton(run.dialog, IDC_START);
    ASSERT_TRUE(waitForSwitches(device, 50));
    ASSERT_TRUE(waitForPosition(50));
    long first = reportedPosition(run.dialog);
    EXPECT_TRUE(waitForPosition(first + 20)) << "the count advances while running";
    clickButton(run.dialog, IDC_START);
    long frozen = reportedPosition(run.dialog);
    LONG deviceSwitches = device->shared->runSwitches;
    EXPECT_LE(frozen, deviceSwitches) << "the dialog never shows more than the device made";
    Sleep(600);
    EXPECT_EQ(reportedPosition(run.dialog), frozen) << "frozen after Stop";

    std::vector<SimCall> created = calls(device, SIM_CREATE_BUFFERS);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].a, 5) << "outputs + inputs elements";
    EXPECT_EQ(created[0].b, 128) << "the preferred size";

    clickButton(run.dialog, IDC_START);
    // A refresh tick asked for at once shows the new run's count: at most one switch ahead of
    // what the device has finished, which a count carried over from the first run would exceed.
    SendMessageA(run.dialog, WM_TIMER, 1, 0);
    long restarted = reportedPosition(run.dialog);
    EXPECT_LE(restarted, device->shared->runSwitches + 1) << "a new run counts from 0";
    EXPECT_GT(frozen, 10);
    ASSERT_TRUE(waitForSwitches(device, 20));
    clickButton(run.dialog, IDC_START);
    EXPECT_EQ(calls(device, SIM_CREATE_BUFFERS).size(), 2u);

    EXPECT_EQ(device->shared->mismatches, 0);
    EXPECT_EQ(device->shared->sentinelViolations, 0);
    EXPECT_EQ(device->shared->guardViolations, 0);
    // The dialog answers 0 to every message, time info included: plain buffer switches.
    for (int s = 0; s < SIM_SELECTORS; s++) {
        EXPECT_LE(device->shared->supportedAnswers[s], 0) << s;
        EXPECT_LE(device->shared->messageAnswers[s], 0) << s;
    }
    EXPECT_EQ(device->shared->messageAnswers[7], 0) << "asked whether time info is supported";
    EXPECT_EQ(closeProgram(&run), 2);
}

TEST_F(CommandsTest, ADriverWithoutChannelsGetsEmptyBuffersAndRunsItsClock)
{
    SimConfig config = fastConfig();
    config.inputs = 0;
    config.outputs = 0;
    RegisteredDevice *device = addDevice(config);
    start();
    chooseDriverItem(run.dialog, 0);
    clickButton(run.dialog, IDC_START);
    EXPECT_TRUE(waitForPosition(20)) << "the count moves";
    clickButton(run.dialog, IDC_START);
    std::vector<SimCall> created = calls(device, SIM_CREATE_BUFFERS);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].a, 0);
    EXPECT_EQ(calls(device, SIM_START).size(), 1u);
    EXPECT_EQ(closeProgram(&run), 2);
}

TEST_F(CommandsTest, LoopbackIsBitExactForEveryLayout)
{
    struct Layout {
        int inputs, outputs, type;
        const char *typeLine;
        const char *inputTypes, *outputTypes;  // per channel, where they differ
    } layouts[] = {
        {2, 4, SIM_ST_INT32_LSB, "Sample Type: ASIOSTInt32LSB (4 bytes)\n", "", ""},
        {4, 2, SIM_ST_INT32_LSB, "Sample Type: ASIOSTInt32LSB (4 bytes)\n", "", ""},
        {2, 0, SIM_ST_INT32_LSB, "Sample Type: ASIOSTInt32LSB (4 bytes)\n", "", ""},
        {2, 2, SIM_ST_INT24_LSB, "Sample Type: ASIOSTInt24LSB (3 bytes)\n", "", ""},
        {2, 2, 12, "Sample Type: Unknown type 12 (0 bytes)\n", "", ""},
        // Inputs and outputs of different sizes: no copy may leave either buffer.
        {2, 2, SIM_ST_INT32_LSB, "Sample Type: ASIOSTInt32LSB (4 bytes)\n", "16", ""},
        {2, 2, SIM_ST_INT32_LSB, "Sample Type: ASIOSTInt16LSB (2 bytes)\n", "", "16"},
        {3, 3, SIM_ST_INT32_LSB, "Sample Type: ASIOSTFloat64LSB (8 bytes)\n", "16,17,20", "20,16,17"},
    };
    for (const Layout &layout : layouts) {
        SimConfig config = fastConfig();
        config.inputs = layout.inputs;
        config.outputs = layout.outputs;
        config.sampleType = layout.type;
        strcpy(config.inputTypes, layout.inputTypes);
        strcpy(config.outputTypes, layout.outputTypes);
        addDevice(config);
    }
    start();
    for (size_t i = 0; i < devices.size(); i++) {
        SCOPED_TRACE(i);
        RegisteredDevice *device = devices[i];
        chooseDriverItem(run.dialog, static_cast<int>(i));
        EXPECT_NE(report().find(layouts[i].typeLine), std::string::npos) << report();
        clickButton(run.dialog, IDC_START);
        EXPECT_TRUE(waitForSwitches(device, 100));
        clickButton(run.dialog, IDC_START);
        EXPECT_GE(device->shared->runSwitches, 100);
        EXPECT_EQ(device->shared->mismatches, 0);
        EXPECT_EQ(device->shared->sentinelViolations, 0);
        EXPECT_EQ(device->shared->guardViolations, 0);
        EXPECT_EQ(device->shared->threadsRunning, 0);
    }
    EXPECT_EQ(closeProgram(&run), 2);
}

TEST_F(CommandsTest, ChoosingAnotherDriverWhileRunningStopsAndReleasesTheFirst)
{
    RegisteredDevice *first = addDevice(fastConfig());
    SimConfig other = fastConfig();
    other.preferredSize = 96;
    addDevice(other);
    start();
    chooseDriverItem(run.dialog, 0);
    clickButton(run.dialog, IDC_START);
    ASSERT_TRUE(waitForSwitches(first, 50));
    ASSERT_TRUE(waitForPosition(1));

    chooseDriverItem(run.dialog, 1);
    EXPECT_EQ(first->shared->threadsRunning, 0);
    EXPECT_EQ(first->shared->instancesAlive, 0);
    EXPECT_EQ(calls(first, SIM_STOP).size(), 1u) << "stopped when chosen away";
    EXPECT_EQ(calls(first, SIM_RELEASED).size(), 1u);
    EXPECT_EQ(controls(), (Controls{"Start", true, true}));
    EXPECT_NE(report().find("Buffer Size preferred: 96\n"), std::string::npos);
    LONG lastRun = first->shared->runSwitches;
    // The refresh timer goes on: the old run's last count appears behind "Position: ".
    Sleep(700);
    long shown = reportedPosition(run.dialog);
    EXPECT_GT(shown, 0);
    EXPECT_LE(shown, lastRun);
    EXPECT_EQ(closeProgram(&run), 2);
}

TEST_F(CommandsTest, ControlPanelReloadsTheDriverWithWhatItsPanelChanged)
{
    SimConfig config = fastConfig();
    RegisteredDevice *device = addDevice(config);
    SimConfig changed = config;
    changed.preferredSize = 512;
    changed.inputs = 6;
    ASSERT_EQ(simSetPanelChanges(device->clsid.c_str(), &config, &changed), 0);
    start();
    chooseDriverItem(run.dialog, 0);
    EXPECT_NE(report().find("Buffer Size preferred: 64\n"), std::string::npos);

    clickButton(run.dialog, IDC_CONTROL_PANEL);
    EXPECT_NE(report().find("Buffer Size preferred: 512\n"), std::string::npos) << report();
    EXPECT_NE(report().find("Input Channel Count: 6\n"), std::string::npos);
    EXPECT_EQ(calls(device, SIM_CONTROL_PANEL, 1).size(), 1u);
    EXPECT_EQ(calls(device, SIM_RELEASED, 1).size(), 1u) << "the old instance released once";
    EXPECT_EQ(device->shared->instancesCreated, 2);
    EXPECT_EQ(device->shared->instancesAlive, 1);

    // The reloaded driver runs with its new figures.
    clickButton(run.dialog, IDC_START);
    ASSERT_TRUE(waitForSwitches(device, 20));
    clickButton(run.dialog, IDC_START);
    std::vector<SimCall> created = calls(device, SIM_CREATE_BUFFERS, 2);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].a, 8);
    EXPECT_EQ(created[0].b, 512);
    EXPECT_EQ(closeProgram(&run), 2);
    EXPECT_EQ(device->shared->instancesAlive, 0);
}

TEST_F(CommandsTest, ASelectionOfNoItemReleasesTheDriverAndNothingCallsItAfterwards)
{
    RegisteredDevice *device = addDevice(fastConfig());
    start();
    chooseDriverItem(run.dialog, 0);
    clickButton(run.dialog, IDC_START);
    ASSERT_TRUE(waitForSwitches(device, 20));
    chooseDriverItem(run.dialog, -1);
    EXPECT_EQ(controls(), (Controls{"Start", false, true}));
    EXPECT_EQ(device->shared->instancesAlive, 0);
    LONG callsAtRelease = device->shared->callCount;
    // Control Panel and a new choice must not reach the released object.
    clickButton(run.dialog, IDC_CONTROL_PANEL);
    chooseDriverItem(run.dialog, 0);
    EXPECT_EQ(controls(), (Controls{"Start", true, true}));
    for (LONG i = callsAtRelease; i < device->shared->callCount; i++)
        EXPECT_EQ(device->shared->calls[i].instance, 2) << "call " << device->shared->calls[i].op;
    EXPECT_EQ(closeProgram(&run), 2);
}

TEST_F(CommandsTest, FailingInitShowsTheNoDriverReportAndStillReleasesOnce)
{
    SimConfig config = fastConfig();
    strcpy(config.initError, "The simulated hardware is unplugged");
    RegisteredDevice *device = addDevice(config);
    start();
    chooseDriverItem(run.dialog, 0);
    EXPECT_EQ(report(), NO_DRIVER_REPORT);
    EXPECT_EQ(controls(), (Controls{"Start", true, true}));
    EXPECT_EQ(calls(device, SIM_GET_ERROR_MESSAGE).size(), 1u);

    clickButton(run.dialog, IDC_START);
    EXPECT_EQ(controls(), (Controls{"Stop", true, false}));
    Sleep(600);
    EXPECT_EQ(reportedPosition(run.dialog), 0) << "running with no driver: the count stays 0";
    clickButton(run.dialog, IDC_START);
    // Nothing but init and its message reached the driver that failed it.
    EXPECT_TRUE(calls(device, SIM_CREATE_BUFFERS).empty());
    EXPECT_TRUE(calls(device, SIM_START).empty());
    EXPECT_TRUE(calls(device, SIM_GET_BUFFER_SIZE).empty());

    EXPECT_EQ(closeProgram(&run), 2);
    EXPECT_EQ(calls(device, SIM_RELEASED).size(), 1u);
    EXPECT_EQ(device->shared->instancesAlive, 0);
}

TEST_F(CommandsTest, ClosingWhileRunningStopsAndReleasesTheDriverFirst)
{
    RegisteredDevice *device = addDevice(fastConfig());
    start();
    chooseDriverItem(run.dialog, 0);
    clickButton(run.dialog, IDC_START);
    ASSERT_TRUE(waitForSwitches(device, 50));
    EXPECT_EQ(closeProgram(&run), 2);

    EXPECT_EQ(device->shared->threadsRunning, 0);
    EXPECT_EQ(device->shared->instancesAlive, 0);
    ASSERT_EQ(calls(device, SIM_STOP).size(), 1u);
    ASSERT_EQ(calls(device, SIM_RELEASED).size(), 1u);
    // stop, then disposeBuffers, then the release, in that order, at the end of the log.
    LONG count = device->shared->callCount;
    ASSERT_GE(count, 3);
    EXPECT_EQ(device->shared->calls[count - 3].op, SIM_STOP);
    EXPECT_EQ(device->shared->calls[count - 2].op, SIM_DISPOSE_BUFFERS);
    EXPECT_EQ(device->shared->calls[count - 1].op, SIM_RELEASED);
    EXPECT_EQ(device->shared->mismatches, 0);
}

}  // namespace
