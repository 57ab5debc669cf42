#include "checker/measure/measure.h"

#include <stdlib.h>
#include <string.h>

static const uint32_t ALIGNMENT = 64;

bool makeSampleRing(SampleRing *ring, uint32_t blocks, uint32_t blockBytes)
{
    uint32_t count = 1;
    while (count < blocks)
        count <<= 1;
    const uint32_t stride = (blockBytes + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    ring->blocks = static_cast<RingBlock *>(calloc(count, sizeof(RingBlock)));
    ring->storage = static_cast<unsigned char *>(malloc(static_cast<size_t>(count) * stride + ALIGNMENT));
    if (!ring->blocks || !ring->storage) {
        freeSampleRing(ring);
        return false;
    }
    // Touched now, so that no page faults in on the driver's thread.
    memset(ring->storage, 0, static_cast<size_t>(count) * stride + ALIGNMENT);
    unsigned char *first = ring->storage + (ALIGNMENT - reinterpret_cast<uintptr_t>(ring->storage) % ALIGNMENT);
    for (uint32_t k = 0; k < count; k++)
        ring->blocks[k].data = first + static_cast<size_t>(k) * stride;
    ring->mask = count - 1;
    ring->blockBytes = blockBytes;
    ring->appended.store(0, std::memory_order_relaxed);
    ring->droppedSinceLast = 0;
    ring->dropped.store(0, std::memory_order_relaxed);
    ring->taken.store(0, std::memory_order_release);
    return true;
}

void freeSampleRing(SampleRing *ring)
{
    free(ring->blocks);
    free(ring->storage);
    ring->blocks = nullptr;
    ring->storage = nullptr;
    ring->mask = 0;
}

bool appendRingBlock(SampleRing *ring, const void *data, uint32_t bytes, int64_t switchNumber,
                     int64_t arrivalTicks)
{
    const uint32_t appended = ring->appended.load(std::memory_order_relaxed);
    // Acquire: the main thread is done with a block before it counts it as taken.
    if (appended - ring->taken.load(std::memory_order_acquire) > ring->mask) {
        ring->droppedSinceLast++;
        ring->dropped.store(ring->dropped.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return false;
    }
    RingBlock *block = &ring->blocks[appended & ring->mask];
    if (bytes > ring->blockBytes)
        bytes = ring->blockBytes;
    memcpy(block->data, data, bytes);
    block->bytes = bytes;
    block->switchNumber = switchNumber;
    block->arrivalTicks = arrivalTicks;
    block->droppedBefore = ring->droppedSinceLast;
    ring->droppedSinceLast = 0;
    // Release: the block's contents are visible before the count that hands it over.
    ring->appended.store(appended + 1, std::memory_order_release);
    return true;
}

const RingBlock *peekRingBlock(SampleRing *ring)
{
    const uint32_t taken = ring->taken.load(std::memory_order_relaxed);
    if (ring->appended.load(std::memory_order_acquire) == taken)
        return nullptr;
    return &ring->blocks[taken & ring->mask];
}

void releaseRingBlock(SampleRing *ring)
{
    ring->taken.store(ring->taken.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}
