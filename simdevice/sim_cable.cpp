// The loopback cable on the device's own clock. Period k covers frames (k-1) x F .. k x F - 1 of
// the clock (F frames a buffer). What the host writes into output "CableOut" in the callback of
// period k is played in period k + 1 + e, e being the periods dropped so far: after a period the
// host missed, the device plays silence and keeps one more buffer queued from then on. Captured
// frame f carries played frame f - D (D = InputDelay + OutputDelay), and the input "CableIn"
// delivered in the callback of period k holds what was captured in period k - 1.
//
// Worked example, F = 4, D = 1. Callback 1 (period 1) writes a0..a3: played at frames 4..7,
// captured at 5..8. Period 2 captures 4..7 (silence, a0, a1, a2), delivered in callback 3 at
// offsets 0..3: a0, written at the host's frame 0, is read at its frame 2 x 4 + 1 = 9, the round
// trip 2F + D. Drop period 3: callback 3 now comes in period 4 and writes b0..b3 with e = 1, played
// in period 6 at frames 20..23, captured at 21..24; period 6's capture comes in period 7, which is
// callback 6: b0 written at the host's frame 8 is read at 5 x 4 + 1 = 21, 13 = 3F + D.
#include "sim_object.h"

#include <stdlib.h>
#include <string.h>

namespace {

long findElement(const SimBufferSet &set, bool isInput, long channel) {
    for (long i = 0; i < set.count; i++) {
        if (!set.elements[i].isInput == !isInput && set.elements[i].channelNum == channel)
            return i;
    }
    return -1;
}

size_t sampleBytesOf(const SimBufferSet &set, long element) {
    return set.elements[element].checkBytes / (size_t)set.frames;
}

// Its content is the cable's, and the output that copies it is not judged either.
void markCableContent(SimBufferSet *set, long input) {
    set->elements[input].cableContent = true;
    for (long i = 0; i < set->count; i++) {
        if (set->elements[i].pair == input)
            set->elements[i].cableContent = true;
    }
}

unsigned char *playedFrame(const SimCable &cable, long long frame) {
    return cable.history + (size_t)(frame % cable.historyFrames) * cable.outBytes;
}

// The sample of played frame `h` that reaches the input, after the cable's fault; null: silence.
const unsigned char *cableSample(const SimCable &cable, long long h) {
    if (cable.fault == SIM_SIGNAL_SHIFT && h >= cable.faultFrom) {
        if (h == cable.faultFrom)
            return nullptr;  // the inserted zero
        h--;
    }
    return h >= 0 && h < cable.queuedTo ? playedFrame(cable, h) : nullptr;
}

}  // namespace

// No cable when either end is not configured or the host made no buffer for it.
long simMakeCable(const SimConfig &config, SimBufferSet *set, long long *delay) {
    *delay = 0;
    SimCable &cable = set->cable;
    cable.out = cable.in = cable.neighbour = -1;
    if (config.cableOut < 0 || config.cableIn < 0)
        return SIM_ASE_OK;
    long out = findElement(*set, false, config.cableOut);
    long in = findElement(*set, true, config.cableIn);
    if (out < 0 || in < 0)
        return SIM_ASE_OK;
    long long converters = (config.inputDelay > 0 ? config.inputDelay : 0) +
                           (config.outputDelay > 0 ? config.outputDelay : 0);
    long long roundTrip = 2ll * set->frames + converters;
    // Room for what is queued ahead (one more buffer after a drop), the frames still to be
    // captured, and the one "shift" inserts.
    long long ring = 4ll * set->frames + converters + 2;
    size_t outBytes = sampleBytesOf(*set, out);
    if (ring > SIM_MAX_ALLOCATION || (unsigned long long)ring * outBytes > SIM_MAX_ALLOCATION)
        return SIM_ASE_NO_MEMORY;
    // Made here, never in the switch loop.
    if (outBytes) {
        cable.history = (unsigned char *)VirtualAlloc(nullptr, (size_t)ring * outBytes,
                                                      MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!cable.history)
            return SIM_ASE_NO_MEMORY;
    }
    cable.out = out;
    cable.in = in;
    cable.delay = roundTrip;
    cable.historyFrames = ring;
    cable.outBytes = outBytes;
    cable.inBytes = sampleBytesOf(*set, in);
    cable.converters = converters;
    cable.fault = simSignalFault(config);
    // From period N: a played frame for the faults of the cable, a captured one for "swap". The
    // host's first samples are played in period 2, so before that the cable carries only silence.
    long at = config.signalFaultAt;
    long from = cable.fault == SIM_SIGNAL_SWAP ? (at > 1 ? at : 1) : (at > 2 ? at : 2);
    cable.faultFrom = (long long)(from - 1) * set->frames;
    if (cable.fault == SIM_SIGNAL_SHIFT && at <= 2)
        roundTrip++;
    set->elements[out].cableContent = true;
    markCableContent(set, in);
    if (cable.fault == SIM_SIGNAL_SWAP) {
        cable.neighbour = findElement(*set, true, config.cableIn + 1);
        if (cable.neighbour >= 0)
            markCableContent(set, cable.neighbour);  // nothing plugged in: silence of its own
    }
    *delay = roundTrip;
    return SIM_ASE_OK;
}

void simFreeCable(SimCable *cable) {
    if (cable->history)
        VirtualFree(cable->history, 0, MEM_RELEASE);
    memset(cable, 0, sizeof *cable);
    cable->out = cable->in = cable->neighbour = -1;
}

void simCableBeginRun(const SimDevice *device, SimBufferSet *set) {
    SimCable &cable = set->cable;
    if (cable.in < 0)
        return;
    const SimConfig &config = device->config;
    cable.inType = simChannelType(device, true, config.cableIn);
    cable.neighbourBytes = cable.neighbour >= 0 ? sampleBytesOf(*set, cable.neighbour) : 0;
    cable.level = strtod(config.signalFaultLevel, nullptr);
    cable.bits = config.signalFaultBits;
    cable.noise = 0x2545F491u;
    cable.queuedTo = 0;
    // The first captured sample that differs from what the host played: for "swap" no earlier
    // than the host's first sample arrives.
    long long hostArrives = set->frames + cable.converters;
    cable.firstAffected = cable.fault != SIM_SIGNAL_SWAP ? cable.faultFrom + cable.converters
                          : cable.faultFrom > hostArrives ? cable.faultFrom : hostArrives;
    cable.affectedSeen = cable.fault < SIM_SIGNAL_SHIFT;  // drop and twice: the thread's account
}

void simCableBeginPeriod(SimBufferSet *set, SimShared *shared, LONG period, LONG drops) {
    SimCable &cable = set->cable;
    if (cable.in < 0)
        return;
    long long frames = set->frames;
    long long end = (period + drops + 1ll) * frames;  // past the frames of this period's call
    if (cable.outBytes) {
        for (; cable.queuedTo < end; cable.queuedTo++)
            memset(playedFrame(cable, cable.queuedTo), 0, cable.outBytes);
    }
    cable.queuedTo = end;
    long long playedFrom = (period + drops) * frames;
    long long roundTrip = 2 * frames + cable.converters + drops * frames +
                          (cable.fault == SIM_SIGNAL_SHIFT && playedFrom >= cable.faultFrom);
    InterlockedExchange(&shared->trueRoundTrip, (LONG)roundTrip);
}

// Types of different widths carry the narrower one's bytes of each sample; the rest is zero.
void simCableFeed(SimBufferSet *set, SimShared *shared, int index, LONG period, LONG call) {
    SimCable &cable = set->cable;
    if (cable.in < 0)
        return;
    unsigned char *to = set->elements[cable.in].half[index];
    memset(to, 0, set->elements[cable.in].halfBytes);
    unsigned char *swapTo = nullptr;
    if (cable.neighbour >= 0) {
        swapTo = set->elements[cable.neighbour].half[index];
        memset(swapTo, 0, set->elements[cable.neighbour].halfBytes);
    }
    long long firstCaptured = (period - 2ll) * set->frames;
    if (!cable.affectedSeen && cable.firstAffected >= firstCaptured &&
        cable.firstAffected < firstCaptured + set->frames) {
        cable.affectedSeen = true;
        InterlockedExchange(&shared->faultHostSwitch, call);
        InterlockedExchange(&shared->faultHostOffset, (LONG)(cable.firstAffected - firstCaptured));
    }
    bool transforms = cable.fault >= SIM_SIGNAL_INVERT;
    size_t carried = cable.inBytes < cable.outBytes ? cable.inBytes : cable.outBytes;
    size_t swapCarried = cable.neighbourBytes < cable.outBytes ? cable.neighbourBytes
                                                               : cable.outBytes;
    for (long f = 0; f < set->frames; f++) {
        long long h = firstCaptured + f - cable.converters;
        const unsigned char *from = cableSample(cable, h);
        if (!from)
            continue;
        if (cable.fault == SIM_SIGNAL_SWAP && firstCaptured + f >= cable.faultFrom) {
            if (swapTo)
                memcpy(swapTo + f * cable.neighbourBytes, from, swapCarried);
            continue;  // "CableIn" hears its neighbour's own silence
        }
        unsigned char *sample = to + f * cable.inBytes;
        memcpy(sample, from, carried);
        if (transforms && h >= cable.faultFrom)
            simTransformSample(sample, cable.inType, cable.fault, cable.level, cable.bits,
                               &cable.noise);
    }
}

void simCableRecord(const SimBufferSet &set, int index, LONG period, LONG drops) {
    const SimCable &cable = set.cable;
    if (cable.out < 0 || !cable.outBytes)
        return;
    const unsigned char *from = set.elements[cable.out].half[index];
    long long first = (period + drops) * (long long)set.frames;
    for (long f = 0; f < set.frames; f++)
        memcpy(playedFrame(cable, first + f), from + f * cable.outBytes, cable.outBytes);
}
