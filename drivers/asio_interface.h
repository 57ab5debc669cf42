// The ASIO driver interface as drivers built with Microsoft's compiler expose it.
// A wrong slot, calling convention or record offset here does not fail to compile: it crashes
// inside somebody else's driver, so every offset and size is pinned below for both processors.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <stddef.h>

typedef long ASIOBool;
typedef long ASIOError;
typedef long ASIOSampleType;
typedef double ASIOSampleRate;

enum {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3f4847a0,  // future's "yes"
    ASE_NotPresent = -1000,
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998,
    ASE_InvalidMode = -997,
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,
    ASE_NoMemory = -994,
};

// x86: the driver's own slots are __thiscall (object in ECX, callee pops), unlike the
// __stdcall of IUnknown. x86-64 has one convention.
#if defined(__i386__) || defined(_M_IX86)
#define ASIO_METHOD __thiscall
#else
#define ASIO_METHOD
#endif

#pragma pack(push, 4)

struct ASIOSamples {
    unsigned long hi;
    unsigned long lo;
};

struct ASIOTimeStamp {
    unsigned long hi;
    unsigned long lo;
};

// What bufferSwitchTimeInfo passes, to a host that answered yes to "supports time info". The dialog
// never reads it; the checker does. 64-bit values are hi x 2^32 + lo; times in nanoseconds.
enum {
    ASIO_SYSTEM_TIME_VALID = 1,
    ASIO_SAMPLE_POSITION_VALID = 2,
    ASIO_SAMPLE_RATE_VALID = 4,
    ASIO_SPEED_VALID = 8,
    ASIO_SAMPLE_RATE_CHANGED = 16,
    ASIO_CLOCK_SOURCE_CHANGED = 32,
};

struct ASIOTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    double sampleRate;
    unsigned long flags;
    char reserved[12];
};

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    unsigned long flags;
    char future[64];
};

struct ASIOTime {
    long reserved[4];
    ASIOTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

struct ASIODriverInfo {
    long asioVersion;
    long driverVersion;
    char name[32];
    char errorMessage[124];
    void *sysRef;
};

struct ASIOClockSource {
    long index;
    long associatedChannel;
    long associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    long channel;
    ASIOBool isInput;
    ASIOBool isActive;
    long channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;
    long channelNum;
    void *buffers[2];
};

struct ASIOCallbacks {
    void (*bufferSwitch)(long doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate rate);
    long (*asioMessage)(long selector, long value, void *message, double *opt);
    ASIOTime *(*bufferSwitchTimeInfo)(ASIOTime *params, long doubleBufferIndex, ASIOBool directProcess);
};

#pragma pack(pop)

// Slots 3 to 23, in this order and no other, after QueryInterface, AddRef and Release.
struct IASIO : public IUnknown {
    virtual ASIOBool ASIO_METHOD init(void *sysHandle) = 0;
    virtual void ASIO_METHOD getDriverName(char *name) = 0;
    virtual long ASIO_METHOD getDriverVersion() = 0;
    virtual void ASIO_METHOD getErrorMessage(char *text) = 0;
    virtual ASIOError ASIO_METHOD start() = 0;
    virtual ASIOError ASIO_METHOD stop() = 0;
    virtual ASIOError ASIO_METHOD getChannels(long *inputs, long *outputs) = 0;
    virtual ASIOError ASIO_METHOD getLatencies(long *inputLatency, long *outputLatency) = 0;
    virtual ASIOError ASIO_METHOD getBufferSize(long *minSize, long *maxSize, long *preferredSize,
                                                long *granularity) = 0;
    virtual ASIOError ASIO_METHOD canSampleRate(ASIOSampleRate rate) = 0;
    virtual ASIOError ASIO_METHOD getSampleRate(ASIOSampleRate *rate) = 0;
    virtual ASIOError ASIO_METHOD setSampleRate(ASIOSampleRate rate) = 0;
    virtual ASIOError ASIO_METHOD getClockSources(ASIOClockSource *clocks, long *count) = 0;
    virtual ASIOError ASIO_METHOD setClockSource(long reference) = 0;
    virtual ASIOError ASIO_METHOD getSamplePosition(ASIOSamples *position, ASIOTimeStamp *stamp) = 0;
    virtual ASIOError ASIO_METHOD getChannelInfo(ASIOChannelInfo *info) = 0;
    virtual ASIOError ASIO_METHOD createBuffers(ASIOBufferInfo *infos, long count, long bufferSize,
                                                ASIOCallbacks *callbacks) = 0;
    virtual ASIOError ASIO_METHOD disposeBuffers() = 0;
    virtual ASIOError ASIO_METHOD controlPanel() = 0;
    virtual ASIOError ASIO_METHOD future(long selector, void *opt) = 0;
    virtual ASIOError ASIO_METHOD outputReady() = 0;
};

// The program's one driver-info record; sysRef holds the main dialog's window.
extern ASIODriverInfo driverInfo;

static_assert(sizeof(long) == 4, "ASIO counts are 32-bit on both processors");
static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8, "two 32-bit halves");

static_assert(offsetof(ASIODriverInfo, asioVersion) == 0, "");
static_assert(offsetof(ASIODriverInfo, driverVersion) == 4, "");
static_assert(offsetof(ASIODriverInfo, name) == 8, "");
static_assert(offsetof(ASIODriverInfo, errorMessage) == 40, "");
static_assert(offsetof(ASIODriverInfo, sysRef) == 164, "4-byte packing: 164 on x86-64 too");
static_assert(sizeof(ASIODriverInfo) == (sizeof(void *) == 8 ? 172 : 168), "");

static_assert(offsetof(ASIOChannelInfo, channel) == 0, "");
static_assert(offsetof(ASIOChannelInfo, isInput) == 4, "");
static_assert(offsetof(ASIOChannelInfo, isActive) == 8, "");
static_assert(offsetof(ASIOChannelInfo, channelGroup) == 12, "");
static_assert(offsetof(ASIOChannelInfo, type) == 16, "");
static_assert(offsetof(ASIOChannelInfo, name) == 20, "");
static_assert(sizeof(ASIOChannelInfo) == 52, "");

static_assert(offsetof(ASIOBufferInfo, isInput) == 0, "");
static_assert(offsetof(ASIOBufferInfo, channelNum) == 4, "");
static_assert(offsetof(ASIOBufferInfo, buffers) == 8, "");
static_assert(sizeof(ASIOBufferInfo) == (sizeof(void *) == 8 ? 24 : 16), "");

static_assert(offsetof(ASIOClockSource, index) == 0, "");
static_assert(offsetof(ASIOClockSource, associatedChannel) == 4, "");
static_assert(offsetof(ASIOClockSource, associatedGroup) == 8, "");
static_assert(offsetof(ASIOClockSource, isCurrentSource) == 12, "");
static_assert(offsetof(ASIOClockSource, name) == 16, "");
static_assert(sizeof(ASIOClockSource) == 48, "");

static_assert(offsetof(ASIOTimeInfo, speed) == 0, "");
static_assert(offsetof(ASIOTimeInfo, systemTime) == 8, "");
static_assert(offsetof(ASIOTimeInfo, samplePosition) == 16, "");
static_assert(offsetof(ASIOTimeInfo, sampleRate) == 24, "");
static_assert(offsetof(ASIOTimeInfo, flags) == 32, "");
static_assert(offsetof(ASIOTimeInfo, reserved) == 36, "");
static_assert(sizeof(ASIOTimeInfo) == 48, "");
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8, "");
static_assert(offsetof(ASIOTimeCode, flags) == 16, "");
static_assert(offsetof(ASIOTimeCode, future) == 20, "");
static_assert(sizeof(ASIOTimeCode) == 84, "");
static_assert(offsetof(ASIOTime, timeInfo) == 16, "");
static_assert(offsetof(ASIOTime, timeCode) == 64, "");
static_assert(sizeof(ASIOTime) == 148, "");

static_assert(sizeof(ASIOCallbacks) == 4 * sizeof(void *), "");
static_assert(offsetof(ASIOCallbacks, sampleRateDidChange) == sizeof(void *), "");
static_assert(offsetof(ASIOCallbacks, asioMessage) == 2 * sizeof(void *), "");
static_assert(offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 3 * sizeof(void *), "");
