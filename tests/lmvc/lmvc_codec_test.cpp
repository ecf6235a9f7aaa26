#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <tuple>
#include <vector>

#include "codecs/lmvc/lmvcDecoder.h"
#include "codecs/lmvc/lmvcEncoder.h"
#include "codecs/lmvc/lmvcPlanar.h"
#include "lmvc/lmvcTestFrames.h"

namespace {

struct TSize {
    int W, H;
};

std::vector<uint8_t> Encode(const std::vector<uint8_t>& frame, const TLmvcFormat& f, int threads) {
    TLmvcEncoder enc;
    EXPECT_TRUE(enc.Configure(f, threads)) << enc.LastError();
    std::vector<uint8_t> out;
    EXPECT_TRUE(enc.EncodeFrame(frame.data(), frame.size(), out)) << enc.LastError();
    EXPECT_LE(out.size(), enc.MaxCompressedSize());
    return out;
}

std::vector<uint8_t> Decode(const std::vector<uint8_t>& data, const TLmvcFormat& f, int threads) {
    TLmvcDecoder dec;
    EXPECT_TRUE(dec.Configure(f, threads)) << dec.LastError();
    std::vector<uint8_t> out(dec.OutputSize(), 0x5A);
    EXPECT_TRUE(dec.DecodeFrame(data.data(), data.size(), out.data(), out.size()))
        << dec.LastError();
    return out;
}

class LmvcRoundTrip : public ::testing::TestWithParam<std::tuple<TTestContent, TSize>> {};

// Every content and size survives exactly, for both depths, both row orders and one to four
// threads; the coded bytes depend only on the picture, not on threads or row order.
TEST_P(LmvcRoundTrip, IsLosslessAndIndependentOfThreadsAndRowOrder) {
    const auto [content, size] = GetParam();
    const auto picture = MakeTestPicture(content, size.W, size.H);
    for (int bits : {24, 32}) {
        std::vector<uint8_t> reference;
        for (bool bottomUp : {false, true}) {
            TLmvcFormat f{size.W, size.H, bits, bottomUp, 0};
            const auto frame = LayOut(picture, f);
            const auto padded = LayOut(picture, f, 0);  // decoded padding is zero
            for (int threads = 1; threads <= 4; ++threads) {
                SCOPED_TRACE(testing::Message() << bits << " bits, bottomUp " << bottomUp << ", "
                                                << threads << " threads");
                auto coded = Encode(frame, f, threads);
                if (reference.empty()) {
                    reference = coded;
                }
                ASSERT_EQ(coded, reference);
                ASSERT_EQ(Decode(coded, f, threads), padded);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Contents, LmvcRoundTrip,
    ::testing::Combine(::testing::Values(TTestContent::Noise, TTestContent::Flat,
                                         TTestContent::Gradient, TTestContent::Graphics,
                                         TTestContent::Photo, TTestContent::Alpha),
                       ::testing::Values(TSize{1, 1}, TSize{3, 2}, TSize{17, 5}, TSize{2, 131},
                                         TSize{33, 67}, TSize{641, 129}, TSize{1920, 1080})),
    [](const auto& info) {
        const TSize s = std::get<1>(info.param);
        return std::string(TestContentName(std::get<0>(info.param))) + "_" + std::to_string(s.W) +
               "x" + std::to_string(s.H);
    });

// One encoder kept over a run of frames whose costly band moves from slice to slice. With the
// band at the top, the threads finish the flat slices below it long before its size is known,
// so they wait in side buffers until it is; with the band lower down, slices go straight into
// place. Every frame equals what a fresh single-thread encoder makes of it and decodes exactly.
TEST(LmvcEncoder, FramesCodedOutOfOrderLandInPlace) {
    const int w = 1920, h = 320;  // ten slices
    const auto noise = MakeTestPicture(TTestContent::Noise, w, h, 3);
    const auto flat = MakeTestPicture(TTestContent::Flat, w, h, 3);
    const TLmvcFormat f{w, h, 32, false, 0};
    for (int threads = 2; threads <= 4; ++threads) {
        TLmvcEncoder enc;
        ASSERT_TRUE(enc.Configure(f, threads));
        for (int band : {0, 0, 5, 9, 0, 3}) {
            SCOPED_TRACE(testing::Message() << threads << " threads, band " << band);
            auto picture = flat;
            const size_t rowBytes = size_t(w) * 4;
            std::copy(noise.begin() + long(band * 32 * rowBytes),
                      noise.begin() + long((band + 1) * 32 * rowBytes),
                      picture.begin() + long(band * 32 * rowBytes));
            const auto frame = LayOut(picture, f);
            std::vector<uint8_t> coded;
            ASSERT_TRUE(enc.EncodeFrame(frame.data(), frame.size(), coded)) << enc.LastError();
            ASSERT_EQ(coded, Encode(frame, f, 1));
            ASSERT_EQ(Decode(coded, f, threads), LayOut(picture, f, 0));
        }
    }
}

// The vector kernels and the plain ones produce the same bytes, and each decodes the other's.
TEST(LmvcSimd, ScalarAndVectorPathsAgree) {
    const TLmvcSimd best = LmvcBestSimd();
    for (TSize size : {TSize{37, 19}, TSize{1920, 64}}) {
        for (TTestContent content :
             {TTestContent::Photo, TTestContent::Alpha, TTestContent::Noise}) {
            const auto picture = MakeTestPicture(content, size.W, size.H, 7);
            for (int bits : {24, 32}) {
                SCOPED_TRACE(testing::Message() << TestContentName(content) << " " << size.W
                                                << " wide, " << bits << " bits");
                TLmvcFormat f{size.W, size.H, bits, true, 0};
                const auto frame = LayOut(picture, f);
                LmvcSetSimd(best);
                const auto vector = Encode(frame, f, 2);
                LmvcSetSimd(TLmvcSimd::Scalar);
                const auto scalar = Encode(frame, f, 2);
                EXPECT_EQ(vector, scalar);
                EXPECT_EQ(Decode(vector, f, 1), LayOut(picture, f, 0));
                LmvcSetSimd(best);
                EXPECT_EQ(Decode(scalar, f, 1), LayOut(picture, f, 0));
            }
        }
    }
    LmvcSetSimd(best);
}

// The back-end follows the content: flat planes cost a few bytes, graphics a few per cent,
// noise falls back to stored bytes and never exceeds the announced maximum.
TEST(LmvcCompression, SizeFollowsContent) {
    const int w = 1920, h = 1080;
    const double raw = static_cast<double>(w) * h * 4;
    struct TCase {
        TTestContent content;
        double maxRatio;
        double minRatio;
    } cases[] = {
        {TTestContent::Flat, 0.001, 0.0},    {TTestContent::Graphics, 0.03, 0.0},
        {TTestContent::Gradient, 0.05, 0.0}, {TTestContent::Photo, 0.45, 0.05},
        {TTestContent::Noise, 1.001, 0.999},
    };
    for (const auto& c : cases) {
        TLmvcFormat f{w, h, 32, false, 0};
        const auto coded = Encode(LayOut(MakeTestPicture(c.content, w, h), f), f, 2);
        const double ratio = coded.size() / raw;
        EXPECT_LE(ratio, c.maxRatio) << TestContentName(c.content);
        EXPECT_GE(ratio, c.minRatio) << TestContentName(c.content);
    }
}

// Frames from FFmpeg's test sources: a test card, colour bars and a fractal.
TEST(LmvcCompression, FFmpegTestSourcesRoundTrip) {
    struct TCase {
        const char* source;
        double maxRatio;
    } cases[] = {{"testsrc2", 0.04}, {"smptehdbars", 0.002}, {"mandelbrot", 0.2}};
    const int w = 1920, h = 1080;
    for (const auto& c : cases) {
        const std::string path = std::string(LMV_TEST_BINARY_DIR) + "/lmvc_" + c.source + ".raw";
        const std::string command = std::string("ffmpeg -v error -y -f lavfi -i ") + c.source +
                                    "=size=1920x1080:rate=25 -frames:v 1 -pix_fmt bgra -f "
                                    "rawvideo '" +
                                    path + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> picture{std::istreambuf_iterator<char>(in), {}};
        std::remove(path.c_str());
        ASSERT_EQ(picture.size(), size_t(w) * h * 4);
        for (int bits : {24, 32}) {
            TLmvcFormat f{w, h, bits, true, 0};
            const auto coded = Encode(LayOut(picture, f), f, 2);
            EXPECT_LE(coded.size(), c.maxRatio * w * h * bits / 8) << c.source << " " << bits;
            EXPECT_EQ(Decode(coded, f, 2), LayOut(picture, f, 0)) << c.source << " " << bits;
        }
    }
}

// A frame can be decoded to the other depth: alpha is dropped, or set opaque when missing.
TEST(LmvcDecoder, ConvertsBetweenDepths) {
    const int w = 45, h = 70;
    const auto picture = MakeTestPicture(TTestContent::Alpha, w, h);
    TLmvcFormat f32{w, h, 32, false, 0};
    TLmvcFormat f24{w, h, 24, true, 0};
    EXPECT_EQ(Decode(Encode(LayOut(picture, f32), f32, 1), f24, 2), LayOut(picture, f24, 0));
    auto opaque = picture;
    for (size_t i = 3; i < opaque.size(); i += 4) {
        opaque[i] = 0xFF;
    }
    EXPECT_EQ(Decode(Encode(LayOut(picture, f24), f24, 1), f32, 2), LayOut(opaque, f32, 0));
}

// A caller's own stride: padding of any size is ignored on input and cleared on output.
TEST(LmvcEncoder, HonoursExplicitStride) {
    const auto picture = MakeTestPicture(TTestContent::Graphics, 50, 40);
    TLmvcFormat wide{50, 40, 24, false, 50 * 3 + 13};
    TLmvcFormat packed{50, 40, 24, false, 50 * 3};
    const auto coded = Encode(LayOut(picture, wide), wide, 1);
    EXPECT_EQ(coded, Encode(LayOut(picture, packed), packed, 1));
    EXPECT_EQ(Decode(coded, wide, 1), LayOut(picture, wide, 0));
}

TEST(LmvcEncoder, RefusesBadSettings) {
    struct TCase {
        TLmvcFormat format;
        int threads;
    } cases[] = {
        {{0, 10, 32, false, 0}, 1},    {{10, 0, 32, false, 0}, 1},
        {{10, 10, 16, false, 0}, 1},   {{10, 10, 24, false, 29}, 1},
        {{10, 10, 32, false, 0}, 0},   {{10, 10, 32, false, 0}, 65},
        {{65536, 1, 32, false, 0}, 1}, {{20000, 20000, 32, false, 0}, 1},
    };
    for (const auto& c : cases) {
        TLmvcEncoder enc;
        TLmvcDecoder dec;
        EXPECT_FALSE(enc.Configure(c.format, c.threads));
        EXPECT_FALSE(enc.LastError().empty());
        EXPECT_FALSE(dec.Configure(c.format, c.threads));
        EXPECT_FALSE(dec.LastError().empty());
    }
}

TEST(LmvcEncoder, RefusesShortBuffers) {
    TLmvcFormat f{16, 16, 32, false, 0};
    TLmvcEncoder enc;
    ASSERT_TRUE(enc.Configure(f, 1));
    std::vector<uint8_t> frame(enc.InputSize() - 1);
    std::vector<uint8_t> out(enc.MaxCompressedSize());
    size_t written = 1;
    EXPECT_FALSE(enc.EncodeFrame(frame.data(), frame.size(), out.data(), out.size(), written));
    EXPECT_EQ(written, 0u);
    frame.resize(enc.InputSize());
    EXPECT_FALSE(enc.EncodeFrame(frame.data(), frame.size(), out.data(), out.size() - 1, written));
    EXPECT_TRUE(enc.EncodeFrame(frame.data(), frame.size(), out.data(), out.size(), written));
}

TEST(LmvcDecoder, RefusesFrameOfAnotherSizeOrShortOutput) {
    TLmvcFormat f{16, 16, 32, false, 0};
    const auto coded = Encode(LayOut(MakeTestPicture(TTestContent::Photo, 16, 16), f), f, 1);
    TLmvcDecoder dec;
    ASSERT_TRUE(dec.Configure({16, 17, 32, false, 0}, 1));
    std::vector<uint8_t> out(dec.OutputSize());
    EXPECT_FALSE(dec.DecodeFrame(coded.data(), coded.size(), out.data(), out.size()));
    EXPECT_NE(dec.LastError().find("16x16"), std::string::npos) << dec.LastError();
    ASSERT_TRUE(dec.Configure(f, 1));
    EXPECT_FALSE(dec.DecodeFrame(coded.data(), coded.size(), out.data(), dec.OutputSize() - 1));
    TLmvcFrameInfo info;
    std::string error;
    ASSERT_TRUE(TLmvcDecoder::ReadFrameInfo(coded.data(), coded.size(), info, error));
    EXPECT_EQ(info.Width, 16);
    EXPECT_EQ(info.Height, 16);
    EXPECT_EQ(info.BitCount, 32);
    EXPECT_EQ(info.Size, coded.size());
}

}  // namespace
