#include "server/transcode/lmVmFlipBook.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

std::vector<uint8_t> Bytes(size_t size, uint8_t first) {
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

uint32_t ReadLE32(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

TEST(FlipBook, EmptyBookIsTheBareHeader) {
    TFlipBook book;
    EXPECT_EQ(book.SizeInBytes(), 51u);
    std::vector<uint8_t> stream;
    book.SaveToStream(stream);
    std::vector<uint8_t> expected(51, 0);
    expected[0] = 2;
    EXPECT_EQ(stream, expected);
}

TEST(FlipBook, FramesFollowTheHeaderWithTheirLengths) {
    TFlipBook book;
    const std::vector<uint8_t> first = Bytes(1000, 1), second = Bytes(1200, 7);
    ASSERT_TRUE(book.AddFrame(first));
    ASSERT_TRUE(book.AddFrame(second));
    EXPECT_EQ(book.Count(), 2);
    EXPECT_EQ(book.SizeInBytes(), 2259u);

    std::vector<uint8_t> stream = {0xEE};  // saving appends behind what the stream holds
    book.SaveToStream(stream);
    ASSERT_EQ(stream.size(), 1 + 2259u);
    stream.erase(stream.begin());
    EXPECT_EQ(stream[0], 2);
    EXPECT_EQ(stream[1], 2);
    EXPECT_EQ(stream[2], 0);
    for (size_t i = 3; i < 51; ++i)
        EXPECT_EQ(stream[i], 0) << i;
    EXPECT_EQ(ReadLE32(stream, 51), 1000u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), stream.begin() + 55));
    EXPECT_EQ(ReadLE32(stream, 1055), 1200u);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), stream.begin() + 1059));

    // Saving twice gives the same bytes; Clear empties the book.
    std::vector<uint8_t> again;
    book.SaveToStream(again);
    EXPECT_EQ(again, stream);
    book.Clear();
    EXPECT_EQ(book.Count(), 0);
    EXPECT_EQ(book.SizeInBytes(), 51u);
}

TEST(FlipBook, FrameCountStopsAtTheWidthOfItsField) {
    TFlipBook book;
    for (int i = 0; i < TFlipBook::MaxFrames; ++i)
        ASSERT_TRUE(book.AddFrame({1}));
    EXPECT_FALSE(book.AddFrame({1}));
    EXPECT_EQ(book.Count(), 0xFFFF);
    std::vector<uint8_t> stream;
    book.SaveToStream(stream);
    EXPECT_EQ(stream[1], 0xFF);
    EXPECT_EQ(stream[2], 0xFF);
    EXPECT_EQ(stream.size(), book.SizeInBytes());
}

}  // namespace
