// Bytes per sample of the ASIO sample types, the device's own table: it judges what a host copied.
#include "core.h"

int simSampleBytes(long type) {
    switch (type) {
    case SIM_ST_INT16_MSB:
    case SIM_ST_INT16_LSB:
        return 2;
    case SIM_ST_INT24_MSB:
    case SIM_ST_INT24_LSB:
        return 3;
    case SIM_ST_INT32_MSB:
    case SIM_ST_FLOAT32_MSB:
    case SIM_ST_INT32_MSB16:
    case SIM_ST_INT32_MSB18:
    case SIM_ST_INT32_MSB20:
    case SIM_ST_INT32_MSB24:
    case SIM_ST_INT32_LSB:
    case SIM_ST_FLOAT32_LSB:
    case SIM_ST_INT32_LSB16:
    case SIM_ST_INT32_LSB18:
    case SIM_ST_INT32_LSB20:
    case SIM_ST_INT32_LSB24:
        return 4;
    case SIM_ST_FLOAT64_MSB:
    case SIM_ST_FLOAT64_LSB:
        return 8;
    case SIM_ST_DSD_INT8_LSB1:
    case SIM_ST_DSD_INT8_MSB1:
    case SIM_ST_DSD_INT8_NER8:
        return 1;
    default:
        return 0;
    }
}
