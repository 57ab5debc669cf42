#include "drivers/driver_loading.h"

#include "drivers/driver_list.h"

#include <string.h>

IASIO *activeDriver = nullptr;
ASIODriverInfo driverInfo;
void (*driverCallWatch)(const char *call) = nullptr;

void watchDriverCall(const char *call)
{
    if (driverCallWatch)
        driverCallWatch(call);
}

bool openDriver(int index)
{
    return openDriverEntry(index) == 0;
}

long openDriverEntry(int index)
{
    DriverEntry *entry = findEntry(index);
    if (!entry)
        return DRIVER_LIST_NO_ENTRY;
    if (entry->driver)
        return DRIVER_LIST_ALREADY_OPEN;

    // Cleared first, and again on failure: no path may call an object that was released or never
    // made, whatever the creation call leaves behind.
    activeDriver = nullptr;
    watchDriverCall("CoCreateInstance()");
    HRESULT created = CoCreateInstance(entry->clsid, nullptr, CLSCTX_INPROC_SERVER, entry->clsid,
                                       reinterpret_cast<void **>(&activeDriver));
    watchDriverCall(nullptr);
    if (created != S_OK || !activeDriver) {
        activeDriver = nullptr;
        return created != S_OK ? created : E_POINTER;
    }
    entry->driver = activeDriver;
    driverList->currentIndex = index;
    return 0;
}

unsigned long closeCurrentDriver()
{
    unsigned long left = 0;
    if (!driverList)
        return left;
    if (driverList->currentIndex != -1) {
        DriverEntry *entry = findEntry(driverList->currentIndex);
        if (entry && entry->driver) {
            IASIO *driver = entry->driver;
            entry->driver = nullptr;
            activeDriver = nullptr;
            watchDriverCall("Release()");
            left = driver->Release();
            watchDriverCall(nullptr);
        }
    }
    driverList->currentIndex = -1;
    return left;
}

ASIOError initDriver(ASIODriverInfo *info)
{
    info->driverVersion = 0;
    strcpy(info->name, "No ASIO Driver");
    if (!activeDriver)
        return ASE_NotPresent;

    watchDriverCall("init()");
    ASIOBool usable = activeDriver->init(info->sysRef);
    watchDriverCall(nullptr);
    if (usable == 0) {
        memset(info->errorMessage, 0, sizeof info->errorMessage);
        watchDriverCall("getErrorMessage()");
        activeDriver->getErrorMessage(info->errorMessage);
        watchDriverCall(nullptr);
        info->errorMessage[sizeof info->errorMessage - 1] = '\0';
        activeDriver = nullptr;  // the entry keeps the object; closeCurrentDriver releases it
        return ASE_NotPresent;
    }
    strcpy(info->errorMessage, "No ASIO Driver Error");
    memset(info->name, 0, sizeof info->name);
    watchDriverCall("getDriverName()");
    activeDriver->getDriverName(info->name);
    watchDriverCall("getDriverVersion()");
    info->driverVersion = activeDriver->getDriverVersion();
    watchDriverCall(nullptr);
    info->name[sizeof info->name - 1] = '\0';  // some drivers fill all 32 bytes
    return ASE_OK;
}

ASIOError asioGetBufferSize(long *minSize, long *maxSize, long *preferredSize, long *granularity)
{
    if (!activeDriver) {
        *minSize = *maxSize = *preferredSize = *granularity = 0;
        return ASE_NotPresent;
    }
    watchDriverCall("getBufferSize()");
    ASIOError result = activeDriver->getBufferSize(minSize, maxSize, preferredSize, granularity);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioGetChannels(long *inputs, long *outputs)
{
    if (!activeDriver) {
        *inputs = *outputs = 0;
        return ASE_NotPresent;
    }
    watchDriverCall("getChannels()");
    ASIOError result = activeDriver->getChannels(inputs, outputs);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioGetLatencies(long *inputLatency, long *outputLatency)
{
    if (!activeDriver) {
        *inputLatency = *outputLatency = 0;
        return ASE_NotPresent;
    }
    watchDriverCall("getLatencies()");
    ASIOError result = activeDriver->getLatencies(inputLatency, outputLatency);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioCanSampleRate(ASIOSampleRate rate)
{
    if (!activeDriver)
        return ASE_NotPresent;
    watchDriverCall("canSampleRate()");
    ASIOError result = activeDriver->canSampleRate(rate);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioGetSampleRate(ASIOSampleRate *rate)
{
    if (!activeDriver)
        return ASE_NotPresent;
    watchDriverCall("getSampleRate()");
    ASIOError result = activeDriver->getSampleRate(rate);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioSetSampleRate(ASIOSampleRate rate)
{
    if (!activeDriver)
        return ASE_NotPresent;
    watchDriverCall("setSampleRate()");
    ASIOError result = activeDriver->setSampleRate(rate);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioGetClockSources(ASIOClockSource *clocks, long *count)
{
    if (!activeDriver) {
        *count = 0;
        return ASE_NotPresent;
    }
    watchDriverCall("getClockSources()");
    ASIOError result = activeDriver->getClockSources(clocks, count);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioGetChannelInfo(ASIOChannelInfo *info)
{
    if (!activeDriver) {
        info->channelGroup = -1;
        info->type = ASIOST_INT16_MSB;
        strcpy(info->name, "None");
        return ASE_NotPresent;
    }
    watchDriverCall("getChannelInfo()");
    ASIOError result = activeDriver->getChannelInfo(info);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioCreateBuffers(ASIOBufferInfo *infos, long count, long bufferSize,
                            ASIOCallbacks *callbacks)
{
    if (!activeDriver) {
        for (long i = 0; i < count; i++)
            infos[i].buffers[0] = infos[i].buffers[1] = nullptr;
        return ASE_NotPresent;
    }
    watchDriverCall("createBuffers()");
    ASIOError result = activeDriver->createBuffers(infos, count, bufferSize, callbacks);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioStart()
{
    if (!activeDriver)
        return ASE_NotPresent;
    watchDriverCall("start()");
    ASIOError result = activeDriver->start();
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioStop()
{
    if (!activeDriver)
        return ASE_NotPresent;
    watchDriverCall("stop()");
    ASIOError result = activeDriver->stop();
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioDisposeBuffers()
{
    if (!activeDriver)
        return ASE_NotPresent;
    watchDriverCall("disposeBuffers()");
    ASIOError result = activeDriver->disposeBuffers();
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioControlPanel()
{
    if (!activeDriver)
        return ASE_NotPresent;
    watchDriverCall("controlPanel()");
    ASIOError result = activeDriver->controlPanel();
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioGetSamplePosition(ASIOSamples *position, ASIOTimeStamp *stamp)
{
    if (!activeDriver) {
        position->hi = position->lo = stamp->hi = stamp->lo = 0;
        return ASE_NotPresent;
    }
    watchDriverCall("getSamplePosition()");
    ASIOError result = activeDriver->getSamplePosition(position, stamp);
    watchDriverCall(nullptr);
    return result;
}

ASIOError asioOutputReady()
{
    if (!activeDriver)
        return ASE_NotPresent;
    watchDriverCall("outputReady()");
    ASIOError result = activeDriver->outputReady();
    watchDriverCall(nullptr);
    return result;
}
