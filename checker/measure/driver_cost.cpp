// What the driver costs the machine: the worker's processor time over a run's window, split into
// the checker's callbacks, the checker's own threads and the rest, the driver's.
#include "checker/measure/timing_parts.h"

#include <windows.h>
#include <math.h>
#include <string.h>

// 64-bit sums on the callback side, without a lock on either bitness.
static std::atomic<int64_t> callbackTicks;
static_assert(std::atomic<int64_t>::is_always_lock_free, "a callback may not take a lock");

enum { MAX_CHECKER_THREADS = 16 };
static HANDLE checkerThreads[MAX_CHECKER_THREADS];
static int checkerThreadCount;

struct CpuMark {
    int64_t counter;     // the performance counter
    double processMs;    // every thread of the process, user and kernel
    double checkerMs;    // the session thread and the noted ones
    int64_t callback;    // the callbacks' ticks so far
};
static CpuMark windowStart;
static HANDLE sessionThread;

static double fileTimeMs(const FILETIME &time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return value.QuadPart / 1e4;  // 100 ns units
}

static double threadMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!thread || !GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return 0;
    return fileTimeMs(kernel) + fileTimeMs(user);
}

static CpuMark readMark()
{
    CpuMark mark = {};
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        mark.processMs = fileTimeMs(kernel) + fileTimeMs(user);
    mark.checkerMs = threadMs(sessionThread);
    for (int k = 0; k < checkerThreadCount; k++)
        mark.checkerMs += threadMs(checkerThreads[k]);
    mark.callback = callbackTicks.load(std::memory_order_relaxed);
    mark.counter = performanceTicks();
    return mark;
}

void addCallbackTicks(int64_t ticks)
{
    callbackTicks.fetch_add(ticks, std::memory_order_relaxed);
}

void noteCheckerThread(void *thread)
{
    HANDLE copy = nullptr;
    if (checkerThreadCount < MAX_CHECKER_THREADS &&
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS))
        checkerThreads[checkerThreadCount++] = copy;
}

void beginCpuWindow()
{
    for (int k = 0; k < checkerThreadCount; k++)
        CloseHandle(checkerThreads[k]);
    checkerThreadCount = 0;
    if (!sessionThread) {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &sessionThread,
                        0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    windowStart = readMark();
}

void endCpuWindow(CpuFigures *cpu)
{
    CpuMark end = readMark();
    *cpu = CpuFigures();
    cpu->measured = true;
    cpu->windowMs = ticksToUs(end.counter - windowStart.counter) / 1e3;
    cpu->processMs = end.processMs - windowStart.processMs;
    cpu->callbackMs = (end.callback - windowStart.callback) / calibratedTicksPerUs() / 1e3;
    cpu->checkerMs = end.checkerMs - windowStart.checkerMs;
    // The callbacks are timed by the clock, the rest by the system's accounting: a callback the
    // system held counts in full, so the difference may fall below zero; it is the driver's at least 0.
    double driver = cpu->processMs - cpu->callbackMs - cpu->checkerMs;
    cpu->driverMs = driver > 0 ? driver : 0;
}

double coreShare(double ms, const CpuFigures &cpu)
{
    return cpu.measured && cpu.windowMs > 0 ? ms / cpu.windowMs * 100 : NAN;
}

const char *cpuFault(const CpuFigures &cpu)
{
    const double figures[] = {cpu.windowMs, cpu.processMs, cpu.callbackMs, cpu.checkerMs, cpu.driverMs};
    for (double figure : figures) {
        if (!(figure >= 0 && figure < 1e12))
            return "cpu.figures";
    }
    if (cpu.switches < 0 || cpu.driverMs > cpu.processMs)
        return "cpu.driverMs";
    unsigned char measured;
    memcpy(&measured, &cpu.measured, 1);
    return measured > 1 ? "cpu.measured" : nullptr;
}
