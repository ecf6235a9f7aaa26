// Reading every frame of a 1920 x 1080 H.264 clip with stereo AAC through the FFmpeg reader
// (ReadFrameAudio: BGRA frames and 48 kHz audio), beside the ffmpeg command line decoding the
// same clip to BGRA on one thread ("ffmpeg -threads 1 -i clip -pix_fmt bgra -f null -") in the
// same run. Prints both frame rates and their ratio (goal: at least 0.9).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "plugins/ffmpeg/lmFFmpegReader.h"

namespace {

constexpr int kFrames = 100;

std::string MakeClip() {
    const auto path = std::filesystem::temp_directory_path() / "lmv-bench-1080-h264.mp4";
    if (std::filesystem::exists(path))
        return path.string();
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i "
        "sine=f=440:r=44100 -frames:v " +
        std::to_string(kFrames) +
        " -c:v libx264 -preset veryfast -bf 3 -g 50 -pix_fmt yuv420p -c:a aac -ac 2 -shortest " +
        path.string();
    return std::system(command.c_str()) == 0 ? path.string() : std::string();
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_ReaderBesideFFmpegCommandLine(benchmark::State& state) {
    const std::string clip = MakeClip();
    if (clip.empty()) {
        state.SkipWithError("cannot make the clip");
        return;
    }
    const std::string peer =
        "ffmpeg -nostdin -v error -threads 1 -i " + clip + " -pix_fmt bgra -f null -";
    double readerSeconds = 0, peerSeconds = 0;
    int64_t readerFrames = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        TFFmpegReader reader;
        if (!reader.Open(clip)) {
            state.SkipWithError(reader.ErrorText().c_str());
            return;
        }
        std::vector<uint8_t> frame(static_cast<size_t>(reader.FrameBytes()));
        std::vector<int16_t> audio(48000 * 2);
        for (int32_t i = 0; i < reader.FrameCount(); ++i) {
            int32_t bytes = 0;
            reader.ReadFrameAudio(i, frame.data(), reader.Width() * 4, audio.data(),
                                  static_cast<int32_t>(audio.size() * 2), &bytes);
            benchmark::DoNotOptimize(frame.data());
        }
        readerSeconds += Seconds(start);
        readerFrames += reader.FrameCount();

        start = std::chrono::steady_clock::now();
        if (std::system(peer.c_str()) != 0) {
            state.SkipWithError("the ffmpeg command line failed");
            return;
        }
        peerSeconds += Seconds(start);
    }
    const double readerRate = readerFrames / readerSeconds;
    const double peerRate = readerFrames / peerSeconds;
    state.counters["reader_fps"] = readerRate;
    state.counters["ffmpeg_cli_fps"] = peerRate;
    state.counters["ratio"] = readerRate / peerRate;
}
BENCHMARK(BM_ReaderBesideFFmpegCommandLine)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
