// Times LMVC on a file of raw top-down BGRA frames, for the comparison script beside it
// (lmvc_vs_ffmpeg.py): encodes and decodes every frame with one and with two threads, checks
// that each decoded frame equals its input, and prints one line per thread count:
//   lmvc threads=T frames=N bytes=B encode_cpu_fps=.. encode_wall_fps=.. decode_cpu_fps=..
//   decode_wall_fps=.. lossless=yes|no
// then, when both thread counts ran, one line with what the second thread bought:
//   speedup encode_wall=.. decode_wall=.. encode_best=.. decode_best=..
// The clip is coded PASSES times. Each pass times every thread count in turn (the order flips
// from pass to pass), so that a change in the machine's load hits both alike; the rates printed
// are the medians over the passes, and the *_wall speedups are the medians of the per-pass
// ratios. The *_best speedups compare, frame by frame, the shortest time any pass took: on a
// machine shared with other work they estimate what an idle machine would show, as a frame
// that another process interrupted is never the shortest.
// Processor time counts all threads together; wall time shows what a second thread buys.
//
// Usage: lmvc_frames_bench FILE WIDTH HEIGHT [PASSES [THREADS [encode|decode|both]]]
//   THREADS is 1, 2 or 1,2 (the default); one count alone with one direction suits a profiler.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcDecoder.h"
#include "codecs/lmvc/lmvcEncoder.h"

namespace {

struct TClock {
    std::clock_t cpu = std::clock();
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double CpuSeconds() const { return double(std::clock() - cpu) / CLOCKS_PER_SEC; }
    double WallSeconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    }
};

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One thread count's coder pair, its coded frames and the seconds of every pass.
struct TRun {
    int threads = 0;
    TLmvcEncoder enc;
    TLmvcDecoder dec;
    std::vector<std::vector<uint8_t>> coded;
    std::vector<size_t> sizes;
    std::vector<uint8_t> out;
    bool lossless = true;
    std::vector<double> encodeCpu, encodeWall, decodeCpu, decodeWall;
    // Per frame, the shortest time of any pass.
    std::vector<double> encodeBest, decodeBest;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: %s FILE WIDTH HEIGHT [PASSES [THREADS [encode|decode|both]]]\n",
                     argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    const int passes = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    const std::string threadList = argc > 5 ? argv[5] : "1,2";
    const std::string mode = argc > 6 ? argv[6] : "both";
    std::vector<int> counts;
    if (threadList == "1" || threadList == "2") {
        counts = {std::atoi(threadList.c_str())};
    } else if (threadList == "1,2") {
        counts = {1, 2};
    }
    const bool encode = mode == "encode" || mode == "both";
    const bool decode = mode == "decode" || mode == "both";
    if (counts.empty() || (!encode && !decode)) {
        std::fprintf(stderr, "%s: THREADS is 1, 2 or 1,2; then encode, decode or both\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> raw((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    const size_t frameBytes = size_t(width) * size_t(height) * 4;
    if (width < 1 || height < 1 || raw.size() < frameBytes) {
        std::fprintf(stderr, "%s: no whole %dx%d BGRA frame in %s\n", argv[0], width, height,
                     argv[1]);
        return 2;
    }
    const size_t frames = raw.size() / frameBytes;
    const TLmvcFormat format{width, height, 32, false, 0};

    std::vector<std::unique_ptr<TRun>> runs;
    for (int threads : counts) {
        auto run = std::make_unique<TRun>();
        run->threads = threads;
        if (!run->enc.Configure(format, threads) || !run->dec.Configure(format, threads)) {
            std::fprintf(stderr, "configure: %s%s\n", run->enc.LastError().c_str(),
                         run->dec.LastError().c_str());
            return 1;
        }
        run->coded.assign(frames, std::vector<uint8_t>(run->enc.MaxCompressedSize()));
        run->sizes.assign(frames, 0);
        run->encodeBest.assign(frames, 1e9);
        run->decodeBest.assign(frames, 1e9);
        run->out.resize(run->dec.OutputSize());
        // Every frame is coded and checked once before any clock starts.
        for (size_t f = 0; f < frames && run->lossless; ++f) {
            run->lossless =
                run->enc.EncodeFrame(raw.data() + f * frameBytes, frameBytes, run->coded[f].data(),
                                     run->coded[f].size(), run->sizes[f]) &&
                run->dec.DecodeFrame(run->coded[f].data(), run->sizes[f], run->out.data(),
                                     run->out.size()) &&
                std::equal(run->out.begin(), run->out.end(), raw.begin() + long(f * frameBytes));
        }
        runs.push_back(std::move(run));
    }

    for (int pass = 0; pass < passes; ++pass) {
        for (size_t i = 0; i < runs.size(); ++i) {
            TRun& run = *runs[pass % 2 == 0 ? i : runs.size() - 1 - i];
            if (encode) {
                TClock clock;
                for (size_t f = 0; f < frames; ++f) {
                    TClock frame;
                    if (!run.enc.EncodeFrame(raw.data() + f * frameBytes, frameBytes,
                                             run.coded[f].data(), run.coded[f].size(),
                                             run.sizes[f])) {
                        std::fprintf(stderr, "encode: %s\n", run.enc.LastError().c_str());
                        return 1;
                    }
                    run.encodeBest[f] = std::min(run.encodeBest[f], frame.WallSeconds());
                }
                run.encodeCpu.push_back(clock.CpuSeconds());
                run.encodeWall.push_back(clock.WallSeconds());
            }
            if (decode) {
                TClock clock;
                for (size_t f = 0; f < frames; ++f) {
                    TClock frame;
                    if (!run.dec.DecodeFrame(run.coded[f].data(), run.sizes[f], run.out.data(),
                                             run.out.size())) {
                        std::fprintf(stderr, "decode: %s\n", run.dec.LastError().c_str());
                        return 1;
                    }
                    run.decodeBest[f] = std::min(run.decodeBest[f], frame.WallSeconds());
                }
                run.decodeCpu.push_back(clock.CpuSeconds());
                run.decodeWall.push_back(clock.WallSeconds());
            }
        }
    }

    const double n = double(frames);
    const auto rates = [n](const std::vector<double>& seconds) {
        std::vector<double> fps;
        for (double s : seconds) {
            fps.push_back(s > 0 ? n / s : 0);
        }
        return Median(fps);
    };
    for (const auto& run : runs) {
        size_t bytes = 0;
        for (size_t s : run->sizes) {
            bytes += s;
        }
        std::printf(
            "lmvc threads=%d frames=%zu bytes=%zu encode_cpu_fps=%.2f encode_wall_fps=%.2f "
            "decode_cpu_fps=%.2f decode_wall_fps=%.2f lossless=%s\n",
            run->threads, frames, bytes, rates(run->encodeCpu), rates(run->encodeWall),
            rates(run->decodeCpu), rates(run->decodeWall), run->lossless ? "yes" : "no");
    }
    if (runs.size() == 2) {
        const auto speedup = [](const std::vector<double>& one, const std::vector<double>& two) {
            std::vector<double> ratios;
            for (size_t i = 0; i < one.size() && i < two.size(); ++i) {
                ratios.push_back(two[i] > 0 ? one[i] / two[i] : 0);
            }
            return Median(ratios);
        };
        const auto sum = [](const std::vector<double>& v) {
            double total = 0;
            for (double x : v) {
                total += x;
            }
            return total;
        };
        const auto best = [&](const std::vector<double>& one, const std::vector<double>& two) {
            return sum(two) > 0 ? sum(one) / sum(two) : 0;
        };
        std::printf("speedup encode_wall=%.3f decode_wall=%.3f encode_best=%.3f decode_best=%.3f\n",
                    speedup(runs[0]->encodeWall, runs[1]->encodeWall),
                    speedup(runs[0]->decodeWall, runs[1]->decodeWall),
                    best(runs[0]->encodeBest, runs[1]->encodeBest),
                    best(runs[0]->decodeBest, runs[1]->decodeBest));
    }
    bool lossless = true;
    for (const auto& run : runs) {
        lossless = lossless && run->lossless;
    }
    return lossless ? 0 : 1;
}
