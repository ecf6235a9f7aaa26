#include "pixelmove/kxSIMDMove.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> RandomBytes(size_t size, std::mt19937& random) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

// A buffer of `rows` rows `pitch` apart whose last row ends with its pixels, so that a read or
// write past the caller's rows is caught by the address sanitizer (and writes by the guard
// check below). `offset` shifts the first pixel off any alignment.
struct TImage {
    TImage(int32_t width, int32_t rows, int32_t pixelSize, int32_t padding, size_t offset,
           std::mt19937& random)
        : Pitch(width * pixelSize + padding),
          Offset(offset),
          Bytes(RandomBytes(offset + size_t(rows - 1) * size_t(Pitch) + size_t(width * pixelSize),
                            random)) {}
    uint8_t* First() { return Bytes.data() + Offset; }
    int32_t Pitch;
    size_t Offset;
    std::vector<uint8_t> Bytes;
};

struct TShape {
    int32_t Width;
    int32_t Height;
    int32_t SourcePadding;
    int32_t DestPadding;
};

// Widths around every step size of the vector kernels, and padded and contiguous buffers.
std::vector<TShape> Shapes() {
    std::vector<TShape> shapes;
    for (int32_t width = 1; width <= 100; ++width)
        shapes.push_back({width, 1 + width % 3, (width % 2) * 5, (width % 3) * 3});
    for (int32_t width : {127, 128, 129, 1919, 1920, 1921})
        for (int32_t padding : {0, 1, 64})
            shapes.push_back({width, 3, padding, padding == 0 ? 0 : padding + 2});
    return shapes;
}

using TMove = int32_t (*)(TPixelMoveVariant, const void*, int32_t, void*, int32_t, int32_t,
                          int32_t);

// Every variant must leave a destination byte-for-byte equal to the byte loop's, including the
// bytes it must not touch.
void ExpectVariantsMatchByteLoop(TMove move, int32_t sourceSize, int32_t destSize) {
    std::mt19937 random(1234);
    int compared = 0;
    for (TPixelMoveVariant variant : AllPixelMoveVariants) {
        if (variant == TPixelMoveVariant::Bytes)
            continue;
        if (!PixelMoveVariantSupported(variant)) {
            GTEST_LOG_(INFO) << PixelMoveVariantName(variant) << " not supported here";
            continue;
        }
        ++compared;
        for (const TShape& shape : Shapes())
            for (size_t sourceOffset : {0, 1, 3})
                for (size_t destOffset : {0, 2, 4, 7}) {
                    TImage source(shape.Width, shape.Height, sourceSize, shape.SourcePadding,
                                  sourceOffset, random);
                    TImage expected(shape.Width, shape.Height, destSize, shape.DestPadding,
                                    destOffset, random);
                    TImage actual = expected;
                    ASSERT_EQ(move(TPixelMoveVariant::Bytes, source.First(), source.Pitch,
                                   expected.First(), expected.Pitch, shape.Width, shape.Height),
                              PixelMoveOK);
                    ASSERT_EQ(move(variant, source.First(), source.Pitch, actual.First(),
                                   actual.Pitch, shape.Width, shape.Height),
                              PixelMoveOK);
                    const auto difference = std::mismatch(actual.Bytes.begin(), actual.Bytes.end(),
                                                          expected.Bytes.begin());
                    ASSERT_TRUE(difference.first == actual.Bytes.end())
                        << "byte " << (difference.first - actual.Bytes.begin()) << " of "
                        << PixelMoveVariantName(variant) << " width " << shape.Width << " height "
                        << shape.Height << " pitches " << source.Pitch << "/" << actual.Pitch
                        << " offsets " << sourceOffset << "/" << destOffset;
                }
    }
    if (compared == 0)
        GTEST_SKIP() << "no vector variant runs on this processor";
}

}  // namespace

TEST(PixelMove, ByteLoopsMoveTheColourBytesOnly) {
    // Two rows of two pixels, destination rows padded by two bytes.
    const uint8_t four[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint8_t three[14];
    std::memset(three, 0xEE, sizeof three);
    ASSERT_EQ(PixelMove32b24b(TPixelMoveVariant::Bytes, four, 8, three, 8, 2, 2), PixelMoveOK);
    const uint8_t expectedThree[] = {1, 2, 3, 5, 6, 7, 0xEE, 0xEE, 9, 10, 11, 13, 14, 15};
    EXPECT_EQ(std::memcmp(three, expectedThree, sizeof three), 0);

    uint8_t back[16];
    std::memset(back, 0xA0, sizeof back);
    ASSERT_EQ(PixelMove24b32b(TPixelMoveVariant::Bytes, expectedThree, 8, back, 8, 2, 2),
              PixelMoveOK);
    const uint8_t expectedBack[] = {1, 2,  3,  0xA0, 5,  6,  7,  0xA0,
                                    9, 10, 11, 0xA0, 13, 14, 15, 0xA0};
    EXPECT_EQ(std::memcmp(back, expectedBack, sizeof back), 0);
}

TEST(PixelMove, VariantsMatchTheByteLoop32To24) {
    ExpectVariantsMatchByteLoop(PixelMove32b24b, 4, 3);
}

TEST(PixelMove, VariantsMatchTheByteLoop24To32) {
    ExpectVariantsMatchByteLoop(PixelMove24b32b, 3, 4);
}

TEST(PixelMove, RowsFollowAnyPitchIncludingNegative) {
    // Rows stored bottom-up: the first row is the last in memory and the pitch is negative.
    std::mt19937 random(5);
    const int32_t width = 37, height = 4;
    for (TPixelMoveVariant variant : AllPixelMoveVariants) {
        if (!PixelMoveVariantSupported(variant))
            continue;
        std::vector<uint8_t> source = RandomBytes(size_t(width) * 4 * height, random);
        std::vector<uint8_t> dest(size_t(width) * 3 * height, 0);
        const uint8_t* lastSourceRow = source.data() + size_t(height - 1) * width * 4;
        ASSERT_EQ(PixelMove32b24b(variant, lastSourceRow, -width * 4, dest.data(), width * 3, width,
                                  height),
                  PixelMoveOK);
        for (int32_t row = 0; row < height; ++row)
            for (int32_t x = 0; x < width; ++x)
                for (int32_t c = 0; c < 3; ++c)
                    ASSERT_EQ(dest[size_t(row * width * 3 + x * 3 + c)],
                              lastSourceRow[ptrdiff_t(-row) * width * 4 + x * 4 + c])
                        << PixelMoveVariantName(variant);
    }
}

TEST(PixelMove, RefusesNullPointersBeforeBadSizesAndUnknownVariants) {
    uint8_t buffer[16] = {};
    for (TMove move : {PixelMove32b24b, PixelMove24b32b}) {
        EXPECT_EQ(move(TPixelMoveVariant::Bytes, nullptr, 4, buffer, 4, 0, 1), PixelMoveNilPointer);
        EXPECT_EQ(move(TPixelMoveVariant::Bytes, buffer, 4, nullptr, 4, 1, 1), PixelMoveNilPointer);
        EXPECT_EQ(move(TPixelMoveVariant::Bytes, buffer, 4, buffer, 4, 0, 1), PixelMoveBadSize);
        EXPECT_EQ(move(TPixelMoveVariant::Bytes, buffer, 4, buffer, 4, 1, -1), PixelMoveBadSize);
        EXPECT_EQ(move(static_cast<TPixelMoveVariant>(99), buffer, 4, buffer, 4, 1, 1),
                  PixelMoveNoSuchVariant);
    }
    EXPECT_EQ(PixelFillAlpha(nullptr, 4, 0, 0, 0), PixelMoveNilPointer);
    EXPECT_EQ(PixelFillAlpha(buffer, 4, 1, 0, 0), PixelMoveBadSize);
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0);
    EXPECT_TRUE(PixelMoveVariantSupported(PixelMoveBestVariant()));
}
