#include "server/transcode/lmVmAVIRenderer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "codecs/lmvc/lmvcDecoder.h"
#include "foundation/kxByteOrder.h"
#include "server/core/lmVmPixelLibrary.h"
#include "server/media/lmCompressorRegistry.h"
#include "server/media/lmMediaTypes.h"
#include "support/TestProcess.h"

using testing_support::RunProcess;
using testing_support::TProcessResult;

namespace {

const std::string kCodecs = std::string(LMV_STAGE_DIR) + "/codecs/";

// The staged compressor modules, loaded once as the server loads them.
const TCompressorRegistry& Compressors() {
    static TCompressorRegistry registry;
    static const bool loaded = (registry.Load(kCodecs), true);
    static_cast<void>(loaded);
    return registry;
}

std::string LmvcDisplayName() {
    for (const TCompressorInfo& info : Compressors().Modules()) {
        if (info.FriendlyName.find("Lumenar Video Codec") != std::string::npos) {
            return info.DisplayName;
        }
    }
    return {};
}

TMove32b24b* PixelMove() {
    static TVmPixelLibrary library;
    library.Load(std::string(LMV_STAGE_DIR) + "/bin/");
    return library.Move32b24b();
}

// A clip of generated frames and audio; it remembers what it handed out.
class TTestClip : public IAVIRenderClip {
  public:
    int32_t W = 16, H = 8, Depth = 32, Rate = 2, Channels = 0, Field = 0, Frames = 10;
    int32_t FailAt = -1;
    std::string Path, Codec;
    std::vector<uint8_t> Frame;
    std::vector<uint8_t> AudioOut;
    std::function<void(int32_t)> OnFetch;
    std::atomic<int32_t> Fetched{0};

    int32_t Width() const override { return W; }
    int32_t Height() const override { return H; }
    int32_t BitDepth() const override { return Depth; }
    int32_t FrameRateIndex() const override { return Rate; }
    int32_t AudioChannels() const override { return Channels; }
    int32_t FieldMode() const override { return Field; }
    int32_t Duration() const override { return Frames; }
    std::string OutputPath() const override { return Path; }
    std::string CodecDisplayName() const override { return Codec; }
    const uint8_t* FrameBuffer() const override { return Frame.data(); }

    static uint8_t Pixel(int32_t frame, int32_t x, int32_t y, int c) {
        return static_cast<uint8_t>(x * 7 + y * 13 + frame * 5 + c * 60 + (x * y) % 3);
    }

    bool FetchFrame(int32_t index, uint8_t* audio, int32_t space, int32_t& bytes) override {
        if (OnFetch) {
            OnFetch(index);
        }
        ++Fetched;
        bytes = 0;
        if (index == FailAt) {
            return false;
        }
        Frame.resize(static_cast<size_t>(W) * H * 4);
        for (int32_t y = 0; y < H; ++y) {
            for (int32_t x = 0; x < W; ++x) {
                for (int c = 0; c < 4; ++c) {
                    Frame[(static_cast<size_t>(y) * W + x) * 4 + c] = Pixel(index, x, y, c);
                }
            }
        }
        if (audio != nullptr) {
            for (int32_t i = 0; i < space; ++i) {
                audio[i] = static_cast<uint8_t>((AudioOut.size() + i) * 31 / 7);
            }
            AudioOut.insert(AudioOut.end(), audio, audio + space);
            bytes = space;
        }
        return true;
    }
};

// Caps the size of the files this process writes: a write past the cap fails with EFBIG (the
// signal the system would raise is ignored meanwhile), as on a full disk.
class TFileSizeLimit {
  public:
    explicit TFileSizeLimit(uint64_t bytes) {
        getrlimit(RLIMIT_FSIZE, &FOld);
        FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = FOld;
        capped.rlim_cur = static_cast<rlim_t>(bytes);
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &FOld);
        std::signal(SIGXFSZ, FOldHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

  private:
    rlimit FOld{};
    void (*FOldHandler)(int) = SIG_DFL;
};

class TTestTask : public IAVIRenderTask {
  public:
    std::atomic<bool> Cancel{false};
    std::atomic<float> Progress{0};
    bool CancelRequested() const override { return Cancel.load(); }
    void SetProgress(float p) override { Progress.store(p); }
};

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return LoadLE32(b.data() + at);
}

// Our own walk over the finished file's RIFF structure.
struct TWalk {
    std::string Error;
    std::vector<std::string> Parts;   // RIFF form types
    std::vector<std::string> Header;  // chunk ids inside hdrl, nested lists as "LIST:type"
    uint32_t DmlhSize = 0;
    bool Vprp = false;
    int Idx1Entries = -1;
    std::map<std::string, int> StandardIndexes;
    std::vector<std::vector<uint8_t>> Video;
    std::vector<uint8_t> Audio;
};

void WalkList(const std::vector<uint8_t>& f, size_t from, size_t to, TWalk& w, bool inHeader) {
    size_t pos = from;
    while (pos + 8 <= to) {
        const std::string id(reinterpret_cast<const char*>(&f[pos]), 4);
        const uint32_t size = Get32(f, pos + 4);
        if (pos + 8 + size > to) {
            w.Error = "chunk " + id + " runs past its list";
            return;
        }
        if (id == "LIST") {
            const std::string type(reinterpret_cast<const char*>(&f[pos + 8]), 4);
            if (inHeader) {
                w.Header.push_back("LIST:" + type);
            }
            WalkList(f, pos + 12, pos + 8 + size, w, inHeader || type == "hdrl");
        } else {
            if (inHeader) {
                w.Header.push_back(id);
            }
            if (id == "dmlh") {
                w.DmlhSize = size;
            } else if (id == "vprp") {
                w.Vprp = true;
            } else if (id == "idx1") {
                w.Idx1Entries = static_cast<int>(size / 16);
            } else if (id.rfind("ix", 0) == 0) {
                w.StandardIndexes[id] += Get32(f, pos + 12);
            } else if (id == "00dc") {
                w.Video.emplace_back(f.begin() + pos + 8, f.begin() + pos + 8 + size);
            } else if (id == "01wb") {
                w.Audio.insert(w.Audio.end(), f.begin() + pos + 8, f.begin() + pos + 8 + size);
            }
        }
        pos += 8 + size + (size & 1);
    }
}

TWalk Walk(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> f{std::istreambuf_iterator<char>(in), {}};
    TWalk w;
    size_t pos = 0;
    while (pos + 12 <= f.size() && w.Error.empty()) {
        if (std::memcmp(&f[pos], "RIFF", 4) != 0) {
            w.Error = "no RIFF at " + std::to_string(pos);
            break;
        }
        const uint32_t size = Get32(f, pos + 4);
        w.Parts.emplace_back(reinterpret_cast<const char*>(&f[pos + 8]), 4);
        WalkList(f, pos + 12, pos + 8 + size, w, false);
        pos += 8 + size;
    }
    if (pos != f.size() && w.Error.empty()) {
        w.Error = "bytes after the last RIFF";
    }
    return w;
}

std::map<std::string, std::string> Probe(const std::string& path, const std::string& stream) {
    const TProcessResult r = RunProcess(
        {"ffprobe", "-v", "error", "-count_packets", "-select_streams", stream, "-show_entries",
         "stream=codec_name,codec_tag_string,width,height,r_frame_rate,nb_read_packets,"
         "sample_rate,channels,bits_per_sample,nb_frames",
         "-of", "default=nw=1", path});
    std::map<std::string, std::string> values;
    std::istringstream lines(r.Output);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

std::string MediaInfo(const std::string& path, const std::string& inform) {
    std::string out = RunProcess({"mediainfo", "--Inform=" + inform, path}).Output;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

// Every case runs with the compressor on the video pin's thread and on a thread of its own.
class AVIRenderer : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        Clip.Codec = LmvcDisplayName();
        ASSERT_FALSE(Clip.Codec.empty()) << "no LMVC module in " << kCodecs;
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        Clip.Path = (std::filesystem::path(LMV_TEST_BINARY_DIR) / (name + ".avi")).string();
        OwnPath = Clip.Path;
        Settings.CodecsFolder = kCodecs;
        Settings.Compressors = &Compressors();
        Settings.Move32b24b = PixelMove();
        Settings.CompressOnOwnThread = GetParam();
        ASSERT_NE(Settings.Move32b24b, nullptr);
    }
    void TearDown() override {
        if (!HasFailure())
            std::filesystem::remove(Clip.Path);
    }
    void Render() {
        TAVIRenderer renderer(&Task, Clip, Settings);
        renderer.Start();
        renderer.WaitFor();
        Cancelled = renderer.Cancelled();
        Failed = renderer.Failed();
        Reason = renderer.FailureReason();
    }

    TTestClip Clip;
    std::string OwnPath;  // this test's own output file
    TTestTask Task;
    TAVIRenderSettings Settings;
    bool Cancelled = false, Failed = false;
    std::string Reason;
};

struct TClipCase {
    int32_t W, H, Depth, Rate, Channels, Field, Frames;
    const char* FrameRate;  // as ffprobe prints it
};

TEST_P(AVIRenderer, ClipsDecodeExactlyAndIndependentReadersAgree) {
    const TClipCase cases[] = {
        {64, 48, 32, 2, 2, 0, 30, "25/1"},
        {641, 3, 24, 3, 6, 1, 12, "30000/1001"},
        {1, 1, 32, 0, 0, 2, 5, "24000/1001"},
        {720, 486, 24, 3, 1, 2, 3, "30000/1001"},
    };
    for (const TClipCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << "@" << c.Depth << " rate " << c.Rate
                                        << " ch " << c.Channels);
        Clip.W = c.W;
        Clip.H = c.H;
        Clip.Depth = c.Depth;
        Clip.Rate = c.Rate;
        Clip.Channels = c.Channels;
        Clip.Field = c.Field;
        Clip.Frames = c.Frames;
        Clip.AudioOut.clear();
        Render();
        ASSERT_FALSE(Failed) << Reason;
        ASSERT_FALSE(Cancelled);
        EXPECT_FLOAT_EQ(Task.Progress.load(), 100.0f);

        const TWalk w = Walk(Clip.Path);
        ASSERT_EQ(w.Error, "");
        EXPECT_EQ(w.Parts, std::vector<std::string>{"AVI "});
        const size_t streams = c.Channels > 0 ? 2 : 1;
        std::vector<std::string> header = {"avih"};
        for (size_t s = 0; s < streams; ++s) {
            header.insert(header.end(), {"LIST:strl", "strh", "strf", "indx"});
        }
        header.insert(header.end(), {"LIST:odml", "dmlh"});
        if (c.Field != 0) {
            header.push_back("vprp");
        }
        EXPECT_EQ(w.Header, header);
        EXPECT_EQ(w.DmlhSize, c.Field != 0 ? 4u : 248u);
        EXPECT_EQ(w.Vprp, c.Field != 0);
        EXPECT_EQ(w.StandardIndexes.count("ix00") ? w.StandardIndexes.at("ix00") : 0, c.Frames);
        EXPECT_EQ(w.StandardIndexes.count("ix01"), c.Channels > 0 ? 1u : 0u);
        EXPECT_EQ(w.Idx1Entries, c.Frames + (c.Channels > 0 ? w.StandardIndexes.at("ix01") : 0));

        // Every frame decodes to exactly the pixels handed out, top row first.
        ASSERT_EQ(w.Video.size(), static_cast<size_t>(c.Frames));
        TLmvcDecoder decoder;
        ASSERT_TRUE(decoder.Configure({c.W, c.H, c.Depth, false, 0}, 1));
        std::vector<uint8_t> out(decoder.OutputSize());
        const size_t stride = LmvcDibStride(c.W, c.Depth);
        for (int32_t f = 0; f < c.Frames; ++f) {
            ASSERT_TRUE(
                decoder.DecodeFrame(w.Video[f].data(), w.Video[f].size(), out.data(), out.size()))
                << decoder.LastError();
            for (int32_t y = 0; y < c.H; ++y) {
                for (int32_t x = 0; x < c.W; ++x) {
                    for (int ch = 0; ch < c.Depth / 8; ++ch) {
                        ASSERT_EQ(out[y * stride + x * (c.Depth / 8) + ch],
                                  TTestClip::Pixel(f, x, y, ch))
                            << "frame " << f << " x " << x << " y " << y;
                    }
                }
            }
        }
        EXPECT_EQ(w.Audio, Clip.AudioOut);

        auto video = Probe(Clip.Path, "v:0");
        EXPECT_EQ(video["codec_tag_string"], "LMVC");
        EXPECT_EQ(video["width"], std::to_string(c.W));
        EXPECT_EQ(video["height"], std::to_string(c.H));
        EXPECT_EQ(video["r_frame_rate"], c.FrameRate);
        EXPECT_EQ(video["nb_read_packets"], std::to_string(c.Frames));
        EXPECT_EQ(MediaInfo(Clip.Path, "Video;%CodecID%|%FrameCount%|%Width%|%Height%"),
                  "LMVC|" + std::to_string(c.Frames) + "|" + std::to_string(c.W) + "|" +
                      std::to_string(c.H));
        if (c.Channels > 0) {
            auto audio = Probe(Clip.Path, "a:0");
            EXPECT_EQ(audio["codec_name"], "pcm_s16le");
            EXPECT_EQ(audio["sample_rate"], "48000");
            EXPECT_EQ(audio["channels"], std::to_string(c.Channels));
            EXPECT_EQ(audio["bits_per_sample"], "16");
            const size_t samples = Clip.AudioOut.size() / (2 * static_cast<size_t>(c.Channels));
            EXPECT_EQ(audio["nb_frames"], std::to_string(samples));
            // mediainfo gives whole milliseconds.
            EXPECT_NEAR(std::stod(MediaInfo(Clip.Path, "Audio;%Duration%")), samples / 48.0, 1.0);
            EXPECT_EQ(MediaInfo(Clip.Path, "Audio;%Format%|%SamplingRate%|%BitDepth%|%Channel(s)%"),
                      "PCM|48000|16|" + std::to_string(c.Channels));
        } else {
            EXPECT_TRUE(Probe(Clip.Path, "a:0").empty());
        }
    }
}

// A clip that needs more RIFF parts than the 256 super index entries players expect at least:
// tiny parts make a few hundred frames enough. However the pins' threads run, at least the
// 2 MiB of the renderer's audio buffer gets through, over 500 parts. Every reader finds every
// frame and sample, and the field layout still finds its place behind the larger super indexes.
TEST_P(AVIRenderer, LongClipsAreWrittenWhole) {
    Settings.PartLimit = 4 * 1024;
    Clip.Channels = 2;
    Clip.Field = 1;
    Clip.Frames = 700;
    Render();
    ASSERT_FALSE(Failed) << Reason;

    const TWalk w = Walk(Clip.Path);
    ASSERT_EQ(w.Error, "");
    EXPECT_GT(w.Parts.size(), 256u);
    EXPECT_TRUE(w.Vprp);
    EXPECT_EQ(w.StandardIndexes.at("ix00"), Clip.Frames);
    EXPECT_EQ(w.Video.size(), static_cast<size_t>(Clip.Frames));
    EXPECT_EQ(w.Audio, Clip.AudioOut);

    const std::string frames = std::to_string(Clip.Frames);
    EXPECT_EQ(Probe(Clip.Path, "v:0")["nb_read_packets"], frames);
    EXPECT_EQ(Probe(Clip.Path, "a:0")["nb_frames"], std::to_string(Clip.AudioOut.size() / 4));
    EXPECT_EQ(MediaInfo(Clip.Path, "Video;%FrameCount%"), frames);
    const auto verify = RunProcess({std::string(LMV_STAGE_DIR) + "/lmvctool", "verify", Clip.Path});
    EXPECT_EQ(verify.Output, "ok: " + frames + " frames\n");
}

TEST_P(AVIRenderer, CancelEndsTheStreamAndSkipsTheFieldStep) {
    Clip.Field = 1;
    Clip.Channels = 2;
    Clip.Frames = 50;
    Clip.OnFetch = [this](int32_t index) {
        if (index == 5) {
            Task.Cancel = true;
        }
    };
    Render();
    EXPECT_TRUE(Cancelled);
    EXPECT_FALSE(Failed) << Reason;
    const TWalk w = Walk(Clip.Path);
    ASSERT_EQ(w.Error, "");
    EXPECT_EQ(w.Video.size(), 6u);
    EXPECT_EQ(w.DmlhSize, 248u);
    EXPECT_FALSE(w.Vprp);
}

TEST_P(AVIRenderer, FailuresAreNeverReportedAsSuccess) {
    // A frame that cannot be read.
    Clip.FailAt = 3;
    Clip.Channels = 2;
    Render();
    EXPECT_TRUE(Failed);
    EXPECT_FALSE(Cancelled);
    EXPECT_EQ(Walk(Clip.Path).Video.size(), 3u);

    // A graph that cannot be built: no such compressor, or no file can be created.
    Clip.FailAt = -1;
    Clip.Codec = "no such codec";
    Render();
    EXPECT_TRUE(Failed);
    EXPECT_NE(Reason.find("no such codec"), std::string::npos) << Reason;
    Clip.Codec = LmvcDisplayName();
    Clip.Path = "/nonexistent-folder/out.avi";
    Render();
    EXPECT_TRUE(Failed);
    EXPECT_FALSE(Cancelled);

    // A file that refuses the frames once the graph runs (the disk fills up): the stream stops
    // at the first refused frame, whichever thread delivers it.
    Clip.Path = OwnPath;
    Clip.Frames = 60;
    Clip.W = 320;
    Clip.H = 240;
    Render();
    ASSERT_FALSE(Failed) << Reason;
    const auto size = std::filesystem::file_size(Clip.Path);
    {
        TFileSizeLimit limit(size / 2);
        Clip.Fetched = 0;
        Render();
    }
    std::filesystem::remove(Clip.Path);
    EXPECT_TRUE(Failed);
    EXPECT_FALSE(Cancelled);
    EXPECT_LT(Clip.Fetched.load(), Clip.Frames) << Reason;
}

INSTANTIATE_TEST_SUITE_P(CompressorThread, AVIRenderer, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "OwnThread" : "PinThread";
                         });

}  // namespace
