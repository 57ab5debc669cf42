// Drivers in every state of repair, and registries that years of installers have written: the
// program must list what it can, report what the driver said, and stay usable, in every case.
#include "res/resource.h"
#include "simdevice/sim_asio_abi.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>
#include <functional>

namespace {

using HostileTest = SimProgramTest;

struct DriverCase {
    const char *what;
    std::function<void(SimConfig *)> configure;
    std::vector<std::string> reportLines;  // each must stand in the report
    bool buffersCreated;                   // createBuffers reaches the driver on Start
};

std::vector<DriverCase> driverCases()
{
    return {
        {"createBuffers fails", [](SimConfig *c) { c->createBuffersFails = 1; }, {}, true},
        {"createBuffers leaves null addresses", [](SimConfig *c) { c->nullBuffers = 1; }, {}, true},
        {"start fails", [](SimConfig *c) { c->startFails = 1; }, {}, true},
        {"negative channel counts",
         [](SimConfig *c) { c->inputs = -2; c->outputs = -1; },
         {"Input Channel Count: -2\n", "Output Channel Count: -1\n"}, true},
        {"no channels", [](SimConfig *c) { c->inputs = 0; c->outputs = 0; },
         {"Input Channel Count: 0\n", "Output Channel Count: 0\n"}, true},
        {"channel counts that would wrap",
         [](SimConfig *c) { c->inputs = INT32_MAX; c->outputs = INT32_MAX; },
         {"Input Channel Count: 2147483647\n", "Output Channel Count: 2147483647\n"}, false},
        {"a hundred thousand channels each way",
         [](SimConfig *c) { c->inputs = 100000; c->outputs = 100000; },
         {"Input Channel Count: 100000\n"}, true},
        {"negative buffer sizes",
         [](SimConfig *c) { c->minSize = -1; c->maxSize = -5; c->preferredSize = -256; c->granularity = -3; },
         {"Buffer Size min: -1\n", "Buffer Size max: -5\n", "Buffer Size preferred: -256\n",
          "Buffer Size granularity: -3\n"}, true},
        {"zero buffer size", [](SimConfig *c) { c->preferredSize = 0; },
         {"Buffer Size preferred: 0\n"}, true},
        {"huge buffer size", [](SimConfig *c) { c->preferredSize = INT32_MAX; c->maxSize = INT32_MAX; },
         {"Buffer Size preferred: 2147483647\n"}, true},
        {"NaN rate", [](SimConfig *c) { strcpy(c->sampleRate, "nan"); }, {"Sample Rate: nan\n"}, true},
        {"infinite rate", [](SimConfig *c) { strcpy(c->sampleRate, "inf"); }, {"Sample Rate: inf\n"}, true},
        {"negative rate", [](SimConfig *c) { strcpy(c->sampleRate, "-48000"); },
         {"Sample Rate: -48000.000000\n"}, true},
        {"rate of 1e300", [](SimConfig *c) { strcpy(c->sampleRate, "1e300"); },
         {"Sample Rate: 1.000000e+300\n", "Input Channel Count: 2\n", "Position: "}, true},
        {"negative sample type", [](SimConfig *c) { c->sampleType = -5; },
         {"Sample Type: Unknown type -5 (0 bytes)\n"}, true},
        {"unknown sample type", [](SimConfig *c) { c->sampleType = 99; },
         {"Sample Type: Unknown type 99 (0 bytes)\n"}, true},
        {"name without terminator", [](SimConfig *c) { c->nameUnterminated = 1; },
         {"Sample Type: ASIOSTInt32LSB (4 bytes)\n"}, true},
        {"32 frames at 192 kHz in real time",
         [](SimConfig *c) { c->periodUs = 0; c->preferredSize = 32; strcpy(c->sampleRate, "192000"); },
         {"Buffer Size preferred: 32\n", "Sample Rate: 192000.000000\n"}, true},
    };
}

TEST_F(HostileTest, EveryDriverFaultLeavesTheDialogUsableAndReportsWhatTheDriverSaid)
{
    std::vector<DriverCase> cases = driverCases();
    for (const DriverCase &c : cases) {
        SimConfig config = fastConfig();
        c.configure(&config);
        addDevice(config, c.what);
    }
    RegisteredDevice *healthy = addDevice(fastConfig(), "healthy");
    start();

    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i].what);
        RegisteredDevice *device = devices[i];
        chooseDriverItem(run.dialog, static_cast<int>(i));
        std::string text = report();
        for (const std::string &line : cases[i].reportLines)
            EXPECT_NE(text.find(line), std::string::npos) << line << "in:\n" << text;
        EXPECT_EQ(controls(), (Controls{"Start", true, true}));

        clickButton(run.dialog, IDC_START);
        EXPECT_EQ(controls(), (Controls{"Stop", true, false}));
        Sleep(400);
        clickButton(run.dialog, IDC_START);
        EXPECT_EQ(controls(), (Controls{"Start", true, true}));
        // Counted, not looked up in the log: 100,000 channels each way fill it with channel infos.
        EXPECT_EQ(device->shared->opCounts[SIM_CREATE_BUFFERS] == 0, !cases[i].buffersCreated);
        EXPECT_EQ(device->shared->mismatches, 0);
        EXPECT_EQ(device->shared->sentinelViolations, 0);
        EXPECT_EQ(device->shared->guardViolations, 0);
        ASSERT_EQ(WaitForSingleObject(run.process.hProcess, 0), DWORD(WAIT_TIMEOUT)) << "crashed";
    }

    // Afterwards the healthy driver still runs and loops back exactly.
    chooseDriverItem(run.dialog, static_cast<int>(cases.size()));
    clickButton(run.dialog, IDC_START);
    EXPECT_TRUE(waitForSwitches(healthy, 100));
    clickButton(run.dialog, IDC_START);
    EXPECT_EQ(healthy->shared->mismatches, 0);
    EXPECT_EQ(closeProgram(&run), 2);
    for (RegisteredDevice *device : devices)
        EXPECT_EQ(device->shared->instancesAlive, 0) << device->name;
}

TEST_F(HostileTest, ControlPanelsThatBlockOrChangeEveryFigure)
{
    SimConfig slow = fastConfig();
    slow.panelDelayMs = 3000;
    addDevice(slow, "slow panel");
    SimConfig base = fastConfig();
    RegisteredDevice *changing = addDevice(base, "changing panel");
    SimConfig changed = base;
    changed.inputs = 8;
    changed.outputs = 6;
    changed.minSize = 16;
    changed.maxSize = 4096;
    changed.preferredSize = 1024;
    changed.granularity = 16;
    strcpy(changed.sampleRate, "96000");
    changed.sampleType = SIM_ST_FLOAT32_LSB;
    ASSERT_EQ(simSetPanelChanges(changing->clsid.c_str(), &base, &changed), 0);
    start();

    chooseDriverItem(run.dialog, 0);
    DWORD before = GetTickCount();
    clickButton(run.dialog, IDC_CONTROL_PANEL);
    EXPECT_GE(GetTickCount() - before, 2900u) << "the panel held the dialog while it was open";
    EXPECT_EQ(controls(), (Controls{"Start", true, true}));
    EXPECT_NE(report().find("Position: "), std::string::npos);

    chooseDriverItem(run.dialog, 1);
    clickButton(run.dialog, IDC_CONTROL_PANEL);
    EXPECT_EQ(report(),
              "Buffer Size min: 16\nBuffer Size max: 4096\nBuffer Size preferred: 1024\n"
              "Buffer Size granularity: 16\n\nSample Rate: 96000.000000\nInput Channel Count: 8\n"
              "Output Channel Count: 6\nSample Type: ASIOSTFloat32LSB (4 bytes)\nPosition: ");
    clickButton(run.dialog, IDC_START);
    EXPECT_TRUE(waitForSwitches(changing, 50));
    clickButton(run.dialog, IDC_START);
    EXPECT_EQ(changing->shared->mismatches, 0);
    EXPECT_EQ(changing->shared->sentinelViolations, 0);
    EXPECT_EQ(closeProgram(&run), 2);
}

// Values of any type and content, written as installers have been seen to write them.
TEST_F(HostileTest, OddRegistryEntriesAreListedOrSkippedNeverFatal)
{
    // A working device; its own key ("Sim 00") sorts after the long key and is never reached.
    std::string good = addDevice(fastConfig())->clsid;
    DWORD number = 0x41424344;  // "DCBA" as little-endian bytes
    setAsioValue("A number clsid", "CLSID", REG_DWORD, &number, sizeof number);
    // Binary, with no terminator: the text still matches, since the type is not examined.
    setAsioValue("B binary clsid", "CLSID", REG_BINARY, good.data(), static_cast<DWORD>(good.size()));
    setAsioValue("B binary clsid", "Description", REG_SZ, "Binary CLSID", 13);
    addAsioDriverKey("C empty clsid", "", "Empty CLSID");
    addAsioDriverKey("D not a guid", "not a guid at all", "Not a GUID");
    addAsioDriverKey("E backslash", good + "\\InprocServer32", "Backslash");
    addAsioDriverKey("F path", "C:\\windows\\system32\\kernel32.dll", "Path");
    addAsioDriverKey("G number description", good, nullptr);
    setAsioValue("G number description", "Description", REG_DWORD, &number, sizeof number);
    addAsioDriverKey("H empty description", good, "");
    std::string key127 = "I" + std::string(126, 'k');
    addAsioDriverKey(key127, good, nullptr);
    // A key name that does not fit the 128-character buffer ends the scan there.
    addAsioDriverKey("J" + std::string(127, 'k'), good, "Too Long Key");
    addAsioDriverKey("K after the long key", good, "Never Seen");

    start();
    std::vector<std::string> expected = {"Binary CLSID", "DCBA", "", key127.substr(0, 76) + "..."};
    EXPECT_EQ(driverItems(run.dialog), expected);
    chooseDriverItem(run.dialog, 1);
    EXPECT_EQ(controls(), (Controls{"Start", true, true}));
    EXPECT_EQ(closeProgram(&run), 2);
}

TEST_F(HostileTest, ServersThatAreNotDriversOpenNothingAndLeaveTheDialogUsable)
{
    std::string otherBitness = buildFilePath(sizeof(void *) == 8 ? "..\\x86\\simasio.dll"
                                                                  : "..\\x64\\simasio64.dll");
    std::string notDll = buildFilePath("CMakeCache.txt");
    addAsioDriverKey("A not a COM server", addClass("C:\\windows\\system32\\kernel32.dll"), "Not COM");
    addAsioDriverKey("B other bitness", addClass(otherBitness.c_str()), "Other Bitness");
    addAsioDriverKey("C not a DLL", addClass(notDll.c_str()), "Not a DLL");
    RegisteredDevice *healthy = addDevice(fastConfig(), "Healthy");  // "Sim 00" sorts after them
    start();
    ASSERT_EQ(driverItems(run.dialog).size(), 4u);

    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        chooseDriverItem(run.dialog, i);
        EXPECT_EQ(controls(), (Controls{"Start", false, true}));
        EXPECT_EQ(controlText(run.dialog, IDC_REPORT), "Static") << "nothing was reported";
    }
    chooseDriverItem(run.dialog, 3);
    EXPECT_EQ(controls(), (Controls{"Start", true, true}));
    clickButton(run.dialog, IDC_START);
    EXPECT_TRUE(waitForSwitches(healthy, 50));
    clickButton(run.dialog, IDC_START);
    EXPECT_EQ(closeProgram(&run), 2);
}

TEST_F(HostileTest, TwoHundredDriversAreAllListedInOrder)
{
    std::string server = simDllPath();
    std::vector<std::string> expected;
    for (int i = 0; i < 200; i++) {
        char name[32];
        snprintf(name, sizeof name, "Driver %03d", i);
        addAsioDriverKey(name, addClass(server.c_str()), name);
        expected.push_back(name);
    }
    start();
    EXPECT_EQ(driverItems(run.dialog), expected);
    EXPECT_EQ(closeProgram(&run), 2);
}

}  // namespace
