// The ring of received blocks: a bounded queue of many producers (the driver's callbacks) and one
// or more readers (the main thread, analysis threads). Each block's sequence says whose turn it
// is, so that a callback takes a block only when every reader is done with it, and a reader a
// block only once its callback is done with it.
#include "checker/measure/integrity_parts.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

static const uint32_t ALIGNMENT = 64;
static_assert(std::atomic<int64_t>::is_always_lock_free, "a callback may not take a lock");

// `blocks` blocks of `blockBytes`, each rounded up to ALIGNMENT; UINT64_MAX when that does not fit.
static uint64_t ringBytes(uint64_t blocks, uint64_t blockBytes)
{
    if (blockBytes > UINT64_MAX - ALIGNMENT)
        return UINT64_MAX;
    const uint64_t stride = (blockBytes + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    return stride && blocks > UINT64_MAX / stride ? UINT64_MAX : blocks * stride;
}

bool sampleRingSize(double rate, long frames, uint64_t blockBytes, RingSize *size)
{
    const bool timed = usableRate(rate) && frames > 0;
    const double wanted = timed ? ceil(RING_SECONDS * rate / frames) : 0;
    uint64_t blocks = RING_MIN_BLOCKS;
    while (blocks < wanted && blocks < 0x80000000u)
        blocks <<= 1;
    while (blocks > RING_MIN_BLOCKS && ringBytes(blocks, blockBytes) > RING_MAX_BYTES)
        blocks >>= 1;
    size->blockBytes = blockBytes;
    size->blocks = static_cast<uint32_t>(blocks);
    size->bytes = ringBytes(blocks, blockBytes);
    size->seconds = timed ? static_cast<double>(blocks) * frames / rate : 0;
    return size->bytes <= RING_MAX_BYTES;
}

bool makeSampleRing(SampleRing *ring, uint32_t blocks, uint64_t blockBytes)
{
    ring->blocks = nullptr;
    ring->storage = nullptr;
    ring->mask = 0;
    if (blocks > 0x80000000u)
        return false;
    uint32_t count = 1;
    while (count < blocks)
        count <<= 1;
    // 64 bits, so that no size wraps to a small one on x86; the bound keeps it within size_t.
    const uint64_t bytes = ringBytes(count, blockBytes);
    if (bytes > RING_MAX_BYTES || count > RING_MAX_BYTES / sizeof(RingBlock))
        return false;
    const size_t stride = static_cast<size_t>(bytes / count);
    ring->blocks = static_cast<RingBlock *>(calloc(count, sizeof(RingBlock)));
    ring->storage = static_cast<unsigned char *>(malloc(static_cast<size_t>(bytes) + ALIGNMENT));
    if (!ring->blocks || !ring->storage) {
        freeSampleRing(ring);
        return false;
    }
    // Touched now, so that no page faults in on the driver's thread.
    memset(ring->storage, 0, static_cast<size_t>(bytes) + ALIGNMENT);
    unsigned char *first = ring->storage + (ALIGNMENT - reinterpret_cast<uintptr_t>(ring->storage) % ALIGNMENT);
    for (uint32_t k = 0; k < count; k++) {
        ring->blocks[k].data = first + static_cast<size_t>(k) * stride;
        ring->blocks[k].sequence.store(k, std::memory_order_relaxed);
    }
    ring->mask = count - 1;
    ring->blockBytes = static_cast<uint32_t>(blockBytes);
    ring->switches.store(0, std::memory_order_relaxed);
    ring->filling.store(0, std::memory_order_relaxed);
    ring->dropped.store(0, std::memory_order_relaxed);
    ring->latestTicks.store(0, std::memory_order_relaxed);
    ring->nextSwitch = 0;
    ring->readers = 1;
    for (RingCursor &cursor : ring->cursors)
        cursor.taken = 0;
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

uint32_t claimRingBlock(SampleRing *ring)
{
    return ring->switches.fetch_add(1, std::memory_order_relaxed);
}

bool fillRingBlockParts(SampleRing *ring, uint32_t switchNumber, const void *const *parts,
                        const uint32_t *sizes, int count, int64_t arrivalTicks)
{
    // Kept or not, the block came: the main thread tells the checker's loss from the driver's.
    ring->latestTicks.store(arrivalTicks, std::memory_order_relaxed);
    uint32_t position = ring->filling.load(std::memory_order_relaxed);
    RingBlock *block;
    for (;;) {
        block = &ring->blocks[position & ring->mask];
        // Acquire: the readers are done with the block before the last hands the turn on.
        const int32_t turn = static_cast<int32_t>(block->sequence.load(std::memory_order_acquire) - position);
        if (turn < 0) {
            ring->dropped.fetch_add(1, std::memory_order_relaxed);
            return false;  // the block still holds one a reader has not taken: full
        }
        if (turn == 0 && ring->filling.compare_exchange_weak(position, position + 1,
                                                             std::memory_order_relaxed))
            break;
        if (turn > 0)
            position = ring->filling.load(std::memory_order_relaxed);  // another callback took it
    }
    uint32_t bytes = 0;
    for (int k = 0; k < count; k++) {
        const uint32_t size = sizes[k] < ring->blockBytes - bytes ? sizes[k] : ring->blockBytes - bytes;
        if (parts[k])
            memcpy(block->data + bytes, parts[k], size);
        else
            memset(block->data + bytes, 0, size);  // a part the driver gave no buffer for
        bytes += size;
    }
    block->bytes = bytes;
    block->switchNumber = switchNumber;
    block->arrivalTicks = arrivalTicks;
    block->pending.store(ring->readers, std::memory_order_relaxed);
    // Release: the block's contents are visible before the turn that hands it over.
    block->sequence.store(position + 1, std::memory_order_release);
    return true;
}

bool fillRingBlock(SampleRing *ring, uint32_t switchNumber, const void *data, uint32_t bytes,
                   int64_t arrivalTicks)
{
    return fillRingBlockParts(ring, switchNumber, &data, &bytes, data ? 1 : 0, arrivalTicks);
}

const RingBlock *peekRingBlock(SampleRing *ring)
{
    RingBlock *block = const_cast<RingBlock *>(peekReaderBlock(ring, 0));
    if (!block)
        return nullptr;
    // Callbacks on two threads at once may fill out of the order of their switch numbers.
    block->droppedBefore = block->switchNumber > ring->nextSwitch
                               ? static_cast<uint32_t>(block->switchNumber - ring->nextSwitch)
                               : 0;
    if (block->switchNumber >= ring->nextSwitch)
        ring->nextSwitch = block->switchNumber + 1;
    return block;
}

void releaseRingBlock(SampleRing *ring)
{
    releaseReaderBlock(ring, 0);
    ring->taken.store(ring->cursors[0].taken, std::memory_order_release);
}

const RingBlock *peekReaderBlock(SampleRing *ring, int reader)
{
    const uint32_t taken = ring->cursors[reader].taken;
    RingBlock *block = &ring->blocks[taken & ring->mask];
    return block->sequence.load(std::memory_order_acquire) == taken + 1 ? block : nullptr;
}

void releaseReaderBlock(SampleRing *ring, int reader)
{
    const uint32_t taken = ring->cursors[reader].taken++;
    RingBlock *block = &ring->blocks[taken & ring->mask];
    // The last reader done with it hands it back; acquire and release order the others' reads
    // before the callback's next write.
    if (block->pending.fetch_sub(1, std::memory_order_acq_rel) == 1)
        block->sequence.store(taken + ring->mask + 1, std::memory_order_release);
}
