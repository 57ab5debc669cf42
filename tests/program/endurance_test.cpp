// Long runs under verification: many Start/Stop cycles and driver changes while running, with the
// device checking every buffer, the program's count checked against the device's, and the
// program's handles and private memory watched for growth.
//
// QUORVEL_ENDURANCE=long runs the full lengths (1,000 cycles, 200 driver changes); the default is
// shorter so that the whole test suite stays quick.
#include "res/resource.h"
#include "tests/support/sim_fixture.h"

#include <gtest/gtest.h>
#include <winternl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

bool longRun()
{
    const char *setting = getenv("QUORVEL_ENDURANCE");
    return setting && strcmp(setting, "long") == 0;
}

struct Usage {
    DWORD handles;
    SIZE_T privateBytes;
};

// One entry of the system's process list, as far as it is read here.
struct ProcessEntry {
    ULONG nextEntryOffset;
    ULONG numberOfThreads;
    BYTE times[48];
    UNICODE_STRING imageName;
    LONG basePriority;
    HANDLE uniqueProcessId;
    HANDLE inheritedFromProcessId;
    ULONG handleCount;
    ULONG sessionId;
    ULONG_PTR uniqueProcessKey;
    SIZE_T peakVirtualSize;
    SIZE_T virtualSize;
    ULONG pageFaultCount;
    SIZE_T peakWorkingSetSize;
    SIZE_T workingSetSize;
    SIZE_T quotaPeakPagedPoolUsage;
    SIZE_T quotaPagedPoolUsage;
    SIZE_T quotaPeakNonPagedPoolUsage;
    SIZE_T quotaNonPagedPoolUsage;
    SIZE_T pagefileUsage;  // private bytes
    SIZE_T peakPagefileUsage;
    SIZE_T privatePageCount;
};

// From the system's process list: under Wine the per-process queries give nothing for another
// process, while the list carries its handle count and memory counters.
Usage usageOf(HANDLE process)
{
    Usage usage = {0, 0};
    typedef LONG(WINAPI * QueryFunction)(int, void *, ULONG, ULONG *);
    QueryFunction query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    if (!query || query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0)
        return usage;
    DWORD id = GetProcessId(process);
    for (BYTE *at = buffer.data();;) {
        ProcessEntry *info = reinterpret_cast<ProcessEntry *>(at);
        if (HandleToUlong(info->uniqueProcessId) == id) {
            usage.handles = info->handleCount;
            usage.privateBytes = info->pagefileUsage;
            break;
        }
        if (!info->nextEntryOffset)
            break;
        at += info->nextEntryOffset;
    }
    return usage;
}

class EnduranceTest : public SimProgramTest {
protected:
    // The count the program holds now: a refresh tick, asked for, writes it into the report.
    long programCount()
    {
        SendMessageTimeoutA(run.dialog, WM_TIMER, ID_REFRESH_TIMER_FOR_TEST, 0, SMTO_NORMAL, 60000,
                            nullptr);
        return reportedPosition(run.dialog);
    }
    // Handles and memory may settle during the first hundred rounds, then must stay flat.
    void expectFlat(const char *what, const Usage &early, const Usage &late, int rounds)
    {
        printf("%s: handles %lu after 100, %lu after %d; private memory %lu KiB after 100, "
               "%lu KiB after %d\n",
               what, static_cast<unsigned long>(early.handles), static_cast<unsigned long>(late.handles),
               rounds, static_cast<unsigned long>(early.privateBytes / 1024),
               static_cast<unsigned long>(late.privateBytes / 1024), rounds);
        EXPECT_GT(early.handles, 0u) << "no figures to compare";
        EXPECT_GT(early.privateBytes, 0u) << "no figures to compare";
        EXPECT_LE(late.handles, early.handles + 4);
        EXPECT_LE(late.privateBytes, early.privateBytes + 1024 * 1024);
    }
    static const WPARAM ID_REFRESH_TIMER_FOR_TEST = 1;
};

TEST_F(EnduranceTest, StartStopCyclesLoseNoSwitchAndLeakNothing)
{
    const int cycles = longRun() ? 1000 : 250;
    SimConfig config = fastConfig();
    config.periodUs = 1000;
    RegisteredDevice *device = addDevice(config);
    start();
    chooseDriverItem(run.dialog, 0);

    Usage early = {};
    int countDifferences = 0, shownTooHigh = 0;
    for (int cycle = 1; cycle <= cycles; cycle++) {
        clickButton(run.dialog, IDC_START);
        ASSERT_TRUE(waitForSwitches(device, 3)) << "cycle " << cycle;
        // Every tenth run lasts long enough for refresh ticks of its own; what they showed must
        // not be more than the device made.
        bool ticked = cycle % 10 == 0;
        if (ticked)
            Sleep(600);
        clickButton(run.dialog, IDC_START);
        long shown = reportedPosition(run.dialog);
        LONG made = device->shared->runSwitches;
        shownTooHigh += ticked && shown > made;
        countDifferences += programCount() != made;
        if (cycle == 100)
            early = usageOf(run.process.hProcess);
    }
    Usage late = usageOf(run.process.hProcess);

    printf("%d cycles: %ld switches verified by the device\n", cycles,
           static_cast<long>(device->shared->totalSwitches));
    EXPECT_EQ(countDifferences, 0) << "the program's count differed from the device's";
    EXPECT_EQ(shownTooHigh, 0) << "the dialog showed more switches than were made";
    EXPECT_EQ(device->shared->mismatches, 0);
    EXPECT_EQ(device->shared->sentinelViolations, 0);
    EXPECT_EQ(device->shared->guardViolations, 0);
    EXPECT_EQ(device->shared->starts, cycles);
    expectFlat("Start/Stop", early, late, cycles);
    EXPECT_EQ(closeProgram(&run), 2);
    EXPECT_EQ(device->shared->instancesAlive, 0);
}

TEST_F(EnduranceTest, DriverChangesWhileRunningLoseNoSwitchAndLeakNothing)
{
    const int changes = longRun() ? 200 : 120;
    SimConfig config = fastConfig();
    config.periodUs = 1000;
    RegisteredDevice *pair[2] = {addDevice(config), nullptr};
    config.inputs = 4;
    config.outputs = 3;
    pair[1] = addDevice(config);
    start();
    chooseDriverItem(run.dialog, 0);
    clickButton(run.dialog, IDC_START);

    Usage early = {};
    int countDifferences = 0;
    for (int change = 1; change <= changes; change++) {
        RegisteredDevice *running = pair[(change - 1) % 2];
        ASSERT_TRUE(waitForSwitches(running, 3)) << "change " << change;
        chooseDriverItem(run.dialog, change % 2);  // stops the run and loads the other driver
        ASSERT_EQ(running->shared->threadsRunning, 0);
        countDifferences += programCount() != running->shared->runSwitches;
        clickButton(run.dialog, IDC_START);
        if (change == 100)
            early = usageOf(run.process.hProcess);
    }
    clickButton(run.dialog, IDC_START);
    Usage late = usageOf(run.process.hProcess);

    EXPECT_EQ(countDifferences, 0);
    for (RegisteredDevice *device : pair) {
        printf("%s: %ld switches verified in %ld runs\n", device->name.c_str(),
               static_cast<long>(device->shared->totalSwitches), static_cast<long>(device->shared->starts));
        EXPECT_EQ(device->shared->mismatches, 0);
        EXPECT_EQ(device->shared->sentinelViolations, 0);
        EXPECT_EQ(device->shared->guardViolations, 0);
        EXPECT_EQ(device->shared->instancesCreated, changes / 2 + (device == pair[0] ? 1 : 0));
    }
    expectFlat("Driver changes", early, late, changes);
    EXPECT_EQ(closeProgram(&run), 2);
    EXPECT_EQ(pair[0]->shared->instancesAlive + pair[1]->shared->instancesAlive, 0);
}

}  // namespace
