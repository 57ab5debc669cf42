// The simulated ASIO device: what a test or a user needs to register one and to watch it work.
//
// One DLL (simasio64.dll / simasio.dll) serves any number of devices. Each device is a COM class
// whose configuration lives in the registry, below its class key, in the registry view of the DLL's
// own bitness:
//     HKCR\CLSID\{clsid}\InprocServer32      (default) = DLL path, ThreadingModel = Apartment
//     HKCR\CLSID\{clsid}\Simulation          the figures below (values named as in SimConfig)
//     HKCR\CLSID\{clsid}\Simulation\Panel    optional: values the control panel copies over
//     HKLM\SOFTWARE\ASIO\<name>              "CLSID" = "{clsid}", "Description" = <name>
//
// What the device saw is published in a named shared-memory record, SimShared, named
// simSharedName(clsid). A test opens it before the host starts and keeps its handle, so the record
// outlives the host process and can be read after the host ended.
#pragma once

#include <windows.h>
#include <stdint.h>

// The device that DllRegisterServer registers (with a control panel window).
#define SIM_DEFAULT_NAME "Quorvel Simulated Device"
#define SIM_DEFAULT_CLSID "{D7C77681-91D4-4CA3-9AFA-7427AB911F3F}"

// Configuration of one simulated device. Counts are signed on purpose: hostile figures (negative,
// zero, huge) are part of what the device can report.
struct SimConfig {
    int32_t inputs;           // "Inputs"
    int32_t outputs;          // "Outputs"
    int32_t minSize;          // "MinSize"
    int32_t maxSize;          // "MaxSize"
    int32_t preferredSize;    // "PreferredSize"
    int32_t granularity;      // "Granularity"
    char sampleRate[64];      // "SampleRate", text parsed with strtod ("48000", "nan", "inf", "1e300")
    int32_t sampleType;       // "SampleType", ASIO sample type code
    char driverName[64];      // "DriverName"; getDriverName writes at most 32 bytes
    int32_t driverVersion;    // "DriverVersion"
    char initError[128];      // "InitError": when not empty, init returns 0 and reports this text
    int32_t periodUs;         // "PeriodUs": 0 = real time from buffer size and rate; 50 us..1 s
    int32_t createBuffersFails;  // "CreateBuffersFails": createBuffers returns an error
    int32_t nullBuffers;      // "NullBuffers": createBuffers succeeds but leaves every address null
    int32_t startFails;       // "StartFails": start returns an error
    int32_t nameUnterminated; // "NameUnterminated": getDriverName fills 32 bytes with no NUL
    int32_t panelShowsWindow; // "PanelShowsWindow": 1 = a modal window; 0 = apply "Panel" silently
    int32_t panelDelayMs;     // "PanelDelayMs": controlPanel blocks this long before returning
};

// Default figures: 2 in, 2 out, 256 frames (64..2048, granularity -1), 48 kHz, 32-bit LE integers,
// real-time pace, no faults, no panel window.
void simDefaultConfig(SimConfig *config);

// Registers a device: the ASIO key, the class key pointing at dllPath, and the configuration.
// Writes the registry view of the calling process's bitness. Returns 0 or a Windows error code.
long simRegisterDevice(const char *name, const char *clsidText, const char *dllPath,
                       const SimConfig *config);
// Writes the values of "Simulation\Panel": what the control panel changes. Only the fields that
// differ from `base` are written, so a panel can change one figure or every one.
long simSetPanelChanges(const char *clsidText, const SimConfig *base, const SimConfig *changed);
// Removes the ASIO key and the class key with all below it. Returns 0 or a Windows error code.
long simUnregisterDevice(const char *name, const char *clsidText);
// Reads a device's configuration from its class key. Values that are missing keep their defaults.
// Returns 0 or a Windows error code.
long simReadConfig(const char *clsidText, SimConfig *config);
// Rewrites every value of "Simulation" (what the window of the control panel does on OK).
long simWriteConfig(const char *clsidText, const SimConfig *config);
// Copies every value of "Simulation\Panel" into "Simulation" (what a silent control panel does).
long simApplyPanelChanges(const char *clsidText);

// Calls as they are logged, in order.
enum SimOp {
    SIM_CREATED = 1,  // a: instance number
    SIM_RELEASED,     // the last reference went; a: instance number
    SIM_INIT,         // a: sysHandle != null
    SIM_GET_DRIVER_NAME,
    SIM_GET_DRIVER_VERSION,
    SIM_GET_ERROR_MESSAGE,
    SIM_START,        // a: result
    SIM_STOP,
    SIM_GET_CHANNELS,
    SIM_GET_LATENCIES,
    SIM_GET_BUFFER_SIZE,
    SIM_CAN_SAMPLE_RATE,
    SIM_GET_SAMPLE_RATE,
    SIM_SET_SAMPLE_RATE,
    SIM_GET_CLOCK_SOURCES,
    SIM_SET_CLOCK_SOURCE,
    SIM_GET_SAMPLE_POSITION,
    SIM_GET_CHANNEL_INFO,  // a: channel, b: isInput
    SIM_CREATE_BUFFERS,    // a: count, b: buffer size
    SIM_DISPOSE_BUFFERS,
    SIM_CONTROL_PANEL,
    SIM_FUTURE,
    SIM_OUTPUT_READY,
};

struct SimCall {
    int32_t instance;  // which object of this device, counted from 1
    int32_t op;        // SimOp
    int32_t a;
    int32_t b;
};

enum { SIM_MAX_CALLS = 16384, SIM_SHARED_MAGIC = 0x51534D31 };

// Same layout in both bitnesses: fixed-width fields only, no pointers.
// Counters are written by the device with interlocked operations.
struct SimShared {
    uint32_t magic;
    volatile LONG instancesCreated;
    volatile LONG instancesAlive;
    volatile LONG starts;               // successful starts
    volatile LONG runSwitches;          // buffer switches since the last start
    volatile LONG totalSwitches;        // buffer switches over the record's life
    volatile LONG mismatches;           // output channels whose copy of their input differed in any
                                        // byte, counted once per channel and buffer switch
    volatile LONG sentinelViolations;   // bytes written where nothing should have been
    volatile LONG guardViolations;      // bytes written behind the end of a buffer
    volatile LONG lateSwitches;         // callbacks that returned after their period had run out
    volatile LONG longestCallbackUs;
    volatile LONG threadsRunning;       // switch threads alive (0 or 1)
    volatile LONG callCount;            // calls seen; only the first SIM_MAX_CALLS are kept
    SimCall calls[SIM_MAX_CALLS];
};

// Name of the shared record of the device with that class ("QuorvelSim-{...}", upper case).
void simSharedName(const char *clsidText, char *out, int outSize);
// Creates or opens the record and maps it. Returns null on failure. *mapping gets the handle to
// close with simCloseShared. reset: zero the record first (a test does this before the host starts).
SimShared *simOpenShared(const char *clsidText, bool reset, HANDLE *mapping);
void simCloseShared(SimShared *shared, HANDLE mapping);
