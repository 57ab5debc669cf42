#include "checker/worker.h"

#include "checker/conform.h"
#include "checker/json_writer.h"
#include "checker/output.h"
#include "checker/results.h"
#include "drivers/driver_loading.h"

#include <windows.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

// ---- The record both processes see

enum WatchState {
    WATCH_STARTING,  // the worker has not said anything yet
    WATCH_IDLE,      // the checker's own code
    WATCH_IN_CALL,   // inside a driver call
    WATCH_RUNNING,   // between start and stop, outside any call
    WATCH_CRASHED,
};

// Written by the worker, read by the parent. The worker makes `sequence` odd while it writes the
// state and the call; the parent reads them again until it sees the same even sequence around them.
struct WatchRecord {
    volatile LONG sequence;
    volatile LONG state;
    volatile ULONGLONG since;    // GetTickCount64 at the start of the call or run
    volatile double runSeconds;  // WATCH_RUNNING: the run's length
    char call[64];
    // WATCH_CRASHED; written once, read after the worker ended.
    DWORD exceptionCode;
    ULONGLONG offset;
    char module[64];
    LONG otherThread;
};

static const char WORKER_ARGUMENT[] = "--quorvel-worker=";

// Frames on the pipe: a header, then `size` bytes.
enum FrameKind { FRAME_RECORD = 1, FRAME_DONE = 2 };
struct FrameHeader {
    DWORD kind;
    DWORD id;    // the record, or the session's exit status
    DWORD size;
};

static WatchRecord *watch;     // the worker's view
static HANDLE recordPipe;      // the worker's end
static DWORD sessionThread;
static bool running;
static ULONGLONG runSince;
static std::string arguments;

// ---- Records

void *recordPlace(RecordId id, size_t *size)
{
    switch (id) {
    case RECORD_DRIVER_INFO: *size = sizeof openedDriver; return &openedDriver;
    case RECORD_CALL_NOTES: *size = sizeof callNotes; return &callNotes;
    case RECORD_INFO: *size = sizeof infoResults; return &infoResults;
    case RECORD_RUN: *size = sizeof runResults; return &runResults;
    case RECORD_LATENCY: *size = sizeof latencyResults; return &latencyResults;
    case RECORD_CONFORM: *size = sizeof conformResults; return &conformResults;
    case RECORD_SWEEP: *size = sizeof sweepResults; return &sweepResults;
    case RECORD_INTEGRITY: *size = sizeof integrityResults; return &integrityResults;
    case RECORD_COUNT: break;
    }
    *size = 0;
    return nullptr;
}

static bool writeAll(HANDLE pipe, const void *data, DWORD size)
{
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(pipe, at, size, &written, nullptr) || written == 0)
            return false;
        at += written;
        size -= written;
    }
    return true;
}

static void sendFrame(DWORD kind, DWORD id, const void *data, DWORD size)
{
    if (!recordPipe)
        return;
    FrameHeader header = {kind, id, size};
    if (writeAll(recordPipe, &header, sizeof header))
        writeAll(recordPipe, data, size);
}

void publishRecord(RecordId id)
{
    size_t size = 0;
    void *place = recordPlace(id, &size);
    if (place)
        sendFrame(FRAME_RECORD, id, place, static_cast<DWORD>(size));
}

// ---- The worker's side

static void writeWatch(LONG state, const char *call, ULONGLONG since)
{
    InterlockedIncrement(&watch->sequence);
    watch->state = state;
    watch->since = since;
    snprintf(watch->call, sizeof watch->call, "%s", call ? call : "");
    InterlockedIncrement(&watch->sequence);
}

static void watchCall(const char *call)
{
    // Calls on other threads (none are made) would confuse the one record: only the session's.
    if (!watch || GetCurrentThreadId() != sessionThread)
        return;
    if (call)
        writeWatch(WATCH_IN_CALL, call, GetTickCount64());
    else if (running)
        writeWatch(WATCH_RUNNING, nullptr, runSince);
    else
        writeWatch(WATCH_IDLE, nullptr, GetTickCount64());
}

void watchRun(double seconds)
{
    if (!watch)
        return;
    running = seconds > 0;
    runSince = GetTickCount64();
    watch->runSeconds = seconds;
    watchCall(nullptr);
}

static LONG WINAPI crashFilter(EXCEPTION_POINTERS *exception)
{
    const EXCEPTION_RECORD *record = exception->ExceptionRecord;
    watch->exceptionCode = record->ExceptionCode;
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(record->ExceptionAddress);
    HMODULE module = nullptr;
    char path[MAX_PATH] = "";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(address), &module) &&
        GetModuleFileNameA(module, path, sizeof path)) {
        const char *name = strrchr(path, '\\');
        snprintf(watch->module, sizeof watch->module, "%s", name ? name + 1 : path);
        watch->offset = address - reinterpret_cast<ULONG_PTR>(module);
    } else {
        watch->offset = address;
    }
    watch->otherThread = GetCurrentThreadId() != sessionThread;
    InterlockedIncrement(&watch->sequence);
    watch->state = WATCH_CRASHED;
    InterlockedIncrement(&watch->sequence);
    // No handler of anyone else's runs: the driver's state is gone.
    TerminateProcess(GetCurrentProcess(), record->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

bool isWorkerArgument(const char *argument)
{
    return argument && strncmp(argument, WORKER_ARGUMENT, sizeof WORKER_ARGUMENT - 1) == 0;
}

static int (*sessionFor(const CheckerOptions &options))(const CheckerOptions &)
{
    switch (options.command) {
    case COMMAND_INFO: return infoSession;
    case COMMAND_RUN: return runSession;
    case COMMAND_LATENCY: return options.sweep ? sweepSession : latencySession;
    case COMMAND_PROBE: return probeSession;
    case COMMAND_CONFORM: return conformSession;
    case COMMAND_INTEGRITY: return integritySession;
    case COMMAND_LIST:
    case COMMAND_REPORT:
    case COMMAND_NONE: break;
    }
    return nullptr;
}

int workerMain(int argc, char **argv)
{
    unsigned long long mapping = 0, pipe = 0;
    if (sscanf(argv[1] + sizeof WORKER_ARGUMENT - 1, "%llu,%llu", &mapping, &pipe) != 2)
        return EXIT_USAGE;
    watch = static_cast<WatchRecord *>(MapViewOfFile(reinterpret_cast<HANDLE>(mapping),
                                                     FILE_MAP_WRITE, 0, 0, sizeof(WatchRecord)));
    recordPipe = reinterpret_cast<HANDLE>(pipe);
    if (!watch)
        return EXIT_USAGE;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(crashFilter);
    sessionThread = GetCurrentThreadId();
    driverCallWatch = watchCall;
    watchCall(nullptr);

    CheckerOptions options;
    argv[1] = argv[0];
    int code = parseArguments(argc - 1, argv + 1, &options);
    int (*session)(const CheckerOptions &) = sessionFor(options);
    if (code == EXIT_FINE)
        code = session ? session(options) : EXIT_USAGE;
    const char *failure = lastFailure();
    sendFrame(FRAME_DONE, static_cast<DWORD>(code), failure, static_cast<DWORD>(strlen(failure)));
    fflush(nullptr);
    // The session has released the driver; nothing of it may run on the way out (its DLL's detach).
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}

// ---- The parent's side

static void appendQuoted(std::string *line, const char *argument)
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
        appendQuoted(&arguments, argv[i]);
    }
}

const char *userArgumentText()
{
    return arguments.c_str();
}

static const char *exceptionName(unsigned long code)
{
    switch (code) {
    case 0xC0000005: return "access violation";
    case 0xC0000094: return "integer divide by zero";
    case 0xC0000095: return "integer overflow";
    case 0xC00000FD: return "stack overflow";
    case 0xC000001D: return "illegal instruction";
    case 0xC0000096: return "privileged instruction";
    case 0xC0000006: return "in-page error";
    case 0xC000008C: return "array bounds exceeded";
    case 0xC000008E: return "floating-point divide by zero";
    case 0xC0000090: return "floating-point invalid operation";
    case 0xC0000374: return "heap corruption";
    case 0xC0000409: return "stack buffer overrun";
    case 0xC0000025: return "noncontinuable exception";
    case 0x80000003: return "breakpoint";
    case 0xE06D7363: return "C++ exception";
    }
    return "unknown exception";
}

// Where the worker was: "in createBuffers()", "during the run", "outside any driver call".
static void placeText(const SessionOutcome &o, char *out, size_t size)
{
    if (o.call[0])
        snprintf(out, size, "in %s", o.call);
    else if (o.duringRun)
        snprintf(out, size, "during the run, outside any call");
    else
        snprintf(out, size, "outside any driver call");
}

static void describe(SessionOutcome *o)
{
    char place[96];
    placeText(*o, place, sizeof place);
    switch (o->end) {
    case SESSION_CRASHED: {
        char where[128] = "";
        if (o->module[0])
            snprintf(where, sizeof where, " at %s+0x%llX", o->module, o->offset);
        snprintf(o->text, sizeof o->text, "the driver crashed %s%s: exception 0x%08lX (%s)%s", place,
                 o->onOtherThread ? " (on a thread of its own)" : "", o->exceptionCode,
                 exceptionName(o->exceptionCode), where);
        break;
    }
    case SESSION_HUNG:
        if (o->call[0]) {
            snprintf(o->text, sizeof o->text, "the driver did not return from %s within %g s",
                     o->call, o->limitSeconds);
        } else {
            snprintf(o->text, sizeof o->text, "the run did not end within %g s: the driver held "
                     "the checker's thread", o->limitSeconds);
        }
        break;
    case SESSION_EXITED:
        snprintf(o->text, sizeof o->text, "the driver ended the process %s: exit code %lu", place,
                 o->exitCode);
        break;
    case SESSION_NOT_STARTED:
        snprintf(o->text, sizeof o->text, "the worker process could not be started (error %lu); "
                 "--in-process runs without it", o->exitCode);
        break;
    case SESSION_FINISHED:
        o->text[0] = '\0';
        break;
    }
}

// A consistent copy of the state and the call.
static void readWatch(const WatchRecord *w, LONG *state, ULONGLONG *since, double *runSeconds,
                      char (&call)[64])
{
    for (;;) {
        LONG before = w->sequence;
        *state = w->state;
        *since = w->since;
        *runSeconds = w->runSeconds;
        memcpy(call, w->call, sizeof call);
        call[sizeof call - 1] = '\0';
        MemoryBarrier();
        if (!(before & 1) && before == w->sequence)
            return;
        Sleep(0);
    }
}

// Takes whole frames off the front of `pending`: records land in their places, DONE gives the status.
static void takeFrames(std::string *pending, bool *done, int *status)
{
    size_t at = 0;
    while (pending->size() - at >= sizeof(FrameHeader)) {
        FrameHeader header;
        memcpy(&header, pending->data() + at, sizeof header);
        if (pending->size() - at - sizeof header < header.size)
            break;
        const char *payload = pending->data() + at + sizeof header;
        if (header.kind == FRAME_RECORD && header.id < RECORD_COUNT) {
            size_t size = 0;
            void *place = recordPlace(static_cast<RecordId>(header.id), &size);
            if (place && size == header.size)
                memcpy(place, payload, size);
        } else if (header.kind == FRAME_DONE) {
            *done = true;
            *status = static_cast<int>(header.id);
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

static int runInWorker(const CheckerOptions &options, const char *commandArguments,
                       SessionOutcome *outcome)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                        sizeof(WatchRecord), nullptr);
    HANDLE pipeRead = nullptr, pipeWrite = nullptr;
    WatchRecord *w = mapping ? static_cast<WatchRecord *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0,
                                                                         sizeof(WatchRecord)))
                             : nullptr;
    if (!w || !CreatePipe(&pipeRead, &pipeWrite, &inherit, 1 << 20)) {
        outcome->end = SESSION_NOT_STARTED;
        outcome->exitCode = GetLastError();
        describe(outcome);
        if (w)
            UnmapViewOfFile(w);
        if (mapping)
            CloseHandle(mapping);
        return fail(EXIT_DRIVER, "%s", outcome->text);
    }
    SetHandleInformation(pipeRead, HANDLE_FLAG_INHERIT, 0);

    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    std::string line;
    appendQuoted(&line, program);
    char private_[80];
    snprintf(private_, sizeof private_, " %s%llu,%llu ", WORKER_ARGUMENT,
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(mapping)),
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(pipeWrite)));
    line += private_;
    line += commandArguments;

    // The worker prints nothing of its own on stdout: what a driver prints there goes to stderr,
    // so that a JSON document on stdout stays whole.
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    int64_t created = 0;
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    created = now.QuadPart;
    BOOL started = CreateProcessA(program, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(pipeWrite);
    if (!started) {
        outcome->end = SESSION_NOT_STARTED;
        outcome->exitCode = GetLastError();
        describe(outcome);
        UnmapViewOfFile(w);
        CloseHandle(mapping);
        CloseHandle(pipeRead);
        return fail(EXIT_DRIVER, "%s", outcome->text);
    }

    const ULONGLONG callLimitMs = static_cast<ULONGLONG>(options.callTimeout * 1000);
    std::string pending;
    bool done = false, hung = false, heard = false;
    int status = EXIT_CRASHED;
    LONG state = WATCH_STARTING;
    ULONGLONG since = 0;
    double runSeconds = 0;
    char call[64] = "";
    for (;;) {
        readPipe(pipeRead, &pending);
        takeFrames(&pending, &done, &status);
        bool ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
        readWatch(w, &state, &since, &runSeconds, call);
        if (!heard && state != WATCH_STARTING) {
            heard = true;
            QueryPerformanceCounter(&now);
            outcome->workerStartMs = (now.QuadPart - created) * 1000.0 / frequency.QuadPart;
        }
        if (ended)
            break;
        ULONGLONG spent = GetTickCount64() - since;
        if (state == WATCH_IN_CALL && spent > callLimitMs) {
            outcome->limitSeconds = options.callTimeout;
            hung = true;
        } else if (state == WATCH_RUNNING && spent > (runSeconds + options.callTimeout) * 1000) {
            outcome->limitSeconds = runSeconds + options.callTimeout;
            hung = true;
        }
        if (hung) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, INFINITE);
            break;
        }
    }
    readPipe(pipeRead, &pending);
    takeFrames(&pending, &done, &status);
    readWatch(w, &state, &since, &runSeconds, call);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);

    snprintf(outcome->call, sizeof outcome->call, "%s", call);
    outcome->duringRun = state == WATCH_RUNNING;
    if (hung) {
        outcome->end = SESSION_HUNG;
    } else if (done) {
        outcome->end = SESSION_FINISHED;
    } else if (state == WATCH_CRASHED || exitCode >= 0xC0000000) {
        // Without the worker's own word (a stack overflow leaves it no room), the exit code tells.
        outcome->end = SESSION_CRASHED;
        outcome->exceptionCode = state == WATCH_CRASHED ? w->exceptionCode : exitCode;
        snprintf(outcome->module, sizeof outcome->module, "%s",
                 state == WATCH_CRASHED ? w->module : "");
        outcome->offset = w->offset;
        outcome->onOtherThread = state == WATCH_CRASHED && w->otherThread;
    } else {
        outcome->end = SESSION_EXITED;
        outcome->exitCode = exitCode;
    }
    describe(outcome);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(pipeRead);
    UnmapViewOfFile(w);
    CloseHandle(mapping);
    if (outcome->end != SESSION_FINISHED)
        return fail(EXIT_CRASHED, "%s", outcome->text);
    return status;
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

void jsonSessionOutcome(const SessionOutcome &o)
{
    jsonBeginObject("worker");
    jsonBool("in_process", o.inProcess);
    jsonNumber("start_ms", o.inProcess ? NAN : o.workerStartMs);
    jsonEndObject();
    if (o.end == SESSION_FINISHED)
        return;
    static const char *const kinds[] = {"finished", "crash", "hang", "exit", "worker"};
    char text[32];
    jsonBeginObject("failure");
    jsonText("kind", kinds[o.end]);
    jsonText("call", o.call[0] ? o.call : nullptr);
    jsonBool("during_run", o.duringRun);
    if (o.end == SESSION_CRASHED) {
        snprintf(text, sizeof text, "0x%08lX", o.exceptionCode);
        jsonText("exception_code", text);
        jsonText("exception", exceptionName(o.exceptionCode));
        jsonText("module", o.module[0] ? o.module : nullptr);
        snprintf(text, sizeof text, "0x%llX", o.offset);
        jsonText("offset", o.module[0] ? text : nullptr);
        jsonBool("driver_thread", o.onOtherThread);
    }
    if (o.end == SESSION_EXITED)
        jsonInteger("process_exit_code", o.exitCode);
    if (o.end == SESSION_HUNG)
        jsonNumber("limit_seconds", o.limitSeconds);
    jsonText("text", o.text);
    jsonEndObject();
}

void jsonSessionEnd(const SessionOutcome &outcome, int exitCode)
{
    jsonSessionOutcome(outcome);
    if (exitCode != EXIT_FINE)
        jsonText("error", lastFailure());
    jsonInteger("exit_code", exitCode);
    jsonEndObject();
    jsonFinish();
}
