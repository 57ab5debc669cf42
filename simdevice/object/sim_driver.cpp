// The slots of the driver interface. Every slot logs itself first and tolerates null arguments
// and any order of calls: the device must never be the one that crashes. Slots that run a window
// or call the host may find the object released when that returns; they touch it no more then.
#include "object.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Logs take ints; a hostile rate must not turn into undefined behaviour on the way.
long logNumber(double value) {
    if (!(value > -2e9 && value < 2e9))
        return 0;
    return (long)value;
}

void copyText(char *out, size_t outSize, const char *text) {
    snprintf(out, outSize, "%s", text);
}

// The text, then 'X' up to the end: no NUL anywhere.
void fillUnterminated(char *out, size_t outSize, const char *text) {
    size_t length = strlen(text);
    for (size_t i = 0; i < outSize; i++)
        out[i] = i < length ? text[i] : 'X';
}

struct DeviceLock {
    explicit DeviceLock(SimDevice *device) : device(device) { EnterCriticalSection(&device->lock); }
    ~DeviceLock() { LeaveCriticalSection(&device->lock); }
    SimDevice *device;
};

long SIM_THISCALL init(SimDevice *self, void *sysHandle) {
    simLogCall(self, SIM_INIT, sysHandle != nullptr, 0);
    if (simCallFails(self, SIM_INIT))
        return 0;
    if (self->config.initDelayMs > 0)
        Sleep((DWORD)self->config.initDelayMs);
    if (simInitWhileAway(self))
        return 0;
    if (simOpenFaults(self))
        return 0;
    if (self->config.initMessageBox && simInitMessageBox(self))
        return 0;  // released while the box was up: nobody is left to use the answer
    self->owner = (HWND)sysHandle;
    simPrintLines(self, "init");
    simSubclassReference(self, self->owner);
    if (simSecondInitRefused(self))
        return 0;
    if (self->config.reinitFails && self->madeInProcess == 2) {
        copyText(self->errorText, sizeof self->errorText, "Quorvel Sim: the device is in use");
        return 0;
    }
    if (self->config.initError[0]) {
        copyText(self->errorText, sizeof self->errorText, self->config.initError);
        return 0;
    }
    self->errorText[0] = 0;
    return 1;
}

void SIM_THISCALL getDriverName(SimDevice *self, char *name) {
    simLogCall(self, SIM_GET_DRIVER_NAME, 0, 0);
    if (simCallFails(self, SIM_GET_DRIVER_NAME) || !name)
        return;
    const char *configured = self->config.driverName;
    if (self->config.nameUnterminated) {
        fillUnterminated(name, 32, configured);
        return;
    }
    copyText(name, 32, configured);
}

long SIM_THISCALL getDriverVersion(SimDevice *self) {
    simLogCall(self, SIM_GET_DRIVER_VERSION, 0, 0);
    if (simCallFails(self, SIM_GET_DRIVER_VERSION))
        return 0;
    return self->config.driverVersion;
}

void SIM_THISCALL getErrorMessage(SimDevice *self, char *text) {
    simLogCall(self, SIM_GET_ERROR_MESSAGE, 0, 0);
    if (simCallFails(self, SIM_GET_ERROR_MESSAGE) || !text)
        return;
    if (self->config.errorMessageUnterminated)
        fillUnterminated(text, 124, self->errorText);
    else
        copyText(text, 124, self->errorText);
}

// A start the host repeats in a way the device is told to get wrong: it answers ASE_OK, no more.
bool repeatSilent(const SimDevice *self) {
    const SimConfig &c = self->config;
    return (c.restartSilent && self->stoppedOnBuffers) ||
           (c.silentAfterRecreates > 0 && self->recreations >= c.silentAfterRecreates) ||
           (c.rateChangeSilent && self->rateChanged);
}

long SIM_THISCALL start(SimDevice *self) {
    long result;
    LONG number = self->shared->opCounts[SIM_START] + 1;  // logged below, with the answer
    simSecondFault(self, SIM_START);
    if (simFaultOrFail(self->config, SIM_START, number)) {
        result = SIM_ASE_HW_MALFUNCTION;
    } else if (simGoneAnswer(self) != SIM_ASE_OK) {
        result = simGoneAnswer(self);
    } else if (simOnSwitchThread(self)) {
        result = SIM_ASE_OK;  // already running: it is the caller
    } else {
        DeviceLock lock(self);
        if (!simThreadRunning(self))
            self->readySwitchSeen = -1;  // a new run
        if (self->config.startFails)
            result = SIM_ASE_HW_MALFUNCTION;
        else if (!self->buffers.made)
            result = SIM_ASE_NOT_PRESENT;
        else if (number == self->config.silentStartAt || repeatSilent(self))
            result = SIM_ASE_OK;  // and no thread: no callbacks, no position
        else
            result = simStartThread(self);
        if (result == SIM_ASE_OK) {
            simSecondStarted(self);
            simOwnerStarted(self);
        }
    }
    simLogCall(self, SIM_START, result, 0);
    return result;
}

long SIM_THISCALL stop(SimDevice *self) {
    simLogCall(self, SIM_STOP, 0, 0);
    if (simCallFails(self, SIM_STOP))
        return SIM_ASE_HW_MALFUNCTION;
    if (self->goneWay == SIM_GONE_STOP_HANGS)
        Sleep(INFINITE);
    if (simOnSwitchThread(self)) {
        SetEvent(self->stopEvent);  // the thread ends once the callback has returned
        return SIM_ASE_OK;
    }
    {
        DeviceLock lock(self);
        simStopStream(self);
        simSecondStopped(self);
        simOwnerStopped(self);
        self->stoppedOnBuffers = self->buffers.made;
    }
    // The thread has ended before the wait: a start made from the host's window meanwhile must
    // not be undone when the wait is over.
    if (self->config.stopWaits)
        simWaitWithMessages(self);
    return simGoneAnswer(self);  // stopped all the same
}

long SIM_THISCALL getChannels(SimDevice *self, long *inputs, long *outputs) {
    simLogCall(self, SIM_GET_CHANNELS, 0, 0);
    if (simCallFails(self, SIM_GET_CHANNELS))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (!inputs || !outputs)
        return SIM_ASE_INVALID_PARAMETER;
    simChannelCounts(self, inputs, outputs);
    return SIM_ASE_OK;
}

// The converters' delays on top of one buffer each way; the output side may be told wrong.
long SIM_THISCALL getLatencies(SimDevice *self, long *inputLatency, long *outputLatency) {
    simLogCall(self, SIM_GET_LATENCIES, 0, 0);
    if (simCallFails(self, SIM_GET_LATENCIES))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (!inputLatency || !outputLatency)
        return SIM_ASE_INVALID_PARAMETER;
    const SimConfig &c = self->config;
    long frames = self->buffers.made ? self->buffers.frames : simPreferredSize(self);
    *inputLatency = frames + (c.inputDelay > 0 ? c.inputDelay : 0);
    bool lies = c.latencyLieAtSize == 0 || c.latencyLieAtSize == frames;
    *outputLatency = frames + (c.outputDelay > 0 ? c.outputDelay : 0) + (lies ? c.latencyLie : 0);
    if (c.latencyFault == 1)
        *inputLatency = *outputLatency = frames / 2;
    if (c.latencyFault == 2)
        *inputLatency = *outputLatency = frames < 4095 ? 4096 - frames : 1;
    *outputLatency += simLatencyShift(self);
    if (self->buffers.made) {  // without buffers the preferred size has drifted already
        *inputLatency += self->driftFrames;
        *outputLatency += self->driftFrames;
    }
    return SIM_ASE_OK;
}

long SIM_THISCALL getBufferSize(SimDevice *self, long *minSize, long *maxSize, long *preferredSize,
                                long *granularity) {
    simLogCall(self, SIM_GET_BUFFER_SIZE, 0, 0);
    if (simCallFails(self, SIM_GET_BUFFER_SIZE))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (!minSize || !maxSize || !preferredSize || !granularity)
        return SIM_ASE_INVALID_PARAMETER;
    *minSize = self->config.minSize;
    *maxSize = self->config.maxSize;
    *preferredSize = simPreferredSize(self);
    *granularity = self->config.granularity;
    return SIM_ASE_OK;
}

long SIM_THISCALL canSampleRate(SimDevice *self, double rate) {
    simLogCall(self, SIM_CAN_SAMPLE_RATE, logNumber(rate), 0);
    if (simCallFails(self, SIM_CAN_SAMPLE_RATE))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    return simRateAccepted(self, rate) ? SIM_ASE_OK : SIM_ASE_NO_CLOCK;
}

long SIM_THISCALL getSampleRate(SimDevice *self, double *rate) {
    simLogCall(self, SIM_GET_SAMPLE_RATE, 0, 0);
    if (simCallFails(self, SIM_GET_SAMPLE_RATE))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (!rate)
        return SIM_ASE_INVALID_PARAMETER;
    *rate = self->sampleRate;
    return SIM_ASE_OK;
}

// 0 asks for the external clock, which this device takes to be its own. A new rate sets the
// pace from the next start on; a run in progress does what "RunningRateChange" says.
long SIM_THISCALL setSampleRate(SimDevice *self, double rate) {
    simLogCall(self, SIM_SET_SAMPLE_RATE, logNumber(rate), 0);
    if (simCallFails(self, SIM_SET_SAMPLE_RATE))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (rate == 0)
        return SIM_ASE_OK;
    bool accepted = (self->config.setRateAcceptsAll && rate > 0) || simRateAccepted(self, rate);
    if (!accepted)
        return SIM_ASE_NO_CLOCK;
    bool ignored = (self->config.setRateIgnored && !self->config.setRateAcceptsAll) ||
                   (self->config.setRateBackIgnored && rate != self->sampleRate &&
                    rate == strtod(self->config.sampleRate, nullptr));
    if (ignored || rate == self->sampleRate)
        return SIM_ASE_OK;
    long answer = simChangeRate(self, rate);
    if (answer == SIM_ASE_OK)
        simSecondSetRate(self, rate);
    return answer;
}

long SIM_THISCALL getClockSources(SimDevice *self, SimAsioClockSource *clocks, long *count) {
    simLogCall(self, SIM_GET_CLOCK_SOURCES, count ? *count : 0, 0);
    if (simCallFails(self, SIM_GET_CLOCK_SOURCES))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (!clocks || !count)
        return SIM_ASE_INVALID_PARAMETER;
    if (*count < 1) {
        *count = 0;
        return SIM_ASE_INVALID_PARAMETER;
    }
    const long fault = self->config.clockFault;
    long sources = fault == 1 ? 0 : fault == 3 && *count >= 2 ? 2 : 1;
    for (long i = 0; i < sources; i++) {
        memset(&clocks[i], 0, sizeof clocks[i]);
        clocks[i].index = i;
        clocks[i].associatedChannel = -1;
        clocks[i].associatedGroup = -1;
        clocks[i].isCurrentSource = fault != 2;
        copyText(clocks[i].name, sizeof clocks[i].name, i == 0 ? "Internal" : "Word Clock");
    }
    *count = sources;
    return SIM_ASE_OK;
}

long SIM_THISCALL setClockSource(SimDevice *self, long reference) {
    simLogCall(self, SIM_SET_CLOCK_SOURCE, reference, 0);
    if (simCallFails(self, SIM_SET_CLOCK_SOURCE))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    return reference == 0 ? SIM_ASE_OK : SIM_ASE_INVALID_PARAMETER;
}

long SIM_THISCALL getSamplePosition(SimDevice *self, SimAsioSamples *position,
                                    SimAsioSamples *stamp) {
    simLogCall(self, SIM_GET_SAMPLE_POSITION, 0, 0);
    if (simCallFails(self, SIM_GET_SAMPLE_POSITION))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (!position || !stamp)
        return SIM_ASE_INVALID_PARAMETER;
    return simSamplePosition(self, position, stamp);
}

long SIM_THISCALL getChannelInfo(SimDevice *self, SimAsioChannelInfo *info) {
    simLogCall(self, SIM_GET_CHANNEL_INFO, info ? info->channel : 0, info ? info->isInput : 0);
    if (simCallFails(self, SIM_GET_CHANNEL_INFO))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (!info)
        return SIM_ASE_INVALID_PARAMETER;
    info->type = simChannelType(self, info->isInput != 0, info->channel);
    long inputs, outputs;
    simChannelCounts(self, &inputs, &outputs);
    long channels = info->isInput ? inputs : outputs;
    if (info->channel < 0 || (info->channel >= channels && !self->config.channelInfoPastEnd))
        return SIM_ASE_INVALID_PARAMETER;
    info->isActive = 0;
    for (long i = 0; i < self->buffers.count && self->buffers.elements; i++) {
        const SimElement &element = self->buffers.elements[i];
        if (!element.isInput == !info->isInput && element.channelNum == info->channel)
            info->isActive = 1;
    }
    info->channelGroup = 0;
    simChannelName(self, info->isInput != 0, info->channel, info->name, sizeof info->name);
    simScribble(self, info);
    const long fault = self->config.channelInfoFault;
    if (fault == 1)
        fillUnterminated(info->name, sizeof info->name, info->name);
    else if (fault == 2)
        info->name[0] = 0;
    else if (fault == 3)
        info->channel++;
    else if (fault == 4)
        info->isInput = !info->isInput;
    return SIM_ASE_OK;
}

long SIM_THISCALL createBuffers(SimDevice *self, SimAsioBufferInfo *infos, long count,
                                long bufferSize, SimAsioCallbacks *callbacks) {
    simLogCall(self, SIM_CREATE_BUFFERS, count, bufferSize);
    if (simCallFails(self, SIM_CREATE_BUFFERS))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (simOnSwitchThread(self))
        return SIM_ASE_INVALID_MODE;  // its own buffers are in use by the caller
    long result = simSecondBuffersAnswer(self);
    if (result != SIM_ASE_OK)
        return result;
    {
        DeviceLock lock(self);
        bool afterDispose = self->disposedFrames != 0;
        if (self->config.recreateFails && afterDispose && bufferSize == self->disposedFrames)
            return SIM_ASE_NO_MEMORY;
        simStopThread(self);
        result = simCreateBuffers(self, infos, count, bufferSize, callbacks);
        if (result == SIM_ASE_OK) {
            self->recreations += afterDispose;
            self->disposedFrames = 0;
            self->stoppedOnBuffers = false;
        }
    }
    // Asked with no lock held: the host may call back in, or let go of the object, meanwhile.
    if (result == SIM_ASE_OK && self->config.asioMessages && simAskHost(self))
        return result;  // released meanwhile
    if (result == SIM_ASE_OK && self->config.callbackInCreateBuffers)
        simEarlySwitch(self);
    if (result == SIM_ASE_OK)
        simBuffersMade(self);
    return result;
}

long SIM_THISCALL disposeBuffers(SimDevice *self) {
    simLogCall(self, SIM_DISPOSE_BUFFERS, 0, 0);
    if (simCallFails(self, SIM_DISPOSE_BUFFERS))
        return SIM_ASE_HW_MALFUNCTION;
    if (simOnSwitchThread(self))
        return SIM_ASE_INVALID_MODE;
    DeviceLock lock(self);
    if (self->buffers.made)
        self->disposedFrames = self->buffers.frames;
    simDisposeStream(self);
    simOwnerStopped(self);
    return simGoneAnswer(self);  // freed all the same
}

long SIM_THISCALL controlPanel(SimDevice *self) {
    simLogCall(self, SIM_CONTROL_PANEL, 0, 0);
    if (simCallFails(self, SIM_CONTROL_PANEL))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    if (self->config.panelDelayMs > 0)
        Sleep((DWORD)self->config.panelDelayMs);
    if (self->config.panelShowsWindow == 2) {
        // The host may release the object while the window is up; the changes still apply.
        char clsidText[sizeof self->clsidText];
        memcpy(clsidText, self->clsidText, sizeof clsidText);
        simShowPanelWindow(self);
        simApplyPanelChanges(clsidText);
    } else if (self->config.panelShowsWindow) {
        simShowPanel(self);
    } else {
        simApplyPanelChanges(self->clsidText);
    }
    return SIM_ASE_OK;
}

long SIM_THISCALL future(SimDevice *self, long selector, void *) {
    simLogCall(self, SIM_FUTURE, selector, 0);
    if (simCallFails(self, SIM_FUTURE))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    return SIM_ASE_INVALID_PARAMETER;
}

long SIM_THISCALL outputReady(SimDevice *self) {
    simLogCall(self, SIM_OUTPUT_READY, 0, 0);
    if (simCallFails(self, SIM_OUTPUT_READY))
        return SIM_ASE_HW_MALFUNCTION;
    if (simGoneAnswer(self) != SIM_ASE_OK)
        return simGoneAnswer(self);
    // One count per switch period in which the host said its outputs were ready.
    LONG switches = self->switches;
    if (simThreadRunning(self) && switches != self->readySwitchSeen) {
        self->readySwitchSeen = switches;
        InterlockedIncrement(&self->shared->outputReadyAfterSwitch);
    }
    LONG calls = ++self->outputReadyCalls;
    if (self->config.outputReady == 1 || (self->config.outputReady == 2 && calls <= 10))
        return SIM_ASE_OK;
    if (self->config.outputReady == 2)
        return SIM_ASE_HW_MALFUNCTION;
    return SIM_ASE_NOT_PRESENT;
}

}  // namespace

const SimDeviceVtbl simDeviceVtbl = {
    simQueryInterface, simAddRef, simRelease, init, getDriverName, getDriverVersion,
    getErrorMessage, start, stop, getChannels, getLatencies, getBufferSize, canSampleRate,
    getSampleRate, setSampleRate, getClockSources, setClockSource, getSamplePosition,
    getChannelInfo, createBuffers, disposeBuffers, controlPanel, future, outputReady,
};
