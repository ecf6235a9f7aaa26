// Pixel moves on a 1920 x 1080 frame for each variant, against memcpy of the same source bytes
// measured in the same run. "vs_memcpy" is the variant's throughput divided by memcpy's.

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <map>
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

// Processor time of this process in seconds. Throughput is measured in processor time, so that
// other load on the machine does not count against either side of a ratio.
double ProcessorSeconds() {
    return double(std::clock()) / CLOCKS_PER_SEC;
}

// memcpy's bytes per second of processor time for `size` bytes.
double MemcpyRate(size_t size) {
    static std::map<size_t, double> rates;
    auto known = rates.find(size);
    if (known != rates.end())
        return known->second;
    TFrames& frames = Frames();
    int copies = 0;
    const double start = ProcessorSeconds();
    double seconds = 0;
    while (seconds < 0.3) {
        std::memcpy(frames.Copy.data(), frames.Four.data(), size);
        benchmark::ClobberMemory();
        ++copies;
        seconds = ProcessorSeconds() - start;
    }
    return rates[size] = double(size) * copies / seconds;
}

// Runs `step` once per iteration and reports bytes per second of source and the ratio of that
// throughput to memcpy's on as many bytes.
template <class TStep>
void Run(benchmark::State& state, size_t sourceBytes, const TStep& step) {
    const double memcpyRate = MemcpyRate(sourceBytes);
    const double start = ProcessorSeconds();
    for (auto _ : state) {
        step();
        benchmark::ClobberMemory();
    }
    const double seconds = ProcessorSeconds() - start;
    const double bytes = double(state.iterations()) * double(sourceBytes);
    state.SetBytesProcessed(int64_t(bytes));
    if (seconds > 0)
        state.counters["vs_memcpy"] = bytes / seconds / memcpyRate;
}

void BM_Move32b24b(benchmark::State& state, TPixelMoveVariant variant) {
    if (!PixelMoveVariantSupported(variant)) {
        state.SkipWithError("variant not supported by this processor");
        return;
    }
    TFrames& frames = Frames();
    Run(state, Pixels * 4, [&] {
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
    Run(state, Pixels * 3, [&] {
        PixelMove24b32b(variant, frames.Three.data(), Width * 3, frames.Four.data(), Width * 4,
                        Width, Height);
    });
}

void BM_Memcpy(benchmark::State& state) {
    TFrames& frames = Frames();
    const auto size = size_t(state.range(0));
    Run(state, size, [&] { std::memcpy(frames.Copy.data(), frames.Four.data(), size); });
}

}  // namespace

int main(int argc, char** argv) {
    for (TPixelMoveVariant variant : AllPixelMoveVariants) {
        const std::string name = PixelMoveVariantName(variant);
        benchmark::RegisterBenchmark(("Move32b24b/" + name).c_str(), BM_Move32b24b, variant);
        benchmark::RegisterBenchmark(("Move24b32b/" + name).c_str(), BM_Move24b32b, variant);
    }
    benchmark::RegisterBenchmark("Memcpy/32bit_frame", BM_Memcpy)->Arg(int64_t(Pixels * 4));
    benchmark::RegisterBenchmark("Memcpy/24bit_frame", BM_Memcpy)->Arg(int64_t(Pixels * 3));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
