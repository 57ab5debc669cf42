// The double buffers a host asks for, each sized by its channel's own sample type. Every
// half-buffer is followed by a guard zone, and the device keeps its own copy of the layout: a host
// may change its array afterwards. The callbacks record it keeps by pointer, as real drivers do.
#include "stream.h"

#include <string.h>

namespace {

size_t allocatedBytes(long type, long frames) {
    int sampleBytes = simSampleBytes(type);
    return (size_t)(sampleBytes ? sampleBytes : 4) * (size_t)frames;
}

// No channels at all is a driver running its clock with nothing to move: accepted.
long checkRequest(const SimDevice *device, const SimAsioBufferInfo *infos, long count, long frames,
                  const SimAsioCallbacks *callbacks) {
    const SimConfig &config = device->config;
    if (!callbacks || !callbacks->bufferSwitch || count < 0 || (count > 0 && !infos) || frames <= 0)
        return SIM_ASE_INVALID_MODE;
    if (config.maxWorkingSize > 0 && frames > config.maxWorkingSize)
        return SIM_ASE_INVALID_MODE;
    // Refused before the array is read: a count beyond the channels would run off its end.
    long inputs, outputs;
    simChannelCounts(device, &inputs, &outputs);
    long long channels = (long long)(inputs > 0 ? inputs : 0) + (outputs > 0 ? outputs : 0);
    if (count > channels)
        return SIM_ASE_INVALID_MODE;
    // Too large for even one half of 4 bytes a sample; it also keeps the sizes below in 32 bits.
    if (4ull * (unsigned long long)frames > SIM_MAX_ALLOCATION)
        return SIM_ASE_NO_MEMORY;
    unsigned long long total = 0;
    for (long i = 0; i < count; i++) {
        long limit = infos[i].isInput ? inputs : outputs;
        if (infos[i].channelNum < 0 || infos[i].channelNum >= limit)
            return SIM_ASE_INVALID_MODE;
        long type = simChannelType(device, infos[i].isInput != 0, infos[i].channelNum);
        unsigned long long half = allocatedBytes(type, frames);
        total += 2 * simGuardedStride((size_t)half);
        if (half > SIM_MAX_ALLOCATION || total > SIM_MAX_ALLOCATION)
            return SIM_ASE_NO_MEMORY;
    }
    return SIM_ASE_OK;
}

void pairOutputs(SimBufferSet *set) {
    for (long o = 0; o < set->count; o++) {
        SimElement &output = set->elements[o];
        output.pair = -1;
        for (long i = 0; !output.isInput && output.pair < 0 && i < set->count; i++) {
            const SimElement &input = set->elements[i];
            if (input.isInput && input.channelNum == output.channelNum)
                output.pair = (int)i;
        }
    }
}

// Lays the elements out one after another in one block, each half followed by its guard.
bool layOut(const SimDevice *device, const SimAsioBufferInfo *infos, SimBufferSet *set) {
    size_t total = 0;
    for (long i = 0; i < set->count; i++) {
        SimElement &element = set->elements[i];
        element.isInput = infos[i].isInput != 0;
        element.channelNum = infos[i].channelNum;
        long type = simChannelType(device, element.isInput != 0, element.channelNum);
        element.halfBytes = allocatedBytes(type, set->frames);
        element.checkBytes = (size_t)simSampleBytes(type) * (size_t)set->frames;
        element.stride = simGuardedStride(element.halfBytes);
        total += 2 * element.stride;
    }
    set->block = (unsigned char *)VirtualAlloc(nullptr, total, MEM_COMMIT | MEM_RESERVE,
                                               PAGE_READWRITE);
    if (!set->block)
        return false;
    unsigned char *at = set->block;
    for (long i = 0; i < set->count; i++) {
        SimElement &element = set->elements[i];
        for (int h = 0; h < 2; h++) {
            element.half[h] = at;
            memset(at + element.halfBytes, simGuardByte(i, h), element.stride - element.halfBytes);
            at += element.stride;
        }
    }
    pairOutputs(set);
    return true;
}

}  // namespace

long simCreateBuffers(SimDevice *device, SimAsioBufferInfo *infos, long count, long frames,
                      SimAsioCallbacks *callbacks) {
    // Whatever the outcome, a second call replaces the first set.
    simFreeBuffers(&device->buffers);
    device->shared->trueRoundTrip = 0;
    if (device->config.createBuffersFails)
        return SIM_ASE_NO_MEMORY;
    long error = checkRequest(device, infos, count, frames, callbacks);
    if (error)
        return error;
    if (device->config.nullBuffers) {
        for (long i = 0; i < count; i++)
            infos[i].buffers[0] = infos[i].buffers[1] = nullptr;
        return SIM_ASE_OK;
    }

    SimBufferSet set = {};
    set.count = count;
    set.frames = frames;
    if (count > 0) {
        set.elements = (SimElement *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                               sizeof(SimElement) * count);
        if (!set.elements || !layOut(device, infos, &set)) {
            simFreeBuffers(&set);
            return SIM_ASE_NO_MEMORY;
        }
    }
    long long roundTrip = 0;
    if (simMakeCable(device->config, &set, &roundTrip) != SIM_ASE_OK) {
        simFreeBuffers(&set);
        return SIM_ASE_NO_MEMORY;
    }
    set.callbacks = callbacks;
    set.made = true;
    for (long i = 0; i < count; i++) {
        infos[i].buffers[0] = set.elements[i].half[0];
        infos[i].buffers[1] = set.elements[i].half[1];
    }
    // Only the host's array is wrong: the device keeps judging its own halves, and a host that
    // writes the second element from the middle of the first stays inside the block.
    if (count >= 2 && device->config.sharedBuffer) {
        size_t offset = device->config.sharedBuffer == 2 ? set.elements[0].halfBytes / 2 : 0;
        infos[1].buffers[0] = set.elements[0].half[0] + offset;
        infos[1].buffers[1] = set.elements[0].half[1] + offset;
    }
    device->buffers = set;
    device->shared->trueRoundTrip = (LONG)roundTrip;
    return SIM_ASE_OK;
}

bool simEarlySwitch(SimDevice *device) {
    SimAsioCallbacks *callbacks = device->buffers.callbacks;
    if (!device->buffers.made || !callbacks)
        return false;
    simHold(device);
    callbacks->bufferSwitch(0, 1);
    return simUnhold(device);
}

void simFreeBuffers(SimBufferSet *set) {
    simFreeCable(set);
    if (set->block)
        VirtualFree(set->block, 0, MEM_RELEASE);
    if (set->elements)
        HeapFree(GetProcessHeap(), 0, set->elements);
    memset(set, 0, sizeof *set);
}
