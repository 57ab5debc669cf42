#include "bench/layout_buffers.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <malloc.h>
#include <string.h>

namespace {

struct BareCopies {
    int32_t pairs;
    size_t bytes;
    void **to[2];
    const void **from[2];
};

BareCopies bare = {};
unsigned char *block = nullptr;
void **lists = nullptr;

// A cache line between buffers, as separate allocations of a driver would have at least.
size_t stride(size_t bytes)
{
    return (bytes + 63) / 64 * 64 + 64;
}

}  // namespace

size_t bytesPerSwitch(const Layout &layout)
{
    return static_cast<size_t>(layout.pairs) * layout.frames * layout.sampleBytes;
}

bool setUpLayout(const Layout &layout)
{
    activeDriver = nullptr;
    loopbackState.inputChannels = layout.pairs;
    loopbackState.outputChannels = layout.pairs;
    beginLoopback(&loopbackCallbacks, layout.frames);
    CopyPlan *plan = loopbackState.plan.load();
    if (!plan)
        return false;

    // No driver was asked for the channels' types: the layout's sample size stands for every pair.
    const size_t bytes = static_cast<size_t>(layout.frames) * layout.sampleBytes;
    for (int32_t i = 0; i < plan->copyChannels; i++)
        plan->pairBytes[i] = bytes;
    plan->copyBytes = bytes;
    const size_t elements = static_cast<size_t>(layout.pairs) * 2;
    block = static_cast<unsigned char *>(_aligned_malloc(elements * 2 * stride(bytes), 64));
    lists = static_cast<void **>(malloc(4 * layout.pairs * sizeof(void *)));
    if (!block || !lists)
        return false;
    // Inputs carry a pattern, outputs start cleared: every page is touched before timing.
    for (size_t e = 0; e < elements; e++) {
        ASIOBufferInfo &info = plan->bufferInfos[e];
        for (int h = 0; h < 2; h++) {
            unsigned char *half = block + (e * 2 + h) * stride(bytes);
            memset(half, info.isInput ? static_cast<int>(0x11 * (e + 1) + h) : 0, stride(bytes));
            info.buffers[h] = half;
        }
    }

    bare.pairs = layout.pairs;
    bare.bytes = bytes;
    for (int h = 0; h < 2; h++) {
        bare.to[h] = lists + h * 2 * layout.pairs;
        bare.from[h] = const_cast<const void **>(lists + h * 2 * layout.pairs + layout.pairs);
        for (int32_t i = 0; i < layout.pairs; i++) {
            bare.to[h][i] = plan->bufferInfos[i].buffers[h];
            bare.from[h][i] = plan->bufferInfos[layout.pairs + i].buffers[h];
        }
    }
    return true;
}

void tearDownLayout()
{
    endLoopback();
    _aligned_free(block);
    free(lists);
    block = nullptr;
    lists = nullptr;
    bare = BareCopies();
}

void bareCopies(long index, long)
{
    const int32_t pairs = bare.pairs;
    const size_t bytes = bare.bytes;
    void **to = bare.to[index];
    const void **from = bare.from[index];
    for (int32_t i = 0; i < pairs; i++)
        memcpy(to[i], from[i], bytes);
}
