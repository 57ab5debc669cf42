// Two programs at once. The device's shared record spans processes: the first process to make an
// object of the device is its first client while it lives, and an object another process makes
// meanwhile is a second client's. "SecondClient" says what the device does to both; the record
// keeps its own account of it (the second's callbacks, the first's periods without one).
#include "core.h"

#include <stdio.h>
#include <string.h>

namespace {

enum { SERVED, REFUSED_AT_INIT, REFUSED_AT_BUFFERS, TAKES_STREAM, STOPS_FIRST_AT_END, SILENCES_FIRST };

// The first client still there: its id names a live process that started when it did (not a
// later process that got the same id).
bool firstAlive(const SimShared *shared, LONG id) {
    FILETIME started;
    return id != 0 && simProcessStart(id, &started) &&
           (LONG)started.dwLowDateTime == shared->firstStartedLow &&
           (LONG)started.dwHighDateTime == shared->firstStartedHigh;
}

LONG thisProcess() {
    return (LONG)GetCurrentProcessId();
}

bool knob(const SimDevice *device, int what) {
    return device->second && device->config.secondClient == what;
}

}  // namespace

bool simProcessStart(LONG id, FILETIME *started) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, (DWORD)id);
    if (!process)
        return false;
    FILETIME exited, kernel, user;
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
                 GetProcessTimes(process, started, &exited, &kernel, &user);
    CloseHandle(process);
    return alive;
}

bool simIsSecondClient(SimShared *shared) {
    LONG me = thisProcess();
    FILETIME started = {};
    simProcessStart(me, &started);
    while (InterlockedCompareExchange(&shared->claimLock, 1, 0) != 0)
        Sleep(0);
    LONG first = shared->firstProcess;
    bool second = first != me && firstAlive(shared, first);
    if (second) {
        InterlockedIncrement(&shared->secondObjects);
    } else {  // also where a process of the same id was first before
        shared->firstStartedLow = (LONG)started.dwLowDateTime;
        shared->firstStartedHigh = (LONG)started.dwHighDateTime;
        shared->firstProcess = me;
    }
    InterlockedExchange(&shared->claimLock, 0);
    return second;
}

bool simSecondInitRefused(SimDevice *device) {
    if (!knob(device, REFUSED_AT_INIT))
        return false;
    snprintf(device->errorText, sizeof device->errorText,
             "Quorvel Sim: the device is in use by another program");
    return true;
}

long simSecondBuffersAnswer(const SimDevice *device) {
    return knob(device, REFUSED_AT_BUFFERS) ? SIM_ASE_INVALID_MODE : SIM_ASE_OK;
}

void simSecondStarted(SimDevice *device) {
    if (knob(device, TAKES_STREAM))
        InterlockedExchange(&device->shared->stolenBy, thisProcess());
    if (knob(device, SILENCES_FIRST))
        InterlockedExchange(&device->shared->silencedBy, thisProcess());
}

void simSecondStallsFirst(const SimDevice *device) {
    SimShared *shared = device->shared;
    InterlockedExchange(&shared->stolenBy, thisProcess());
    Sleep(device->config.secondStallMs > 0 ? (DWORD)device->config.secondStallMs : 0);
    InterlockedCompareExchange(&shared->stolenBy, 0, thisProcess());
}

void simSecondStopped(SimDevice *device) {
    if (device->second) {
        InterlockedCompareExchange(&device->shared->stolenBy, 0, thisProcess());
        InterlockedCompareExchange(&device->shared->silencedBy, 0, thisProcess());
    }
}

void simSecondEnds(SimDevice *device) {
    simSecondStopped(device);
    if (knob(device, STOPS_FIRST_AT_END))
        InterlockedExchange(&device->shared->firstHalted, 1);
}

bool simStreamTaken(SimDevice *device) {
    SimShared *shared = device->shared;
    if (device->second)
        return false;
    LONG thief = shared->stolenBy;
    if (thief != 0 && thief != thisProcess()) {
        InterlockedIncrement(&shared->stolenPeriods);
        return true;
    }
    if (shared->firstHalted) {
        InterlockedIncrement(&shared->haltedPeriods);
        return true;
    }
    return false;
}

void simSilenceFirstInputs(SimDevice *device, SimBufferSet *set, int index, LONG call) {
    SimShared *shared = device->shared;
    LONG by = shared->silencedBy;
    if (device->second || by == 0 || by == thisProcess())
        return;
    for (long e = 0; e < set->count; e++) {
        SimElement &element = set->elements[e];
        if (element.isInput && element.cableContent)
            memset(element.half[index], 0, element.halfBytes);
    }
    InterlockedCompareExchange(&shared->silencedFromSwitch, call, 0);
    InterlockedIncrement(&shared->silencedSwitches);
}

void simSecondSetRate(SimDevice *device, double rate) {
    if (device->second)
        InterlockedExchange(&device->shared->secondRate, (LONG)(rate + 0.5));
}

double simTakeSecondRate(SimDevice *device) {
    if (device->second || device->shared->secondRate == 0)
        return 0;
    LONG rate = InterlockedExchange(&device->shared->secondRate, 0);
    if (rate == 0 || rate == (LONG)(device->sampleRate + 0.5))
        return 0;
    InterlockedIncrement(&device->shared->secondRatesTaken);
    return rate;
}

void simFirstRunBegins(SimDevice *device) {
    if (device->second)
        return;
    // A rate a second client set while no first stream ran is not this run's.
    InterlockedExchange(&device->shared->secondRate, 0);
    InterlockedExchange(&device->shared->firstHalted, 0);
    InterlockedExchange(&device->shared->silencedSwitches, 0);
    InterlockedExchange(&device->shared->silencedFromSwitch, 0);
}
