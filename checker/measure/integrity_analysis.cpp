// The integrity analysis: finds the delay at which the known sequence comes back on an input, then
// accounts for every sample received after the lock (matched, corrupted, inverted, dropped,
// repeated, slipped), block by block on the main thread or an analysis thread (measure.h).
#include "checker/measure/integrity_parts.h"

#include <algorithm>
#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Received words kept: a disturbance longer than this is judged against the old delay from its
// oldest sample on, as it goes.
const uint32_t HISTORY = 1 << 16;
const int64_t PENDING_LIMIT = HISTORY - 2 * LOCK_RUN;
const uint32_t MARKS = 1 << 12;
// Samples in a row back on the old delay that end a disturbance: the lock already stands, so two
// (32 bits of agreement) are enough.
const int OLD_RUN = 2;
// Positions around the expected one searched at every sample of a disturbance: the blocks that
// hold them, mostly one.
const int64_t NEARBY = 4096;
// The whole bound is searched at every SEARCH_INTERVAL-th position, while searching and in a
// disturbance: a delay that holds for SEARCH_INTERVAL + LOCK_RUN - 1 samples is found.
const int64_t SEARCH_INTERVAL = 32;
const double SILENT_PEAK = 3.1622776601683795e-05;  // -90 dBFS
const double NOISE_PEAK = 0.031622776601683794;     // -30 dBFS
// The largest shift the search tries: a gain of 1/256 (-48 dB).
const int MAX_SHIFT = 8;

inline uint32_t high16(const IntegrityAnalysis *a, uint32_t word)
{
    return word >> (a->bits - 16);
}

inline void store(IntegrityAnalysis *a, int64_t q, uint32_t word, uint8_t inexact)
{
    a->history[q & a->historyMask] = word;
    a->historyInexact[q & a->historyMask] = inexact;
}

// `count` received words from q on (at most the history's size), kept as store keeps each.
void keep(IntegrityAnalysis *a, int64_t q, const uint32_t *words, const uint8_t *inexact, long count)
{
    const uint32_t at = static_cast<uint32_t>(q) & a->historyMask;
    const long first = std::min(count, static_cast<long>(a->historyMask + 1 - at));
    memcpy(a->history + at, words, first * sizeof *words);
    memcpy(a->history, words + first, (count - first) * sizeof *words);
    if (inexact) {
        memcpy(a->historyInexact + at, inexact, first);
        memcpy(a->historyInexact, inexact + first, count - first);
    } else {
        memset(a->historyInexact + at, 0, first);
        memset(a->historyInexact, 0, count - first);
    }
}

inline bool transformed(const IntegrityAnalysis *a)
{
    return a->results.sign < 0 || a->results.shift > 0;
}

// A received word as it was sent, under the lock's sign and shift (the shift's low bits lost).
inline uint32_t asSent(const IntegrityAnalysis *a, uint32_t word)
{
    return ((a->results.sign < 0 ? 0u - word : word) << a->results.shift) & a->mask;
}

// The sent words as the lock's sign and shift return them: sign x (word >> shift), arithmetic.
void asReturned(const IntegrityAnalysis *a, uint32_t *words, long count)
{
    for (long k = 0; k < count; k++) {
        const uint32_t lower =
            static_cast<uint32_t>(sequenceSigned(words[k], a->bits) >> a->results.shift);
        words[k] = (a->results.sign < 0 ? 0u - lower : lower) & a->mask;
    }
}

// The words the input should carry at q .. q + n - 1, under the delay of the moment.
void expectedWords(IntegrityAnalysis *a, int64_t q, long n)
{
    preparedSequenceWords(a->bits, a->results.output, q - a->results.delay, n, a->expected);
    if (transformed(a))
        asReturned(a, a->expected, n);
}

// The key of a->results.output's block, kept for the two latest blocks: the search looks at the
// same ones sample after sample.
inline uint32_t blockKey(IntegrityAnalysis *a, int64_t block)
{
    if (a->keysOutput != a->results.output) {
        a->keysOutput = a->results.output;
        a->keyBlocks[0] = a->keyBlocks[1] = -1;
    }
    if (a->keyBlocks[block & 1] != block) {
        a->keyBlocks[block & 1] = block;
        a->keys[block & 1] = sequenceBlockKey(block, a->results.output);
    }
    return a->keys[block & 1];
}

// Whether the kept sample at q carries the position q - delay.
inline bool onDelay(IntegrityAnalysis *a, int64_t q, int64_t delay)
{
    return q >= delay && high16(a, asSent(a, a->history[q & a->historyMask])) ==
                             sequenceHighKeyed(q - delay, blockKey(a, (q - delay) >> SEQUENCE_BLOCK_BITS));
}

// The block the sample at `position` arrived in; the oldest kept when it is older.
const IntegrityBlockMark *markOf(const IntegrityAnalysis *a, int64_t position)
{
    const uint64_t oldest = a->markCount > MARKS ? a->markCount - MARKS : 0;
    for (uint64_t k = a->markCount; k > oldest + 1; k--) {
        if (a->marks[(k - 1) & a->markMask].position <= position)
            return &a->marks[(k - 1) & a->markMask];
    }
    return &a->marks[oldest & a->markMask];
}

// Counts an event and keeps it while there is room. Returns its index, or -1 when not kept.
int addEvent(IntegrityAnalysis *a, int kind, int64_t position, int64_t size, uint32_t bits)
{
    a->results.eventCounts[kind]++;
    if (a->results.keptEvents >= MAX_INTEGRITY_EVENTS)
        return -1;
    const IntegrityBlockMark *mark = markOf(a, position);
    IntegrityEvent *event = &a->results.events[a->results.keptEvents];
    event->kind = kind;
    event->position = position;
    event->size = size;
    event->bits = bits;
    event->switchNumber = mark->switchNumber;
    event->timeUs = mark->timeUs;
    return a->results.keptEvents++;
}

// Corrupted (or inverted) samples make one event while fewer than RUN_GAP good ones come between
// them: a path that loses low bits matches now and then by chance, and is still one fault. The
// event's size is its stretch, first to last sample.
void addToRun(IntegrityAnalysis *a, int kind, int64_t q, uint32_t bits)
{
    if (a->runKind == kind && q >= a->runEnd && q - a->runEnd < RUN_GAP) {
        if (a->runEvent >= 0) {
            a->results.events[a->runEvent].size = q + 1 - a->results.events[a->runEvent].position;
            a->results.events[a->runEvent].bits |= bits;
        }
    } else {
        a->runKind = kind;
        a->runEvent = addEvent(a, kind, q, 1, bits);
    }
    a->runEnd = q + 1;
}

// `n` samples from q that are the sequence as the lock returns it: matched, or inverted (one
// event for the stretch) or scaled.
void countReturned(IntegrityAnalysis *a, int64_t q, long n)
{
    if (a->results.shift > 0) {
        a->results.scaled += n;
    } else if (a->results.sign < 0) {
        a->results.inverted += n;
        addToRun(a, EVENT_INVERTED, q, 0);
        if (a->runEvent >= 0)
            a->results.events[a->runEvent].size = q + n - a->results.events[a->runEvent].position;
        a->runEnd = q + n;
    } else {
        a->results.matched += n;
    }
}

// A sample against its expected word (as the lock returns it) while the delay holds. A shift
// rounds either way: the next step up counts as the same.
void classify(IntegrityAnalysis *a, int64_t q, uint32_t word, uint8_t inexact, uint32_t expected)
{
    if (!inexact && (word == expected || (a->results.shift > 0 && word == ((expected + 1) & a->mask)))) {
        countReturned(a, q, 1);
        return;
    }
    // The other polarity: inverted against a plain lock, the sequence itself against an
    // inverted one.
    if (!inexact && a->results.shift == 0 && word != expected && word == ((0u - expected) & a->mask)) {
        if (a->results.sign < 0) {
            a->results.matched++;
        } else {
            a->results.inverted++;
            addToRun(a, EVENT_INVERTED, q, 0);
        }
        return;
    }
    a->results.corrupted++;
    a->results.differingBits |= word ^ expected;
    addToRun(a, EVENT_CORRUPTED, q, word ^ expected);
}

// Whether classify counts the sample corrupted.
inline bool corruptedSample(const IntegrityAnalysis *a, uint32_t word, uint8_t inexact, uint32_t expected)
{
    if (inexact)
        return true;
    if (word == expected)
        return false;
    return word != ((a->results.shift > 0 ? expected + 1 : 0u - expected) & a->mask);
}

// The kept samples at j .. n - 1 of the chunk from q, while each is corrupted, added to the run of
// corrupted samples that ends at q + j: what classify does to each of them, summed. Returns the
// index of the first that is not.
long extendCorrupted(IntegrityAnalysis *a, int64_t q, long j, long n)
{
    const uint32_t at = static_cast<uint32_t>(q);
    uint32_t bits = 0;
    long m = j;
    for (; m < n; m++) {
        const uint32_t k = (at + m) & a->historyMask;
        const uint32_t word = a->history[k];
        if (!corruptedSample(a, word, a->historyInexact[k], a->expected[m]))
            break;
        bits |= word ^ a->expected[m];
    }
    if (m == j)
        return j;
    a->results.corrupted += m - j;
    a->results.differingBits |= bits;
    if (a->runEvent >= 0) {
        a->results.events[a->runEvent].size = q + m - a->results.events[a->runEvent].position;
        a->results.events[a->runEvent].bits |= bits;
    }
    a->runEnd = q + m;
    return m;
}

// The kept samples from..to-1 against the delay of the moment. A lost lock makes long stretches
// of corrupted samples: while they go on, they are summed rather than classified one by one.
void classifyKept(IntegrityAnalysis *a, int64_t from, int64_t to)
{
    for (int64_t q = from; q < to; q += INTEGRITY_CHUNK) {
        const long n = to - q < INTEGRITY_CHUNK ? static_cast<long>(to - q) : INTEGRITY_CHUNK;
        expectedWords(a, q, n);
        const uint32_t at = static_cast<uint32_t>(q);
        for (long j = 0; j < n; j++) {
            if (a->runKind == EVENT_CORRUPTED && a->runEnd == q + j) {
                j = extendCorrupted(a, q, j, n);
                if (j == n)
                    break;
            }
            const uint32_t k = (at + j) & a->historyMask;
            classify(a, q + j, a->history[k], a->historyInexact[k], a->expected[j]);
        }
    }
}

inline bool wanted(const IntegrityAnalysis *a, int output)
{
    return output >= 0 && output < MAX_ROUTE_CHANNELS && (a->wanted[output / 32] >> (output % 32)) & 1;
}

// Whether the kept sample at q - 1 carries position - 1 (position of a->results.output in `block`,
// found for q): from what the search found for q - 1 in the same block under the same lock when it
// looked there, else mixed afresh. Remembers position for q + 1.
bool previousOn(IntegrityAnalysis *a, int64_t q, int64_t block, int64_t position)
{
    IntegrityUnmixed &seen = a->unmixed[block & 1];
    const bool known = seen.q == q - 1 && seen.block == block && seen.output == a->results.output &&
                       seen.sign == a->results.sign && seen.shift == a->results.shift &&
                       (position & ((1 << SEQUENCE_BLOCK_BITS) - 1)) != 0;
    const bool on = known ? seen.position == position - 1 : onDelay(a, q - 1, q - position);
    seen = {q, block, position, a->results.output, a->results.sign, a->results.shift};
    return on;
}

// Whether the LOCK_RUN - 2 kept samples before q - 1 are on the delay of a->results.output too.
bool holdsBefore(IntegrityAnalysis *a, int64_t q, int64_t delay)
{
    int64_t s = q - 2;
    while (s > q - LOCK_RUN && onDelay(a, s, delay))
        s--;
    return s == q - LOCK_RUN;
}

// Any wanted output's delay on which the LOCK_RUN kept samples up to q all are, found from the
// words at q - 1 and q at positions in the blocks firstBlock..lastBlock: the output is left in
// a->results.output. -1 when none, a->results.output -1 too.
int64_t findAnyDelay(IntegrityAnalysis *a, int64_t q, int64_t firstBlock, int64_t lastBlock)
{
    const uint32_t high = high16(a, asSent(a, a->history[q & a->historyMask]));
    const uint32_t before = high16(a, asSent(a, a->history[(q - 1) & a->historyMask]));
    SequenceCandidate found[16];
    const int count = sequenceCandidates(before, high, firstBlock, lastBlock, found, 16);
    for (int k = 0; k < count; k++) {
        const int64_t delay = q - found[k].position;
        if (!wanted(a, found[k].output) || delay < 0 || delay > a->maxDelay)
            continue;
        a->results.output = found[k].output;
        if (onDelay(a, q - 1, delay) && holdsBefore(a, q, delay))
            return delay;
    }
    a->results.output = -1;
    return -1;
}

// A delay, other than `skip`, on which the LOCK_RUN kept samples up to q (none before `lowest`) all
// are, found from the word at q in the blocks firstBlock..lastBlock: for a->results.output, or
// while it is -1 for any wanted output, then left in a->results.output. -1 when none.
int64_t findDelay(IntegrityAnalysis *a, int64_t q, int64_t lowest, int64_t firstBlock,
                  int64_t lastBlock, int64_t skip)
{
    if (q - LOCK_RUN + 1 < lowest)
        return -1;
    if (a->results.output < 0)
        return findAnyDelay(a, q, firstBlock, lastBlock);
    // One output: a block at a time, which needs no table.
    const uint32_t high = high16(a, asSent(a, a->history[q & a->historyMask]));
    for (int64_t block = firstBlock; block <= lastBlock; block++) {
        const int64_t position = sequencePositionKeyed(high, block, blockKey(a, block));
        const bool before = previousOn(a, q, block, position);
        const int64_t delay = q - position;
        if (!before || delay < 0 || delay > a->maxDelay || delay == skip)
            continue;
        if (holdsBefore(a, q, delay))
            return delay;
    }
    return -1;
}

// The blocks that hold every position the word at q can carry within the bound.
void wholeBound(const IntegrityAnalysis *a, int64_t q, int64_t *firstBlock, int64_t *lastBlock)
{
    const int64_t earliest = q - a->maxDelay > 0 ? q - a->maxDelay : 0;
    *firstBlock = earliest >> SEQUENCE_BLOCK_BITS;
    *lastBlock = q >> SEQUENCE_BLOCK_BITS;
}

void giveVerdict(IntegrityAnalysis *a)
{
    const double full = ldexp(1.0, a->bits - 1);
    const double peak = a->peak / full;
    const double rms = a->fed > 0 ? sqrt(a->sumSquares / a->fed) / full : 0;
    a->results.peakDbfs = peak > 0 ? 20 * log10(peak) : -INFINITY;
    a->results.rmsDbfs = rms > 0 ? 20 * log10(rms) : -INFINITY;
    if (peak <= SILENT_PEAK)
        a->results.noLockReason = NO_LOCK_SILENT;
    else if (peak < NOISE_PEAK)
        a->results.noLockReason = NO_LOCK_NOISE;
    else
        a->results.noLockReason = NO_LOCK_FOREIGN;
    a->results.state = INTEGRITY_NO_LOCK;
}

void lockOn(IntegrityAnalysis *a, int64_t q, int64_t delay)
{
    int64_t lowest = q - HISTORY + 1 > a->contiguousFrom ? q - HISTORY + 1 : a->contiguousFrom;
    int64_t first = q - LOCK_RUN + 1;
    while (first > lowest && onDelay(a, first - 1, delay))
        first--;
    a->results.state = INTEGRITY_LOCKED;
    a->results.delay = delay;
    a->results.lockDelay = delay;
    a->results.lockPosition = first;
    a->lockSequence = first - delay;
    // The stretch from `first` is contiguous up to q: what came before it is the block's start.
    a->receivedBeforeLock = a->receivedBeforeBlock + (first - a->blockPosition);
    a->results.differingBits |= (1u << a->results.shift) - 1;  // what a shift lost never came through
    classifyKept(a, first, q + 1);
}

// The sign bits the LOCK_RUN kept samples up to q all repeat: the room a shift of the sequence
// leaves above it. Noise has next to none, so that the shifts cost a foreign input nothing.
int headroom(const IntegrityAnalysis *a, int64_t q)
{
    int room = a->bits;
    for (int64_t s = q - LOCK_RUN + 1; s <= q; s++) {
        const uint32_t w = a->history[s & a->historyMask];
        const uint32_t x = (w >> (a->bits - 1)) & 1 ? ~w & a->mask : w;
        const int same = x ? __builtin_clz(x) - (32 - a->bits) : a->bits;  // leading bits like the top
        room = std::min(room, same - 1);
    }
    return room;
}

void searchSample(IntegrityAnalysis *a, int64_t q, uint32_t word, uint8_t inexact)
{
    store(a, q, word, inexact);
    const int64_t value = sequenceSigned(word, a->bits);
    const int64_t magnitude = value < 0 ? -value : value;
    if (magnitude > a->peak)
        a->peak = magnitude;
    a->sumSquares += static_cast<double>(value) * value;
    if (q % SEARCH_INTERVAL != SEARCH_INTERVAL - 1)
        return;
    int64_t firstBlock, lastBlock;
    wholeBound(a, q, &firstBlock, &lastBlock);
    // As sent first, then negated, then each shift with either sign.
    const int shifts = std::min(std::min(MAX_SHIFT, a->bits - 16), headroom(a, q));
    for (int shift = 0; shift <= shifts; shift++) {
        for (int sign = 1; sign >= -1; sign -= 2) {
            a->results.sign = sign;
            a->results.shift = shift;
            const int64_t delay = findDelay(a, q, a->contiguousFrom, firstBlock, lastBlock, -1);
            if (delay >= 0) {
                lockOn(a, q, delay);
                return;
            }
        }
    }
    a->results.sign = 1;
    a->results.shift = 0;
}

// Back on the old delay: everything since the disturbance began was corrupted, or right after all.
void endOnOldDelay(IntegrityAnalysis *a, int64_t last)
{
    classifyKept(a, a->disturbStart, last + 1);
    a->disturbed = false;
}

// On a new delay from the LOCK_RUN samples up to q: a drop, a repeat or a slip.
void endOnNewDelay(IntegrityAnalysis *a, int64_t q, int64_t delay)
{
    int64_t first = q - LOCK_RUN + 1;
    while (first > a->disturbStart && onDelay(a, first - 1, delay))
        first--;
    const int64_t between = first - a->disturbStart;  // on neither delay
    const int64_t change = delay - a->results.delay;
    a->runKind = -1;
    if (between == 0 && change < 0) {
        addEvent(a, EVENT_DROPPED, first, -change, 0);
        a->results.dropped += -change;
    } else if (between == 0 && first - delay >= a->lockSequence) {
        addEvent(a, EVENT_REPEATED, first, change, 0);
        a->results.repeated += change;
    } else {
        addEvent(a, EVENT_SLIP, a->disturbStart, change, 0);
        a->results.slipped += change < 0 ? -change : change;
        a->results.foreign += between;
    }
    a->results.delay = delay;
    a->disturbed = false;
    classifyKept(a, first, q + 1);
}

// Whether the kept sample at q is on the old delay: from what the search found for it in that
// block when it looked there, else mixed afresh.
bool onOldDelay(IntegrityAnalysis *a, int64_t q)
{
    const int64_t expected = q - a->results.delay;
    const IntegrityUnmixed &seen = a->unmixed[(expected >> SEQUENCE_BLOCK_BITS) & 1];
    if (expected >= 0 && seen.q == q && seen.block == expected >> SEQUENCE_BLOCK_BITS &&
        seen.output == a->results.output && seen.sign == a->results.sign && seen.shift == a->results.shift)
        return seen.position == expected;
    return onDelay(a, q, a->results.delay);
}

void disturbedSample(IntegrityAnalysis *a, int64_t q, uint32_t word, uint8_t inexact)
{
    store(a, q, word, inexact);
    // Near the old delay at every sample, the whole bound now and then; the old delay, which the
    // search skips, wins over a new one.
    int64_t firstBlock, lastBlock;
    wholeBound(a, q, &firstBlock, &lastBlock);
    if (q % SEARCH_INTERVAL != SEARCH_INTERVAL - 1) {
        const int64_t expected = q - a->results.delay;
        firstBlock = std::max(firstBlock, (expected - NEARBY) >> SEQUENCE_BLOCK_BITS);
        lastBlock = std::min(lastBlock, (expected + NEARBY) >> SEQUENCE_BLOCK_BITS);
    }
    const int64_t delay = findDelay(a, q, a->disturbStart, firstBlock, lastBlock, a->results.delay);
    if (onOldDelay(a, q)) {
        if (++a->oldRun >= OLD_RUN)
            endOnOldDelay(a, q);
        return;
    }
    a->oldRun = 0;
    if (delay >= 0) {
        endOnNewDelay(a, q, delay);
        return;
    }
    if (q - a->disturbStart >= PENDING_LIMIT) {
        classifyKept(a, a->disturbStart, a->disturbStart + INTEGRITY_CHUNK);
        a->disturbStart += INTEGRITY_CHUNK;
    }
}

// Marks look[j] for each of the n samples of a disturbance from q0 (words) that disturbedSample
// could find on a delay: one whose position in any block near the old delay runs on from the
// sample before, is a block's first or the old delay's; the chunk's first; one where the whole
// bound is searched. The positions the samples' top 16 bits give in a block are unmixed together.
void markLooks(IntegrityAnalysis *a, const uint32_t *words, long n, int64_t q0, uint8_t *look)
{
    const int64_t expected0 = q0 - a->results.delay;
    // Every block any of the samples searches near the old delay.
    int64_t firstBlock, lastBlock, unused;
    wholeBound(a, q0, &firstBlock, &unused);
    wholeBound(a, q0 + n - 1, &unused, &lastBlock);
    firstBlock = std::max(firstBlock, (expected0 - NEARBY) >> SEQUENCE_BLOCK_BITS);
    lastBlock = std::min(lastBlock, (expected0 + n - 1 + NEARBY) >> SEQUENCE_BLOCK_BITS);
    const bool oldWithin = expected0 >= 0 && expected0 >> SEQUENCE_BLOCK_BITS >= firstBlock &&
                           (expected0 + n - 1) >> SEQUENCE_BLOCK_BITS <= lastBlock;
    memset(look, oldWithin ? 0 : 1, n);
    look[0] = 1;
    uint16_t highs[INTEGRITY_CHUNK], indices[INTEGRITY_CHUNK];
    for (long j = 0; j < n; j++)
        highs[j] = static_cast<uint16_t>(high16(a, asSent(a, words[j])));
    const uint16_t oldIndex = static_cast<uint16_t>(expected0);
    for (int64_t block = firstBlock; oldWithin && block <= lastBlock; block++) {
        sequenceIndicesKeyed(highs, n, blockKey(a, block), indices);
        for (long j = 1; j < n; j++) {
            const uint16_t index = indices[j];
            look[j] |= (index == 0) | (static_cast<uint16_t>(index - indices[j - 1]) == 1) |
                       (index == static_cast<uint16_t>(oldIndex + j));
        }
    }
    const uint32_t interval = SEARCH_INTERVAL;
    for (long j = (interval - 1 - static_cast<uint32_t>(q0)) % interval; j < n; j += interval)
        look[j] = 1;
}

// Up to INTEGRITY_CHUNK samples of a disturbance from words[k] on, each as disturbedSample takes
// it; returns the index after the last one taken, where the disturbance may have ended. In noise
// nearly every sample is on no delay at all: only those markLooks marks, and those where the
// history runs out, go through disturbedSample, which would only keep the others.
long disturbedChunk(IntegrityAnalysis *a, const uint32_t *words, const uint8_t *inexact, long k,
                    long count, int64_t position)
{
    const long n = count - k < INTEGRITY_CHUNK ? count - k : INTEGRITY_CHUNK;
    const int64_t q0 = position + k;
    uint8_t look[INTEGRITY_CHUNK];
    markLooks(a, words + k, n, q0, look);
    long j = 0;
    while (j < n) {
        // From `due` on disturbedSample judges the oldest samples kept.
        const int64_t limit = a->disturbStart + PENDING_LIMIT - q0;
        const long due = limit < j ? j : limit > n ? n : static_cast<long>(limit);
        long next = j;
        while (next < due && !look[next])
            next++;
        if (next > j) {
            keep(a, q0 + j, words + k + j, inexact ? inexact + k + j : nullptr, next - j);
            a->oldRun = 0;
            j = next;
        }
        if (j < n) {
            disturbedSample(a, q0 + j, words[k + j], inexact ? inexact[k + j] : 0);
            j++;
            if (!a->disturbed)
                break;
        }
    }
    return k + j;
}

// A sample on the fast path's chunk that did not match at once.
void lockedSample(IntegrityAnalysis *a, int64_t q, uint32_t word, uint8_t inexact, uint32_t expected)
{
    if (high16(a, word) == high16(a, expected)) {
        classify(a, q, word, inexact, expected);
        return;
    }
    a->disturbed = true;
    a->disturbStart = q;
    a->oldRun = 0;
    store(a, q, word, inexact);
}

}  // namespace

const char *integrityEventName(int kind)
{
    static const char *const names[EVENT_KINDS] = {"corrupted", "inverted", "dropped", "repeated",
                                                   "slip"};
    return kind >= 0 && kind < EVENT_KINDS ? names[kind] : "?";
}

bool beginIntegrityAnalysis(IntegrityAnalysis *analysis, long type, int64_t maxDelay,
                            int64_t noLockSamples)
{
    memset(analysis, 0, sizeof *analysis);
    analysis->bits = sequenceTypeBits(type);
    if (analysis->bits == 0)
        return false;
    analysis->mask = analysis->bits == 32 ? 0xFFFFFFFFu : (1u << analysis->bits) - 1;
    analysis->maxDelay = maxDelay;
    analysis->noLockSamples = noLockSamples;
    analysis->results.state = INTEGRITY_SEARCHING;
    analysis->results.sign = 1;
    analysis->results.lockPosition = -1;
    analysis->results.peakDbfs = -INFINITY;
    analysis->results.rmsDbfs = -INFINITY;
    analysis->nextPosition = -1;
    analysis->runKind = -1;
    analysis->keyBlocks[0] = analysis->keyBlocks[1] = -1;
    analysis->unmixed[0].q = analysis->unmixed[1].q = -2;
    analysis->wanted[0] = 1;
    prepareSequenceSearch();
    analysis->history = static_cast<uint32_t *>(calloc(HISTORY, sizeof(uint32_t)));
    analysis->historyInexact = static_cast<uint8_t *>(calloc(HISTORY, 1));
    analysis->historyMask = HISTORY - 1;
    analysis->marks = static_cast<IntegrityBlockMark *>(calloc(MARKS, sizeof(IntegrityBlockMark)));
    analysis->markMask = MARKS - 1;
    if (!analysis->history || !analysis->historyInexact || !analysis->marks) {
        endIntegrityAnalysis(analysis);
        return false;
    }
    return true;
}

void integrityOutputs(IntegrityAnalysis *analysis, const uint32_t *outputs)
{
    int count = 0, sole = -1;
    for (int o = 0; o < MAX_ROUTE_CHANNELS; o++) {
        analysis->wanted[o / 32] = outputs[o / 32];
        if ((outputs[o / 32] >> (o % 32)) & 1) {
            count++;
            sole = o;
        }
    }
    analysis->results.output = count > 1 ? -1 : sole < 0 ? 0 : sole;
}

void endIntegrityAnalysis(IntegrityAnalysis *analysis)
{
    free(analysis->history);
    free(analysis->historyInexact);
    free(analysis->marks);
    analysis->history = nullptr;
    analysis->historyInexact = nullptr;
    analysis->marks = nullptr;
}

void analyseIntegrityBlock(IntegrityAnalysis *a, const uint32_t *words, const uint8_t *inexact,
                           long count, int64_t position, int64_t switchNumber, double timeUs)
{
    a->receivedBeforeBlock = a->fed;
    a->blockPosition = position;
    a->fed += count;
    if (a->results.state == INTEGRITY_NO_LOCK || count <= 0)
        return;
    IntegrityBlockMark *mark = &a->marks[a->markCount++ & a->markMask];
    mark->position = position;
    mark->switchNumber = switchNumber;
    mark->timeUs = timeUs;
    if (a->nextPosition < 0) {
        a->contiguousFrom = position;
    } else if (position != a->nextPosition) {
        // Samples the checker did not get: what was open ends before them.
        if (position > a->nextPosition)
            a->results.unseen += position - a->nextPosition;
        if (a->disturbed)
            endOnOldDelay(a, a->nextPosition - 1);
        a->contiguousFrom = position;
        a->runKind = -1;
    }
    a->nextPosition = position + count;

    long k = 0;
    while (k < count) {
        const int64_t q = position + k;
        const uint8_t mark0 = inexact ? inexact[k] : 0;
        if (a->results.state == INTEGRITY_SEARCHING) {
            searchSample(a, q, words[k], mark0);
            k++;
            continue;
        }
        if (a->disturbed) {
            k = disturbedChunk(a, words, inexact, k, count, position);
            continue;
        }
        // The clean path: a chunk compared at once.
        const long n = count - k < INTEGRITY_CHUNK ? count - k : INTEGRITY_CHUNK;
        expectedWords(a, q, n);
        uint32_t differ = 0;
        for (long j = 0; j < n; j++)
            differ |= words[k + j] ^ a->expected[j];
        uint8_t marked = 0;
        for (long j = 0; inexact && j < n; j++)
            marked |= inexact[k + j];
        if (differ == 0 && marked == 0) {
            countReturned(a, q, n);
            k += n;
            continue;
        }
        long j = 0;
        for (; j < n && !a->disturbed; j++)
            lockedSample(a, q + j, words[k + j], inexact ? inexact[k + j] : 0, a->expected[j]);
        k += j;
    }
    if (a->results.state == INTEGRITY_SEARCHING && a->fed >= a->noLockSamples)
        giveVerdict(a);
}

void finishIntegrityAnalysis(IntegrityAnalysis *analysis, int64_t expectedEnd, int64_t deliveredEnd)
{
    IntegrityAnalysis *a = analysis;
    if (a->disturbed)
        endOnOldDelay(a, a->nextPosition - 1);
    a->runKind = -1;
    // What the callbacks brought past the last block the checker took: it dropped them.
    const int64_t analysedEnd = a->nextPosition > 0 ? a->nextPosition : 0;
    if (a->results.state != INTEGRITY_NO_LOCK && deliveredEnd > analysedEnd)
        a->results.unseen += deliveredEnd - analysedEnd;
    if (a->results.state == INTEGRITY_SEARCHING)
        giveVerdict(a);
    if (a->results.state == INTEGRITY_LOCKED)
        a->results.received = a->fed - a->receivedBeforeLock;
    a->results.searched = a->fed - a->results.received;
    a->results.transparentBits = transparentBits(a);
    if (a->results.state != INTEGRITY_LOCKED)
        return;
    const int64_t came = deliveredEnd > a->nextPosition ? deliveredEnd : a->nextPosition;
    if (expectedEnd > came) {
        a->results.missing = expectedEnd - came;
        a->results.missingFrom = came;
    }
}

int transparentBits(const IntegrityAnalysis *analysis)
{
    int count = 0;
    for (uint32_t unchanged = analysis->mask & ~analysis->results.differingBits; unchanged;
         unchanged &= unchanged - 1)
        count++;
    return count;
}
