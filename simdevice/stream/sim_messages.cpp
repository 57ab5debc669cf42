// asioMessage, asked as real drivers ask it: the usual questions when the buffers are made, on
// the host's thread, and one request during a run from the switch thread. A host that answers 1
// to "supports time info" gets bufferSwitchTimeInfo instead of bufferSwitch.
#include "stream.h"

namespace {

// Engine version, reset, buffer size change, resync, latencies changed, time info, time code,
// overload.
const long kSupportedAsked[] = {
    SIM_MSG_ENGINE_VERSION,     SIM_MSG_RESET_REQUEST,      SIM_MSG_BUFFER_SIZE_CHANGE,
    SIM_MSG_RESYNC_REQUEST,     SIM_MSG_LATENCIES_CHANGED,  SIM_MSG_SUPPORTS_TIME_INFO,
    SIM_MSG_SUPPORTS_TIME_CODE, SIM_MSG_OVERLOAD,
};
const long kAsked[] = {SIM_MSG_ENGINE_VERSION, SIM_MSG_SUPPORTS_TIME_INFO, SIM_MSG_SUPPORTS_TIME_CODE};

// The host's record is valid until it disposes of the buffers or lets go of the object; it may
// do either from inside its answer.
bool recordValid(const SimDevice *device, const SimAsioCallbacks *callbacks) {
    return device->refs > 0 && device->buffers.made && device->buffers.callbacks == callbacks &&
           callbacks->asioMessage;
}

}  // namespace

bool simAskHost(SimDevice *device) {
    SimAsioCallbacks *callbacks = device->buffers.callbacks;
    if (!callbacks)
        return false;
    SimShared *shared = device->shared;
    simHold(device);
    for (long value : kSupportedAsked) {
        if (recordValid(device, callbacks))
            shared->supportedAnswers[value] =
                callbacks->asioMessage(SIM_MSG_SELECTOR_SUPPORTED, value, nullptr, nullptr);
    }
    device->stream.hostTimeInfo = 0;
    for (long selector : kAsked) {
        if (!recordValid(device, callbacks))
            continue;
        long answer = callbacks->asioMessage(selector, 0, nullptr, nullptr);
        shared->messageAnswers[selector] = answer;
        if (selector == SIM_MSG_SUPPORTS_TIME_INFO)
            device->stream.hostTimeInfo = answer == 1;
    }
    return simUnhold(device);
}

// The switch thread runs only between createBuffers and disposeBuffers, so the record is valid.
void simSendRequest(SimDevice *device) {
    SimAsioCallbacks *callbacks = device->buffers.callbacks;
    if (!callbacks || !callbacks->asioMessage)
        return;
    device->stream.requestSent = 1;  // a host that asks for the latencies at once gets the new ones
    long answer = callbacks->asioMessage(device->config.requestSelector, 0, nullptr, nullptr);
    InterlockedExchange(&device->shared->requestAnswer, answer);
    InterlockedIncrement(&device->shared->requestsSent);
}
