// Thumbnail scaling of a full HD frame: our Lanczos-3 beside libswscale's Lanczos, both
// 1920x1080 BGRA -> 320x180 BGRA on one core, with the ratio printed after the run. The whole
// thumbnail (MakeThumbnailPNG: scaling and PNG) runs beside libswscale's scaling followed by the
// same PNG writer.

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "server/transcode/kxImageScaling.h"
#include "server/transcode/lmVmPNGImage.h"

namespace {

constexpr int SrcWidth = 1920, SrcHeight = 1080, DstWidth = 320, DstHeight = 180;

// A frame with smooth gradients, hard edges and noise, so neither scaler sees flat memory.
const std::vector<uint32_t>& Frame() {
    static const std::vector<uint32_t> frame = [] {
        std::vector<uint32_t> pixels(static_cast<size_t>(SrcWidth) * SrcHeight);
        std::mt19937 random(7);
        for (int y = 0; y < SrcHeight; ++y)
            for (int x = 0; x < SrcWidth; ++x) {
                const uint32_t noise = random() & 0x0F;
                const uint32_t r = (x * 255 / SrcWidth) ^ noise;
                const uint32_t g = ((x / 64 + y / 64) % 2) ? 200 : 30;
                const uint32_t b = (y * 255 / SrcHeight) ^ noise;
                pixels[static_cast<size_t>(y) * SrcWidth + x] = 0xFF000000u | r << 16 | g << 8 | b;
            }
        return pixels;
    }();
    return frame;
}

void BM_LanczosScale(benchmark::State& state, TResamplePath path) {
    const std::vector<uint32_t>& src = Frame();
    std::vector<uint32_t> dst(static_cast<size_t>(DstWidth) * DstHeight);
    for (auto _ : state) {
        LanczosScale(src.data(), dst.data(), SrcWidth, SrcHeight, DstWidth, DstHeight, path);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}

void BM_MakeThumbnailPNG(benchmark::State& state) {
    const std::vector<uint32_t>& src = Frame();
    std::vector<uint8_t> stream;
    for (auto _ : state) {
        if (!MakeThumbnailPNG(src.data(), SrcWidth, SrcHeight, stream)) {
            state.SkipWithError("MakeThumbnailPNG failed");
            return;
        }
        benchmark::DoNotOptimize(stream.data());
    }
}

// libswscale's Lanczos, then the PNG writer; `withPNG` false times the scaling alone.
void BM_SwscaleLanczos(benchmark::State& state, bool withPNG) {
    const std::vector<uint32_t>& src = Frame();
    std::vector<uint32_t> dst(static_cast<size_t>(DstWidth) * DstHeight);
    SwsContext* context = sws_getContext(SrcWidth, SrcHeight, AV_PIX_FMT_BGRA, DstWidth, DstHeight,
                                         AV_PIX_FMT_BGRA, SWS_LANCZOS, nullptr, nullptr, nullptr);
    if (context == nullptr) {
        state.SkipWithError("sws_getContext failed");
        return;
    }
    const uint8_t* srcPlanes[4] = {reinterpret_cast<const uint8_t*>(src.data()), nullptr, nullptr,
                                   nullptr};
    const int srcStrides[4] = {SrcWidth * 4, 0, 0, 0};
    uint8_t* dstPlanes[4] = {reinterpret_cast<uint8_t*>(dst.data()), nullptr, nullptr, nullptr};
    const int dstStrides[4] = {DstWidth * 4, 0, 0, 0};
    for (auto _ : state) {
        sws_scale(context, srcPlanes, srcStrides, 0, SrcHeight, dstPlanes, dstStrides);
        if (withPNG) {
            std::vector<uint8_t> stream;
            if (!EncodePNGStream(reinterpret_cast<const uint8_t*>(dst.data()), DstWidth, true,
                                 DstHeight, stream)) {
                state.SkipWithError("EncodePNGStream failed");
                break;
            }
            benchmark::DoNotOptimize(stream.data());
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    sws_freeContext(context);
}

// Remembers the processor time per iteration of every run (the build machine is shared, so
// wall time would count other jobs) so that main can print the ratios.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                Times[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> Times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("LanczosScale/auto", BM_LanczosScale, TResamplePath::Auto)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("LanczosScale/scalar", BM_LanczosScale, TResamplePath::Scalar)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("swscale/lanczos", BM_SwscaleLanczos, false)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("MakeThumbnailPNG", BM_MakeThumbnailPNG)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("swscale/lanczos+png", BM_SwscaleLanczos, true)
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto peer = reporter.Times.find("swscale/lanczos");
    if (peer != reporter.Times.end())
        for (const char* name : {"LanczosScale/auto", "LanczosScale/scalar"}) {
            const auto ours = reporter.Times.find(name);
            if (ours != reporter.Times.end())
                std::printf("%s CPU time / swscale lanczos CPU time = %.2f (SIMD %s)\n", name,
                            ours->second / peer->second,
                            ResamplePathAvailable(TResamplePath::AVX2) ? "available" : "not available");
        }
    const auto thumbnail = reporter.Times.find("MakeThumbnailPNG");
    const auto peerPNG = reporter.Times.find("swscale/lanczos+png");
    if (thumbnail != reporter.Times.end() && peerPNG != reporter.Times.end())
        std::printf("MakeThumbnailPNG CPU time / (swscale lanczos + same PNG writer) = %.2f\n",
                    thumbnail->second / peerPNG->second);
    benchmark::Shutdown();
    return 0;
}
