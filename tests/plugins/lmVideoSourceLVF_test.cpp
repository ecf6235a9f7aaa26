// The LVF plug-in as the server sees it (the staged library, bound by name) and lvftool as
// users run it.

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "port/port.h"
#include "support/TestVideoSourcePlugin.h"
#include "support/TestWait.h"

namespace fs = std::filesystem;
using testing_support::FinishesWithin;
using testing_support::TSource;
using testing_support::TSourceRelease;
using testing_support::TStagedPlugin;

namespace {

using TBytes = std::vector<uint8_t>;

const std::string kStage = LMV_STAGE_DIR;
const std::string kTool = kStage + "/lvftool";

// Writes an 8-bit PNG from BGRA pixels, with or without its alpha channel.
void WritePng(const std::string& path, const TBytes& bgra, uint32_t width, uint32_t height,
              bool alpha) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<uint8_t> row;
    for (uint32_t y = 0; y < height; ++y) {
        row.clear();
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* p = bgra.data() + (static_cast<size_t>(y) * width + x) * 4;
            row.insert(row.end(), {p[2], p[1], p[0]});
            if (alpha) {
                row.push_back(p[3]);
            }
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

TBytes ReadPngAsBGRA(const std::string& path, uint32_t& width, uint32_t& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    image.format = PNG_FORMAT_BGRA;
    TBytes pixels(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
    width = image.width;
    height = image.height;
    return pixels;
}

TBytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), {});
}

// Runs lvftool; returns its exit status and what it printed on both streams.
int RunTool(const std::string& arguments, std::string* output = nullptr) {
    // ctest runs the tests of this file side by side, each in its own process: one log each.
    const std::string log = std::string(LMV_TEST_BINARY_DIR) + "/lvftool-" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                            ".out";
    const int status = std::system((kTool + " " + arguments + " >" + log + " 2>&1").c_str());
    if (output != nullptr) {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        *output = text.str();
    }
    // The shell's wait status: the exit code sits in the second byte.
    return status == -1 ? -1 : (status >> 8) & 0xFF;
}

// A frame that exercises both packet kinds: flat bands, a gradient and varying alpha.
TBytes MakeFrame(uint32_t width, uint32_t height, uint32_t seed, bool opaque) {
    TBytes frame(static_cast<size_t>(width) * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = frame.data() + (static_cast<size_t>(y) * width + x) * 4;
            const bool flat = (y / 3) % 2 == 0;
            p[0] = static_cast<uint8_t>(flat ? seed : x * 13 + seed);
            p[1] = static_cast<uint8_t>(flat ? 40 : y * 7);
            p[2] = static_cast<uint8_t>(x ^ y ^ seed);
            p[3] = opaque ? 0xFF : static_cast<uint8_t>(flat ? 0x80 : x * 9);
        }
    }
    return frame;
}

class LVFPluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(FPlugin.Error(), "");
        FFolder = fs::path(LMV_TEST_BINARY_DIR) / "lvfplugin" /
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(FFolder);
        fs::create_directories(FFolder);
    }
    void TearDown() override { fs::remove_all(FFolder); }

    // A clip of `frames.size()` frames made from raw frames by lvftool.
    std::string MakeClip(const std::string& name, const std::vector<TBytes>& frames, uint32_t width,
                         uint32_t height) {
        const std::string raw = (FFolder / (name + ".raw")).string();
        std::ofstream out(raw, std::ios::binary);
        for (const auto& frame : frames) {
            out.write(reinterpret_cast<const char*>(frame.data()),
                      static_cast<std::streamsize>(frame.size()));
        }
        out.close();
        const std::string clip = (FFolder / (name + ".lvf")).string();
        std::string output;
        EXPECT_EQ(RunTool("create-raw " + clip + " " + std::to_string(width) + " " +
                              std::to_string(height) + " " + raw,
                          &output),
                  0)
            << output;
        return clip;
    }

    TStagedPlugin FPlugin{"lmVideoSourceLVF.lvs"};
    fs::path FFolder;
};

TEST_F(LVFPluginTest, AnnouncesItselfForLvfFiles) {
    EXPECT_TRUE(FPlugin.Init());
    EXPECT_EQ(FPlugin.Host().Description, "LVF Files");
    EXPECT_EQ(FPlugin.Host().Extensions, std::vector<std::string>{"lvf"});
    EXPECT_TRUE(FPlugin.Host().Formats.empty());
    EXPECT_TRUE(FPlugin.DeInit());
    EXPECT_EQ(FPlugin.Symbol("GetVideoSourceEncoder"), nullptr);
}

TEST_F(LVFPluginTest, PngSequenceWrittenByTheToolReadsBackPixelForPixel) {
    constexpr uint32_t kWidth = 37, kHeight = 11;
    std::vector<TBytes> expected;
    std::string pngs;
    for (uint32_t i = 0; i < 3; ++i) {
        // The middle frame has no alpha channel in its PNG; it must arrive opaque.
        const bool withAlpha = i != 1;
        expected.push_back(MakeFrame(kWidth, kHeight, i * 50, !withAlpha));
        const std::string png = (FFolder / ("f" + std::to_string(i) + ".png")).string();
        WritePng(png, expected.back(), kWidth, kHeight, withAlpha);
        pngs += " " + png;
    }
    const std::string clip = (FFolder / "clip.lvf").string();
    std::string output;
    ASSERT_EQ(RunTool("create " + clip + pngs, &output), 0) << output;

    TSource source = FPlugin.NewSource();
    ASSERT_TRUE(source->Open(LvsToUtf16(clip).c_str(), LvsOpenFlags))
        << LvsReadLastError(source.get());
    ASSERT_EQ(source->GetWidth(), static_cast<int32_t>(kWidth));
    ASSERT_EQ(source->GetHeight(), static_cast<int32_t>(kHeight));
    ASSERT_EQ(source->GetFrameCount(), 3);
    for (int32_t frame = 2; frame >= 0; --frame) {
        TBytes pixels(kWidth * kHeight * 4);
        ASSERT_TRUE(source->ReadFrame(frame, pixels.data(), kWidth * 4));
        EXPECT_EQ(pixels, expected[frame]) << "frame " << frame;
    }

    // And back out as PNG files.
    ASSERT_EQ(RunTool("extract " + clip + " " + (FFolder / "out_").string(), &output), 0) << output;
    for (uint32_t i = 0; i < 3; ++i) {
        uint32_t width = 0, height = 0;
        char name[32];
        std::snprintf(name, sizeof name, "out_%06u.png", i);
        EXPECT_EQ(ReadPngAsBGRA((FFolder / name).string(), width, height), expected[i]);
        EXPECT_EQ(width, kWidth);
        EXPECT_EQ(height, kHeight);
    }
}

TEST_F(LVFPluginTest, RawFramesRoundTripThroughTheTool) {
    const std::vector<TBytes> frames = {MakeFrame(64, 9, 1, false), MakeFrame(64, 9, 2, false)};
    const std::string clip = MakeClip("raw", frames, 64, 9);
    const std::string back = (FFolder / "back.raw").string();
    std::string output;
    ASSERT_EQ(RunTool("extract-raw " + clip + " " + back, &output), 0) << output;
    EXPECT_EQ(ReadFile(back), ReadFile((FFolder / "raw.raw").string()));

    ASSERT_EQ(RunTool("info " + clip, &output), 0) << output;
    EXPECT_NE(output.find("frames: 2"), std::string::npos) << output;
    EXPECT_NE(output.find("width: 64"), std::string::npos) << output;
    EXPECT_NE(output.find("\n0  72  "), std::string::npos) << output;
}

TEST_F(LVFPluginTest, ToolExplainsWhatIsWrong) {
    const std::string small = (FFolder / "small.png").string();
    const std::string large = (FFolder / "large.png").string();
    WritePng(small, MakeFrame(2, 2, 0, true), 2, 2, true);
    WritePng(large, MakeFrame(3, 2, 0, true), 3, 2, true);
    const std::string raw = (FFolder / "short.raw").string();
    std::ofstream(raw, std::ios::binary) << "0123456789";
    struct Case {
        std::string arguments;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", 2, "Usage:"},
        {"frobnicate x", 2, "unknown command"},
        {"create " + (FFolder / "o.lvf").string() + " " + small + " " + large, 1,
         large + " is 3 x 2, the first frame is 2 x 2"},
        {"create " + (FFolder / "o.lvf").string() + " " + raw, 1, raw + " is not a PNG file"},
        {"create-raw " + (FFolder / "o.lvf").string() + " 2 0 " + raw, 1,
         "width and height must be positive"},
        {"create-raw " + (FFolder / "o.lvf").string() + " 2 1 " + raw, 1,
         "ends inside frame 1 (2 of 8 bytes)"},
        {"info " + raw, 1, "file is trucated"},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_EQ(RunTool(c.arguments, &output), c.status) << c.arguments;
        EXPECT_NE(output.find(c.message), std::string::npos) << c.arguments << "\n" << output;
    }
}

TEST_F(LVFPluginTest, AnswersTheFixedProperties) {
    const std::string clip = MakeClip("props", {MakeFrame(4, 4, 0, false)}, 4, 4);
    TSource source = FPlugin.NewSource();
    ASSERT_TRUE(source->Open(LvsToUtf16(clip).c_str(), LvsOpenFlags));
    EXPECT_EQ(source->GetFrameCount(), 1);
    EXPECT_EQ(source->GetPreferredBufferCount(), 25);
    EXPECT_EQ(source->GetFrameRate(), 25.0f);
    EXPECT_FALSE(source->IsInterlaced());
    EXPECT_EQ(source->GetFieldOrder(), 0);
    EXPECT_FALSE(source->IsOpaque());
    EXPECT_EQ(source->GetOutputBitDepth(), 32);
    EXPECT_EQ(source->GetBitDepth(), 32);
    EXPECT_EQ(source->GetAudioChannels(), 0);
    EXPECT_EQ(source->GetCodecFourCC(), 0u);
    EXPECT_EQ(source->GetCaptionType(), 0);
    int32_t count = 7;
    uint8_t caption[2];
    EXPECT_FALSE(source->GetCaptionData(0, caption, 2, &count));
    EXPECT_EQ(count, 0);
    int32_t audioBytes = 0;
    TBytes pixels(64), audio(64);
    EXPECT_FALSE(source->ReadFrameAudio(0, pixels.data(), 16, audio.data(), 64, &audioBytes));

    void* object = nullptr;
    EXPECT_EQ(source->QueryInterface(IID_IVideoSource, &object), LVS_S_OK);
    EXPECT_EQ(object, source.get());
    EXPECT_EQ(source->Release(), 1);
    EXPECT_EQ(source->QueryInterface(IID_IVideoSourceEncoder, &object), LVS_E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
}

TEST_F(LVFPluginTest, CopiesRowsIntoAnyPitch) {
    constexpr uint32_t kWidth = 5, kHeight = 3, kRow = kWidth * 4;
    const TBytes frame = MakeFrame(kWidth, kHeight, 9, false);
    const std::string clip = MakeClip("pitch", {frame}, kWidth, kHeight);
    TSource source = FPlugin.NewSource();
    ASSERT_TRUE(source->Open(LvsToUtf16(clip).c_str(), LvsOpenFlags));
    for (uint32_t pitch : {kRow, kRow + 12, kRow - 8}) {
        TBytes buffer(pitch * kHeight, 0xEE);
        ASSERT_TRUE(source->ReadFrame(0, buffer.data(), static_cast<int32_t>(pitch))) << pitch;
        const uint32_t copied = std::min(pitch, kRow);
        for (uint32_t y = 0; y < kHeight; ++y) {
            const auto row = buffer.begin() + y * pitch;
            EXPECT_TRUE(std::equal(row, row + copied, frame.begin() + y * kRow)) << pitch;
            EXPECT_TRUE(std::all_of(row + copied, row + pitch, [](uint8_t b) { return b == 0xEE; }))
                << "pitch " << pitch << ": the rest of each row is left alone";
        }
    }
    EXPECT_FALSE(source->ReadFrame(0, nullptr, kRow));
    EXPECT_FALSE(source->ReadFrame(0, std::vector<uint8_t>(kRow * kHeight).data(), 0));
}

TEST_F(LVFPluginTest, ExplainsFailuresThroughGetLastError) {
    const std::string clip = MakeClip("errors", {MakeFrame(2, 2, 0, false)}, 2, 2);
    TSource source = FPlugin.NewSource();
    int32_t length = 0;
    EXPECT_FALSE(source->GetLastError(&length, nullptr)) << "no text yet";

    // The same clip with another magic.
    TBytes bytes = ReadFile(clip);
    bytes[0] = 'X';
    const std::string wrong = (FFolder / "wrong.lvf").string();
    std::ofstream(wrong, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    EXPECT_FALSE(source->Open(LvsToUtf16(wrong).c_str(), LvsOpenFlags));
    const std::u16string text = u"file not in LVF format";
    EXPECT_FALSE(source->GetLastError(nullptr, nullptr));
    ASSERT_TRUE(source->GetLastError(&length, nullptr));
    EXPECT_EQ(length, static_cast<int32_t>(text.size()));
    std::u16string buffer(length + 1, u'?');
    ASSERT_TRUE(source->GetLastError(&length, buffer.data()));
    EXPECT_EQ(buffer, text + u'\0');
    // A shorter buffer gets the start of the text, still terminated.
    length = 4;
    ASSERT_TRUE(source->GetLastError(&length, buffer.data()));
    EXPECT_EQ(std::u16string(buffer.c_str()), u"file");

    // The same object opens the good clip afterwards; a frame beyond its end is refused.
    ASSERT_TRUE(source->Open(LvsToUtf16(clip).c_str(), LvsOpenFlags));
    TBytes pixels(16);
    EXPECT_FALSE(source->ReadFrame(1, pixels.data(), 8));
    EXPECT_EQ(LvsReadLastError(source.get()), "frame index out of range");
    EXPECT_FALSE(source->ReadFrame(-1, pixels.data(), 8));
    EXPECT_TRUE(source->ReadFrame(0, pixels.data(), 8));
}

// A clip whose first index entry claims 400,000 bytes more than its record holds, all of them
// inside the file: the reader once went round without end on such a record.
TEST_F(LVFPluginTest, DamagedRecordFailsTheReadWhateverThePitch) {
    constexpr uint32_t kWidth = 64, kHeight = 48, kRow = kWidth * 4, kFrames = 40;
    constexpr uint32_t kExcess = 400000;
    // Noise does not compress, so the clip holds the excess after its first record.
    std::vector<TBytes> frames(kFrames, TBytes(kRow * kHeight));
    uint32_t state = 99;
    for (TBytes& frame : frames) {
        for (uint8_t& byte : frame) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(state >> 24);
        }
    }
    const std::string clip = MakeClip("damaged", frames, kWidth, kHeight);
    TBytes bytes = ReadFile(clip);
    uint64_t indexOffset = 0, recordOffset = 0;
    uint32_t size = 0;
    std::memcpy(&indexOffset, bytes.data() + 32, 8);
    std::memcpy(&recordOffset, bytes.data() + indexOffset, 8);
    std::memcpy(&size, bytes.data() + indexOffset + 8, 4);
    ASSERT_LE(recordOffset + size + kExcess + 8, bytes.size());
    size += kExcess;
    std::memcpy(bytes.data() + indexOffset + 8, &size, 4);
    std::ofstream(clip, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));

    IVideoSource* opened = nullptr;
    ASSERT_TRUE(FPlugin.GetVideoSource(&opened));
    // Shared with the reading thread, which keeps the library loaded while it may run.
    auto source = std::shared_ptr<IVideoSource>(opened, TSourceRelease());
    auto library = std::make_shared<port::DynamicLibrary>();
    ASSERT_TRUE(library->Open(kStage + "/bin/lmVideoSourceLVF.lvs"));
    ASSERT_TRUE(source->Open(LvsToUtf16(clip).c_str(), LvsOpenFlags))
        << LvsReadLastError(source.get());
    for (uint32_t pitch : {kRow, kRow + 16}) {
        auto buffer = std::make_shared<TBytes>(pitch * kHeight);
        auto result = std::make_shared<std::pair<bool, std::string>>();
        ASSERT_TRUE(FinishesWithin([source, library, buffer, pitch, result] {
            result->first = source->ReadFrame(0, buffer->data(), static_cast<int32_t>(pitch));
            result->second = LvsReadLastError(source.get());
        })) << "pitch "
            << pitch << ": the read never ended";
        EXPECT_FALSE(result->first) << pitch;
        EXPECT_EQ(result->second, "error decoding frame: 0") << pitch;
    }
    TBytes pixels(kRow * kHeight);
    ASSERT_TRUE(source->ReadFrame(1, pixels.data(), kRow)) << LvsReadLastError(source.get());
    EXPECT_TRUE(pixels == frames[1]);
}

// File names from network shares are often Latin-1 or some other 8-bit code page: the host
// passes the bytes through the escaped form and the plug-in opens that very file.
TEST_F(LVFPluginTest, OpensAFileWhoseNameIsNotUTF8) {
    const TBytes frame = MakeFrame(4, 2, 9, false);
    const std::string clip = MakeClip("plain", {frame}, 4, 2);
    const std::string latin = (FFolder / "caf\xe9 cr\xe8me.lvf").string();
    fs::rename(clip, latin);
    TSource source = FPlugin.NewSource();
    ASSERT_TRUE(source->Open(LvsPathToUtf16(latin).c_str(), LvsOpenFlags))
        << LvsReadLastError(source.get());
    TBytes pixels(frame.size());
    ASSERT_TRUE(source->ReadFrame(0, pixels.data(), 16));
    EXPECT_EQ(pixels, frame);
    // The error text about such a name stays well-formed UTF-8.
    EXPECT_FALSE(source->Open(LvsPathToUtf16(latin + "x").c_str(), LvsOpenFlags));
    const std::string error = LvsReadLastError(source.get());
    EXPECT_NE(error.find("caf\xEF\xBF\xBD cr"), std::string::npos) << error;
}

TEST_F(LVFPluginTest, SourcesWorkSideBySideOnSeveralThreads) {
    std::vector<std::string> clips;
    std::vector<std::vector<TBytes>> frames(3);
    for (uint32_t c = 0; c < 3; ++c) {
        for (uint32_t f = 0; f < 4; ++f) {
            frames[c].push_back(MakeFrame(32, 16, c * 10 + f, c == 1));
        }
        clips.push_back(MakeClip("parallel" + std::to_string(c), frames[c], 32, 16));
    }
    std::vector<std::thread> workers;
    std::atomic<int> matches{0};
    for (uint32_t c = 0; c < 3; ++c) {
        workers.emplace_back([&, c] {
            TSource source = FPlugin.NewSource();
            if (!source->Open(LvsToUtf16(clips[c]).c_str(), LvsOpenFlags)) {
                return;
            }
            TBytes pixels(32 * 16 * 4);
            for (int round = 0; round < 10; ++round) {
                for (int32_t f = 0; f < 4; ++f) {
                    if (source->ReadFrame(f, pixels.data(), 32 * 4) && pixels == frames[c][f]) {
                        ++matches;
                    }
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(matches, 3 * 10 * 4);
}

}  // namespace
