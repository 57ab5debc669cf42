// Registration of simulated devices and their configuration in the registry. Everything goes
// through the plain registry API, so each bitness writes its own view.
#include "sim_device.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

void classKeyPath(const char *clsidText, const char *below, char *out, size_t outSize) {
    snprintf(out, outSize, "Software\\Classes\\CLSID\\%s%s%s", clsidText, below[0] ? "\\" : "",
             below);
}

long setText(HKEY key, const char *name, const char *text) {
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1);
}

long writeField(HKEY key, const SimKnob &field, const SimConfig *config) {
    const char *at = (const char *)config + field.offset;
    if (field.textSize) {
        char text[1024];
        snprintf(text, sizeof text, "%.*s", (int)field.textSize, at);
        return setText(key, field.name, text);
    }
    DWORD value;
    memcpy(&value, at, sizeof value);
    return RegSetValueExA(key, field.name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}

// A value that is missing, of the wrong kind or too long leaves the field as it was.
void readField(HKEY key, const SimKnob &field, SimConfig *config) {
    char *at = (char *)config + field.offset;
    char data[1024];
    DWORD type = 0, size = sizeof data - 1;
    if (RegQueryValueExA(key, field.name, nullptr, &type, (BYTE *)data, &size) != ERROR_SUCCESS)
        return;
    if (field.textSize && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        data[size] = 0;
        snprintf(at, field.textSize, "%s", data);
    } else if (!field.textSize && type == REG_DWORD && size == 4) {
        memcpy(at, data, 4);
    }
}

long createKey(const char *path, HKEY *key) {
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr, key,
                           nullptr);
}

long openSimulationKey(const char *clsidText, const char *below, REGSAM access, HKEY *key) {
    if (!clsidText)
        return ERROR_INVALID_PARAMETER;
    char path[300];
    classKeyPath(clsidText, below, path, sizeof path);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
}

const char kGoneSince[] = "GoneSince";
const char kOpens[] = "Opens";
const char kRunningOwner[] = "RunningOwner";

// What "RunningOwner" holds.
struct OwnerValue {
    DWORD processId;
    DWORD startedLow, startedHigh;
};

ULONGLONG systemTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (ULONGLONG)now.dwHighDateTime << 32 | now.dwLowDateTime;
}

}  // namespace

void simDefaultConfig(SimConfig *config) {
    memset(config, 0, sizeof *config);
    for (int k = 0; k < simKnobCount; k++) {
        const SimKnob &knob = simKnobs[k];
        char *at = (char *)config + knob.offset;
        int32_t number = (int32_t)strtol(knob.byDefault, nullptr, 10);
        if (knob.textSize)
            snprintf(at, knob.textSize, "%s", knob.byDefault);
        else
            memcpy(at, &number, sizeof number);
    }
}

long simWriteConfig(const char *clsidText, const SimConfig *config) {
    if (!clsidText || !config)
        return ERROR_INVALID_PARAMETER;
    char path[300];
    classKeyPath(clsidText, "Simulation", path, sizeof path);
    HKEY key;
    long error = createKey(path, &key);
    if (error)
        return error;
    for (int k = 0; k < simKnobCount && !error; k++)
        error = writeField(key, simKnobs[k], config);
    // Knobs written afresh: the device is there, never opened, and held by nobody.
    RegDeleteValueA(key, kGoneSince);
    RegDeleteValueA(key, kOpens);
    RegDeleteValueA(key, kRunningOwner);
    RegCloseKey(key);
    return error;
}

long simNoteGone(const char *clsidText) {
    HKEY key;
    long error = openSimulationKey(clsidText, "Simulation", KEY_SET_VALUE, &key);
    if (error)
        return error;
    ULONGLONG now = systemTimeNow();
    error = RegSetValueExA(key, kGoneSince, 0, REG_QWORD, (const BYTE *)&now, sizeof now);
    RegCloseKey(key);
    return error;
}

bool simGoneFor(const char *clsidText, long long *ms) {
    HKEY key;
    if (openSimulationKey(clsidText, "Simulation", KEY_READ, &key))
        return false;
    ULONGLONG since = 0;
    DWORD type = 0, size = sizeof since;
    long error = RegQueryValueExA(key, kGoneSince, nullptr, &type, (BYTE *)&since, &size);
    RegCloseKey(key);
    if (error || type != REG_QWORD || size != sizeof since)
        return false;
    ULONGLONG now = systemTimeNow();
    if (ms)
        *ms = now > since ? (long long)((now - since) / 10000) : 0;
    return true;
}

long simClearGone(const char *clsidText) {
    HKEY key;
    long error = openSimulationKey(clsidText, "Simulation", KEY_SET_VALUE, &key);
    if (error)
        return error;
    error = RegDeleteValueA(key, kGoneSince);
    RegCloseKey(key);
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
}

long simCountOpen(const char *clsidText) {
    HKEY key;
    if (openSimulationKey(clsidText, "Simulation", KEY_READ | KEY_SET_VALUE, &key))
        return 0;
    DWORD opens = 0, type = 0, size = sizeof opens;
    if (RegQueryValueExA(key, kOpens, nullptr, &type, (BYTE *)&opens, &size) || type != REG_DWORD)
        opens = 0;
    DWORD next = opens + 1;
    RegSetValueExA(key, kOpens, 0, REG_DWORD, (const BYTE *)&next, sizeof next);
    RegCloseKey(key);
    return (long)opens;
}

long simNoteOwner(const char *clsidText, DWORD processId, FILETIME started) {
    HKEY key;
    long error = openSimulationKey(clsidText, "Simulation", KEY_SET_VALUE, &key);
    if (error)
        return error;
    OwnerValue owner = {processId, started.dwLowDateTime, started.dwHighDateTime};
    error = RegSetValueExA(key, kRunningOwner, 0, REG_BINARY, (const BYTE *)&owner, sizeof owner);
    RegCloseKey(key);
    return error;
}

bool simReadOwner(const char *clsidText, DWORD *processId, FILETIME *started) {
    HKEY key;
    if (openSimulationKey(clsidText, "Simulation", KEY_READ, &key))
        return false;
    OwnerValue owner = {};
    DWORD type = 0, size = sizeof owner;
    long error = RegQueryValueExA(key, kRunningOwner, nullptr, &type, (BYTE *)&owner, &size);
    RegCloseKey(key);
    if (error || type != REG_BINARY || size != sizeof owner)
        return false;
    *processId = owner.processId;
    started->dwLowDateTime = owner.startedLow;
    started->dwHighDateTime = owner.startedHigh;
    return true;
}

long simClearOwner(const char *clsidText) {
    HKEY key;
    long error = openSimulationKey(clsidText, "Simulation", KEY_SET_VALUE, &key);
    if (error)
        return error;
    error = RegDeleteValueA(key, kRunningOwner);
    RegCloseKey(key);
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
}

long simReadConfig(const char *clsidText, SimConfig *config) {
    if (!config)
        return ERROR_INVALID_PARAMETER;
    simDefaultConfig(config);
    HKEY key;
    long error = openSimulationKey(clsidText, "Simulation", KEY_READ, &key);
    if (error)
        return error;
    for (int k = 0; k < simKnobCount; k++)
        readField(key, simKnobs[k], config);
    RegCloseKey(key);
    return 0;
}

long simRegisterDevice(const char *name, const char *clsidText, const char *dllPath,
                       const SimConfig *config) {
    if (!name || !clsidText || !dllPath || !config)
        return ERROR_INVALID_PARAMETER;
    char path[300];
    snprintf(path, sizeof path, "SOFTWARE\\ASIO\\%s", name);
    HKEY key;
    long error = createKey(path, &key);
    if (error)
        return error;
    error = setText(key, "CLSID", clsidText);
    if (!error)
        error = setText(key, "Description", name);
    RegCloseKey(key);
    if (error)
        return error;

    classKeyPath(clsidText, "InprocServer32", path, sizeof path);
    error = createKey(path, &key);
    if (error)
        return error;
    error = setText(key, nullptr, dllPath);
    if (!error)
        error = setText(key, "ThreadingModel", "Apartment");
    RegCloseKey(key);
    if (error)
        return error;

    // A fresh configuration: panel changes of an earlier registration must not linger.
    classKeyPath(clsidText, "Simulation", path, sizeof path);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    classKeyPath(clsidText, "", path, sizeof path);
    error = RegSetKeyValueA(HKEY_LOCAL_MACHINE, path, nullptr, REG_SZ, name, (DWORD)strlen(name) + 1);
    if (error)
        return error;
    return simWriteConfig(clsidText, config);
}

long simSetPanelChanges(const char *clsidText, const SimConfig *base, const SimConfig *changed) {
    if (!clsidText || !base || !changed)
        return ERROR_INVALID_PARAMETER;
    char path[300];
    classKeyPath(clsidText, "Simulation\\Panel", path, sizeof path);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    HKEY key;
    long error = createKey(path, &key);
    if (error)
        return error;
    for (int k = 0; k < simKnobCount; k++) {
        const SimKnob &field = simKnobs[k];
        size_t size = field.textSize ? field.textSize : 4;
        const char *was = (const char *)base + field.offset;
        const char *now = (const char *)changed + field.offset;
        bool differs = field.textSize ? strncmp(was, now, size) != 0 : memcmp(was, now, size) != 0;
        if (differs && !error)
            error = writeField(key, field, changed);
    }
    RegCloseKey(key);
    return error;
}

long simApplyPanelChanges(const char *clsidText) {
    HKEY panel, simulation;
    long error = openSimulationKey(clsidText, "Simulation\\Panel", KEY_READ, &panel);
    if (error)
        return error;
    error = openSimulationKey(clsidText, "Simulation", KEY_SET_VALUE, &simulation);
    if (error) {
        RegCloseKey(panel);
        return error;
    }
    for (DWORD index = 0; !error; index++) {
        char name[256];
        BYTE data[512];
        DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
        long found = RegEnumValueA(panel, index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (found == ERROR_NO_MORE_ITEMS)
            break;
        if (found == ERROR_SUCCESS)
            error = RegSetValueExA(simulation, name, 0, type, data, dataSize);
    }
    RegCloseKey(simulation);
    RegCloseKey(panel);
    return error;
}

long simUnregisterDevice(const char *name, const char *clsidText) {
    if (!name || !clsidText)
        return ERROR_INVALID_PARAMETER;
    char path[300];
    snprintf(path, sizeof path, "SOFTWARE\\ASIO\\%s", name);
    long error = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    if (error == ERROR_FILE_NOT_FOUND)
        error = 0;
    classKeyPath(clsidText, "", path, sizeof path);
    long classError = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    if (classError == ERROR_FILE_NOT_FOUND)
        classError = 0;
    return error ? error : classError;
}
