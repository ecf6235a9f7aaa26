#include "server/transcode/lmVmPNGImage.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <random>

namespace {

struct TDecoded {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0;
    std::vector<uint8_t> rgba;  // top row first
};

struct TReadSource {
    const std::vector<uint8_t>* bytes;
    size_t pos;
};

void ReadFromVector(png_structp png, png_bytep out, png_size_t size) {
    auto* source = static_cast<TReadSource*>(png_get_io_ptr(png));
    if (source->pos + size > source->bytes->size())
        png_error(png, "read past end");
    std::memcpy(out, source->bytes->data() + source->pos, size);
    source->pos += size;
}

// Reads a PNG file with libpng's own reader, without any transformation, so the test sees
// the colour type and samples exactly as stored.
bool Decode(const std::vector<uint8_t>& bytes, TDecoded& result) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    TReadSource source{&bytes, 0};
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &source, ReadFromVector);
    png_read_info(png, info);
    int interlace = 0;
    png_get_IHDR(png, info, &result.width, &result.height, &result.bitDepth, &result.colourType,
                 &interlace, nullptr, nullptr);
    result.rgba.assign(png_get_rowbytes(png, info) * result.height, 0);
    for (png_uint_32 y = 0; y < result.height; ++y)
        rows.push_back(result.rgba.data() + y * png_get_rowbytes(png, info));
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

std::vector<uint8_t> RandomBGRA(int width, int height, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (uint8_t& byte : pixels)
        byte = static_cast<uint8_t>(random());
    return pixels;
}

TEST(PNGImage, ReadsBackAsTheInputPixelsForBothRowOrders) {
    const int width = 13, height = 7;
    const std::vector<uint8_t> topDown = RandomBGRA(width, height, 1);
    std::vector<uint8_t> bottomUp(topDown.size());
    for (int y = 0; y < height; ++y)
        std::memcpy(&bottomUp[(height - 1 - y) * width * 4], &topDown[y * width * 4], width * 4);

    std::vector<uint8_t> fromTop, fromBottom;
    ASSERT_TRUE(EncodePNGStream(topDown.data(), width, true, height, fromTop));
    ASSERT_TRUE(EncodePNGStream(bottomUp.data(), width, false, height, fromBottom));
    EXPECT_EQ(fromTop, fromBottom);

    TDecoded decoded;
    ASSERT_TRUE(Decode(fromTop, decoded));
    EXPECT_EQ(decoded.width, 13u);
    EXPECT_EQ(decoded.height, 7u);
    EXPECT_EQ(decoded.bitDepth, 8);
    EXPECT_EQ(decoded.colourType, PNG_COLOR_TYPE_RGB_ALPHA);
    ASSERT_EQ(decoded.rgba.size(), topDown.size());
    for (size_t i = 0; i < topDown.size(); i += 4) {
        ASSERT_EQ(decoded.rgba[i + 0], topDown[i + 2]) << i;  // red
        ASSERT_EQ(decoded.rgba[i + 1], topDown[i + 1]) << i;  // green
        ASSERT_EQ(decoded.rgba[i + 2], topDown[i + 0]) << i;  // blue
        ASSERT_EQ(decoded.rgba[i + 3], topDown[i + 3]) << i;  // alpha
    }

    // Our own loader reads the same pixels.
    const std::unique_ptr<TPNGImage> loaded =
        TPNGImage::LoadFromStream(fromTop.data(), fromTop.size());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(std::memcmp(loaded->Pixels(), decoded.rgba.data(), decoded.rgba.size()), 0);
}

TEST(PNGImage, SavedImageAppendsAndReadsBackUnchanged) {
    // Noise that does not compress, a smooth ramp and a flat image: every one comes back with
    // the same samples, and what the stream held before stays in front of the file.
    struct TCase {
        const char* name;
        int width, height;
        std::vector<uint8_t> bgra;
    };
    std::vector<TCase> cases;
    cases.push_back({"noise", 301, 77, RandomBGRA(301, 77, 5)});
    std::vector<uint8_t> ramp(64 * 40 * 4);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<uint8_t>(i / 4 % 64 * 4 + i % 4);
    cases.push_back({"ramp", 64, 40, ramp});
    cases.push_back({"flat", 320, 180, std::vector<uint8_t>(320 * 180 * 4, 0x5A)});
    cases.push_back({"one pixel", 1, 1, RandomBGRA(1, 1, 6)});
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::unique_ptr<TPNGImage> png = EncodePNG(c.bgra.data(), c.width, c.height, true);
        ASSERT_NE(png, nullptr);
        std::vector<uint8_t> stream = {7, 8, 9};
        ASSERT_TRUE(png->SaveToStream(stream));
        ASSERT_GT(stream.size(), 3u);
        EXPECT_EQ(stream[0], 7);
        EXPECT_EQ(stream[2], 9);
        const std::vector<uint8_t> file(stream.begin() + 3, stream.end());
        TDecoded decoded;
        ASSERT_TRUE(Decode(file, decoded));
        EXPECT_EQ(decoded.colourType, PNG_COLOR_TYPE_RGB_ALPHA);
        ASSERT_EQ(decoded.rgba.size(), c.bgra.size());
        EXPECT_EQ(std::memcmp(decoded.rgba.data(), png->Pixels(), c.bgra.size()), 0);

        std::vector<uint8_t> direct;
        ASSERT_TRUE(EncodePNGStream(c.bgra.data(), c.width, true, c.height, direct));
        EXPECT_EQ(direct, file);
    }
    // Flat areas must still shrink to almost nothing.
    std::vector<uint8_t> flat;
    ASSERT_TRUE(EncodePNGStream(cases[2].bgra.data(), 320, true, 180, flat));
    EXPECT_LT(flat.size(), 2000u);
}

TEST(PNGImage, EmptyOrMissingBlocksGiveNoImage) {
    const std::vector<uint8_t> pixels = RandomBGRA(4, 4, 2);
    EXPECT_EQ(EncodePNG(pixels.data(), 4, 0, true), nullptr);
    EXPECT_EQ(EncodePNG(pixels.data(), 0, 4, true), nullptr);
    EXPECT_EQ(EncodePNG(pixels.data(), -1, 4, true), nullptr);
    EXPECT_EQ(EncodePNG(nullptr, 4, 4, true), nullptr);
    std::vector<uint8_t> stream = {1, 2, 3};
    EXPECT_FALSE(EncodePNGStream(pixels.data(), 4, true, 0, stream));
    EXPECT_TRUE(stream.empty());
    EXPECT_EQ(TPNGImage::LoadFromStream(pixels.data(), pixels.size()), nullptr);
}

std::unique_ptr<TPNGImage> Uniform(int size, uint8_t value, uint8_t alpha) {
    std::vector<uint8_t> pixels(size * size * 4, value);
    for (size_t i = 3; i < pixels.size(); i += 4)
        pixels[i] = alpha;
    return EncodePNG(pixels.data(), size, size, true);
}

TEST(PNGImage, TransparentImageShowsTheCheckerboard) {
    std::unique_ptr<TPNGImage> png = Uniform(16, 0, 0);
    ASSERT_NE(png, nullptr);
    FlattenOnCheckerboard(png.get(), 8, 0x7C7C7C, 0x6C6C6C);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const uint8_t* pixel = png->Pixels() + (y * 16 + x) * 4;
            const uint8_t expected = ((y / 8) == (x / 8)) ? 0x7B : 0x6B;
            ASSERT_EQ(pixel[0], expected) << x << "," << y;
            ASSERT_EQ(pixel[1], expected);
            ASSERT_EQ(pixel[2], expected);
            ASSERT_EQ(pixel[3], 255);
        }
}

TEST(PNGImage, CheckerboardBlendKeepsChannelsApart) {
    // An opaque white pixel loses one step; a half-transparent one mixes per channel.
    std::unique_ptr<TPNGImage> png = Uniform(1, 255, 255);
    FlattenOnCheckerboard(png.get(), 8, 0x7C7C7C, 0x6C6C6C);
    EXPECT_EQ(png->Pixels()[0], 254);
    EXPECT_EQ(png->Pixels()[3], 255);

    const uint8_t bgra[4] = {0x40, 0x80, 0xC0, 128};
    png = EncodePNG(bgra, 1, 1, true);
    FlattenOnCheckerboard(png.get(), 8, 0x102030, 0);
    // red: 0x10*127/256 + 0xC0*128/256 = 7 + 96; green 0x20: 15 + 64; blue 0x30: 23 + 32
    EXPECT_EQ(png->Pixels()[0], 103);
    EXPECT_EQ(png->Pixels()[1], 79);
    EXPECT_EQ(png->Pixels()[2], 55);
    EXPECT_EQ(png->Pixels()[3], 255);

    FlattenOnCheckerboard(nullptr, 8, 0, 0);  // no image: nothing happens
    png = Uniform(2, 10, 0);
    FlattenOnCheckerboard(png.get(), 0, 0x7C7C7C, 0x6C6C6C);
    EXPECT_EQ(png->Pixels()[3], 0);  // no square size: left alone
}

}  // namespace
