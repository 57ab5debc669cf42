// A test host's audio side: a buffer-switch callback that copies input i to output i, or makes
// one chosen mistake, and a helper that runs the device for a number of switches.
#pragma once

#include "sim_test_host.h"

enum class HostFault {
    None,
    ShortCopy,       // the last byte of every output is not copied
    PastEnd,         // one byte written behind an output
    UnpairedOutput,  // writes an output that has no input
    WritesInput,     // changes an input
    FourBytes,       // copies 4 bytes per sample whatever the type
    OutputLength,    // copies as many bytes as the output's type has, from a narrower input too
    InputLength,     // copies as many bytes as the input's type has, into a narrower output too
};

struct LoopbackHost {
    ASIOBufferInfo infos[16];
    long count;
    long frames;
    long sampleBytes;
    long elementBytes[16];  // bytes per sample of each element when types differ; 0: sampleBytes
    HostFault fault;
    volatile LONG callbacks;
    IASIO *driver;  // for calls from inside the callback
    LONG stopAt;         // call stop from the callback at this switch (0: never)
    LONG releaseAt;      // call Release from the callback at this switch (0: never)
    LONGLONG startedAt[64];  // performance counter at the start of the first callbacks
};

extern LoopbackHost g_host;
extern ASIOCallbacks g_callbacks;

// Prepares g_host: one element per (isInput, channel) pair listed.
void setHostLayout(const std::vector<std::pair<int, int>> &elements, long frames, long sampleBytes,
                   HostFault fault);
// Waits until the host has seen that many callbacks; false after a generous timeout.
bool waitForCallbacks(LONG count);
// Waits until a shared counter reaches 0; false after a generous timeout.
bool waitForZero(volatile LONG *counter);
