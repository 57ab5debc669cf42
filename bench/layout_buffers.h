// Buffers of one channel layout, handed to the loopback as a driver would hand them, and the same
// buffers as plain copy lists for the bare-copy loop.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct Layout {
    int32_t pairs;   // inputs = outputs = pairs
    int32_t frames;
    int32_t sampleBytes;
};

// Prepares the loopback with no driver (beginLoopback builds the buffer array), then gives every
// element two halves of its own from one aligned block. False when memory ran out.
bool setUpLayout(const Layout &layout);
// Stops the loopback and frees the block.
void tearDownLayout();

// Bytes one buffer switch copies: pairs x frames x bytes per sample.
size_t bytesPerSwitch(const Layout &layout);

// The copies the handler makes, done straight: memcpy over the same buffers, nothing else.
// Called through the same pointer type as the handler, as a driver calls it.
void bareCopies(long index, long directProcess);
