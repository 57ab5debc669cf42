// The host side of the simulated device's tests: the driver interface as a host compiled with the
// vendor's compiler sees it (a C++ interface, not the device's C vtable, so the two check each
// other), plus registration of throw-away devices and a fixture that cleans up after itself.
#pragma once

#include "simdevice/sim_device.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <stddef.h>
#include <string>
#include <vector>

#pragma pack(push, 4)
struct HostChannelInfo {
    long channel;
    long isInput;
    long isActive;
    long channelGroup;
    long type;
    char name[32];
};
struct HostBufferInfo {
    long isInput;
    long channelNum;
    void *buffers[2];
};
struct HostClockSource {
    long index;
    long associatedChannel;
    long associatedGroup;
    long isCurrentSource;
    char name[32];
};
struct HostSamples {
    unsigned long hi;
    unsigned long lo;
};
struct HostCallbacks {
    void (*bufferSwitch)(long index, long directProcess);
    void (*sampleRateDidChange)(double rate);
    long (*asioMessage)(long selector, long value, void *message, double *opt);
    void *(*bufferSwitchTimeInfo)(void *params, long index, long directProcess);
};
#pragma pack(pop)
static_assert(sizeof(HostChannelInfo) == 52, "channel info");
static_assert(offsetof(HostBufferInfo, buffers) == 8, "buffer info");

// Member functions: __thiscall on x86, as the vendor's compiler makes them.
struct HostDriver : public IUnknown {
    virtual long init(void *sysHandle) = 0;
    virtual void getDriverName(char *name) = 0;
    virtual long getDriverVersion() = 0;
    virtual void getErrorMessage(char *text) = 0;
    virtual long start() = 0;
    virtual long stop() = 0;
    virtual long getChannels(long *inputs, long *outputs) = 0;
    virtual long getLatencies(long *inputLatency, long *outputLatency) = 0;
    virtual long getBufferSize(long *minSize, long *maxSize, long *preferred, long *granularity) = 0;
    virtual long canSampleRate(double rate) = 0;
    virtual long getSampleRate(double *rate) = 0;
    virtual long setSampleRate(double rate) = 0;
    virtual long getClockSources(HostClockSource *clocks, long *count) = 0;
    virtual long setClockSource(long reference) = 0;
    virtual long getSamplePosition(HostSamples *position, HostSamples *stamp) = 0;
    virtual long getChannelInfo(HostChannelInfo *info) = 0;
    virtual long createBuffers(HostBufferInfo *infos, long count, long size,
                               HostCallbacks *callbacks) = 0;
    virtual long disposeBuffers() = 0;
    virtual long controlPanel() = 0;
    virtual long future(long selector, void *opt) = 0;
    virtual long outputReady() = 0;
};

enum {
    HOST_ASE_OK = 0,
    HOST_ASE_NOT_PRESENT = -1000,
    HOST_ASE_HW_MALFUNCTION = -999,
    HOST_ASE_INVALID_PARAMETER = -998,
    HOST_ASE_NO_MEMORY = -994,
};

struct TestDevice {
    std::string name;
    std::string clsidText;
    CLSID clsid;
    SimShared *shared;
    HANDLE mapping;
};

// Each test registers devices under fresh classes in the real registry and drops them at the end.
class SimDeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    TestDevice &registerDevice(const SimConfig &config);
    HostDriver *load(const TestDevice &device);  // through CoCreateInstance, as a host does

    std::vector<TestDevice *> devices;
};

// Calls logged with that op, in order.
std::vector<SimCall> loggedCalls(const SimShared *shared, int op);
