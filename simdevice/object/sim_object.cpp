// The driver object's life and its two COM faces: the driver interface, handed out only under
// the class identifier, and a bare IUnknown face in the same allocation, as real drivers have.
#include "object.h"

#include <objbase.h>
#include <stdlib.h>
#include <string.h>

namespace {

const int kDriverFace = 0, kUnknownFace = 1;

SimDevice *fromUnknownFace(void *face) {
    return (SimDevice *)((char *)face - offsetof(SimDevice, unknownVtbl));
}

void countQuery(SimShared *shared, int asked) {
    if (asked == SIM_ASKED_CLSID)
        InterlockedIncrement(&shared->queryForClsid);
    else if (asked == SIM_ASKED_UNKNOWN)
        InterlockedIncrement(&shared->queryForUnknown);
    else
        InterlockedIncrement(&shared->queryForOther);
}

HRESULT queryFrom(SimDevice *self, int face, const IID *iid, void **out) {
    int asked = simAsked(self, iid);
    countQuery(self->shared, asked);
    if (simInWindowHere(self))
        simLogCall(self, SIM_QUERY_INTERFACE, asked, face);
    if (!out)
        return E_POINTER;
    *out = simFace(self, asked);
    if (!*out)
        return E_NOINTERFACE;
    InterlockedIncrement(&self->refs);
    return S_OK;
}

ULONG addRefFrom(SimDevice *self, int face) {
    LONG refs = InterlockedIncrement(&self->refs);
    if (simInWindowHere(self))
        simLogCall(self, SIM_ADD_REF, refs, face);
    return (ULONG)refs;
}

ULONG releaseFrom(SimDevice *self, int face) {
    // Read before the count drops: afterwards another thread may destroy the object. On the
    // window's thread it cannot, since the window's call holds it.
    bool inWindow = simInWindowHere(self);
    LONG refs = InterlockedDecrement(&self->refs);
    if (refs == 0) {
        simSecondFault(self, SIM_RELEASED);
        simFaultOrFail(self->config, SIM_RELEASED, self->shared->opCounts[SIM_RELEASED] + 1);
    }
    if (refs == 0 && self->config.keepsReference) {
        refs = InterlockedIncrement(&self->refs);  // nobody else holds it: back to 1
        simLogCall(self, SIM_RELEASE, refs, face);
        return (ULONG)refs;
    }
    if (inWindow)
        simLogCall(self, SIM_RELEASE, refs, face);
    if (refs != 0)
        return (ULONG)refs;
    if (simOnSwitchThread(self)) {
        // The callback still runs on the switch thread: it finishes and cleans up after it returns.
        self->orphaned = 1;
        SetEvent(self->stopEvent);
    } else {
        simDestroyUnlessHeld(self);
    }
    return 0;
}

HRESULT SIM_STDCALL unknownQueryInterface(void *face, const IID *iid, void **out) {
    return queryFrom(fromUnknownFace(face), kUnknownFace, iid, out);
}

ULONG SIM_STDCALL unknownAddRef(void *face) {
    return addRefFrom(fromUnknownFace(face), kUnknownFace);
}

ULONG SIM_STDCALL unknownRelease(void *face) {
    return releaseFrom(fromUnknownFace(face), kUnknownFace);
}

const SimUnknownVtbl kUnknownVtbl = {unknownQueryInterface, unknownAddRef, unknownRelease};

SimShared *privateRecord() {
    auto *shared = (SimShared *)VirtualAlloc(nullptr, sizeof(SimShared), MEM_COMMIT | MEM_RESERVE,
                                             PAGE_READWRITE);
    for (int s = 0; shared && s < SIM_SELECTORS; s++)
        shared->supportedAnswers[s] = shared->messageAnswers[s] = -1;
    return shared;
}

}  // namespace

int simAsked(const CLSID &clsid, const IID *iid) {
    if (iid && IsEqualGUID(*iid, clsid))
        return SIM_ASKED_CLSID;
    if (iid && IsEqualGUID(*iid, IID_IUnknown))
        return SIM_ASKED_UNKNOWN;
    return SIM_ASKED_OTHER;
}

int simAsked(const SimDevice *device, const IID *iid) {
    return simAsked(device->clsid, iid);
}

void *simFace(SimDevice *device, int asked) {
    if (asked == SIM_ASKED_CLSID)
        return device;
    if (asked == SIM_ASKED_UNKNOWN)
        return &device->unknownVtbl;
    return nullptr;
}

HRESULT SIM_STDCALL simQueryInterface(SimDevice *device, const IID *iid, void **out) {
    return queryFrom(device, kDriverFace, iid, out);
}

ULONG SIM_STDCALL simAddRef(SimDevice *device) {
    return addRefFrom(device, kDriverFace);
}

ULONG SIM_STDCALL simRelease(SimDevice *device) {
    return releaseFrom(device, kDriverFace);
}

SimDevice *simDeviceCreate(const CLSID &clsid) {
    auto *device = (SimDevice *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SimDevice));
    if (!device)
        return nullptr;
    device->vtbl = &simDeviceVtbl;
    device->destroy = simDeviceDestroy;
    device->unknownVtbl = &kUnknownVtbl;
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
    device->clockRate = device->sampleRate;
    simParseLists(device);
    InitializeCriticalSection(&device->lock);
    InitializeCriticalSection(&device->holdLock);
    device->madeInProcess = simCountObjectOfClass(clsid);
    InterlockedExchange(&device->shared->objectsInProcess, device->madeInProcess);
    device->readySwitchSeen = -1;
    device->second = simIsSecondClient(device->shared);
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
    simSecondEnds(device);
    simOwnerStopped(device);
    simLogCall(device, SIM_RELEASED, device->instance, 0);
    InterlockedDecrement(&device->shared->instancesAlive);
    if (device->thread)
        CloseHandle(device->thread);
    CloseHandle(device->stopEvent);
    DeleteCriticalSection(&device->holdLock);
    DeleteCriticalSection(&device->lock);
    if (device->mapping)
        simCloseShared(device->shared, device->mapping);
    else
        VirtualFree(device->shared, 0, MEM_RELEASE);
    HeapFree(GetProcessHeap(), 0, device);
    simModuleRelease();
}
