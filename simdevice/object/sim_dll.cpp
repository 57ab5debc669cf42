// The COM server: exported entry points, the class factory and the registration of the default
// device. One factory serves every class that has a "Simulation" key, so one DLL is many devices.
#include "object.h"

#include <objbase.h>
#include <olectl.h>
#include <stdio.h>

namespace {

struct SimFactory;

struct SimFactoryVtbl {
    HRESULT (SIM_STDCALL *QueryInterface)(SimFactory *self, const IID *iid, void **out);
    ULONG (SIM_STDCALL *AddRef)(SimFactory *self);
    ULONG (SIM_STDCALL *Release)(SimFactory *self);
    HRESULT (SIM_STDCALL *CreateInstance)(SimFactory *self, IUnknown *outer, const IID *iid,
                                          void **out);
    HRESULT (SIM_STDCALL *LockServer)(SimFactory *self, BOOL lock);
};

struct SimFactory {
    const SimFactoryVtbl *vtbl;
    volatile LONG refs;
    CLSID clsid;
    SimShared *shared;  // the device's record, where requests are counted; may be null
    HANDLE mapping;
};

HRESULT SIM_STDCALL factoryQueryInterface(SimFactory *self, const IID *iid, void **out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!iid || (!IsEqualGUID(*iid, IID_IUnknown) && !IsEqualGUID(*iid, IID_IClassFactory)))
        return E_NOINTERFACE;
    InterlockedIncrement(&self->refs);
    *out = self;
    return S_OK;
}

ULONG SIM_STDCALL factoryAddRef(SimFactory *self) {
    return (ULONG)InterlockedIncrement(&self->refs);
}

ULONG SIM_STDCALL factoryRelease(SimFactory *self) {
    LONG refs = InterlockedDecrement(&self->refs);
    if (refs == 0) {
        simCloseShared(self->shared, self->mapping);
        HeapFree(GetProcessHeap(), 0, self);
        simModuleRelease();
    }
    return (ULONG)refs;
}

void countCreate(SimShared *shared, int asked) {
    if (!shared)
        return;
    if (asked == SIM_ASKED_CLSID)
        InterlockedIncrement(&shared->createForClsid);
    else if (asked == SIM_ASKED_UNKNOWN)
        InterlockedIncrement(&shared->createForUnknown);
    else
        InterlockedIncrement(&shared->createForOther);
}

// CreateInstance calls so far, this one included.
LONG createCalls(const SimShared *shared) {
    if (!shared)
        return 1;
    return shared->createForClsid + shared->createForUnknown + shared->createForOther;
}

// "CreateDelayMs", and the faults planted in "create". True: the call fails.
bool createFails(SimFactory *self) {
    char text[40];
    simClsidToText(self->clsid, text, sizeof text);
    SimConfig config;
    if (simReadConfig(text, &config))
        return false;
    if (config.createDelayMs > 0)
        Sleep((DWORD)config.createDelayMs);
    return simFaultOrFail(config, SIM_CREATED, createCalls(self->shared));
}

// Hosts ask for the driver interface under the driver's own class identifier; IID_IUnknown gets
// the object's bare IUnknown face.
HRESULT SIM_STDCALL factoryCreateInstance(SimFactory *self, IUnknown *outer, const IID *iid,
                                          void **out) {
    int asked = simAsked(self->clsid, iid);
    countCreate(self->shared, asked);
    if (createFails(self)) {
        if (out)
            *out = nullptr;
        return E_FAIL;
    }
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    if (asked == SIM_ASKED_OTHER)
        return E_NOINTERFACE;
    SimDevice *device = simDeviceCreate(self->clsid);
    if (!device)
        return E_OUTOFMEMORY;
    *out = simFace(device, asked);
    return S_OK;
}

HRESULT SIM_STDCALL factoryLockServer(SimFactory *, BOOL lock) {
    if (lock)
        simModuleAddRef();
    else
        simModuleRelease();
    return S_OK;
}

const SimFactoryVtbl kFactoryVtbl = {
    factoryQueryInterface, factoryAddRef, factoryRelease, factoryCreateInstance, factoryLockServer,
};

bool classIsSimulated(const CLSID &clsid) {
    char text[40], path[100];
    simClsidToText(clsid, text, sizeof text);
    snprintf(path, sizeof path, "Software\\Classes\\CLSID\\%s\\Simulation", text);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        simModuleSetHandle(instance);
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID *out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!classIsSimulated(clsid))
        return CLASS_E_CLASSNOTAVAILABLE;
    if (!IsEqualGUID(iid, IID_IClassFactory) && !IsEqualGUID(iid, IID_IUnknown))
        return E_NOINTERFACE;
    auto *factory = (SimFactory *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SimFactory));
    if (!factory)
        return E_OUTOFMEMORY;
    factory->vtbl = &kFactoryVtbl;
    factory->refs = 1;
    factory->clsid = clsid;
    char text[40];
    simClsidToText(clsid, text, sizeof text);
    factory->shared = simOpenShared(text, false, &factory->mapping);
    simModuleAddRef();
    *out = factory;
    return S_OK;
}

STDAPI DllCanUnloadNow() {
    return simModuleIdle() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(simModuleHandle(), path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return SELFREG_E_CLASS;
    SimConfig config;
    simDefaultConfig(&config);
    config.panelShowsWindow = 1;
    long error = simRegisterDevice(SIM_DEFAULT_NAME, SIM_DEFAULT_CLSID, path, &config);
    return error ? HRESULT_FROM_WIN32(error) : S_OK;
}

STDAPI DllUnregisterServer() {
    long error = simUnregisterDevice(SIM_DEFAULT_NAME, SIM_DEFAULT_CLSID);
    return error ? HRESULT_FROM_WIN32(error) : S_OK;
}
