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

// A channel's sample type; the gaps between the groups are no type. MSB: big-endian; LSB:
// little-endian. Int32 16 to 24: a 32-bit word whose low 16 to 24 bits carry the sample.
enum {
    ASIOST_INT16_MSB = 0,
    ASIOST_INT24_MSB = 1,
    ASIOST_INT32_MSB = 2,
    ASIOST_FLOAT32_MSB = 3,
    ASIOST_FLOAT64_MSB = 4,
    ASIOST_INT32_MSB16 = 8,
    ASIOST_INT32_MSB18 = 9,
    ASIOST_INT32_MSB20 = 10,
    ASIOST_INT32_MSB24 = 11,
    ASIOST_INT16_LSB = 16,
    ASIOST_INT24_LSB = 17,
    ASIOST_INT32_LSB = 18,
    ASIOST_FLOAT32_LSB = 19,
    ASIOST_FLOAT64_LSB = 20,
    ASIOST_INT32_LSB16 = 24,
    ASIOST_INT32_LSB18 = 25,
    ASIOST_INT32_LSB20 = 26,
    ASIOST_INT32_LSB24 = 27,
    ASIOST_DSD_INT8_LSB1 = 32,
    ASIOST_DSD_INT8_MSB1 = 33,
    ASIOST_DSD_INT8_NER8 = 40,
};

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

// What a driver sends to the host's asioMessage. It should ask with ASIO_MSG_SELECTOR_SUPPORTED
// (value: the selector asked about; 1 is yes) before it sends any other; a host answers 0 to what
// it does not support. Requests (reset to latencies changed) may come on any thread.
enum {
    ASIO_MSG_SELECTOR_SUPPORTED = 1,
    ASIO_MSG_ENGINE_VERSION = 2,  // answered with ASIO_HOST_ENGINE_VERSION
    ASIO_MSG_RESET_REQUEST = 3,
    ASIO_MSG_BUFFER_SIZE_CHANGE = 4,  // value: the new size
    ASIO_MSG_RESYNC_REQUEST = 5,
    ASIO_MSG_LATENCIES_CHANGED = 6,
    ASIO_MSG_SUPPORTS_TIME_INFO = 7,
    ASIO_MSG_SUPPORTS_TIME_CODE = 8,
    ASIO_MSG_MMC_COMMAND = 9,
    ASIO_MSG_SUPPORTS_INPUT_MONITOR = 10,
    ASIO_MSG_SUPPORTS_INPUT_GAIN = 11,
    ASIO_MSG_SUPPORTS_INPUT_METER = 12,
    ASIO_MSG_SUPPORTS_OUTPUT_GAIN = 13,
    ASIO_MSG_SUPPORTS_OUTPUT_METER = 14,
    ASIO_MSG_OVERLOAD = 15,
    ASIO_MSG_FIRST = ASIO_MSG_SELECTOR_SUPPORTED,
    ASIO_MSG_LAST = ASIO_MSG_OVERLOAD,
    ASIO_HOST_ENGINE_VERSION = 2,
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

static_assert(ASE_OK == 0 && ASE_SUCCESS == 0x3f4847a0, "");
static_assert(ASE_NotPresent == -1000 && ASE_HWMalfunction == -999 && ASE_InvalidParameter == -998, "");
static_assert(ASE_InvalidMode == -997 && ASE_SPNotAdvancing == -996, "");
static_assert(ASE_NoClock == -995 && ASE_NoMemory == -994, "");

static_assert(ASIO_SYSTEM_TIME_VALID == 1 && ASIO_SAMPLE_POSITION_VALID == 2, "");
static_assert(ASIO_SAMPLE_RATE_VALID == 4 && ASIO_SPEED_VALID == 8, "");
static_assert(ASIO_SAMPLE_RATE_CHANGED == 16 && ASIO_CLOCK_SOURCE_CHANGED == 32, "");

static_assert(ASIOST_INT16_MSB == 0 && ASIOST_INT24_MSB == 1 && ASIOST_INT32_MSB == 2, "");
static_assert(ASIOST_FLOAT32_MSB == 3 && ASIOST_FLOAT64_MSB == 4, "");
static_assert(ASIOST_INT32_MSB16 == 8 && ASIOST_INT32_MSB18 == 9, "");
static_assert(ASIOST_INT32_MSB20 == 10 && ASIOST_INT32_MSB24 == 11, "");
static_assert(ASIOST_INT16_LSB == 16 && ASIOST_INT24_LSB == 17 && ASIOST_INT32_LSB == 18, "");
static_assert(ASIOST_FLOAT32_LSB == 19 && ASIOST_FLOAT64_LSB == 20, "");
static_assert(ASIOST_INT32_LSB16 == 24 && ASIOST_INT32_LSB18 == 25, "");
static_assert(ASIOST_INT32_LSB20 == 26 && ASIOST_INT32_LSB24 == 27, "");
static_assert(ASIOST_DSD_INT8_LSB1 == 32 && ASIOST_DSD_INT8_MSB1 == 33 && ASIOST_DSD_INT8_NER8 == 40, "");

static_assert(ASIO_MSG_SELECTOR_SUPPORTED == 1 && ASIO_MSG_ENGINE_VERSION == 2, "");
static_assert(ASIO_MSG_RESET_REQUEST == 3 && ASIO_MSG_BUFFER_SIZE_CHANGE == 4, "");
static_assert(ASIO_MSG_RESYNC_REQUEST == 5 && ASIO_MSG_LATENCIES_CHANGED == 6, "");
static_assert(ASIO_MSG_SUPPORTS_TIME_INFO == 7 && ASIO_MSG_SUPPORTS_TIME_CODE == 8, "");
static_assert(ASIO_MSG_MMC_COMMAND == 9 && ASIO_MSG_SUPPORTS_INPUT_MONITOR == 10, "");
static_assert(ASIO_MSG_SUPPORTS_INPUT_GAIN == 11 && ASIO_MSG_SUPPORTS_INPUT_METER == 12, "");
static_assert(ASIO_MSG_SUPPORTS_OUTPUT_GAIN == 13 && ASIO_MSG_SUPPORTS_OUTPUT_METER == 14, "");
static_assert(ASIO_MSG_OVERLOAD == 15 && ASIO_MSG_FIRST == 1 && ASIO_MSG_LAST == 15, "");
static_assert(ASIO_HOST_ENGINE_VERSION == 2, "");
