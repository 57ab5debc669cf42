// ASIO sample type codes: their names for the report and their sizes for the loopback's copies.
#pragma once

#include <stdint.h>

struct SampleTypeEntry {
    const char *name;  // null in the end row
    int32_t type;
    int32_t bytes;     // bytes per sample
};

// 21 named rows, then the end row (no name, code 40, 0 bytes).
extern const SampleTypeEntry sampleTypeTable[22];

// The first row whose code is `type`, or the end row when no named row has it.
const SampleTypeEntry *lookupSampleType(int32_t type);
