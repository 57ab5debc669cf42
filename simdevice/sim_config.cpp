// Registration of simulated devices and their configuration in the registry. Everything goes
// through the plain registry API, so each bitness writes its own view.
#include "sim_device.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

namespace {

struct ConfigField {
    const char *name;
    size_t offset;
    size_t textSize;  // 0: a signed 32-bit number
};

#define TEXT_FIELD(name, member) {name, offsetof(SimConfig, member), sizeof(SimConfig::member)}
#define NUMBER_FIELD(name, member) {name, offsetof(SimConfig, member), 0}

const ConfigField kFields[] = {
    NUMBER_FIELD("Inputs", inputs),
    NUMBER_FIELD("Outputs", outputs),
    NUMBER_FIELD("MinSize", minSize),
    NUMBER_FIELD("MaxSize", maxSize),
    NUMBER_FIELD("PreferredSize", preferredSize),
    NUMBER_FIELD("Granularity", granularity),
    TEXT_FIELD("SampleRate", sampleRate),
    TEXT_FIELD("SampleRates", sampleRates),
    NUMBER_FIELD("SampleType", sampleType),
    TEXT_FIELD("InputTypes", inputTypes),
    TEXT_FIELD("OutputTypes", outputTypes),
    TEXT_FIELD("InputNames", inputNames),
    TEXT_FIELD("OutputNames", outputNames),
    TEXT_FIELD("DriverName", driverName),
    NUMBER_FIELD("DriverVersion", driverVersion),
    TEXT_FIELD("InitError", initError),
    NUMBER_FIELD("PeriodUs", periodUs),
    NUMBER_FIELD("CreateBuffersFails", createBuffersFails),
    NUMBER_FIELD("NullBuffers", nullBuffers),
    NUMBER_FIELD("StartFails", startFails),
    NUMBER_FIELD("NameUnterminated", nameUnterminated),
    NUMBER_FIELD("PanelShowsWindow", panelShowsWindow),
    NUMBER_FIELD("PanelDelayMs", panelDelayMs),
    NUMBER_FIELD("InitMessageBox", initMessageBox),
    NUMBER_FIELD("StopWaits", stopWaits),
    NUMBER_FIELD("WindowMs", windowMs),
    NUMBER_FIELD("AsioMessages", asioMessages),
    NUMBER_FIELD("RequestSelector", requestSelector),
    NUMBER_FIELD("RequestAtSwitch", requestAtSwitch),
    NUMBER_FIELD("InputDelay", inputDelay),
    NUMBER_FIELD("OutputDelay", outputDelay),
    NUMBER_FIELD("LatencyLie", latencyLie),
    NUMBER_FIELD("CableOut", cableOut),
    NUMBER_FIELD("CableIn", cableIn),
    TEXT_FIELD("CableMap", cableMap),
    TEXT_FIELD("CableDelays", cableDelays),
    NUMBER_FIELD("SignalFaultRoute", signalFaultRoute),
    NUMBER_FIELD("StallEvery", stallEvery),
    NUMBER_FIELD("StallMs", stallMs),
    TEXT_FIELD("FaultCall", faultCall),
    NUMBER_FIELD("FaultKind", faultKind),
    NUMBER_FIELD("FaultAtCall", faultAtCall),
    NUMBER_FIELD("FaultExitCode", faultExitCode),
    TEXT_FIELD("FailCall", failCall),
    NUMBER_FIELD("FailAtCall", failAtCall),
    NUMBER_FIELD("FailCount", failCount),
    NUMBER_FIELD("SilentStartAt", silentStartAt),
    NUMBER_FIELD("CreateDelayMs", createDelayMs),
    NUMBER_FIELD("InitDelayMs", initDelayMs),
    NUMBER_FIELD("ErrorMessageUnterminated", errorMessageUnterminated),
    NUMBER_FIELD("ReinitFails", reinitFails),
    NUMBER_FIELD("ChannelInfoFault", channelInfoFault),
    NUMBER_FIELD("ChannelInfoPastEnd", channelInfoPastEnd),
    NUMBER_FIELD("ClockFault", clockFault),
    NUMBER_FIELD("SetRateIgnored", setRateIgnored),
    NUMBER_FIELD("SetRateAcceptsAll", setRateAcceptsAll),
    NUMBER_FIELD("MaxWorkingSize", maxWorkingSize),
    NUMBER_FIELD("SharedBuffer", sharedBuffer),
    NUMBER_FIELD("LatencyFault", latencyFault),
    NUMBER_FIELD("CallbackInCreateBuffers", callbackInCreateBuffers),
    NUMBER_FIELD("OutputReady", outputReady),
    NUMBER_FIELD("KeepsReference", keepsReference),
    NUMBER_FIELD("ClockPpm", clockPpm),
    NUMBER_FIELD("TimeInfoOnly", timeInfoOnly),
    NUMBER_FIELD("TimeInfoFault", timeInfoFault),
    NUMBER_FIELD("PositionFault", positionFault),
    NUMBER_FIELD("StopCallbacksAfter", stopCallbacksAfter),
    NUMBER_FIELD("IndexFault", indexFault),
    NUMBER_FIELD("TwoThreads", twoThreads),
    NUMBER_FIELD("CallbacksBeforeStart", callbacksBeforeStart),
    NUMBER_FIELD("LateCallbackMs", lateCallbackMs),
    NUMBER_FIELD("RequestLatencyShift", requestLatencyShift),
    TEXT_FIELD("SignalFault", signalFault),
    NUMBER_FIELD("SignalFaultAt", signalFaultAt),
    NUMBER_FIELD("SignalFaultBits", signalFaultBits),
    TEXT_FIELD("SignalFaultLevel", signalFaultLevel),
    NUMBER_FIELD("SetRateBackIgnored", setRateBackIgnored),
    NUMBER_FIELD("RestartSilent", restartSilent),
    NUMBER_FIELD("RecreateFails", recreateFails),
    NUMBER_FIELD("SilentAfterRecreates", silentAfterRecreates),
    NUMBER_FIELD("RateChangeSilent", rateChangeSilent),
    NUMBER_FIELD("LatencyLieAtSize", latencyLieAtSize),
    TEXT_FIELD("ChannelsAtRates", channelsAtRates),
    NUMBER_FIELD("ThreadFault", threadFault),
    NUMBER_FIELD("ThreadFaultAt", threadFaultAt),
    NUMBER_FIELD("PrintLines", printLines),
    NUMBER_FIELD("ScribbleAt", scribbleAt),
    NUMBER_FIELD("ScribbleValue", scribbleValue),
    NUMBER_FIELD("SubclassReference", subclassReference),
    NUMBER_FIELD("SecondClient", secondClient),
    TEXT_FIELD("SecondFaultCall", secondFaultCall),
    NUMBER_FIELD("SecondFaultKind", secondFaultKind),
    NUMBER_FIELD("SecondStallMs", secondStallMs),
    NUMBER_FIELD("SpinPercent", spinPercent),
};

#undef TEXT_FIELD
#undef NUMBER_FIELD

void classKeyPath(const char *clsidText, const char *below, char *out, size_t outSize) {
    snprintf(out, outSize, "Software\\Classes\\CLSID\\%s%s%s", clsidText, below[0] ? "\\" : "",
             below);
}

long setText(HKEY key, const char *name, const char *text) {
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1);
}

long writeField(HKEY key, const ConfigField &field, const SimConfig *config) {
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
void readField(HKEY key, const ConfigField &field, SimConfig *config) {
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

long openSimulationKey(const char *clsidText, const char *below, REGSAM access, HKEY *key) {
    if (!clsidText)
        return ERROR_INVALID_PARAMETER;
    char path[300];
    classKeyPath(clsidText, below, path, sizeof path);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
}

}  // namespace

void simDefaultConfig(SimConfig *config) {
    memset(config, 0, sizeof *config);
    config->inputs = 2;
    config->outputs = 2;
    config->minSize = 64;
    config->maxSize = 2048;
    config->preferredSize = 256;
    config->granularity = -1;
    strcpy(config->sampleRate, "48000");
    config->sampleType = 18;
    strcpy(config->driverName, "Quorvel Sim");
    config->driverVersion = 1;
    config->windowMs = 1000;
    config->asioMessages = 1;
    config->cableOut = -1;
    config->cableIn = -1;
    config->signalFaultRoute = -1;
    config->faultAtCall = 1;
    config->faultExitCode = 77;
    config->secondStallMs = 300;
    config->failAtCall = 1;
    config->failCount = 1;
}

long simWriteConfig(const char *clsidText, const SimConfig *config) {
    if (!clsidText || !config)
        return ERROR_INVALID_PARAMETER;
    char path[300];
    classKeyPath(clsidText, "Simulation", path, sizeof path);
    HKEY key;
    long error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr,
                                 &key, nullptr);
    if (error)
        return error;
    for (const ConfigField &field : kFields) {
        if (!error)
            error = writeField(key, field, config);
    }
    RegCloseKey(key);
    return error;
}

long simReadConfig(const char *clsidText, SimConfig *config) {
    if (!config)
        return ERROR_INVALID_PARAMETER;
    simDefaultConfig(config);
    HKEY key;
    long error = openSimulationKey(clsidText, "Simulation", KEY_READ, &key);
    if (error)
        return error;
    for (const ConfigField &field : kFields)
        readField(key, field, config);
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
    long error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr,
                                 &key, nullptr);
    if (error)
        return error;
    error = setText(key, "CLSID", clsidText);
    if (!error)
        error = setText(key, "Description", name);
    RegCloseKey(key);
    if (error)
        return error;

    classKeyPath(clsidText, "InprocServer32", path, sizeof path);
    error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr);
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
    long error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr,
                                 &key, nullptr);
    if (error)
        return error;
    for (const ConfigField &field : kFields) {
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
