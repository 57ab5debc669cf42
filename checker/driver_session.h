// The driver a command works on: found in the list the dialog shows, opened and initialised with a
// hidden window as its system reference, and closed again. Main thread.
#pragma once

#include "drivers/asio_interface.h"

#include <stddef.h>

// Scans the registry once, as the dialog does; COM is initialised when a driver was found.
void loadDriverList();
// DRIVER as a list index or an unambiguous, case-insensitive part of an entry's name (a name equal
// to it as a whole wins over names that only contain it). 0 with *index set, or EXIT_USAGE with the
// choices on stderr.
int findDriver(const char *text, int *index);
// "0x80040154 (Class not registered)": an HRESULT with the system's text for it.
const char *comResultText(long result, char *out, size_t size);
// Opens and initialises entry `index` with a hidden top-level window as its system reference, and
// notes what it gave and the times of both in openedDriver (results.h), handed to the parent. 0, or
// EXIT_DRIVER with the COM result or the driver's own error message.
int openChosenDriver(int index);
// Remembers the rate to set back before the driver is closed: a run that changes the rate sets it
// back whatever happens after (drivers keep, often persist, the last rate).
void rememberRateToRestore(double rate);
// Sets a remembered rate back, releases the driver (its buffers disposed before) and destroys the
// window. The references the driver's Release said were left: 0 when it let go.
unsigned long closeChosenDriver();
// The chosen driver as the output names it: index, list name, class.
void printDriverHeading(int index);
void jsonDriver(int index);
// Waits `ms` milliseconds while dispatching the thread's messages: drivers post to their windows,
// and COM's apartment needs its messages too.
void pumpMessages(unsigned long ms);
