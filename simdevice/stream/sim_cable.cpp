// The loopback cables on the device's own clock: "CableOut" to "CableIn" and the routes of
// "CableMap", each with its own delay ("CableDelays") and the signal's fault on one of them
// ("SignalFaultRoute"). Each works as the one cable described here. Period k covers frames (k-1) x F .. k x F - 1 of
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
#include "stream.h"

#include <stdlib.h>
#include <string.h>

namespace {

enum { MAX_ROUTES = 256 };

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

// The routes the configuration asks for, as output and input channels: "CableOut" to "CableIn"
// first, then "CableMap" ("same": every channel to its own number). The count.
int configuredRoutes(const SimConfig &config, long channels, long *outs, long *ins) {
    int count = 0;
    if (config.cableOut >= 0 && config.cableIn >= 0) {
        outs[0] = config.cableOut;
        ins[0] = config.cableIn;
        count = 1;
    }
    if (_stricmp(config.cableMap, "same") == 0) {
        for (long c = 0; c < channels && count < MAX_ROUTES; c++, count++)
            outs[count] = ins[count] = c;
        return count;
    }
    for (const char *at = config.cableMap; *at && count < MAX_ROUTES;) {
        char *end;
        long out = strtol(at, &end, 10);
        if (end == at || *end != ':')
            break;
        at = end + 1;
        long in = strtol(at, &end, 10);
        if (end == at)
            break;
        outs[count] = out;
        ins[count++] = in;
        at = *end == ',' ? end + 1 : end;
    }
    return count;
}

// "CableDelays": "input:frames,..." the extra frames of the route to that input; 0 when unlisted.
long long extraDelay(const SimConfig &config, long input) {
    for (const char *at = config.cableDelays; *at;) {
        char *end;
        long in = strtol(at, &end, 10);
        if (end == at || *end != ':')
            return 0;
        at = end + 1;
        long long frames = strtoll(at, &end, 10);
        if (in == input)
            return frames > 0 ? frames : 0;
        at = *end == ',' ? end + 1 : end;
        if (end == at && *at)
            return 0;
    }
    return 0;
}

// One route's ring and figures; its fault when it is the route "SignalFaultRoute" names. A route
// whose ends have no buffers carries nothing. SIM_ASE_OK or SIM_ASE_NO_MEMORY.
long makeRoute(const SimConfig &config, SimBufferSet *set, SimCable *cable, long outChannel,
               long inChannel, bool faulty) {
    cable->out = cable->in = cable->neighbour = cable->swapWith = -1;
    long out = findElement(*set, false, outChannel);
    long in = findElement(*set, true, inChannel);
    if (out < 0 || in < 0)
        return SIM_ASE_OK;
    long long converters = (config.inputDelay > 0 ? config.inputDelay : 0) +
                           (config.outputDelay > 0 ? config.outputDelay : 0) +
                           extraDelay(config, inChannel);
    // Room for what is queued ahead (one more buffer after a drop), the frames still to be
    // captured, and the one "shift" inserts.
    long long ring = 4ll * set->frames + converters + 2;
    size_t outBytes = sampleBytesOf(*set, out);
    if (ring > SIM_MAX_ALLOCATION || (unsigned long long)ring * outBytes > SIM_MAX_ALLOCATION)
        return SIM_ASE_NO_MEMORY;
    // Made here, never in the switch loop.
    if (outBytes) {
        cable->history = (unsigned char *)VirtualAlloc(nullptr, (size_t)ring * outBytes,
                                                       MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!cable->history)
            return SIM_ASE_NO_MEMORY;
    }
    cable->out = out;
    cable->in = in;
    cable->inChannel = inChannel;
    cable->delay = 2ll * set->frames + converters;
    cable->historyFrames = ring;
    cable->outBytes = outBytes;
    cable->inBytes = sampleBytesOf(*set, in);
    cable->converters = converters;
    cable->fault = faulty ? simSignalFault(config) : SIM_SIGNAL_NONE;
    // From period N: a played frame for the faults of the cable, a captured one for "swap". The
    // host's first samples are played in period 2, so before that the cable carries only silence.
    long at = config.signalFaultAt;
    long from = cable->fault == SIM_SIGNAL_SWAP ? (at > 1 ? at : 1) : (at > 2 ? at : 2);
    cable->faultFrom = (long long)(from - 1) * set->frames;
    if (cable->fault == SIM_SIGNAL_SHIFT && at <= 2)
        cable->delay++;
    set->elements[out].cableContent = true;
    markCableContent(set, in);
    return SIM_ASE_OK;
}

// "swap": the faulty route's input and the one after it trade what they carry from faultFrom on.
void planSwap(SimBufferSet *set, SimCable *faulty, long inChannel) {
    faulty->neighbour = findElement(*set, true, inChannel + 1);
    if (faulty->neighbour < 0)
        return;
    markCableContent(set, faulty->neighbour);  // nothing plugged in: silence of its own
    faulty->swapWith = faulty->neighbour;
    for (long k = 0; k < set->cableCount; k++) {
        SimCable &other = set->cables[k];
        if (&other != faulty && other.in == faulty->neighbour) {
            other.swapWith = faulty->in;
            other.faultFrom = faulty->faultFrom;
        }
    }
}

}  // namespace

long simMakeCable(const SimConfig &config, SimBufferSet *set, long long *delay) {
    *delay = 0;
    long outs[MAX_ROUTES], ins[MAX_ROUTES];
    int routes = configuredRoutes(config, set->count, outs, ins);
    set->cableCount = 0;
    if (routes == 0)
        return SIM_ASE_OK;
    set->cables = (SimCable *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SimCable) * routes);
    if (!set->cables)
        return SIM_ASE_NO_MEMORY;
    set->cableCount = routes;
    long faultRoute = config.signalFaultRoute >= 0 ? config.signalFaultRoute : ins[0];
    SimCable *faulty = nullptr;
    for (int k = 0; k < routes; k++) {
        bool isFaulty = !faulty && ins[k] == faultRoute;
        if (makeRoute(config, set, &set->cables[k], outs[k], ins[k], isFaulty) != SIM_ASE_OK)
            return SIM_ASE_NO_MEMORY;
        if (isFaulty && set->cables[k].in >= 0)
            faulty = &set->cables[k];
    }
    if (faulty && faulty->fault == SIM_SIGNAL_SWAP)
        planSwap(set, faulty, faultRoute);
    *delay = set->cables[0].in >= 0 ? set->cables[0].delay : 0;
    return SIM_ASE_OK;
}

void simFreeCable(SimBufferSet *set) {
    for (long k = 0; k < set->cableCount; k++) {
        if (set->cables[k].history)
            VirtualFree(set->cables[k].history, 0, MEM_RELEASE);
    }
    if (set->cables)
        HeapFree(GetProcessHeap(), 0, set->cables);
    set->cables = nullptr;
    set->cableCount = 0;
}

void simCableBeginRun(const SimDevice *device, SimBufferSet *set) {
    const SimConfig &config = device->config;
    for (long k = 0; k < set->cableCount; k++) {
        SimCable &cable = set->cables[k];
        if (cable.in < 0)
            continue;
        cable.inType = simChannelType(device, true, cable.inChannel);
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
        cable.affectedSeen = cable.fault < SIM_SIGNAL_SHIFT;  // none, drop, twice: not the cable's
    }
}

void simCableBeginPeriod(SimBufferSet *set, SimShared *shared, LONG period, LONG drops) {
    long long frames = set->frames;
    long long end = (period + drops + 1ll) * frames;  // past the frames of this period's call
    long long playedFrom = (period + drops) * frames;
    for (long k = 0; k < set->cableCount; k++) {
        SimCable &cable = set->cables[k];
        if (cable.in < 0)
            continue;
        if (cable.outBytes) {
            for (; cable.queuedTo < end; cable.queuedTo++)
                memset(playedFrame(cable, cable.queuedTo), 0, cable.outBytes);
        }
        cable.queuedTo = end;
        if (k == 0) {
            long long roundTrip = 2 * frames + cable.converters + drops * frames +
                                  (cable.fault == SIM_SIGNAL_SHIFT && playedFrom >= cable.faultFrom);
            InterlockedExchange(&shared->trueRoundTrip, (LONG)roundTrip);
        }
    }
}

namespace {

// Where the fault first shows, in the host's terms, once the call bringing it is known.
void noteFirstAffected(SimCable &cable, SimShared *shared, long long firstCaptured, long frames,
                       LONG call) {
    if (!cable.affectedSeen && cable.firstAffected >= firstCaptured &&
        cable.firstAffected < firstCaptured + frames) {
        cable.affectedSeen = true;
        InterlockedExchange(&shared->faultHostSwitch, call);
        InterlockedExchange(&shared->faultHostOffset, (LONG)(cable.firstAffected - firstCaptured));
    }
}

void feedRoute(SimBufferSet *set, SimCable &cable, int index, long long firstCaptured) {
    bool transforms = cable.fault >= SIM_SIGNAL_INVERT;
    for (long f = 0; f < set->frames; f++) {
        long long h = firstCaptured + f - cable.converters;
        const unsigned char *from = cableSample(cable, h);
        if (!from)
            continue;
        long target = cable.swapWith >= 0 && firstCaptured + f >= cable.faultFrom ? cable.swapWith
                                                                                 : cable.in;
        size_t bytes = sampleBytesOf(*set, target);
        unsigned char *sample = set->elements[target].half[index] + f * bytes;
        memcpy(sample, from, bytes < cable.outBytes ? bytes : cable.outBytes);
        if (transforms && h >= cable.faultFrom)
            simTransformSample(sample, cable.inType, cable.fault, cable.level, cable.bits,
                               &cable.noise);
    }
}

}  // namespace

// Types of different widths carry the narrower one's bytes of each sample; the rest is zero. Every
// cabled input is cleared before any route feeds, so that a swap lands on a cleared buffer.
void simCableFeed(SimBufferSet *set, SimShared *shared, int index, LONG period, LONG call) {
    long long firstCaptured = (period - 2ll) * set->frames;
    for (long k = 0; k < set->cableCount; k++) {
        const SimCable &cable = set->cables[k];
        if (cable.in < 0)
            continue;
        memset(set->elements[cable.in].half[index], 0, set->elements[cable.in].halfBytes);
        if (cable.neighbour >= 0)
            memset(set->elements[cable.neighbour].half[index], 0,
                   set->elements[cable.neighbour].halfBytes);
    }
    for (long k = 0; k < set->cableCount; k++) {
        SimCable &cable = set->cables[k];
        if (cable.in < 0)
            continue;
        noteFirstAffected(cable, shared, firstCaptured, set->frames, call);
        feedRoute(set, cable, index, firstCaptured);
    }
}

void simCableRecord(const SimBufferSet &set, int index, LONG period, LONG drops) {
    long long first = (period + drops) * (long long)set.frames;
    for (long k = 0; k < set.cableCount; k++) {
        const SimCable &cable = set.cables[k];
        if (cable.out < 0 || !cable.outBytes)
            continue;
        const unsigned char *from = set.elements[cable.out].half[index];
        for (long f = 0; f < set.frames; f++)
            memcpy(playedFrame(cable, first + f), from + f * cable.outBytes, cable.outBytes);
    }
}
