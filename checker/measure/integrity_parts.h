// What the measuring layer's integrity files share, private to the folder: the ring's callback and
// reader sides, the sequence's words and search, and the analysis fed block by block. The layers
// above see the ring, the plan, the readers and what the analysis found (measure.h); the readers
// and the integrity callback use these, and the tests feed them directly.
#pragma once

#include "checker/measure/measure.h"

// ---- The ring's two sides (sample_ring.cpp)

// Callback: the next switch number, from 0 in the order callbacks ask.
uint32_t claimRingBlock(SampleRing *ring);
// Callback: copies `bytes` (at most blockBytes; none for null data) of switch `switchNumber`
// into the next free block, and notes its arrival in latestTicks. False when the ring was full and
// the block was dropped (counted). No allocation, lock or system call.
bool fillRingBlock(SampleRing *ring, uint32_t switchNumber, const void *data, uint32_t bytes,
                   int64_t arrivalTicks);
// The same with the block made of `count` parts, one after another (a null part: zeros of its
// size), as long as they fit.
bool fillRingBlockParts(SampleRing *ring, uint32_t switchNumber, const void *const *parts,
                        const uint32_t *sizes, int count, int64_t arrivalTicks);
// Main thread: the oldest filled block not yet released (its droppedBefore: the switch numbers
// skipped since the one before), or null when there is none yet. It stays valid and unchanged
// until releaseRingBlock. The main thread is reader 0.
const RingBlock *peekRingBlock(SampleRing *ring);
// Main thread: reader 0 is done with the block of the last peekRingBlock.
void releaseRingBlock(SampleRing *ring);
// Several readers (the main thread and analysis threads, each with its own channels of every
// block): `readers` (1 to MAX_RING_READERS) set before the run; every block goes to each of them,
// in order, and back to the callbacks when the last is done with it.
// Reader `reader`'s thread: its oldest filled block not yet released, or null (no droppedBefore).
const RingBlock *peekReaderBlock(SampleRing *ring, int reader);
// Reader `reader`'s thread: it is done with the block of its last peekReaderBlock.
void releaseReaderBlock(SampleRing *ring, int reader);

// ---- The known sequence (integrity_sequence.cpp)

// The words of output `output` at positions position .. position + count - 1 (position >= 0), b
// bits each.
void sequenceWords(int bits, int output, int64_t position, long count, uint32_t *words);
// The top 16 bits of output `output`'s word at position (>= 0): what locates it.
uint32_t sequenceHigh(int64_t position, int output);
// The position in block `block` (position / 2^16) whose word of that output has these top 16 bits.
int64_t sequencePositionInBlock(uint32_t high, int64_t block, int output);

// The same with the block's key given: sequenceHigh(p, o) is sequenceHighKeyed(p, k) with k =
// sequenceBlockKey(p / 2^16, o), and so for the position; for a caller that keeps the keys of the
// blocks it looks at.
uint32_t sequenceBlockKey(int64_t block, int output);
uint32_t sequenceHighKeyed(int64_t position, uint32_t key);
int64_t sequencePositionKeyed(uint32_t high, int64_t block, uint32_t key);

// Makes the tables sequenceCandidates and preparedSequenceWords read (640 KB, static, made once).
// Call before any thread uses them; later calls do nothing.
void prepareSequenceSearch();
// sequenceWords from the tables: a load a word, for the analysis. Pure, once prepared.
void preparedSequenceWords(int bits, int output, int64_t position, long count, uint32_t *words);
// For each of `count` top 16 bits, the index in the block of key `key` (its position mod 2^16)
// whose word carries them: sequencePositionKeyed for many samples against one block. Pure.
void sequenceIndicesKeyed(const uint16_t *highs, long count, uint32_t key, uint16_t *indices);
struct SequenceCandidate {
    int output;        // 0 .. MAX_ROUTE_CHANNELS - 1
    int64_t position;  // of the second word
};
// Every output and position p in blocks firstBlock..lastBlock whose words at p - 1 and p (in one
// block) have the top 16 bits highBefore and high: at most `room`, written to out; the count. About
// one for a pair of random words and every 512 blocks. Pure, once prepared.
int sequenceCandidates(uint32_t highBefore, uint32_t high, int64_t firstBlock, int64_t lastBlock,
                       SequenceCandidate *out, int room);
// A b-bit word as a signed value (two's complement), and the other way round.
int32_t sequenceSigned(uint32_t word, int bits);

// Fills `frames` samples of type `type` at out with output `output`'s words of firstPosition
// onwards. Floats carry the word as a signed integer / 2^(b-1), which they hold exactly.
// Callback-safe.
void writeSequence(void *out, long type, int output, int64_t firstPosition, long frames);
// Decodes `frames` received samples to b-bit words. inexact[k] is 1 where the sample was not
// exactly a value the sequence can carry (a float between steps or beyond full scale, decoded to
// the nearest; an integer whose bits above b are not the sign), else 0. Returns how many were
// inexact. Callback-safe.
long readSequence(const void *in, long type, long frames, uint32_t *words, uint8_t *inexact);

// ---- The analysis (integrity_analysis.cpp): main thread or an analysis thread, one analysis each

// Prepares the analysis of an input of sample type `type` (sequenceTypeBits non-zero) for output
// 0's sequence: delays up to maxDelay samples, the verdict after noLockSamples without a lock (at
// least maxDelay plus the longest block). False when there is no memory.
bool beginIntegrityAnalysis(IntegrityAnalysis *analysis, long type, int64_t maxDelay,
                            int64_t noLockSamples);
// Before the first block: the outputs whose sequences are looked for (bit o of outputs[o / 32]).
// With several, the search finds the one that arrives and the lock keeps it. Main thread.
void integrityOutputs(IntegrityAnalysis *analysis, const uint32_t *outputs);
// One block: `count` words of input positions position .. position + count - 1 (readSequence's
// output; inexact may be null for none), arrived in switch `switchNumber`, `timeUs` after the
// start. A position past the end of the last block counts the samples between as unseen.
void analyseIntegrityBlock(IntegrityAnalysis *analysis, const uint32_t *words, const uint8_t *inexact,
                           long count, int64_t position, int64_t switchNumber, double timeUs);
// After the last block: a disturbance still open counts against the old delay, and a search
// still on gets its verdict. The samples from the end of the last block up to `deliveredEnd` (the
// input position the driver's callbacks had brought; -1: as far as the last block) came and were
// not analysed: unseen, the checker's. Locked, those from there up to `expectedEnd` (the position
// the window should have reached) never came: missing, the driver's.
void finishIntegrityAnalysis(IntegrityAnalysis *analysis, int64_t expectedEnd, int64_t deliveredEnd = -1);
// Frees the history.
void endIntegrityAnalysis(IntegrityAnalysis *analysis);
// Bits of the word that came through unchanged in every compared sample (matched or corrupted).
int transparentBits(const IntegrityAnalysis *analysis);
