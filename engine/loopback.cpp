#include "engine/loopback.h"

#include "drivers/driver_loading.h"
#include "engine/sample_types.h"

#include <stdlib.h>
#include <string.h>

LoopbackState loopbackState = {0, 0, 0, 0, 0, 0, false, {nullptr}, {0}};

// The plan the last start replaced. A driver whose stop returned early may still be inside the
// last buffer switch of its run, reading that run's plan, and that switch may overlap the next
// start but not the one after it: so a replaced plan is freed at the start after the next one, or
// stays until the process ends.
static CopyPlan *retiredPlan = nullptr;

const ASIOCallbacks loopbackCallbacks = {
    onBufferSwitch,
    onSampleRateDidChange,
    onAsioMessage,
    onBufferSwitchTimeInfo,
};

static_assert(std::atomic<int32_t>::is_always_lock_free, "the callback must never wait");
static_assert(std::atomic<CopyPlan *>::is_always_lock_free, "the callback must never wait");

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

// The arrays follow the record in its block, each at its own alignment.
static_assert(sizeof(CopyPlan) % alignof(void *) == 0, "array after the record");
static_assert(sizeof(ASIOBufferInfo) % alignof(size_t) == 0, "lengths after the array");

// Makes the plan for `frames` from the report's figures; *count receives the array's element
// count. Counts come from the driver and may be negative or absurd: a negative count takes part as
// 0, and a total that the array cannot hold makes no plan. Null when none was made.
static CopyPlan *makePlan(const LoopbackState *state, int32_t frames, long *count)
{
    int64_t outputs = state->outputChannels > 0 ? state->outputChannels : 0;
    int64_t inputs = state->inputChannels > 0 ? state->inputChannels : 0;
    int64_t elements = outputs + inputs;
    int64_t pairs = outputs < inputs ? outputs : inputs;
    if (elements > MAX_BUFFER_ELEMENTS)
        return nullptr;

    // One element at least: a driver without channels still gets an array, of count 0.
    size_t infoRoom = static_cast<size_t>(elements > 0 ? elements : 1);
    size_t lengthRoom = static_cast<size_t>(pairs > 0 ? pairs : 1);
    CopyPlan *plan = static_cast<CopyPlan *>(calloc(
        1, sizeof(CopyPlan) + infoRoom * sizeof(ASIOBufferInfo) + lengthRoom * sizeof(size_t)));
    if (!plan)
        return nullptr;
    plan->bufferInfos = reinterpret_cast<ASIOBufferInfo *>(plan + 1);
    plan->pairBytes = reinterpret_cast<size_t *>(plan->bufferInfos + infoRoom);
    for (int64_t i = 0; i < elements; i++) {
        plan->bufferInfos[i].isInput = i < outputs ? 0 : 1;
        plan->bufferInfos[i].channelNum = static_cast<long>(i < outputs ? i : i - outputs);
    }
    // Inputs and outputs need not share a sample type: each copy stays within both buffers.
    bool alike = true;
    for (int64_t i = 0; i < pairs; i++) {
        int32_t outputBytes = channelSampleBytes(static_cast<long>(i), 0);
        int32_t inputBytes = channelSampleBytes(static_cast<long>(i), 1);
        plan->pairBytes[i] = copyLength(outputBytes, inputBytes, frames);
        alike = alike && plan->pairBytes[i] == plan->pairBytes[0];
    }
    plan->bufferOutputs = static_cast<int32_t>(outputs);
    plan->copyChannels = static_cast<int32_t>(pairs);
    plan->copyBytes = pairs > 0 && alike ? plan->pairBytes[0] : 0;
    *count = static_cast<long>(elements);
    return plan;
}

ASIOError createLoopbackBuffers(const ASIOCallbacks *callbacks, long bufferSize)
{
    loopbackState.switchCount.store(0);
    long count = 0;
    CopyPlan *plan = makePlan(&loopbackState, static_cast<int32_t>(bufferSize), &count);
    free(retiredPlan);
    retiredPlan = loopbackState.plan.load(std::memory_order_relaxed);
    loopbackState.plan.store(plan, std::memory_order_release);
    loopbackState.running = true;
    if (!plan)
        return ASE_NoMemory;
    return asioCreateBuffers(plan->bufferInfos, count, bufferSize,
                             const_cast<ASIOCallbacks *>(callbacks));
}

ASIOError beginLoopback(const ASIOCallbacks *callbacks, long bufferSize)
{
    ASIOError result = createLoopbackBuffers(callbacks, bufferSize);
    // The dialog starts the driver whatever createBuffers answered; only without a plan is there
    // nothing to start.
    if (!loopbackState.plan.load(std::memory_order_relaxed))
        return result;
    ASIOError started = asioStart();
    return result == ASE_OK ? started : result;
}

void endLoopback(ASIOError *stopped, ASIOError *disposed)
{
    ASIOError stop = asioStop();
    ASIOError dispose = asioDisposeBuffers();
    if (stopped)
        *stopped = stop;
    if (disposed)
        *disposed = dispose;
    loopbackState.running = false;
}

void onBufferSwitch(long index, ASIOBool)
{
    loopbackState.switchCount.fetch_add(1, std::memory_order_relaxed);
    const CopyPlan *plan = loopbackState.plan.load(std::memory_order_acquire);
    // Only the two halves exist; anything else is the driver's fault and touches nothing.
    if (!plan || (index != 0 && index != 1))
        return;

    const ASIOBufferInfo *infos = plan->bufferInfos;
    const ASIOBufferInfo *inputs = infos + plan->bufferOutputs;
    const int32_t channels = plan->copyChannels;
    // The usual case, every pair alike, copies with one length: on 32-bit x86 reading a length per
    // pair costs as much as a short copy.
    const size_t bytes = plan->copyBytes;
    if (!bytes) {
        const size_t *pairBytes = plan->pairBytes;
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
