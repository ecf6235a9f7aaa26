// The renderer end to end beside the codec alone, in one run on the same 1920 x 1080 frames:
// frames handed out by a video source through the plug-in interface, pushed through the
// installed LMVC compressor module (one thread) into a finished AVI file, against the LMVC
// encoder coding the same frames in memory on one thread. The renderer runs twice: compressing
// on the video pin's thread (a server whose workers keep every processor busy) and on the
// compressor's own thread (a spare processor reads the next frame meanwhile). Two contents: a
// photo-like picture panned with fresh noise in every frame, and motion graphics with soft alpha
// edges over a transparent background. Prints frames per second of each (median of three runs)
// and renderer / codec (goal >= 0.9). The AVI goes to the temporary folder (TMPDIR): on a disk the
// write-back of a photo clip (some 150 MB/s) costs the machine time too; with TMPDIR=/dev/shm the
// renderer's own work is measured.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcEncoder.h"
#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "server/core/lmVmPixelLibrary.h"
#include "server/media/lmCompressorRegistry.h"
#include "server/transcode/lmVmAVIRenderer.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kFrames = 24;       // distinct pictures
constexpr int32_t kClipFrames = 100;  // frames of the rendered clip, the pictures in turn
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 4;
constexpr int32_t kRate25 = 2;  // index of 25 frames per second in the rate table

uint32_t Hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352D;
    x ^= x >> 15;
    x *= 0x846CA68B;
    x ^= x >> 16;
    return x;
}

// Smooth value noise over a lattice of `cell` pixels, 0..255.
double ValueNoise(int32_t x, int32_t y, int32_t cell, uint32_t seed) {
    const int32_t cx = x / cell, cy = y / cell;
    const double fx = double(x % cell) / cell, fy = double(y % cell) / cell;
    auto at = [&](int32_t i, int32_t j) {
        return double(Hash(seed ^ Hash(uint32_t(i) * 73856093u ^ uint32_t(j) * 19349663u)) & 255);
    };
    const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const double top = at(cx, cy) + (at(cx + 1, cy) - at(cx, cy)) * sx;
    const double bottom = at(cx, cy + 1) + (at(cx + 1, cy + 1) - at(cx, cy + 1)) * sx;
    return top + (bottom - top) * sy;
}

// A photo-like scene larger than the frame (soft detail at several scales, colour gradients),
// panned a few pixels per frame; every frame gets its own sensor noise. Opaque.
std::vector<std::vector<uint8_t>> PhotoFrames() {
    const int32_t sceneWidth = kWidth + 4 * kFrames, sceneHeight = kHeight + 2 * kFrames;
    std::vector<uint8_t> scene(size_t(sceneWidth) * sceneHeight * 3);
    for (int32_t y = 0; y < sceneHeight; ++y) {
        for (int32_t x = 0; x < sceneWidth; ++x) {
            const double detail = 0.5 * ValueNoise(x, y, 97, 1) + 0.3 * ValueNoise(x, y, 23, 2) +
                                  0.2 * ValueNoise(x, y, 5, 3);
            uint8_t* p = &scene[(size_t(y) * sceneWidth + x) * 3];
            p[0] = uint8_t(std::clamp(detail * 0.6 + 90.0 * y / sceneHeight, 0.0, 255.0));
            p[1] = uint8_t(std::clamp(detail * 0.8 + 40.0 * x / sceneWidth, 0.0, 255.0));
            p[2] = uint8_t(
                std::clamp(detail * 0.7 + 60.0 * (1.0 - double(y) / sceneHeight), 0.0, 255.0));
        }
    }
    std::vector<std::vector<uint8_t>> frames(kFrames, std::vector<uint8_t>(kFrameBytes));
    for (int32_t f = 0; f < kFrames; ++f) {
        uint8_t* out = frames[size_t(f)].data();
        for (int32_t y = 0; y < kHeight; ++y) {
            const uint8_t* row = &scene[(size_t(y + 2 * f) * sceneWidth + 4 * f) * 3];
            for (int32_t x = 0; x < kWidth; ++x, out += 4) {
                const uint32_t noise = Hash(uint32_t(f) * 2654435761u ^ uint32_t(y * kWidth + x));
                for (int c = 0; c < 3; ++c) {
                    const int value = row[x * 3 + c] + int((noise >> (8 * c)) & 3) - 1;
                    out[c] = uint8_t(std::clamp(value, 0, 255));
                }
                out[3] = 255;
            }
        }
    }
    return frames;
}

// A lower-third bar with a soft top edge sliding in, and a disc with a soft rim moving across,
// over full transparency.
std::vector<std::vector<uint8_t>> GraphicsFrames() {
    std::vector<std::vector<uint8_t>> frames(kFrames, std::vector<uint8_t>(kFrameBytes, 0));
    for (int32_t f = 0; f < kFrames; ++f) {
        uint8_t* pixels = frames[size_t(f)].data();
        const int32_t barRight = 300 + 50 * f;
        const double cx = 1200 + 20.0 * f, cy = 380, radius = 180;
        for (int32_t y = 0; y < kHeight; ++y) {
            for (int32_t x = 0; x < kWidth; ++x) {
                uint8_t* p = pixels + (size_t(y) * kWidth + x) * 4;
                if (y >= 800 && y < 940 && x < barRight) {
                    const int edge = std::min(y - 800, 12);
                    p[0] = 140;
                    p[1] = uint8_t(40 + x / 16);
                    p[2] = 20;
                    p[3] = uint8_t(200 * edge / 12);
                }
                const double d = std::hypot(x - cx, y - cy);
                if (d < radius + 3) {
                    p[0] = uint8_t(255 - y / 5);
                    p[1] = 200;
                    p[2] = uint8_t(x / 8);
                    p[3] = uint8_t(d < radius - 3 ? 255 : 255 * (radius + 3 - d) / 6);
                }
            }
        }
    }
    return frames;
}

const std::vector<std::vector<uint8_t>>& Frames(int content) {
    static std::map<int, std::vector<std::vector<uint8_t>>> made;
    auto it = made.find(content);
    if (it == made.end())
        it = made.emplace(content, content == 0 ? PhotoFrames() : GraphicsFrames()).first;
    return it->second;
}

const char* ContentName(int content) {
    return content == 0 ? "photo" : "graphics";
}

// A video source that hands out frames held in memory, as a plug-in does after decoding.
class TMemorySource final : public IVideoSource {
  public:
    explicit TMemorySource(const std::vector<std::vector<uint8_t>>& frames) : FFrames(frames) {}

    LvsResult LVS_CALL QueryInterface(const TLvsIID&, void** object) override {
        *object = nullptr;
        return LVS_E_NOINTERFACE;
    }
    int32_t LVS_CALL AddRef() override { return ++FRefs; }
    int32_t LVS_CALL Release() override { return --FRefs; }
    LvsBool LVS_CALL Open(const char16_t*, int32_t) override { return LvsTrue; }
    int32_t LVS_CALL GetHeight() override { return kHeight; }
    int32_t LVS_CALL GetWidth() override { return kWidth; }
    int32_t LVS_CALL GetFrameCount() override { return kClipFrames; }
    int32_t LVS_CALL GetPreferredBufferCount() override { return 1; }
    float LVS_CALL GetFrameRate() override { return 25.0f; }
    LvsBool LVS_CALL IsInterlaced() override { return LvsFalse; }
    int32_t LVS_CALL GetFieldOrder() override { return LvsFieldUnknownOrProgressive; }
    LvsBool LVS_CALL IsOpaque() override { return LvsFalse; }
    int32_t LVS_CALL GetOutputBitDepth() override { return LvsOutputBitDepth; }
    int32_t LVS_CALL GetBitDepth() override { return 32; }
    int32_t LVS_CALL GetAudioChannels() override { return 0; }
    LvsBool LVS_CALL ReadFrame(int32_t frame, void* buffer, int32_t pitch) override {
        if (frame < 0 || frame >= kClipFrames || pitch < kWidth * 4)
            return LvsFalse;
        const uint8_t* from = FFrames[size_t(frame) % FFrames.size()].data();
        for (int32_t y = 0; y < kHeight; ++y)
            std::memcpy(static_cast<uint8_t*>(buffer) + size_t(y) * pitch,
                        from + size_t(y) * kWidth * 4, size_t(kWidth) * 4);
        return LvsTrue;
    }
    LvsBool LVS_CALL ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void*, int32_t,
                                    int32_t* audioBytes) override {
        *audioBytes = 0;
        return ReadFrame(frame, buffer, pitch);
    }
    LvsBool LVS_CALL GetLastError(int32_t* length, char16_t*) override {
        *length = 0;
        return LvsFalse;
    }
    uint32_t LVS_CALL GetCodecFourCC() override { return 0; }
    int32_t LVS_CALL GetCaptionType() override { return LvsCaptionNone; }
    LvsBool LVS_CALL GetCaptionData(int32_t, void*, int32_t, int32_t* count) override {
        *count = 0;
        return LvsFalse;
    }

  private:
    const std::vector<std::vector<uint8_t>>& FFrames;
    std::atomic<int32_t> FRefs{1};
};

// The clip as the job's processor presents it to the renderer: frames read from the source
// into one frame buffer.
class TSourceClip final : public IAVIRenderClip {
  public:
    TSourceClip(IVideoSource& source, std::string path, std::string codec)
        : FSource(source), FPath(std::move(path)), FCodec(std::move(codec)), FFrame(kFrameBytes) {}
    int32_t Width() const override { return kWidth; }
    int32_t Height() const override { return kHeight; }
    int32_t BitDepth() const override { return 32; }
    int32_t FrameRateIndex() const override { return kRate25; }
    int32_t AudioChannels() const override { return 0; }
    int32_t FieldMode() const override { return 0; }
    int32_t Duration() const override { return FSource.GetFrameCount(); }
    std::string OutputPath() const override { return FPath; }
    std::string CodecDisplayName() const override { return FCodec; }
    bool FetchFrame(int32_t index, uint8_t*, int32_t, int32_t& audioBytes) override {
        audioBytes = 0;
        return FSource.ReadFrame(index, FFrame.data(), kWidth * 4) != LvsFalse;
    }
    const uint8_t* FrameBuffer() const override { return FFrame.data(); }

  private:
    IVideoSource& FSource;
    std::string FPath;
    std::string FCodec;
    std::vector<uint8_t> FFrame;
};

class TNoTask final : public IAVIRenderTask {
  public:
    bool CancelRequested() const override { return false; }
    void SetProgress(float) override {}
};

const std::string kCodecs = std::string(LMV_STAGE_DIR) + "/codecs/";

const TCompressorRegistry& Compressors() {
    static TCompressorRegistry registry;
    static const bool loaded = (registry.Load(kCodecs), true);
    static_cast<void>(loaded);
    return registry;
}

std::string LmvcDisplayName() {
    for (const TCompressorInfo& info : Compressors().Modules())
        if (info.FriendlyName.find("Lumenar Video Codec") != std::string::npos)
            return info.DisplayName;
    return {};
}

std::map<int, double> CodecFps;
std::map<std::pair<int, bool>, double> RendererFps;  // (content, compressor on its own thread)

void BM_CodecAlone(benchmark::State& state) {
    const int content = int(state.range(0));
    const auto& frames = Frames(content);
    TLmvcEncoder encoder;
    if (!encoder.Configure(TLmvcFormat{kWidth, kHeight, 32, false, 0}, 1)) {
        state.SkipWithError(encoder.LastError().c_str());
        return;
    }
    std::vector<uint8_t> out(encoder.MaxCompressedSize());
    size_t frame = 0, written = 0;
    for (auto _ : state) {
        encoder.EncodeFrame(frames[frame].data(), kFrameBytes, out.data(), out.size(), written);
        benchmark::DoNotOptimize(written);
        frame = (frame + 1) % frames.size();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(ContentName(content));
}

void BM_Renderer(benchmark::State& state) {
    const int content = int(state.range(0));
    const auto& frames = Frames(content);
    const std::string codec = LmvcDisplayName();
    static TVmPixelLibrary pixels;
    pixels.Load(std::string(LMV_STAGE_DIR) + "/bin/");
    if (codec.empty()) {
        state.SkipWithError("the LMVC compressor module is not staged");
        return;
    }
    const std::filesystem::path output =
        std::filesystem::temp_directory_path() / "lmv-renderer-bench.avi";
    TMemorySource source(frames);
    TAVIRenderSettings settings;
    settings.CodecsFolder = kCodecs;
    settings.Compressors = &Compressors();
    settings.Move32b24b = pixels.Move32b24b();
    settings.CompressorThreads = 1;
    settings.CompressOnOwnThread = state.range(1) != 0;
    TNoTask task;
    for (auto _ : state) {
        TSourceClip clip(source, output.string(), codec);
        TAVIRenderer renderer(&task, clip, settings);
        renderer.Start();
        renderer.WaitFor();
        if (renderer.Failed() || renderer.FrameCounter() != kClipFrames) {
            state.SkipWithError(renderer.FailureReason().c_str());
            break;
        }
    }
    std::filesystem::remove(output);
    state.SetItemsProcessed(state.iterations() * kClipFrames);
    state.SetLabel(ContentName(content));
}

// Frames per second from a finished run, as Google Benchmark reports items per second.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto items = run.counters.find("items_per_second");
            if (items == run.counters.end() || run.error_occurred ||
                (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median"))
                continue;
            const int content = run.report_label == "photo" ? 0 : 1;
            if (run.benchmark_name().rfind("BM_Renderer", 0) == 0) {
                // "BM_Renderer/<content>/<own thread>/...".
                const std::string name = run.benchmark_name();
                const size_t second = name.find('/', name.find('/') + 1);
                const bool ownThread = second != std::string::npos && name[second + 1] == '1';
                RendererFps[{content, ownThread}] = items->second;
            } else {
                CodecFps[content] = items->second;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// Both contents, the median of three runs each: a shared machine's noise would otherwise decide
// the ratio.
void Runs(benchmark::internal::Benchmark* runs) {
    runs->Unit(benchmark::kMillisecond)->UseRealTime();
    runs->Repetitions(3)->ReportAggregatesOnly();
}
BENCHMARK(BM_CodecAlone)->Arg(0)->Arg(1)->Apply(Runs);
// The second argument: 1 when the compressor works on its own thread (a spare processor).
BENCHMARK(BM_Renderer)->ArgsProduct({{0, 1}, {0, 1}})->Apply(Runs);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (int content : {0, 1}) {
        for (bool ownThread : {false, true}) {
            if (!CodecFps.count(content) || !RendererFps.count({content, ownThread}))
                continue;
            const double renderer = RendererFps[{content, ownThread}];
            std::printf(
                "%-8s codec alone %.1f fps, renderer %.1f fps (compressing on %s), "
                "renderer / codec = %.2f (goal >= 0.9)\n",
                ContentName(content), CodecFps[content], renderer,
                ownThread ? "its own thread" : "the pin's thread", renderer / CodecFps[content]);
        }
    }
    return 0;
}
