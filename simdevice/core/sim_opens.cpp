// What goes wrong only across opens, as a host opens the driver again and again: figures that
// creep with every open, handles and memory left behind by each, and a device that stays held by a
// host that was killed while it streamed. The counts that span processes live in the registry
// (simCountOpen, simNoteOwner), beside "GoneSince", and the device's own account in SimShared.
#include "core.h"

#include <stdio.h>

namespace {

const char kOwnerKilled[] = "Quorvel Sim: the device was not closed by its last owner";

// The owner noted is a process that is gone, or a later process that got its id.
bool ownerKilled(const SimDevice *device) {
    DWORD id = 0;
    FILETIME noted = {}, started = {};
    if (!simReadOwner(device->clsidText, &id, &noted))
        return false;
    if (!simProcessStart((LONG)id, &started))
        return true;
    return started.dwLowDateTime != noted.dwLowDateTime || started.dwHighDateTime != noted.dwHighDateTime;
}

// A thread left behind: it waits for ever, inside the system, on an event nobody sets. One event
// for the process, so that the threads leak nothing else.
HANDLE g_never;

DWORD WINAPI waitForEver(void *) {
    WaitForSingleObject(g_never, INFINITE);
    return 0;
}

void leak(SimDevice *device) {
    const SimConfig &c = device->config;
    for (LONG i = 0; i < c.leakHandlesPerOpen && i < 10000; i++) {
        if (CreateEventA(nullptr, TRUE, FALSE, nullptr))
            InterlockedIncrement(&device->shared->handlesLeaked);
    }
    for (LONG i = 0; i < c.leakThreadsPerOpen && i < 100; i++) {
        if (!g_never) {
            HANDLE made = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (InterlockedCompareExchangePointer(&g_never, made, nullptr) != nullptr)
                CloseHandle(made);
        }
        HANDLE thread = g_never ? CreateThread(nullptr, 0, waitForEver, nullptr, 0, nullptr) : nullptr;
        if (thread) {
            CloseHandle(thread);
            InterlockedIncrement(&device->shared->threadsLeaked);
        }
    }
    if (c.leakKBPerOpen > 0 && c.leakKBPerOpen <= 1048576) {
        SIZE_T bytes = (SIZE_T)c.leakKBPerOpen * 1024;
        auto *block = (volatile char *)VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (block) {
            for (SIZE_T at = 0; at < bytes; at += 4096)
                block[at] = 1;  // touched: committed and in the working set
            InterlockedExchangeAdd(&device->shared->kbLeaked, c.leakKBPerOpen);
        }
    }
}

}  // namespace

bool simOpenFaults(SimDevice *device) {
    const SimConfig &c = device->config;
    if (c.driftPerOpen != 0) {
        long earlier = simCountOpen(device->clsidText);
        device->driftFrames = earlier * c.driftPerOpen;
        InterlockedIncrement(&device->shared->opensCounted);
        InterlockedExchange(&device->shared->driftFrames, device->driftFrames);
    }
    leak(device);
    if (!c.killedOwnerBlocks || !ownerKilled(device))
        return false;
    InterlockedIncrement(&device->shared->ownerBlocks);
    snprintf(device->errorText, sizeof device->errorText, "%s", kOwnerKilled);
    return true;
}

void simOwnerStarted(SimDevice *device) {
    if (!device->config.killedOwnerBlocks)
        return;
    FILETIME started = {};
    simProcessStart((LONG)GetCurrentProcessId(), &started);
    if (simNoteOwner(device->clsidText, GetCurrentProcessId(), started) == 0) {
        device->ownerNoted = true;
        InterlockedIncrement(&device->shared->ownersNoted);
    }
}

void simOwnerStopped(SimDevice *device) {
    if (!device->ownerNoted)
        return;
    device->ownerNoted = false;
    simClearOwner(device->clsidText);
}
