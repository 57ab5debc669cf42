// The machine's own pauses, witnessed: a thread of the checker's, at the priority drivers give
// their streaming threads, wakes every millisecond and notes when it did. A driver's gap that the
// witness was held for too, at the same moment, is the machine's (its scheduler, or under Wine the
// server every wait goes through), not the driver's.
#include "checker/measure/measure.h"

#include <windows.h>
#include <atomic>

static int64_t wakes[MACHINE_WATCH_ROOM];
static std::atomic<long> wakeCount;
static HANDLE watchThread;
static HANDLE stopWatch;

static DWORD WINAPI watchMachine(void *)
{
    while (WaitForSingleObject(stopWatch, 1) == WAIT_TIMEOUT) {
        long k = wakeCount.load(std::memory_order_relaxed);
        if (k >= MACHINE_WATCH_ROOM)
            break;
        wakes[k] = performanceTicks();
        wakeCount.store(k + 1, std::memory_order_release);
    }
    return 0;
}

bool startMachineWatch()
{
    stopMachineWatch();
    wakeCount.store(0);
    stopWatch = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    watchThread = stopWatch ? CreateThread(nullptr, 0, watchMachine, nullptr, 0, nullptr) : nullptr;
    if (!watchThread)
        return false;
    SetThreadPriority(watchThread, THREAD_PRIORITY_TIME_CRITICAL);
    noteCheckerThread(watchThread);  // its cost is the checker's
    return true;
}

void stopMachineWatch()
{
    if (watchThread) {
        SetEvent(stopWatch);
        WaitForSingleObject(watchThread, INFINITE);
        CloseHandle(watchThread);
        watchThread = nullptr;
    }
    if (stopWatch) {
        CloseHandle(stopWatch);
        stopWatch = nullptr;
    }
}

int64_t machineHeldTicks(int64_t from, int64_t to)
{
    long count = wakeCount.load(std::memory_order_acquire);
    if (count < 2 || wakes[0] > from || wakes[count - 1] < to)
        return -1;  // the watch did not see the whole stretch
    int64_t held = 0;
    for (long k = 1; k < count; k++) {
        int64_t a = wakes[k - 1] > from ? wakes[k - 1] : from;
        int64_t b = wakes[k] < to ? wakes[k] : to;
        if (b - a > held)
            held = b - a;
        if (wakes[k] >= to)
            break;
    }
    return held;
}
