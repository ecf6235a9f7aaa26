// The plug-ins on the FFmpeg reader as the server sees them: the staged libraries bound by name,
// what each announces, and the IVideoSource contract on real files.

#include <gtest/gtest.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "support/TestMediaFixtures.h"
#include "support/TestVideoSourcePlugin.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// One staged plug-in, initialised.
class TPlugin : public TStagedPlugin {
  public:
    explicit TPlugin(const std::string& file) : TStagedPlugin(file) {
        EXPECT_EQ(Error(), "");
        EXPECT_TRUE(Init());
    }
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
        EXPECT_EQ(plugin.Host().Description, c.Description);
        EXPECT_EQ(plugin.Host().Extensions, c.Extensions);
        // Only the movie plug-in offers the encoder, with its formats.
        const bool movie = std::string(c.File) == "lmVideoSourceQT.lvs";
        EXPECT_EQ(plugin.Symbol("GetVideoSourceEncoder") != nullptr, movie) << c.File;
        EXPECT_EQ(plugin.Symbol("SetHostType"), nullptr) << c.File;
        EXPECT_EQ(plugin.Host().Formats.empty(), !movie) << c.File;
    }
}

// The formats sorted by name without regard to case, each a movie with its code as text (first
// character first) and as a value (first character high).
TEST(FFmpegPlugins, MoviePluginListsItsEncoderFormats) {
    TPlugin plugin("lmVideoSourceQT.lvs");
    const auto& formats = plugin.Host().Formats;
    ASSERT_FALSE(formats.empty());
    bool png = false;
    for (size_t i = 0; i < formats.size(); ++i) {
        SCOPED_TRACE(formats[i].Name);
        EXPECT_EQ(formats[i].Extension, "mov");
        ASSERT_EQ(formats[i].TagText.size(), 4u);
        uint32_t value = 0;
        for (const char c : formats[i].TagText)
            value = (value << 8) | static_cast<uint8_t>(c);
        EXPECT_EQ(formats[i].Tag, value);
        if (i > 0) {
            EXPECT_LT(strcasecmp(formats[i - 1].Name.c_str(), formats[i].Name.c_str()), 0);
        }
        png = png || (formats[i].Name == "PNG" && formats[i].Tag == 0x706E6720u);
    }
    EXPECT_TRUE(png);
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
    // The encoder is the same object under another interface, and leads back to the source.
    void* encoder = nullptr;
    ASSERT_EQ(source->QueryInterface(IID_IVideoSourceEncoder, &encoder), LVS_S_OK);
    void* back = nullptr;
    ASSERT_EQ(static_cast<IVideoSourceEncoder*>(encoder)->QueryInterface(IID_IVideoSource, &back),
              LVS_S_OK);
    EXPECT_EQ(back, source.get());
    static_cast<IVideoSource*>(back)->Release();
    static_cast<IVideoSourceEncoder*>(encoder)->Release();
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(source->QueryInterface(IID_IVideoSourceHost, &other), LVS_E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
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

// Hands out `frames` pictures of a moving pattern with alpha, and stereo sound that counts up.
class TPatternProvider final : public IVideoSourceFrameProvider {
  public:
    TPatternProvider(int width, int height, int frames)
        : FWidth(width), FHeight(height), FFrames(frames) {}
    LvsResult LVS_CALL QueryInterface(const TLvsIID&, void** object) override {
        *object = nullptr;
        return LVS_E_NOINTERFACE;
    }
    int32_t LVS_CALL AddRef() override { return -1; }
    int32_t LVS_CALL Release() override { return -1; }
    LvsBool LVS_CALL GetNextFrame(void* frameBuffer, int32_t frameBufferSize, void* audioBuffer,
                                  int32_t audioChannels, int32_t audioSamples) override {
        if (static_cast<int>(Pictures.size()) == FFrames)
            return LvsFalse;
        TMediaBytes picture(static_cast<size_t>(FWidth) * FHeight * 4);
        for (size_t i = 0; i < picture.size(); ++i)
            picture[i] = static_cast<uint8_t>(i * 7 / 3 + Pictures.size() * 29);
        EXPECT_EQ(frameBufferSize, static_cast<int32_t>(picture.size()));
        std::memcpy(frameBuffer, picture.data(), picture.size());
        Pictures.push_back(picture);
        auto* audio = static_cast<int16_t*>(audioBuffer);
        for (int32_t i = 0; audio != nullptr && i < audioSamples * audioChannels; ++i) {
            audio[i] = static_cast<int16_t>(Audio.size() * 5 - 9000);
            Audio.push_back(audio[i]);
        }
        return LvsTrue;
    }
    std::vector<TMediaBytes> Pictures;
    std::vector<int16_t> Audio;

  private:
    int FWidth, FHeight, FFrames;
};

struct TEncoderRelease {
    void operator()(IVideoSourceEncoder* encoder) const { encoder->Release(); }
};

// Movies written through the plug-in's encoder export with a lossless codec decode with the
// command line to the very pictures and sound handed in; the settings block is passed to the
// encoder as its options and survives ConfigureCompression.
TEST(FFmpegPlugins, EncoderExportWritesMoviesThatDecodeToTheSameFrames) {
    TPlugin plugin("lmVideoSourceQT.lvs");
    auto get = reinterpret_cast<TGetVideoSourceEncoderProc>(plugin.Symbol("GetVideoSourceEncoder"));
    ASSERT_NE(get, nullptr);
    const fs::path folder = MediaFixtureFolder() / ("encoder-" + std::to_string(getpid()));
    fs::create_directories(folder);
    constexpr int width = 48, height = 32, frames = 6;
    const struct {
        const char16_t* Code;
        std::string Settings;
        bool Audio;
    } cases[] = {{u"png ", "pred=mixed", true}, {u"rle ", "", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(LvsToUtf8(c.Code));
        IVideoSourceEncoder* made = nullptr;
        ASSERT_TRUE(get(&made));
        std::unique_ptr<IVideoSourceEncoder, TEncoderRelease> encoder(made);
        ASSERT_TRUE(
            encoder->SetSettings(c.Settings.data(), static_cast<int32_t>(c.Settings.size())));
        EXPECT_TRUE(encoder->ConfigureCompression(25, 1));
        char settings[64] = {};
        int32_t size = -1;
        ASSERT_TRUE(encoder->GetSettings(settings, sizeof(settings), &size));
        EXPECT_EQ(std::string(settings, static_cast<size_t>(size)), c.Settings);

        TPatternProvider provider(width, height, frames);
        ASSERT_TRUE(encoder->SetFrameProvider(&provider));
        const fs::path movie = folder / "out.mov";
        ASSERT_TRUE(encoder->BeginEncode(LvsPathToUtf16(movie.string()).c_str(), width, height, 0,
                                         c.Code, 25, 1, c.Audio ? LvsTrue : LvsFalse));
        ASSERT_TRUE(encoder->Encode());
        ASSERT_TRUE(encoder->EndEncode());

        const std::string decoded = (folder / "decoded.bgra").string();
        ASSERT_TRUE(
            RunFFmpeg({"-i", movie.string(), "-f", "rawvideo", "-pix_fmt", "bgra"}, decoded));
        const TMediaBytes all = ReadMediaFile(decoded);
        ASSERT_EQ(all.size(), size_t{width} * height * 4 * frames);
        for (int f = 0; f < frames; ++f)
            EXPECT_TRUE(
                std::equal(provider.Pictures[f].begin(), provider.Pictures[f].end(),
                           all.begin() + static_cast<std::ptrdiff_t>(f) * width * height * 4))
                << "frame " << f;
        const std::vector<int16_t> sound =
            c.Audio ? ReferenceAudio(movie, 1) : std::vector<int16_t>();
        EXPECT_EQ(sound, provider.Audio);
        EXPECT_EQ(provider.Audio.size(), c.Audio ? size_t{1920} * 2 * frames : 0u);
    }

    // Settings the encoder has no option for refuse the movie and leave no file.
    IVideoSourceEncoder* made = nullptr;
    ASSERT_TRUE(get(&made));
    std::unique_ptr<IVideoSourceEncoder, TEncoderRelease> encoder(made);
    const std::string bad = "no_such_option=1";
    encoder->SetSettings(bad.data(), static_cast<int32_t>(bad.size()));
    EXPECT_FALSE(encoder->BeginEncode(LvsPathToUtf16((folder / "bad.mov").string()).c_str(), width,
                                      height, 0, u"png ", 25, 1, LvsFalse));
    EXPECT_FALSE(fs::exists(folder / "bad.mov"));
    fs::remove_all(folder);
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
