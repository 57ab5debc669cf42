// The integrity command's pure parts: the sequence through every sample type's bytes and back, the
// analysis of streams with faults planted at known positions, what it says when it finds no lock,
// and the ring that hands blocks from the callback to the main thread.
#include "checker/measure/integrity_parts.h"

#include <gtest/gtest.h>
#include <atomic>
#include <math.h>
#include <string.h>
#include <thread>
#include <vector>

namespace {

const long BLOCK = 256;
const int64_t MAX_DELAY = 1 << 18;

struct TypeCase {
    long type;
    int bits;
    int bytes;
};
const TypeCase TYPES[] = {
    {ASIOST_INT16_LSB, 16, 2}, {ASIOST_INT24_LSB, 24, 3}, {ASIOST_INT32_LSB, 32, 4},
    {ASIOST_FLOAT32_LSB, 24, 4}, {ASIOST_FLOAT64_LSB, 32, 8}, {ASIOST_INT32_LSB16, 16, 4},
    {ASIOST_INT32_LSB18, 18, 4}, {ASIOST_INT32_LSB20, 20, 4}, {ASIOST_INT32_LSB24, 24, 4},
    {ASIOST_INT16_MSB, 16, 2}, {ASIOST_INT24_MSB, 24, 3}, {ASIOST_INT32_MSB, 32, 4},
    {ASIOST_FLOAT32_MSB, 24, 4}, {ASIOST_FLOAT64_MSB, 32, 8}, {ASIOST_INT32_MSB16, 16, 4},
    {ASIOST_INT32_MSB18, 18, 4}, {ASIOST_INT32_MSB20, 20, 4}, {ASIOST_INT32_MSB24, 24, 4},
};

int bitCount(uint32_t x)
{
    int count = 0;
    for (; x; x &= x - 1)
        count++;
    return count;
}

uint32_t maskOf(int bits)
{
    return bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
}

// Switch n brings positions n * BLOCK onwards, n milliseconds after the start.
void feedBlock(IntegrityAnalysis *a, const std::vector<uint32_t> &words, const uint8_t *inexact,
               size_t at)
{
    long n = static_cast<long>(std::min<size_t>(BLOCK, words.size() - at));
    analyseIntegrityBlock(a, &words[at], inexact ? inexact + at : nullptr, n, at, at / BLOCK,
                          at / BLOCK * 1000.0);
}

void feed(IntegrityAnalysis *a, const std::vector<uint32_t> &words, const uint8_t *inexact = nullptr)
{
    for (size_t at = 0; at < words.size(); at += BLOCK)
        feedBlock(a, words, inexact, at);
    finishIntegrityAnalysis(a, 0);
}

// What a cable brings back: `delay` samples of silence, then the sequence from position 0.
std::vector<uint32_t> cable(int bits, int64_t delay, size_t count)
{
    std::vector<uint32_t> words(count, 0);
    sequenceWords(bits, 0, 0, static_cast<long>(count - delay), &words[delay]);
    return words;
}

uint32_t nextRandom(uint32_t *state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state;
}

int64_t totalEvents(const IntegrityAnalysis &a)
{
    int64_t total = 0;
    for (int64_t count : a.results.eventCounts)
        total += count;
    return total;
}

// Every received sample after the lock is counted once.
void expectAccounted(const IntegrityAnalysis &a)
{
    const IntegrityFindings &f = a.results;
    EXPECT_EQ(f.matched + f.corrupted + f.inverted + f.scaled + f.foreign,
              a.fed - f.lockPosition - f.unseen);
    EXPECT_EQ(f.matched + f.corrupted + f.inverted + f.scaled + f.foreign, f.received);
}

TEST(IntegritySequence, EveryTypeCarriesTheSequenceThroughItsBytesAndLocksOnItsDelay)
{
    const long frames = 20000;
    for (const TypeCase &t : TYPES) {
        SCOPED_TRACE(t.type);
        ASSERT_EQ(sequenceTypeBits(t.type), t.bits);
        ASSERT_EQ(sequenceTypeBytes(t.type), t.bytes);
        const int64_t delay = 700 + 13 * t.type;

        // Written as a callback would, in buffers of 96 frames, and delayed by the cable.
        std::vector<unsigned char> input((frames + 96) * t.bytes, 0);
        for (long at = 0; at + delay < frames; at += 96)
            writeSequence(&input[(delay + at) * t.bytes], t.type, 0, at, 96);
        std::vector<uint32_t> words(frames);
        std::vector<uint8_t> inexact(frames, 1);
        long marked = 0;
        for (long at = 0; at < frames; at += BLOCK)
            marked += readSequence(&input[at * t.bytes], t.type, std::min(BLOCK, frames - at), &words[at],
                                   &inexact[at]);
        EXPECT_EQ(marked, 0);
        EXPECT_EQ(words, cable(t.bits, delay, frames));

        // Every bit of the type is used, and neighbours differ in about half of them.
        uint32_t any = 0, all = maskOf(t.bits);
        double differing = 0;
        for (long k = delay; k < frames; k++) {
            any |= words[k];
            all &= words[k];
            if (k > delay)
                differing += bitCount(words[k] ^ words[k - 1]);
        }
        EXPECT_EQ(any, maskOf(t.bits));
        EXPECT_EQ(all, 0u);
        EXPECT_NEAR(differing / (frames - delay - 1), t.bits / 2.0, 0.5);

        IntegrityAnalysis a;
        ASSERT_TRUE(beginIntegrityAnalysis(&a, t.type, MAX_DELAY, 2 * MAX_DELAY));
        feed(&a, words, inexact.data());
        EXPECT_EQ(a.results.state, INTEGRITY_LOCKED);
        EXPECT_EQ(a.results.delay, delay);
        EXPECT_EQ(a.results.lockPosition, delay);
        EXPECT_EQ(a.results.matched, frames - delay);
        EXPECT_EQ(totalEvents(a), 0);
        EXPECT_EQ(transparentBits(&a), t.bits);
        expectAccounted(a);
        endIntegrityAnalysis(&a);
    }
    EXPECT_EQ(sequenceTypeBits(5), 0);
    EXPECT_EQ(sequenceTypeBits(32), 0);
    IntegrityAnalysis a;
    EXPECT_FALSE(beginIntegrityAnalysis(&a, 33, MAX_DELAY, MAX_DELAY));
}

TEST(IntegritySequence, SamplesTheSequenceCannotCarryAreMarkedAndCountAsCorrupted)
{
    const float floats[] = {0.5f, 0.25f + 1.0f / (1 << 25), 1.5f, -2.0f, NAN};
    uint32_t words[5];
    uint8_t inexact[5];
    EXPECT_EQ(readSequence(floats, 19, 5, words, inexact), 4);
    const uint32_t floatWords[] = {0x400000, 0x200000, 0x7FFFFF, 0x800000, 0};
    const uint8_t floatMarks[] = {0, 1, 1, 1, 1};
    for (int k = 0; k < 5; k++) {
        EXPECT_EQ(words[k], floatWords[k]) << k;
        EXPECT_EQ(inexact[k], floatMarks[k]) << k;
    }
    const double doubles[] = {-0.25, -0.25 + 1.0 / (1LL << 40)};
    EXPECT_EQ(readSequence(doubles, 20, 2, words, inexact), 1);
    EXPECT_EQ(words[0], 0xE0000000u);
    EXPECT_EQ(words[1], 0xE0000000u);
    // 24 bits in 32: 0x00800000 is not the sign extension of the 24-bit word 0x800000.
    const int32_t containers[] = {static_cast<int32_t>(0xFF800000), 0x00800000, 0x007FFFFF};
    EXPECT_EQ(readSequence(containers, 27, 3, words, inexact), 1);
    EXPECT_EQ(inexact[1], 1);
    EXPECT_EQ(words[1], 0x800000u);
    // Big-endian bytes.
    const unsigned char big[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    EXPECT_EQ(readSequence(big, 2, 1, words, inexact), 0);
    EXPECT_EQ(words[0], 0x12345678u);
    readSequence(big, 1, 2, words, inexact);
    EXPECT_EQ(words[0], 0x123456u);
    EXPECT_EQ(words[1], 0x789ABCu);

    // A float a little off its step, through the analysis: corrupted, though its nearest word is right.
    const long frames = 4000, at = 3000;
    std::vector<float> input(frames, 0.0f);
    writeSequence(&input[100], 19, 0, 0, frames - 100);
    input[at] = nextafterf(input[at], 2.0f);
    std::vector<uint32_t> received(frames);
    std::vector<uint8_t> marks(frames);
    EXPECT_EQ(readSequence(input.data(), 19, frames, received.data(), marks.data()), 1);
    IntegrityAnalysis a;
    ASSERT_TRUE(beginIntegrityAnalysis(&a, 19, MAX_DELAY, MAX_DELAY));
    feed(&a, received, marks.data());
    ASSERT_EQ(a.results.keptEvents, 1);
    EXPECT_EQ(a.results.events[0].kind, EVENT_CORRUPTED);
    EXPECT_EQ(a.results.events[0].position, at);
    EXPECT_EQ(a.results.events[0].bits, 0u);
    EXPECT_EQ(a.results.corrupted, 1);
    EXPECT_EQ(transparentBits(&a), 24);
    endIntegrityAnalysis(&a);
}

struct Fault {
    const char *name;
    void (*plant)(std::vector<uint32_t> *words, int bits);
    int kind;
    int64_t size;
    int64_t delayChange;
};

const int64_t DELAY = 1234;
// Where each fault is planted: near the end of a block, so that some are judged in the next.
const size_t AT = 781 * BLOCK + 250;

const Fault FAULTS[] = {
    {"drop of 300", [](std::vector<uint32_t> *w, int) { w->erase(w->begin() + AT, w->begin() + AT + 300); },
     EVENT_DROPPED, 300, -300},
    {"drop of 1", [](std::vector<uint32_t> *w, int) { w->erase(w->begin() + AT); }, EVENT_DROPPED, 1, -1},
    {"repeat of 256",
     [](std::vector<uint32_t> *w, int) {
         std::vector<uint32_t> again(w->begin() + AT - 256, w->begin() + AT);
         w->insert(w->begin() + AT, again.begin(), again.end());
     },
     EVENT_REPEATED, 256, 256},
    // Far beyond the blocks near the old delay: only the search over the whole bound finds it.
    {"repeat of 140000",
     [](std::vector<uint32_t> *w, int) {
         std::vector<uint32_t> again(w->begin() + AT - 140000, w->begin() + AT);
         w->insert(w->begin() + AT, again.begin(), again.end());
     },
     EVENT_REPEATED, 140000, 140000},
    {"inserted zero", [](std::vector<uint32_t> *w, int) { w->insert(w->begin() + AT, 0u); }, EVENT_SLIP, 1, 1},
    {"high bit flipped", [](std::vector<uint32_t> *w, int bits) { (*w)[AT] ^= 1u << (bits - 2); },
     EVENT_CORRUPTED, 1, 0},
    {"low bit flipped", [](std::vector<uint32_t> *w, int) { (*w)[AT] ^= 1u; }, EVENT_CORRUPTED, 1, 0},
    {"inverted stretch",
     [](std::vector<uint32_t> *w, int bits) {
         for (size_t k = AT; k < AT + 5; k++)
             (*w)[k] = (0u - (*w)[k]) & maskOf(bits);
     },
     EVENT_INVERTED, 5, 0},
    {"noise burst",
     [](std::vector<uint32_t> *w, int bits) {
         uint32_t state = 99;
         for (size_t k = AT; k < AT + 50; k++)
             (*w)[k] = nextRandom(&state) & maskOf(bits);
     },
     EVENT_CORRUPTED, 50, 0},
};

TEST(IntegrityAnalysis, EachFaultGivesItsEventAtItsPosition)
{
    for (long type : {ASIOST_INT16_LSB, ASIOST_INT24_LSB, ASIOST_INT32_LSB}) {
        const int bits = sequenceTypeBits(type);
        const std::vector<uint32_t> clean = cable(bits, DELAY, 400000);
        for (const Fault &fault : FAULTS) {
            SCOPED_TRACE(std::string(fault.name) + ", type " + std::to_string(type));
            std::vector<uint32_t> words = clean;
            const uint32_t expected = words[AT];
            fault.plant(&words, bits);
            IntegrityAnalysis a;
            ASSERT_TRUE(beginIntegrityAnalysis(&a, type, MAX_DELAY, MAX_DELAY + 1000));
            feed(&a, words);
            ASSERT_EQ(a.results.state, INTEGRITY_LOCKED);
            ASSERT_EQ(a.results.keptEvents, 1);
            const IntegrityEvent &event = a.results.events[0];
            EXPECT_EQ(event.kind, fault.kind);
            EXPECT_EQ(event.position, static_cast<int64_t>(AT));
            EXPECT_EQ(event.size, fault.size);
            EXPECT_EQ(event.switchNumber, static_cast<int64_t>(AT / BLOCK));
            EXPECT_EQ(event.timeUs, AT / BLOCK * 1000.0);
            EXPECT_EQ(totalEvents(a), 1);
            EXPECT_EQ(a.results.delay, DELAY + fault.delayChange);
            EXPECT_EQ(a.results.lockDelay, DELAY);
            expectAccounted(a);
            const int64_t faulty = fault.kind == EVENT_CORRUPTED || fault.kind == EVENT_INVERTED ? fault.size : 0;
            EXPECT_EQ(a.results.matched, a.fed - DELAY - faulty - (fault.kind == EVENT_SLIP ? 1 : 0));
            switch (fault.kind) {
            case EVENT_DROPPED: EXPECT_EQ(a.results.dropped, fault.size); break;
            case EVENT_REPEATED: EXPECT_EQ(a.results.repeated, fault.size); break;
            case EVENT_SLIP:
                EXPECT_EQ(a.results.slipped, 1);
                EXPECT_EQ(a.results.foreign, 1);
                break;
            case EVENT_INVERTED: EXPECT_EQ(a.results.inverted, fault.size); break;
            case EVENT_CORRUPTED:
                EXPECT_EQ(a.results.corrupted, fault.size);
                if (fault.size == 1) {
                    EXPECT_EQ(event.bits, words[AT] ^ expected);
                    EXPECT_EQ(transparentBits(&a), bits - 1);
                }
                break;
            }
            endIntegrityAnalysis(&a);
        }
    }
}

TEST(IntegrityAnalysis, LowBitsLostFromAPositionOnLeaveTheTopBitsTransparent)
{
    for (long type : {ASIOST_INT16_LSB, ASIOST_INT24_LSB, ASIOST_INT32_LSB}) {
        SCOPED_TRACE(type);
        const int bits = sequenceTypeBits(type);
        const uint32_t lost = (1u << (bits / 4)) - 1;
        std::vector<uint32_t> words = cable(bits, DELAY, 100000);
        size_t first = 50000;
        while ((words[first] & lost) == 0)
            first++;
        for (size_t k = 50000; k < words.size(); k++)
            words[k] &= ~lost;
        IntegrityAnalysis a;
        ASSERT_TRUE(beginIntegrityAnalysis(&a, type, MAX_DELAY, MAX_DELAY + 1000));
        feed(&a, words);
        ASSERT_EQ(a.results.state, INTEGRITY_LOCKED);
        EXPECT_EQ(transparentBits(&a), bits - bits / 4);
        EXPECT_EQ(a.results.differingBits, lost);
        ASSERT_GT(a.results.keptEvents, 0);
        EXPECT_EQ(a.results.events[0].position, static_cast<int64_t>(first));
        EXPECT_EQ(a.results.eventCounts[EVENT_CORRUPTED],
                  1) << "one stretch, though some samples match by chance";
        EXPECT_EQ(totalEvents(a), 1);
        // Only samples whose lost bits happened to be zero still match.
        EXPECT_NEAR(static_cast<double>(a.results.corrupted) / 50000, 1 - 1.0 / (lost + 1), 0.01);
        expectAccounted(a);
        endIntegrityAnalysis(&a);
    }
}

TEST(IntegrityAnalysis, BlocksTheCheckerMissedAreUnseenNotFaults)
{
    const std::vector<uint32_t> words = cable(32, DELAY, 20000);
    IntegrityAnalysis a;
    ASSERT_TRUE(beginIntegrityAnalysis(&a, 18, MAX_DELAY, MAX_DELAY));
    for (size_t at = 0; at < words.size(); at += BLOCK) {
        if (at != 40 * BLOCK)
            feedBlock(&a, words, nullptr, at);
    }
    finishIntegrityAnalysis(&a, 0);
    EXPECT_EQ(a.results.unseen, BLOCK);
    EXPECT_EQ(a.results.matched, static_cast<int64_t>(words.size()) - DELAY - BLOCK);
    EXPECT_EQ(a.results.keptEvents, 0);
    endIntegrityAnalysis(&a);
}

TEST(IntegrityAnalysis, AReturnInvertedOrShiftedOnEverySampleLocksAsWhatItIs)
{
    struct Change {
        int sign, shift;
        bool rounded;  // to the nearest step, else towards minus infinity
    };
    const Change changes[] = {{-1, 0, false}, {1, 1, true}, {1, 1, false}, {-1, 3, false}};
    for (long type : {ASIOST_INT24_LSB, ASIOST_INT32_LSB}) {
        const int bits = sequenceTypeBits(type);
        for (const Change &c : changes) {
            SCOPED_TRACE(std::to_string(c.sign) + " " + std::to_string(c.shift) + ", type " +
                         std::to_string(type));
            std::vector<uint32_t> words = cable(bits, DELAY, 60000);
            for (uint32_t &w : words) {
                int64_t v = sequenceSigned(w, bits);
                v = (v + (c.rounded ? 1 << c.shift >> 1 : 0)) >> c.shift;
                w = static_cast<uint32_t>(c.sign * v) & maskOf(bits);
            }
            IntegrityAnalysis a;
            ASSERT_TRUE(beginIntegrityAnalysis(&a, type, MAX_DELAY, MAX_DELAY + 1000));
            feed(&a, words);
            ASSERT_EQ(a.results.state, INTEGRITY_LOCKED);
            EXPECT_EQ(a.results.sign, c.sign);
            EXPECT_EQ(a.results.shift, c.shift);
            EXPECT_EQ(a.results.lockDelay, DELAY);
            EXPECT_EQ(c.shift ? a.results.scaled : a.results.inverted, a.results.received);
            EXPECT_EQ(a.results.eventCounts[EVENT_INVERTED], c.shift ? 0 : 1);
            EXPECT_EQ(totalEvents(a), c.shift ? 0 : 1);
            EXPECT_EQ(transparentBits(&a), bits - c.shift);
            expectAccounted(a);
            endIntegrityAnalysis(&a);
        }
    }
}

TEST(IntegrityAnalysis, SamplesExpectedToTheEndOfTheWindowThatNeverCameAreMissing)
{
    const std::vector<uint32_t> words = cable(32, DELAY, 50 * BLOCK);
    for (int64_t beyond : {0L, 10 * BLOCK}) {
        IntegrityAnalysis a;
        ASSERT_TRUE(beginIntegrityAnalysis(&a, 18, MAX_DELAY, MAX_DELAY));
        for (size_t at = 0; at < words.size(); at += BLOCK)
            feedBlock(&a, words, nullptr, at);
        finishIntegrityAnalysis(&a, static_cast<int64_t>(words.size()) + beyond);
        EXPECT_EQ(a.results.missing, beyond);
        EXPECT_EQ(a.results.missingFrom, beyond ? static_cast<int64_t>(words.size()) : 0);
        EXPECT_EQ(a.results.matched, a.results.received);
        endIntegrityAnalysis(&a);
    }
}

TEST(IntegrityAnalysis, WithoutLockTheInputIsDescribedWhenTheTimeIsUp)
{
    const int64_t noLock = 96000;
    struct Input {
        const char *name;
        long type;
        double level;  // peak, of full scale: 0 silence, < 0 the sequence itself beyond the bound
        int reason;
        bool sine;
    };
    const Input inputs[] = {
        {"digital silence", ASIOST_INT32_LSB, 0, NO_LOCK_SILENT, false},
        {"one step of 16 bits", ASIOST_INT16_LSB, 1.0 / 32768, NO_LOCK_SILENT, false},
        {"noise at -50 dBFS", ASIOST_INT24_LSB, pow(10, -50 / 20.0), NO_LOCK_NOISE, false},
        {"a sine at -6 dBFS", ASIOST_INT32_LSB, pow(10, -6 / 20.0), NO_LOCK_FOREIGN, true},
        {"the sequence beyond the bound", ASIOST_INT32_LSB, -1, NO_LOCK_FOREIGN, false},
    };
    for (const Input &input : inputs) {
        SCOPED_TRACE(input.name);
        const int bits = sequenceTypeBits(input.type);
        const double full = ldexp(1.0, bits - 1);
        std::vector<uint32_t> words(noLock, 0);
        uint32_t state = 7;
        for (int64_t k = 0; k < noLock && input.level > 0; k++) {
            double value = input.sine ? sin(k * 0.05) : (nextRandom(&state) / 4294967296.0 * 2 - 1);
            words[k] = static_cast<uint32_t>(static_cast<int32_t>(lround(value * input.level * full))) & maskOf(bits);
        }
        if (input.level < 0)
            words = cable(bits, 20000 + 1, noLock);
        IntegrityAnalysis a;
        ASSERT_TRUE(beginIntegrityAnalysis(&a, input.type, 20000, noLock));
        const size_t last = words.size() - BLOCK;
        for (size_t at = 0; at < last; at += BLOCK)
            feedBlock(&a, words, nullptr, at);
        EXPECT_EQ(a.results.state, INTEGRITY_SEARCHING);
        feedBlock(&a, words, nullptr, last);
        ASSERT_EQ(a.results.state, INTEGRITY_NO_LOCK);
        EXPECT_EQ(a.results.noLockReason, input.reason);
        if (input.level == 0) {
            EXPECT_TRUE(isinf(a.results.peakDbfs) && a.results.peakDbfs < 0);
        } else if (input.level > 0) {
            EXPECT_NEAR(a.results.peakDbfs, 20 * log10(input.level), 0.1);
        }
        endIntegrityAnalysis(&a);
    }
}

// A callback's side: blocks of `values` numbers, each its switch number, up to switch `total`; then
// an empty block past the last.
void fillBlocks(SampleRing *ring, int values, uint32_t total, std::atomic<int> *running)
{
    std::vector<int64_t> data(values);
    for (;;) {
        const uint32_t n = claimRingBlock(ring);
        if (n >= total) {
            fillRingBlock(ring, n, nullptr, 0, n);
            break;
        }
        for (int64_t &d : data)
            d = n;
        fillRingBlock(ring, n, data.data(), static_cast<uint32_t>(values * sizeof(int64_t)), n);
    }
    running->fetch_sub(1);
}

// `threads` callbacks at once fill 50,000 blocks, each with its switch number in every value.
void expectWholeBlocksInOrder(int threads)
{
    SCOPED_TRACE(std::to_string(threads) + " producers");
    const int VALUES = 512;
    SampleRing ring;
    ASSERT_TRUE(makeSampleRing(&ring, 64, VALUES * sizeof(int64_t)));
    const uint32_t total = 50000;
    std::atomic<int> running(threads);
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; t++)
        producers.emplace_back(fillBlocks, &ring, VALUES, total, &running);
    int64_t taken = 0, stopsTaken = 0, last = -1, torn = 0, lost = 0, droppedSeen = 0;
    std::vector<int> seen(total);
    for (;;) {
        const bool finished = running.load() == 0;
        const RingBlock *block = peekRingBlock(&ring);
        if (!block) {
            if (finished)
                break;
            continue;
        }
        if (block->switchNumber >= total) {
            stopsTaken++;
            releaseRingBlock(&ring);
            continue;
        }
        const int64_t *data = reinterpret_cast<const int64_t *>(block->data);
        // From the end: a block handed over before its copy was done shows there first.
        for (int k = VALUES - 1; k >= 0; k--)
            torn += data[k] != block->switchNumber;
        // One thread: switch numbers skipped are exactly the blocks dropped before this one; two:
        // each block comes once, its number maybe ahead of its neighbour's.
        if (threads == 1)
            lost += block->switchNumber - last - 1 - block->droppedBefore;
        lost += seen[block->switchNumber]++;
        droppedSeen += block->droppedBefore;
        last = block->switchNumber;
        taken++;
        releaseRingBlock(&ring);
    }
    for (std::thread &producer : producers)
        producer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(taken + stopsTaken + ring.dropped.load(), total + threads);
    EXPECT_LE(droppedSeen, threads == 1 ? ring.dropped.load() : total);
    freeSampleRing(&ring);
}

TEST(SampleRing, HandsOverBlocksInOrderAndCountsWhatDidNotFit)
{
    SampleRing ring;
    ASSERT_TRUE(makeSampleRing(&ring, 3, 16));  // rounded up to 4
    for (int64_t n = 0; n < 6; n++) {
        ASSERT_EQ(claimRingBlock(&ring), n);
        EXPECT_EQ(fillRingBlock(&ring, static_cast<uint32_t>(n), &n, sizeof n, 100 + n), n < 4) << n;
    }
    EXPECT_EQ(ring.dropped.load(), 2u);
    EXPECT_EQ(ring.latestTicks.load(), 105);  // dropped, and still noted
    for (int64_t n = 0; n < 3; n++) {
        const RingBlock *block = peekRingBlock(&ring);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->switchNumber, n);
        EXPECT_EQ(block->arrivalTicks, 100 + n);
        EXPECT_EQ(memcmp(block->data, &n, sizeof n), 0);
        releaseRingBlock(&ring);
    }
    int64_t six = 6;
    EXPECT_TRUE(fillRingBlock(&ring, claimRingBlock(&ring), &six, sizeof six, 106));
    int64_t seen[2];
    for (int k = 0; k < 2; k++) {
        const RingBlock *block = peekRingBlock(&ring);
        ASSERT_NE(block, nullptr);
        seen[k] = block->switchNumber;
        EXPECT_EQ(block->droppedBefore, k == 1 ? 2u : 0u);
        releaseRingBlock(&ring);
    }
    EXPECT_EQ(seen[0], 3);
    EXPECT_EQ(seen[1], 6);
    EXPECT_EQ(peekRingBlock(&ring), nullptr);
    freeSampleRing(&ring);

    // One callback thread, then two at once (a driver calling back from two threads), against the
    // main thread: every block arrives whole and in the order claimed, or is counted as dropped.
    // Filling each block takes a producer a while, so the consumer mostly waits on an empty ring
    // and takes each block the moment it is handed over.
    for (int threads = 1; threads <= 2; threads++)
        expectWholeBlocksInOrder(threads);
}

TEST(SampleRing, RefusesWhatItsBoundCannotHoldRatherThanAWrappedSize)
{
    // 64 blocks of 64 MiB are 2^32 bytes: nothing in 32 bits, and the first callback would copy
    // 64 MiB into it.
    SampleRing ring;
    EXPECT_FALSE(makeSampleRing(&ring, 64, 64u << 20));
    EXPECT_EQ(ring.storage, nullptr);
    // 128 inputs of 8-byte samples in buffers of 2^22 frames: 2^32 bytes a block. The size says
    // what the ring would have been.
    RingSize size;
    EXPECT_FALSE(sampleRingSize(192000, 1L << 22, 128ull * 8 << 22, &size));
    EXPECT_EQ(size.blocks, static_cast<uint32_t>(RING_MIN_BLOCKS));
    EXPECT_EQ(size.bytes, static_cast<uint64_t>(RING_MIN_BLOCKS) << 32);
    // 128 inputs of 4 bytes in 256 frames at 192 kHz get their time on both builds.
    ASSERT_TRUE(sampleRingSize(192000, 256, 128 * 4 * 256, &size));
    EXPECT_GE(size.seconds, RING_SECONDS);
    EXPECT_LE(size.bytes, RING_MAX_BYTES);
}

}  // namespace
