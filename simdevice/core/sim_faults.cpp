// The faults a configuration plants in the host's calls: a crash, a hang or the end of the
// process at one call ("FaultCall"), and calls that answer an error ("FailCall").
#include "core.h"

#include <stdint.h>
#include <string.h>

namespace {

struct NamedCall {
    const char *name;
    int op;
};

// The slots by the names of the driver interface, and the two COM calls that make and end an
// object.
const NamedCall kCalls[] = {
    {"init", SIM_INIT},
    {"getDriverName", SIM_GET_DRIVER_NAME},
    {"getDriverVersion", SIM_GET_DRIVER_VERSION},
    {"getErrorMessage", SIM_GET_ERROR_MESSAGE},
    {"start", SIM_START},
    {"stop", SIM_STOP},
    {"getChannels", SIM_GET_CHANNELS},
    {"getLatencies", SIM_GET_LATENCIES},
    {"getBufferSize", SIM_GET_BUFFER_SIZE},
    {"canSampleRate", SIM_CAN_SAMPLE_RATE},
    {"getSampleRate", SIM_GET_SAMPLE_RATE},
    {"setSampleRate", SIM_SET_SAMPLE_RATE},
    {"getClockSources", SIM_GET_CLOCK_SOURCES},
    {"setClockSource", SIM_SET_CLOCK_SOURCE},
    {"getSamplePosition", SIM_GET_SAMPLE_POSITION},
    {"getChannelInfo", SIM_GET_CHANNEL_INFO},
    {"createBuffers", SIM_CREATE_BUFFERS},
    {"disposeBuffers", SIM_DISPOSE_BUFFERS},
    {"controlPanel", SIM_CONTROL_PANEL},
    {"future", SIM_FUTURE},
    {"outputReady", SIM_OUTPUT_READY},
    {"create", SIM_CREATED},
    {"release", SIM_RELEASED},
};

bool names(const char *text, int op) {
    for (const NamedCall &call : kCalls) {
        if (call.op == op)
            return text[0] && _stricmp(text, call.name) == 0;
    }
    return false;
}

}  // namespace

void simFault(const SimConfig &config, int kind) {
    if (kind == 1) {
        // Volatile both ways: the compiler may neither drop the write nor know where it goes.
        volatile int *volatile address = (volatile int *)(uintptr_t)0x10;
        *address = 1;
    } else if (kind == 2) {
        for (;;)
            Sleep(1000);
    } else if (kind == 3) {
        ExitProcess((UINT)config.faultExitCode);
    }
}

bool simFaultOrFail(const SimConfig &config, int op, LONG number) {
    if (number == config.faultAtCall && names(config.faultCall, op))
        simFault(config, config.faultKind);
    if (number < config.failAtCall || !names(config.failCall, op))
        return false;
    return config.failCount < 0 || number - config.failAtCall < config.failCount;
}

void simSecondFault(const SimDevice *device, int op) {
    if (!device->second || !names(device->config.secondFaultCall, op))
        return;
    if (device->config.secondFaultKind == 4)
        simSecondStallsFirst(device);
    else
        simFault(device->config, device->config.secondFaultKind);
}

bool simCallFails(SimDevice *device, int op) {
    simSecondFault(device, op);
    return simFaultOrFail(device->config, op, device->shared->opCounts[op]);
}
