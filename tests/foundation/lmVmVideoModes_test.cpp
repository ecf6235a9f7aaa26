#include "foundation/lmVmVideoModes.h"

#include <gtest/gtest.h>

#include <bit>
#include <optional>

namespace {

TEST(VideoModes, TableHoldsTheStoredSingles) {
    struct Row {
        uint32_t num, den, bits;
        int32_t nominal;
        const char* text;
    };
    const Row rows[] = {
        {24000, 1001, 0x41BFCEE6, 24, "23.976"}, {24, 1, 0x41C00000, 24, "24"},
        {25, 1, 0x41C80000, 25, "25"},           {30000, 1001, 0x41EFC29F, 30, "29.97"},
        {30, 1, 0x41F00000, 30, "30"},           {50, 1, 0x42480000, 50, "50"},
        {60000, 1001, 0x426FC29F, 60, "59.94"},  {60, 1, 0x42700000, 60, "60"},
    };
    for (int i = 0; i < FrameRateCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(FrameRates[i].Numerator, rows[i].num);
        EXPECT_EQ(FrameRates[i].Denominator, rows[i].den);
        EXPECT_EQ(std::bit_cast<uint32_t>(FrameRates[i].Rate), rows[i].bits);
        EXPECT_EQ(FrameRates[i].Nominal, rows[i].nominal);
        EXPECT_EQ(FrameRateText(i), rows[i].text);
    }
    EXPECT_STREQ(FieldModeNames[0], "No Fields (progressive)");
    EXPECT_STREQ(FieldModeNames[1], "Upper Field First (even)");
    EXPECT_STREQ(FieldModeNames[2], "Lower Field First (odd)");
}

TEST(VideoModes, IndexOutsideTableReadsTheDefault) {
    EXPECT_FALSE(IsValidFrameRateIndex(8));
    EXPECT_FALSE(IsValidFrameRateIndex(-1));
    EXPECT_EQ(&FrameRateEntry(8), &FrameRates[DefaultFrameRateIndex]);
    EXPECT_EQ(&FrameRateEntry(-3), &FrameRates[DefaultFrameRateIndex]);
    EXPECT_EQ(&FrameRateEntry(7), &FrameRates[7]);
}

TEST(VideoModes, Classification) {
    const std::optional<uint8_t> none;
    const struct {
        float rate;
        std::optional<uint8_t> index;
    } cases[] = {
        {25.0f, 2},    {29.97f, 3},    {23.976f, 0},   {24.0f, 1},    {59.94f, 6},
        {48.0f, none}, {24.5f, none},  {61.0f, none},  {23.0f, none}, {0.0f, none},
        {26.0f, none}, {31.0f, none},  {51.0f, none},  {59.0f, none}, {30.0f, 4},
        {50.0f, 5},    {60.0f, 7},     {23.5f, 0},     {24.49f, 1},   {29.5f, 3},
        {49.1f, 5},    {-25.0f, none}, {1000.f, none}, {59.99f, 6},   {60.9f, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        EXPECT_EQ(ClassifyFrameRate(c.rate), c.index);
    }
    // Every stored rate classifies onto its own index.
    for (int i = 0; i < FrameRateCount; ++i)
        EXPECT_EQ(ClassifyFrameRate(FrameRates[i].Rate), i);
}

TEST(VideoModes, DefaultRateFallback) {
    EXPECT_EQ(RateToClassify(-1.0f, 4), 30.0f);
    EXPECT_EQ(ClassifyFrameRate(RateToClassify(-1.0f, 4)), 4);
    EXPECT_EQ(RateToClassify(0.0f, 4), 0.0f);
    EXPECT_EQ(ClassifyFrameRate(RateToClassify(0.0f, 4)), std::nullopt);
    EXPECT_EQ(RateToClassify(25.0f, 4), 25.0f);
    EXPECT_EQ(RateToClassify(-1.0f, 99), FrameRates[DefaultFrameRateIndex].Rate);
}

TEST(VideoModes, FieldModeDerivation) {
    const struct {
        int32_t code;
        bool interlaced;
        int32_t width, height;
        TFieldMode mode;
    } cases[] = {
        {0, true, 720, 486, fmLowerFieldFirst},    {0, true, 720, 487, fmUpperFieldFirst},
        {0, true, 720, 576, fmUpperFieldFirst},    {0, true, 704, 480, fmUpperFieldFirst},
        {0, false, 720, 486, fmProgressive},       {0, false, 1920, 1080, fmProgressive},
        {1, false, 720, 486, fmUpperFieldFirst},   {3, false, 0, 0, fmUpperFieldFirst},
        {2, false, 1920, 1080, fmLowerFieldFirst}, {4, true, 720, 576, fmLowerFieldFirst},
        {7, true, 720, 486, fmProgressive},        {-1, true, 720, 486, fmProgressive},
        {5, true, 720, 576, fmProgressive},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.code << " " << c.interlaced << " " << c.width << "x" << c.height);
        EXPECT_EQ(DeriveFieldMode(c.code, c.interlaced, c.width, c.height), c.mode);
    }
}

TEST(VideoModes, DerivedTimingValues) {
    const int64_t durations[] = {417083, 416667, 400000, 333667, 333333, 200000, 166833, 166667};
    for (int i = 0; i < FrameRateCount; ++i)
        EXPECT_EQ(FrameDuration100ns(i), durations[i]) << i;
    EXPECT_EQ(AudioBytesPerFrame(2, 192000), 7680);
    EXPECT_EQ(AudioBytesPerFrame(3, 192000), 6406);  // 192000 * 1001 / 30000 = 6406.4
    EXPECT_EQ(VideoDataRate(2, 1000), 25000 * 8);
    EXPECT_EQ(VideoDataRate(3, 1000), 29970 * 8);  // 29970.0298 rounds to 29970
}

}  // namespace
