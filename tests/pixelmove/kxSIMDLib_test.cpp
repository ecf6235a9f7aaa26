#include "pixelmove/kxSIMDLib.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "port/port.h"

namespace {

// The staged library, bound by name as the server binds it.
class SIMDLib : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(FLibrary.Open(std::string(LMV_STAGE_DIR) + "/bin/" + kxSIMDLibFileName))
            << FLibrary.LastError();
        Move24b32b = FLibrary.Function<TMove24b32b>(kxMove24b32bName);
        Move32b24b = FLibrary.Function<TMove32b24b>(kxMove32b24bName);
        FillAlpha = FLibrary.Function<TFillAlpha>(kxFillAlphaName);
        ASSERT_NE(Move24b32b, nullptr);
        ASSERT_NE(Move32b24b, nullptr);
        ASSERT_NE(FillAlpha, nullptr);
    }

    port::DynamicLibrary FLibrary;
    TMove24b32b* Move24b32b = nullptr;
    TMove32b24b* Move32b24b = nullptr;
    TFillAlpha* FillAlpha = nullptr;
};

}  // namespace

TEST_F(SIMDLib, RefusesNullPointersAndEmptySizesWritingNothing) {
    std::vector<uint8_t> source(64, 0x11);
    std::vector<uint8_t> dest(64, 0x22);
    struct TCase {
        const void* Source;
        void* Dest;
        int32_t Width;
        int32_t Height;
    };
    for (const TCase& c :
         {TCase{source.data(), dest.data(), 0, 2}, TCase{source.data(), dest.data(), 2, 0},
          TCase{source.data(), dest.data(), -1, 2}, TCase{source.data(), dest.data(), 2, -3},
          TCase{nullptr, dest.data(), 2, 2}, TCase{source.data(), nullptr, 2, 2}}) {
        EXPECT_EQ(Move24b32b(c.Source, 8, c.Dest, 8, c.Width, c.Height), 0);
        EXPECT_EQ(Move32b24b(c.Source, 8, c.Dest, 8, c.Width, c.Height), 0);
        if (c.Source != nullptr) {  // FillAlpha has no source
            EXPECT_EQ(FillAlpha(c.Dest, 8, c.Width, c.Height, 0x33), 0);
        }
    }
    EXPECT_EQ(dest, std::vector<uint8_t>(64, 0x22));
}

TEST_F(SIMDLib, FrameRoundTripKeepsDestinationAlpha) {
    const int32_t width = 1920, height = 1080;
    std::mt19937 random(3);
    std::vector<uint8_t> frame(size_t(width) * height * 4);
    for (uint8_t& b : frame)
        b = static_cast<uint8_t>(random());
    std::vector<uint8_t> packed(size_t(width) * height * 3);
    ASSERT_EQ(Move32b24b(frame.data(), width * 4, packed.data(), width * 3, width, height), 1);
    std::vector<uint8_t> unpacked(frame.size(), 0xFF);
    ASSERT_EQ(Move24b32b(packed.data(), width * 3, unpacked.data(), width * 4, width, height), 1);
    for (size_t i = 0; i < frame.size(); ++i)
        ASSERT_EQ(unpacked[i], i % 4 == 3 ? 0xFF : frame[i]) << "byte " << i;
}

TEST_F(SIMDLib, PaddingPastEachRowIsLeftAlone) {
    const int32_t width = 21, height = 3, pitch = width * 3 + 5;
    std::vector<uint8_t> source(size_t(width) * height * 4, 0x5A);
    std::vector<uint8_t> dest(size_t(pitch) * height, 0xC3);
    ASSERT_EQ(Move32b24b(source.data(), width * 4, dest.data(), pitch, width, height), 1);
    for (size_t i = 0; i < dest.size(); ++i)
        ASSERT_EQ(dest[i], int32_t(i % pitch) < width * 3 ? 0x5A : 0xC3) << "byte " << i;
}

TEST_F(SIMDLib, FillAlphaWritesEveryFourthByteFromTheAddressGiven) {
    const int32_t width = 5, height = 2, pitch = width * 4 + 4;
    for (size_t start : {size_t{3}, size_t{0}}) {  // the alpha bytes, then the blue bytes
        std::vector<uint8_t> image(size_t(pitch) * height, 0x10);
        ASSERT_EQ(FillAlpha(image.data() + start, pitch, width, height, 0x1FF), 1);
        for (size_t i = 0; i < image.size(); ++i) {
            const size_t column = i % size_t(pitch);
            const bool filled = column < size_t(width) * 4 && column % 4 == start;
            ASSERT_EQ(image[i], filled ? 0xFF : 0x10) << "start " << start << " byte " << i;
        }
    }
}
