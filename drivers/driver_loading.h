// Keeps at most one ASIO driver open, and gives every driver call its outcome when no driver is
// active. Dialog thread only.
#pragma once

#include "drivers/asio_interface.h"

// The current driver, or null. A non-owning copy of the open entry's reference: only
// closeCurrentDriver releases, through the entry.
extern IASIO *activeDriver;

// Creates the COM object of entry `index` and makes it current. False when there is no such entry,
// it is already open, or the class cannot be created (activeDriver is then null).
bool openDriver(int index);

// Releases the current entry's object, if any; afterwards no entry is current and no driver active.
void closeCurrentDriver();

// Initialises activeDriver with info->sysRef and fills info. ASE_OK, or ASE_NotPresent when there
// is no driver or its init failed (then activeDriver is null; the entry still holds the object).
ASIOError initDriver(ASIODriverInfo *info);

// Driver calls through activeDriver. With no active driver the driver is not called and the
// outputs get fixed defaults: sizes and counts 0, the rate untouched, channel info with group -1,
// type 0 and name "None", every buffer address null.
void asioGetBufferSize(long *minSize, long *maxSize, long *preferredSize, long *granularity);
void asioGetChannels(long *inputs, long *outputs);
void asioGetSampleRate(ASIOSampleRate *rate);
void asioGetChannelInfo(ASIOChannelInfo *info);
void asioCreateBuffers(ASIOBufferInfo *infos, long count, long bufferSize, ASIOCallbacks *callbacks);
void asioStart();
void asioStop();
void asioDisposeBuffers();
void asioControlPanel();
