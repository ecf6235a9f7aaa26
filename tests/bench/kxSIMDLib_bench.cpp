// Pixel moves on a 1920 x 1080 frame for each variant, against memcpy of the same source bytes
// measured in the same run: every iteration times one move and then one memcpy of as many
// bytes from the same source, so both see the same machine. "vs_memcpy" is the move's
// throughput divided by memcpy's. Times are processor time of this process, so other load on
// the machine counts against neither side.

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "pixelmove/kxSIMDMove.h"

namespace {

constexpr int32_t Width = 1920;
constexpr int32_t Height = 1080;
constexpr size_t Pixels = size_t(Width) * Height;

struct TFrames {
    std::vector<uint8_t> Four = std::vector<uint8_t>(Pixels * 4, 0x5A);
    std::vector<uint8_t> Three = std::vector<uint8_t>(Pixels * 3, 0xA5);
    std::vector<uint8_t> Copy = std::vector<uint8_t>(Pixels * 4, 0);
};

TFrames& Frames() {
    static TFrames frames;
    return frames;
}

double ProcessorSeconds() {
    return double(std::clock()) / CLOCKS_PER_SEC;
}

// Times `step` and a memcpy of `sourceBytes` from `source` in turn; the benchmark's time is the
// step's alone.
template <class TStep>
void Run(benchmark::State& state, const uint8_t* source, size_t sourceBytes, const TStep& step) {
    TFrames& frames = Frames();
    double stepSeconds = 0;
    double memcpySeconds = 0;
    for (auto _ : state) {
        const double start = ProcessorSeconds();
        step();
        benchmark::ClobberMemory();
        const double middle = ProcessorSeconds();
        std::memcpy(frames.Copy.data(), source, sourceBytes);
        benchmark::ClobberMemory();
        const double end = ProcessorSeconds();
        state.SetIterationTime(middle - start);
        stepSeconds += middle - start;
        memcpySeconds += end - middle;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sourceBytes));
    if (stepSeconds > 0)
        state.counters["vs_memcpy"] = memcpySeconds / stepSeconds;
}

void BM_Move32b24b(benchmark::State& state, TPixelMoveVariant variant) {
    if (!PixelMoveVariantSupported(variant)) {
        state.SkipWithError("variant not supported by this processor");
        return;
    }
    TFrames& frames = Frames();
    Run(state, frames.Four.data(), Pixels * 4, [&] {
        PixelMove32b24b(variant, frames.Four.data(), Width * 4, frames.Three.data(), Width * 3,
                        Width, Height);
    });
}

void BM_Move24b32b(benchmark::State& state, TPixelMoveVariant variant) {
    if (!PixelMoveVariantSupported(variant)) {
        state.SkipWithError("variant not supported by this processor");
        return;
    }
    TFrames& frames = Frames();
    Run(state, frames.Three.data(), Pixels * 3, [&] {
        PixelMove24b32b(variant, frames.Three.data(), Width * 3, frames.Four.data(), Width * 4,
                        Width, Height);
    });
}

}  // namespace

int main(int argc, char** argv) {
    for (TPixelMoveVariant variant : AllPixelMoveVariants) {
        const std::string name = PixelMoveVariantName(variant);
        benchmark::RegisterBenchmark(("Move32b24b/" + name).c_str(), BM_Move32b24b, variant)
            ->UseManualTime();
        benchmark::RegisterBenchmark(("Move24b32b/" + name).c_str(), BM_Move24b32b, variant)
            ->UseManualTime();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
