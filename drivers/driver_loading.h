// Keeps at most one ASIO driver open, and gives every driver call its outcome when no driver is
// active. Dialog thread only.
#pragma once

#include "drivers/asio_interface.h"

// The current driver, or null. A non-owning copy of the open entry's reference: only
// closeCurrentDriver releases, through the entry.
extern IASIO *activeDriver;

// Called with the call's name ("stop()") before every call into a driver made here, and with null
// after it: the checker's worker tells its parent which call it is in, so that a call that never
// returns or crashes can be named. Null in the dialog.
extern void (*driverCallWatch)(const char *call);
// The same for a call into the driver that the caller makes itself.
void watchDriverCall(const char *call);

// Creates the COM object of entry `index` and makes it current. False when there is no such entry,
// it is already open, or the class cannot be created (activeDriver is then null).
bool openDriver(int index);
// openDriver with the reason: 0, DRIVER_LIST_NO_ENTRY, DRIVER_LIST_ALREADY_OPEN, or the creation
// call's HRESULT (E_POINTER when it claimed success but gave no object).
long openDriverEntry(int index);

// Releases the current entry's object, if any; afterwards no entry is current and no driver active.
// The references Release says are left (0 when it let go, and when nothing was open).
unsigned long closeCurrentDriver();

// Initialises activeDriver with info->sysRef and fills info. ASE_OK, or ASE_NotPresent when there
// is no driver or its init failed (then activeDriver is null; the entry still holds the object).
ASIOError initDriver(ASIODriverInfo *info);

// Driver calls through activeDriver, with the driver's answer. With no active driver the driver
// is not called, the answer is ASE_NotPresent and the outputs get fixed defaults: sizes, counts and
// latencies 0, the rate untouched, channel info with group -1, type 0 and name "None", no clock
// sources, every buffer address null. The dialog ignores the answers; the checker shows them.
ASIOError asioGetBufferSize(long *minSize, long *maxSize, long *preferredSize, long *granularity);
ASIOError asioGetChannels(long *inputs, long *outputs);
ASIOError asioGetLatencies(long *inputLatency, long *outputLatency);
ASIOError asioCanSampleRate(ASIOSampleRate rate);
ASIOError asioGetSampleRate(ASIOSampleRate *rate);
ASIOError asioSetSampleRate(ASIOSampleRate rate);
// *count holds the room of `clocks` on the way in and the driver's number on the way out.
ASIOError asioGetClockSources(ASIOClockSource *clocks, long *count);
ASIOError asioGetChannelInfo(ASIOChannelInfo *info);
ASIOError asioCreateBuffers(ASIOBufferInfo *infos, long count, long bufferSize,
                            ASIOCallbacks *callbacks);
ASIOError asioStart();
ASIOError asioStop();
ASIOError asioDisposeBuffers();
ASIOError asioControlPanel();
ASIOError asioGetSamplePosition(ASIOSamples *position, ASIOTimeStamp *stamp);
ASIOError asioOutputReady();
