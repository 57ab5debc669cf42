// The worker's side: it says which driver call it is in, notes a crash, sends the records and its
// own messages as they come, and runs the session of the command on its command line.
#include "checker/session/worker_protocol.h"

#include "drivers/driver_loading.h"

#include <stdio.h>
#include <string.h>

static WatchRecord *watch;     // the worker's view
static HANDLE recordPipe;      // the worker's end
static HANDLE stopRun;         // set by the parent: the user interrupted
static DWORD sessionThread;
static volatile bool running;
static LARGE_INTEGER runStarted;

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

static void sendText(DWORD kind, const char *text)
{
    size_t length = strlen(text);
    sendFrame(kind, 0, text, static_cast<DWORD>(length < size_t(MAX_TEXT_FRAME) ? length : size_t(MAX_TEXT_FRAME)));
}

static void sendLine(const char *text)
{
    sendText(FRAME_MESSAGE, text);
}

static void sendProgress(const char *text)
{
    sendText(FRAME_PROGRESS, text);
}

void publishRecord(const void *place)
{
    int id = recordIndex(place);
    if (id >= 0 && !recordPipe)
        tellRecordTaken(place);  // in process: the parent's own copy
    else if (id >= 0)
        sendFrame(FRAME_RECORD, static_cast<DWORD>(id), place, static_cast<DWORD>(recordAt(id)->size));
}

static void writeWatch(LONG state, const char *call)
{
    InterlockedIncrement(&watch->sequence);
    if (watch->state == WATCH_IN_CALL && state != WATCH_IN_CALL)
        memcpy(watch->lastCall, watch->call, sizeof watch->lastCall);
    watch->state = state;
    snprintf(watch->call, sizeof watch->call, "%s", call ? call : "");
    InterlockedIncrement(&watch->sequence);
}

static void watchCall(const char *call)
{
    // Calls on other threads (none are made) would confuse the one record: only the session's.
    if (!watch || GetCurrentThreadId() != sessionThread)
        return;
    writeWatch(call ? WATCH_IN_CALL : running ? WATCH_RUNNING : WATCH_IDLE, call);
}

void watchRun(double seconds)
{
    if (!watch)
        return;
    running = seconds > 0;
    QueryPerformanceCounter(&runStarted);
    watch->runSwitches = 0;
    InterlockedIncrement(&watch->sequence);
    watch->runSeconds = seconds;
    InterlockedIncrement(&watch->sequence);
    watchCall(nullptr);
}

void watchRunSwitches(long long switches)
{
    if (watch)
        watch->runSwitches = switches;
}

void watchRateToRestore(bool registered, double rate)
{
    if (!watch)
        return;
    watch->rateToRestore = rate;
    MemoryBarrier();
    watch->rateRegistered = registered;
}

bool runStopAsked()
{
    return stopRun && WaitForSingleObject(stopRun, 0) == WAIT_OBJECT_0;
}

void stopAtSafePoints()
{
    if (watch)
        watch->safePoints = 1;
}

bool runCrashed()
{
    return watch && watch->runCrash;
}

void endCrashedRun()
{
    if (runCrashed())
        TerminateProcess(GetCurrentProcess(), watch->exceptionCode);
}

static void noteWhere(const EXCEPTION_RECORD *record)
{
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
}

// A driver thread crashed while the run went on: noted, the session thread woken to judge and
// hand over what the run measured; this thread never returns to the driver's code.
static void holdCrashedThread(const EXCEPTION_RECORD *record)
{
    if (!watch->runCrash) {
        noteWhere(record);
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        watch->crashRunSeconds = static_cast<double>(now.QuadPart - runStarted.QuadPart) /
                                 frequency.QuadPart;
        watch->crashSwitches = arrivalRing.claimed.load();
        MemoryBarrier();
        watch->runCrash = 1;
        PostThreadMessageA(sessionThread, WM_NULL, 0, 0);
    }
    for (;;)
        Sleep(INFINITE);
}

static LONG WINAPI crashFilter(EXCEPTION_POINTERS *exception)
{
    const EXCEPTION_RECORD *record = exception->ExceptionRecord;
    if (running && GetCurrentThreadId() != sessionThread)
        holdCrashedThread(record);
    if (!watch->runCrash)
        noteWhere(record);
    InterlockedIncrement(&watch->sequence);
    watch->state = WATCH_CRASHED;
    InterlockedIncrement(&watch->sequence);
    // No handler of anyone else's runs: the driver's state is gone.
    TerminateProcess(GetCurrentProcess(), watch->exceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The parent decides what Ctrl+C and Ctrl+Break do: the worker ends when the parent ends it.
static BOOL WINAPI ignoreConsoleControl(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

bool isWorkerArgument(const char *argument)
{
    return argument && strncmp(argument, WORKER_ARGUMENT, sizeof WORKER_ARGUMENT - 1) == 0;
}

// The shared record and the pipe from the private argument. False when it does not name them.
static bool attach(const char *argument)
{
    unsigned long long mapping = 0, pipe = 0, event = 0;
    if (sscanf(argument + sizeof WORKER_ARGUMENT - 1, "%llu,%llu,%llu", &mapping, &pipe, &event) != 3)
        return false;
    stopRun = reinterpret_cast<HANDLE>(event);
    watch = static_cast<WatchRecord *>(MapViewOfFile(reinterpret_cast<HANDLE>(mapping),
                                                     FILE_MAP_WRITE, 0, 0, sizeof(WatchRecord)));
    recordPipe = reinterpret_cast<HANDLE>(pipe);
    return watch != nullptr;
}

int workerMain(int argc, char **argv)
{
    // Before the first word the parent takes any end as the worker's own failure to start.
    if (!attach(argv[1]))
        return EXIT_USAGE;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(crashFilter);
    SetConsoleCtrlHandler(ignoreConsoleControl, TRUE);
    sessionThread = GetCurrentThreadId();
    sendMessagesTo(sendLine, sendProgress);
    driverCallWatch = watchCall;
    watchCall(nullptr);

    CheckerOptions options;
    argv[1] = argv[0];
    int code = parseArguments(argc - 1, argv + 1, &options, true);
    int (*session)(const CheckerOptions &) = options.command ? options.command->session : nullptr;
    if (code == EXIT_FINE)
        code = session ? session(options) : EXIT_USAGE;
    // A session that went on after a driver thread crashed still ends as that crash.
    endCrashedRun();
    const char *failure = lastFailure();
    sendFrame(FRAME_DONE, static_cast<DWORD>(code), failure, static_cast<DWORD>(strlen(failure)));
    fflush(nullptr);
    // The session has released the driver; nothing of it may run on the way out (its DLL's detach).
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}
