// The device gone while streaming ("GoneAtSwitch"): the object it went from and every object whose
// init comes while it is away answer as "GoneWay" says. The moment it went is kept in the
// registry (simNoteGone), so a fresh process finds it away too, until "BackAfterMs" has passed.
#include "core.h"

#include <stdio.h>

namespace {

const char kNotPresent[] = "Quorvel Sim: the device is not present";

LONG wayOf(const SimConfig &config) {
    LONG way = config.goneWay;
    if (way < SIM_GONE_CALLBACKS_STOP)
        return SIM_GONE_CALLBACKS_STOP;
    if (way > SIM_GONE_STOP_HANGS)
        return SIM_GONE_STOP_HANGS;
    return way;
}

}  // namespace

void simMarkGone(SimDevice *device, LONG call) {
    InterlockedExchange(&device->goneWay, wayOf(device->config));
    InterlockedExchange(&device->shared->goneAtSwitch, call);
    simNoteGone(device->clsidText);
}

bool simInitWhileAway(SimDevice *device) {
    if (device->goneWay == SIM_PRESENT && device->config.goneAtSwitch > 0) {
        long long ms = 0;
        if (simGoneFor(device->clsidText, &ms)) {
            LONG back = device->config.backAfterMs;
            if (back >= 0 && ms >= back) {
                simClearGone(device->clsidText);  // back: for every process from now on
            } else {
                InterlockedExchange(&device->goneWay, wayOf(device->config));
                InterlockedIncrement(&device->shared->initsWhileGone);
            }
        }
    }
    if (simGoneAnswer(device) == SIM_ASE_OK)
        return false;
    snprintf(device->errorText, sizeof device->errorText, "%s", kNotPresent);
    return true;
}

long simGoneAnswer(const SimDevice *device) {
    switch (device->goneWay) {
    case SIM_GONE_NOT_PRESENT:
    case SIM_GONE_RESET_FIRST:
    case SIM_GONE_RESYNC_FIRST:
        return SIM_ASE_NOT_PRESENT;
    case SIM_GONE_MALFUNCTION:
        return SIM_ASE_HW_MALFUNCTION;
    }
    return SIM_ASE_OK;
}

bool simCallbacksGone(const SimDevice *device) {
    return device->goneWay != SIM_PRESENT;
}
