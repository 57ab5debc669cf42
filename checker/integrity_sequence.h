// The known sequence of `quorvelcheck integrity`: a word for every stream position that its
// neighbours do not share, written on an output in the driver's sample type and read back from an
// input. No driver, no system call; writeSequence and readSequence allocate nothing, take no lock
// and may run in the driver's callback.
//
// A word has b bits (16 to 32, the bits the type carries). Its top 16 bits at position p are a
// bijective mix of p mod 2^16 xored with a key of the block p / 2^16; its other b - 16 bits a
// second mix of both. The top 16 bits alone give p mod 2^16 within any candidate block, so a path
// that loses low bits (a 24-bit converter behind a 32-bit type) still gives the position. Words
// repeat after 2^32 positions; neighbouring words differ in about half their bits.
#pragma once

#include <stdint.h>

enum { SEQUENCE_BLOCK_BITS = 16 };  // positions per block: 2^16

// b for a sample type: 16 (Int16, Int32 16), 18, 20, 24 (Int24, Int32 24, Float32) or 32 (Int32,
// Float64), both byte orders; 0 for a type the sequence does not support.
int sequenceTypeBits(long type);
// Bytes per sample of a supported type; 0 for others.
int sequenceTypeBytes(long type);

// The words of positions position .. position + count - 1 (position >= 0), b bits each.
void sequenceWords(int bits, int64_t position, long count, uint32_t *words);
// The top 16 bits of the word at position (>= 0): what locates it.
uint32_t sequenceHigh(int64_t position);
// The position in block `block` (position / 2^16) whose word has these top 16 bits.
int64_t sequencePositionInBlock(uint32_t high, int64_t block);
// A b-bit word as a signed value (two's complement), and the other way round.
int32_t sequenceSigned(uint32_t word, int bits);

// Fills `frames` samples of type `type` at out with the words of firstPosition onwards. Floats
// carry the word as a signed integer / 2^(b-1), which they hold exactly. Callback-safe.
void writeSequence(void *out, long type, int64_t firstPosition, long frames);
// Decodes `frames` received samples to b-bit words. inexact[k] is 1 where the sample was not
// exactly a value the sequence can carry (a float between steps or beyond full scale, decoded to
// the nearest; an integer whose bits above b are not the sign), else 0. Returns how many were
// inexact. Callback-safe.
long readSequence(const void *in, long type, long frames, uint32_t *words, uint8_t *inexact);
