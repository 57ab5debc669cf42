#include "engine/sample_types.h"

const SampleTypeEntry sampleTypeTable[22] = {
    {"ASIOSTInt16MSB", 0, 2},
    {"ASIOSTInt24MSB", 1, 3},
    {"ASIOSTInt32MSB", 2, 4},
    {"ASIOSTFloat32MSB", 3, 4},
    {"ASIOSTFloat64MSB", 4, 8},
    {"ASIOSTInt32MSB16", 8, 4},
    {"ASIOSTInt32MSB18", 9, 4},
    {"ASIOSTInt32MSB20", 10, 4},
    {"ASIOSTInt32MSB24", 11, 4},
    {"ASIOSTInt16LSB", 16, 2},
    {"ASIOSTInt24LSB", 17, 3},
    {"ASIOSTInt32LSB", 18, 4},
    {"ASIOSTFloat32LSB", 19, 4},
    {"ASIOSTFloat64LSB", 20, 8},
    {"ASIOSTInt32LSB16", 24, 4},
    {"ASIOSTInt32LSB18", 25, 4},
    {"ASIOSTInt32LSB20", 26, 4},
    {"ASIOSTInt32LSB24", 27, 4},
    {"ASIOSTDSDInt8LSB1", 32, 1},
    {"ASIOSTDSDInt8MSB1", 33, 1},
    {"ASIOSTDSDInt8NER8", 40, 1},
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
