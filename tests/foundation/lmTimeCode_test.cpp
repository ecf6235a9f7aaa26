#include "foundation/lmTimeCode.h"

#include <gtest/gtest.h>

namespace {

TEST(TimeCode, Formatting) {
    const struct {
        uint32_t fps, frame;
        bool hours;
        const char* text;
    } cases[] = {
        {25, 0, true, "00:00:00.00"},
        {25, 0, false, "00:00.00"},
        {25, 24, false, "00:00.24"},
        {25, 25, false, "00:01.00"},
        {25, 125, false, "00:05.00"},
        {25, 90125, true, "01:00:05.00"},
        {25, 90125, false, "01:00:05.00"},
        {25, 9000000, false, "100:00:00.00"},
        {25, 89999, false, "59:59.24"},
        {30, 30, false, "00:01.00"},
        {0, 12345, true, "00:00:00.00"},
        {0, 12345, false, "00:00.00"},
        {60, 4294967295u, true, "19884:06:28.15"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fps << " fps, frame " << c.frame);
        TTimeCodeObj tc;
        tc.SetFrameRate(c.fps);
        EXPECT_EQ(tc.FrameToTimeCode(c.frame, c.hours), c.text);
    }
}

TEST(TimeCode, NewObjectRunsAt25AndSetterKeepsFieldsConsistent) {
    TTimeCodeObj tc;
    EXPECT_EQ(tc.FramesPerSecond(), 25u);
    EXPECT_EQ(tc.FramesPerDay(), 25u * 3600 * 24);
    tc.SetFrameRate(25);
    EXPECT_EQ(tc.FrameToTimeCode(25, false), "00:01.00");
    tc.SetFrameRate(30);
    EXPECT_EQ(tc.FramesPerDay(), 30u * 3600 * 24);
    EXPECT_EQ(tc.FrameToTimeCode(30, false), "00:01.00");
    EXPECT_EQ(tc.FrameToTimeCode(25, false), "00:00.25");
}

TEST(TimeCode, ClipRateRoundsToWholeFrames) {
    EXPECT_EQ(TimeCodeFramesPerSecond(30000, 1001), 30u);
    EXPECT_EQ(TimeCodeFramesPerSecond(60000, 1001), 60u);
    EXPECT_EQ(TimeCodeFramesPerSecond(24000, 1001), 24u);
    EXPECT_EQ(TimeCodeFramesPerSecond(25, 0), 25u);  // a divisor below 1 counts as 1
    EXPECT_EQ(TimeCodeFramesPerSecond(0, 0), 0u);    // still images
}

}  // namespace
