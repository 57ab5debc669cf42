// The simulated driver object and the functions of the DLL that work on it.
#pragma once

#include "sim_asio_abi.h"
#include "sim_device.h"

#include <stddef.h>

enum {
    SIM_GUARD_BYTES = 64,
    SIM_SENTINEL = 0xA5,  // what an output holds before the host writes it
    SIM_MAX_ALLOCATION = 256 * 1024 * 1024,
};

// Distance between half-buffers: the samples, then at least SIM_GUARD_BYTES of guard.
inline size_t simGuardedStride(size_t halfBytes) {
    return (halfBytes + SIM_GUARD_BYTES + 15) & ~(size_t)15;
}

// What the zone behind a half-buffer holds. It differs between buffers, so that a host copying
// too far, guard and all, from an input into an output is caught too.
inline unsigned char simGuardByte(long element, int half) {
    unsigned char value = (unsigned char)(0x5A + 37 * element + 101 * half);
    return value == 0 || value == SIM_SENTINEL ? 0x5A : value;
}

// One element of the host's array, as it was at createBuffers.
struct SimElement {
    long isInput;
    long channelNum;
    int pair;  // outputs: index of the input element with the same channel number, or -1
    unsigned char *half[2];
};

struct SimBufferSet {
    SimElement *elements;  // null: no buffers
    long count;
    long frames;
    size_t halfBytes;   // bytes allocated per half (4 per sample for an unknown type)
    size_t checkBytes;  // bytes a host must copy per channel (0 for an unknown type)
    unsigned char *block;
    SimAsioCallbacks callbacks;
};

struct SimDevice {
    const SimDeviceVtbl *vtbl;  // first: this is what the host sees
    volatile LONG refs;
    CLSID clsid;
    char clsidText[40];
    SimConfig config;
    double sampleRate;
    SimShared *shared;  // the named record, or a private one when it cannot be made
    HANDLE mapping;
    LONG instance;
    HWND owner;
    char errorText[128];
    CRITICAL_SECTION lock;  // host calls from several threads take turns
    SimBufferSet buffers;
    HANDLE thread;
    DWORD threadId;
    HANDLE stopEvent;
    volatile LONG switches;  // since start, for the sample position
    volatile LONG orphaned;  // released from inside the callback: the switch thread cleans up
};

// sim_driver.cpp
SimDevice *simDeviceCreate(const CLSID &clsid);  // refs = 1; null when not configured
void simDeviceDestroy(SimDevice *device);
void simLogCall(SimDevice *device, int op, long a, long b);
bool simOnSwitchThread(const SimDevice *device);

// sim_buffers.cpp
long simCreateBuffers(SimDevice *device, SimAsioBufferInfo *infos, long count, long frames,
                      const SimAsioCallbacks *callbacks);
void simFreeBuffers(SimBufferSet *set);

// sim_sample_types.cpp: bytes per sample of a type, 0 when unknown
int simSampleBytes(long type);

// sim_switch_thread.cpp
long simStartThread(SimDevice *device);
void simStopThread(SimDevice *device);
bool simThreadRunning(const SimDevice *device);

// sim_panel.cpp
void simShowPanel(SimDevice *device);

// sim_dll.cpp: objects and factories alive, for DllCanUnloadNow
void simModuleAddRef();
void simModuleRelease();
HMODULE simModuleHandle();
void simClsidToText(const CLSID &clsid, char *out, int outSize);
