// The AVI plug-in as the server sees it (the staged library, bound by name), on files written by
// our own AVI writer with the LMVC codec: frames and audio read back exactly, the container's
// indexes in all their forms, and damaged files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcEncoder.h"
#include "foundation/kxByteOrder.h"
#include "plugins/avi/lmAVIReader.h"
#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "port/port.h"
#include "server/media/lmAVIWriter.h"
#include "server/media/lmMediaTypes.h"
#include "server/media/lmOpenDMLPatcher.h"
#include "support/TestMediaFixtures.h"
#include "support/TestProcess.h"
#include "support/TestVideoSourcePlugin.h"

namespace fs = std::filesystem;
using testing_support::TSource;
using testing_support::TStagedPlugin;

namespace {

using TBytes = std::vector<uint8_t>;

// What a clip is made of: its frames as BGRA (the alpha of 24-bit clips is 255), and its
// interleaved 16-bit audio.
struct TClipRecipe {
    int Width = 40;
    int Height = 24;
    int Depth = 32;
    int Frames = 12;
    uint32_t RateNum = 25;
    uint32_t RateDen = 1;
    int Channels = 0;
    int64_t AudioSamples = 0;                           // all of the clip's audio
    std::vector<int> ChunkSamples = {1500, 2100, 777};  // audio chunk sizes, in turn
    uint64_t PartLimit = TAVIWriter::kDefaultPartLimit;
    bool Idx1 = true;
};

TBytes FramePixels(const TClipRecipe& c, int f) {
    TBytes bgra(static_cast<size_t>(c.Width) * c.Height * 4);
    for (int y = 0; y < c.Height; ++y) {
        for (int x = 0; x < c.Width; ++x) {
            uint8_t* p = &bgra[(static_cast<size_t>(y) * c.Width + x) * 4];
            p[0] = static_cast<uint8_t>(x * 3 + f);
            p[1] = static_cast<uint8_t>(y * 5 + f * 7);
            p[2] = static_cast<uint8_t>((x ^ y) + f);
            p[3] = c.Depth == 32 ? static_cast<uint8_t>(x + y * 2 + f * 11) : 255;
        }
    }
    return bgra;
}

// The default clip with stereo sound for all of its frames.
TClipRecipe StereoRecipe() {
    TClipRecipe c;
    c.Channels = 2;
    c.AudioSamples = 1920 * 12;
    return c;
}

TBytes AudioBytes(const TClipRecipe& c) {
    TBytes audio(static_cast<size_t>(c.AudioSamples) * c.Channels * 2);
    for (size_t i = 0; i < audio.size() / 2; ++i) {
        StoreLE16(&audio[i * 2], static_cast<uint16_t>(i * 31 + 7));
    }
    return audio;
}

// Our writer with the LMVC encoder, audio chunks spread between the frames.
void WriteClip(const std::string& path, const TClipRecipe& c) {
    TLmvcEncoder encoder;
    const size_t stride = LmvcDibStride(c.Width, c.Depth);
    ASSERT_TRUE(encoder.Configure({c.Width, c.Height, c.Depth, false, stride}, 2));
    const TAVIVideoFormat format{FourCC("LMVC"),
                                 c.Width,
                                 c.Height,
                                 static_cast<uint16_t>(c.Depth),
                                 c.RateNum,
                                 c.RateDen,
                                 static_cast<int64_t>(1e7 * c.RateDen / c.RateNum),
                                 static_cast<uint32_t>(encoder.MaxCompressedSize())};
    std::optional<TWaveFormat> wave;
    if (c.Channels > 0) {
        wave = MakeAudioFormat(c.Channels);
        ASSERT_TRUE(wave);
    }
    TAVIWriter writer(c.PartLimit);
    ASSERT_TRUE(writer.Open(path, format, wave ? &*wave : nullptr, c.Idx1,
                            static_cast<uint32_t>(c.Frames)));
    const TBytes audio = AudioBytes(c);
    const size_t block = static_cast<size_t>(c.Channels) * 2;
    size_t audioAt = 0;
    size_t chunk = 0;
    for (int f = 0; f < c.Frames; ++f) {
        const TBytes bgra = FramePixels(c, f);
        TBytes input(stride * c.Height);
        for (int y = 0; y < c.Height; ++y) {
            for (int x = 0; x < c.Width; ++x) {
                std::memcpy(&input[y * stride + x * (c.Depth / 8)],
                            &bgra[(static_cast<size_t>(y) * c.Width + x) * 4], c.Depth / 8);
            }
        }
        TBytes coded;
        ASSERT_TRUE(encoder.EncodeFrame(input.data(), input.size(), coded));
        ASSERT_TRUE(writer.WriteVideo(coded.data(), coded.size(), true)) << writer.LastError();
        // Roughly as much audio as the frame lasts, in chunks of changing sizes.
        const auto due =
            static_cast<size_t>(static_cast<int64_t>(f + 1) * 48000 * c.RateDen / c.RateNum) *
            block;
        while (block != 0 && audioAt < std::min(due, audio.size())) {
            const size_t n = std::min(
                static_cast<size_t>(c.ChunkSamples[chunk++ % c.ChunkSamples.size()]) * block,
                audio.size() - audioAt);
            ASSERT_TRUE(writer.WriteAudio(audio.data() + audioAt, n)) << writer.LastError();
            audioAt += n;
        }
    }
    if (block != 0 && audioAt < audio.size()) {
        ASSERT_TRUE(writer.WriteAudio(audio.data() + audioAt, audio.size() - audioAt));
    }
    ASSERT_TRUE(writer.Close()) << writer.LastError();
}

TBytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), {});
}

// A new file each time: rewriting one in place makes the file system flush it to disk.
void WriteAll(const std::string& path, const TBytes& bytes) {
    fs::remove(path);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// The first position of a four-character code in the file.
size_t Find(const TBytes& bytes, const char* code, size_t from = 0) {
    const auto at =
        std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), code, code + 4);
    return at == bytes.end() ? std::string::npos : static_cast<size_t>(at - bytes.begin());
}

class AVIPluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(FPlugin.Error(), "");
        FFolder = fs::path(LMV_TEST_BINARY_DIR) / "aviplugin" /
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(FFolder);
        fs::create_directories(FFolder);
    }
    void TearDown() override { fs::remove_all(FFolder); }

    std::string PathOf(const std::string& name) const { return (FFolder / name).string(); }

    // The clip written as "clip.avi".
    std::string ClipFile(const TClipRecipe& c) const {
        const std::string path = PathOf("clip.avi");
        WriteClip(path, c);
        return path;
    }

    // Opens the file; on failure the text is the plug-in's reason.
    TSource OpenSource(const std::string& path, std::string* error = nullptr) {
        TSource source = FPlugin.NewSource();
        if (source->Open(LvsPathToUtf16(path).c_str(), LvsOpenFlags) == LvsFalse) {
            if (error != nullptr) {
                *error = LvsReadLastError(source.get());
            }
            return nullptr;
        }
        return source;
    }

    static TBytes ReadFrame(IVideoSource& source, int frame) {
        TBytes out(static_cast<size_t>(source.GetWidth()) * source.GetHeight() * 4, 0xEE);
        EXPECT_TRUE(source.ReadFrame(frame, out.data(), source.GetWidth() * 4))
            << LvsReadLastError(&source);
        return out;
    }

    // The frame numbers 0 .. count - 1, last first when `reversed`.
    static std::vector<int> FrameNumbers(int count, bool reversed = false) {
        std::vector<int> numbers(static_cast<size_t>(std::max(count, 0)));
        std::iota(numbers.begin(), numbers.end(), 0);
        if (reversed) {
            std::reverse(numbers.begin(), numbers.end());
        }
        return numbers;
    }

    // The frames read back exactly, in the order given.
    static void ExpectFrames(IVideoSource& source, const TClipRecipe& c,
                             const std::vector<int>& order) {
        for (const int f : order) {
            ASSERT_EQ(ReadFrame(source, f), FramePixels(c, f)) << "frame " << f;
        }
    }

    // Reads the frame's sound into a buffer of `size` bytes and expects the clip's sound from
    // byte `from` there; returns how many bytes the source reported.
    static int32_t ExpectFrameAudio(IVideoSource& source, const TClipRecipe& c, int frame,
                                    size_t size, size_t from) {
        TBytes out(static_cast<size_t>(c.Width) * c.Height * 4);
        TBytes audio(size);
        int32_t bytes = 0;
        EXPECT_TRUE(source.ReadFrameAudio(frame, out.data(), c.Width * 4, audio.data(),
                                          static_cast<int32_t>(audio.size()), &bytes));
        const TBytes all = AudioBytes(c);
        EXPECT_TRUE(std::equal(audio.begin(), audio.end(), all.begin() + from));
        return bytes;
    }

    TStagedPlugin FPlugin{"lmVideoSourceAVI.lvs"};
    fs::path FFolder;
};

TEST_F(AVIPluginTest, AnnouncesItselfForAviFiles) {
    EXPECT_TRUE(FPlugin.Init());
    EXPECT_EQ(FPlugin.Host().Description, "AVI Files");
    EXPECT_EQ(FPlugin.Host().Extensions, std::vector<std::string>{"avi"});
    EXPECT_TRUE(FPlugin.DeInit());
}

// Clips of each kind read back exactly in any order, with the per-frame audio of the rate's
// cadence; the audio of all frames is the file's audio, then silence.
TEST_F(AVIPluginTest, FramesAndAudioReadBackExactlyInAnyOrder) {
    struct TCase {
        const char* Name;
        TClipRecipe Recipe;
        float Rate;
        std::vector<int> Cadence;  // samples of frames 0..4
    };
    auto recipe = [](int depth, uint32_t num, uint32_t den, int channels, int frames,
                     uint64_t partLimit = TAVIWriter::kDefaultPartLimit) {
        TClipRecipe c;
        c.Depth = depth;
        c.RateNum = num;
        c.RateDen = den;
        c.Channels = channels;
        c.Frames = frames;
        c.PartLimit = partLimit;
        return c;
    };
    std::vector<TCase> cases = {
        {"32-bit at 25 without audio", recipe(32, 25, 1, 0, 12), 25.0f, {}},
        {"24-bit at 29.97 with stereo",
         recipe(24, 30000, 1001, 2, 13),
         29.97f,
         {1602, 1602, 1601, 1602, 1601}},
        {"32-bit at 59.94 with six channels",
         recipe(32, 60000, 1001, 6, 11),
         59.94f,
         {801, 801, 801, 801, 800}},
        {"25 with stereo in many RIFF parts",
         recipe(32, 25, 1, 2, 30, 64 * 1024),
         25.0f,
         {1920, 1920, 1920, 1920, 1920}},
    };
    for (TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        // The audio ends a little before the last frame does.
        int64_t total = 0;
        for (int f = 0; f < c.Recipe.Frames; ++f) {
            total += c.Cadence.empty() ? 0 : c.Cadence[f % 5];
        }
        c.Recipe.AudioSamples = std::max<int64_t>(total - 700, 0);
        const std::string path = ClipFile(c.Recipe);
        if (c.Recipe.PartLimit < TAVIWriter::kDefaultPartLimit) {
            TAVIReader reader;
            ASSERT_TRUE(reader.Open(path)) << reader.LastError();
            EXPECT_GT(reader.Parts(), 3u);
            EXPECT_EQ(reader.IndexKind(), TAVIReader::TIndexKind::SuperIndex);
        }

        TSource source = OpenSource(path);
        ASSERT_TRUE(source);
        EXPECT_EQ(source->GetWidth(), c.Recipe.Width);
        EXPECT_EQ(source->GetHeight(), c.Recipe.Height);
        EXPECT_EQ(source->GetFrameCount(), c.Recipe.Frames);
        EXPECT_FLOAT_EQ(source->GetFrameRate(), c.Rate);
        EXPECT_EQ(source->GetBitDepth(), c.Recipe.Depth);
        EXPECT_EQ(source->IsOpaque() != 0, c.Recipe.Depth == 24);
        EXPECT_EQ(source->GetOutputBitDepth(), 32);
        EXPECT_EQ(source->GetCodecFourCC(), FourCC("LMVC"));
        EXPECT_EQ(source->GetAudioChannels(), c.Recipe.Channels);
        EXPECT_FALSE(source->IsInterlaced());
        EXPECT_EQ(source->GetFieldOrder(), 0);
        EXPECT_EQ(source->GetCaptionType(), 0);

        // Random order first, then sequential with audio.
        std::vector<int> order(static_cast<size_t>(c.Recipe.Frames));
        for (int i = 0; i < c.Recipe.Frames; ++i) {
            order[i] = i;
        }
        std::shuffle(order.begin(), order.end(), std::mt19937(5));
        for (const int f : order) {
            ASSERT_EQ(ReadFrame(*source, f), FramePixels(c.Recipe, f)) << "frame " << f;
        }
        const TBytes expectedAudio = AudioBytes(c.Recipe);
        TBytes audio;
        const int block = c.Recipe.Channels * 2;
        for (int f = 0; f < c.Recipe.Frames; ++f) {
            TBytes frame(static_cast<size_t>(c.Recipe.Width) * c.Recipe.Height * 4);
            TBytes portion(8192 * 8, 0xEE);
            int32_t bytes = -1;
            ASSERT_TRUE(source->ReadFrameAudio(f, frame.data(), c.Recipe.Width * 4, portion.data(),
                                               static_cast<int32_t>(portion.size()), &bytes));
            ASSERT_EQ(frame, FramePixels(c.Recipe, f)) << "frame " << f;
            ASSERT_EQ(bytes, c.Cadence.empty() ? 0 : c.Cadence[f % 5] * block) << "frame " << f;
            audio.insert(audio.end(), portion.begin(), portion.begin() + bytes);
        }
        ASSERT_EQ(audio.size(), static_cast<size_t>(total) * block);
        EXPECT_TRUE(std::equal(expectedAudio.begin(), expectedAudio.end(), audio.begin()));
        EXPECT_TRUE(std::all_of(audio.begin() + static_cast<std::ptrdiff_t>(expectedAudio.size()),
                                audio.end(), [](uint8_t b) { return b == 0; }));
    }
}

// Little-endian pieces of a RIFF file.
struct TRiffBytes {
    TBytes Bytes;
    void Code(const char* code) {
        for (int i = 0; i < 4; ++i) {
            Bytes.push_back(static_cast<uint8_t>(code[i]));
        }
    }
    void U16(uint16_t v) {
        Bytes.push_back(static_cast<uint8_t>(v));
        Bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v));
        U16(static_cast<uint16_t>(v >> 16));
    }
    void U64(uint64_t v) {
        U32(static_cast<uint32_t>(v));
        U32(static_cast<uint32_t>(v >> 32));
    }
    void Chunk(const char* code, const TBytes& data) {
        Code(code);
        U32(static_cast<uint32_t>(data.size()));
        Bytes.insert(Bytes.end(), data.begin(), data.end());
        if (data.size() & 1) {
            Bytes.push_back(0);
        }
    }
};

// A movi list of two frames and its standard index, for a part that starts at `partStart` with
// the list at `listPos`.
TBytes MoviWithIndex(const std::vector<TBytes>& frames, uint64_t listPos, uint64_t& indexPos) {
    TRiffBytes content;
    content.Code("movi");
    std::vector<uint64_t> dataPos;
    for (const TBytes& frame : frames) {
        dataPos.push_back(listPos + 8 + content.Bytes.size() + 8);
        content.Chunk("00dc", frame);
    }
    indexPos = listPos + 8 + content.Bytes.size();
    TRiffBytes index;
    index.U16(2);
    index.Bytes.insert(index.Bytes.end(), {0, 1});
    index.U32(static_cast<uint32_t>(frames.size()));
    index.Code("00dc");
    index.U64(listPos);
    index.U32(0);
    for (size_t i = 0; i < frames.size(); ++i) {
        index.U32(static_cast<uint32_t>(dataPos[i] - listPos));
        index.U32(static_cast<uint32_t>(frames[i].size()));
    }
    content.Chunk("ix00", index.Bytes);
    TRiffBytes list;
    list.Chunk("LIST", content.Bytes);
    return list.Bytes;
}

// An OpenDML file whose second RIFF part starts past 4 GiB, built chunk by chunk: the first
// part ends in a JUNK chunk that is a hole of a sparse file, so the test writes kilobytes.
TEST_F(AVIPluginTest, PartPast4GiBInASparseFileReadsEveryFrame) {
    TClipRecipe c;
    c.Frames = 4;
    TLmvcEncoder encoder;
    ASSERT_TRUE(encoder.Configure({c.Width, c.Height, 32, false, 0}, 1));
    std::vector<TBytes> frames;
    for (int f = 0; f < c.Frames; ++f) {
        const TBytes bgra = FramePixels(c, f);
        frames.emplace_back();
        ASSERT_TRUE(encoder.EncodeFrame(bgra.data(), bgra.size(), frames.back()));
    }
    // The largest first part a 32-bit RIFF size allows.
    const uint64_t secondPart = (uint64_t{1} << 32) + 6;
    // The header has a fixed size, so the positions behind it are known before it is built.
    auto header = [&](uint64_t index0, uint32_t size0, uint64_t index1, uint32_t size1) {
        TRiffBytes avih, strh, strf, indx, dmlh, strl, odml, hdrl;
        avih.U32(40000);
        for (uint32_t v : {0u, 0u, 0x10u, 2u, 0u, 1u, 0u}) {
            avih.U32(v);
        }
        avih.U32(static_cast<uint32_t>(c.Width));
        avih.U32(static_cast<uint32_t>(c.Height));
        avih.Bytes.resize(56);
        strh.Code("vids");
        strh.Code("LMVC");
        for (uint32_t v : {0u, 0u, 0u, 1u, 25u, 0u, uint32_t(c.Frames), 0u, 0xFFFFFFFFu, 0u}) {
            strh.U32(v);
        }
        strh.Bytes.resize(56);
        for (uint32_t v : {40u, uint32_t(c.Width), uint32_t(c.Height)}) {
            strf.U32(v);
        }
        strf.U16(1);
        strf.U16(32);
        strf.Code("LMVC");
        strf.Bytes.resize(40);
        indx.U16(4);
        indx.Bytes.insert(indx.Bytes.end(), {0, 0});
        indx.U32(2);
        indx.Code("00dc");
        indx.Bytes.resize(24);
        for (const auto& [pos, size] : {std::pair{index0, size0}, std::pair{index1, size1}}) {
            indx.U64(pos);
            indx.U32(size);
            indx.U32(2);
        }
        strl.Code("strl");
        strl.Chunk("strh", strh.Bytes);
        strl.Chunk("strf", strf.Bytes);
        strl.Chunk("indx", indx.Bytes);
        dmlh.U32(static_cast<uint32_t>(c.Frames));
        dmlh.Bytes.resize(248);
        odml.Code("odml");
        odml.Chunk("dmlh", dmlh.Bytes);
        hdrl.Code("hdrl");
        hdrl.Chunk("avih", avih.Bytes);
        hdrl.Chunk("LIST", strl.Bytes);
        hdrl.Chunk("LIST", odml.Bytes);
        TRiffBytes out;
        out.Code("RIFF");
        out.U32(static_cast<uint32_t>(secondPart - 8));
        out.Code("AVI ");
        out.Chunk("LIST", hdrl.Bytes);
        return out.Bytes;
    };
    const uint64_t firstMovi = header(0, 0, 0, 0).size();
    uint64_t index0 = 0, index1 = 0;
    const TBytes movi0 = MoviWithIndex({frames[0], frames[1]}, firstMovi, index0);
    const uint64_t junk = firstMovi + movi0.size();
    const TBytes movi1 = MoviWithIndex({frames[2], frames[3]}, secondPart + 12, index1);
    const uint32_t indexSize = static_cast<uint32_t>(8 + 24 + 2 * 8);
    const TBytes head = header(index0, indexSize, index1, indexSize);

    const std::string path = PathOf("sparse.avi");
    {
        std::ofstream out(path, std::ios::binary);
        auto put = [&](uint64_t pos, const TBytes& bytes) {
            out.seekp(static_cast<std::streamoff>(pos));
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
        };
        put(0, head);
        put(firstMovi, movi0);
        TRiffBytes junkHeader;
        junkHeader.Code("JUNK");
        junkHeader.U32(static_cast<uint32_t>(secondPart - junk - 8));
        put(junk, junkHeader.Bytes);
        TRiffBytes avix;
        avix.Code("RIFF");
        avix.U32(static_cast<uint32_t>(4 + movi1.size()));
        avix.Code("AVIX");
        put(secondPart, avix.Bytes);
        put(secondPart + 12, movi1);
        ASSERT_TRUE(out.good()) << "the file system takes no file of 4 GiB";
    }
    ASSERT_GT(fs::file_size(path), uint64_t{1} << 32);
    TAVIReader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.LastError();
    EXPECT_EQ(reader.Parts(), 2u);
    EXPECT_EQ(reader.IndexKind(), TAVIReader::TIndexKind::SuperIndex);
    TSource source = OpenSource(path);
    ASSERT_TRUE(source);
    ASSERT_EQ(source->GetFrameCount(), c.Frames);
    ExpectFrames(*source, c, std::vector<int>{3, 0, 2, 1});
    fs::remove(path);
}

// Other pitches than width x 4, a frame number past the end (the last frame again) and
// audio buffers smaller than a frame's audio.
TEST_F(AVIPluginTest, PitchesFramesPastTheEndAndShortAudioBuffers) {
    const TClipRecipe c = StereoRecipe();
    const std::string path = ClipFile(c);
    TSource source = OpenSource(path);
    ASSERT_TRUE(source);
    const TBytes frame3 = FramePixels(c, 3);
    const size_t row = static_cast<size_t>(c.Width) * 4;
    for (const size_t pitch : {row + 12, row - 8}) {
        SCOPED_TRACE(pitch);
        TBytes out(pitch * c.Height, 0xEE);
        ASSERT_TRUE(source->ReadFrame(3, out.data(), static_cast<int32_t>(pitch)));
        for (int y = 0; y < c.Height; ++y) {
            ASSERT_TRUE(std::equal(out.begin() + y * pitch,
                                   out.begin() + y * pitch + std::min(pitch, row),
                                   frame3.begin() + y * row))
                << "row " << y;
        }
    }
    EXPECT_EQ(ReadFrame(*source, c.Frames + 5), FramePixels(c, c.Frames - 1));
    TBytes out(row * c.Height);
    EXPECT_FALSE(source->ReadFrame(-1, out.data(), static_cast<int32_t>(row)));
    EXPECT_FALSE(LvsReadLastError(source.get()).empty());

    EXPECT_EQ(ExpectFrameAudio(*source, c, 1, 100, 1920 * 4), 100);
}

// The field layout comes from the video properties our field-information patcher writes.
TEST_F(AVIPluginTest, FieldOrderComesFromTheVideoProperties) {
    TClipRecipe c;
    c.Height = 48;
    for (const int mode : {1, 2}) {
        SCOPED_TRACE(mode);
        const std::string path = PathOf("fields.avi");
        WriteClip(path, c);
        ASSERT_TRUE(TOpenDMLPatcher().Patch(
            path, TOpenDMLPatcher::MakeProperties(c.Width, c.Height, mode)));
        TSource source = OpenSource(path);
        ASSERT_TRUE(source);
        EXPECT_TRUE(source->IsInterlaced());
        EXPECT_EQ(source->GetFieldOrder(), mode);
    }
}

// Without a usable super index a single-part file is read through idx1; without either, by
// walking the movi list.
TEST_F(AVIPluginTest, IndexesFallBackToIdx1AndToAWalk) {
    const TClipRecipe c = StereoRecipe();
    const std::string path = ClipFile(c);
    const TBytes whole = ReadAll(path);
    // The video stream's super index: its count, then its first entry (position, size).
    const size_t indx = Find(whole, "indx");
    ASSERT_NE(indx, std::string::npos);
    const size_t count = indx + 8 + 4, entry = indx + 8 + 24;
    TBytes pastTheEnd = whole, listedTwice = whole, countLost = whole;
    StoreLE64(&pastTheEnd[entry], uint64_t{1} << 40);
    StoreLE32(&listedTwice[count], 2);
    std::copy_n(&whole[entry], 16, &listedTwice[entry + 16]);
    StoreLE32(&countLost[count], 0);
    for (const auto& [name, damaged] : {std::pair{"entry past the end", &pastTheEnd},
                                        std::pair{"standard index listed twice", &listedTwice},
                                        std::pair{"count lost", &countLost}}) {
        SCOPED_TRACE(name);
        WriteAll(path, *damaged);
        TAVIReader reader;
        ASSERT_TRUE(reader.Open(path)) << reader.LastError();
        EXPECT_EQ(reader.IndexKind(), TAVIReader::TIndexKind::Idx1);
        EXPECT_EQ(reader.Streams()[0].Chunks.size(), static_cast<size_t>(c.Frames));
    }
    TBytes bytes = pastTheEnd;
    // And idx1 loses its identity.
    const size_t idx1 = Find(bytes, "idx1");
    ASSERT_NE(idx1, std::string::npos);
    std::memcpy(&bytes[idx1], "JUNK", 4);
    WriteAll(path, bytes);
    {
        TAVIReader reader;
        ASSERT_TRUE(reader.Open(path)) << reader.LastError();
        EXPECT_EQ(reader.IndexKind(), TAVIReader::TIndexKind::Scan);
    }
    TSource source = OpenSource(path);
    ASSERT_TRUE(source);
    ASSERT_EQ(source->GetFrameCount(), c.Frames);
    ExpectFrames(*source, c, FrameNumbers(c.Frames, true));
    ExpectFrameAudio(*source, c, 5, 1920 * 4, 5 * 1920 * 4);
}

// A file cut off while it was written keeps the frames before the cut; a file cut inside its
// header, or one that is no AVI file, is refused with the reason.
TEST_F(AVIPluginTest, TruncatedFilesReadWhatIsIntactOrFailWithAReason) {
    TClipRecipe c;
    c.Frames = 20;
    c.PartLimit = 16 * 1024;
    const std::string path = ClipFile(c);
    const TBytes whole = ReadAll(path);
    const size_t movi = Find(whole, "movi");
    ASSERT_NE(movi, std::string::npos);

    WriteAll(path, TBytes(whole.begin(),
                          whole.begin() + static_cast<std::ptrdiff_t>(whole.size() * 2 / 3)));
    TSource cut = OpenSource(path);
    ASSERT_TRUE(cut);
    EXPECT_GT(cut->GetFrameCount(), 2);
    EXPECT_LT(cut->GetFrameCount(), c.Frames);
    ExpectFrames(*cut, c, FrameNumbers(cut->GetFrameCount()));

    struct TCase {
        const char* Name;
        TBytes Bytes;
        const char* Reason;
    };
    std::mt19937 random(3);
    TBytes noise(5000);
    for (auto& b : noise) {
        b = static_cast<uint8_t>(random());
    }
    const TCase cases[] = {
        {"cut in the header", TBytes(whole.begin(), whole.begin() + 300), "header list"},
        {"cut before the first frame",
         TBytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(movi + 20)),
         "no video frames"},
        {"random bytes", noise, "not an AVI file"},
        {"empty", {}, "not an AVI file"},
    };
    for (const TCase& k : cases) {
        SCOPED_TRACE(k.Name);
        WriteAll(path, k.Bytes);
        std::string error;
        EXPECT_FALSE(OpenSource(path, &error));
        EXPECT_NE(error.find(k.Reason), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(OpenSource(PathOf("missing.avi"), &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

// Sizes that lie: each is refused at Open, or the frame it spoils fails to read with a reason
// while the others read.
TEST_F(AVIPluginTest, DamagedSizesAreRefusedOrSpoilOnlyTheirFrame) {
    const TClipRecipe c = StereoRecipe();
    const std::string path = ClipFile(c);
    const TBytes whole = ReadAll(path);
    const size_t strf = Find(whole, "strf");
    // The super index names the chunk id too; the first frame is in the movi list.
    const size_t firstFrame = Find(whole, "00dc", Find(whole, "movi"));
    ASSERT_NE(strf, std::string::npos);
    ASSERT_NE(firstFrame, std::string::npos);

    struct TCase {
        const char* Name;
        size_t At;
        uint32_t Value;
        const char* Reason;  // empty: opens, frame 0 fails, frame 1 reads
    };
    const TCase cases[] = {
        {"stream format larger than its list", strf + 4, 0x7FFFFFF0u, "runs past"},
        {"frame width absurd", strf + 8 + 4, 0x10000000u, "invalid frame size"},
        {"bit depth 16", strf + 8 + 12, 0x00100001u, "unsupported bit depth 16"},
        {"first frame's chunk size changed", firstFrame + 4, 12, ""},
        {"first frame's data damaged", firstFrame + 8 + 40, 0xDEADBEEFu, ""},
    };
    for (const TCase& k : cases) {
        SCOPED_TRACE(k.Name);
        TBytes bytes = whole;
        StoreLE32(&bytes[k.At], k.Value);
        WriteAll(path, bytes);
        std::string error;
        TSource source = OpenSource(path, &error);
        if (*k.Reason != '\0') {
            EXPECT_FALSE(source);
            EXPECT_NE(error.find(k.Reason), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(source) << error;
        TBytes out(static_cast<size_t>(c.Width) * c.Height * 4);
        EXPECT_FALSE(source->ReadFrame(0, out.data(), c.Width * 4));
        EXPECT_NE(LvsReadLastError(source.get()).find("frame 0"), std::string::npos)
            << LvsReadLastError(source.get());
        EXPECT_EQ(ReadFrame(*source, 1), FramePixels(c, 1));
    }
}

// Every byte of a small file flipped in turn: the plug-in opens or refuses each variant and
// reads what opens without harm (the sanitizer builds see any stray access).
TEST_F(AVIPluginTest, FlippedBytesAnywhereAreHandledSafely) {
    TClipRecipe c;
    c.Width = 8;
    c.Height = 4;
    c.Frames = 3;
    c.Channels = 1;
    c.AudioSamples = 1920 * 3;
    c.ChunkSamples = {1000};
    const std::string path = ClipFile(c);
    const TBytes whole = ReadAll(path);
    // Every byte near where the structure is (chunk headers, stream headers and formats,
    // indexes), and some of the rest.
    std::vector<size_t> positions;
    for (const char* marker : {"RIFF", "LIST", "strh", "strf", "indx", "dmlh", "movi", "ix00",
                               "ix01", "idx1", "00dc", "01wb"}) {
        for (size_t at = Find(whole, marker); at != std::string::npos;
             at = Find(whole, marker, at + 1)) {
            for (size_t i = at; i < std::min(whole.size(), at + 48); ++i) {
                positions.push_back(i);
            }
        }
    }
    for (size_t i = 0; i < whole.size(); i += 61) {
        positions.push_back(i);
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    int opened = 0;
    for (const size_t at : positions) {
        TBytes bytes = whole;
        bytes[at] ^= 0xA5;
        WriteAll(path, bytes);
        TSource source = OpenSource(path);
        if (!source) {
            continue;
        }
        ++opened;
        TBytes out(static_cast<size_t>(source->GetWidth()) * source->GetHeight() * 4);
        TBytes audio(16384);
        int32_t got = 0;
        for (int f = 0; f <= std::min(source->GetFrameCount(), 4); ++f) {
            source->ReadFrameAudio(f, out.data(), source->GetWidth() * 4, audio.data(),
                                   static_cast<int32_t>(audio.size()), &got);
            EXPECT_LE(got, static_cast<int32_t>(audio.size()));
        }
    }
    EXPECT_GT(opened, 0);
}

// AVI files in other codecs are served by the shared FFmpeg reader: every frame as the command
// line decodes it, in any order, the file's own four-character code, and its sound.
TEST_F(AVIPluginTest, OtherCodecsReadThroughTheSharedReaderFrameExactly) {
    const struct {
        const char* Name;
        std::vector<std::string> Codec;
        const char* Matrix;
        const char* Range;
        uint32_t Code;
        int Depth;
    } cases[] = {
        {"raw.avi", {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}, "bt601", "pc", 0, 24},
        {"raw32.avi", {"-c:v", "rawvideo", "-pix_fmt", "bgra"}, "bt601", "pc", 0, 32},
        {"mjpeg.avi", {"-c:v", "mjpeg", "-q:v", "4"}, "bt601", "pc", FourCC("MJPG"), 24},
        {"utrgb.avi", {"-c:v", "utvideo", "-pix_fmt", "gbrp"}, "bt601", "pc", FourCC("ULRG"), 24},
        {"utyuv.avi",
         {"-c:v", "utvideo", "-pix_fmt", "yuv422p"},
         "bt601",
         "tv",
         FourCC("ULY2"),
         24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> arguments = {
            "-f",   "lavfi",    "-i",  "testsrc2=size=64x48:rate=25",
            "-f",   "lavfi",    "-i",  "sine=f=500:r=48000",
            "-t",   "0.6",      "-ac", "2",
            "-c:a", "pcm_s16le"};
        arguments.insert(arguments.end(), c.Codec.begin(), c.Codec.end());
        const fs::path file = testing_support::MakeMediaFixture(c.Name, arguments);
        std::string error;
        TSource source = OpenSource(file.string(), &error);
        ASSERT_TRUE(source) << error;
        EXPECT_EQ(source->GetWidth(), 64);
        EXPECT_EQ(source->GetHeight(), 48);
        EXPECT_EQ(source->GetFrameCount(), 15);
        EXPECT_FLOAT_EQ(source->GetFrameRate(), 25.0f);
        EXPECT_EQ(source->GetCodecFourCC(), c.Code);
        EXPECT_EQ(source->GetBitDepth(), c.Depth);
        EXPECT_EQ(source->GetAudioChannels(), 2);
        const auto reference =
            testing_support::ReferenceFrames(file, c.Matrix, c.Range, size_t{64} * 48 * 4);
        ASSERT_EQ(reference.size(), 15u);
        for (const int frame : {7, 0, 14, 3, 4, 13}) {
            const TBytes pixels = ReadFrame(*source, frame);
            EXPECT_LE(testing_support::LargestDifference(pixels.data(), reference[frame].data(),
                                                         pixels.size()),
                      1)
                << "frame " << frame;
        }
        TBytes out(size_t{64} * 48 * 4);
        std::vector<int16_t> audio(4000);
        int32_t got = 0;
        ASSERT_TRUE(source->ReadFrameAudio(1, out.data(), 64 * 4, audio.data(),
                                           static_cast<int32_t>(audio.size() * 2), &got));
        EXPECT_EQ(got, 1920 * 2 * 2);
        EXPECT_NE(*std::max_element(audio.begin(), audio.begin() + got / 2), 0);
    }

    std::string error;
    WriteAll(PathOf("junk.avi"), TBytes(4096, 0x41));
    EXPECT_FALSE(OpenSource(PathOf("junk.avi"), &error));
    EXPECT_FALSE(error.empty());
}

// LMVC video whose sound is not 48 kHz PCM keeps our decoder and has the sound resampled; a
// sound that decodes nowhere is refused with our reader's reason.
TEST_F(AVIPluginTest, LmvcWithOtherSoundIsResampledOrRefusedWithTheReason) {
    TClipRecipe c;
    c.Channels = 2;
    c.AudioSamples = 44100 * c.Frames / 25;
    const std::string path = ClipFile(c);
    TBytes bytes = ReadAll(path);
    const size_t audioFormat = Find(bytes, "strf", Find(bytes, "auds"));
    ASSERT_NE(audioFormat, std::string::npos);
    const TBytes original = bytes;
    StoreLE32(&bytes[audioFormat + 8 + 4], 44100);
    StoreLE32(&bytes[audioFormat + 8 + 8], 44100 * 4);
    const size_t audioHeader = Find(bytes, "auds");
    StoreLE32(&bytes[audioHeader + 24], 44100);  // the stream header's rate
    WriteAll(path, bytes);
    std::string error;
    TSource source = OpenSource(path, &error);
    ASSERT_TRUE(source) << error;
    EXPECT_EQ(source->GetCodecFourCC(), FourCC("LMVC"));
    EXPECT_EQ(source->GetAudioChannels(), 2);
    TBytes out(static_cast<size_t>(c.Width) * c.Height * 4);
    std::vector<int16_t> audio(4000);
    for (int f = 0; f < c.Frames; ++f) {
        int32_t got = 0;
        ASSERT_TRUE(source->ReadFrameAudio(f, out.data(), c.Width * 4, audio.data(),
                                           static_cast<int32_t>(audio.size() * 2), &got));
        EXPECT_EQ(out, FramePixels(c, f)) << "frame " << f;
        EXPECT_EQ(got, 1920 * 2 * 2);
    }
    source.reset();

    // A format tag no decoder knows.
    bytes = original;
    StoreLE16(&bytes[audioFormat + 8], 0x7777);
    WriteAll(path, bytes);
    EXPECT_FALSE(OpenSource(path, &error));
    EXPECT_NE(error.find("not PCM"), std::string::npos) << error;
}

// A stream header that claims four billion frames per second: the clip opens, reads its
// pictures, and its frames are too short to carry a sample.
TEST_F(AVIPluginTest, AClaimedRateFarAboveAnyTableRateReadsSafely) {
    const TClipRecipe c = StereoRecipe();
    const std::string path = ClipFile(c);
    TBytes bytes = ReadAll(path);
    const size_t videoHeader = Find(bytes, "vids");
    ASSERT_NE(videoHeader, std::string::npos);
    StoreLE32(&bytes[videoHeader + 20], 1);           // scale
    StoreLE32(&bytes[videoHeader + 24], 4000000000);  // rate
    WriteAll(path, bytes);
    std::string error;
    TSource source = OpenSource(path, &error);
    ASSERT_TRUE(source) << error;
    EXPECT_FLOAT_EQ(source->GetFrameRate(), 4e9f);
    TBytes out(static_cast<size_t>(c.Width) * c.Height * 4);
    std::vector<int16_t> audio(4000);
    for (int f = 0; f < 3; ++f) {
        int32_t got = -1;
        ASSERT_TRUE(source->ReadFrameAudio(f, out.data(), c.Width * 4, audio.data(),
                                           static_cast<int32_t>(audio.size() * 2), &got));
        EXPECT_EQ(out, FramePixels(c, f)) << "frame " << f;
        EXPECT_EQ(got, 0);
    }
}

}  // namespace
