// The plug-ins on the FFmpeg reader as the server sees them: the staged libraries bound by name,
// what each announces, and the IVideoSource contract on real files.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "port/port.h"
#include "support/TestMediaFixtures.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

const std::string kBin = std::string(LMV_STAGE_DIR) + "/bin/";

class TRecordingHost final : public IVideoSourceHost {
  public:
    LvsResult LVS_CALL QueryInterface(const TLvsIID&, void** object) override {
        *object = nullptr;
        return LVS_E_NOINTERFACE;
    }
    int32_t LVS_CALL AddRef() override { return -1; }
    int32_t LVS_CALL Release() override { return -1; }
    void LVS_CALL SetDescription(const char16_t* name) override { Description = LvsToUtf8(name); }
    void LVS_CALL AddExtension(const char16_t* extension) override {
        Extensions.push_back(LvsToUtf8(extension));
    }
    void LVS_CALL AddEncoderFormat(const char16_t*, const char16_t*, const char16_t*,
                                   uint32_t) override {}
    std::string Description;
    std::vector<std::string> Extensions;
};

struct TSourceRelease {
    void operator()(IVideoSource* source) const { source->Release(); }
};
using TSource = std::unique_ptr<IVideoSource, TSourceRelease>;

// One staged plug-in, initialised.
class TPlugin {
  public:
    explicit TPlugin(const std::string& file) {
        EXPECT_TRUE(FLibrary.Open(kBin + file)) << FLibrary.LastError();
        auto init = reinterpret_cast<TInitVideoSourceProc>(FLibrary.Symbol("InitVideoSource"));
        FGet = reinterpret_cast<TGetVideoSourceProc>(FLibrary.Symbol("GetVideoSource"));
        FDeInit = reinterpret_cast<TDeInitVideoSourceProc>(FLibrary.Symbol("DeInitVideoSource"));
        EXPECT_TRUE(init && FGet && FDeInit);
        if (init != nullptr) {
            EXPECT_TRUE(init(&Host));
        }
    }
    ~TPlugin() {
        if (FDeInit != nullptr)
            FDeInit();
    }
    TSource NewSource() {
        IVideoSource* source = nullptr;
        EXPECT_TRUE(FGet != nullptr && FGet(&source));
        return TSource(source);
    }
    void* Symbol(const char* name) { return FLibrary.Symbol(name); }
    TRecordingHost Host;

  private:
    port::DynamicLibrary FLibrary;
    TGetVideoSourceProc FGet = nullptr;
    TDeInitVideoSourceProc FDeInit = nullptr;
};

std::string LastError(IVideoSource& source) {
    int32_t length = 0;
    EXPECT_TRUE(source.GetLastError(&length, nullptr));
    std::u16string text(static_cast<size_t>(length) + 1, u'\0');
    EXPECT_TRUE(source.GetLastError(&length, text.data()));
    text.resize(static_cast<size_t>(length));
    return LvsToUtf8(text.c_str());
}

bool Open(IVideoSource& source, const fs::path& file) {
    return source.Open(LvsPathToUtf16(file.string()).c_str(), LvsOpenFlags) != LvsFalse;
}

TEST(FFmpegPlugins, EachAnnouncesItsNameAndExtensions) {
    const struct {
        const char* File;
        const char* Description;
        std::vector<std::string> Extensions;
    } cases[] = {
        {"lmVideoSourceQT.lvs", "Quicktime Files", {"mov", "mp4", "m4v"}},
        {"lmVideoSourceBroadcast.lvs",
         "Broadcast Files",
         {"mxf", "mts", "m2ts", "ts", "mkv", "dv", "mpg"}},
        {"lmVideoSourceImage.lvs",
         "Image Files",
         {"jpg", "jpeg", "gif", "tga", "png", "tif", "tiff", "psd", "bmp"}},
    };
    for (const auto& c : cases) {
        TPlugin plugin(c.File);
        EXPECT_EQ(plugin.Host.Description, c.Description);
        EXPECT_EQ(plugin.Host.Extensions, c.Extensions);
        // The encoder is not offered by these plug-ins.
        EXPECT_EQ(plugin.Symbol("GetVideoSourceEncoder"), nullptr) << c.File;
        EXPECT_EQ(plugin.Symbol("SetHostType"), nullptr) << c.File;
    }
}

TEST(FFmpegPlugins, MovieSourceAnswersTheContract) {
    TPlugin plugin("lmVideoSourceQT.lvs");
    TSource source = plugin.NewSource();
    ASSERT_TRUE(source);
    ASSERT_TRUE(Open(*source, MediaFixture("prores4444.mov")));
    EXPECT_EQ(source->GetWidth(), 160);
    EXPECT_EQ(source->GetHeight(), 120);
    EXPECT_EQ(source->GetFrameCount(), 25);
    EXPECT_FLOAT_EQ(source->GetFrameRate(), 25.0f);
    EXPECT_EQ(source->GetBitDepth(), 32);
    EXPECT_FALSE(source->IsOpaque());
    EXPECT_EQ(source->GetOutputBitDepth(), 32);
    EXPECT_EQ(source->GetCodecFourCC(), 0u);
    EXPECT_EQ(source->GetCaptionType(), LvsCaptionNone);
    // min(40 MiB / 300 KiB, max(25, 4)).
    EXPECT_EQ(source->GetPreferredBufferCount(), 25);
    void* encoder = reinterpret_cast<void*>(1);
    EXPECT_EQ(source->QueryInterface(IID_IVideoSourceEncoder, &encoder), LVS_E_NOINTERFACE);
    EXPECT_EQ(encoder, nullptr);
    uint8_t pair[2];
    int32_t count = 7;
    EXPECT_FALSE(source->GetCaptionData(0, pair, 2, &count));
    EXPECT_EQ(count, 0);
}

TEST(FFmpegPlugins, CaptionsComeThroughTheSource) {
    TPlugin plugin("lmVideoSourceQT.lvs");
    TSource source = plugin.NewSource();
    ASSERT_TRUE(Open(*source, CaptionFixture()));
    EXPECT_EQ(source->GetCaptionType(), LvsCaptionCEA608);
    uint8_t pair[2] = {};
    int32_t count = 7;
    EXPECT_FALSE(source->GetCaptionData(0, pair, 1, &count));
    EXPECT_EQ(count, 0);
    ASSERT_TRUE(source->GetCaptionData(0, pair, 2, &count));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(pair[0], 0x94);
    EXPECT_EQ(pair[1], 0x20);
}

TEST(FFmpegPlugins, BroadcastSourceGivesTheStartTimeCodeThroughItsMetadataInterface) {
    TPlugin plugin("lmVideoSourceBroadcast.lvs");
    TSource source = plugin.NewSource();
    ASSERT_TRUE(Open(*source, MediaFixture("mpeg2_422.mxf")));
    EXPECT_EQ(source->GetAudioChannels(), 8);
    EXPECT_TRUE(source->IsInterlaced());
    EXPECT_EQ(source->GetFieldOrder(), LvsFieldTopFirst);
    void* found = nullptr;
    ASSERT_EQ(source->QueryInterface(IID_IVideoSourceMetadata, &found), LVS_S_OK);
    auto* metadata = static_cast<IVideoSourceMetadata*>(found);
    int32_t length = 0;
    ASSERT_TRUE(metadata->GetStartTimeCode(&length, nullptr));
    std::u16string text(static_cast<size_t>(length) + 1, u'\0');
    ASSERT_TRUE(metadata->GetStartTimeCode(&length, text.data()));
    EXPECT_EQ(LvsToUtf8(text.c_str()), "10:00:00:00");
    metadata->Release();
}

// The start time code through the metadata interface; empty when the file has none.
std::string StartTimeCode(IVideoSource& source) {
    void* found = nullptr;
    if (source.QueryInterface(IID_IVideoSourceMetadata, &found) != LVS_S_OK)
        return "(no metadata interface)";
    auto* metadata = static_cast<IVideoSourceMetadata*>(found);
    int32_t length = 0;
    std::u16string text;
    if (metadata->GetStartTimeCode(&length, nullptr)) {
        text.assign(static_cast<size_t>(length) + 1, u'\0');
        metadata->GetStartTimeCode(&length, text.data());
        text.resize(static_cast<size_t>(length));
    }
    metadata->Release();
    return LvsToUtf8(text.c_str());
}

// Broadcast containers through their plug-in: every frame as the command line decodes it, in
// any order, with the file's sound and start time code.
TEST(FFmpegPlugins, BroadcastContainersReadFrameExactly) {
    const struct {
        const char* Fixture;
        const char* Matrix;
        int Width, Height, Frames, Channels;
        const char* TimeCode;
    } cases[] = {
        {"opatom.mxf", "bt709", 256, 144, 25, 0, "00:00:00:00"},
        {"avcintra.mxf", "bt709", 1280, 720, 4, 0, "00:00:00:00"},
        {"pal.dv", "bt601", 720, 576, 10, 2, "01:02:03:04"},
        {"h264_opus.mkv", "bt601", 160, 90, 25, 1, ""},
    };
    TPlugin plugin("lmVideoSourceBroadcast.lvs");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Fixture);
        const fs::path file = MediaFixture(c.Fixture);
        TSource source = plugin.NewSource();
        ASSERT_TRUE(Open(*source, file)) << LastError(*source);
        EXPECT_EQ(source->GetWidth(), c.Width);
        EXPECT_EQ(source->GetHeight(), c.Height);
        EXPECT_EQ(source->GetFrameCount(), c.Frames);
        EXPECT_EQ(source->GetAudioChannels(), c.Channels);
        EXPECT_EQ(StartTimeCode(*source), c.TimeCode);
        const size_t frameBytes = static_cast<size_t>(c.Width) * c.Height * 4;
        const std::vector<TMediaBytes> reference =
            ReferenceFrames(file, c.Matrix, "tv", frameBytes);
        ASSERT_EQ(reference.size(), static_cast<size_t>(c.Frames));
        std::vector<int32_t> order;
        for (int32_t f = c.Frames - 1; f >= 0; f -= 2)
            order.push_back(f);
        for (int32_t f = 0; f < c.Frames; f += 2)
            order.push_back(f);
        TMediaBytes pixels(frameBytes);
        for (const int32_t frame : order) {
            ASSERT_TRUE(source->ReadFrame(frame, pixels.data(), c.Width * 4));
            EXPECT_LE(LargestDifference(pixels.data(), reference[frame].data(), frameBytes), 1)
                << "frame " << frame;
        }
    }
}

TEST(FFmpegPlugins, FailedOpenExplainsItselfInTheLibrarysWords) {
    TPlugin plugin("lmVideoSourceQT.lvs");
    const fs::path folder = MediaFixtureFolder() / ("plugin-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const TMediaBytes movie = ReadMediaFile(MediaFixture("tff2997.mov"));
    std::ofstream(folder / "cut.mov", std::ios::binary)
        .write(reinterpret_cast<const char*>(movie.data()),
               static_cast<std::streamsize>(movie.size() / 3));
    TSource source = plugin.NewSource();
    EXPECT_FALSE(Open(*source, folder / "cut.mov"));
    EXPECT_NE(LastError(*source).find("moov atom not found"), std::string::npos)
        << LastError(*source);
    TSource missing = plugin.NewSource();
    EXPECT_FALSE(Open(*missing, folder / "absent.mov"));
    EXPECT_NE(LastError(*missing).find("No such file"), std::string::npos) << LastError(*missing);
    fs::remove_all(folder);
}

TEST(FFmpegPlugins, ImageSourceIsOneFrameWithoutRate) {
    TPlugin plugin("lmVideoSourceImage.lvs");
    TSource source = plugin.NewSource();
    ASSERT_TRUE(Open(*source, MediaFixture("rgba.png")));
    EXPECT_EQ(source->GetFrameCount(), 1);
    EXPECT_LT(source->GetFrameRate(), 0.0f);
    EXPECT_EQ(source->GetBitDepth(), 32);
    std::vector<uint8_t> frame(static_cast<size_t>(source->GetWidth()) * source->GetHeight() * 4);
    EXPECT_TRUE(source->ReadFrame(0, frame.data(), source->GetWidth() * 4));
    // The alpha of the image: row y holds y x 4.
    EXPECT_EQ(frame[static_cast<size_t>(source->GetWidth()) * 4 * 10 + 3], 40);
}

}  // namespace
