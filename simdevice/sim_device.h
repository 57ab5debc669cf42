// The simulated ASIO device: what a test or a user needs to register one and to watch it work.
//
// One DLL (simasio64.dll / simasio.dll) serves any number of devices. Each device is a COM class
// whose configuration lives in the registry, below its class key, in the registry view of the DLL's
// own bitness:
//     HKCR\CLSID\{clsid}\InprocServer32      (default) = DLL path, ThreadingModel = Apartment
//     HKCR\CLSID\{clsid}\Simulation          the knobs (simKnobs: sim_knobs.cpp)
//     HKCR\CLSID\{clsid}\Simulation\Panel    optional: values the control panel copies over
//     HKCR\CLSID\{clsid}\Simulation "GoneSince"  written by the device: when it went away
//     HKCR\CLSID\{clsid}\Simulation "Opens", "RunningOwner"  written by the device: its opens
//                                            ("DriftPerOpen"), the process streaming on it
//     HKLM\SOFTWARE\ASIO\<name>              "CLSID" = "{clsid}", "Description" = <name>
//
// It behaves like the strictest real drivers a host meets:
// - COM identity: the driver interface only under the class identifier; IID_IUnknown gets a
//   separate three-slot face of the same object. Anything else is refused.
// - Windows on the host's thread: a control panel as a top-level window with no owner and the
//   device's own message loop, a message box from init, a message loop inside stop. Host calls
//   that arrive on that thread meanwhile are flagged; a Release among them is honoured once the
//   device's own call has returned.
// - The callbacks record is kept by pointer, and asioMessage is asked the usual questions at
//   createBuffers; a request (reset, buffer size, resync, latencies, overload) can come from the
//   switch thread, only to a host that said it supports it, and so can a new rate. A rate set
//   while running is taken on the clock and announced; the device can go away while streaming.
// - Sample type, name per channel; a list of accepted sample rates.
// - A loopback cable from one output to one input with a true round trip of
//   2 x frames + InputDelay + OutputDelay, and latencies that tell it (or lie by LatencyLie).
// - Stalls of the clock, and buffers with no channels at all.
// - One broken rule at a time on demand: a crash, a hang or an exit in any call, calls that
//   answer errors, wrong figures, shared buffers, early callbacks, a leak ("FaultCall" to
//   "KeepsReference").
// - A sample clock of its own (pace off by ClockPpm), time info for a host that wants it, faults of
//   the sample position, the time info, the callbacks and the cable's signal, and an account of
//   where each shows that does not depend on what the host did.
//
// What the device saw is published in a named shared-memory record, SimShared, named
// simSharedName(clsid). A test opens it before the host starts and keeps its handle, so the record
// outlives the host process and can be read after the host ended.
#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

// The device that DllRegisterServer registers (with a control panel window).
#define SIM_DEFAULT_NAME "Quorvel Simulated Device"
#define SIM_DEFAULT_CLSID "{D7C77681-91D4-4CA3-9AFA-7427AB911F3F}"

// Configuration of one simulated device: one field per knob, a value of "Simulation" named in
// simKnobs (sim_knobs.cpp), which gives its default, its range and what it does. Counts are signed
// on purpose: hostile figures (negative, zero, huge) are part of what the device can report. Text
// lists are comma-separated.
struct SimConfig {
    int32_t inputs;
    int32_t outputs;
    int32_t minSize;
    int32_t maxSize;
    int32_t preferredSize;
    int32_t granularity;
    char sampleRate[64];
    char sampleRates[128];
    int32_t sampleType;
    char inputTypes[128];
    char outputTypes[128];
    char inputNames[256];
    char outputNames[256];
    char driverName[64];
    int32_t driverVersion;
    char initError[128];
    int32_t periodUs;
    int32_t createBuffersFails;
    int32_t nullBuffers;
    int32_t startFails;
    int32_t nameUnterminated;
    int32_t panelShowsWindow;
    int32_t panelDelayMs;
    int32_t initMessageBox;
    int32_t stopWaits;
    int32_t windowMs;
    int32_t asioMessages;
    int32_t requestSelector;
    int32_t requestAtSwitch;
    int32_t inputDelay;
    int32_t outputDelay;
    int32_t latencyLie;
    int32_t cableOut;
    int32_t cableIn;
    char cableMap[1024];
    char cableDelays[256];
    int32_t signalFaultRoute;
    int32_t stallEvery;
    int32_t stallMs;

    // Faults of the driver's calls, one per broken rule. Calls are counted in SimShared's
    // opCounts (over all objects and processes since the record was reset); "create" counts the
    // factory's CreateInstance calls (createFor*), "release" the objects released before.
    char faultCall[32];
    int32_t faultKind;
    int32_t faultAtCall;
    int32_t faultExitCode;
    char failCall[32];
    int32_t failAtCall;
    int32_t failCount;
    int32_t silentStartAt;
    int32_t createDelayMs;
    int32_t initDelayMs;
    int32_t errorMessageUnterminated;
    int32_t reinitFails;
    int32_t channelInfoFault;
    int32_t channelInfoPastEnd;
    int32_t clockFault;
    int32_t setRateIgnored;
    int32_t setRateAcceptsAll;
    int32_t maxWorkingSize;
    int32_t sharedBuffer;
    int32_t latencyFault;
    int32_t callbackInCreateBuffers;
    int32_t outputReady;
    int32_t keepsReference;
    // The device's own clock counts periods k = 1, 2, 3... from start, each `frames` long; its
    // frame clock is (k-1) x frames at the start of period k, whose callback gets index (k-1) & 1.
    int32_t clockPpm;
    int32_t timeInfoOnly;
    int32_t timeInfoFault;
    int32_t positionFault;
    // A clock whose rate moves during a long run, and one that stops; a frame clock that starts
    // near 2^32 and crosses it.
    int32_t rateStepAtMs;
    int32_t rateStepPpm;
    int32_t slidePpmPerMinute;
    int32_t stopAtMs;
    char positionStart[32];
    int32_t positionCarryFault;
    int32_t stopCallbacksAfter;
    int32_t indexFault;
    int32_t twoThreads;
    int32_t callbacksBeforeStart;
    int32_t lateCallbackMs;
    int32_t requestLatencyShift;
    char signalFault[16];
    int32_t signalFaultAt;
    int32_t signalFaultBits;
    char signalFaultLevel[32];
    // What goes wrong only when a host repeats itself, the way hosts do.
    int32_t setRateBackIgnored;
    int32_t restartSilent;
    int32_t recreateFails;
    int32_t silentAfterRecreates;
    int32_t rateChangeSilent;
    int32_t latencyLieAtSize;
    char channelsAtRates[128];
    // What a driver does to its host outside the calls it is asked.
    int32_t threadFault;
    int32_t threadFaultAt;
    int32_t printLines;
    int32_t scribbleAt;
    int32_t scribbleValue;
    int32_t subclassReference;
    // Two programs at once. The first process to make an object of the device holds it while it
    // lives; an object made in another process meanwhile is a second client's.
    int32_t secondClient;
    char secondFaultCall[32];
    int32_t secondFaultKind;
    int32_t secondStallMs;
    int32_t secondChangeSilent;
    int32_t spinPercent;
    // What a driver tells its host of its own: the "RequestSelector" request's details, rate
    // announcements, a rate changed while running, the device gone while streaming. A well-behaved
    // driver sends a selector only to a host that answered 1 when asked whether it supports it.
    int32_t requestValue;
    int32_t requestRepeat;
    int32_t requestBadPointer;
    int32_t requestPreferredSize;
    int32_t ignoresUnsupported;
    char announceRate[32];
    int32_t announceAtSwitch;
    int32_t announceUnreported;
    int32_t runningRateChange;
    int32_t goneAtSwitch;
    int32_t goneWay;
    int32_t backAfterMs;
    // What goes wrong only across opens, as a host opens the driver again and again: figures that
    // creep, handles and memory left behind, a device held by a host that was killed.
    int32_t driftPerOpen;
    int32_t leakHandlesPerOpen;
    int32_t leakKBPerOpen;
    int32_t leakThreadsPerOpen;
    int32_t killedOwnerBlocks;
};

// One knob: the registry value, the SimConfig field it sets (offset; textSize 0: a signed 32-bit
// number), its default as the registry would hold it (a number in decimal), the values it takes
// and what it does. Reading, writing and the defaults go through simKnobs, in its order; so does
// the documentation's list of knobs.
struct SimKnob {
    const char *name;
    size_t offset;
    size_t textSize;
    const char *byDefault;
    const char *range;
    const char *what;
};
extern const SimKnob simKnobs[];
extern const int simKnobCount;

// Every knob's default (simKnobs): 2 in, 2 out, 256 frames (64..2048, granularity -1), 48 kHz,
// 32-bit LE integers, real-time pace, no faults, no panel window, the usual asioMessage questions,
// no cable.
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
// The moment the device went away ("GoneAtSwitch"), where every process sees it: the value
// "GoneSince" of "Simulation", a FILETIME of the system clock (REG_QWORD). simWriteConfig and
// simRegisterDevice remove it, so a device whose knobs are written afresh is present.
long simNoteGone(const char *clsidText);  // now; 0 or a Windows error code
// True when a moment is noted, with the milliseconds since (0 if the clock went back).
bool simGoneFor(const char *clsidText, long long *ms);
long simClearGone(const char *clsidText);  // 0 or a Windows error code; none noted is 0 too
// The opens of the device so far, where every process sees them ("DriftPerOpen"): the value "Opens"
// of "Simulation" (REG_DWORD), which simWriteConfig and simRegisterDevice remove. Returns the opens
// before this one and counts this one.
long simCountOpen(const char *clsidText);
// The process streaming on the device ("KilledOwnerBlocks"): the value "RunningOwner" of
// "Simulation", its process id and start time (a FILETIME), written at start and removed at stop by
// that process, and by simWriteConfig and simRegisterDevice. simReadOwner is false when none is noted.
long simNoteOwner(const char *clsidText, DWORD processId, FILETIME started);
bool simReadOwner(const char *clsidText, DWORD *processId, FILETIME *started);
long simClearOwner(const char *clsidText);  // 0 or a Windows error code

// Calls as they are logged, in order.
enum SimOp {
    SIM_CREATED = 1,  // a: instance number
    SIM_RELEASED,     // the last reference went and the object is gone; a: instance number
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
    // COM makes these freely, so they are logged only when they come during a window, where
    // they matter. a: what was asked (SIM_ASKED_*), b: 1 when made on the IUnknown face.
    SIM_QUERY_INTERFACE,
    SIM_ADD_REF,           // a: references after the call
    SIM_RELEASE,           // a: references after the call
};

// What a QueryInterface or a factory's CreateInstance asked for.
enum { SIM_ASKED_OTHER = 0, SIM_ASKED_CLSID = 1, SIM_ASKED_UNKNOWN = 2 };

enum { SIM_CALL_DURING_WINDOW = 1 };

struct SimCall {
    int32_t instance;  // which object of this device, counted from 1
    int32_t op;        // SimOp
    int32_t a;
    int32_t b;
    int32_t flags;     // SIM_CALL_DURING_WINDOW: made on the thread of a window of the device's
                       // while it was up
};

enum { SIM_MAX_CALLS = 16384, SIM_SHARED_MAGIC = 0x51534D32, SIM_SELECTORS = 16, SIM_OPS = 32 };

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

    // Windows and message loops the device ran on a host's thread (panel, message box, stop).
    volatile LONG windowsUp;            // up now
    volatile LONG windowsShown;         // over the record's life
    volatile LONG callsDuringWindow;    // host calls that came on that thread while one was up

    // COM identity: what the factory's CreateInstance and the object's QueryInterface were asked.
    volatile LONG createForClsid;
    volatile LONG createForUnknown;
    volatile LONG createForOther;
    volatile LONG queryForClsid;
    volatile LONG queryForUnknown;
    volatile LONG queryForOther;

    // asioMessage. At createBuffers the device asks "selector supported" (1) for 2, 3, 4, 5, 6, 7,
    // 8 and 15, then engine version (2), supports time info (7), supports time code (8).
    volatile LONG supportedAnswers[SIM_SELECTORS];  // [v]: answer to (1, v); -1 never asked
    volatile LONG messageAnswers[SIM_SELECTORS];    // [s]: answer to (s, 0); -1 never asked
    volatile LONG requestsSent;         // "RequestSelector" messages sent from the switch thread
    volatile LONG requestAnswer;        // the host's answer to the last of them

    volatile LONG trueRoundTrip;        // frames from output "CableOut" back to input "CableIn" (the
                                        // first route),
                                        // set at createBuffers and kept current by the clock
                                        // (drops and "shift" add to it); 0 with no cable
    volatile LONG stalls;               // switches made late on purpose ("StallEvery")
    volatile LONG outputReadyAfterSwitch;  // buffer switches followed by at least one
                                        // outputReady call before the next one

    // The device's own clock in the current run (reset when a run begins).
    volatile LONG clockPeriods;         // periods of the clock since the run began
    volatile LONG hostSwitches;         // host callbacks made: bufferSwitch + bufferSwitchTimeInfo
    volatile LONG bufferSwitchCalls;
    volatile LONG timeInfoCalls;
    // Where the "SignalFault" shows, in the host's terms, from the device's own clock and queue:
    volatile LONG faultPeriod;          // period of the clock it began in; 0: not yet
    volatile LONG faultHostSwitch;      // host callback (from 1) bringing the first affected
                                        // input sample of the faulty route; 0: not yet
    volatile LONG faultHostOffset;      // that sample's frame within the buffer
    volatile LONG drops;                // periods in which the host was not called ("drop")
    volatile LONG duplicates;           // extra callbacks of a period ("twice")

    volatile LONG opCounts[SIM_OPS];    // [op]: calls of each SimOp, counted past the log's end
    volatile LONG callCount;            // calls seen; only the first SIM_MAX_CALLS are kept
    SimCall calls[SIM_MAX_CALLS];

    // Two programs at once ("SecondClient"), in the device's own account.
    volatile LONG firstProcess;         // process id of the first client; 0: none yet
    volatile LONG secondObjects;        // objects made by another process while the first lived
    volatile LONG secondSwitches;       // host callbacks made to a second client
    volatile LONG stolenBy;             // process id of the second client holding the stream
    volatile LONG stolenPeriods;        // periods of the first's clock without a callback: taken
    volatile LONG firstHalted;          // the second's release stopped the first's stream
    volatile LONG haltedPeriods;        // periods of the first's clock without a callback since
    // The first client's start time (FILETIME, low and high): a process id is soon reused.
    volatile LONG firstStartedLow;
    volatile LONG firstStartedHigh;
    volatile LONG claimLock;            // 1 while a process decides whether it is the first
    // What the switch thread of the last run cost, by its own count: the time it spun for
    // "SpinPercent" (by its clock) and its processor time from its start to its end, in us.
    volatile LONG spunUs;
    volatile LONG switchThreadCpuUs;
    volatile LONG silencedBy;           // process id of the second client silencing the first's
                                        // cabled inputs ("SecondClient" 5); 0: none
    volatile LONG silencedSwitches;     // the first's host callbacks given silent cabled inputs in
                                        // its current run
    volatile LONG silencedFromSwitch;   // ... the first of them (its number in the run, from 1);
                                        // 0: none yet

    // What the device told its hosts of its own, by its own count over the record's life (the
    // "RequestSelector" request is requestsSent and requestAnswer above).
    volatile LONG firstRequestSwitch;   // host callback of its run (from 1) after which the first
                                        // "RequestSelector" request went; 0: none yet
    volatile LONG requestsWithheld;     // requests (of every kind) not sent because the host had
                                        // not answered 1 to "selector supported" for them
    volatile LONG rateAnnouncements;    // sampleRateDidChange calls made
    volatile LONG announcedRate;        // the rate of the last of them, in Hz, rounded
    volatile LONG ownRequestsSent;      // requests of the device's own making: the reset of
                                        // "RunningRateChange" 2, the reset or resync of "GoneWay"
                                        // 4 and 5
    volatile LONG ownRequestSelector;   // the selector of the last of them
    volatile LONG clockRate;            // the rate, in Hz rounded, whose periods the clock of the
                                        // current (or last) run keeps; a change in mid-run shows
                                        // at once. With "PeriodUs" the pace stays that period.
    volatile LONG goneAtSwitch;         // host callback of its run (from 1) after which the device
                                        // went away ("GoneAtSwitch"); 0: it did not
    volatile LONG initsWhileGone;       // inits of objects made while the device was away
    volatile LONG objectsInProcess;     // objects of the device the process that made the latest
                                        // one has made, that one included
    volatile LONG secondRate;           // the rate, in Hz rounded, a second client set, not yet
                                        // taken by the first's switch thread; 0: none
    volatile LONG secondRatesTaken;     // rates a second client set that the first's clock took
    // The clock's true rate error over the current (or last) run, by its own timeline: the frames
    // of its periods from period 1 to the latest begun, against the time between their starts on
    // the performance counter, set against the rate getSampleRate reports; in thousandths of a
    // ppm (positive: fast).
    volatile LONG clockErrorMilliPpm;
    volatile LONG stoppedAtPeriod;      // "StopAtMs": the period after which it stopped; 0: not

    // Across opens, by the device's own count over the record's life:
    volatile LONG opensCounted;         // inits that counted an open ("DriftPerOpen" not 0)
    volatile LONG driftFrames;          // frames added to the figures at the latest of them
    volatile LONG handlesLeaked;        // events made at init and never closed ("LeakHandlesPerOpen")
    volatile LONG kbLeaked;             // KB committed and touched at init, never freed
    volatile LONG threadsLeaked;        // threads started at init that never end
    volatile LONG ownersNoted;          // starts that noted their process as the running owner
    volatile LONG ownerBlocks;          // inits refused: the owner noted had been killed
};

// Name of the shared record of the device with that class ("QuorvelSim-{...}", upper case).
void simSharedName(const char *clsidText, char *out, int outSize);
// Creates or opens the record and maps it. Returns null on failure. *mapping gets the handle to
// close with simCloseShared. reset: clear the record first (a test does this before the host
// starts); a record made afresh is cleared the same way (counters 0, answers -1).
SimShared *simOpenShared(const char *clsidText, bool reset, HANDLE *mapping);
void simCloseShared(SimShared *shared, HANDLE mapping);
