// The driver object: its life and the slots of the interface. Every slot logs itself first and
// tolerates null arguments and any order of calls: the device must never be the one that crashes.
#include "sim_object.h"

#include <objbase.h>
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

struct DeviceLock {
    explicit DeviceLock(SimDevice *device) : device(device) { EnterCriticalSection(&device->lock); }
    ~DeviceLock() { LeaveCriticalSection(&device->lock); }
    SimDevice *device;
};

HRESULT SIM_STDCALL queryInterface(SimDevice *self, const IID *iid, void **out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!iid || (!IsEqualGUID(*iid, IID_IUnknown) && !IsEqualGUID(*iid, self->clsid)))
        return E_NOINTERFACE;
    InterlockedIncrement(&self->refs);
    *out = self;
    return S_OK;
}

ULONG SIM_STDCALL addRef(SimDevice *self) {
    return (ULONG)InterlockedIncrement(&self->refs);
}

ULONG SIM_STDCALL release(SimDevice *self) {
    LONG refs = InterlockedDecrement(&self->refs);
    if (refs != 0)
        return (ULONG)refs;
    if (simOnSwitchThread(self)) {
        // The callback still runs on the switch thread: it finishes and cleans up after it returns.
        self->orphaned = 1;
        SetEvent(self->stopEvent);
    } else {
        simDeviceDestroy(self);
    }
    return 0;
}

long SIM_THISCALL init(SimDevice *self, void *sysHandle) {
    simLogCall(self, SIM_INIT, sysHandle != nullptr, 0);
    self->owner = (HWND)sysHandle;
    if (self->config.initError[0]) {
        copyText(self->errorText, sizeof self->errorText, self->config.initError);
        return 0;
    }
    self->errorText[0] = 0;
    return 1;
}

void SIM_THISCALL getDriverName(SimDevice *self, char *name) {
    simLogCall(self, SIM_GET_DRIVER_NAME, 0, 0);
    if (!name)
        return;
    const char *configured = self->config.driverName;
    if (self->config.nameUnterminated) {
        size_t length = strlen(configured);
        for (int i = 0; i < 32; i++)
            name[i] = (size_t)i < length ? configured[i] : 'X';
        return;
    }
    copyText(name, 32, configured);
}

long SIM_THISCALL getDriverVersion(SimDevice *self) {
    simLogCall(self, SIM_GET_DRIVER_VERSION, 0, 0);
    return self->config.driverVersion;
}

void SIM_THISCALL getErrorMessage(SimDevice *self, char *text) {
    simLogCall(self, SIM_GET_ERROR_MESSAGE, 0, 0);
    if (text)
        copyText(text, 124, self->errorText);
}

long SIM_THISCALL start(SimDevice *self) {
    long result;
    if (simOnSwitchThread(self)) {
        result = SIM_ASE_OK;  // already running: it is the caller
    } else {
        DeviceLock lock(self);
        if (self->config.startFails)
            result = SIM_ASE_HW_MALFUNCTION;
        else if (!self->buffers.elements)
            result = SIM_ASE_NOT_PRESENT;
        else
            result = simStartThread(self);
    }
    simLogCall(self, SIM_START, result, 0);
    return result;
}

long SIM_THISCALL stop(SimDevice *self) {
    simLogCall(self, SIM_STOP, 0, 0);
    if (simOnSwitchThread(self)) {
        SetEvent(self->stopEvent);  // the thread ends once the callback has returned
        return SIM_ASE_OK;
    }
    DeviceLock lock(self);
    simStopThread(self);
    return SIM_ASE_OK;
}

long SIM_THISCALL getChannels(SimDevice *self, long *inputs, long *outputs) {
    simLogCall(self, SIM_GET_CHANNELS, 0, 0);
    if (!inputs || !outputs)
        return SIM_ASE_INVALID_PARAMETER;
    *inputs = self->config.inputs;
    *outputs = self->config.outputs;
    return SIM_ASE_OK;
}

long SIM_THISCALL getLatencies(SimDevice *self, long *inputLatency, long *outputLatency) {
    simLogCall(self, SIM_GET_LATENCIES, 0, 0);
    if (!inputLatency || !outputLatency)
        return SIM_ASE_INVALID_PARAMETER;
    long frames = self->buffers.elements ? self->buffers.frames : self->config.preferredSize;
    *inputLatency = frames;
    *outputLatency = frames;
    return SIM_ASE_OK;
}

long SIM_THISCALL getBufferSize(SimDevice *self, long *minSize, long *maxSize, long *preferredSize,
                                long *granularity) {
    simLogCall(self, SIM_GET_BUFFER_SIZE, 0, 0);
    if (!minSize || !maxSize || !preferredSize || !granularity)
        return SIM_ASE_INVALID_PARAMETER;
    *minSize = self->config.minSize;
    *maxSize = self->config.maxSize;
    *preferredSize = self->config.preferredSize;
    *granularity = self->config.granularity;
    return SIM_ASE_OK;
}

long SIM_THISCALL canSampleRate(SimDevice *self, double rate) {
    simLogCall(self, SIM_CAN_SAMPLE_RATE, logNumber(rate), 0);
    return rate == self->sampleRate ? SIM_ASE_OK : SIM_ASE_NO_CLOCK;
}

long SIM_THISCALL getSampleRate(SimDevice *self, double *rate) {
    simLogCall(self, SIM_GET_SAMPLE_RATE, 0, 0);
    if (!rate)
        return SIM_ASE_INVALID_PARAMETER;
    *rate = self->sampleRate;
    return SIM_ASE_OK;
}

// 0 asks for the external clock, which this device takes to be its own.
long SIM_THISCALL setSampleRate(SimDevice *self, double rate) {
    simLogCall(self, SIM_SET_SAMPLE_RATE, logNumber(rate), 0);
    return rate == self->sampleRate || rate == 0 ? SIM_ASE_OK : SIM_ASE_NO_CLOCK;
}

long SIM_THISCALL getClockSources(SimDevice *self, SimAsioClockSource *clocks, long *count) {
    simLogCall(self, SIM_GET_CLOCK_SOURCES, count ? *count : 0, 0);
    if (!clocks || !count)
        return SIM_ASE_INVALID_PARAMETER;
    if (*count < 1) {
        *count = 0;
        return SIM_ASE_INVALID_PARAMETER;
    }
    memset(clocks, 0, sizeof *clocks);
    clocks->associatedChannel = -1;
    clocks->associatedGroup = -1;
    clocks->isCurrentSource = 1;
    copyText(clocks->name, sizeof clocks->name, "Internal");
    *count = 1;
    return SIM_ASE_OK;
}

long SIM_THISCALL setClockSource(SimDevice *self, long reference) {
    simLogCall(self, SIM_SET_CLOCK_SOURCE, reference, 0);
    return reference == 0 ? SIM_ASE_OK : SIM_ASE_INVALID_PARAMETER;
}

long SIM_THISCALL getSamplePosition(SimDevice *self, SimAsioSamples *position,
                                    SimAsioSamples *stamp) {
    simLogCall(self, SIM_GET_SAMPLE_POSITION, 0, 0);
    if (!position || !stamp)
        return SIM_ASE_INVALID_PARAMETER;
    unsigned long long frames = (unsigned long long)self->switches * (unsigned long)self->buffers.frames;
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    unsigned long long nanoseconds =
        (unsigned long long)((double)now.QuadPart * 1e9 / (double)frequency.QuadPart);
    position->hi = (unsigned long)(frames >> 32);
    position->lo = (unsigned long)frames;
    stamp->hi = (unsigned long)(nanoseconds >> 32);
    stamp->lo = (unsigned long)nanoseconds;
    return simThreadRunning(self) ? SIM_ASE_OK : SIM_ASE_SP_NOT_ADVANCING;
}

long SIM_THISCALL getChannelInfo(SimDevice *self, SimAsioChannelInfo *info) {
    if (!info) {
        simLogCall(self, SIM_GET_CHANNEL_INFO, 0, 0);
        return SIM_ASE_INVALID_PARAMETER;
    }
    simLogCall(self, SIM_GET_CHANNEL_INFO, info->channel, info->isInput);
    info->type = self->config.sampleType;
    long channels = info->isInput ? self->config.inputs : self->config.outputs;
    if (info->channel < 0 || info->channel >= channels)
        return SIM_ASE_INVALID_PARAMETER;
    info->isActive = 0;
    for (long i = 0; i < self->buffers.count && self->buffers.elements; i++) {
        const SimElement &element = self->buffers.elements[i];
        if (!element.isInput == !info->isInput && element.channelNum == info->channel)
            info->isActive = 1;
    }
    info->channelGroup = 0;
    snprintf(info->name, sizeof info->name, "Sim %s %ld", info->isInput ? "In" : "Out",
             info->channel + 1);
    return SIM_ASE_OK;
}

long SIM_THISCALL createBuffers(SimDevice *self, SimAsioBufferInfo *infos, long count,
                                long bufferSize, SimAsioCallbacks *callbacks) {
    simLogCall(self, SIM_CREATE_BUFFERS, count, bufferSize);
    if (simOnSwitchThread(self))
        return SIM_ASE_INVALID_MODE;  // its own buffers are in use by the caller
    DeviceLock lock(self);
    return simCreateBuffers(self, infos, count, bufferSize, callbacks);
}

long SIM_THISCALL disposeBuffers(SimDevice *self) {
    simLogCall(self, SIM_DISPOSE_BUFFERS, 0, 0);
    if (simOnSwitchThread(self))
        return SIM_ASE_INVALID_MODE;
    DeviceLock lock(self);
    simStopThread(self);
    simFreeBuffers(&self->buffers);
    return SIM_ASE_OK;
}

long SIM_THISCALL controlPanel(SimDevice *self) {
    simLogCall(self, SIM_CONTROL_PANEL, 0, 0);
    if (self->config.panelDelayMs > 0)
        Sleep((DWORD)self->config.panelDelayMs);
    if (self->config.panelShowsWindow)
        simShowPanel(self);
    else
        simApplyPanelChanges(self->clsidText);
    return SIM_ASE_OK;
}

long SIM_THISCALL future(SimDevice *self, long selector, void *) {
    simLogCall(self, SIM_FUTURE, selector, 0);
    return SIM_ASE_INVALID_PARAMETER;
}

long SIM_THISCALL outputReady(SimDevice *self) {
    simLogCall(self, SIM_OUTPUT_READY, 0, 0);
    return SIM_ASE_NOT_PRESENT;
}

const SimDeviceVtbl kDeviceVtbl = {
    queryInterface, addRef, release, init, getDriverName, getDriverVersion, getErrorMessage,
    start, stop, getChannels, getLatencies, getBufferSize, canSampleRate, getSampleRate,
    setSampleRate, getClockSources, setClockSource, getSamplePosition, getChannelInfo,
    createBuffers, disposeBuffers, controlPanel, future, outputReady,
};

SimShared *privateRecord() {
    return (SimShared *)VirtualAlloc(nullptr, sizeof(SimShared), MEM_COMMIT | MEM_RESERVE,
                                     PAGE_READWRITE);
}

}  // namespace

void simLogCall(SimDevice *device, int op, long a, long b) {
    SimShared *shared = device->shared;
    LONG index = InterlockedIncrement(&shared->callCount) - 1;
    if (index < 0 || index >= SIM_MAX_CALLS)
        return;
    SimCall &call = shared->calls[index];
    call.instance = device->instance;
    call.op = op;
    call.a = a;
    call.b = b;
}

bool simOnSwitchThread(const SimDevice *device) {
    return device->thread && GetCurrentThreadId() == device->threadId &&
           WaitForSingleObject(device->thread, 0) == WAIT_TIMEOUT;
}

SimDevice *simDeviceCreate(const CLSID &clsid) {
    auto *device = (SimDevice *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SimDevice));
    if (!device)
        return nullptr;
    device->vtbl = &kDeviceVtbl;
    device->refs = 1;
    device->clsid = clsid;
    simClsidToText(clsid, device->clsidText, sizeof device->clsidText);
    device->stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    device->shared = simOpenShared(device->clsidText, false, &device->mapping);
    if (!device->shared)
        device->shared = privateRecord();
    if (simReadConfig(device->clsidText, &device->config) || !device->stopEvent ||
        !device->shared) {
        if (device->stopEvent)
            CloseHandle(device->stopEvent);
        if (device->mapping)
            simCloseShared(device->shared, device->mapping);
        else if (device->shared)
            VirtualFree(device->shared, 0, MEM_RELEASE);
        HeapFree(GetProcessHeap(), 0, device);
        return nullptr;
    }
    device->sampleRate = strtod(device->config.sampleRate, nullptr);
    InitializeCriticalSection(&device->lock);
    device->instance = InterlockedIncrement(&device->shared->instancesCreated);
    InterlockedIncrement(&device->shared->instancesAlive);
    simModuleAddRef();
    simLogCall(device, SIM_CREATED, device->instance, 0);
    return device;
}

// A host that forgets stop must not leave a thread calling into it, so the thread goes first.
void simDeviceDestroy(SimDevice *device) {
    if (!simOnSwitchThread(device))
        simStopThread(device);
    simFreeBuffers(&device->buffers);
    simLogCall(device, SIM_RELEASED, device->instance, 0);
    InterlockedDecrement(&device->shared->instancesAlive);
    if (device->thread)
        CloseHandle(device->thread);
    CloseHandle(device->stopEvent);
    DeleteCriticalSection(&device->lock);
    if (device->mapping)
        simCloseShared(device->shared, device->mapping);
    else
        VirtualFree(device->shared, 0, MEM_RELEASE);
    HeapFree(GetProcessHeap(), 0, device);
    simModuleRelease();
}
