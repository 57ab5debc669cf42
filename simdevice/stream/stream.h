// The device's stream: the buffers a host asks for, the cables between outputs and inputs and
// their faults, the device's own clock, the switch thread and the calls it makes to the host
// (callbacks, asioMessage). Built on the core; the object's slots call it.
#pragma once

#include "../core/core.h"

// sim_buffers.cpp: replaces the device's set; an ASIO error code. The switch thread must be
// stopped (simStopThread) first.
// Keeps `callbacks` by pointer: the host's record must outlive the set.
long simCreateBuffers(SimDevice *device, SimAsioBufferInfo *infos, long count, long frames,
                      SimAsioCallbacks *callbacks);
void simFreeBuffers(SimBufferSet *set);  // the thread must be stopped
// One bufferSwitch(0, 1) on the host's thread, from createBuffers ("CallbackInCreateBuffers").
// True when the host released the object meanwhile: it is gone.
bool simEarlySwitch(SimDevice *device);

// sim_cable.cpp: the routes, made at createBuffers (the only allocation), then used by the switch
// thread on its own copy of the set. simMakeCable gives the first route's true round trip in
// *delay (0: no cable) or SIM_ASE_NO_MEMORY (what was made is freed with the set).
long simMakeCable(const SimConfig &config, SimBufferSet *set, long long *delay);
void simFreeCable(SimBufferSet *set);
void simCableBeginRun(const SimDevice *device, SimBufferSet *set);  // nothing played yet
// Before the calls of a period: silence queued up to the frames this period's call will fill,
// and the first route's true round trip published. drops: periods dropped so far, this one included.
void simCableBeginPeriod(SimBufferSet *set, SimShared *shared, LONG period, LONG drops);
// The cabled inputs of a call in that period (what was captured in the one before); `call` is
// the host callback's number, for the account of where the fault shows.
void simCableFeed(SimBufferSet *set, SimShared *shared, int index, LONG period, LONG call);
// After the call: the cabled outputs are played in period period + 1 + drops.
void simCableRecord(const SimBufferSet &set, int index, LONG period, LONG drops);

// sim_cable_faults.cpp
int simSignalFault(const SimConfig &config);  // SIM_SIGNAL_* of "SignalFault"; unknown: none
// One sample of a little-endian integer or float type changed by "invert", "bits", "noise" or
// "gain", saturating; other types are left as they are. noise: the generator's state.
void simTransformSample(unsigned char *sample, long type, int fault, double level, int bits,
                        uint32_t *noise);

// sim_clock.cpp: the timeline, kept by the switch thread, and what hosts read of it
void simClockBegin(SimDevice *device, SimClock *clock, long frames);  // period 1 starts in one
LONGLONG simClockNow();
LONGLONG simPeriodStart(const SimClock &clock, LONG period);
void simClockNextPeriod(SimDevice *device, SimClock *clock);  // publishes the period begun
void simClockRestartAfter(SimClock *clock, LONGLONG now);     // after a long delay: afresh
// The device's clockRate taken: the period after the latest begun is the first of the new length.
void simClockSetPace(SimDevice *device, SimClock *clock);
// "StopAtMs": true once the run is that old (noted in SimShared's stoppedAtPeriod); the switch
// thread then makes no period more until stop.
bool simClockStopped(SimDevice *device, const SimClock &clock);
// getSamplePosition, "PositionFault" applied: an ASIO error code. Any thread.
long simSamplePosition(SimDevice *device, SimAsioSamples *position, SimAsioSamples *stamp);
// The time info of the current period, "TimeInfoFault" applied.
void simFillTimeInfo(const SimDevice *device, SimClock *clock, SimAsioTime *time);

// sim_host_calls.cpp: the host's callbacks, made by the switch thread
void simCallerBegin(SimDevice *device, SimCaller *caller);  // "TwoThreads": the second thread
void simCallerEnd(SimDevice *device, SimCaller *caller);    // waits for it to end
// One callback: time info or bufferSwitch, on this thread or the second one; counted once it
// has returned. call: its number in the run, from 1.
void simCallHost(SimDevice *device, const SimBufferSet &set, SimClock *clock, SimCaller *caller,
                 int index, LONG call);

// sim_messages.cpp: asioMessage and sampleRateDidChange, only while the host's record is valid.
// The questions of createBuffers, on the host's thread; they note which selectors the host
// supports. True: the host released the object meanwhile.
bool simAskHost(SimDevice *device);
// From the switch thread, after host callback `call` of the run: the "RequestSelector" request
// (its figures due from now on, sent or held back); a request of the device's own (reset, resync);
// a rate announced. Each counted in the shared record; a request only to a host that takes it.
void simSendRequest(SimDevice *device, LONG call);
void simSendOwnRequest(SimDevice *device, long selector);
void simAnnounceRate(SimDevice *device, double rate);
void simPublishClockRate(SimDevice *device);  // clockRate into the shared record
// The figures the request changes: "RequestLatencyShift" (added to the output latency) and the
// preferred size ("RequestPreferredSize"), for this object and the later ones of the process.
long simLatencyShift(const SimDevice *device);
long simPreferredSize(const SimDevice *device);

// sim_switch_thread.cpp
long simStartThread(SimDevice *device);
void simStopThread(SimDevice *device);  // waits for the thread, a late callback and all
// The stop and disposeBuffers slots ("LateCallbackMs": return at once, the thread's last
// callback still to come, the buffers freed by it), under the device's lock.
void simStopStream(SimDevice *device);
void simDisposeStream(SimDevice *device);
// After createBuffers succeeded and the host was asked: "CallbacksBeforeStart" starts the clock.
void simBuffersMade(SimDevice *device);
// setSampleRate to another accepted rate, the host's thread: applied as "RunningRateChange" says
// when the clock runs, else from the next start. An ASIO error code.
long simChangeRate(SimDevice *device, double rate);
