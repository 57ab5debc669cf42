#include "tests/checker/checker_process.h"

#include "tests/support/json_reader.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <stdio.h>
#include <thread>

// Generous: the 32-bit program runs under emulation on some build machines.
static const DWORD RUN_TIMEOUT_MS = 180000;

// Reads to the end; line ends come back as "\n" (the program writes text streams, "\r\n").
static void drain(HANDLE pipe, std::string *into)
{
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
        into->append(buffer, got);
    size_t kept = 0;
    for (size_t i = 0; i < into->size(); i++) {
        if (!((*into)[i] == '\r' && i + 1 < into->size() && (*into)[i + 1] == '\n'))
            (*into)[kept++] = (*into)[i];
    }
    into->resize(kept);
}

bool interruptChecker(DWORD processId)
{
    char name[64];
    snprintf(name, sizeof name, "Local\\quorvelcheck-interrupt-%lu", processId);
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (!event)
        return false;
    BOOL set = SetEvent(event);
    CloseHandle(event);
    return set != FALSE;
}

CheckerRun runCheckerInterrupted(const std::string &arguments, const std::function<bool()> &ready)
{
    CheckerRun run = {-1, "", ""};
    std::string path = checkerPath();
    std::string commandLine = "\"" + path + "\" " + arguments;

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0))
        return run;
    if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return run;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        // Both streams at once: a full pipe on either would stall the program.
        std::thread errReader(drain, errRead, &run.err);
        std::thread outReader(drain, outRead, &run.out);
        DWORD began = GetTickCount();
        bool interrupted = !ready;
        while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT &&
               GetTickCount() - began < RUN_TIMEOUT_MS) {
            // The event exists once the checker has started its first worker.
            if (!interrupted && ready())
                interrupted = interruptChecker(process.dwProcessId);
        }
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            run.exitCode = static_cast<int>(code);
        } else {
            TerminateProcess(process.hProcess, 99);
        }
        outReader.join();
        errReader.join();
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

// Seen a few times on loaded build machines, cause not found: a run that ends within seconds with
// status -1 and not a byte written, before the program said anything. The checker never ends so
// (its statuses are 0 to 6 and a crash's code, and it always writes why), so such a run is
// started once more instead of failing the test on Wine's account; a hang is not retried.
CheckerRun runChecker(const std::string &arguments)
{
    DWORD began = GetTickCount();
    CheckerRun run = runCheckerInterrupted(arguments, nullptr);
    if (run.exitCode == -1 && run.out.empty() && run.err.empty() && GetTickCount() - began < 10000) {
        fprintf(stderr, "(the checker ended with -1 and no output; started once more)\n");
        run = runCheckerInterrupted(arguments, nullptr);
    }
    return run;
}

JsonValue runCheckerJson(const std::string &arguments, int *code, std::string *err)
{
    CheckerRun run = runChecker(arguments + " --json");
    *code = run.exitCode;
    *err = run.err;
    JsonValue document;
    EXPECT_TRUE(parseJson(run.out, &document)) << arguments << "\n" << run.out << run.err;
    return document;
}
