// The known sequence of the integrity command: the words of every output and position, their
// search tables, and writing and reading them in a driver's sample types (measure.h).
#include "checker/measure/integrity_parts.h"

#include <string.h>

namespace {

enum Format { FORMAT_NONE, FORMAT_INT16, FORMAT_INT24, FORMAT_INT32, FORMAT_FLOAT32, FORMAT_FLOAT64 };

struct Layout {
    int format;
    int bits;
    int bytes;
    bool bigEndian;
};

Layout layoutOf(long type)
{
    switch (type) {
    case ASIOST_INT16_LSB: return {FORMAT_INT16, 16, 2, false};
    case ASIOST_INT24_LSB: return {FORMAT_INT24, 24, 3, false};
    case ASIOST_INT32_LSB: return {FORMAT_INT32, 32, 4, false};
    case ASIOST_FLOAT32_LSB: return {FORMAT_FLOAT32, 24, 4, false};
    case ASIOST_FLOAT64_LSB: return {FORMAT_FLOAT64, 32, 8, false};
    case ASIOST_INT32_LSB16: return {FORMAT_INT32, 16, 4, false};
    case ASIOST_INT32_LSB18: return {FORMAT_INT32, 18, 4, false};
    case ASIOST_INT32_LSB20: return {FORMAT_INT32, 20, 4, false};
    case ASIOST_INT32_LSB24: return {FORMAT_INT32, 24, 4, false};
    case ASIOST_INT16_MSB: return {FORMAT_INT16, 16, 2, true};
    case ASIOST_INT24_MSB: return {FORMAT_INT24, 24, 3, true};
    case ASIOST_INT32_MSB: return {FORMAT_INT32, 32, 4, true};
    case ASIOST_FLOAT32_MSB: return {FORMAT_FLOAT32, 24, 4, true};
    case ASIOST_FLOAT64_MSB: return {FORMAT_FLOAT64, 32, 8, true};
    case ASIOST_INT32_MSB16: return {FORMAT_INT32, 16, 4, true};
    case ASIOST_INT32_MSB18: return {FORMAT_INT32, 18, 4, true};
    case ASIOST_INT32_MSB20: return {FORMAT_INT32, 20, 4, true};
    case ASIOST_INT32_MSB24: return {FORMAT_INT32, 24, 4, true};
    }
    return {FORMAT_NONE, 0, 0, false};
}

const int OUTPUT_KEY_SHIFT = 9;
static_assert(MAX_ROUTE_CHANNELS << OUTPUT_KEY_SHIFT == 0x10000, "outputs fill the key's top bits");

// Two 16-bit mixes (xor-shifts and odd multipliers): one for the top 16 bits, one for the rest.
const uint16_t HIGH_1 = 0x88B5, HIGH_2 = 0xDB2D;
const uint16_t LOW_1 = 0x2C1B, LOW_2 = 0x4A5F;
const uint16_t HIGH_KEY = 0x3C5A, LOW_KEY = 0xC3A5;

// The multiplicative inverse of an odd c modulo 2^16 (Newton's iteration).
constexpr uint32_t inverse16(uint32_t c)
{
    uint32_t x = c;
    for (int k = 0; k < 4; k++)
        x = (x * (2 - c * x)) & 0xFFFF;
    return x;
}
const uint32_t HIGH_1_INVERSE = inverse16(HIGH_1), HIGH_2_INVERSE = inverse16(HIGH_2);
static_assert(((HIGH_1 * inverse16(HIGH_1)) & 0xFFFF) == 1, "inverse");
static_assert(((HIGH_2 * inverse16(HIGH_2)) & 0xFFFF) == 1, "inverse");

// On 16-bit operands, which compilers make vector code of.
inline uint16_t mix16(uint16_t x, uint16_t c1, uint16_t c2)
{
    x ^= x >> 8;
    x = static_cast<uint16_t>(x * c1);
    x ^= x >> 7;
    x = static_cast<uint16_t>(x * c2);
    x ^= x >> 9;
    return x;
}

// mix16(x, HIGH_1, HIGH_2) undone: each step in reverse (a shift of 9 or 8 undoes itself in 16
// bits, a shift of 7 needs a second term).
inline uint32_t unmixHigh(uint32_t x)
{
    x ^= x >> 9;
    x = (x * HIGH_2_INVERSE) & 0xFFFF;
    x ^= (x >> 7) ^ (x >> 14);
    x = (x * HIGH_1_INVERSE) & 0xFFFF;
    x ^= x >> 8;
    return x;
}

// The block's 16 bits with the output's number in the top 7: two outputs' keys differ in every
// stretch of fewer than 512 blocks (33 M positions), so a sample names the output it came from.
inline uint16_t keyedBlock(int64_t block, int output)
{
    return static_cast<uint16_t>(block ^ (static_cast<uint32_t>(output) << OUTPUT_KEY_SHIFT));
}

inline uint16_t highKey(int64_t block, int output)
{
    return mix16(keyedBlock(block, output) ^ HIGH_KEY, HIGH_1, HIGH_2);
}

inline uint16_t lowKey(int64_t block, int output)
{
    return mix16(keyedBlock(block, output) ^ LOW_KEY, LOW_1, LOW_2);
}

// Reverses the bytes of each of `count` samples in place.
void reverseSamples(unsigned char *at, long count, int bytes)
{
    if (bytes == 4) {  // the common size, in a form compilers make one instruction of
        for (long k = 0; k < count; k++) {
            uint32_t x;
            memcpy(&x, at + 4 * k, 4);
            x = (x >> 24) | ((x >> 8) & 0xFF00) | ((x << 8) & 0xFF0000) | (x << 24);
            memcpy(at + 4 * k, &x, 4);
        }
        return;
    }
    for (long k = 0; k < count; k++, at += bytes) {
        for (int i = 0; i < bytes / 2; i++) {
            unsigned char first = at[i];
            at[i] = at[bytes - 1 - i];
            at[bytes - 1 - i] = first;
        }
    }
}

// Words are made and decoded in chunks of this many on the stack.
const long CHUNK = 256;

// Little-endian samples of `count` words.
void encodeWords(const uint32_t *words, long count, const Layout &layout, unsigned char *out)
{
    switch (layout.format) {
    case FORMAT_INT16:
        for (long k = 0; k < count; k++) {
            uint16_t x = static_cast<uint16_t>(words[k]);
            memcpy(out + 2 * k, &x, 2);
        }
        break;
    case FORMAT_INT24:
        for (long k = 0; k < count; k++) {
            out[3 * k] = static_cast<unsigned char>(words[k]);
            out[3 * k + 1] = static_cast<unsigned char>(words[k] >> 8);
            out[3 * k + 2] = static_cast<unsigned char>(words[k] >> 16);
        }
        break;
    case FORMAT_INT32:
        for (long k = 0; k < count; k++) {
            int32_t x = sequenceSigned(words[k], layout.bits);
            memcpy(out + 4 * k, &x, 4);
        }
        break;
    case FORMAT_FLOAT32:
        for (long k = 0; k < count; k++) {
            float x = static_cast<float>(sequenceSigned(words[k], 24)) * (1.0f / 8388608.0f);
            memcpy(out + 4 * k, &x, 4);
        }
        break;
    case FORMAT_FLOAT64:
        for (long k = 0; k < count; k++) {
            double x = sequenceSigned(words[k], 32) * (1.0 / 2147483648.0);
            memcpy(out + 8 * k, &x, 8);
        }
        break;
    }
}

// Adding 1.5 * 2^52 to a double of magnitude below 2^31 leaves it rounded to the nearest integer
// in the low 32 bits of its pattern: a conversion without the switch of rounding mode that a cast
// costs on x87, where it is most of the time a float takes.
const double ROUNDER = 6755399441055744.0;

// Floats of the given width to words, to the nearest step within full scale.
template <typename Float>
long decodeFloats(const unsigned char *in, long count, int bits, uint32_t *words, uint8_t *inexact)
{
    const double full = bits == 32 ? 2147483648.0 : 8388608.0;
    const uint32_t mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    long marked = 0;
    for (long k = 0; k < count; k++) {
        Float x;
        memcpy(&x, in + sizeof x * k, sizeof x);
        const double scaled = x * full;
        const bool inRange = scaled >= -full && scaled <= full - 1;  // false for not a number
        const double beyond = scaled > 0 ? full - 1 : (scaled < 0 ? -full : 0.0);
        const double shifted = (inRange ? scaled : beyond) + ROUNDER;
        uint64_t pattern;
        memcpy(&pattern, &shifted, sizeof pattern);
        const int32_t whole = static_cast<int32_t>(static_cast<uint32_t>(pattern));
        const bool exact = inRange && whole == scaled;
        words[k] = static_cast<uint32_t>(whole) & mask;
        inexact[k] = !exact;
        marked += !exact;
    }
    return marked;
}

// Little-endian samples to words; returns the number of inexact ones.
long decodeWords(const unsigned char *in, long count, const Layout &layout, uint32_t *words,
                 uint8_t *inexact)
{
    const int bits = layout.bits;  // not read again after each store through inexact
    const uint32_t mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    long marked = 0;
    switch (layout.format) {
    case FORMAT_INT16:
        for (long k = 0; k < count; k++) {
            uint16_t x;
            memcpy(&x, in + 2 * k, 2);
            words[k] = x;
        }
        memset(inexact, 0, count);
        break;
    case FORMAT_INT24:
        for (long k = 0; k < count; k++)
            words[k] = in[3 * k] | (in[3 * k + 1] << 8) | (static_cast<uint32_t>(in[3 * k + 2]) << 16);
        memset(inexact, 0, count);
        break;
    case FORMAT_INT32:
        for (long k = 0; k < count; k++) {
            int32_t x;
            memcpy(&x, in + 4 * k, 4);
            uint32_t word = static_cast<uint32_t>(x) & mask;
            words[k] = word;
            inexact[k] = sequenceSigned(word, bits) != x;
            marked += inexact[k];
        }
        break;
    case FORMAT_FLOAT32:
        marked = decodeFloats<float>(in, count, 24, words, inexact);
        break;
    case FORMAT_FLOAT64:
        marked = decodeFloats<double>(in, count, 32, words, inexact);
        break;
    }
    return marked;
}

}  // namespace

int sequenceTypeBits(long type)
{
    return layoutOf(type).bits;
}

int sequenceTypeBytes(long type)
{
    return layoutOf(type).bytes;
}

int32_t sequenceSigned(uint32_t word, int bits)
{
    // The top bit of the word moved to the sign and shifted back (arithmetic shift).
    return static_cast<int32_t>(word << (32 - bits)) >> (32 - bits);
}

uint32_t sequenceBlockKey(int64_t block, int output)
{
    return highKey(block, output);
}

uint32_t sequenceHighKeyed(int64_t position, uint32_t key)
{
    return static_cast<uint16_t>(mix16(static_cast<uint16_t>(position), HIGH_1, HIGH_2) ^ key);
}

int64_t sequencePositionKeyed(uint32_t high, int64_t block, uint32_t key)
{
    return (block << SEQUENCE_BLOCK_BITS) + unmixHigh((high ^ key) & 0xFFFF);
}

uint32_t sequenceHigh(int64_t position, int output)
{
    return static_cast<uint16_t>(mix16(static_cast<uint16_t>(position), HIGH_1, HIGH_2) ^
                                 highKey(position >> 16, output));
}

int64_t sequencePositionInBlock(uint32_t high, int64_t block, int output)
{
    return (block << SEQUENCE_BLOCK_BITS) + unmixHigh((high ^ highKey(block, output)) & 0xFFFF);
}

void sequenceWords(int bits, int output, int64_t position, long count, uint32_t *words)
{
    const int highShift = bits - 16;
    const int lowShift = 32 - bits;
    while (count > 0) {
        uint32_t first = static_cast<uint32_t>(position & 0xFFFF);
        long run = 0x10000 - static_cast<long>(first);
        if (run > count)
            run = count;
        const uint16_t hKey = highKey(position >> 16, output);
        const uint16_t lKey = lowKey(position >> 16, output);
        for (long k = 0; k < run; k++) {
            uint16_t index = static_cast<uint16_t>(first + k);
            uint32_t high = static_cast<uint16_t>(mix16(index, HIGH_1, HIGH_2) ^ hKey);
            uint32_t low = static_cast<uint16_t>(mix16(index, LOW_1, LOW_2) ^ lKey);
            words[k] = (high << highShift) | (low >> lowShift);
        }
        words += run;
        position += run;
        count -= run;
    }
}

void writeSequence(void *out, long type, int output, int64_t firstPosition, long frames)
{
    const Layout layout = layoutOf(type);
    if (layout.format == FORMAT_NONE)
        return;
    unsigned char *at = static_cast<unsigned char *>(out);
    uint32_t words[CHUNK];
    for (long done = 0; done < frames; done += CHUNK) {
        long count = frames - done < CHUNK ? frames - done : CHUNK;
        sequenceWords(layout.bits, output, firstPosition + done, count, words);
        encodeWords(words, count, layout, at + done * layout.bytes);
        if (layout.bigEndian)
            reverseSamples(at + done * layout.bytes, count, layout.bytes);
    }
}

long readSequence(const void *in, long type, long frames, uint32_t *words, uint8_t *inexact)
{
    const Layout layout = layoutOf(type);
    if (layout.format == FORMAT_NONE)
        return 0;
    const unsigned char *at = static_cast<const unsigned char *>(in);
    if (!layout.bigEndian)
        return decodeWords(at, frames, layout, words, inexact);
    unsigned char swapped[CHUNK * 8];
    long marked = 0;
    for (long done = 0; done < frames; done += CHUNK) {
        long count = frames - done < CHUNK ? frames - done : CHUNK;
        memcpy(swapped, at + done * layout.bytes, count * layout.bytes);
        reverseSamples(swapped, count, layout.bytes);
        marked += decodeWords(swapped, count, layout, words + done, inexact + done);
    }
    return marked;
}

namespace {

// The index i of every pair of neighbours (i - 1, i) in a block, by the xor of their top 16 bits,
// which the block's key does not change: bucket v holds byDifference[first[v] .. first[v + 1]).
// Beside it, both mixes of every index, the keys not yet applied: a word is one load away, where
// mixing it costs a dozen operations a word (the 32-bit build has no vector unit to share them).
struct DifferenceTable {
    bool made;
    uint32_t first[0x10001];
    uint16_t byDifference[0xFFFF];
    uint32_t mixes[0x10000];  // top 16 bits: the high mix of the index; the others: the low mix
};
DifferenceTable differences;

inline uint32_t plainHigh(uint32_t index)
{
    return mix16(static_cast<uint16_t>(index), HIGH_1, HIGH_2);
}

}  // namespace

void prepareSequenceSearch()
{
    DifferenceTable &t = differences;
    if (t.made)
        return;
    memset(t.first, 0, sizeof t.first);
    for (uint32_t i = 1; i < 0x10000; i++)
        t.first[(plainHigh(i - 1) ^ plainHigh(i)) + 1]++;
    for (uint32_t v = 0; v < 0x10000; v++)
        t.first[v + 1] += t.first[v];
    static uint32_t filled[0x10000];
    memcpy(filled, t.first, sizeof filled);
    for (uint32_t i = 1; i < 0x10000; i++)
        t.byDifference[filled[plainHigh(i - 1) ^ plainHigh(i)]++] = static_cast<uint16_t>(i);
    for (uint32_t i = 0; i < 0x10000; i++)
        t.mixes[i] = plainHigh(i) << 16 | mix16(static_cast<uint16_t>(i), LOW_1, LOW_2);
    t.made = true;
}

void preparedSequenceWords(int bits, int output, int64_t position, long count, uint32_t *words)
{
    const uint32_t *mixes = differences.mixes;
    // (high << (b - 16)) | (low >> (32 - b)) is the 32 bits of both, shifted down.
    const int shift = 32 - bits;
    while (count > 0) {
        const uint32_t first = static_cast<uint32_t>(position & 0xFFFF);
        long run = 0x10000 - static_cast<long>(first);
        if (run > count)
            run = count;
        const uint32_t keys = static_cast<uint32_t>(highKey(position >> 16, output)) << 16 |
                              lowKey(position >> 16, output);
        for (long k = 0; k < run; k++)
            words[k] = (mixes[first + k] ^ keys) >> shift;
        words += run;
        position += run;
        count -= run;
    }
}

void sequenceIndicesKeyed(const uint16_t *highs, long count, uint32_t key, uint16_t *indices)
{
    const uint16_t k16 = static_cast<uint16_t>(key);
    for (long k = 0; k < count; k++) {
        // unmixHigh on 16-bit operands, which compilers make vector code of.
        uint16_t x = highs[k] ^ k16;
        x ^= x >> 9;
        x = static_cast<uint16_t>(x * HIGH_2_INVERSE);
        x ^= static_cast<uint16_t>((x >> 7) ^ (x >> 14));
        x = static_cast<uint16_t>(x * HIGH_1_INVERSE);
        x ^= x >> 8;
        indices[k] = x;
    }
}

int sequenceCandidates(uint32_t highBefore, uint32_t high, int64_t firstBlock, int64_t lastBlock,
                       SequenceCandidate *out, int room)
{
    const DifferenceTable &t = differences;
    const uint32_t v = (highBefore ^ high) & 0xFFFF;
    const uint32_t lowBits = (1u << OUTPUT_KEY_SHIFT) - 1;
    int count = 0;
    for (uint32_t k = t.first[v]; k < t.first[v + 1]; k++) {
        const uint32_t index = t.byDifference[k];
        // The key the pair carries, undone to the keyed block: its low 9 bits are the block's,
        // so that one block in every 512 can carry it, each for an output of its own.
        const uint32_t keyed = unmixHigh((high ^ plainHigh(index)) & 0xFFFF) ^ HIGH_KEY;
        int64_t block = firstBlock + ((keyed - static_cast<uint32_t>(firstBlock)) & lowBits);
        for (; block <= lastBlock && count < room; block += lowBits + 1) {
            out[count].output = static_cast<int>(((keyed ^ static_cast<uint32_t>(block)) & 0xFFFF) >>
                                                 OUTPUT_KEY_SHIFT);
            out[count].position = (block << SEQUENCE_BLOCK_BITS) + index;
            count++;
        }
    }
    return count;
}
