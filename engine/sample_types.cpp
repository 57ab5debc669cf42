#include "engine/sample_types.h"

#include "drivers/asio_interface.h"

const SampleTypeEntry sampleTypeTable[22] = {
    {"ASIOSTInt16MSB", ASIOST_INT16_MSB, 2},
    {"ASIOSTInt24MSB", ASIOST_INT24_MSB, 3},
    {"ASIOSTInt32MSB", ASIOST_INT32_MSB, 4},
    {"ASIOSTFloat32MSB", ASIOST_FLOAT32_MSB, 4},
    {"ASIOSTFloat64MSB", ASIOST_FLOAT64_MSB, 8},
    {"ASIOSTInt32MSB16", ASIOST_INT32_MSB16, 4},
    {"ASIOSTInt32MSB18", ASIOST_INT32_MSB18, 4},
    {"ASIOSTInt32MSB20", ASIOST_INT32_MSB20, 4},
    {"ASIOSTInt32MSB24", ASIOST_INT32_MSB24, 4},
    {"ASIOSTInt16LSB", ASIOST_INT16_LSB, 2},
    {"ASIOSTInt24LSB", ASIOST_INT24_LSB, 3},
    {"ASIOSTInt32LSB", ASIOST_INT32_LSB, 4},
    {"ASIOSTFloat32LSB", ASIOST_FLOAT32_LSB, 4},
    {"ASIOSTFloat64LSB", ASIOST_FLOAT64_LSB, 8},
    {"ASIOSTInt32LSB16", ASIOST_INT32_LSB16, 4},
    {"ASIOSTInt32LSB18", ASIOST_INT32_LSB18, 4},
    {"ASIOSTInt32LSB20", ASIOST_INT32_LSB20, 4},
    {"ASIOSTInt32LSB24", ASIOST_INT32_LSB24, 4},
    {"ASIOSTDSDInt8LSB1", ASIOST_DSD_INT8_LSB1, 1},
    {"ASIOSTDSDInt8MSB1", ASIOST_DSD_INT8_MSB1, 1},
    {"ASIOSTDSDInt8NER8", ASIOST_DSD_INT8_NER8, 1},
    {nullptr, 40, 0},
};

const SampleTypeEntry *lookupSampleType(int32_t type)
{
    const SampleTypeEntry *row = sampleTypeTable;
    while (row->type != type) {
        row++;
        if (!row->name)
            break;
    }
    return row;
}
