#include "engine/sample_types.h"

#include <gtest/gtest.h>

TEST(SampleTypes, MatchingCodesGiveTheirRow)
{
    EXPECT_STREQ(lookupSampleType(18)->name, "ASIOSTInt32LSB");
    EXPECT_EQ(lookupSampleType(18)->bytes, 4);
    EXPECT_STREQ(lookupSampleType(0)->name, "ASIOSTInt16MSB");
    EXPECT_EQ(lookupSampleType(0)->bytes, 2);
    EXPECT_EQ(lookupSampleType(17)->bytes, 3);
    EXPECT_EQ(lookupSampleType(20)->bytes, 8);
    // 40 is both the last named row's code and the end row's: the named row wins.
    EXPECT_EQ(lookupSampleType(40), &sampleTypeTable[20]);
    EXPECT_STREQ(lookupSampleType(40)->name, "ASIOSTDSDInt8NER8");
    EXPECT_EQ(lookupSampleType(40)->bytes, 1);
}

TEST(SampleTypes, GapsAndCodesOutsideTheTableGiveTheEndRow)
{
    for (int code : {5, 6, 7, 12, 21, 28, 34, 39, 41, 1000, -1, INT32_MIN, INT32_MAX}) {
        const SampleTypeEntry *row = lookupSampleType(code);
        EXPECT_EQ(row, &sampleTypeTable[21]) << code;
        EXPECT_EQ(row->name, nullptr) << code;
        EXPECT_EQ(row->bytes, 0) << code;
    }
}
