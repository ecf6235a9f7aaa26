// Times LMVC on a file of raw top-down BGRA frames, for the comparison script beside it
// (lmvc_vs_ffmpeg.sh): encodes and decodes every frame with one and with two threads, checks
// that each decoded frame equals its input, and prints one line per thread count:
//   lmvc threads=T frames=N bytes=B encode_cpu_fps=.. encode_wall_fps=.. decode_cpu_fps=..
//   decode_wall_fps=.. lossless=yes|no
// Processor time counts all threads together; wall time shows what a second thread buys.
//
// Usage: lmvc_frames_bench FILE WIDTH HEIGHT [PASSES]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
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

double Rate(double frames, double seconds) {
    return seconds > 0 ? frames / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s FILE WIDTH HEIGHT [PASSES]\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    const int passes = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
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

    for (int threads : {1, 2}) {
        TLmvcEncoder enc;
        TLmvcDecoder dec;
        if (!enc.Configure(format, threads) || !dec.Configure(format, threads)) {
            std::fprintf(stderr, "configure: %s%s\n", enc.LastError().c_str(),
                         dec.LastError().c_str());
            return 1;
        }
        std::vector<std::vector<uint8_t>> coded(frames,
                                                std::vector<uint8_t>(enc.MaxCompressedSize()));
        std::vector<size_t> sizes(frames, 0);
        TClock encodeClock;
        for (int pass = 0; pass < passes; ++pass) {
            for (size_t f = 0; f < frames; ++f) {
                if (!enc.EncodeFrame(raw.data() + f * frameBytes, frameBytes, coded[f].data(),
                                     coded[f].size(), sizes[f])) {
                    std::fprintf(stderr, "encode: %s\n", enc.LastError().c_str());
                    return 1;
                }
            }
        }
        const double encodeCpu = encodeClock.CpuSeconds(), encodeWall = encodeClock.WallSeconds();

        // Every frame is checked once, before the clock starts.
        std::vector<uint8_t> out(dec.OutputSize());
        bool lossless = true;
        for (size_t f = 0; f < frames && lossless; ++f) {
            lossless = dec.DecodeFrame(coded[f].data(), sizes[f], out.data(), out.size()) &&
                       std::equal(out.begin(), out.end(), raw.begin() + long(f * frameBytes));
        }
        TClock decodeClock;
        for (int pass = 0; pass < passes; ++pass) {
            for (size_t f = 0; f < frames; ++f) {
                if (!dec.DecodeFrame(coded[f].data(), sizes[f], out.data(), out.size())) {
                    std::fprintf(stderr, "decode: %s\n", dec.LastError().c_str());
                    return 1;
                }
            }
        }
        const double decodeCpu = decodeClock.CpuSeconds(), decodeWall = decodeClock.WallSeconds();

        size_t bytes = 0;
        for (size_t s : sizes) {
            bytes += s;
        }
        const double n = double(frames) * passes;
        std::printf(
            "lmvc threads=%d frames=%zu bytes=%zu encode_cpu_fps=%.2f encode_wall_fps=%.2f "
            "decode_cpu_fps=%.2f decode_wall_fps=%.2f lossless=%s\n",
            threads, frames, bytes, Rate(n, encodeCpu), Rate(n, encodeWall), Rate(n, decodeCpu),
            Rate(n, decodeWall), lossless ? "yes" : "no");
    }
    return 0;
}
