// The host-facing object: its life and its two COM faces, the driver's slots, and the DLL's entry
// points (the class factory, registration). The top of the device: it calls the panel, the stream
// and the core, and nothing calls it but COM and the host.
#pragma once

#include "../panel/panel.h"
#include "../stream/stream.h"

// sim_object.cpp: life and COM identity
// A new object with one reference (on the driver face), or null when the class has no
// configuration. Reads the registry; any thread.
SimDevice *simDeviceCreate(const CLSID &clsid);
// Stops the switch thread (unless called on it), frees everything, logs SIM_RELEASED.
void simDeviceDestroy(SimDevice *device);
// What an interface identifier is to a device of that class (SIM_ASKED_*); null is "other".
int simAsked(const CLSID &clsid, const IID *iid);
int simAsked(const SimDevice *device, const IID *iid);
// The face that answers SIM_ASKED_*: the object itself, its IUnknown face, or null. No AddRef.
void *simFace(SimDevice *device, int asked);
// Slots 0..2 of the driver face; the IUnknown face has its own three, on the same count.
HRESULT SIM_STDCALL simQueryInterface(SimDevice *device, const IID *iid, void **out);
ULONG SIM_STDCALL simAddRef(SimDevice *device);
ULONG SIM_STDCALL simRelease(SimDevice *device);

// sim_driver.cpp: the driver face's 24 slots.
extern const SimDeviceVtbl simDeviceVtbl;
