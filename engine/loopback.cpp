#include "engine/loopback.h"

#include "drivers/driver_loading.h"
#include "engine/sample_types.h"

#include <stdlib.h>
#include <string.h>

LoopbackState loopbackState = {0, 0, 0, 0, 0, 0, 4, false, {0}, nullptr, 0, 0, nullptr, 0};

const ASIOCallbacks loopbackCallbacks = {
    onBufferSwitch,
    onSampleRateDidChange,
    onAsioMessage,
    onBufferSwitchTimeInfo,
};

static_assert(std::atomic<int32_t>::is_always_lock_free, "the callback must never wait");

size_t copyLength(int32_t outputBytes, int32_t inputBytes, int32_t frames)
{
    int64_t bytes = static_cast<int64_t>(outputBytes < inputBytes ? outputBytes : inputBytes) * frames;
    return bytes > 0 && bytes <= INT32_MAX ? static_cast<size_t>(bytes) : 0;
}

static int32_t channelSampleBytes(long channel, ASIOBool isInput)
{
    ASIOChannelInfo info = {};
    info.channel = channel;
    info.isInput = isInput;
    info.type = -1;  // a driver that writes no type gets nothing copied
    asioGetChannelInfo(&info);
    return lookupSampleType(info.type)->bytes;
}

static void freeBuffers(LoopbackState *state)
{
    free(state->bufferInfos);
    free(state->pairBytes);
    state->bufferInfos = nullptr;
    state->pairBytes = nullptr;
    state->bufferOutputs = 0;
    state->copyChannels = 0;
    state->copyBytes = 0;
}

// Builds the buffer array and the copy plan from the report's figures. Counts come from the
// driver and may be negative or absurd: a negative count takes part as 0, and a total that the
// array cannot hold leaves no array at all. Returns the array's element count, -1 for no array.
static long prepareBuffers(LoopbackState *state)
{
    freeBuffers(state);
    int64_t outputs = state->outputChannels > 0 ? state->outputChannels : 0;
    int64_t inputs = state->inputChannels > 0 ? state->inputChannels : 0;
    int64_t count = outputs + inputs;
    int64_t pairs = outputs < inputs ? outputs : inputs;
    if (count > MAX_BUFFER_ELEMENTS)
        return -1;

    // One element at least: a driver without channels still gets an array, of count 0.
    ASIOBufferInfo *infos = static_cast<ASIOBufferInfo *>(
        calloc(static_cast<size_t>(count > 0 ? count : 1), sizeof(ASIOBufferInfo)));
    size_t *pairBytes = static_cast<size_t *>(
        calloc(static_cast<size_t>(pairs > 0 ? pairs : 1), sizeof(size_t)));
    if (!infos || !pairBytes) {
        free(infos);
        free(pairBytes);
        return -1;
    }
    for (int64_t i = 0; i < count; i++) {
        infos[i].isInput = i < outputs ? 0 : 1;
        infos[i].channelNum = static_cast<long>(i < outputs ? i : i - outputs);
    }
    // Inputs and outputs need not share a sample type: each copy stays within both buffers.
    bool alike = true;
    for (int64_t i = 0; i < pairs; i++) {
        int32_t outputBytes = channelSampleBytes(static_cast<long>(i), 0);
        int32_t inputBytes = channelSampleBytes(static_cast<long>(i), 1);
        pairBytes[i] = copyLength(outputBytes, inputBytes, state->preferredSize);
        alike = alike && pairBytes[i] == pairBytes[0];
    }

    state->bufferInfos = infos;
    state->pairBytes = pairBytes;
    state->bufferOutputs = static_cast<int32_t>(outputs);
    state->copyChannels = static_cast<int32_t>(pairs);
    state->copyBytes = pairs > 0 && alike ? pairBytes[0] : 0;
    return static_cast<long>(count);
}

ASIOError createLoopbackBuffers(const ASIOCallbacks *callbacks, long bufferSize)
{
    loopbackState.switchCount.store(0);
    loopbackState.preferredSize = static_cast<int32_t>(bufferSize);
    long count = prepareBuffers(&loopbackState);
    loopbackState.running = true;
    if (count < 0)
        return ASE_NoMemory;
    return asioCreateBuffers(loopbackState.bufferInfos, count, bufferSize,
                             const_cast<ASIOCallbacks *>(callbacks));
}

ASIOError beginLoopback(const ASIOCallbacks *callbacks)
{
    ASIOError result = createLoopbackBuffers(callbacks, loopbackState.preferredSize);
    // The dialog starts the driver whatever createBuffers answered; only without an array is there
    // nothing to start.
    if (!loopbackState.bufferInfos)
        return result;
    ASIOError started = asioStart();
    return result == ASE_OK ? started : result;
}

void endLoopback()
{
    asioStop();
    asioDisposeBuffers();
    loopbackState.running = false;
}

void onBufferSwitch(long index, ASIOBool)
{
    loopbackState.switchCount.fetch_add(1, std::memory_order_relaxed);
    // Only the two halves exist; anything else is the driver's fault and touches nothing.
    if (index != 0 && index != 1)
        return;

    const ASIOBufferInfo *infos = loopbackState.bufferInfos;
    const size_t *pairBytes = loopbackState.pairBytes;
    const int32_t channels = loopbackState.copyChannels;
    if (!infos)
        return;
    const ASIOBufferInfo *inputs = infos + loopbackState.bufferOutputs;
    // The usual case, every pair alike, copies with one length: on 32-bit x86 reading a length per
    // pair costs as much as a short copy.
    const size_t bytes = loopbackState.copyBytes;
    if (!bytes) {
        for (int32_t i = 0; i < channels; i++) {
            void *to = infos[i].buffers[index];
            const void *from = inputs[i].buffers[index];
            if (to && from && pairBytes[i])
                memcpy(to, from, pairBytes[i]);
        }
        return;
    }
    for (int32_t i = 0; i < channels; i++) {
        void *to = infos[i].buffers[index];
        const void *from = inputs[i].buffers[index];
        if (to && from)
            memcpy(to, from, bytes);
    }
}

void onSampleRateDidChange(ASIOSampleRate)
{
}

long onAsioMessage(long, long, void *, double *)
{
    return 0;
}

ASIOTime *onBufferSwitchTimeInfo(ASIOTime *, long, ASIOBool)
{
    return nullptr;
}
