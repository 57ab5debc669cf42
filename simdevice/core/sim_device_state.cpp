// What the device's record says of the calling thread and of the stream, and the shared log of
// calls: what every part of the device asks before it acts.
#include "core.h"

bool simInWindowHere(const SimDevice *device) {
    return device->windowDepth > 0 && device->windowThread == GetCurrentThreadId();
}

void simLogCall(SimDevice *device, int op, long a, long b) {
    SimShared *shared = device->shared;
    int flags = 0;
    if (simInWindowHere(device)) {
        flags |= SIM_CALL_DURING_WINDOW;
        InterlockedIncrement(&shared->callsDuringWindow);
    }
    if (op > 0 && op < SIM_OPS)
        InterlockedIncrement(&shared->opCounts[op]);
    LONG index = InterlockedIncrement(&shared->callCount) - 1;
    if (index < 0 || index >= SIM_MAX_CALLS)
        return;
    SimCall &call = shared->calls[index];
    call.instance = device->instance;
    call.op = op;
    call.a = a;
    call.b = b;
    call.flags = flags;
}

bool simOnSwitchThread(const SimDevice *device) {
    return (device->thread && GetCurrentThreadId() == device->threadId &&
            WaitForSingleObject(device->thread, 0) == WAIT_TIMEOUT) || simOnSecondThread(device);
}

bool simOnSecondThread(const SimDevice *device) {
    DWORD id = device->stream.secondThreadId;
    return id && id == GetCurrentThreadId();
}

bool simThreadRunning(const SimDevice *device) {
    return device->thread && WaitForSingleObject(device->thread, 0) == WAIT_TIMEOUT;
}
