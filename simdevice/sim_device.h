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
// It behaves like the strictest real drivers a host meets:
// - COM identity: the driver interface only under the class identifier; IID_IUnknown gets a
//   separate three-slot face of the same object. Anything else is refused.
// - Windows on the host's thread: a control panel as a top-level window with no owner and the
//   device's own message loop, a message box from init, a message loop inside stop. Host calls
//   that arrive on that thread meanwhile are flagged; a Release among them is honoured once the
//   device's own call has returned.
// - The callbacks record is kept by pointer, and asioMessage is asked the usual questions at
//   createBuffers; a request (reset, resync, latencies, overload) can come from the switch thread.
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
#include <stdint.h>

// The device that DllRegisterServer registers (with a control panel window).
#define SIM_DEFAULT_NAME "Quorvel Simulated Device"
#define SIM_DEFAULT_CLSID "{D7C77681-91D4-4CA3-9AFA-7427AB911F3F}"

// Configuration of one simulated device. Counts are signed on purpose: hostile figures (negative,
// zero, huge) are part of what the device can report. Text lists are comma-separated.
struct SimConfig {
    int32_t inputs;           // "Inputs"
    int32_t outputs;          // "Outputs"
    int32_t minSize;          // "MinSize"
    int32_t maxSize;          // "MaxSize"
    int32_t preferredSize;    // "PreferredSize"
    int32_t granularity;      // "Granularity"
    char sampleRate[64];      // "SampleRate", text parsed with strtod ("48000", "nan", "inf", "1e300")
    char sampleRates[128];    // "SampleRates": rates canSampleRate/setSampleRate accept
                              // ("44100,48000,96000"); empty = only "SampleRate"
    int32_t sampleType;       // "SampleType", ASIO sample type code of every channel not listed below
    char inputTypes[128];     // "InputTypes": type codes of the inputs in channel order, the last
                              // one repeating for the rest; empty = "SampleType" for all
    char outputTypes[128];    // "OutputTypes": the same for the outputs
    char inputNames[256];     // "InputNames": channel names (each cut to 31 characters); a channel
                              // without one is "Sim In N"
    char outputNames[256];    // "OutputNames": the same for the outputs ("Sim Out N")
    char driverName[64];      // "DriverName"; getDriverName writes at most 32 bytes
    int32_t driverVersion;    // "DriverVersion"
    char initError[128];      // "InitError": when not empty, init returns 0 and reports this text
    int32_t periodUs;         // "PeriodUs": 0 = real time from buffer size and rate; 50 us..1 s
    int32_t createBuffersFails;  // "CreateBuffersFails": createBuffers returns an error
    int32_t nullBuffers;      // "NullBuffers": createBuffers succeeds but leaves every address null
    int32_t startFails;       // "StartFails": start returns an error
    int32_t nameUnterminated; // "NameUnterminated": getDriverName fills 32 bytes with no NUL
    int32_t panelShowsWindow; // "PanelShowsWindow": 0 = apply "Panel" silently; 1 = a modal window
                              // owned by init's sysHandle; 2 = a top-level window with no owner
                              // and the device's own message loop, closed after "WindowMs", then
                              // "Panel" applied silently
    int32_t panelDelayMs;     // "PanelDelayMs": controlPanel blocks this long before anything else
    int32_t initMessageBox;   // "InitMessageBox": 1 = init first shows a message box with no owner,
                              // closed after "WindowMs"
    int32_t stopWaits;        // "StopWaits": 1 = stop ends the switch thread, then runs a message
                              // loop for "WindowMs" before it returns
    int32_t windowMs;         // "WindowMs": how long those windows and loops stay up (1000)
    int32_t asioMessages;     // "AsioMessages": 1 = createBuffers asks the host's asioMessage the
                              // usual questions (see SimShared) before it returns
    int32_t requestSelector;  // "RequestSelector": 0 = none; else asioMessage(selector, 0, 0, 0)
                              // once per run, from the switch thread (3 reset, 5 resync,
                              // 6 latencies changed, 15 overload...)
    int32_t requestAtSwitch;  // "RequestAtSwitch": ...right after this buffer switch (from 1)
    int32_t inputDelay;       // "InputDelay": frames the input converters add (negative = 0)
    int32_t outputDelay;      // "OutputDelay": frames the output converters add (negative = 0)
    int32_t latencyLie;       // "LatencyLie": added to the output latency reported; may be negative
    int32_t cableOut;         // "CableOut": output channel whose samples come back on "CableIn";
    int32_t cableIn;          // "CableIn":  -1 (both) = no cable
    char cableMap[1024];      // "CableMap": more routes, "output:input,..." ("0:1,1:0,2:2,2:3": a
                              // swap, and output 2 on two inputs), or "same" (every channel to
                              // its own number); each route its own cable on the same clock
    char cableDelays[256];    // "CableDelays": "input:frames,...", frames the route to that input
                              // adds to InputDelay + OutputDelay (skew)
    int32_t signalFaultRoute; // "SignalFaultRoute": the input of the route "SignalFault" acts on
                              // (-1: the first route); drop and twice act on every route
    int32_t stallEvery;       // "StallEvery": 0 = never; else every Nth switch comes late by...
    int32_t stallMs;          // "StallMs": ...this many milliseconds

    // Faults of the driver's calls, one per broken rule. Calls are counted in SimShared's
    // opCounts (over all objects and processes since the record was reset); "create" counts the
    // factory's CreateInstance calls (createFor*), "release" the objects released before.
    char faultCall[32];       // "FaultCall": a slot name ("init" .. "outputReady", as in the
                              // driver interface), "create" (the factory's CreateInstance) or
                              // "release" (the Release that drops the last reference); empty: none
    int32_t faultKind;        // "FaultKind": 1 an access violation; 2 the call never returns
                              // (sleeping); 3 ExitProcess("FaultExitCode")
    int32_t faultAtCall;      // "FaultAtCall": the fault comes at this call of that slot (1)
    int32_t faultExitCode;    // "FaultExitCode": the exit code of FaultKind 3 (77)
    char failCall[32];        // "FailCall": a slot name or "create"; those calls do nothing but
                              // answer ASE_HWMalfunction (init and getDriverVersion answer 0,
                              // getDriverName and getErrorMessage write nothing, CreateInstance
                              // E_FAIL)
    int32_t failAtCall;       // "FailAtCall": the first call that fails (1)...
    int32_t failCount;        // "FailCount": ...and how many fail (1; -1: every one from then on)
    int32_t silentStartAt;    // "SilentStartAt": this start (from 1) answers ASE_OK but starts
                              // no switch thread: no callbacks, the sample position stands still
    int32_t createDelayMs;    // "CreateDelayMs": CreateInstance sleeps this long first
    int32_t initDelayMs;      // "InitDelayMs": init sleeps this long first
    int32_t errorMessageUnterminated;  // "ErrorMessageUnterminated": getErrorMessage fills all
                              // 124 bytes with no NUL
    int32_t reinitFails;      // "ReinitFails": the second object of the class made in this process
                              // fails init ("Quorvel Sim: the device is in use"); later ones work
    int32_t channelInfoFault; // "ChannelInfoFault": 1 the name has no NUL in its 32 bytes; 2 the
                              // name is empty; 3 `channel` answers the asked one plus 1; 4
                              // `isInput` answers the opposite of what was asked
    int32_t channelInfoPastEnd;  // "ChannelInfoPastEnd": 1 = a channel past the last answers
                              // ASE_OK with a type and a name
    int32_t clockFault;       // "ClockFault": getClockSources gives 1 no source (count 0, ASE_OK);
                              // 2 one source, not current; 3 two sources, both current
    int32_t setRateIgnored;   // "SetRateIgnored": setSampleRate answers ASE_OK for an accepted
                              // rate but keeps the rate it had
    int32_t setRateAcceptsAll;  // "SetRateAcceptsAll": setSampleRate answers ASE_OK for any
                              // positive rate and applies it; canSampleRate still refuses it
    int32_t maxWorkingSize;   // "MaxWorkingSize": createBuffers answers ASE_InvalidMode for
                              // sizes above this, whatever getBufferSize claims (0: no limit)
    int32_t sharedBuffer;     // "SharedBuffer": the second element of the host's array gets 1 the
                              // same two addresses as the first; 2 halves that start in the
                              // middle of the first's (the device judges its own copies)
    int32_t latencyFault;     // "LatencyFault": getLatencies reports 1 half a buffer each way;
                              // 2 4096 - frames each way (at least 1): less as buffers grow
    int32_t callbackInCreateBuffers;  // "CallbackInCreateBuffers": 1 = createBuffers calls the
                              // host's bufferSwitch(0, 1) once, on the host's thread, before it
                              // returns
    int32_t outputReady;      // "OutputReady": outputReady answers 0 ASE_NotPresent; 1 ASE_OK;
                              // 2 ASE_OK for the object's first 10 calls, then ASE_HWMalfunction
    int32_t keepsReference;   // "KeepsReference": the last Release answers 1 and keeps the object
                              // (logged as SIM_RELEASE with a = 1)
    // The device's own clock counts periods k = 1, 2, 3... from start, each `frames` long; its
    // frame clock is (k-1) x frames at the start of period k, whose callback gets index (k-1) & 1.
    int32_t clockPpm;         // "ClockPpm": signed; positive runs fast (period / (1 + ppm/1e6))
    int32_t timeInfoOnly;     // "TimeInfoOnly": 1 = bufferSwitchTimeInfo whatever the host answered
                              // to "supports time info" (otherwise only for a host that said 1)
    int32_t timeInfoFault;    // "TimeInfoFault": 1 flags 0; 2 position stays at its first value;
                              // 3 rate 1% off; 4 system time stays at its first value; 5 a null
                              // record (the call counted in timeInfoCalls all the same)
    int32_t positionFault;    // "PositionFault" (getSamplePosition): 1 stops advancing after 10
                              // periods; 2 goes back one buffer every 10th period; 3 always
                              // ASE_SPNotAdvancing; 4 its time stamp stays at its first value
    int32_t stopCallbacksAfter;   // "StopCallbacksAfter": no host callbacks after N in a run
    int32_t indexFault;       // "IndexFault": every Nth callback repeats the previous one's index
    int32_t twoThreads;       // "TwoThreads": 1 = every other callback from a second thread
    int32_t callbacksBeforeStart;  // "CallbacksBeforeStart": 1 = the clock runs from createBuffers
    int32_t lateCallbackMs;   // "LateCallbackMs": stop and disposeBuffers return at once; one last
                              // callback comes this long after stop returned
    int32_t requestLatencyShift;  // "RequestLatencyShift": output latency reported N frames
                                  // higher once the "RequestSelector" request was sent
    char signalFault[16];     // "SignalFault": one fault of the cable path or of the callbacks:
                              // drop, twice, shift, swap, invert, bits, noise, gain; empty = none
    int32_t signalFaultAt;    // "SignalFaultAt": its period, from 1; 0 = from the start (lasting
                              // ones). The cable's act on what is played from then on (the host's
                              // first samples play in period 2), "swap" on what is captured
    int32_t signalFaultBits;  // "SignalFaultBits": "bits" keeps the top N bits of each sample
    char signalFaultLevel[32];  // "SignalFaultLevel": "noise" amplitude (fraction of full scale)
                                // or "gain" factor, text parsed with strtod
    // What goes wrong only when a host repeats itself, the way hosts do.
    int32_t setRateBackIgnored;  // "SetRateBackIgnored": once another rate was set, setting the
                              // configured "SampleRate" again answers ASE_OK and changes nothing
    int32_t restartSilent;    // "RestartSilent": a start after a stop on the same buffers answers
                              // ASE_OK and makes no switch
    int32_t recreateFails;    // "RecreateFails": createBuffers right after disposeBuffers, at the
                              // size just disposed, answers ASE_NoMemory
    int32_t silentAfterRecreates;  // "SilentAfterRecreates": once buffers were made this many
                              // times after a disposeBuffers, starts answer ASE_OK and make no
                              // switch (0: never)
    int32_t rateChangeSilent; // "RateChangeSilent": once an object's rate was changed, its starts
                              // answer ASE_OK and make no switch
    int32_t latencyLieAtSize; // "LatencyLieAtSize": "LatencyLie" only at this buffer size (0: all)
    char channelsAtRates[128];  // "ChannelsAtRates": "rate:inputs:outputs,..." ("96000:2:2"): the
                              // channels there are while that rate is current, as optical ports
                              // have fewer at higher rates; "Inputs" and "Outputs" at any other
                              // rate
    // What a driver does to its host outside the calls it is asked.
    int32_t threadFault;      // "ThreadFault": the switch thread, right before host callback
                              // "ThreadFaultAt" of a run: 1 an access violation; 3
                              // ExitProcess("FaultExitCode"); 0 none
    int32_t threadFaultAt;    // "ThreadFaultAt": that callback's number, from 1
    int32_t printLines;       // "PrintLines": 1 = init writes a line on the process's standard
                              // output and one on its standard error, and the switch thread does
                              // the same before its first callback of a run
    int32_t scribbleAt;       // "ScribbleAt": getChannelInfo of output 1 writes "ScribbleValue" as
    int32_t scribbleValue;    // a 32-bit number this many bytes from the start of the host's record
                              // (negative: before it); 0 = never
    int32_t subclassReference;  // "SubclassReference": 1 = init subclasses the window it was given,
                              // and that window's WM_DESTROY never returns (the window outlives
                              // the object, as the host destroys it after the last Release)
    // Two programs at once. The first process to make an object of the device holds it while it
    // lives; an object made in another process meanwhile is a second client's.
    int32_t secondClient;     // "SecondClient": 0 the second is served, on a clock of its own; 1
                              // its init fails ("Quorvel Sim: the device is in use by another
                              // program"); 2 its createBuffers answers ASE_InvalidMode; 3 its start
                              // takes the stream: the first host gets no callback until the second
                              // stops; 4 its last Release stops the first host's stream for the
                              // rest of that run; 5 from its start to its stop the first host's
                              // cabled inputs are silent, its callbacks going on
    char secondFaultCall[32]; // "SecondFaultCall": a slot name or "release": the second client's
                              // calls of it get "SecondFaultKind" (FaultKind's numbers, and 4:
                              // while the call runs, the first host gets no callback for
                              // "SecondStallMs", its clock going on: those switches are lost)
    int32_t secondFaultKind;
    int32_t secondStallMs;    // "SecondStallMs": the stall of SecondFaultKind 4 (300)
    int32_t spinPercent;      // "SpinPercent": after each period's callbacks the switch thread
                              // spins, never sleeping or yielding, for this share (0..100) of a
                              // period, no further than the next period's start, before it waits:
                              // a driver whose own thread busy-waits (0: never; 100: it never
                              // sleeps and takes a whole core)
};

// Default figures: 2 in, 2 out, 256 frames (64..2048, granularity -1), 48 kHz, 32-bit LE integers,
// real-time pace, no faults, no panel window, the usual asioMessage questions, no cable.
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
};

// Name of the shared record of the device with that class ("QuorvelSim-{...}", upper case).
void simSharedName(const char *clsidText, char *out, int outSize);
// Creates or opens the record and maps it. Returns null on failure. *mapping gets the handle to
// close with simCloseShared. reset: clear the record first (a test does this before the host
// starts); a record made afresh is cleared the same way (counters 0, answers -1).
SimShared *simOpenShared(const char *clsidText, bool reset, HANDLE *mapping);
void simCloseShared(SimShared *shared, HANDLE mapping);
