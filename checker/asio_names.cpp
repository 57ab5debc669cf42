#include "checker/output.h"

#include "engine/sample_types.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

CallNotes callNotes;

const char *asioErrorName(ASIOError error, char *buffer, size_t size)
{
    switch (error) {
    case ASE_OK: return "ASE_OK";
    case ASE_SUCCESS: return "ASE_SUCCESS";
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    }
    snprintf(buffer, size, "error %ld", static_cast<long>(error));
    return buffer;
}

const char *selectorName(long selector)
{
    static const char *const names[16] = {
        nullptr,
        "kAsioSelectorSupported",
        "kAsioEngineVersion",
        "kAsioResetRequest",
        "kAsioBufferSizeChange",
        "kAsioResyncRequest",
        "kAsioLatenciesChanged",
        "kAsioSupportsTimeInfo",
        "kAsioSupportsTimeCode",
        "kAsioMMCCommand",
        "kAsioSupportsInputMonitor",
        "kAsioSupportsInputGain",
        "kAsioSupportsInputMeter",
        "kAsioSupportsOutputGain",
        "kAsioSupportsOutputMeter",
        "kAsioOverload",
    };
    return selector >= 1 && selector <= 15 ? names[selector] : nullptr;
}

const char *sampleTypeName(long type)
{
    return lookupSampleType(static_cast<int32_t>(type))->name;
}

ASIOError noteCall(ASIOError result, const char *format, ...)
{
    if (result == ASE_OK)
        return result;
    if (callNotes.count == MAX_NOTED_CALLS) {
        callNotes.dropped++;
        return result;
    }
    NotedCall *noted = &callNotes.calls[callNotes.count++];
    va_list args;
    va_start(args, format);
    vsnprintf(noted->call, sizeof noted->call, format, args);
    va_end(args);
    noted->result = result;
    return result;
}
