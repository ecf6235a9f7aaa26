#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcChecksum.h"
#include "codecs/lmvc/lmvcDecoder.h"
#include "codecs/lmvc/lmvcEncoder.h"
#include "lmvc/lmvcTestFrames.h"

namespace {

using TBytes = std::vector<uint8_t>;

TBytes Plane(uint8_t method, const TBytes& payload, long sizeField = -1) {
    TBytes out{method, 0, 0, 0, 0};
    StoreLE32(out.data() + 1,
              static_cast<uint32_t>(sizeField < 0 ? static_cast<long>(payload.size()) : sizeField));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// A one-slice frame assembled by hand from its planes, with a correct checksum.
TBytes Frame(int w, int h, int bits, const std::vector<TBytes>& planes, uint8_t version = 1) {
    TBytes slice;
    for (const auto& p : planes) {
        slice.insert(slice.end(), p.begin(), p.end());
    }
    TBytes f(kLmvcHeaderSize + kLmvcSliceEntrySize);
    std::memcpy(f.data(), "LMVC", 4);
    f[4] = version;
    f[5] = static_cast<uint8_t>(bits);
    f[6] = bits == 32 ? 4 : 3;
    StoreLE32(f.data() + 8, static_cast<uint32_t>(w));
    StoreLE32(f.data() + 12, static_cast<uint32_t>(h));
    StoreLE16(f.data() + 16, 1);
    StoreLE32(f.data() + 20, static_cast<uint32_t>(f.size() + slice.size()));
    StoreLE32(f.data() + 24, static_cast<uint32_t>(slice.size()));
    StoreLE32(f.data() + 28, LmvcCrc32c(slice.data(), slice.size()));
    f.insert(f.end(), slice.begin(), slice.end());
    return f;
}

// The planes of a 4 x 1 BGRA picture, one per coding method:
// G: zero runs, residuals 7 0 0 0 (literal 7, then a run of three zeros: class 1, extra bit 0);
// B-G: Huffman, residuals 1 0 0 1 with codes 0 -> "0", 1 -> "1";
// R-G: stored residuals 5 255 0 0; A: constant 0x80.
const TBytes kRunsPlane = Plane(3, {0xD5, 0x1E, 0xE7, 0x1E, 0x0C, 0x40});
const TBytes kHuffmanPlane = Plane(2, {0x11, 0xEE, 0xC0, 0x90});
const TBytes kRawPlane = Plane(0, {5, 0xFF, 0, 0});
const TBytes kConstantPlane = Plane(1, {0x80});
// B-G again in four streams (the code of kHuffmanPlane): sizes 1, 1, 1, then one byte per
// stream holding residual 1, 0, 0 and 1.
const TBytes kStreamsPayload = {0x11, 0xEE, 0xC0, 1, 0, 0,    0,    1,    0,   0,
                                0,    1,    0,    0, 0, 0x80, 0x00, 0x00, 0x80};
const TBytes kExpectedPixels = {8, 7, 12, 0x80, 8, 7, 11, 0x80, 8, 7, 11, 0x80, 9, 7, 11, 0x80};

bool DecodeTiny(const TBytes& frame, TBytes& out, std::string& error) {
    TLmvcDecoder dec;
    EXPECT_TRUE(dec.Configure({4, 1, 32, false, 0}, 1));
    out.assign(dec.OutputSize(), 0);
    bool ok = dec.DecodeFrame(frame.data(), frame.size(), out.data(), out.size());
    error = dec.LastError();
    return ok;
}

TEST(LmvcBitstream, SliceChecksumIsCrc32c) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(LmvcCrc32c(check, sizeof check), 0xE3069283u);
    EXPECT_EQ(LmvcCrc32c(check, 0), 0u);
    // Long buffers are summed in parts side by side and joined; a bit-at-a-time sum checks the
    // joins, around the part boundaries and with tails of every length.
    std::mt19937 rng(3);
    TBytes data(3 * 12288 + 64);
    for (auto& b : data) {
        b = static_cast<uint8_t>(rng());
    }
    for (size_t len : {size_t{1}, size_t{7}, size_t{12287}, size_t{12288}, size_t{12289},
                       size_t{24576 + 3}, data.size()}) {
        uint32_t crc = 0xFFFFFFFFu;
        for (size_t i = 0; i < len; ++i) {
            crc ^= data[i];
            for (int k = 0; k < 8; ++k) {
                crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1)));
            }
        }
        EXPECT_EQ(LmvcCrc32c(data.data(), len), crc ^ 0xFFFFFFFFu) << len;
    }
}

TEST(LmvcBitstream, HandBuiltFrameDecodesToKnownPixels) {
    TBytes out;
    std::string error;
    ASSERT_TRUE(DecodeTiny(Frame(4, 1, 32, {kRunsPlane, kHuffmanPlane, kRawPlane, kConstantPlane}),
                           out, error))
        << error;
    EXPECT_EQ(out, kExpectedPixels);
    ASSERT_TRUE(DecodeTiny(
        Frame(4, 1, 32, {kRunsPlane, Plane(4, kStreamsPayload), kRawPlane, kConstantPlane}, 2), out,
        error))
        << error;
    EXPECT_EQ(out, kExpectedPixels);
    // Residual i comes from stream i % 4: streams holding 1, 1, 0, 0 give B-G = 1, 2, 2, 2.
    TBytes other(kStreamsPayload.begin(), kStreamsPayload.end() - 4);
    other.insert(other.end(), {0x80, 0x80, 0x00, 0x00});
    ASSERT_TRUE(DecodeTiny(
        Frame(4, 1, 32, {kRunsPlane, Plane(4, other), kRawPlane, kConstantPlane}, 2), out, error))
        << error;
    EXPECT_EQ(out, TBytes({8, 7, 12, 0x80, 9, 7, 11, 0x80, 9, 7, 11, 0x80, 9, 7, 11, 0x80}));
}

// The predictor in the method byte's high bits: gradient (0) or left neighbour only (1).
TEST(LmvcBitstream, PredictorsOfAHandBuiltFrame) {
    struct TCase {
        uint8_t methodByte;
        TBytes green;  // rows of two pixels
    } cases[] = {{0x00, {10, 11, 30, 33}}, {0x10, {10, 11, 20, 22}}};
    for (const auto& c : cases) {
        const TBytes frame =
            Frame(2, 2, 24, {Plane(c.methodByte, {10, 1, 20, 2}), Plane(1, {0}), Plane(1, {0})});
        TLmvcDecoder dec;
        ASSERT_TRUE(dec.Configure({2, 2, 24, false, 8}, 1));
        TBytes out(dec.OutputSize());
        ASSERT_TRUE(dec.DecodeFrame(frame.data(), frame.size(), out.data(), out.size()))
            << dec.LastError();
        for (int i = 0; i < 4; ++i) {
            const uint8_t* px = out.data() + (i / 2) * 8 + (i % 2) * 3;
            EXPECT_EQ(px[0], c.green[i]);
            EXPECT_EQ(px[1], c.green[i]);
            EXPECT_EQ(px[2], c.green[i]);
        }
    }
}

TEST(LmvcBitstream, DamagedPlanesAreRefused) {
    auto streams = [](std::initializer_list<uint8_t> sizesAndStreams) {
        TBytes payload(kStreamsPayload.begin(), kStreamsPayload.begin() + 3);
        payload.insert(payload.end(), sizesAndStreams);
        return Plane(4, payload);
    };
    struct TCase {
        const char* name;
        TBytes plane;  // replaces the B-G plane
        const char* error;
        uint8_t version = 2;
    } cases[] = {
        {"raw too short", Plane(0, {1, 2, 3}), "raw plane has the wrong size"},
        {"constant too long", Plane(1, {1, 2}), "constant plane has the wrong size"},
        {"unknown method", Plane(5, {0}), "unknown plane method"},
        {"streams in a version 1 frame", Plane(4, kStreamsPayload), "unknown plane method", 1},
        {"stream sizes cut short", streams({1, 0, 0, 0, 1, 0}), "stream sizes missing"},
        {"stream past plane", streams({1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0x80}),
         "stream runs past its plane"},
        {"last stream empty", streams({1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x80, 0, 0}),
         "truncated"},
        {"unknown predictor", Plane(0x21, {0}), "unknown predictor"},
        {"size past slice", Plane(0, {1, 2, 3, 4}, 100), "plane runs past its slice"},
        {"table cut short", Plane(2, {0x11}), "damaged code table"},
        {"bad table nibble", Plane(2, {0xF0, 0, 0}), "damaged code table"},
        {"overfull code", Plane(2, {0x11, 0x1E, 0xEB, 0x90}), "invalid code lengths"},
        {"empty code", Plane(2, {0xEE, 0xE0}), "invalid code lengths"},
        {"unused code", Plane(2, {0x22, 0xEE, 0xC0, 0xFF}), "invalid Huffman code"},
        {"bits missing", Plane(2, {0x11, 0xEE, 0xC0}), "truncated"},
        {"run past end", Plane(3, {0xD5, 0x1E, 0xE7, 0x1E, 0x0C, 0x60}), "zero run past the end"},
    };
    for (const auto& c : cases) {
        TBytes out;
        std::string error;
        const bool ok =
            DecodeTiny(Frame(4, 1, 32, {kRunsPlane, c.plane, kRawPlane, kConstantPlane}, c.version),
                       out, error);
        EXPECT_FALSE(ok) << c.name;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    }
    TBytes out;
    std::string error;
    TBytes extra = kConstantPlane;
    extra.push_back(0);
    EXPECT_FALSE(
        DecodeTiny(Frame(4, 1, 32, {kRunsPlane, kHuffmanPlane, kRawPlane, extra}), out, error));
    EXPECT_NE(error.find("unexpected bytes"), std::string::npos) << error;
    EXPECT_FALSE(DecodeTiny(Frame(4, 1, 32, {kRunsPlane, kHuffmanPlane, kRawPlane}), out, error));
    EXPECT_NE(error.find("plane header missing"), std::string::npos) << error;
}

TEST(LmvcBitstream, DamagedHeadersAreRefused) {
    const TBytes good = Frame(4, 1, 32, {kRunsPlane, kHuffmanPlane, kRawPlane, kConstantPlane});
    struct TCase {
        const char* name;
        size_t offset;
        uint8_t value;
        const char* error;
    } cases[] = {
        {"magic", 0, 'X', "not an LMVC frame"},
        {"version", 4, 3, "unsupported LMVC version 3"},
        {"version zero", 4, 0, "unsupported LMVC version 0"},
        {"depth", 5, 16, "unsupported pixel layout"},
        {"plane count", 6, 3, "unsupported pixel layout"},
        {"flags", 7, 1, "unsupported pixel layout"},
        {"width", 8, 0, "frame size out of range"},
        {"slices zero", 16, 0, "invalid slice count"},
        {"slices over height", 16, 2, "invalid slice count"},
        {"total too large", 20, 0xFF, "frame truncated"},
        {"slice size", 24, 1, "slice table does not match"},
        {"checksum", 28, 0, "checksum mismatch"},
        {"slice byte", 40, 0x55, "checksum mismatch"},
    };
    for (const auto& c : cases) {
        TBytes frame = good;
        frame[c.offset] = c.value;
        TBytes out;
        std::string error;
        EXPECT_FALSE(DecodeTiny(frame, out, error)) << c.name;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    }
}

class LmvcEncodedFrame : public ::testing::Test {
  protected:
    // Several slices; planes of several methods.
    void SetUp() override {
        FFormat = {23, 150, 32, false, 0};
        TLmvcEncoder enc;
        ASSERT_TRUE(enc.Configure(FFormat, 1));
        ASSERT_TRUE(
            enc.EncodeFrame(LayOut(MakeTestPicture(TTestContent::Alpha, 23, 150), FFormat).data(),
                            enc.InputSize(), FCoded));
        ASSERT_TRUE(FDecoder.Configure(FFormat, 2));
        FOut.resize(FDecoder.OutputSize());
    }
    bool Decode(const TBytes& frame) {
        return FDecoder.DecodeFrame(frame.data(), frame.size(), FOut.data(), FOut.size());
    }
    TLmvcFormat FFormat;
    TBytes FCoded;
    TBytes FOut;
    TLmvcDecoder FDecoder;
};

TEST_F(LmvcEncodedFrame, EveryTruncationIsRefused) {
    ASSERT_TRUE(Decode(FCoded));
    for (size_t len = 0; len < FCoded.size(); ++len) {
        TBytes cut(FCoded.begin(), FCoded.begin() + static_cast<long>(len));
        ASSERT_FALSE(Decode(cut)) << "length " << len;
        ASSERT_FALSE(FDecoder.LastError().empty());
    }
}

// One flipped bit in every byte, the bit's position moving along.
TEST_F(LmvcEncodedFrame, ABitFlipAnywhereIsRefused) {
    for (size_t byte = 0; byte < FCoded.size(); ++byte) {
        TBytes frame = FCoded;
        frame[byte] ^= static_cast<uint8_t>(1u << (byte % 8));
        ASSERT_FALSE(Decode(frame)) << "byte " << byte;
    }
}

// With checksums off, random damage reaches the plane decoders; it may decode to wrong
// pixels or be refused, but never touches memory outside the buffers (run under ASan).
TEST_F(LmvcEncodedFrame, RandomDamageBehindTheChecksumsIsContained) {
    FDecoder.SetVerifyChecksums(false);
    std::mt19937 rng(5);
    for (TTestContent content :
         {TTestContent::Noise, TTestContent::Flat, TTestContent::Graphics, TTestContent::Photo}) {
        TLmvcEncoder enc;
        ASSERT_TRUE(enc.Configure(FFormat, 1));
        TBytes coded;
        ASSERT_TRUE(enc.EncodeFrame(LayOut(MakeTestPicture(content, 23, 150), FFormat).data(),
                                    enc.InputSize(), coded));
        const size_t protectedBytes =
            kLmvcHeaderSize + LoadLE16(coded.data() + 16) * kLmvcSliceEntrySize;
        int refused = 0;
        for (int round = 0; round < 3000; ++round) {
            TBytes frame = coded;
            int changes = 1 + static_cast<int>(rng() % 4);
            for (int k = 0; k < changes; ++k) {
                size_t pos = protectedBytes + rng() % (frame.size() - protectedBytes);
                frame[pos] = static_cast<uint8_t>(rng());
            }
            refused += Decode(frame) ? 0 : 1;
        }
        EXPECT_GT(refused, 0) << TestContentName(content);
    }
}

}  // namespace
