// The switch thread: the device's clock. On each tick it fills the inputs of one half (the cable's
// input from the cable), calls the host, and judges what the host left behind; every Nth tick may
// come late on purpose, and one tick of a run may bring the host a request through asioMessage.
// It allocates nothing and prints nothing.
#include "sim_object.h"

#include <math.h>
#include <string.h>

namespace {

// Differs per channel and per switch, and is never the sentinel, so that a byte the host failed
// to copy always shows.
unsigned char inputByte(long channel, LONG switchNumber, size_t offset) {
    unsigned char value = (unsigned char)(channel * 131 + switchNumber * 7 + (long)offset);
    return value == SIM_SENTINEL ? value ^ 1 : value;
}

// 50 us..1 s: a nonsense rate must not make the thread spin without end or stall.
double periodMicroseconds(const SimDevice *device) {
    double period = device->config.periodUs > 0
                        ? device->config.periodUs
                        : device->buffers.frames / device->sampleRate * 1e6;
    if (!(period >= 50))
        period = isnan(period) ? 10000 : 50;
    if (period > 1e6)
        period = 1e6;
    return period;
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

LONGLONG now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

DWORD WINAPI switchThread(void *parameter) {
    auto *device = (SimDevice *)parameter;
    SimShared *shared = device->shared;
    const SimBufferSet &set = device->buffers;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double periodUs = periodMicroseconds(device);
    LONGLONG period = (LONGLONG)(periodUs * (double)frequency.QuadPart / 1e6);
    if (period < 1)
        period = 1;
    const bool finePace = periodUs < 2000;
    const LONG stallEvery = device->config.stallEvery;
    const LONG requestAt = device->config.requestAtSwitch > 1 ? device->config.requestAtSwitch : 1;
    LONGLONG next = now() + period;
    LONG switchNumber = 0;
    for (;;) {
        // Waits are whole milliseconds: periods under 2 ms (32 frames at 192 kHz is 167 us) sleep
        // while a millisecond or more is left and yield for the rest.
        LONGLONG ahead = next - now();
        DWORD waitMs = ahead > 0 ? (DWORD)((ahead * 1000 + frequency.QuadPart - 1) / frequency.QuadPart) : 0;
        if (finePace)
            waitMs = waitMs > 1 ? waitMs - 1 : 0;
        if (WaitForSingleObject(device->stopEvent, waitMs) == WAIT_OBJECT_0)
            break;
        if (now() < next) {
            if (finePace)
                SwitchToThread();
            continue;  // woke a little early
        }
        if (stallEvery > 0 && (switchNumber + 1) % stallEvery == 0) {
            Sleep(device->config.stallMs > 0 ? (DWORD)device->config.stallMs : 0);
            InterlockedIncrement(&shared->stalls);
        }
        int index = switchNumber & 1;
        long long firstFrame = (long long)switchNumber * set.frames;
        fillHalves(set, index, switchNumber);
        simCableFeed(set, index, firstFrame);
        LONGLONG before = now();
        // Read from the host's record at every switch: it is kept by pointer.
        set.callbacks->bufferSwitch(index, 1);
        LONGLONG after = now();
        if (device->orphaned)
            break;
        verify(shared, set, index, switchNumber);
        simCableRecord(set, index, firstFrame);
        noteDuration(shared, after - before, frequency.QuadPart, periodUs);
        InterlockedIncrement(&device->switches);
        InterlockedIncrement(&shared->runSwitches);
        InterlockedIncrement(&shared->totalSwitches);
        switchNumber++;
        if (device->config.requestSelector && switchNumber == requestAt) {
            simSendRequest(device);
            if (device->orphaned)
                break;
        }
        // An absolute timeline keeps the pace; after a long stall it starts afresh.
        next += period;
        if (after - next > 4 * period)
            next = after + period;
    }
    InterlockedDecrement(&shared->threadsRunning);
    if (device->orphaned)
        simOrphanEnds(device);
    // The thread holds its own reference to the DLL, so the code it runs stays loaded to the end.
    FreeLibraryAndExitThread(simModuleHandle(), 0);
    return 0;
}

}  // namespace

long simStartThread(SimDevice *device) {
    if (device->thread) {
        if (WaitForSingleObject(device->stopEvent, 0) == WAIT_TIMEOUT &&
            WaitForSingleObject(device->thread, 0) == WAIT_TIMEOUT)
            return SIM_ASE_OK;  // never a second thread
        simStopThread(device);  // stopped from its own callback: finish the old one
    }
    ResetEvent(device->stopEvent);
    device->switches = 0;
    device->shared->runSwitches = 0;
    HMODULE self;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)simModuleHandle(),
                            &self))
        return SIM_ASE_HW_MALFUNCTION;
    InterlockedIncrement(&device->shared->threadsRunning);  // counted from here, so no gap shows 0
    device->thread = CreateThread(nullptr, 0, switchThread, device, 0, &device->threadId);
    if (!device->thread) {
        InterlockedDecrement(&device->shared->threadsRunning);
        FreeLibrary(self);
        return SIM_ASE_HW_MALFUNCTION;
    }
    InterlockedIncrement(&device->shared->starts);
    return SIM_ASE_OK;
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

bool simThreadRunning(const SimDevice *device) {
    return device->thread && WaitForSingleObject(device->thread, 0) == WAIT_TIMEOUT;
}
