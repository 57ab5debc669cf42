// The driver interface as the device implements it: a C vtable with every calling convention
// spelled out, and the records it exchanges with a host. Declared here on purpose, apart from the
// program's own declarations, so that a mistake on either side shows up as a failing test.
#pragma once

#include <windows.h>
#include <stddef.h>

#if defined(__i386__)
// Slots 3..23 are C++ member functions of the vendor's compiler: object in ECX, callee pops.
#define SIM_THISCALL __attribute__((thiscall))
#define SIM_STDCALL __attribute__((stdcall))
#define SIM_CDECL __attribute__((cdecl))
#else
#define SIM_THISCALL
#define SIM_STDCALL
#define SIM_CDECL
#endif

enum {
    SIM_ASE_OK = 0,
    SIM_ASE_NOT_PRESENT = -1000,
    SIM_ASE_HW_MALFUNCTION = -999,
    SIM_ASE_INVALID_PARAMETER = -998,
    SIM_ASE_INVALID_MODE = -997,
    SIM_ASE_SP_NOT_ADVANCING = -996,
    SIM_ASE_NO_CLOCK = -995,
    SIM_ASE_NO_MEMORY = -994,
};

// asioMessage's selectors. The device asks "selector supported" (value: the selector asked about)
// before any other; requests (reset to overload) may come from its own thread.
enum {
    SIM_MSG_SELECTOR_SUPPORTED = 1,
    SIM_MSG_ENGINE_VERSION = 2,
    SIM_MSG_RESET_REQUEST = 3,
    SIM_MSG_BUFFER_SIZE_CHANGE = 4,  // value: the new size
    SIM_MSG_RESYNC_REQUEST = 5,
    SIM_MSG_LATENCIES_CHANGED = 6,
    SIM_MSG_SUPPORTS_TIME_INFO = 7,
    SIM_MSG_SUPPORTS_TIME_CODE = 8,
    SIM_MSG_MMC_COMMAND = 9,
    SIM_MSG_INPUT_MONITOR = 10,
    SIM_MSG_INPUT_GAIN = 11,
    SIM_MSG_INPUT_METER = 12,
    SIM_MSG_OUTPUT_GAIN = 13,
    SIM_MSG_OUTPUT_METER = 14,
    SIM_MSG_OVERLOAD = 15,
};

// Sample types, as getChannelInfo reports them: big-endian (MSB) 0..11, little-endian (LSB)
// 16..27, DSD from 32. The 32-bit containers hold 16, 18, 20 or 24 bits.
enum {
    SIM_ST_INT16_MSB = 0,
    SIM_ST_INT24_MSB = 1,
    SIM_ST_INT32_MSB = 2,
    SIM_ST_FLOAT32_MSB = 3,
    SIM_ST_FLOAT64_MSB = 4,
    SIM_ST_INT32_MSB16 = 8,
    SIM_ST_INT32_MSB18 = 9,
    SIM_ST_INT32_MSB20 = 10,
    SIM_ST_INT32_MSB24 = 11,
    SIM_ST_INT16_LSB = 16,
    SIM_ST_INT24_LSB = 17,
    SIM_ST_INT32_LSB = 18,
    SIM_ST_FLOAT32_LSB = 19,
    SIM_ST_FLOAT64_LSB = 20,
    SIM_ST_INT32_LSB16 = 24,
    SIM_ST_INT32_LSB18 = 25,
    SIM_ST_INT32_LSB20 = 26,
    SIM_ST_INT32_LSB24 = 27,
    SIM_ST_DSD_INT8_LSB1 = 32,  // one byte per frame: 8 one-bit samples
    SIM_ST_DSD_INT8_MSB1 = 33,
    SIM_ST_DSD_INT8_NER8 = 40,  // one 8-bit sample
};

#pragma pack(push, 4)

struct SimAsioSamples {  // also the time stamp: a 64-bit count in two halves
    unsigned long hi;
    unsigned long lo;
};

struct SimAsioClockSource {
    long index;
    long associatedChannel;
    long associatedGroup;
    long isCurrentSource;
    char name[32];
};

struct SimAsioChannelInfo {
    long channel;
    long isInput;
    long isActive;
    long channelGroup;
    long type;
    char name[32];
};

struct SimAsioBufferInfo {
    long isInput;
    long channelNum;
    void *buffers[2];
};

struct SimAsioCallbacks {
    void (SIM_CDECL *bufferSwitch)(long doubleBufferIndex, long directProcess);
    void (SIM_CDECL *sampleRateDidChange)(double rate);
    long (SIM_CDECL *asioMessage)(long selector, long value, void *message, double *opt);
    void *(SIM_CDECL *bufferSwitchTimeInfo)(void *params, long doubleBufferIndex, long directProcess);
};

// What bufferSwitchTimeInfo passes: the time of the buffer being delivered.
enum {
    SIM_TIME_SYSTEM_VALID = 1,
    SIM_TIME_POSITION_VALID = 2,
    SIM_TIME_RATE_VALID = 4,
    SIM_TIME_SPEED_VALID = 8,
    SIM_TIME_RATE_CHANGED = 16,
    SIM_TIME_CLOCK_SOURCE_CHANGED = 32,
};

// SimAsioTimeCode's flags.
enum {
    SIM_TIME_CODE_VALID = 1,
    SIM_TIME_CODE_RUNNING = 2,
    SIM_TIME_CODE_REVERSE = 4,
    SIM_TIME_CODE_ON_SPEED = 8,
    SIM_TIME_CODE_STILL = 16,
    SIM_TIME_CODE_SPEED_VALID = 32,
};

struct SimAsioTimeInfo {
    double speed;
    SimAsioSamples systemTime;  // nanoseconds
    SimAsioSamples samplePosition;
    double sampleRate;
    unsigned long flags;
    char reserved[12];
};

struct SimAsioTimeCode {
    double speed;
    SimAsioSamples timeCodeSamples;
    unsigned long flags;
    char future[64];
};

struct SimAsioTime {
    long reserved[4];
    SimAsioTimeInfo timeInfo;
    SimAsioTimeCode timeCode;
};

#pragma pack(pop)

static_assert(sizeof(long) == 4, "the interface needs 32-bit long");
static_assert(SIM_ASE_OK == 0 && SIM_ASE_NOT_PRESENT == -1000 && SIM_ASE_HW_MALFUNCTION == -999 &&
              SIM_ASE_INVALID_PARAMETER == -998 && SIM_ASE_INVALID_MODE == -997 &&
              SIM_ASE_SP_NOT_ADVANCING == -996 && SIM_ASE_NO_CLOCK == -995 &&
              SIM_ASE_NO_MEMORY == -994, "error codes");
static_assert(SIM_MSG_SELECTOR_SUPPORTED == 1 && SIM_MSG_ENGINE_VERSION == 2 &&
              SIM_MSG_RESET_REQUEST == 3 && SIM_MSG_BUFFER_SIZE_CHANGE == 4 &&
              SIM_MSG_RESYNC_REQUEST == 5 && SIM_MSG_LATENCIES_CHANGED == 6 &&
              SIM_MSG_SUPPORTS_TIME_INFO == 7 && SIM_MSG_SUPPORTS_TIME_CODE == 8 &&
              SIM_MSG_MMC_COMMAND == 9 && SIM_MSG_INPUT_MONITOR == 10 &&
              SIM_MSG_INPUT_GAIN == 11 && SIM_MSG_INPUT_METER == 12 &&
              SIM_MSG_OUTPUT_GAIN == 13 && SIM_MSG_OUTPUT_METER == 14 && SIM_MSG_OVERLOAD == 15,
              "message selectors");
static_assert(SIM_ST_INT16_MSB == 0 && SIM_ST_INT24_MSB == 1 && SIM_ST_INT32_MSB == 2 &&
              SIM_ST_FLOAT32_MSB == 3 && SIM_ST_FLOAT64_MSB == 4 && SIM_ST_INT32_MSB16 == 8 &&
              SIM_ST_INT32_MSB18 == 9 && SIM_ST_INT32_MSB20 == 10 && SIM_ST_INT32_MSB24 == 11,
              "big-endian sample types");
static_assert(SIM_ST_INT16_LSB == 16 && SIM_ST_INT24_LSB == 17 && SIM_ST_INT32_LSB == 18 &&
              SIM_ST_FLOAT32_LSB == 19 && SIM_ST_FLOAT64_LSB == 20 && SIM_ST_INT32_LSB16 == 24 &&
              SIM_ST_INT32_LSB18 == 25 && SIM_ST_INT32_LSB20 == 26 && SIM_ST_INT32_LSB24 == 27,
              "little-endian sample types");
static_assert(SIM_ST_DSD_INT8_LSB1 == 32 && SIM_ST_DSD_INT8_MSB1 == 33 &&
              SIM_ST_DSD_INT8_NER8 == 40, "DSD sample types");
static_assert(SIM_TIME_SYSTEM_VALID == 1 && SIM_TIME_POSITION_VALID == 2 &&
              SIM_TIME_RATE_VALID == 4 && SIM_TIME_SPEED_VALID == 8 &&
              SIM_TIME_RATE_CHANGED == 16 && SIM_TIME_CLOCK_SOURCE_CHANGED == 32, "time info flags");
static_assert(SIM_TIME_CODE_VALID == 1 && SIM_TIME_CODE_RUNNING == 2 &&
              SIM_TIME_CODE_REVERSE == 4 && SIM_TIME_CODE_ON_SPEED == 8 &&
              SIM_TIME_CODE_STILL == 16 && SIM_TIME_CODE_SPEED_VALID == 32, "time code flags");
static_assert(sizeof(SimAsioSamples) == 8, "samples record");
static_assert(offsetof(SimAsioClockSource, associatedGroup) == 8, "clock source");
static_assert(offsetof(SimAsioClockSource, isCurrentSource) == 12, "clock source");
static_assert(offsetof(SimAsioClockSource, name) == 16, "clock source");
static_assert(sizeof(SimAsioClockSource) == 48, "clock source");
static_assert(offsetof(SimAsioChannelInfo, isInput) == 4, "channel info");
static_assert(offsetof(SimAsioChannelInfo, isActive) == 8, "channel info");
static_assert(offsetof(SimAsioChannelInfo, channelGroup) == 12, "channel info");
static_assert(offsetof(SimAsioChannelInfo, type) == 16, "channel info");
static_assert(offsetof(SimAsioChannelInfo, name) == 20, "channel info");
static_assert(sizeof(SimAsioChannelInfo) == 52, "channel info");
static_assert(offsetof(SimAsioBufferInfo, channelNum) == 4, "buffer info");
static_assert(offsetof(SimAsioBufferInfo, buffers) == 8, "buffer info");
static_assert(sizeof(SimAsioBufferInfo) == 8 + 2 * sizeof(void *), "buffer info: 16 or 24");
static_assert(sizeof(SimAsioCallbacks) == 4 * sizeof(void *), "callbacks: 16 or 32");
static_assert(offsetof(SimAsioTimeInfo, systemTime) == 8, "time info");
static_assert(offsetof(SimAsioTimeInfo, samplePosition) == 16, "time info");
static_assert(offsetof(SimAsioTimeInfo, sampleRate) == 24, "time info");
static_assert(offsetof(SimAsioTimeInfo, flags) == 32, "time info");
static_assert(offsetof(SimAsioTimeInfo, reserved) == 36, "time info");
static_assert(sizeof(SimAsioTimeInfo) == 48, "time info");
static_assert(offsetof(SimAsioTimeCode, timeCodeSamples) == 8, "time code");
static_assert(offsetof(SimAsioTimeCode, flags) == 16, "time code");
static_assert(offsetof(SimAsioTimeCode, future) == 20, "time code");
static_assert(sizeof(SimAsioTimeCode) == 84, "time code");
static_assert(offsetof(SimAsioTime, timeInfo) == 16, "time");
static_assert(offsetof(SimAsioTime, timeCode) == 64, "time");
static_assert(sizeof(SimAsioTime) == 148, "time");

struct SimDevice;

struct SimDeviceVtbl {
    HRESULT (SIM_STDCALL *QueryInterface)(SimDevice *self, const IID *iid, void **out);
    ULONG (SIM_STDCALL *AddRef)(SimDevice *self);
    ULONG (SIM_STDCALL *Release)(SimDevice *self);
    long (SIM_THISCALL *init)(SimDevice *self, void *sysHandle);
    void (SIM_THISCALL *getDriverName)(SimDevice *self, char *name);
    long (SIM_THISCALL *getDriverVersion)(SimDevice *self);
    void (SIM_THISCALL *getErrorMessage)(SimDevice *self, char *text);
    long (SIM_THISCALL *start)(SimDevice *self);
    long (SIM_THISCALL *stop)(SimDevice *self);
    long (SIM_THISCALL *getChannels)(SimDevice *self, long *inputs, long *outputs);
    long (SIM_THISCALL *getLatencies)(SimDevice *self, long *inputLatency, long *outputLatency);
    long (SIM_THISCALL *getBufferSize)(SimDevice *self, long *minSize, long *maxSize,
                                       long *preferredSize, long *granularity);
    long (SIM_THISCALL *canSampleRate)(SimDevice *self, double rate);
    long (SIM_THISCALL *getSampleRate)(SimDevice *self, double *rate);
    long (SIM_THISCALL *setSampleRate)(SimDevice *self, double rate);
    long (SIM_THISCALL *getClockSources)(SimDevice *self, SimAsioClockSource *clocks, long *count);
    long (SIM_THISCALL *setClockSource)(SimDevice *self, long reference);
    long (SIM_THISCALL *getSamplePosition)(SimDevice *self, SimAsioSamples *position,
                                           SimAsioSamples *stamp);
    long (SIM_THISCALL *getChannelInfo)(SimDevice *self, SimAsioChannelInfo *info);
    long (SIM_THISCALL *createBuffers)(SimDevice *self, SimAsioBufferInfo *infos, long count,
                                       long bufferSize, SimAsioCallbacks *callbacks);
    long (SIM_THISCALL *disposeBuffers)(SimDevice *self);
    long (SIM_THISCALL *controlPanel)(SimDevice *self);
    long (SIM_THISCALL *future)(SimDevice *self, long selector, void *opt);
    long (SIM_THISCALL *outputReady)(SimDevice *self);
};

static_assert(offsetof(SimDeviceVtbl, init) == 3 * sizeof(void *), "slot 3");
static_assert(offsetof(SimDeviceVtbl, getChannelInfo) == 18 * sizeof(void *), "slot 18");
static_assert(offsetof(SimDeviceVtbl, createBuffers) == 19 * sizeof(void *), "slot 19");
static_assert(sizeof(SimDeviceVtbl) == 24 * sizeof(void *), "24 slots");
