// The movie encoder: movies written frame by frame from a provider, checked with the ffmpeg
// command line, and its settings block.

#include "plugins/ffmpeg/encoder/lmMovieEncoder.h"

#include <gtest/gtest.h>

#include <strings.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plugins/interface/lmVideoSourceText.h"
#include "support/TestProcess.h"

namespace fs = std::filesystem;
using testing_support::RunProcess;

namespace {

using TBytes = std::vector<uint8_t>;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

// Smooth pictures (so that lossy codecs stay close), with an alpha ramp.
TBytes Picture(int frame) {
    TBytes bgra(static_cast<size_t>(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* p = &bgra[(static_cast<size_t>(y) * kWidth + x) * 4];
            p[0] = static_cast<uint8_t>(x * 3 + frame * 5);
            p[1] = static_cast<uint8_t>(y * 4 + 20);
            p[2] = static_cast<uint8_t>((x + y) * 2);
            p[3] = static_cast<uint8_t>(x * 255 / (kWidth - 1));
        }
    }
    return bgra;
}

// Hands out a fixed number of pictures with audio that counts up, and records what it was
// asked for.
class TProvider final : public IVideoSourceFrameProvider {
  public:
    explicit TProvider(int frames) : FFrames(frames) {}
    LvsResult LVS_CALL QueryInterface(const TLvsIID&, void** object) override {
        *object = nullptr;
        return LVS_E_NOINTERFACE;
    }
    int32_t LVS_CALL AddRef() override { return -1; }
    int32_t LVS_CALL Release() override { return -1; }
    LvsBool LVS_CALL GetNextFrame(void* frameBuffer, int32_t frameBufferSize, void* audioBuffer,
                                  int32_t audioChannels, int32_t audioSamples) override {
        if (Given == FFrames) {
            return LvsFalse;
        }
        const TBytes picture = Picture(Given);
        EXPECT_EQ(frameBufferSize, static_cast<int32_t>(picture.size()));
        std::copy(picture.begin(), picture.end(), static_cast<uint8_t*>(frameBuffer));
        Samples.push_back(audioSamples);
        auto* audio = static_cast<int16_t*>(audioBuffer);
        for (int32_t i = 0; i < audioSamples * audioChannels; ++i) {
            audio[i] = static_cast<int16_t>(Audio.size() * 3 - 5000);
            Audio.push_back(audio[i]);
        }
        ++Given;
        return LvsTrue;
    }
    int Given = 0;
    std::vector<int32_t> Samples;
    std::vector<int16_t> Audio;

  private:
    int FFrames;
};

struct TEncoderRelease {
    void operator()(TMovieEncoder* encoder) const { encoder->Release(); }
};
using TEncoder = std::unique_ptr<TMovieEncoder, TEncoderRelease>;

TBytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), {});
}

std::string Probe(const std::string& path, const char* stream, const char* entries) {
    return RunProcess({"ffprobe", "-v", "error", "-count_frames", "-select_streams", stream,
                       "-show_entries", std::string("stream=") + entries, "-of",
                       "default=noprint_wrappers=1", path})
        .Output;
}

class MovieEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FFolder = fs::path(LMV_TEST_BINARY_DIR) / "movieencoder" /
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(FFolder);
        fs::create_directories(FFolder);
    }
    void TearDown() override { fs::remove_all(FFolder); }
    std::string PathOf(const std::string& name) const { return (FFolder / name).string(); }

    // Decodes a stream of the movie with the ffmpeg command line into raw bytes.
    TBytes Decode(const std::string& movie, const std::vector<std::string>& format) {
        const std::string raw = PathOf("decoded.raw");
        std::vector<std::string> arguments = {"ffmpeg", "-v", "error", "-y", "-i", movie};
        arguments.insert(arguments.end(), format.begin(), format.end());
        arguments.push_back(raw);
        const auto result = RunProcess(arguments);
        EXPECT_EQ(result.ExitCode, 0) << result.Output;
        return ReadAll(raw);
    }

    fs::path FFolder;
};

TEST_F(MovieEncoderTest, AnnouncesTheFormatsItsEncodersWrite) {
    struct THost final : IVideoSourceHost {
        LvsResult LVS_CALL QueryInterface(const TLvsIID&, void** o) override {
            *o = nullptr;
            return LVS_E_NOINTERFACE;
        }
        int32_t LVS_CALL AddRef() override { return -1; }
        int32_t LVS_CALL Release() override { return -1; }
        void LVS_CALL SetDescription(const char16_t*) override {}
        void LVS_CALL AddExtension(const char16_t*) override {}
        void LVS_CALL AddEncoderFormat(const char16_t* name, const char16_t* extension,
                                       const char16_t* tagText, uint32_t tag) override {
            Lines.push_back(LvsToUtf8(name) + "|" + LvsToUtf8(extension) + "|" +
                            LvsToUtf8(tagText) + "|" + std::to_string(tag));
        }
        std::vector<std::string> Lines;
    } host;
    TMovieEncoder::AddEncoderFormats(host);
    EXPECT_NE(std::find(host.Lines.begin(), host.Lines.end(), "PNG|mov|png |1886283552"),
              host.Lines.end())
        << ::testing::PrintToString(host.Lines);
    EXPECT_NE(std::find(host.Lines.begin(), host.Lines.end(), "Motion JPEG A|mov|mjpa|1835692129"),
              host.Lines.end())
        << ::testing::PrintToString(host.Lines);
    EXPECT_TRUE(std::is_sorted(
        host.Lines.begin(), host.Lines.end(), [](const std::string& a, const std::string& b) {
            return strcasecmp(a.substr(0, a.find('|')).c_str(), b.substr(0, b.find('|')).c_str()) <
                   0;
        }));
}

// Each codec writes a movie that holds what was fed: every frame, the picture (exactly for
// PNG, closely for the lossy codecs, alpha where the codec keeps it) and, with audio, the
// samples of the frame rate's cadence.
TEST_F(MovieEncoderTest, MoviesHoldTheFramesAndAudioThatWereFed) {
    struct TCase {
        const char* Code;
        const char* Codec;
        const char* PixelFormat;
        int RateNum, RateDen;
        bool Audio;
        int Tolerance;  // mean difference per colour byte; 0: exact
        bool KeepsAlpha;
        std::vector<int32_t> Cadence;
    };
    std::vector<TCase> cases = {
        {"png ", "png", "rgba", 25, 1, true, 0, true, {1920, 1920, 1920, 1920, 1920}},
        {"mjpa", "mjpeg", "yuvj422p", 30000, 1001, true, 3, false, {1602, 1602, 1601, 1602, 1601}},
        {"jpeg", "mjpeg", "yuvj422p", 50, 1, false, 3, false, {}},
    };
    const auto formats = TMovieEncoder::Formats();
    if (std::any_of(formats.begin(), formats.end(),
                    [](const auto& f) { return std::string(f.FourCCText) == "ap4h"; })) {
        cases.push_back({"ap4h",
                         "prores",
                         "yuva444p12le",
                         60000,
                         1001,
                         true,
                         2,
                         true,
                         {801, 801, 801, 801, 800}});
    }
    constexpr int kFrames = 7;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Code);
        const std::string movie = PathOf("movie.mov");
        TEncoder encoder(new TMovieEncoder());
        TProvider provider(kFrames);
        EXPECT_TRUE(encoder->SetFrameProvider(&provider));
        ASSERT_TRUE(encoder->BeginEncode(LvsPathToUtf16(movie).c_str(), kWidth, kHeight, 0,
                                         LvsToUtf16(c.Code).c_str(), c.RateNum, c.RateDen,
                                         c.Audio ? LvsTrue : LvsFalse))
            << encoder->LastError();
        ASSERT_TRUE(encoder->Encode()) << encoder->LastError();
        EXPECT_TRUE(encoder->EndEncode());
        ASSERT_EQ(provider.Given, kFrames);

        EXPECT_EQ(
            Probe(movie, "v:0", "codec_name,codec_tag_string,width,height,pix_fmt,nb_read_frames"),
            std::string("codec_name=") + c.Codec + "\ncodec_tag_string=" + c.Code +
                "\nwidth=64\nheight=48\npix_fmt=" + c.PixelFormat +
                "\nnb_read_frames=" + std::to_string(kFrames) + "\n");
        const TBytes decoded = Decode(movie, {"-map", "0:v", "-f", "rawvideo", "-pix_fmt", "bgra"});
        ASSERT_EQ(decoded.size(), static_cast<size_t>(kWidth) * kHeight * 4 * kFrames);
        for (int f = 0; f < kFrames; ++f) {
            const TBytes fed = Picture(f);
            const uint8_t* got = decoded.data() + fed.size() * f;
            int64_t colourError = 0;
            int alphaError = 0;
            for (size_t i = 0; i < fed.size(); ++i) {
                const int d = std::abs(int(got[i]) - int(fed[i]));
                if (i % 4 == 3) {
                    alphaError = std::max(alphaError, c.KeepsAlpha ? d : std::abs(got[i] - 255));
                } else {
                    colourError += d;
                }
            }
            const double mean = double(colourError) / (fed.size() / 4 * 3);
            EXPECT_LE(mean, c.Tolerance) << "frame " << f;
            EXPECT_LE(alphaError, c.Tolerance == 0 ? 0 : 1) << "frame " << f;
        }

        if (!c.Audio) {
            EXPECT_EQ(Probe(movie, "a", "codec_name"), "");
            continue;
        }
        std::vector<int32_t> expected;
        for (int f = 0; f < kFrames; ++f) {
            expected.push_back(c.Cadence[f % 5]);
        }
        EXPECT_EQ(provider.Samples, expected);
        EXPECT_EQ(Probe(movie, "a:0", "codec_name,sample_rate,channels"),
                  "codec_name=pcm_s16le\nsample_rate=48000\nchannels=2\n");
        const TBytes audio = Decode(movie, {"-map", "0:a", "-f", "s16le"});
        ASSERT_EQ(audio.size(), provider.Audio.size() * 2);
        EXPECT_EQ(std::memcmp(audio.data(), provider.Audio.data(), audio.size()), 0);
    }
}

// The settings block is kept as it is given and checked when a movie begins: options must
// parse and exist; a refused movie leaves no file and the encoder ready for the next.
TEST_F(MovieEncoderTest, SettingsAreKeptAndCheckedWhenAMovieBegins) {
    TEncoder encoder(new TMovieEncoder());
    const std::string movie = PathOf("movie.mov");
    auto begin = [&](const std::string& settings) {
        encoder->SetSettings(settings.data(), static_cast<int32_t>(settings.size()));
        return encoder->BeginEncode(LvsPathToUtf16(movie).c_str(), kWidth, kHeight, 0, u"mjpa", 25,
                                    1, LvsFalse) != LvsFalse;
    };
    struct TCase {
        const char* Settings;
        bool Accepted;
        const char* Error;
    };
    const TCase cases[] = {
        {"no options", false, "not of the form key=value"},
        {"nosuchoption=1", false, "has no option nosuchoption"},
        {"qmin=2:qmax=4", true, ""},
        {"", true, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Settings);
        EXPECT_EQ(begin(c.Settings), c.Accepted);
        EXPECT_NE(encoder->LastError().find(c.Error), std::string::npos) << encoder->LastError();
        EXPECT_EQ(fs::exists(movie), c.Accepted);
        EXPECT_TRUE(encoder->EndEncode());
        fs::remove(movie);
    }

    const std::string kept = "qmax=3";
    encoder->SetSettings(kept.data(), static_cast<int32_t>(kept.size()));
    EXPECT_TRUE(encoder->ConfigureCompression(25, 1));
    char buffer[16] = {};
    int32_t size = -1;
    EXPECT_TRUE(encoder->GetSettings(buffer, 2, &size));
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(encoder->GetSettings(buffer, sizeof(buffer), &size));
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(size)), kept);

    // Without a code in the call, the stored one is used; with neither, nothing begins.
    TEncoder fresh(new TMovieEncoder());
    EXPECT_FALSE(fresh->BeginEncode(LvsPathToUtf16(movie).c_str(), kWidth, kHeight, 0, nullptr, 25,
                                    1, LvsFalse));
    EXPECT_FALSE(fresh->Encode());
    EXPECT_TRUE(fresh->SetCodecType(0x706E6720));  // 'png '
    uint32_t code = 0;
    EXPECT_TRUE(fresh->GetCodecType(&code));
    EXPECT_EQ(code, 0x706E6720u);
    EXPECT_TRUE(fresh->BeginEncode(LvsPathToUtf16(movie).c_str(), kWidth, kHeight, 0, nullptr, 25,
                                   1, LvsFalse))
        << fresh->LastError();
    EXPECT_FALSE(fresh->Encode()) << "no provider";
    TProvider provider(2);
    EXPECT_TRUE(fresh->SetFrameProvider(&provider));
    EXPECT_TRUE(fresh->Encode());
    EXPECT_TRUE(fresh->EndEncode());
    EXPECT_EQ(Probe(movie, "v:0", "codec_tag_string"), "codec_tag_string=png \n");
}

}  // namespace
