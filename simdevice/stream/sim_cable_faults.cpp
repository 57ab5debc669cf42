// The faults of "SignalFault", and what the lasting ones do to one sample: it is read as a
// fraction of full scale in its own type, changed, and written back rounded and saturated.
#include "stream.h"

#include <math.h>
#include <string.h>

namespace {

const char *const kNames[] = {"", "drop", "twice", "shift", "swap", "invert", "bits", "noise", "gain"};

// Integer types: bits of the value and bytes of the container (little-endian, sign-extended).
bool integerLayout(long type, int *bits, int *bytes) {
    switch (type) {
    case SIM_ST_INT16_LSB: *bits = 16; *bytes = 2; return true;
    case SIM_ST_INT24_LSB: *bits = 24; *bytes = 3; return true;
    case SIM_ST_INT32_LSB: *bits = 32; *bytes = 4; return true;
    case SIM_ST_INT32_LSB16: *bits = 16; *bytes = 4; return true;
    case SIM_ST_INT32_LSB18: *bits = 18; *bytes = 4; return true;
    case SIM_ST_INT32_LSB20: *bits = 20; *bytes = 4; return true;
    case SIM_ST_INT32_LSB24: *bits = 24; *bytes = 4; return true;
    default: return false;
    }
}

bool readSample(const unsigned char *at, long type, double *value) {
    if (type == SIM_ST_FLOAT32_LSB) {
        float f;
        memcpy(&f, at, sizeof f);
        *value = f;
        return true;
    }
    if (type == SIM_ST_FLOAT64_LSB) {
        memcpy(value, at, sizeof *value);
        return true;
    }
    int bits, bytes;
    if (!integerLayout(type, &bits, &bytes))
        return false;
    uint32_t raw = 0;
    for (int b = 0; b < bytes; b++)
        raw |= (uint32_t)at[b] << (8 * b);
    int64_t whole = (int64_t)(raw & (uint32_t)((1ull << bits) - 1));
    if (whole >= (int64_t)1 << (bits - 1))
        whole -= (int64_t)1 << bits;
    *value = (double)whole / (double)((int64_t)1 << (bits - 1));
    return true;
}

void writeSample(unsigned char *at, long type, double value) {
    if (isnan(value))
        value = 0;
    if (type == SIM_ST_FLOAT32_LSB || type == SIM_ST_FLOAT64_LSB) {
        value = value < -1 ? -1 : value > 1 ? 1 : value;
        if (type == SIM_ST_FLOAT32_LSB) {
            float f = (float)value;
            memcpy(at, &f, sizeof f);
        } else {
            memcpy(at, &value, sizeof value);
        }
        return;
    }
    int bits = 0, bytes = 0;
    if (!integerLayout(type, &bits, &bytes))
        return;
    double scale = (double)((int64_t)1 << (bits - 1));
    double scaled = floor(value * scale + 0.5);
    int64_t whole = scaled >= scale ? (int64_t)scale - 1 : scaled < -scale ? -(int64_t)scale
                                                                         : (int64_t)scaled;
    for (int b = 0; b < bytes; b++)
        at[b] = (unsigned char)((uint64_t)whole >> (8 * b));  // the sign fills a wide container
}

// xorshift: the same noise in every run, whatever the host does.
double uniform(uint32_t *state) {
    uint32_t x = *state ? *state : 0x9E3779B9u;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x / 4294967296.0;
}

}  // namespace

int simSignalFault(const SimConfig &config) {
    for (int kind = SIM_SIGNAL_DROP; kind <= SIM_SIGNAL_GAIN; kind++) {
        if (_stricmp(config.signalFault, kNames[kind]) == 0)
            return kind;
    }
    return SIM_SIGNAL_NONE;
}

void simTransformSample(unsigned char *sample, long type, int fault, double level, int bits,
                        uint32_t *noise) {
    double value;
    if (!readSample(sample, type, &value))
        return;
    switch (fault) {
    case SIM_SIGNAL_INVERT:
        value = -value;
        break;
    case SIM_SIGNAL_BITS: {
        // The top bits of a two's complement value: rounded towards minus infinity.
        double steps = ldexp(1.0, (bits < 1 ? 1 : bits > 52 ? 52 : bits) - 1);
        value = floor(value * steps) / steps;
        break;
    }
    case SIM_SIGNAL_NOISE:
        value += level * (2 * uniform(noise) - 1);
        break;
    case SIM_SIGNAL_GAIN:
        value *= level;
        break;
    default:
        return;
    }
    writeSample(sample, type, value);
}
