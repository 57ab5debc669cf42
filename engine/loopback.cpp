#include "engine/loopback.h"

#include "drivers/driver_loading.h"
#include "res/resource.h"

#include <stdlib.h>
#include <string.h>

LoopbackState loopbackState = {0, 0, 0, 0, 0, 0, 4, false, {0}, nullptr, 0, 0, 0};

const ASIOCallbacks loopbackCallbacks = {
    onBufferSwitch,
    onSampleRateDidChange,
    onAsioMessage,
    onBufferSwitchTimeInfo,
};

static_assert(std::atomic<int32_t>::is_always_lock_free, "the callback must never wait");

// Builds the buffer array and the copy plan from the report's figures. Counts come from the
// driver and may be negative or absurd: a negative count takes part as 0, and a total that the
// array cannot hold leaves no array at all. Returns the array's element count, 0 for no array.
static long prepareBuffers(LoopbackState *state)
{
    int64_t outputs = state->outputChannels > 0 ? state->outputChannels : 0;
    int64_t inputs = state->inputChannels > 0 ? state->inputChannels : 0;
    int64_t count = outputs + inputs;

    state->bufferInfos = nullptr;
    state->bufferOutputs = 0;
    state->copyChannels = 0;
    state->copyBytes = 0;
    if (count == 0 || count > MAX_BUFFER_ELEMENTS)
        return 0;

    ASIOBufferInfo *infos =
        static_cast<ASIOBufferInfo *>(calloc(static_cast<size_t>(count), sizeof(ASIOBufferInfo)));
    if (!infos)
        return 0;
    for (int64_t i = 0; i < count; i++) {
        infos[i].isInput = i < outputs ? 0 : 1;
        infos[i].channelNum = static_cast<long>(i < outputs ? i : i - outputs);
    }

    int64_t bytes = static_cast<int64_t>(state->sampleBytes) * state->preferredSize;
    state->bufferInfos = infos;
    state->bufferOutputs = static_cast<int32_t>(outputs);
    state->copyChannels = static_cast<int32_t>(outputs < inputs ? outputs : inputs);
    state->copyBytes = bytes > 0 && bytes <= INT32_MAX ? static_cast<size_t>(bytes) : 0;
    return static_cast<long>(count);
}

void startLoopback(HWND window)
{
    loopbackState.switchCount.store(0);
    SetDlgItemTextA(window, IDC_START, "Stop");
    EnableWindow(GetDlgItem(window, IDC_CONTROL_PANEL), FALSE);

    free(loopbackState.bufferInfos);
    long count = prepareBuffers(&loopbackState);
    if (count > 0) {
        asioCreateBuffers(loopbackState.bufferInfos, count, loopbackState.preferredSize,
                          const_cast<ASIOCallbacks *>(&loopbackCallbacks));
        asioStart();
    }
    loopbackState.running = true;
}

void stopLoopback(HWND window)
{
    asioStop();
    asioDisposeBuffers();
    SetDlgItemTextA(window, IDC_START, "Start");
    loopbackState.running = false;
    EnableWindow(GetDlgItem(window, IDC_CONTROL_PANEL), TRUE);
}

void onBufferSwitch(long index, ASIOBool)
{
    loopbackState.switchCount.fetch_add(1, std::memory_order_relaxed);
    // Only the two halves exist; anything else is the driver's fault and touches nothing.
    if (index != 0 && index != 1)
        return;

    const ASIOBufferInfo *infos = loopbackState.bufferInfos;
    const int32_t channels = loopbackState.copyChannels;
    const size_t bytes = loopbackState.copyBytes;
    if (!infos || bytes == 0)
        return;
    const ASIOBufferInfo *inputs = infos + loopbackState.bufferOutputs;
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
