// The object's last reference against the device's own calls out to the host: while one runs
// (a window, asioMessage, a callback from createBuffers), the last Release only marks the object,
// and the call that held it destroys it, through the object's own `destroy`, once it is done.
#include "core.h"

namespace {

// True when a call of the device's own runs something of the host's: the object must outlive it.
bool deferIfHeld(SimDevice *self) {
    EnterCriticalSection(&self->holdLock);
    bool held = self->holds > 0;
    if (held)
        self->doomed = 1;
    LeaveCriticalSection(&self->holdLock);
    return held;
}

}  // namespace

void simHold(SimDevice *device) {
    EnterCriticalSection(&device->holdLock);
    device->holds++;
    LeaveCriticalSection(&device->holdLock);
}

bool simUnhold(SimDevice *device) {
    EnterCriticalSection(&device->holdLock);
    bool gone = --device->holds == 0 && device->doomed;
    LeaveCriticalSection(&device->holdLock);
    if (gone)
        device->destroy(device);
    return gone;
}

void simDestroyUnlessHeld(SimDevice *device) {
    if (!deferIfHeld(device))
        device->destroy(device);
}
