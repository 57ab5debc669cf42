// The double buffers a host asks for. Every half-buffer is followed by a guard zone, and the
// device keeps its own copy of the layout: a host may change its array afterwards.
#include "sim_object.h"

#include <string.h>

namespace {

long checkRequest(const SimConfig &config, const SimAsioBufferInfo *infos, long count, long frames,
                  const SimAsioCallbacks *callbacks) {
    if (!infos || !callbacks || !callbacks->bufferSwitch || count <= 0 || frames <= 0)
        return SIM_ASE_INVALID_MODE;
    // Refused before the array is read: a count beyond the channels would run off its end.
    long long channels = (long long)(config.inputs > 0 ? config.inputs : 0) +
                         (config.outputs > 0 ? config.outputs : 0);
    if (count > channels)
        return SIM_ASE_INVALID_MODE;
    int sampleBytes = simSampleBytes(config.sampleType);
    unsigned long long half = (unsigned long long)(sampleBytes ? sampleBytes : 4) * frames;
    if (half > SIM_MAX_ALLOCATION ||
        2ull * count * simGuardedStride((size_t)half) > SIM_MAX_ALLOCATION)
        return SIM_ASE_NO_MEMORY;
    for (long i = 0; i < count; i++) {
        long limit = infos[i].isInput ? config.inputs : config.outputs;
        if (infos[i].channelNum < 0 || infos[i].channelNum >= limit)
            return SIM_ASE_INVALID_MODE;
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

}  // namespace

long simCreateBuffers(SimDevice *device, SimAsioBufferInfo *infos, long count, long frames,
                      const SimAsioCallbacks *callbacks) {
    // Whatever the outcome, a second call replaces the first set.
    simStopThread(device);
    simFreeBuffers(&device->buffers);
    if (device->config.createBuffersFails)
        return SIM_ASE_NO_MEMORY;
    long error = checkRequest(device->config, infos, count, frames, callbacks);
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
    int sampleBytes = simSampleBytes(device->config.sampleType);
    set.halfBytes = (size_t)(sampleBytes ? sampleBytes : 4) * frames;
    set.checkBytes = (size_t)sampleBytes * frames;
    size_t stride = simGuardedStride(set.halfBytes);
    set.elements = (SimElement *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                           sizeof(SimElement) * count);
    set.block = (unsigned char *)VirtualAlloc(nullptr, stride * 2 * count,
                                              MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!set.elements || !set.block) {
        simFreeBuffers(&set);
        return SIM_ASE_NO_MEMORY;
    }
    for (long i = 0; i < count; i++) {
        SimElement &element = set.elements[i];
        element.isInput = infos[i].isInput != 0;
        element.channelNum = infos[i].channelNum;
        for (int h = 0; h < 2; h++) {
            element.half[h] = set.block + stride * (2 * i + h);
            memset(element.half[h] + set.halfBytes, simGuardByte(i, h), stride - set.halfBytes);
        }
    }
    pairOutputs(&set);
    set.callbacks = *callbacks;
    for (long i = 0; i < count; i++) {
        infos[i].buffers[0] = set.elements[i].half[0];
        infos[i].buffers[1] = set.elements[i].half[1];
    }
    device->buffers = set;
    return SIM_ASE_OK;
}

void simFreeBuffers(SimBufferSet *set) {
    if (set->block)
        VirtualFree(set->block, 0, MEM_RELEASE);
    if (set->elements)
        HeapFree(GetProcessHeap(), 0, set->elements);
    memset(set, 0, sizeof *set);
}
