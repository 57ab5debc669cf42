// The registered ASIO drivers: found once, when the dialog or the checker first needs them, and
// kept for the life of the process. All of it runs on the dialog's thread.
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
    SERVER_PATH_SIZE = 512,    // bytes findServerPath reads; its output buffer holds one more
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

// The program-wide list; null until createDriverList made it.
extern DriverList *driverList;

// Makes driverList once per process: allocated, scanned (scanDrivers) and with no entry open;
// later calls do nothing. Without memory for it driverList stays null, which every user of the
// list takes as an empty list. Never freed.
void createDriverList();

// Fills head and count of an empty list from HKEY_LOCAL_MACHINE\software\asio, in enumeration
// order. Initialises COM on the calling thread when it found at least one driver.
void scanDrivers(DriverList *list);

// Appends the driver key `keyName` at the end of the chain starting at `entry` and returns the
// chain's first entry (a new one when the chain was empty). A key without a usable class adds
// nothing: exactly the keys examineDriverKey finds listed make entries.
DriverEntry *appendEntry(HKEY parentKey, const char *keyName, int position, DriverEntry *entry);

// Why the scan takes or skips a driver key.
enum DriverKeyVerdict {
    DRIVER_KEY_LISTED = 0,
    DRIVER_KEY_NOT_OPENED,            // the key cannot be opened for reading
    DRIVER_KEY_NO_CLSID,              // no readable "clsid" value
    DRIVER_KEY_CLASS_NOT_REGISTERED,  // no HKEY_CLASSES_ROOT\clsid key of that name
    DRIVER_KEY_NO_SERVER,             // the class has no InprocServer32 key or no readable default
};

// What the scan reads of one driver key.
struct DriverKeyReport {
    DriverKeyVerdict verdict;
    char clsidText[256 + 1];          // the "clsid" value, lower-cased; "" when unreadable
    char path[SERVER_PATH_SIZE + 1];  // the server path, when the class has one
    char name[256 + 1];               // listed keys: "description", else the key name
};

// Examines driver key `keyName` under `parentKey` as the scan does and says why it is listed or
// skipped; appendEntry decides by it, so the two never disagree. Returns report->verdict.
DriverKeyVerdict examineDriverKey(HKEY parentKey, const char *keyName, DriverKeyReport *report);

// 0 when HKEY_CLASSES_ROOT\clsid\<clsidText>\InprocServer32 has a default value of at most
// SERVER_PATH_SIZE bytes, else -1. clsidText is lower-cased in place; path (SERVER_PATH_SIZE + 1
// characters) receives the value, always terminated. A text of hex digits, braces and hyphens
// opens its class key by name; any other text takes findServerPathByEnumeration's way, and either
// way the outcome is the same.
int findServerPath(char *clsidText, char *path);

// The same lookup by enumerating HKEY_CLASSES_ROOT\clsid from its first key to the first name
// equal to clsidText up to case, for any text. Same arguments and results as findServerPath;
// kept callable for the tests that compare the two ways and for the start-up benchmark.
int findServerPathByEnumeration(char *clsidText, char *path);

// Enumerations of HKEY_CLASSES_ROOT\clsid begun by the two lookups: tests read it to tell which
// way a lookup took. Counted without a lock, like everything here.
extern long classEnumerations;

// Display name of entry `index` of driverList, shortened to 76 characters and "..." when it has
// 80 or more. out holds DISPLAY_NAME_SIZE characters. 0, or DRIVER_LIST_NO_DESTINATION (out null)
// or DRIVER_LIST_NO_ENTRY (out left as it was).
int getEntryName(int index, char *out);

// The entry of driverList with that index, or null.
DriverEntry *findEntry(int index);
