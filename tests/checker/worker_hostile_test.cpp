// What a driver can still do to the checker through its worker, outside the calls it is asked:
// write over the worker's memory, hold the thread after Release, crash or end the process on its
// own thread while streaming, leave the rate changed, write on the standard handles; and the
// checker ended or interrupted while a driver holds the worker, or started from a folder whose
// name the ANSI code page cannot hold.
#include "checker/commands/commands.h"
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>
#include <stddef.h>
#include <stdio.h>
#include <string>

namespace {

class WorkerHostileTest : public SimProgramTest {
protected:
    JsonValue runJson(const std::string &arguments, int *code)
    {
        CheckerRun run = runChecker(arguments + " --json");
        *code = run.exitCode;
        err = run.err;
        JsonValue document;
        EXPECT_TRUE(parseJson(run.out, &document)) << arguments << ": not one JSON document:\n"
                                                   << run.out << run.err;
        EXPECT_EQ(document["exit_code"].whole(), run.exitCode) << arguments;
        return document;
    }
    static long lastRateSet(const RegisteredDevice *device)
    {
        std::vector<SimCall> set = calls(device, SIM_SET_SAMPLE_RATE);
        return set.empty() ? -1 : set.back().a;
    }
    std::string err;
};

// The checker started with its standard output and error in files, not waited for.
struct Started {
    PROCESS_INFORMATION process = {};
    std::string outPath, errPath;
};

HANDLE inheritableFile(const std::string &path)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, 0, nullptr);
}

bool startChecker(const std::string &arguments, DWORD flags, Started *started)
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    static int serial = 0;
    std::string stem = std::string(folder) + "quorvel-hostile-" + std::to_string(GetCurrentProcessId()) +
                       "-" + std::to_string(++serial);
    started->outPath = stem + ".out";
    started->errPath = stem + ".err";
    HANDLE out = inheritableFile(started->outPath), err = inheritableFile(started->errPath);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::string line = "\"" + checkerPath() + "\" " + arguments;
    BOOL ok = CreateProcessA(checkerPath().c_str(), &line[0], nullptr, nullptr, TRUE, flags, nullptr,
                             nullptr, &startup, &started->process);
    CloseHandle(out);
    CloseHandle(err);
    return ok != FALSE;
}

std::string fileText(const std::string &path)
{
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    char buffer[4096];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got)
        text.append(buffer, got);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return text;
}

// The process the checker started as its worker: the child of `parent`; 0 when there is none.
DWORD childOf(DWORD parent)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    DWORD child = 0;
    for (BOOL more = Process32First(snapshot, &entry); more && !child;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && entry.th32ProcessID != parent)
            child = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    return child;
}

TEST_F(WorkerHostileTest, ADriverThatWritesOverTheWorkersRecordIsReportedAndTheRecordNeverUsed)
{
    // getChannelInfo of output 1 writes 100000 where the worker keeps the count of inputs listed:
    // a write before the record it was handed, as a driver with a wrong structure size makes.
    SimConfig scribbling = fastConfig();
    scribbling.scribbleAt = static_cast<int32_t>(offsetof(InfoResults, listedInputs)) -
                            static_cast<int32_t>(offsetof(InfoResults, outputs[1]));
    scribbling.scribbleValue = 100000;
    addDevice(scribbling);

    int code = 0;
    JsonValue info = runJson("info 0", &code);
    EXPECT_EQ(code, 4);
    const JsonValue &failure = info["failure"];
    EXPECT_EQ(failure["kind"].text, "corruption");
    EXPECT_EQ(failure["record"].text, "info");
    EXPECT_EQ(failure["field"].text, "listedInputs");
    EXPECT_TRUE(contains(err, "the driver corrupted the worker's memory: its info record came with "
                              "listedInputs out of range")) << err;
    EXPECT_LE(info["inputs"].size(), 2u) << "the record refused was not used";
    EXPECT_EQ(info["driver"]["driver_name"].text, "Quorvel Sim") << "what came before it was";
}

TEST_F(WorkerHostileTest, TheDriverHoldingTheThreadAfterReleaseMeetsTheCallLimit)
{
    SimConfig subclassing = fastConfig();
    subclassing.subclassReference = 1;
    addDevice(subclassing);

    DWORD started = GetTickCount();
    int code = 0;
    JsonValue info = runJson("info 0 --call-timeout 1", &code);
    EXPECT_LT(GetTickCount() - started, 15000u) << "no longer unbounded";
    EXPECT_EQ(code, 4);
    EXPECT_EQ(info["failure"]["kind"].text, "hang");
    EXPECT_EQ(info["failure"]["last_call"].text, "Release()");
    EXPECT_TRUE(contains(err, "the driver held the checker's thread for 1 s after Release() "
                              "returned")) << err;
    EXPECT_EQ(info["inputs"].size(), 2u) << "everything measured before is shown";
    EXPECT_GE(info["clock_sources"].size(), 1u);
}

TEST_F(WorkerHostileTest, ACrashOrExitOnTheDriversThreadIsDuringTheRunWithTheTimingUpToIt)
{
    SimConfig crashing = fastConfig();
    crashing.threadFault = 1;
    crashing.threadFaultAt = 101;  // after 100 callbacks, 0.2 s in at 2 ms a period
    RegisteredDevice *crasher = addDevice(crashing);
    SimConfig exiting = crashing;
    exiting.threadFault = 3;
    RegisteredDevice *exiter = addDevice(exiting);

    int code = 0;
    JsonValue crashed = runJson("run 0 --seconds 5", &code);
    EXPECT_EQ(code, 4);
    const JsonValue &failure = crashed["failure"];
    EXPECT_EQ(failure["kind"].text, "crash");
    EXPECT_TRUE(failure["during_run"].flag);
    EXPECT_TRUE(failure["driver_thread"].flag);
    EXPECT_TRUE(failure["call"].isNull());
    // The device's own count of the callbacks it made, against what the checker judged.
    long made = crasher->shared->hostSwitches;
    EXPECT_EQ(made, 100);
    EXPECT_EQ(crashed["stage"].text, "measured");
    EXPECT_EQ(crashed["switches"].whole() + crashed["switches_before_start"].whole(), made);
    EXPECT_EQ(failure["switches"].whole(), made);
    EXPECT_GT(failure["run_seconds"].number, 0.1);
    EXPECT_LT(failure["run_seconds"].number, 3);
    EXPECT_TRUE(contains(err, "the driver crashed on a thread of its own ")) << err;
    char exception[24];
    snprintf(exception, sizeof exception, "0x%08lX", badWriteExceptionCode());
    EXPECT_TRUE(contains(err, std::string(" s into the run, after 100 switches: exception ") +
                              exception))
        << err;
    EXPECT_EQ(crasher->shared->opCounts[SIM_STOP], 0) << "the driver's stop is not called";

    JsonValue exited = runJson("run 1 --seconds 5", &code);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(exited["failure"]["kind"].text, "exit");
    EXPECT_TRUE(exited["failure"]["during_run"].flag);
    EXPECT_EQ(exited["failure"]["process_exit_code"].whole(), 77);
    EXPECT_LE(exited["failure"]["switches"].whole(), exiter->shared->hostSwitches);
    EXPECT_TRUE(contains(err, "s into the run, after ")) << err;
}

// The conformance suite's streams, its second host's visit and the sweep's settings end through the
// same crashed run: the crash is told as a crash, with the switch it came after, and charged to
// the check (or setting) it came in; what comes after is not run.
TEST_F(WorkerHostileTest, ACrashOnTheDriversThreadStaysACrashInConformItsClientsPhaseAndTheSweep)
{
    SimConfig crashing = fastConfig();
    crashing.threadFault = 1;
    crashing.threadFaultAt = 60;  // of every run: 0.12 s into it
    crashing.cableOut = 0;
    crashing.cableIn = 1;
    addDevice(crashing);
    struct Case {
        const char *only, *charged;
    } cases[] = {{"stream", "stream.window"}, {"clients", "clients.first_kept"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.only);
        int code = 0;
        JsonValue document = runJson(std::string("conform 0 --call-timeout 2 --only ") + c.only, &code);
        EXPECT_EQ(code, 4);
        const JsonValue &failure = document["failure"];
        EXPECT_EQ(failure["kind"].text, "crash");
        EXPECT_TRUE(failure["driver_thread"].flag);
        EXPECT_EQ(failure["switches"].whole(), 59);
        for (size_t i = 0; i < document["checks"].size(); i++) {
            const JsonValue &check = document["checks"][i];
            if (check["phase"].text != c.only)
                continue;
            bool charged = check["id"].text == c.charged;
            EXPECT_EQ(check["verdict"].text, charged ? "FAIL" : "not run") << check["id"].text;
            if (charged) {
                EXPECT_TRUE(contains(check["evidence"].text, "the driver crashed on a thread of its own "))
                    << check["evidence"].text;
                EXPECT_TRUE(contains(check["evidence"].text, "after 59 switches")) << check["evidence"].text;
            }
        }
    }

    int code = 0;
    JsonValue sweep = runJson("latency 0 --out 0 --in 1 --sweep --call-timeout 2", &code);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(sweep["failure"]["kind"].text, "crash");
    ASSERT_EQ(sweep["settings"].size(), 1u) << "no setting after the one the crash came in";
    EXPECT_TRUE(contains(sweep["settings"][0]["error"].text, "the session ended in this setting: the "
                                                             "driver crashed on a thread of its own"))
        << sweep["settings"][0]["error"].text;
}

TEST_F(WorkerHostileTest, ARateChangedBeforeACrashHangOrExitIsSetBackInANewProcess)
{
    SimConfig crashing = fastConfig();
    strcpy(crashing.sampleRates, "48000,96000");
    crashing.threadFault = 1;
    crashing.threadFaultAt = 20;
    RegisteredDevice *crasher = addDevice(crashing);
    SimConfig hanging = fastConfig();
    strcpy(hanging.sampleRates, "48000,96000");
    strcpy(hanging.faultCall, "stop");
    hanging.faultKind = 2;
    RegisteredDevice *hanger = addDevice(hanging);
    SimConfig unusable = fastConfig();
    strcpy(unusable.sampleRate, "0");
    strcpy(unusable.sampleRates, "48000");
    RegisteredDevice *zero = addDevice(unusable);

    int code = 0;
    JsonValue crashed = runJson("run 0 --rate 96000 --seconds 2", &code);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(lastRateSet(crasher), 48000);
    EXPECT_TRUE(crashed["rate_restored"]["set_back"].flag);
    EXPECT_EQ(crashed["rate_restored"]["rate"].number, 48000);
    EXPECT_TRUE(contains(err, "the sample rate was set back to 48000 Hz in a new process")) << err;
    EXPECT_EQ(crasher->shared->instancesCreated, 2) << "a second object, in a new process";

    JsonValue hung = runJson("run 1 --rate 96000 --seconds 0.3 --call-timeout 1", &code);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(hung["failure"]["kind"].text, "hang");
    EXPECT_EQ(lastRateSet(hanger), 48000);
    EXPECT_TRUE(hung["rate_restored"]["set_back"].flag);

    // A rate the driver reported as 0 is what it is set back to, not skipped.
    JsonValue fine = runJson("run 2 --rate 48000 --seconds 0.3", &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(lastRateSet(zero), 0);
    EXPECT_TRUE(fine["rate_restored"].isNull()) << "the worker set it back itself";
}

TEST_F(WorkerHostileTest, WhatTheDriverWritesOnTheStandardHandlesIsShownApart)
{
    SimConfig printing = fastConfig();
    printing.printLines = 1;
    addDevice(printing);
    int code = 0;
    const JsonValue run = runJson("run 0 --seconds 0.3", &code);
    ASSERT_EQ(code, 0);
    const JsonValue &lines = run["driver_output"]["lines"];
    ASSERT_EQ(lines.size(), 4u) << "init and the first switch, each on both handles";
    EXPECT_EQ(lines[0].text, "Quorvel Sim: init, on standard output");
    EXPECT_EQ(lines[3].text, "Quorvel Sim: first buffer switch, on standard error");
    EXPECT_EQ(run["driver_output"]["not_kept"].whole(), 0);
    EXPECT_FALSE(contains(err, "Quorvel Sim")) << err;

    CheckerRun text = runChecker("run 0 --seconds 0.3");
    EXPECT_TRUE(contains(text.out, "The driver wrote 4 lines to its standard handles:\n"
                                   "  | Quorvel Sim: init, on standard output\n")) << text.out;
    EXPECT_FALSE(contains(text.err, "Quorvel Sim")) << text.err;
}

TEST_F(WorkerHostileTest, TheWorkerEndsWithTheCheckerWhileADriverHoldsIt)
{
    SimConfig hanging = fastConfig();
    strcpy(hanging.faultCall, "getChannels");
    hanging.faultKind = 2;
    RegisteredDevice *device = addDevice(hanging);

    Started checker;
    ASSERT_TRUE(startChecker("info 0 --call-timeout 60", 0, &checker));
    DWORD deadline = GetTickCount() + 20000;
    while (device->shared->opCounts[SIM_GET_CHANNELS] == 0 && GetTickCount() < deadline)
        Sleep(20);
    DWORD workerId = childOf(checker.process.dwProcessId);
    ASSERT_NE(workerId, 0u);
    HANDLE worker = OpenProcess(SYNCHRONIZE, FALSE, workerId);
    ASSERT_NE(worker, nullptr);

    TerminateProcess(checker.process.hProcess, 9);
    EXPECT_EQ(WaitForSingleObject(worker, 5000), WAIT_OBJECT_0) << "the worker outlived the checker";
    CloseHandle(worker);
    CloseHandle(checker.process.hProcess);
    CloseHandle(checker.process.hThread);
}

TEST_F(WorkerHostileTest, CtrlBreakEndsTheWorkerShowsWhatWasMeasuredAndExitsFive)
{
    SimConfig rates = fastConfig();
    strcpy(rates.sampleRates, "48000,96000");
    RegisteredDevice *device = addDevice(rates);

    // The checker shares the test's console, in a process group of its own that the event is
    // sent to. Wine delivers no console event a program sends (it answers ERROR_INVALID_ACCESS
    // for the console a test inherits; it does turn a terminal's Ctrl+C into CTRL_C_EVENT): there
    // the checker's own interrupt event is set, which asks the worker exactly what Ctrl+Break does.
    Started checker;
    ASSERT_TRUE(startChecker("run 0 --rate 96000 --seconds 30 --json", CREATE_NEW_PROCESS_GROUP,
                             &checker));
    ASSERT_TRUE(waitForSwitches(device, 100));
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, checker.process.dwProcessId)) {
        EXPECT_TRUE(interruptChecker(checker.process.dwProcessId));
    }
    ASSERT_EQ(WaitForSingleObject(checker.process.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(checker.process.hProcess, &code);
    EXPECT_EQ(code, 5u);
    JsonValue document;
    ASSERT_TRUE(parseJson(fileText(checker.outPath), &document)) << fileText(checker.outPath);
    EXPECT_EQ(document["exit_code"].whole(), 5);
    EXPECT_EQ(document["failure"]["kind"].text, "interrupted");
    EXPECT_TRUE(document["failure"]["during_run"].flag);
    EXPECT_EQ(document["stage"].text, "stopped") << "the run ended, and its worker closed the driver";
    EXPECT_GE(document["switches"].whole(), 100);
    EXPECT_EQ(lastRateSet(device), 48000);
    CloseHandle(checker.process.hProcess);
    CloseHandle(checker.process.hThread);
}

// After the interrupt the worker closes the driver as after any run: a driver that then hangs in
// stop is a hang, told as coming after the interrupt, not an interruption.
TEST_F(WorkerHostileTest, ADriverThatHangsWhileClosingAfterAnInterruptIsAHang)
{
    SimConfig hanging = fastConfig();
    strcpy(hanging.faultCall, "stop");
    hanging.faultKind = 2;
    RegisteredDevice *device = addDevice(hanging);
    CheckerRun run = runCheckerInterrupted("run 0 --seconds 30 --call-timeout 1 --json", [device] {
        return device->shared->runSwitches >= 100;
    });
    EXPECT_EQ(run.exitCode, 4) << run.err;
    JsonValue document;
    ASSERT_TRUE(parseJson(run.out, &document)) << run.out;
    const JsonValue &failure = document["failure"];
    EXPECT_EQ(failure["kind"].text, "hang");
    EXPECT_EQ(failure["call"].text, "stop()");
    EXPECT_TRUE(failure["interrupted_before"].flag);
    EXPECT_TRUE(contains(run.err, "after the interrupt, the driver did not return from stop() within 1 s"))
        << run.err;
    EXPECT_EQ(document["stage"].text, "measured") << "the run was judged before the stop";
}

TEST_F(WorkerHostileTest, TheCheckerRunsFromAFolderWithALongNameOutsideTheAnsiCodePage)
{
    addDevice(fastConfig());
    // A folder with a long name of Cyrillic and Greek letters. (Wine starts no program from a
    // path longer than MAX_PATH, error 123, so the checker's own long-path handling cannot be
    // shown here.)
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"\x041A\x0432\x043E\x0440\x03A9-" +
                          std::to_wstring(GetCurrentProcessId()) + L"-" + std::wstring(100, L'\x0436');
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    std::string source = checkerPath();
    std::wstring sourceWide(source.begin(), source.end());
    std::wstring program = folder + L"\\quorvelcheck-copy.exe";
    ASSERT_TRUE(CopyFileW(sourceWide.c_str(), program.c_str(), FALSE)) << GetLastError();

    std::wstring line = L"\"" + program + L"\" info 0 --json";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, &inherit, 1 << 20));
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &process)) << GetLastError();
    CloseHandle(write);
    std::string output;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got)
        output.append(buffer, got);
    CloseHandle(read);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u) << output;
    EXPECT_TRUE(contains(output, "\"driver_name\": \"Quorvel Sim\"")) << output;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    DeleteFileW(program.c_str());
}

}  // namespace
