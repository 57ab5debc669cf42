#include "drivers/driver_loading.h"

#include "drivers/driver_list.h"

#include <string.h>

IASIO *activeDriver = nullptr;
ASIODriverInfo driverInfo;

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
    HRESULT created = CoCreateInstance(entry->clsid, nullptr, CLSCTX_INPROC_SERVER, entry->clsid,
                                       reinterpret_cast<void **>(&activeDriver));
    if (created != S_OK || !activeDriver) {
        activeDriver = nullptr;
        return created != S_OK ? created : E_POINTER;
    }
    entry->driver = activeDriver;
    driverList->currentIndex = index;
    return 0;
}

void closeCurrentDriver()
{
    if (!driverList)
        return;
    if (driverList->currentIndex != -1) {
        DriverEntry *entry = findEntry(driverList->currentIndex);
        if (entry && entry->driver) {
            IASIO *driver = entry->driver;
            entry->driver = nullptr;
            activeDriver = nullptr;
            driver->Release();
        }
    }
    driverList->currentIndex = -1;
}

ASIOError initDriver(ASIODriverInfo *info)
{
    info->driverVersion = 0;
    strcpy(info->name, "No ASIO Driver");
    if (!activeDriver)
        return ASE_NotPresent;

    if (activeDriver->init(info->sysRef) == 0) {
        memset(info->errorMessage, 0, sizeof info->errorMessage);
        activeDriver->getErrorMessage(info->errorMessage);
        info->errorMessage[sizeof info->errorMessage - 1] = '\0';
        activeDriver = nullptr;  // the entry keeps the object; closeCurrentDriver releases it
        return ASE_NotPresent;
    }
    strcpy(info->errorMessage, "No ASIO Driver Error");
    memset(info->name, 0, sizeof info->name);
    activeDriver->getDriverName(info->name);
    info->name[sizeof info->name - 1] = '\0';  // some drivers fill all 32 bytes
    info->driverVersion = activeDriver->getDriverVersion();
    return ASE_OK;
}

ASIOError asioGetBufferSize(long *minSize, long *maxSize, long *preferredSize, long *granularity)
{
    if (!activeDriver) {
        *minSize = *maxSize = *preferredSize = *granularity = 0;
        return ASE_NotPresent;
    }
    return activeDriver->getBufferSize(minSize, maxSize, preferredSize, granularity);
}

ASIOError asioGetChannels(long *inputs, long *outputs)
{
    if (!activeDriver) {
        *inputs = *outputs = 0;
        return ASE_NotPresent;
    }
    return activeDriver->getChannels(inputs, outputs);
}

ASIOError asioGetLatencies(long *inputLatency, long *outputLatency)
{
    if (!activeDriver) {
        *inputLatency = *outputLatency = 0;
        return ASE_NotPresent;
    }
    return activeDriver->getLatencies(inputLatency, outputLatency);
}

ASIOError asioCanSampleRate(ASIOSampleRate rate)
{
    if (!activeDriver)
        return ASE_NotPresent;
    return activeDriver->canSampleRate(rate);
}

ASIOError asioGetSampleRate(ASIOSampleRate *rate)
{
    if (!activeDriver)
        return ASE_NotPresent;
    return activeDriver->getSampleRate(rate);
}

ASIOError asioSetSampleRate(ASIOSampleRate rate)
{
    if (!activeDriver)
        return ASE_NotPresent;
    return activeDriver->setSampleRate(rate);
}

ASIOError asioGetClockSources(ASIOClockSource *clocks, long *count)
{
    if (!activeDriver) {
        *count = 0;
        return ASE_NotPresent;
    }
    return activeDriver->getClockSources(clocks, count);
}

ASIOError asioGetChannelInfo(ASIOChannelInfo *info)
{
    if (!activeDriver) {
        info->channelGroup = -1;
        info->type = 0;
        strcpy(info->name, "None");
        return ASE_NotPresent;
    }
    return activeDriver->getChannelInfo(info);
}

ASIOError asioCreateBuffers(ASIOBufferInfo *infos, long count, long bufferSize,
                            ASIOCallbacks *callbacks)
{
    if (!activeDriver) {
        for (long i = 0; i < count; i++)
            infos[i].buffers[0] = infos[i].buffers[1] = nullptr;
        return ASE_NotPresent;
    }
    return activeDriver->createBuffers(infos, count, bufferSize, callbacks);
}

ASIOError asioStart()
{
    if (!activeDriver)
        return ASE_NotPresent;
    return activeDriver->start();
}

ASIOError asioStop()
{
    if (!activeDriver)
        return ASE_NotPresent;
    return activeDriver->stop();
}

ASIOError asioDisposeBuffers()
{
    if (!activeDriver)
        return ASE_NotPresent;
    return activeDriver->disposeBuffers();
}

ASIOError asioControlPanel()
{
    if (!activeDriver)
        return ASE_NotPresent;
    return activeDriver->controlPanel();
}
