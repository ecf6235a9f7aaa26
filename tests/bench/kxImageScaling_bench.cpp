// Thumbnails of a full HD frame, 1920x1080 BGRA -> 320x180, on one core, each step beside a
// peer measured in the same run, with the ratios (medians over the repetitions) printed at the
// end:
// - the Lanczos-3 scaling beside libswscale's Lanczos;
// - the PNG writer beside libpng's simplified writer with its own fast setting;
// - the whole thumbnail (MakeThumbnailPNG) beside libswscale followed by that libpng writer.
// ResampleBitmap builds its tables on every call, as LanczosScale did before it kept them.

#include <benchmark/benchmark.h>
#include <png.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// The frame's thumbnail, the PNG writers' input.
const std::vector<uint32_t>& Thumbnail() {
    static const std::vector<uint32_t> thumbnail = [] {
        std::vector<uint32_t> pixels(static_cast<size_t>(DstWidth) * DstHeight);
        LanczosScale(Frame().data(), pixels.data(), SrcWidth, SrcHeight, DstWidth, DstHeight);
        return pixels;
    }();
    return thumbnail;
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

void BM_ResampleBitmap(benchmark::State& state) {
    const std::vector<uint32_t>& src = Frame();
    std::vector<uint32_t> dst(static_cast<size_t>(DstWidth) * DstHeight);
    const TLanczosKernel kernel;
    const TPixelRect dstRect{0, 0, DstWidth, DstHeight}, srcRect{0, 0, SrcWidth, SrcHeight};
    for (auto _ : state) {
        ResampleBitmap(dst.data(), dstRect, dstRect, src.data(), srcRect, kernel);
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
    state.counters["bytes"] = static_cast<double>(stream.size());
}

void BM_EncodePNGStream(benchmark::State& state) {
    const uint8_t* pixels = reinterpret_cast<const uint8_t*>(Thumbnail().data());
    std::vector<uint8_t> stream;
    for (auto _ : state) {
        if (!EncodePNGStream(pixels, DstWidth, true, DstHeight, stream)) {
            state.SkipWithError("EncodePNGStream failed");
            return;
        }
        benchmark::DoNotOptimize(stream.data());
    }
    state.counters["bytes"] = static_cast<double>(stream.size());
}

// libpng's simplified writer with its fast setting, straight from the blue-green-red block,
// into a buffer of the largest size the image can take. Returns the size, 0 on failure.
size_t LibpngFast(const uint8_t* pixels, std::vector<uint8_t>& buffer) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = DstWidth;
    image.height = DstHeight;
    image.format = PNG_FORMAT_BGRA;
    image.flags = PNG_IMAGE_FLAG_FAST;
    buffer.resize(PNG_IMAGE_PNG_SIZE_MAX(image));
    png_alloc_size_t size = buffer.size();
    if (!png_image_write_to_memory(&image, buffer.data(), &size, 0, pixels, 0, nullptr)) {
        png_image_free(&image);
        return 0;
    }
    return size;
}

void BM_LibpngFast(benchmark::State& state) {
    const uint8_t* pixels = reinterpret_cast<const uint8_t*>(Thumbnail().data());
    std::vector<uint8_t> buffer;
    size_t size = 0;
    for (auto _ : state) {
        size = LibpngFast(pixels, buffer);
        if (size == 0) {
            state.SkipWithError("png_image_write_to_memory failed");
            return;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["bytes"] = static_cast<double>(size);
}

// libswscale's Lanczos, then libpng's fast writer; `withPNG` false times the scaling alone.
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
    std::vector<uint8_t> buffer;
    for (auto _ : state) {
        sws_scale(context, srcPlanes, srcStrides, 0, SrcHeight, dstPlanes, dstStrides);
        if (withPNG && LibpngFast(reinterpret_cast<const uint8_t*>(dst.data()), buffer) == 0) {
            state.SkipWithError("png_image_write_to_memory failed");
            break;
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    sws_freeContext(context);
}

// Collects the processor time per iteration of every run (the build machine is shared, so
// wall time would count other jobs) so that main can print the ratios of the medians.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                FTimes[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
        ConsoleReporter::ReportRuns(runs);
    }

    // The median time of a benchmark, 0 when it did not run.
    double Median(const std::string& name) const {
        const auto found = FTimes.find(name);
        if (found == FTimes.end())
            return 0;
        std::vector<double> times = found->second;
        std::sort(times.begin(), times.end());
        const size_t n = times.size();
        return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    }

    void PrintRatio(const std::string& ours, const std::string& peer) const {
        const double a = Median(ours), b = Median(peer);
        if (a > 0 && b > 0)
            std::printf("%-22s / %-26s = %.3f (%.3f ms / %.3f ms)\n", ours.c_str(), peer.c_str(),
                        a / b, a, b);
    }

  private:
    std::map<std::string, std::vector<double>> FTimes;
};

}  // namespace

int main(int argc, char** argv) {
    const std::vector<benchmark::internal::Benchmark*> benchmarks = {
        benchmark::RegisterBenchmark("LanczosScale/auto", BM_LanczosScale, TResamplePath::Auto),
        benchmark::RegisterBenchmark("LanczosScale/avx2", BM_LanczosScale, TResamplePath::AVX2),
        benchmark::RegisterBenchmark("LanczosScale/scalar", BM_LanczosScale, TResamplePath::Scalar),
        benchmark::RegisterBenchmark("ResampleBitmap/auto", BM_ResampleBitmap),
        benchmark::RegisterBenchmark("swscale/lanczos", BM_SwscaleLanczos, false),
        benchmark::RegisterBenchmark("EncodePNGStream", BM_EncodePNGStream),
        benchmark::RegisterBenchmark("libpng/fast", BM_LibpngFast),
        benchmark::RegisterBenchmark("MakeThumbnailPNG", BM_MakeThumbnailPNG),
        benchmark::RegisterBenchmark("swscale/lanczos+libpng/fast", BM_SwscaleLanczos, true)};
    for (benchmark::internal::Benchmark* b : benchmarks)
        b->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nMedian CPU time ratios (AVX2 path %s, AVX512 path %s):\n",
                ResamplePathAvailable(TResamplePath::AVX2) ? "available" : "not available",
                ResamplePathAvailable(TResamplePath::AVX512) ? "available" : "not available");
    for (const char* name :
         {"LanczosScale/auto", "LanczosScale/avx2", "LanczosScale/scalar", "ResampleBitmap/auto"})
        reporter.PrintRatio(name, "swscale/lanczos");
    reporter.PrintRatio("EncodePNGStream", "libpng/fast");
    reporter.PrintRatio("MakeThumbnailPNG", "swscale/lanczos+libpng/fast");
    reporter.PrintRatio("MakeThumbnailPNG", "swscale/lanczos");
    benchmark::Shutdown();
    return 0;
}
