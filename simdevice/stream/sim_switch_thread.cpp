// The switch thread: it runs the device's clock. In each period it fills the inputs of one half
// (the cable's input from the cable), calls the host, and judges what the host left behind; the
// stream faults decide how many calls a period brings (none, one or two), on which index and from
// which thread. Every Nth period may come late on purpose; after a callback it may bring the host
// a request through asioMessage or a rate through sampleRateDidChange, and its clock may take a new
// rate in mid-run. It allocates nothing and prints nothing; a device that goes away notes the
// moment, once, in the registry.
#include "stream.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Differs per channel and per switch, and is never the sentinel, so that a byte the host failed
// to copy always shows.
unsigned char inputByte(long channel, LONG switchNumber, size_t offset) {
    unsigned char value = (unsigned char)(channel * 131 + switchNumber * 7 + (long)offset);
    return value == SIM_SENTINEL ? value ^ 1 : value;
}

void fillHalves(const SimBufferSet &set, int index, LONG switchNumber) {
    for (long e = 0; e < set.count; e++) {
        const SimElement &element = set.elements[e];
        unsigned char *half = element.half[index];
        if (!element.isInput) {
            memset(half, SIM_SENTINEL, element.halfBytes);
        } else if (!element.cableContent) {
            for (size_t k = 0; k < element.halfBytes; k++)
                half[k] = inputByte(element.channelNum, switchNumber, k);
        }
    }
}

LONG countNotEqual(const unsigned char *bytes, size_t from, size_t to, unsigned char expected) {
    LONG wrong = 0;
    for (size_t k = from; k < to; k++)
        wrong += bytes[k] != expected;
    return wrong;
}

// Guards of both halves: a host may write past the end of either.
LONG checkGuards(const SimBufferSet &set) {
    LONG wrong = 0;
    for (long e = 0; e < set.count; e++) {
        const SimElement &element = set.elements[e];
        for (int h = 0; h < 2; h++) {
            unsigned char *half = element.half[h];
            unsigned char guard = simGuardByte(e, h);
            LONG here = countNotEqual(half, element.halfBytes, element.stride, guard);
            if (here) {
                memset(half + element.halfBytes, guard, element.stride - element.halfBytes);
                wrong += here;
            }
        }
    }
    return wrong;
}

// An output with an input of its channel number holds the input's first samples, as many bytes
// as the narrower of the two types has, and the sentinel behind them. A host copying the wider
// length reads the input's guard, or writes the output's: either shows.
void verify(SimShared *shared, const SimBufferSet &set, int index, LONG switchNumber) {
    LONG mismatchedChannels = 0, sentinelBytes = 0;
    for (long e = 0; e < set.count; e++) {
        const SimElement &element = set.elements[e];
        const unsigned char *half = element.half[index];
        if (element.cableContent)
            continue;
        if (element.isInput) {
            for (size_t k = 0; k < element.halfBytes; k++)
                sentinelBytes += half[k] != inputByte(element.channelNum, switchNumber, k);
            continue;
        }
        // Judged against what the device put into the input, not what the host left there.
        size_t copied = 0;
        if (element.pair >= 0) {
            size_t inputBytes = set.elements[element.pair].checkBytes;
            copied = element.checkBytes < inputBytes ? element.checkBytes : inputBytes;
            for (size_t k = 0; k < copied; k++) {
                if (half[k] != inputByte(element.channelNum, switchNumber, k)) {
                    mismatchedChannels++;
                    break;
                }
            }
        }
        sentinelBytes += countNotEqual(half, copied, element.halfBytes, SIM_SENTINEL);
    }
    LONG guardBytes = checkGuards(set);
    if (mismatchedChannels)
        InterlockedExchangeAdd(&shared->mismatches, mismatchedChannels);
    if (sentinelBytes)
        InterlockedExchangeAdd(&shared->sentinelViolations, sentinelBytes);
    if (guardBytes)
        InterlockedExchangeAdd(&shared->guardViolations, guardBytes);
}

void noteDuration(SimShared *shared, LONGLONG ticks, LONGLONG frequency, double periodUs) {
    double us = (double)ticks * 1e6 / (double)frequency;
    LONG rounded = us > 2e9 ? 2000000000 : (LONG)us;
    LONG longest = shared->longestCallbackUs;
    while (rounded > longest) {
        LONG seen = InterlockedCompareExchange(&shared->longestCallbackUs, rounded, longest);
        if (seen == longest)
            break;
        longest = seen;
    }
    if (us > periodUs)
        InterlockedIncrement(&shared->lateSwitches);
}

// A run as the thread keeps it.
struct Run {
    SimDevice *device;
    SimBufferSet set;  // its own copy: the set outlives a disposeBuffers that returned at once
    SimClock clock;
    SimCaller caller;
    int signal;        // SIM_SIGNAL_*
    LONG signalAt;     // its period; 0: never
    LONG requestAt;
    LONG announceAt;   // "AnnounceRate" after this callback; 0: none
    bool announceSame;
    double announceTo;
    LONG calls;        // host callbacks made
    LONG drops;        // periods dropped so far
    int lastIndex;
    bool showNext;     // the next call is the first to show the fault
};

// "AnnounceRate": the rate as it is, or a new one the clock keeps from the next period on.
void announce(Run &run) {
    SimDevice *device = run.device;
    if (run.announceSame) {
        simAnnounceRate(device, device->sampleRate);
        return;
    }
    double rate = run.announceTo;
    if (rate == device->sampleRate)
        return;
    device->clockRate = rate;
    if (!device->config.announceUnreported)
        device->sampleRate = rate;
    device->clockLags = false;
    simClockSetPace(device, &run.clock);
    simAnnounceRate(device, rate);
}

// One host callback of the current period. False: the host released the object meanwhile.
bool callOnce(Run &run, int index) {
    SimDevice *device = run.device;
    SimShared *shared = device->shared;
    const LONG number = run.calls + 1;
    const LONG indexFault = device->config.indexFault;
    // The data follows the index the host is told: only the index is wrong.
    if (indexFault > 0 && number > 1 && number % indexFault == 0)
        index = run.lastIndex;
    const LONG k = run.clock.period;
    fillHalves(run.set, index, k);
    simCableFeed(&run.set, shared, index, k, number);
    simSilenceFirstInputs(device, &run.set, index, number);
    if (run.showNext) {
        run.showNext = false;
        InterlockedExchange(&shared->faultHostSwitch, number);
        InterlockedExchange(&shared->faultHostOffset, 0);
    }
    if (number == 1)
        simPrintLines(device, "first buffer switch");
    simThreadFault(device, number);
    LONGLONG before = simClockNow();
    simCallHost(device, run.set, &run.clock, &run.caller, index, number);
    LONGLONG after = simClockNow();
    if (device->orphaned)
        return false;
    verify(shared, run.set, index, k);
    simCableRecord(run.set, index, k, run.drops);
    noteDuration(shared, after - before, run.clock.frequency, run.clock.periodUs);
    run.calls = number;
    run.lastIndex = index;
    InterlockedIncrement(&device->switches);
    InterlockedIncrement(&shared->runSwitches);
    InterlockedIncrement(&shared->totalSwitches);
    if (device->second)
        InterlockedIncrement(&shared->secondSwitches);
    const SimConfig &config = device->config;
    bool requestDue = number == run.requestAt || (config.requestRepeat && number > run.requestAt);
    if (config.requestSelector && requestDue) {
        simSendRequest(device, number);
        if (device->orphaned)
            return false;
    }
    if (number == run.announceAt) {
        announce(run);
        if (device->orphaned)
            return false;
    }
    if (config.goneAtSwitch > 0 && number == config.goneAtSwitch && !simCallbacksGone(device)) {
        simMarkGone(device, number);
        if (device->goneWay == SIM_GONE_RESET_FIRST)
            simSendOwnRequest(device, SIM_MSG_RESET_REQUEST);
        else if (device->goneWay == SIM_GONE_RESYNC_FIRST)
            simSendOwnRequest(device, SIM_MSG_RESYNC_REQUEST);
        if (device->orphaned)
            return false;
    }
    return true;
}

// The next period of the clock and its callbacks. False: the host released the object.
bool runPeriod(Run &run) {
    SimDevice *device = run.device;
    SimShared *shared = device->shared;
    // A rate the host set meanwhile ("RunningRateChange"): this period is the first of its length.
    LONG pending = InterlockedExchange(&device->stream.ratePending, SIM_RATE_NONE);
    // A rate a second client set: the device has one clock, so this stream's rate changes too.
    const double second = simTakeSecondRate(device);
    if (second > 0) {
        device->sampleRate = device->clockRate = second;
        device->clockLags = false;
        simPublishClockRate(device);
    }
    if (pending == SIM_RATE_ANNOUNCE || second > 0)
        simClockSetPace(device, &run.clock);
    simClockNextPeriod(device, &run.clock);
    if (pending == SIM_RATE_ANNOUNCE)
        simAnnounceRate(device, device->clockRate);
    if (second > 0 && !device->config.secondChangeSilent)
        simAnnounceRate(device, second);
    else if (pending == SIM_RATE_RESET)
        simSendOwnRequest(device, SIM_MSG_RESET_REQUEST);
    if (device->orphaned)
        return false;
    const LONG k = run.clock.period;
    int calls = 1;
    if (k == run.signalAt) {
        InterlockedExchange(&shared->faultPeriod, k);
        if (run.signal == SIM_SIGNAL_DROP) {
            calls = 0;  // its capture is lost; the next call shows it
            run.drops++;
            InterlockedIncrement(&shared->drops);
            run.showNext = true;
        } else if (run.signal == SIM_SIGNAL_TWICE) {
            calls = 2;
        }
    }
    const LONG stopAfter = device->config.stopCallbacksAfter;
    if (stopAfter > 0 && run.calls >= stopAfter)
        calls = 0;
    if (simStreamTaken(device) || simCallbacksGone(device))
        calls = 0;
    simCableBeginPeriod(&run.set, shared, k, run.drops);
    for (int c = 0; c < calls && !simCallbacksGone(device); c++) {
        if (c == 1) {
            InterlockedIncrement(&shared->duplicates);
            run.showNext = true;
        }
        if (!callOnce(run, (k - 1) & 1))
            return false;
    }
    return true;
}

void beginRun(SimDevice *device, Run *run) {
    memset(run, 0, sizeof *run);
    run->device = device;
    run->set = device->buffers;
    const SimConfig &config = device->config;
    run->signal = simSignalFault(config);
    LONG at = config.signalFaultAt;
    if (run->signal == SIM_SIGNAL_DROP || run->signal == SIM_SIGNAL_TWICE)
        run->signalAt = at > 0 ? at : 0;
    else if (run->signal != SIM_SIGNAL_NONE)
        run->signalAt = at > 1 ? at : 1;
    run->requestAt = config.requestAtSwitch > 1 ? config.requestAtSwitch : 1;
    const char *announced = config.announceRate;
    char *end = nullptr;
    run->announceSame = strcmp(announced, "same") == 0;
    run->announceTo = strtod(announced, &end);
    if (run->announceSame || end != announced)
        run->announceAt = config.announceAtSwitch > 1 ? config.announceAtSwitch : 1;
    simClockBegin(device, &run->clock, run->set.frames);
    simCableBeginRun(device, &run->set);
    simCallerBegin(device, &run->caller);
}

// "SpinPercent": busy for that share of a period after the callbacks, by the device's own clock,
// no further than the next period's start. The time spun is added to `spunTicks`.
void spinAfterCallbacks(const SimClock &clock, LONG percent, LONGLONG *spunTicks) {
    if (percent <= 0)
        return;
    double share = percent > 100 ? 1.0 : percent / 100.0;
    const LONGLONG from = simClockNow();
    LONGLONG until = from + (LONGLONG)(share * clock.periodTicks);
    const LONGLONG next = simPeriodStart(clock, clock.period + 1);
    if (until > next)
        until = next;
    LONGLONG now = from;
    while (now < until)
        now = simClockNow();
    *spunTicks += now - from;
}

LONG threadCpuUs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    ULONGLONG units = ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime) +
                      ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime);
    return (LONG)(units / 10);
}

DWORD WINAPI switchThread(void *parameter) {
    auto *device = (SimDevice *)parameter;
    SimShared *shared = device->shared;
    Run run;
    beginRun(device, &run);
    const LONGLONG frequency = run.clock.frequency;
    const bool finePace = run.clock.periodUs < 2000;
    const LONG stallEvery = device->config.stallEvery;
    LONGLONG spunTicks = 0;
    for (;;) {
        const LONGLONG next = simPeriodStart(run.clock, run.clock.period + 1);
        // Waits are whole milliseconds: periods under 2 ms (32 frames at 192 kHz is 167 us) sleep
        // while a millisecond or more is left and yield for the rest.
        LONGLONG ahead = next - simClockNow();
        DWORD waitMs = ahead > 0 ? (DWORD)((ahead * 1000 + frequency - 1) / frequency) : 0;
        if (finePace)
            waitMs = waitMs > 1 ? waitMs - 1 : 0;
        if (WaitForSingleObject(device->stopEvent, waitMs) == WAIT_OBJECT_0) {
            // Stop has returned already: one last callback on its way, with the run's buffers.
            if (device->stream.lateStop && !device->orphaned) {
                Sleep((DWORD)device->config.lateCallbackMs);
                runPeriod(run);
            }
            break;
        }
        if (simClockNow() < next) {
            if (finePace)
                SwitchToThread();
            continue;  // woke a little early
        }
        if (simClockStopped(device, run.clock)) {
            // Stopped for good: no callback and no period more, the position standing, until stop.
            WaitForSingleObject(device->stopEvent, INFINITE);
            break;
        }
        bool stalled = stallEvery > 0 && (run.clock.period + 1) % stallEvery == 0;
        if (stalled) {
            Sleep(device->config.stallMs > 0 ? (DWORD)device->config.stallMs : 0);
            InterlockedIncrement(&shared->stalls);
        }
        if (!runPeriod(run))
            break;
        spinAfterCallbacks(run.clock, device->config.spinPercent, &spunTicks);
        // The timeline is absolute, as a sample clock is: a thread the system held back makes up
        // the periods it missed. Only a stall on purpose starts it afresh, so that it comes late.
        LONGLONG after = simClockNow();
        if (stalled && after - simPeriodStart(run.clock, run.clock.period + 1) > 4 * run.clock.periodTicks)
            simClockRestartAfter(&run.clock, after);
    }
    simCallerEnd(device, &run.caller);
    InterlockedExchange(&shared->spunUs, (LONG)(spunTicks * 1000000 / frequency));
    InterlockedExchange(&shared->switchThreadCpuUs, threadCpuUs());
    // Buffers disposed of while the last callback was still to come are the thread's to free.
    if (InterlockedCompareExchange(&device->stream.buffersOwner, SIM_OWNER_THREAD_ENDED,
                                   SIM_OWNER_DEVICE) == SIM_OWNER_THREAD)
        simFreeBuffers(&run.set);
    InterlockedDecrement(&shared->threadsRunning);
    if (device->orphaned)
        simDestroyUnlessHeld(device);
    // The thread holds its own reference to the DLL, so the code it runs stays loaded to the end.
    FreeLibraryAndExitThread(simModuleHandle(), 0);
    return 0;
}

void resetRunCounters(SimShared *shared) {
    shared->runSwitches = 0;
    shared->hostSwitches = 0;
    shared->bufferSwitchCalls = 0;
    shared->timeInfoCalls = 0;
    shared->clockPeriods = 0;
    shared->faultPeriod = 0;
    shared->faultHostSwitch = 0;
    shared->faultHostOffset = 0;
    shared->drops = 0;
    shared->duplicates = 0;
}

bool clockRunning(const SimDevice *device) {
    return device->thread && WaitForSingleObject(device->stopEvent, 0) == WAIT_TIMEOUT &&
           WaitForSingleObject(device->thread, 0) == WAIT_TIMEOUT;
}

long startThread(SimDevice *device) {
    simStopThread(device);  // one stopped from its own callback, or with a callback still to come
    ResetEvent(device->stopEvent);
    device->switches = 0;
    device->stream.lateStop = 0;
    device->stream.buffersOwner = SIM_OWNER_DEVICE;
    device->stream.ratePending = SIM_RATE_NONE;
    if (!device->clockLags)
        device->clockRate = device->sampleRate;  // a rate taken while running, kept from here
    // A second client's run leaves the first's counts alone.
    if (!device->second)
        resetRunCounters(device->shared);
    simFirstRunBegins(device);
    HMODULE self;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)simModuleHandle(),
                            &self))
        return SIM_ASE_HW_MALFUNCTION;
    InterlockedIncrement(&device->shared->threadsRunning);  // counted from here, so no gap shows 0
    // Made suspended: its first callback may ask whether it is running (getSamplePosition) or is
    // the caller (start, stop), and both look at the handle and the id written here.
    device->thread = CreateThread(nullptr, 0, switchThread, device, CREATE_SUSPENDED, &device->threadId);
    if (!device->thread) {
        InterlockedDecrement(&device->shared->threadsRunning);
        FreeLibrary(self);
        return SIM_ASE_HW_MALFUNCTION;
    }
    ResumeThread(device->thread);
    return SIM_ASE_OK;
}

// What disposeBuffers leaves of a set the thread now owns.
void forgetBuffers(SimBufferSet *set) {
    memset(set, 0, sizeof *set);
}

}  // namespace

long simStartThread(SimDevice *device) {
    if (clockRunning(device))
        return SIM_ASE_OK;  // never a second thread; it may run since createBuffers
    long result = startThread(device);
    if (result == SIM_ASE_OK)
        InterlockedIncrement(&device->shared->starts);
    return result;
}

void simStopThread(SimDevice *device) {
    if (!device->thread)
        return;
    SetEvent(device->stopEvent);
    WaitForSingleObject(device->thread, INFINITE);
    CloseHandle(device->thread);
    device->thread = nullptr;
    device->threadId = 0;
}


void simStopStream(SimDevice *device) {
    if (device->config.lateCallbackMs > 0 && simThreadRunning(device)) {
        device->stream.lateStop = 1;
        SetEvent(device->stopEvent);
        return;
    }
    simStopThread(device);
}

void simDisposeStream(SimDevice *device) {
    if (device->config.lateCallbackMs > 0 && simThreadRunning(device)) {
        simStopStream(device);
        if (InterlockedCompareExchange(&device->stream.buffersOwner, SIM_OWNER_THREAD,
                                       SIM_OWNER_DEVICE) == SIM_OWNER_DEVICE) {
            forgetBuffers(&device->buffers);
            return;
        }
    }
    simStopThread(device);  // the thread has ended or is about to
    simFreeBuffers(&device->buffers);
}

void simBuffersMade(SimDevice *device) {
    if (!device->config.callbacksBeforeStart || !device->buffers.made)
        return;
    EnterCriticalSection(&device->lock);
    if (!clockRunning(device))
        startThread(device);
    LeaveCriticalSection(&device->lock);
}

long simChangeRate(SimDevice *device, double rate) {
    const bool running = clockRunning(device) && !device->stream.lateStop;
    const LONG mode = device->config.runningRateChange;
    if (running && mode == 1)
        return SIM_ASE_INVALID_MODE;
    device->sampleRate = rate;
    device->rateChanged = true;
    if (!running) {
        device->clockLags = false;  // the next start takes it
    } else if (mode == 3) {
        device->clockLags = true;
    } else if (mode == 2) {
        InterlockedExchange(&device->stream.ratePending, SIM_RATE_RESET);
    } else {
        device->clockRate = rate;
        InterlockedExchange(&device->stream.ratePending, SIM_RATE_ANNOUNCE);
    }
    return SIM_ASE_OK;
}
