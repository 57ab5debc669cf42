// What the worker measures of itself after each Release, by means that work under Wine as on
// Windows: Wine 8 answers 0 to GetProcessHandleCount and NtQueryInformationProcess, and its
// GetProcessMemoryInfo figures do not move.
#include "checker/cycles/cycles.h"

#include <windows.h>
#include <tlhelp32.h>

// Handle values are multiples of 4; a value GetHandleInformation answers is an open handle. Each
// probe is a call into the system (a server round trip under Wine, half a millisecond on a busy
// machine), so the probe ends past the table's end: HANDLE_PROBE_GAP values in a row that answer
// nothing, the table being filled from its bottom.
static long countHandles()
{
    long count = 0, empty = 0;
    for (uintptr_t value = 4; value <= HANDLE_PROBE_BOUND && empty < HANDLE_PROBE_GAP; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            count++;
            empty = 0;
        } else {
            empty++;
        }
    }
    return count;
}

static long countThreads()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    DWORD own = GetCurrentProcessId();
    long count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == own)
            count++;
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return count;
}

// Committed private regions, from the lowest address to the highest an application has.
static long long privateKB()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const char *at = static_cast<const char *>(system.lpMinimumApplicationAddress);
    const char *end = static_cast<const char *>(system.lpMaximumApplicationAddress);
    unsigned long long bytes = 0;
    MEMORY_BASIC_INFORMATION region;
    while (at < end && VirtualQuery(at, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            bytes += region.RegionSize;
        const char *next = static_cast<const char *>(region.BaseAddress) + region.RegionSize;
        if (next <= at)
            break;
        at = next;
    }
    return static_cast<long long>(bytes / 1024);
}

void measureProcess(ProcessCounts *counts)
{
    counts->handles = countHandles();
    counts->threads = countThreads();
    counts->privateKB = privateKB();
}
