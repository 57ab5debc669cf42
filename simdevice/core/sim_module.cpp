// The DLL's own state: its handle, what keeps it loaded (objects, factories, server locks) and
// the objects made in this process per class.
#include "core.h"

#include <stdio.h>

namespace {

HMODULE g_module;
volatile LONG g_alive;  // objects, factories and server locks

struct ClassCount {
    CLSID clsid;
    LONG made;
    LONG requestDue;
};
ClassCount g_classCounts[64];  // objects made in this process, per class
int g_classesCounted;
SRWLOCK g_classCountLock = SRWLOCK_INIT;

// The class's entry, made when `add`; null when it has none (or past 64 classes). Under the lock.
ClassCount *classEntry(const CLSID &clsid, bool add) {
    int i = 0;
    while (i < g_classesCounted && !IsEqualGUID(g_classCounts[i].clsid, clsid))
        i++;
    if (i < g_classesCounted)
        return &g_classCounts[i];
    if (!add || i == (int)(sizeof g_classCounts / sizeof g_classCounts[0]))
        return nullptr;
    g_classCounts[i].clsid = clsid;
    g_classCounts[i].made = 0;
    g_classCounts[i].requestDue = 0;
    g_classesCounted++;
    return &g_classCounts[i];
}

}  // namespace

void simModuleAddRef() {
    InterlockedIncrement(&g_alive);
}

void simModuleRelease() {
    InterlockedDecrement(&g_alive);
}

void simModuleSetHandle(HMODULE module) {
    g_module = module;
}

bool simModuleIdle() {
    return g_alive == 0;
}

HMODULE simModuleHandle() {
    return g_module;
}

LONG simCountObjectOfClass(const CLSID &clsid) {
    AcquireSRWLockExclusive(&g_classCountLock);
    ClassCount *entry = classEntry(clsid, true);
    LONG made = entry ? ++entry->made : 0;
    ReleaseSRWLockExclusive(&g_classCountLock);
    return made;
}

void simNoteRequestDue(const CLSID &clsid) {
    AcquireSRWLockExclusive(&g_classCountLock);
    ClassCount *entry = classEntry(clsid, true);
    if (entry)
        entry->requestDue = 1;
    ReleaseSRWLockExclusive(&g_classCountLock);
}

bool simRequestWasDue(const CLSID &clsid) {
    AcquireSRWLockShared(&g_classCountLock);
    ClassCount *entry = classEntry(clsid, false);
    bool due = entry && entry->requestDue;
    ReleaseSRWLockShared(&g_classCountLock);
    return due;
}

void simClsidToText(const CLSID &c, char *out, int outSize) {
    snprintf(out, outSize, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             (unsigned long)c.Data1, c.Data2, c.Data3, c.Data4[0], c.Data4[1], c.Data4[2],
             c.Data4[3], c.Data4[4], c.Data4[5], c.Data4[6], c.Data4[7]);
}
