// The parent's side of a worker: it starts the worker, watches its driver calls against their time
// limits while taking the records it sends, and tells how the session ended.
#include "checker/session/worker_protocol.h"

#include <stdio.h>
#include <string.h>
#include <string>

// What the parent holds of one worker.
struct WorkerProcess {
    HANDLE mapping;
    WatchRecord *watch;
    HANDLE pipeRead;
    PROCESS_INFORMATION process;
    LARGE_INTEGER created;  // the performance counter when it was created
};

// What the parent saw of it: the last state, and what the pipe brought.
struct WorkerSeen {
    LONG state;
    ULONGLONG since;
    double runSeconds;
    char call[64];
    std::string pending;  // bytes of frames not yet whole
    bool done;            // the DONE frame came
    bool hung;            // the parent ended it
    int status;           // the DONE frame's
};

static std::string arguments;

void quoteArgument(std::string *line, const char *argument)
{
    if (*argument && !strpbrk(argument, " \t\"")) {
        *line += argument;
        return;
    }
    // The quoting CommandLineToArgvW and the C runtime undo: backslashes double before a quote.
    *line += '"';
    size_t backslashes = 0;
    for (const char *c = argument; *c; c++) {
        if (*c == '\\') {
            backslashes++;
            continue;
        }
        line->append(*c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        *line += *c;
    }
    line->append(backslashes * 2, '\\');
    *line += '"';
}

void userArguments(int argc, char **argv)
{
    arguments.clear();
    for (int i = 1; i < argc; i++) {
        if (i > 1)
            arguments += ' ';
        quoteArgument(&arguments, argv[i]);
    }
}

const char *userArgumentText()
{
    return arguments.c_str();
}

// A consistent copy of the state and the call.
static void readWatch(const WatchRecord *w, WorkerSeen *seen)
{
    for (;;) {
        LONG before = w->sequence;
        seen->state = w->state;
        seen->since = w->since;
        seen->runSeconds = w->runSeconds;
        memcpy(seen->call, w->call, sizeof seen->call);
        seen->call[sizeof seen->call - 1] = '\0';
        MemoryBarrier();
        if (!(before & 1) && before == w->sequence)
            return;
        Sleep(0);
    }
}

// Takes whole frames off the front of the pending bytes: records land in their places, DONE gives
// the status.
static void takeFrames(WorkerSeen *seen)
{
    std::string *pending = &seen->pending;
    size_t at = 0;
    while (pending->size() - at >= sizeof(FrameHeader)) {
        FrameHeader header;
        memcpy(&header, pending->data() + at, sizeof header);
        if (pending->size() - at - sizeof header < header.size)
            break;
        const char *payload = pending->data() + at + sizeof header;
        const RecordSpec *record = header.kind == FRAME_RECORD ? recordAt(header.id) : nullptr;
        if (record && record->size == header.size) {
            memcpy(record->place, payload, record->size);
        } else if (header.kind == FRAME_DONE) {
            seen->done = true;
            seen->status = static_cast<int>(header.id);
            setFailureText(std::string(payload, header.size).c_str());
        }
        at += sizeof header + header.size;
    }
    pending->erase(0, at);
}

static void readPipe(HANDLE pipe, std::string *pending)
{
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0)
            return;
        char buffer[65536];
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got,
                      nullptr) || got == 0)
            return;
        pending->append(buffer, got);
    }
}

// The worker's command line: the program, the private argument, then `commandArguments`.
static std::string workerLine(const char *program, const WorkerProcess &w, HANDLE pipeWrite,
                              const char *commandArguments)
{
    std::string line;
    quoteArgument(&line, program);
    char private_[80];
    snprintf(private_, sizeof private_, " %s%llu,%llu ", WORKER_ARGUMENT,
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(w.mapping)),
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(pipeWrite)));
    line += private_;
    line += commandArguments;
    return line;
}

// The shared record, the pipe and the process. False with the system's error in the outcome.
static bool startWorker(const char *commandArguments, WorkerProcess *w, SessionOutcome *outcome)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE pipeWrite = nullptr;
    w->mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                    sizeof(WatchRecord), nullptr);
    w->watch = w->mapping ? static_cast<WatchRecord *>(MapViewOfFile(w->mapping, FILE_MAP_READ, 0, 0,
                                                                     sizeof(WatchRecord)))
                          : nullptr;
    if (!w->watch || !CreatePipe(&w->pipeRead, &pipeWrite, &inherit, 1 << 20)) {
        outcome->end = SESSION_NOT_STARTED;
        outcome->exitCode = GetLastError();
        return false;
    }
    SetHandleInformation(w->pipeRead, HANDLE_FLAG_INHERIT, 0);

    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    std::string line = workerLine(program, *w, pipeWrite, commandArguments);
    // The worker prints nothing of its own on stdout: what a driver prints there goes to stderr,
    // so that a JSON document on stdout stays whole.
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    QueryPerformanceCounter(&w->created);
    BOOL started = CreateProcessA(program, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &w->process);
    CloseHandle(pipeWrite);
    if (!started) {
        outcome->end = SESSION_NOT_STARTED;
        outcome->exitCode = GetLastError();
        return false;
    }
    return true;
}

// Whether the state seen has outlasted its limit; the limit in the outcome when it has.
static bool overLimit(const CheckerOptions &options, const WorkerSeen &seen, SessionOutcome *outcome)
{
    ULONGLONG spent = GetTickCount64() - seen.since;
    if (seen.state == WATCH_IN_CALL && spent > static_cast<ULONGLONG>(options.callTimeout * 1000)) {
        outcome->limitSeconds = options.callTimeout;
        return true;
    }
    if (seen.state == WATCH_RUNNING && spent > (seen.runSeconds + options.callTimeout) * 1000) {
        outcome->limitSeconds = seen.runSeconds + options.callTimeout;
        return true;
    }
    return false;
}

// Every 20 ms until the worker ends: its records taken, its call timed; ended when over a limit.
static void watchWorker(const CheckerOptions &options, WorkerProcess *w, WorkerSeen *seen,
                        SessionOutcome *outcome)
{
    bool heard = false;
    for (;;) {
        readPipe(w->pipeRead, &seen->pending);
        takeFrames(seen);
        bool ended = WaitForSingleObject(w->process.hProcess, 20) == WAIT_OBJECT_0;
        readWatch(w->watch, seen);
        if (!heard && seen->state != WATCH_STARTING) {
            heard = true;
            LARGE_INTEGER now, frequency;
            QueryPerformanceCounter(&now);
            QueryPerformanceFrequency(&frequency);
            outcome->workerStartMs = (now.QuadPart - w->created.QuadPart) * 1000.0 / frequency.QuadPart;
        }
        if (ended)
            break;
        if (overLimit(options, *seen, outcome)) {
            seen->hung = true;
            TerminateProcess(w->process.hProcess, 0xDEAD);
            WaitForSingleObject(w->process.hProcess, INFINITE);
            break;
        }
    }
    readPipe(w->pipeRead, &seen->pending);
    takeFrames(seen);
    readWatch(w->watch, seen);
}

// How the session ended, from what was seen and the process's exit code.
static void classifyEnd(const WorkerProcess &w, const WorkerSeen &seen, SessionOutcome *outcome)
{
    DWORD exitCode = 0;
    GetExitCodeProcess(w.process.hProcess, &exitCode);
    snprintf(outcome->call, sizeof outcome->call, "%s", seen.call);
    outcome->duringRun = seen.state == WATCH_RUNNING;
    bool crashed = seen.state == WATCH_CRASHED;
    if (seen.hung) {
        outcome->end = SESSION_HUNG;
    } else if (seen.done) {
        outcome->end = SESSION_FINISHED;
    } else if (crashed || exitCode >= 0xC0000000) {
        // Without the worker's own word (a stack overflow leaves it no room), the exit code tells.
        outcome->end = SESSION_CRASHED;
        outcome->exceptionCode = crashed ? w.watch->exceptionCode : exitCode;
        snprintf(outcome->module, sizeof outcome->module, "%s", crashed ? w.watch->module : "");
        outcome->offset = w.watch->offset;
        outcome->onOtherThread = crashed && w.watch->otherThread;
    } else {
        outcome->end = SESSION_EXITED;
        outcome->exitCode = exitCode;
    }
}

static void closeWorker(WorkerProcess *w)
{
    if (w->process.hProcess)
        CloseHandle(w->process.hProcess);
    if (w->process.hThread)
        CloseHandle(w->process.hThread);
    if (w->pipeRead)
        CloseHandle(w->pipeRead);
    if (w->watch)
        UnmapViewOfFile(w->watch);
    if (w->mapping)
        CloseHandle(w->mapping);
}

static int runInWorker(const CheckerOptions &options, const char *commandArguments,
                       SessionOutcome *outcome)
{
    WorkerProcess w = {};
    WorkerSeen seen = {};
    seen.status = EXIT_CRASHED;
    if (startWorker(commandArguments, &w, outcome)) {
        watchWorker(options, &w, &seen, outcome);
        classifyEnd(w, seen, outcome);
    }
    closeWorker(&w);
    describeOutcome(outcome);
    if (outcome->end == SESSION_NOT_STARTED)
        return fail(EXIT_DRIVER, "%s", outcome->text);
    if (outcome->end != SESSION_FINISHED)
        return fail(EXIT_CRASHED, "%s", outcome->text);
    return seen.status;
}

int runDriverSession(const CheckerOptions &options, int (*session)(const CheckerOptions &),
                     const char *commandArguments, SessionOutcome *outcome)
{
    memset(outcome, 0, sizeof *outcome);
    outcome->end = SESSION_FINISHED;
    outcome->inProcess = options.inProcess;
    if (options.inProcess)
        return session(options);
    return runInWorker(options, commandArguments, outcome);
}
