#include "plugins/lvf/lvfCodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxByteOrder.h"
#include "plugins/lvf/lmCompression.h"
#include "plugins/lvf/lvfWriter.h"
#include "support/TestWait.h"

namespace fs = std::filesystem;
using testing_support::FinishesWithin;

namespace {

using TBytes = std::vector<uint8_t>;

void Append(TBytes& bytes, std::initializer_list<uint8_t> more) {
    bytes.insert(bytes.end(), more);
}

void AppendPixel(TBytes& bytes, uint32_t pixel) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(pixel >> (8 * i)));
    }
}

TBytes Pixels(const std::vector<uint32_t>& pixels) {
    TBytes bytes;
    for (uint32_t pixel : pixels) {
        AppendPixel(bytes, pixel);
    }
    return bytes;
}

TBytes Encode(const TBytes& pixels) {
    TRLECodec codec;
    TBytes out(TRLECodec::MaxEncodedSize(pixels.size()));
    size_t size = 0;
    codec.Encode(pixels.data(), out.data(), size, pixels.size());
    EXPECT_LE(size, out.size());
    out.resize(size);
    return out;
}

constexpr uint32_t A = 0xFF102030, B = 0x80405060, C = 0x00708090;

TEST(RLECodecTest, EncodesPacketsAsSpecifiedAndDecodesThemBack) {
    std::vector<uint32_t> distinct130(130);
    for (uint32_t i = 0; i < 130; ++i) {
        distinct130[i] = i * 7919u;
    }
    struct Case {
        const char* name;
        std::vector<uint32_t> pixels;
        std::function<TBytes()> expected;
    };
    const std::vector<Case> cases = {
        {"three different pixels: literal of two, then the last alone",
         {A, B, C},
         [] {
             TBytes e = {0x01};
             AppendPixel(e, A), AppendPixel(e, B), Append(e, {0x00}), AppendPixel(e, C);
             return e;
         }},
        {"200 equal pixels: runs of 128 and 72", std::vector<uint32_t>(200, A),
         [] {
             TBytes e = {0xFF};
             AppendPixel(e, A), Append(e, {0xC7}), AppendPixel(e, A);
             return e;
         }},
        {"a single pixel",
         {B},
         [] {
             TBytes e = {0x00};
             AppendPixel(e, B);
             return e;
         }},
        {"run then a lone last pixel",
         {A, A, B},
         [] {
             TBytes e = {0x81};
             AppendPixel(e, A), Append(e, {0x00}), AppendPixel(e, B);
             return e;
         }},
        {"a literal stops where a run begins",
         {C, A, B, B},
         [] {
             TBytes e = {0x01};
             AppendPixel(e, C), AppendPixel(e, A), Append(e, {0x81}), AppendPixel(e, B);
             return e;
         }},
        {"129 equal pixels: a full run and a lone pixel", std::vector<uint32_t>(129, C),
         [] {
             TBytes e = {0xFF};
             AppendPixel(e, C), Append(e, {0x00}), AppendPixel(e, C);
             return e;
         }},
        {"130 different pixels: a literal of 128, then one each", distinct130,
         [&] {
             TBytes e = {0x7F};
             for (int i = 0; i < 128; ++i) {
                 AppendPixel(e, distinct130[i]);
             }
             Append(e, {0x00}), AppendPixel(e, distinct130[128]);
             Append(e, {0x00}), AppendPixel(e, distinct130[129]);
             return e;
         }},
        {"no pixels", {}, [] { return TBytes{}; }},
    };
    for (const auto& c : cases) {
        const TBytes pixels = Pixels(c.pixels);
        const TBytes encoded = Encode(pixels);
        EXPECT_EQ(encoded, c.expected()) << c.name;
        TRLECodec codec;
        TBytes decoded(pixels.size());
        EXPECT_TRUE(codec.Decode(encoded.data(), decoded.data(), decoded.size(), encoded.size()))
            << c.name;
        EXPECT_EQ(decoded, pixels) << c.name;
    }
}

TEST(RLECodecTest, RoundTripsMixedContentWithinTheWorstCaseSize) {
    // Flat areas, gradients and noise, as a frame of graphics over a photo would have.
    std::vector<uint32_t> pixels;
    uint32_t noise = 12345;
    for (int i = 0; i < 5000; ++i) {
        noise = noise * 1103515245u + 12345u;
        const int area = (i / 300) % 3;
        pixels.push_back(area == 0 ? A : area == 1 ? static_cast<uint32_t>(i) : noise);
    }
    const TBytes raw = Pixels(pixels);
    const TBytes encoded = Encode(raw);
    TRLECodec codec;
    TBytes decoded(raw.size());
    ASSERT_TRUE(codec.Decode(encoded.data(), decoded.data(), decoded.size(), encoded.size()));
    EXPECT_EQ(decoded, raw);
    EXPECT_EQ(codec.PixelBits(), 32);
}

TEST(RLECodecTest, DecodingNeverRunsPastEitherBuffer) {
    struct Case {
        const char* name;
        TBytes stream;
        size_t decodedBytes;
        bool ok;
    };
    auto packet = [](uint8_t control, std::vector<uint32_t> pixels) {
        TBytes p = {control};
        for (uint32_t px : pixels) {
            AppendPixel(p, px);
        }
        return p;
    };
    auto join = [](TBytes a, const TBytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<Case> cases = {
        {"a run of one", packet(0x80, {A}), 4, true},
        {"bytes after the last pixel are not read", join(packet(0x80, {A}), {0xFF}), 4, true},
        {"run longer than the frame", packet(0x81, {A}), 4, false},
        {"literal longer than the frame", packet(0x01, {A, B}), 4, false},
        {"literal cut short", packet(0x01, {A}), 8, false},
        {"run without its pixel", TBytes{0x85, 0x01}, 24, false},
        {"stream ends before the frame", packet(0x80, {A}), 8, false},
        {"empty stream", TBytes{}, 4, false},
        {"size not in whole pixels", packet(0x80, {A}), 5, false},
    };
    for (const auto& c : cases) {
        TRLECodec codec;
        // The stream is copied to a buffer of its exact size and the destination carries a
        // guard, so any overrun shows (and trips the address sanitizer).
        const TBytes stream = c.stream;
        TBytes destination(c.decodedBytes + 16, 0xEE);
        EXPECT_EQ(codec.Decode(stream.data(), destination.data(), c.decodedBytes, stream.size()),
                  c.ok)
            << c.name;
        EXPECT_EQ(
            TBytes(destination.begin() + static_cast<long>(c.decodedBytes), destination.end()),
            TBytes(16, 0xEE))
            << c.name;
    }
}

// A two-frame clip of 3 x 2 pixels: frame 0 all different, frame 1 all equal.
class LVFDecoderTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kWidth = 3, kHeight = 2;

    void SetUp() override {
        FPath = (fs::path(LMV_TEST_BINARY_DIR) /
                 (std::string("decoder_") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".lvf"))
                    .string();
        FFrames = {Pixels({A, B, C, B, A, C}), Pixels({C, C, C, C, C, C})};
        TLVFWriter writer;
        ASSERT_TRUE(writer.Create(FPath, kWidth, kHeight)) << writer.ErrorText();
        for (const auto& frame : FFrames) {
            ASSERT_TRUE(writer.WriteFrame(frame.data())) << writer.ErrorText();
        }
        ASSERT_TRUE(writer.Finish()) << writer.ErrorText();
        std::ifstream in(FPath, std::ios::binary);
        FOriginal.assign(std::istreambuf_iterator<char>(in), {});
    }

    void TearDown() override { fs::remove(FPath); }

    void Store(const TBytes& bytes) {
        std::ofstream(FPath, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }

    static void Put32(TBytes& bytes, size_t offset, uint32_t value) {
        StoreLE32(bytes.data() + offset, value);
    }
    static void Put64(TBytes& bytes, size_t offset, uint64_t value) {
        StoreLE64(bytes.data() + offset, value);
    }
    static uint64_t Get64(const TBytes& bytes, size_t offset) {
        return LoadLE64(bytes.data() + offset);
    }
    static uint32_t Get32(const TBytes& bytes, size_t offset) {
        return LoadLE32(bytes.data() + offset);
    }
    size_t IndexOffset() const { return Get64(FOriginal, 32); }
    size_t RecordOffset(int frame) const { return Get64(FOriginal, IndexOffset() + 12 * frame); }
    uint32_t RecordSize(int frame) const {
        return Get32(FOriginal, IndexOffset() + 12 * frame + 8);
    }

    std::string FPath;
    std::vector<TBytes> FFrames;
    TBytes FOriginal;
};

TEST_F(LVFDecoderTest, ReadsEveryFrameOfAWrittenClip) {
    TLVFDecoder decoder;
    ASSERT_TRUE(decoder.Open(FPath)) << decoder.ErrorText();
    EXPECT_EQ(decoder.FrameCount(), 2u);
    EXPECT_EQ(decoder.Width(), kWidth);
    EXPECT_EQ(decoder.Height(), kHeight);
    EXPECT_EQ(decoder.RowSize(), kWidth * 4);
    // Backwards, to show frames are reached through the index, not by reading on.
    for (int frame = 1; frame >= 0; --frame) {
        TBytes pixels(decoder.FrameSize());
        ASSERT_TRUE(decoder.ReadFrame(frame, pixels.data())) << decoder.ErrorText();
        EXPECT_EQ(pixels, FFrames[frame]);
    }
    decoder.Close();
    EXPECT_EQ(decoder.FrameCount(), 0u);
}

TEST_F(LVFDecoderTest, RefusesDamagedFilesWithTheirReason) {
    struct Case {
        const char* name;
        std::function<void(TBytes&)> damage;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"71 bytes", [](TBytes& f) { f.resize(71); }, "file is trucated"},
        {"other letters", [](TBytes& f) { f[2] = 'X'; }, "file not in LVF format"},
        {"magic in lower case", [](TBytes& f) { f[0] = 'l', f[1] = 'v', f[2] = 'f'; },
         "file not in LVF format"},
        {"compression 2", [](TBytes& f) { f[3] = 2; }, "unknown compression format"},
        {"compression 0", [](TBytes& f) { f[3] = 0; }, "unknown compression format"},
        {"no frames", [](TBytes& f) { Put32(f, 8, 0); }, "no video frames in source"},
        {"index cut short", [](TBytes& f) { f.pop_back(); }, "file is truncated"},
        {"more frames than the index holds", [](TBytes& f) { Put32(f, 8, 3); },
         "file is truncated"},
        {"frame count far beyond the file", [](TBytes& f) { Put32(f, 8, 0xFFFFFFFF); },
         "file is truncated"},
        {"index beyond the end", [](TBytes& f) { Put64(f, 32, f.size() + 1); },
         "index offset " + std::to_string(FOriginal.size() + 1) +
             " lies beyond the end of the file"},
        {"index offset near 2^64", [](TBytes& f) { Put64(f, 32, ~uint64_t{0}); },
         "index offset 18446744073709551615 lies beyond the end of the file"},
        {"width 0", [](TBytes& f) { Put32(f, 12, 0); }, "invalid frame size 0 x 2"},
        {"height 0", [](TBytes& f) { Put32(f, 16, 0); }, "invalid frame size 3 x 0"},
        {"frame size overflows 32 bits",
         [](TBytes& f) { Put32(f, 12, 0x10000), Put32(f, 16, 0x10000); },
         "invalid frame size 65536 x 65536"},
        {"frame of 2 GiB", [](TBytes& f) { Put32(f, 12, 0x20000000), Put32(f, 16, 1); },
         "invalid frame size 536870912 x 1"},
        {"frames larger than the whole file could hold", [](TBytes& f) { Put32(f, 12, 1000); },
         "file is too small for frames of 1000 x 2"},
    };
    for (const auto& c : cases) {
        TBytes file = FOriginal;
        c.damage(file);
        Store(file);
        TLVFDecoder decoder;
        EXPECT_FALSE(decoder.Open(FPath)) << c.name;
        EXPECT_EQ(decoder.ErrorText(), c.error) << c.name;
        EXPECT_EQ(decoder.FrameCount(), 0u) << c.name << ": a failed open leaves it closed";
    }
}

TEST_F(LVFDecoderTest, ReportsMissingFilesAndFolders) {
    TLVFDecoder decoder;
    const std::string missing = FPath + ".missing";
    EXPECT_FALSE(decoder.Open(missing));
    EXPECT_EQ(decoder.ErrorText(), "File not found: " + missing);
    EXPECT_FALSE(decoder.Open(LMV_TEST_BINARY_DIR));
    EXPECT_EQ(decoder.ErrorText(), std::string("File not found: ") + LMV_TEST_BINARY_DIR);
}

// One frame read on a thread of its own: a reader caught in a loop fails the case instead of
// hanging the test. The thread shares the decoder and the result, so it may outlive the case.
struct TBoundedRead {
    bool finished = false;
    bool ok = false;
    std::string error;
    TBytes pixels;
};

TBoundedRead ReadBounded(const std::shared_ptr<TLVFDecoder>& decoder, int64_t frame,
                         size_t bufferSize) {
    auto result = std::make_shared<TBoundedRead>();
    result->pixels.assign(bufferSize, 0xEE);
    result->finished = FinishesWithin([decoder, frame, result] {
        result->ok = decoder->ReadFrame(frame, result->pixels.data());
        result->error = decoder->ErrorText();
    });
    return result->finished ? *result : TBoundedRead{};
}

TEST_F(LVFDecoderTest, RefusesDamagedFrameRecordsPromptlyWithoutTouchingMemoryAround) {
    const uint64_t frameBytes = kWidth * kHeight * 4;
    struct Case {
        const char* name;
        std::function<void(TBytes&)> damage;
        std::string error;
    };
    const size_t entry0 = IndexOffset();
    const size_t record0 = RecordOffset(0);
    const uint32_t size0 = RecordSize(0);
    // More than the decoder reads at once, and all of it present in the file.
    constexpr uint32_t kBeyondOnePiece = 400000;
    const std::vector<Case> cases = {
        {"record beyond the end", [&](TBytes& f) { Put64(f, entry0, f.size() + 100); },
         "error seeking for frame: offset " + std::to_string(FOriginal.size() + 100) +
             " lies beyond the end of the file"},
        {"record offset near 2^64", [&](TBytes& f) { Put64(f, entry0, ~uint64_t{0}); },
         "error seeking for frame: offset 18446744073709551615 lies beyond the end of the file"},
        {"record inside the header", [&](TBytes& f) { Put64(f, entry0, 0); },
         "frame 0 has a decoded size of " + std::to_string(Get32(FOriginal, 0)) +
             " bytes, expected 24"},
        {"record size far beyond the file", [&](TBytes& f) { Put32(f, entry0 + 8, 0xFFFFFFF0); },
         "frame read error, truncated"},
        {"record size whose framing overflows 32 bits",
         [&](TBytes& f) { Put32(f, entry0 + 8, 0xFFFFFFFF); }, "frame read error, truncated"},
        {"record ends one byte past the file",
         [&](TBytes& f) { Put32(f, entry0 + 8, static_cast<uint32_t>(f.size() - record0 - 7)); },
         "frame read error, truncated"},
        {"record size beyond its data by more than one read",
         [&](TBytes& f) {
             f.resize(f.size() + kBeyondOnePiece);
             Put32(f, entry0 + 8, size0 + kBeyondOnePiece);
         },
         "error decoding frame: 0"},
        {"record size takes in the four bytes after the data",
         [&](TBytes& f) { Put32(f, entry0 + 8, size0 + 4); }, "error decoding frame: 0"},
        {"decoded count larger than the frame",
         [&](TBytes& f) { Put32(f, record0, frameBytes + 4); },
         "frame 0 has a decoded size of 28 bytes, expected 24"},
        {"decoded count smaller than the frame", [&](TBytes& f) { Put32(f, record0, 4); },
         "frame 0 has a decoded size of 4 bytes, expected 24"},
        {"decoded count near 2^32", [&](TBytes& f) { Put32(f, record0, 0xFFFFFFFC); },
         "frame 0 has a decoded size of 4294967292 bytes, expected 24"},
        {"run longer than the frame", [&](TBytes& f) { f[record0 + 4] = 0xFF; },
         "error decoding frame: 0"},
        {"literal longer than the frame", [&](TBytes& f) { f[record0 + 4] = 0x7F; },
         "error decoding frame: 0"},
        {"RLE data shorter than its packets", [&](TBytes& f) { Put32(f, entry0 + 8, 3); },
         "error decoding frame: 0"},
        {"no RLE data", [&](TBytes& f) { Put32(f, entry0 + 8, 0); }, "error decoding frame: 0"},
    };
    for (const auto& c : cases) {
        TBytes file = FOriginal;
        c.damage(file);
        Store(file);
        auto decoder = std::make_shared<TLVFDecoder>();
        ASSERT_TRUE(decoder->Open(FPath)) << c.name << ": " << decoder->ErrorText();
        const TBoundedRead damaged = ReadBounded(decoder, 0, frameBytes + 16);
        if (!damaged.finished) {
            ADD_FAILURE() << c.name << ": the read never ended";
            continue;
        }
        EXPECT_FALSE(damaged.ok) << c.name;
        EXPECT_EQ(damaged.error, c.error) << c.name;
        EXPECT_EQ(TBytes(damaged.pixels.begin() + frameBytes, damaged.pixels.end()),
                  TBytes(16, 0xEE))
            << c.name;
        // Damage to one record leaves the others readable.
        const TBoundedRead other = ReadBounded(decoder, 1, frameBytes);
        ASSERT_TRUE(other.finished) << c.name;
        ASSERT_TRUE(other.ok) << c.name << ": " << other.error;
        EXPECT_EQ(other.pixels, FFrames[1]) << c.name;
    }
}

TEST_F(LVFDecoderTest, FileCutShortWhileOpenFailsTheRead) {
    auto decoder = std::make_shared<TLVFDecoder>();
    ASSERT_TRUE(decoder->Open(FPath)) << decoder->ErrorText();
    fs::resize_file(FPath, RecordOffset(0) + 6);
    const TBoundedRead read = ReadBounded(decoder, 0, kWidth * kHeight * 4);
    ASSERT_TRUE(read.finished) << "the read never ended";
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.error, "frame read error, truncated");
}

TEST_F(LVFDecoderTest, RefusesFrameNumbersOutsideTheClip) {
    TLVFDecoder decoder;
    TBytes pixels(kWidth * kHeight * 4);
    EXPECT_FALSE(decoder.ReadFrame(0, pixels.data()));
    EXPECT_EQ(decoder.ErrorText(), "frame index out of range");
    ASSERT_TRUE(decoder.Open(FPath));
    for (int64_t frame : {int64_t{2}, int64_t{-1}, int64_t{1} << 32}) {
        EXPECT_FALSE(decoder.ReadFrame(frame, pixels.data())) << frame;
        EXPECT_EQ(decoder.ErrorText(), "frame index out of range") << frame;
    }
}

// A frame of one colour has the smallest record there is: the file still holds its frame.
TEST(LVFDecoderFlatFrameTest, SmallestRecordOfALargeFrameIsAccepted) {
    const std::string path = std::string(LMV_TEST_BINARY_DIR) + "/flat_frame.lvf";
    constexpr uint32_t width = 1000, height = 1000;
    const TBytes frame = Pixels(std::vector<uint32_t>(width * height, A));
    TLVFWriter writer;
    ASSERT_TRUE(writer.Create(path, width, height)) << writer.ErrorText();
    ASSERT_TRUE(writer.WriteFrame(frame.data())) << writer.ErrorText();
    ASSERT_TRUE(writer.Finish()) << writer.ErrorText();
    TLVFDecoder decoder;
    ASSERT_TRUE(decoder.Open(path)) << decoder.ErrorText();
    EXPECT_EQ(decoder.RecordSize(0), (width * height + 127) / 128 * 5);
    TBytes pixels(decoder.FrameSize());
    ASSERT_TRUE(decoder.ReadFrame(0, pixels.data())) << decoder.ErrorText();
    EXPECT_TRUE(pixels == frame);
    decoder.Close();
    fs::remove(path);
}

TEST(LVFWriterTest, RefusesUnusableFramesAndEmptyClips) {
    const std::string path = std::string(LMV_TEST_BINARY_DIR) + "/writer_refuses.lvf";
    TLVFWriter writer;
    EXPECT_FALSE(writer.Create(path, 0, 10));
    EXPECT_EQ(writer.ErrorText(), "invalid frame size 0 x 10");
    EXPECT_FALSE(writer.Create(path, 0x10000, 0x10000));
    ASSERT_TRUE(writer.Create(path, 2, 2));
    EXPECT_FALSE(writer.Finish());
    EXPECT_EQ(writer.ErrorText(), "no frames were written");
    // A file left without frames is refused by readers rather than misread.
    TLVFDecoder decoder;
    EXPECT_FALSE(decoder.Open(path));
    EXPECT_EQ(decoder.ErrorText(), "no video frames in source");
    EXPECT_FALSE(writer.Create(std::string(LMV_TEST_BINARY_DIR) + "/no/such/folder/x.lvf", 2, 2));
    EXPECT_NE(writer.ErrorText().find("cannot create"), std::string::npos);
    fs::remove(path);
}

// Frames far larger than one read of the decoder, with runs and literal packets of every length,
// so packets straddle the pieces the record is read in; a record cut short in its middle fails.
TEST(LVFDecoderLargeFramesTest, PacketsAcrossReadPiecesDecodeExactly) {
    const std::string path = std::string(LMV_TEST_BINARY_DIR) + "/large_frames.lvf";
    constexpr uint32_t width = 700, height = 500;
    std::vector<TBytes> frames;
    uint32_t state = 12345;
    for (int f = 0; f < 2; ++f) {
        std::vector<uint32_t> pixels;
        while (pixels.size() < width * height) {
            state = state * 1103515245u + 12345u;
            const size_t length = 1 + (state >> 16) % 200;
            const bool run = (state >> 8) & 1;
            for (size_t i = 0; i < length && pixels.size() < width * height; ++i) {
                pixels.push_back(run ? state : state ^ static_cast<uint32_t>(i * 2654435761u));
            }
        }
        frames.push_back(Pixels(pixels));
    }
    TLVFWriter writer;
    ASSERT_TRUE(writer.Create(path, width, height)) << writer.ErrorText();
    for (const TBytes& frame : frames) {
        ASSERT_TRUE(writer.WriteFrame(frame.data())) << writer.ErrorText();
    }
    ASSERT_TRUE(writer.Finish()) << writer.ErrorText();

    TLVFDecoder decoder;
    ASSERT_TRUE(decoder.Open(path)) << decoder.ErrorText();
    ASSERT_GT(decoder.RecordSize(0), 2u * 256 * 1024);
    for (int f = 1; f >= 0; --f) {
        TBytes pixels(decoder.FrameSize());
        ASSERT_TRUE(decoder.ReadFrame(f, pixels.data())) << decoder.ErrorText();
        EXPECT_TRUE(pixels == frames[f]) << "frame " << f;
    }
    decoder.Close();

    std::ifstream in(path, std::ios::binary);
    TBytes file(std::istreambuf_iterator<char>(in), {});
    in.close();
    uint64_t indexOffset;
    std::memcpy(&indexOffset, file.data() + 32, 8);
    uint32_t size;
    std::memcpy(&size, file.data() + indexOffset + 8, 4);
    size -= 300 * 1024;
    std::memcpy(file.data() + indexOffset + 8, &size, 4);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<long>(file.size()));
    ASSERT_TRUE(decoder.Open(path)) << decoder.ErrorText();
    TBytes pixels(decoder.FrameSize() + 16, 0xEE);
    EXPECT_FALSE(decoder.ReadFrame(0, pixels.data()));
    EXPECT_EQ(decoder.ErrorText(), "error decoding frame: 0");
    EXPECT_EQ(TBytes(pixels.end() - 16, pixels.end()), TBytes(16, 0xEE));
    decoder.Close();
    fs::remove(path);
}

}  // namespace
