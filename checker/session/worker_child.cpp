// The worker's side: it says which driver call it is in, notes a crash, sends the records as they
// are filled, and runs the session of the command on its command line.
#include "checker/session/worker_protocol.h"

#include "drivers/driver_loading.h"

#include <stdio.h>
#include <string.h>

static WatchRecord *watch;     // the worker's view
static HANDLE recordPipe;      // the worker's end
static DWORD sessionThread;
static bool running;
static ULONGLONG runSince;

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

void publishRecord(const void *place)
{
    int id = recordIndex(place);
    if (id >= 0)
        sendFrame(FRAME_RECORD, static_cast<DWORD>(id), place, static_cast<DWORD>(recordAt(id)->size));
}

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
    int code = parseArguments(argc - 1, argv + 1, &options, true);
    int (*session)(const CheckerOptions &) = options.command ? options.command->session : nullptr;
    if (code == EXIT_FINE)
        code = session ? session(options) : EXIT_USAGE;
    const char *failure = lastFailure();
    sendFrame(FRAME_DONE, static_cast<DWORD>(code), failure, static_cast<DWORD>(strlen(failure)));
    fflush(nullptr);
    // The session has released the driver; nothing of it may run on the way out (its DLL's detach).
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}
