// The loopback cable: what the host writes into output "CableOut" comes back on input "CableIn"
// after the true round trip, one buffer each way plus the converters' delays. Counted in frames
// of the run, the input's frame q holds the output's frame q - delay (silence before that).
#include "sim_object.h"

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

}  // namespace

// No cable when either end is not configured or the host made no buffer for it.
long simMakeCable(const SimConfig &config, SimBufferSet *set, long long *delay) {
    *delay = 0;
    SimCable &cable = set->cable;
    cable.out = cable.in = -1;
    if (config.cableOut < 0 || config.cableIn < 0)
        return SIM_ASE_OK;
    long out = findElement(*set, false, config.cableOut);
    long in = findElement(*set, true, config.cableIn);
    if (out < 0 || in < 0)
        return SIM_ASE_OK;
    long long roundTrip = 2ll * set->frames + (config.inputDelay > 0 ? config.inputDelay : 0) +
                          (config.outputDelay > 0 ? config.outputDelay : 0);
    size_t outBytes = sampleBytesOf(*set, out);
    if (roundTrip > SIM_MAX_ALLOCATION ||
        (unsigned long long)roundTrip * outBytes > SIM_MAX_ALLOCATION)
        return SIM_ASE_NO_MEMORY;
    // Made here, never in the switch loop; fresh pages are zero, which is silence.
    if (outBytes) {
        cable.history = (unsigned char *)VirtualAlloc(nullptr, (size_t)roundTrip * outBytes,
                                                      MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!cable.history)
            return SIM_ASE_NO_MEMORY;
    }
    cable.out = out;
    cable.in = in;
    cable.delay = roundTrip;
    cable.historyFrames = roundTrip;
    cable.outBytes = outBytes;
    cable.inBytes = sampleBytesOf(*set, in);
    set->elements[out].cableContent = true;
    set->elements[in].cableContent = true;
    for (long i = 0; i < set->count; i++) {
        if (set->elements[i].pair == in)
            set->elements[i].cableContent = true;
    }
    *delay = roundTrip;
    return SIM_ASE_OK;
}

void simFreeCable(SimCable *cable) {
    if (cable->history)
        VirtualFree(cable->history, 0, MEM_RELEASE);
    memset(cable, 0, sizeof *cable);
    cable->out = cable->in = -1;
}

// Types of different widths carry the narrower one's bytes of each sample; the rest is zero.
void simCableFeed(const SimBufferSet &set, int index, long long firstFrame) {
    const SimCable &cable = set.cable;
    if (cable.in < 0)
        return;
    const SimElement &input = set.elements[cable.in];
    unsigned char *to = input.half[index];
    memset(to, 0, input.halfBytes);
    size_t carried = cable.inBytes < cable.outBytes ? cable.inBytes : cable.outBytes;
    if (!carried)
        return;
    for (long f = 0; f < set.frames; f++) {
        long long from = firstFrame + f - cable.delay;
        if (from >= 0)
            memcpy(to + f * cable.inBytes, cable.history + (from % cable.historyFrames) * cable.outBytes,
                   carried);
    }
}

void simCableRecord(const SimBufferSet &set, int index, long long firstFrame) {
    const SimCable &cable = set.cable;
    if (cable.out < 0 || !cable.outBytes)
        return;
    const unsigned char *from = set.elements[cable.out].half[index];
    for (long f = 0; f < set.frames; f++) {
        long long at = (firstFrame + f) % cable.historyFrames;
        memcpy(cable.history + at * cable.outBytes, from + f * cable.outBytes, cable.outBytes);
    }
}
