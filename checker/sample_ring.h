// Blocks of received samples handed from the driver's callback to the main thread: a lock-free ring
// for one producer (the callback) and one consumer (the main thread), made before the run. The
// callback appends without allocation, lock or system call; when the ring is full it drops the
// block and counts it: the checker fell behind, not the driver.
#pragma once

#include <atomic>
#include <stdint.h>

struct RingBlock {
    int64_t switchNumber;   // the buffer switch it came in
    int64_t arrivalTicks;   // when, in the caller's ticks
    uint32_t droppedBefore; // blocks dropped, ring full, since the block before this one
    uint32_t bytes;         // of data used
    unsigned char *data;    // blockBytes of room, 64-byte aligned
};

struct SampleRing {
    RingBlock *blocks;      // mask + 1 of them
    unsigned char *storage; // their data
    uint32_t mask;          // blocks - 1; a power of two
    uint32_t blockBytes;
    alignas(64) std::atomic<uint32_t> appended;  // written by the callback only
    uint32_t droppedSinceLast;                   // the callback's own
    std::atomic<uint32_t> dropped;               // all blocks dropped; written by the callback
    alignas(64) std::atomic<uint32_t> taken;     // written by the main thread only
};

// Makes room for at least `blocks` blocks (rounded up to a power of two) of `blockBytes` each,
// every page touched. False when there is no memory. Main thread, before the run.
bool makeSampleRing(SampleRing *ring, uint32_t blocks, uint32_t blockBytes);
// Frees what makeSampleRing made. Main thread, after the run.
void freeSampleRing(SampleRing *ring);

// Callback: copies `bytes` (at most blockBytes) into the next block. False when the ring was full
// and the block was dropped (counted). No allocation, lock or system call.
bool appendRingBlock(SampleRing *ring, const void *data, uint32_t bytes, int64_t switchNumber,
                     int64_t arrivalTicks);
// Main thread: the oldest block not yet released, or null when there is none. It stays valid and
// unchanged until releaseRingBlock.
const RingBlock *peekRingBlock(SampleRing *ring);
// Main thread: hands the block of the last peekRingBlock back to the callback.
void releaseRingBlock(SampleRing *ring);
