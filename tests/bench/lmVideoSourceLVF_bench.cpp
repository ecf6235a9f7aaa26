// Decoding the frames of a 1920 x 1080 LVF clip through the LVF plug-in, beside memcpy of the
// same number of bytes in the same run. Prints frames per second and the ratio to memcpy.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#include "plugins/interface/lmVideoSourceText.h"
#include "plugins/lvf/lvfWriter.h"
#include "server/transcode/lmVideoSourceHandlers.h"

namespace {

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;
constexpr uint32_t kFrames = 8;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 4;

// Motion graphics: a soft-edged disc moving over a transparent background, with a gradient
// inside, so the run-length coder sees both long runs and varying pixels.
std::vector<uint8_t> Frame(uint32_t index) {
    std::vector<uint8_t> pixels(kFrameBytes, 0);
    const double cx = 400 + 120.0 * index, cy = 540, radius = 300;
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            const double d = std::hypot(x - cx, y - cy);
            if (d > radius + 4)
                continue;
            uint8_t* p = &pixels[(size_t{y} * kWidth + x) * 4];
            p[0] = static_cast<uint8_t>(x / 8);
            p[1] = static_cast<uint8_t>(y / 5);
            p[2] = 200;
            p[3] = static_cast<uint8_t>(d < radius - 4 ? 255 : 255 * (radius + 4 - d) / 8);
        }
    }
    return pixels;
}

std::string MakeClip() {
    const auto path = std::filesystem::temp_directory_path() / "lmv-bench-1080.lvf";
    TLVFWriter writer;
    if (!writer.Create(path.string(), kWidth, kHeight))
        return {};
    for (uint32_t i = 0; i < kFrames; ++i) {
        if (!writer.WriteFrame(Frame(i).data()))
            return {};
    }
    return writer.Finish() ? path.string() : std::string();
}

void BM_LVFDecodeThroughPlugin(benchmark::State& state) {
    const std::string clip = MakeClip();
    TVideoSourceHandlers handlers;
    handlers.LoadPlugins(std::string(LMV_STAGE_DIR) + "/bin");
    TVideoSourceRef source = handlers.GetVideoSource(clip);
    if (clip.empty() || !source || !source.Open(clip)) {
        state.SkipWithError("cannot make or open the LVF clip");
        return;
    }
    std::vector<uint8_t> buffer(kFrameBytes);
    std::vector<uint8_t> copy(kFrameBytes);
    const std::vector<uint8_t> reference = Frame(0);
    double decodeSeconds = 0, copySeconds = 0;
    int32_t frame = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        source.ReadFrame(frame, buffer.data(), kWidth * 4);
        const auto middle = std::chrono::steady_clock::now();
        std::memcpy(copy.data(), reference.data(), kFrameBytes);
        benchmark::DoNotOptimize(copy.data());
        const auto end = std::chrono::steady_clock::now();
        decodeSeconds += std::chrono::duration<double>(middle - start).count();
        copySeconds += std::chrono::duration<double>(end - middle).count();
        benchmark::DoNotOptimize(buffer.data());
        frame = (frame + 1) % static_cast<int32_t>(kFrames);
    }
    source.Release();
    std::filesystem::remove(clip);
    const double frames = static_cast<double>(state.iterations());
    state.counters["decode_fps"] = frames / decodeSeconds;
    state.counters["memcpy_fps"] = frames / copySeconds;
    state.counters["ratio_to_memcpy"] = copySeconds / decodeSeconds;
}
BENCHMARK(BM_LVFDecodeThroughPlugin)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
