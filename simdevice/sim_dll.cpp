// The COM server: exported entry points, the class factory and the registration of the default
// device. One factory serves every class that has a "Simulation" key, so one DLL is many devices.
#include "sim_object.h"

#include <objbase.h>
#include <olectl.h>
#include <stdio.h>

namespace {

HMODULE g_module;
volatile LONG g_alive;  // objects, factories and server locks

struct ClassCount {
    CLSID clsid;
    LONG made;
};
ClassCount g_classCounts[64];  // objects made in this process, per class
int g_classesCounted;
SRWLOCK g_classCountLock = SRWLOCK_INIT;

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

void simModuleAddRef() {
    InterlockedIncrement(&g_alive);
}

void simModuleRelease() {
    InterlockedDecrement(&g_alive);
}

HMODULE simModuleHandle() {
    return g_module;
}

LONG simCountObjectOfClass(const CLSID &clsid) {
    AcquireSRWLockExclusive(&g_classCountLock);
    int i = 0;
    while (i < g_classesCounted && !IsEqualGUID(g_classCounts[i].clsid, clsid))
        i++;
    if (i == g_classesCounted && i < (int)(sizeof g_classCounts / sizeof g_classCounts[0])) {
        g_classCounts[i].clsid = clsid;
        g_classCounts[i].made = 0;
        g_classesCounted++;
    }
    LONG made = i < g_classesCounted ? ++g_classCounts[i].made : 0;
    ReleaseSRWLockExclusive(&g_classCountLock);
    return made;
}

void simClsidToText(const CLSID &c, char *out, int outSize) {
    snprintf(out, outSize, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             (unsigned long)c.Data1, c.Data2, c.Data3, c.Data4[0], c.Data4[1], c.Data4[2],
             c.Data4[3], c.Data4[4], c.Data4[5], c.Data4[6], c.Data4[7]);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        g_module = instance;
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
    return g_alive == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(g_module, path, sizeof path);
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
