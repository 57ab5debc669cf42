// Bytes per sample of the ASIO sample types, the device's own table: it judges what a host copied.
#include "sim_object.h"

int simSampleBytes(long type) {
    switch (type) {
    case 0:   // 16-bit integer, big-endian
    case 16:  // 16-bit integer, little-endian
        return 2;
    case 1:   // 24-bit packed integer, big-endian
    case 17:  // 24-bit packed integer, little-endian
        return 3;
    case 2:   // 32-bit integer, big-endian
    case 3:   // 32-bit float, big-endian
    case 8:   // 32-bit containers holding 16, 18, 20 and 24 bits, big-endian
    case 9:
    case 10:
    case 11:
    case 18:  // 32-bit integer, little-endian
    case 19:  // 32-bit float, little-endian
    case 24:  // 32-bit containers holding 16, 18, 20 and 24 bits, little-endian
    case 25:
    case 26:
    case 27:
        return 4;
    case 4:   // 64-bit float, big-endian
    case 20:  // 64-bit float, little-endian
        return 8;
    case 32:  // DSD: one byte per frame (8 one-bit samples, or one 8-bit sample)
    case 33:
    case 40:
        return 1;
    default:
        return 0;
    }
}
