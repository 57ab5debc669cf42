// asioMessage, asked as real drivers ask it: the usual questions when the buffers are made, on
// the host's thread, and during a run, from the switch thread, the requests and announcements of
// the device's own, each sent only to a host that said it supports it. A host that answers 1 to
// "supports time info" gets bufferSwitchTimeInfo instead of bufferSwitch.
#include "stream.h"

#include <math.h>

namespace {

// Engine version, reset, buffer size change, resync, latencies changed, time info, time code,
// overload.
const long kSupportedAsked[] = {
    SIM_MSG_ENGINE_VERSION,     SIM_MSG_RESET_REQUEST,      SIM_MSG_BUFFER_SIZE_CHANGE,
    SIM_MSG_RESYNC_REQUEST,     SIM_MSG_LATENCIES_CHANGED,  SIM_MSG_SUPPORTS_TIME_INFO,
    SIM_MSG_SUPPORTS_TIME_CODE, SIM_MSG_OVERLOAD,
};
const long kAsked[] = {SIM_MSG_ENGINE_VERSION, SIM_MSG_SUPPORTS_TIME_INFO, SIM_MSG_SUPPORTS_TIME_CODE};
const long kSelectorBits = 31;  // selectors below this have a bit in hostSupports

// The host's record is valid until it disposes of the buffers or lets go of the object; it may
// do either from inside its answer.
bool recordValid(const SimDevice *device, const SimAsioCallbacks *callbacks) {
    return device->refs > 0 && device->buffers.made && device->buffers.callbacks == callbacks &&
           callbacks->asioMessage;
}

bool listed(long selector) {
    for (long value : kSupportedAsked) {
        if (value == selector)
            return true;
    }
    return false;
}

// A request it will send is asked about too, if the usual questions leave it out.
bool askSupported(SimDevice *device, SimAsioCallbacks *callbacks, long value) {
    if (!recordValid(device, callbacks))
        return false;
    long answer = callbacks->asioMessage(SIM_MSG_SELECTOR_SUPPORTED, value, nullptr, nullptr);
    if (value >= 0 && value < SIM_SELECTORS)
        device->shared->supportedAnswers[value] = answer;
    if (answer == 1 && value > 0 && value < kSelectorBits)
        InterlockedOr(&device->stream.hostSupports, 1L << value);
    return true;
}

LONG roundedRate(double rate) {
    return rate > 0 && rate < 2e9 ? (LONG)floor(rate + 0.5) : 0;
}

// Whether the host gets `selector`: it answered 1 when asked. A driver that never asked
// ("AsioMessages" 0) sends regardless, as does one told to ("IgnoresUnsupported").
bool hostTakes(const SimDevice *device, long selector) {
    if (device->config.ignoresUnsupported || !device->stream.hostAsked)
        return true;
    return selector > 0 && selector < kSelectorBits &&
           (device->stream.hostSupports >> selector & 1);
}

}  // namespace

bool simAskHost(SimDevice *device) {
    SimAsioCallbacks *callbacks = device->buffers.callbacks;
    if (!callbacks)
        return false;
    simHold(device);
    InterlockedExchange(&device->stream.hostSupports, 0);
    InterlockedExchange(&device->stream.hostAsked, 1);
    for (long value : kSupportedAsked)
        askSupported(device, callbacks, value);
    long request = device->config.requestSelector;
    if (request > SIM_MSG_SELECTOR_SUPPORTED && request < kSelectorBits && !listed(request))
        askSupported(device, callbacks, request);
    device->stream.hostTimeInfo = 0;
    for (long selector : kAsked) {
        if (!recordValid(device, callbacks))
            continue;
        long answer = callbacks->asioMessage(selector, 0, nullptr, nullptr);
        device->shared->messageAnswers[selector] = answer;
        if (selector == SIM_MSG_SUPPORTS_TIME_INFO)
            device->stream.hostTimeInfo = answer == 1;
    }
    return simUnhold(device);
}

// The switch thread runs only between createBuffers and disposeBuffers, so the record is valid.
void simSendRequest(SimDevice *device, LONG call) {
    SimShared *shared = device->shared;
    const SimConfig &config = device->config;
    // Due before it goes: a host that asks for the figures at once gets the new ones.
    if (!device->stream.requestSent) {
        device->stream.requestSent = 1;
        simNoteRequestDue(device->clsid);
    }
    SimAsioCallbacks *callbacks = device->buffers.callbacks;
    if (!callbacks || !callbacks->asioMessage)
        return;
    if (!hostTakes(device, config.requestSelector)) {
        InterlockedIncrement(&shared->requestsWithheld);
        return;
    }
    // Addresses no process has mapped: a host that reads them crashes.
    void *message = config.requestBadPointer ? (void *)0x10 : nullptr;
    double *opt = config.requestBadPointer ? (double *)0x18 : nullptr;
    InterlockedCompareExchange(&shared->firstRequestSwitch, call, 0);
    long answer = callbacks->asioMessage(config.requestSelector, config.requestValue, message, opt);
    InterlockedExchange(&shared->requestAnswer, answer);
    InterlockedIncrement(&shared->requestsSent);
}

void simSendOwnRequest(SimDevice *device, long selector) {
    SimAsioCallbacks *callbacks = device->buffers.callbacks;
    if (!callbacks || !callbacks->asioMessage)
        return;
    if (!hostTakes(device, selector)) {
        InterlockedIncrement(&device->shared->requestsWithheld);
        return;
    }
    callbacks->asioMessage(selector, 0, nullptr, nullptr);
    InterlockedExchange(&device->shared->ownRequestSelector, selector);
    InterlockedIncrement(&device->shared->ownRequestsSent);
}

void simAnnounceRate(SimDevice *device, double rate) {
    SimAsioCallbacks *callbacks = device->buffers.callbacks;
    if (!callbacks || !callbacks->sampleRateDidChange)
        return;  // never a call through null
    InterlockedExchange(&device->shared->announcedRate, roundedRate(rate));
    callbacks->sampleRateDidChange(rate);
    InterlockedIncrement(&device->shared->rateAnnouncements);
}

void simPublishClockRate(SimDevice *device) {
    InterlockedExchange(&device->shared->clockRate, roundedRate(device->clockRate));
}

bool simRequestDue(const SimDevice *device) {
    return device->stream.requestSent || simRequestWasDue(device->clsid);
}

long simLatencyShift(const SimDevice *device) {
    return simRequestDue(device) ? device->config.requestLatencyShift : 0;
}

long simPreferredSize(const SimDevice *device) {
    const SimConfig &config = device->config;
    long preferred = config.requestPreferredSize > 0 && simRequestDue(device) ? config.requestPreferredSize
                                                                              : config.preferredSize;
    return preferred + device->driftFrames;
}
