// The device's core: the records of one simulated driver object (its buffers, cables, clock and
// stream state) and what every part of the device does with them: the shared log of calls, the
// object held across calls out to the host, the DLL's own state, the per-channel lists, the faults
// on demand and the account of two programs at once. It calls nothing above it: the object layer
// hands down the one thing it needs from there, `destroy`.
#pragma once

#include "../sim_asio_abi.h"
#include "../sim_device.h"

#include <stddef.h>

enum {
    SIM_GUARD_BYTES = 64,
    SIM_SENTINEL = 0xA5,  // what an output holds before the host writes it
    SIM_MAX_ALLOCATION = 256 * 1024 * 1024,
    SIM_MAX_LISTED = 64,  // entries kept of a type or rate list
};

// Distance between half-buffers: the samples, then at least SIM_GUARD_BYTES of guard.
inline size_t simGuardedStride(size_t halfBytes) {
    return (halfBytes + SIM_GUARD_BYTES + 15) & ~(size_t)15;
}

// What the zone behind a half-buffer holds. It differs between buffers, so that a host copying
// too far, guard and all, from an input into an output is caught too.
inline unsigned char simGuardByte(long element, int half) {
    unsigned char value = (unsigned char)(0x5A + 37 * element + 101 * half);
    return value == 0 || value == SIM_SENTINEL ? 0x5A : value;
}

// One element of the host's array, as it was at createBuffers, sized by its channel's own type.
struct SimElement {
    long isInput;
    long channelNum;
    int pair;           // outputs: index of the input element with the same channel number, or -1
    bool cableContent;  // its content is the cable's, not the pattern: not judged
    size_t halfBytes;   // bytes allocated per half (4 per sample for an unknown type)
    size_t checkBytes;  // bytes of samples a host may copy (0 for an unknown type)
    size_t stride;      // half plus guard
    unsigned char *half[2];
};

// One route of the cables: an output comes back on an input `delay` frames later, through a ring
// of the output's past frames.
struct SimCable {
    long out;  // element index, -1: no cable
    long in;   // element index, -1: no cable
    long inChannel;
    long long delay;
    size_t outBytes;  // bytes per sample on either side (0: unknown type, nothing carried)
    size_t inBytes;
    unsigned char *history;
    long long historyFrames;
    // On the device's clock: the ring holds played frames (frame f at f % historyFrames).
    long long converters;   // InputDelay + OutputDelay
    int fault;              // SIM_SIGNAL_*
    long long faultFrom;    // first frame the lasting fault acts on: played, or captured for "swap"
    long neighbour;         // "swap": element of the input after the faulty route's, or -1
    long swapWith;          // "swap": the element this route feeds from faultFrom on, or -1
    // Run state, on the switch thread's own copy of the set.
    long inType;
    size_t neighbourBytes;
    double level;           // "SignalFaultLevel"
    int bits;               // "SignalFaultBits"
    uint32_t noise;         // the generator of "noise"
    long long queuedTo;     // played frames below this hold the host's samples or silence
    long long firstAffected;  // captured frame of the first sample the fault changes
    bool affectedSeen;
};

struct SimBufferSet {
    bool made;             // the switch thread may run on this set (it may have no elements)
    SimElement *elements;  // null when count is 0
    long count;
    long frames;
    unsigned char *block;
    SimAsioCallbacks *callbacks;  // the host's own record, read at every use
    SimCable *cables;      // the routes, made at createBuffers; null for none
    long cableCount;
};

// A type list: the last code repeats for the channels after it; count 0 = the configured type.
struct SimTypeList {
    int count;
    long codes[SIM_MAX_LISTED];
};

struct SimUnknownVtbl {
    HRESULT (SIM_STDCALL *QueryInterface)(void *face, const IID *iid, void **out);
    ULONG (SIM_STDCALL *AddRef)(void *face);
    ULONG (SIM_STDCALL *Release)(void *face);
};

enum SimSignal {
    SIM_SIGNAL_NONE,
    SIM_SIGNAL_DROP,    // at period N the host is not called
    SIM_SIGNAL_TWICE,   // at period N the host is called twice alike
    SIM_SIGNAL_SHIFT,   // from period N one zero sample more in the cable
    SIM_SIGNAL_SWAP,    // from period N "CableIn" and the input after it swap
    // From period N the cable changes every sample of the host's:
    SIM_SIGNAL_INVERT,  // negated
    SIM_SIGNAL_BITS,    // only its top "SignalFaultBits" bits kept
    SIM_SIGNAL_NOISE,   // noise of amplitude "SignalFaultLevel" added
    SIM_SIGNAL_GAIN,    // multiplied by "SignalFaultLevel"
};

// The device's clock in a run, kept by the switch thread: periods from 1 on an absolute timeline.
struct SimClock {
    LONGLONG frequency;    // of the performance counter
    double periodTicks;    // one period with "ClockPpm" applied
    double periodUs;
    LONGLONG origin;       // counter at the start of period originPeriod
    double originFraction; // ... and the part of a tick beyond it: a pace changed every few periods
                           // ("SlidePpmPerMinute") must not lose a fraction of a tick each time
    LONG originPeriod;
    LONGLONG firstStart;   // counter at the start of period 1: the run's time, for the drifts
    double nominalUs;      // one period without "ClockPpm" and the drifts
    double driftPpm;       // what "RateStepPpm" and "SlidePpmPerMinute" add to "ClockPpm" now
    unsigned long long positionStart;  // "PositionStart": the frame clock's first value
    LONG period;           // the latest period begun; 0 before the first
    long frames;
    bool timeInfoGiven;    // the first time info of the run went out, with these:
    unsigned long long firstPosition;
    unsigned long long firstTimeNs;
};

// How the switch thread calls the host: on itself, or ("TwoThreads") every other call handed to a
// second thread that it waits for.
struct SimCaller {
    HANDLE thread;
    HANDLE go;
    HANDLE done;
    volatile LONG quit;
    const SimBufferSet *set;  // the call handed over
    int index;
    SimAsioTime *time;        // null: bufferSwitch
    bool nullRecord;          // bufferSwitchTimeInfo is handed null in place of the record
    SimAsioTime timeInfo;     // the record the host gets
};

// What host calls on other threads read of the running stream, and its state between runs.
struct SimStream {
    SRWLOCK positionLock;          // guards the four below; zeroed memory is an unlocked lock
    LONG latestPeriod;             // 0 before the first period of a run
    long frames;
    unsigned long long latestNs;   // its start, in nanoseconds of the performance counter
    unsigned long long firstNs;    // start of the run's first period
    volatile LONG hostTimeInfo;    // the host answered 1 to "supports time info"
    volatile LONG requestSent;     // the "RequestSelector" request was due in this object
    // The host's answers to "selector supported" at createBuffers: asked at all, and a bit per
    // selector it answered 1 for.
    volatile LONG hostAsked;
    volatile LONG hostSupports;
    // Set by setSampleRate ("RunningRateChange") while running, taken by the switch thread at its
    // next period: SIM_RATE_*.
    volatile LONG ratePending;
    volatile LONG lateStop;        // the thread makes one more callback before it ends
    volatile LONG buffersOwner;    // SIM_OWNER_*: who frees a run's buffers after a late stop
    volatile DWORD secondThreadId;  // "TwoThreads": 0 when there is none
};

enum { SIM_OWNER_DEVICE, SIM_OWNER_THREAD, SIM_OWNER_THREAD_ENDED };

// What the switch thread owes the host after a rate change in mid-run.
enum { SIM_RATE_NONE, SIM_RATE_ANNOUNCE, SIM_RATE_RESET };

// How an object stands to its device ("GoneAtSwitch"): there, or away in "GoneWay"'s way.
enum {
    SIM_PRESENT = 0,
    SIM_GONE_CALLBACKS_STOP = 1,  // and calls answer as before
    SIM_GONE_NOT_PRESENT = 2,
    SIM_GONE_MALFUNCTION = 3,
    SIM_GONE_RESET_FIRST = 4,
    SIM_GONE_RESYNC_FIRST = 5,
    SIM_GONE_STOP_HANGS = 6,
};

struct SimDevice {
    const SimDeviceVtbl *vtbl;            // the driver face: first, what a host holds
    const SimUnknownVtbl *unknownVtbl;    // the IUnknown face: three slots, same object
    volatile LONG refs;                   // shared by both faces
    CLSID clsid;
    char clsidText[40];
    SimConfig config;
    double sampleRate;  // the current rate, as getSampleRate reports it
    double clockRate;   // the rate whose periods the clock keeps (differs by "RunningRateChange" 3)
    volatile LONG goneWay;  // SIM_PRESENT, or the "GoneWay" it went away in
    double rates[SIM_MAX_LISTED];  // accepted rates; none listed = the configured one only
    int rateCount;
    SimTypeList inputTypes;
    SimTypeList outputTypes;
    SimShared *shared;  // the named record, or a private one when it cannot be made
    HANDLE mapping;
    LONG instance;
    HWND owner;
    char errorText[128];
    CRITICAL_SECTION lock;  // host calls from several threads take turns
    SimBufferSet buffers;
    HANDLE thread;
    DWORD threadId;
    HANDLE stopEvent;
    volatile LONG switches;  // since start, for the sample position
    volatile LONG orphaned;  // released from inside the callback: the switch thread cleans up

    // While the device's own call runs something of the host's (a window, a callback), the last
    // Release only marks the object; the call destroys it when it is done.
    CRITICAL_SECTION holdLock;
    LONG holds;
    LONG doomed;
    volatile LONG windowDepth;  // windows and loops up now, on windowThread
    DWORD windowThread;

    LONG madeInProcess;      // objects of its class made in this process, itself included
    // What a host did to this object, for the lifecycle knobs.
    long disposedFrames;     // frames of the buffers disposed last, 0 when made since
    LONG recreations;        // buffers made after a disposeBuffers
    bool stoppedOnBuffers;   // a stop since the buffers were made
    bool rateChanged;        // setSampleRate changed the rate of this object
    bool clockLags;          // "RunningRateChange" 3 took a rate its clock does not keep
    LONG outputReadyCalls;   // by this object
    LONG readySwitchSeen;    // `switches` at the last outputReady of this run, -1 none yet
    SimStream stream;
    bool second;             // made by a second client: another process held the device
    long driftFrames;        // "DriftPerOpen" times the opens before this object's init
    bool ownerNoted;         // "KilledOwnerBlocks": this object's start noted its process
    // The object layer's simDeviceDestroy, set at creation: what the last hold or the switch
    // thread calls when it is the one to end the object.
    void (*destroy)(SimDevice *device);
};

// sim_device_state.cpp: what the record says of the calling thread. Any thread.
bool simInWindowHere(const SimDevice *device);  // a window of the device's is up on this thread
bool simOnSwitchThread(const SimDevice *device);  // the switch thread or its second one
bool simOnSecondThread(const SimDevice *device);  // "TwoThreads": the second one
bool simThreadRunning(const SimDevice *device);  // a switch thread exists and has not ended
// Appends a call to the shared log, flagged when it comes during a window on that window's
// thread. Any thread.
void simLogCall(SimDevice *device, int op, long a, long b);

// sim_hold.cpp: around a call out to the host from a host call (a window, asioMessage): the last
// Release meanwhile only marks the object. simUnhold returns true when it was released and is now
// destroyed: the caller must not touch it again.
void simHold(SimDevice *device);
bool simUnhold(SimDevice *device);
// The last reference went: destroys the object now, or leaves that to the call that still holds
// it (the switch thread, released from inside its callback, ends here too).
void simDestroyUnlessHeld(SimDevice *device);

// sim_module.cpp: the DLL's handle (set by DllMain) and what keeps it loaded: objects, factories
// and server locks; simModuleIdle is true when none is left (DllCanUnloadNow).
void simModuleSetHandle(HMODULE module);
bool simModuleIdle();
void simModuleAddRef();
void simModuleRelease();
HMODULE simModuleHandle();
void simClsidToText(const CLSID &clsid, char *out, int outSize);
// Objects of that class made in this process so far, this one included (0 past 64 classes).
LONG simCountObjectOfClass(const CLSID &clsid);
// The "RequestSelector" request was due in an object of that class in this process: its figures
// ("RequestPreferredSize", "RequestLatencyShift") hold for every object made after it too.
void simNoteRequestDue(const CLSID &clsid);
bool simRequestWasDue(const CLSID &clsid);

// sim_channels.cpp: the per-channel lists of the configuration, parsed once at creation
void simParseLists(SimDevice *device);
// Type code of a channel (the last listed one repeats; no list: "SampleType").
long simChannelType(const SimDevice *device, bool isInput, long channel);
// Its listed name cut to 31 characters, or "Sim In N" / "Sim Out N"; always terminated.
void simChannelName(const SimDevice *device, bool isInput, long channel, char *out, size_t outSize);
bool simRateAccepted(const SimDevice *device, double rate);
// The channels at the current rate ("ChannelsAtRates"), else "Inputs" and "Outputs".
void simChannelCounts(const SimDevice *device, long *inputs, long *outputs);

// sim_presence.cpp: the device gone while streaming ("GoneAtSwitch"). Any thread.
// The switch thread, after host callback `call`: the device goes away from this object, and the
// moment is noted for every process.
void simMarkGone(SimDevice *device, LONG call);
// init: an object whose init comes while the device is away (the moment noted, "BackAfterMs" not
// yet past) is away from now on; once it is past, the note is cleared. True when init must fail:
// the error text is set.
bool simInitWhileAway(SimDevice *device);
// What a call answers now: SIM_ASE_OK (present, or away with calls answering as before), or the
// error of the way the device went.
long simGoneAnswer(const SimDevice *device);
bool simCallbacksGone(const SimDevice *device);  // away: no host callbacks

// sim_sample_types.cpp: bytes per sample of a type, 0 when unknown
int simSampleBytes(long type);


// sim_faults.cpp: "FaultCall" and "FailCall" at the `number`th call of an op (a slot's op in the
// log; SIM_CREATED for the factory's CreateInstance, SIM_RELEASED for the last Release). Runs
// the fault when it is that call (a crash, a hang or ExitProcess: no return); true when the call
// must answer an error and do nothing else. Any thread.
bool simFaultOrFail(const SimConfig &config, int op, LONG number);
// The fault of that kind ("FaultKind"'s numbers) right here.
void simFault(const SimConfig &config, int kind);
// What a driver does to its host outside the calls it is asked (sim_host_faults.cpp): "PrintLines"
// (`where` says when), "ThreadFault" before host callback `number`, "ScribbleAt" on a channel
// record, "SubclassReference" on init's window.
void simPrintLines(const SimDevice *device, const char *where);
void simThreadFault(const SimDevice *device, LONG number);
void simScribble(const SimDevice *device, SimAsioChannelInfo *info);
void simSubclassReference(const SimDevice *device, HWND window);
// The same for a slot's call already logged: its number is the op's count in the record.
bool simCallFails(SimDevice *device, int op);

// sim_clients.cpp: two programs at once ("SecondClient")
// When process `id` started; false when it is gone (a process id alone is soon reused).
bool simProcessStart(LONG id, FILETIME *started);
// Whether an object made now is a second client's: the first client (the first process that made
// an object of the device, while it lives) is another process. Claims the device otherwise.
bool simIsSecondClient(SimShared *shared);
// A second client's object: init refused, its createBuffers refused; both answer the result to
// give, or SIM_ASE_OK to go on. Its start and stop take the stream and give it back ("3"); its end
// stops the first's ("4"). Any thread.
bool simSecondInitRefused(SimDevice *device);
long simSecondBuffersAnswer(const SimDevice *device);
void simSecondStarted(SimDevice *device);
void simSecondStopped(SimDevice *device);
void simSecondEnds(SimDevice *device);
// A second client's setSampleRate took `rate`: left in the shared record for the first's clock.
void simSecondSetRate(SimDevice *device, double rate);
// Switch thread of the first client, each period: the rate a second client set since, taken from
// the record (counted); 0 when there is none, or it is the rate this object already has.
double simTakeSecondRate(SimDevice *device);
// "SecondFaultKind" 4, in the second client's call: the first client's host gets no callback for
// "SecondStallMs" while the call runs (its periods counted as taken).
void simSecondStallsFirst(const SimDevice *device);
// Switch thread, each period: true when the first client's host gets no callback in it (the
// stream taken or stopped by the second), counted.
bool simStreamTaken(SimDevice *device);
// Switch thread, each callback of the first client, after its inputs were fed: the cabled inputs
// silenced while a second client silences them ("5"), counted. call: its number, from 1.
void simSilenceFirstInputs(SimDevice *device, SimBufferSet *set, int index, LONG call);
// A first client's new run: a stream the second's end stopped runs again; the account of its
// silenced inputs begins afresh.
void simFirstRunBegins(SimDevice *device);
// "SecondFaultCall" at a second client's call of `op`: the fault of "SecondFaultKind" here.
void simSecondFault(const SimDevice *device, int op);

// sim_opens.cpp: what goes wrong only across opens. At init: the open counted and the figures'
// drift set ("DriftPerOpen"), handles, memory and threads leaked ("LeakHandlesPerOpen",
// "LeakKBPerOpen", "LeakThreadsPerOpen"),
// and true when init must fail because the device's last owner was killed while it streamed
// ("KilledOwnerBlocks"; the error text is set). A start notes the owner; the owner's stop,
// disposeBuffers and destruction remove it. Host calls' threads.
bool simOpenFaults(SimDevice *device);
void simOwnerStarted(SimDevice *device);
void simOwnerStopped(SimDevice *device);
