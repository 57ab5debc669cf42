// The machine's own pauses, witnessed: a thread of the checker's, at the priority drivers give
// their streaming threads, wakes every millisecond and notes when it did. A driver's gap that the
// witness was held for too, at the same moment, is the machine's (its scheduler, or under Wine the
// server every wait goes through), not the driver's.
#include "checker/measure/timing_parts.h"

#include <windows.h>
#include <mmsystem.h>
#include <algorithm>
#include <atomic>
#include <vector>

static int64_t wakes[MACHINE_WATCH_ROOM];
static std::atomic<long> wakeCount;
static HANDLE watchThread;
static HANDLE stopWatch;
static bool finerTimer;  // the system's timer set to 1 ms while the watch runs
// The watch's own interval between wake-ups, the median, for the wake-ups counted so far.
static long ordinaryCount;
static int64_t ordinaryTicks;

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
    ordinaryCount = 0;
    // Without it a wait of 1 ms lasts a timer tick (15.6 ms on Windows by default).
    finerTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
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
    if (finerTimer)
        timeEndPeriod(1);
    finerTimer = false;
}

// The median interval between the watch's wake-ups: what it takes when nothing holds it.
static int64_t ordinaryInterval(long count)
{
    if (count == ordinaryCount)
        return ordinaryTicks;
    std::vector<int64_t> intervals;
    intervals.reserve(count);
    for (long k = 1; k < count; k++)
        intervals.push_back(wakes[k] - wakes[k - 1]);
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    ordinaryCount = count;
    ordinaryTicks = intervals[intervals.size() / 2];
    return ordinaryTicks;
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
    // Its own interval is no hold: a watch that wakes every 15.6 ms holds nothing.
    return std::max<int64_t>(0, held - ordinaryInterval(count));
}
