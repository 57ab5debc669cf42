// The registered ASIO drivers: found once, at the first dialog initialisation, and kept for the
// life of the process. All of it runs on the dialog's thread.
#pragma once

#include <windows.h>
#include <stdint.h>

struct IASIO;

enum {
    DRIVER_LIST_NO_DESTINATION = -5001,
    DRIVER_LIST_ALREADY_OPEN = -5002,
    DRIVER_LIST_NO_ENTRY = -5003,
};

enum {
    DRIVER_NAME_SIZE = 128,    // DriverEntry.name, NUL included
    DISPLAY_NAME_SIZE = 80,    // getEntryName's output buffer
    SERVER_PATH_SIZE = 512,    // findServerPath's output buffer
};

// One usable driver. Created zero-filled, never freed.
struct DriverEntry {
    int32_t index;                // position in the chain and in the drop-down list
    CLSID clsid;                  // all zero when the registry text does not parse
    char name[DRIVER_NAME_SIZE];  // "description", else the registry key name
    IASIO *driver;                // owned reference while this entry is open, else null
    DriverEntry *next;
};

struct DriverList {
    DriverEntry *head;
    int32_t count;
    int32_t currentIndex;  // the open entry, -1 when none
};

// The program-wide list; null until the first dialog initialisation.
extern DriverList *driverList;

// Fills head and count of an empty list from HKEY_LOCAL_MACHINE\software\asio, in enumeration
// order. Initialises COM on the calling thread when it found at least one driver.
void scanDrivers(DriverList *list);

// Appends the driver key `keyName` at the end of the chain starting at `entry` and returns the
// chain's first entry (a new one when the chain was empty). A key without a usable class adds
// nothing.
DriverEntry *appendEntry(HKEY parentKey, const char *keyName, int position, DriverEntry *entry);

// 0 when HKEY_CLASSES_ROOT\clsid\<clsidText>\InprocServer32 has a readable default value, else -1.
// clsidText is lower-cased in place; path (SERVER_PATH_SIZE characters) receives the value.
int findServerPath(char *clsidText, char *path);

// Display name of entry `index` of driverList, shortened to 76 characters and "..." when it has
// 80 or more. out holds DISPLAY_NAME_SIZE characters. 0, or DRIVER_LIST_NO_DESTINATION (out null)
// or DRIVER_LIST_NO_ENTRY (out left as it was).
int getEntryName(int index, char *out);

// The entry of driverList with that index, or null.
DriverEntry *findEntry(int index);
