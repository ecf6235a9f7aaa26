// LMVC encode and decode speed and size on 1920 x 1080 BGRA, beside FFmpeg's UT Video and FFV1
// encoders and a plain memcpy of the frame, all measured in this run. After the runs a table
// of ratios against the peers is printed.

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcDecoder.h"
#include "codecs/lmvc/lmvcEncoder.h"
#include "tests/lmvc/lmvcTestFrames.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr double kRawBytes = double(kWidth) * kHeight * 4;

const std::vector<uint8_t>& Picture(int content) {
    static const std::vector<uint8_t> photo =
        MakeTestPicture(TTestContent::Photo, kWidth, kHeight, 3);
    static const std::vector<uint8_t> graphics =
        MakeTestPicture(TTestContent::Graphics, kWidth, kHeight, 3);
    return content == 0 ? photo : graphics;
}

const char* ContentName(int content) {
    return content == 0 ? "photo" : "graphics";
}

struct TResult {
    double fps = 0;     // frames per second of wall-clock time
    double cpuFps = 0;  // frames per second of processor time, all threads together
    double ratio = 0;
};
std::map<std::string, TResult> gResults;

void Record(benchmark::State& state, const std::string& name, double ratio) {
    state.SetItemsProcessed(state.iterations());
    if (ratio > 0) {
        state.counters["ratio"] = ratio;
    }
    state.SetLabel(name);
    // The rates are filled in by the reporter once the run is over.
    gResults[name].ratio = ratio;
}

std::string Key(const char* codec, const char* what, int content, int threads) {
    return std::string(codec) + " " + what + " " + ContentName(content) + " " +
           std::to_string(threads) + "t";
}

void BM_Memcpy(benchmark::State& state) {
    const auto& src = Picture(0);
    std::vector<uint8_t> dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::ClobberMemory();
    }
    Record(state, "memcpy", 0);
}

void BM_LmvcEncode(benchmark::State& state) {
    const int content = int(state.range(0)), threads = int(state.range(1));
    TLmvcEncoder enc;
    enc.Configure({kWidth, kHeight, 32, false, 0}, threads);
    std::vector<uint8_t> out(enc.MaxCompressedSize());
    size_t written = 0;
    // The picture is made before the clock starts.
    const std::vector<uint8_t>& picture = Picture(content);
    for (auto _ : state) {
        enc.EncodeFrame(picture.data(), picture.size(), out.data(), out.size(), written);
        benchmark::DoNotOptimize(written);
    }
    Record(state, Key("LMVC", "encode", content, threads), double(written) / kRawBytes);
}

void BM_LmvcDecode(benchmark::State& state) {
    const int content = int(state.range(0)), threads = int(state.range(1));
    TLmvcEncoder enc;
    enc.Configure({kWidth, kHeight, 32, false, 0}, 1);
    std::vector<uint8_t> coded;
    enc.EncodeFrame(Picture(content).data(), Picture(content).size(), coded);
    TLmvcDecoder dec;
    dec.Configure({kWidth, kHeight, 32, false, 0}, threads);
    std::vector<uint8_t> out(dec.OutputSize());
    for (auto _ : state) {
        if (!dec.DecodeFrame(coded.data(), coded.size(), out.data(), out.size())) {
            state.SkipWithError(dec.LastError().c_str());
            break;
        }
    }
    if (out != Picture(content)) {
        state.SkipWithError("decoded frame differs");
    }
    Record(state, Key("LMVC", "decode", content, threads), double(coded.size()) / kRawBytes);
}

// An FFmpeg encoder or decoder with its input frame prepared outside the timed loop (the
// planar conversion UT Video needs is not counted against it).
struct TAvCodec {
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~TAvCodec() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
    }
};

AVPixelFormat PickFormat(const AVCodec* codec) {
    AVPixelFormat fallback = AV_PIX_FMT_NONE;
    for (const AVPixelFormat* f = codec->pix_fmts; f && *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == AV_PIX_FMT_BGRA) {
            return *f;
        }
        if (*f == AV_PIX_FMT_GBRAP) {
            fallback = *f;
        }
    }
    return fallback;
}

void FillFrame(AVFrame* frame, const std::vector<uint8_t>& bgra) {
    for (int y = 0; y < kHeight; ++y) {
        const uint8_t* src = bgra.data() + size_t(y) * kWidth * 4;
        if (frame->format == AV_PIX_FMT_BGRA) {
            std::memcpy(frame->data[0] + y * frame->linesize[0], src, size_t(kWidth) * 4);
            continue;
        }
        // GBRAP planes: 0 = G, 1 = B, 2 = R, 3 = A.
        for (int x = 0; x < kWidth; ++x) {
            frame->data[0][y * frame->linesize[0] + x] = src[x * 4 + 1];
            frame->data[1][y * frame->linesize[1] + x] = src[x * 4 + 0];
            frame->data[2][y * frame->linesize[2] + x] = src[x * 4 + 2];
            frame->data[3][y * frame->linesize[3] + x] = src[x * 4 + 3];
        }
    }
}

bool OpenEncoder(TAvCodec& c, AVCodecID id, int threads, const std::vector<uint8_t>& bgra) {
    const AVCodec* codec = avcodec_find_encoder(id);
    if (codec == nullptr) {
        return false;
    }
    c.ctx = avcodec_alloc_context3(codec);
    c.ctx->width = kWidth;
    c.ctx->height = kHeight;
    c.ctx->pix_fmt = PickFormat(codec);
    c.ctx->time_base = {1, 25};
    c.ctx->thread_count = threads;
    if (id == AV_CODEC_ID_FFV1) {
        c.ctx->level = 3;  // slices, so that threads can help
    }
    if (c.ctx->pix_fmt == AV_PIX_FMT_NONE || avcodec_open2(c.ctx, codec, nullptr) < 0) {
        return false;
    }
    c.frame = av_frame_alloc();
    c.frame->format = c.ctx->pix_fmt;
    c.frame->width = kWidth;
    c.frame->height = kHeight;
    av_frame_get_buffer(c.frame, 32);
    FillFrame(c.frame, bgra);
    c.packet = av_packet_alloc();
    return true;
}

// Sends one frame; answers the bytes of the packets that came out, and counts them.
int EncodeOne(TAvCodec& c, int64_t pts, int64_t& packets) {
    c.frame->pts = pts;
    if (avcodec_send_frame(c.ctx, c.frame) < 0) {
        return -1;
    }
    int size = 0;
    while (avcodec_receive_packet(c.ctx, c.packet) == 0) {
        size += c.packet->size;
        ++packets;
        av_packet_unref(c.packet);
    }
    return size;
}

void BM_FFmpegEncode(benchmark::State& state, AVCodecID id, const char* name) {
    const int content = int(state.range(0)), threads = int(state.range(1));
    TAvCodec c;
    if (!OpenEncoder(c, id, threads, Picture(content))) {
        state.SkipWithError("encoder not available");
        return;
    }
    int64_t pts = 0;
    double bytes = 0;
    int64_t packets = 0;
    for (auto _ : state) {
        int size = EncodeOne(c, pts++, packets);
        if (size < 0) {
            state.SkipWithError("encoding failed");
            return;
        }
        bytes += size;
    }
    // Frame threading holds packets back; the ratio uses those that came out.
    Record(state, Key(name, "encode", content, threads),
           packets > 0 ? bytes / double(packets) / kRawBytes : 0);
}

void BM_UtVideoDecode(benchmark::State& state) {
    const int content = int(state.range(0)), threads = int(state.range(1));
    TAvCodec enc;
    if (!OpenEncoder(enc, AV_CODEC_ID_UTVIDEO, 1, Picture(content))) {
        state.SkipWithError("encoder not available");
        return;
    }
    enc.frame->pts = 0;
    avcodec_send_frame(enc.ctx, enc.frame);
    avcodec_send_frame(enc.ctx, nullptr);
    if (avcodec_receive_packet(enc.ctx, enc.packet) != 0) {
        state.SkipWithError("no packet");
        return;
    }
    TAvCodec dec;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_UTVIDEO);
    dec.ctx = avcodec_alloc_context3(codec);
    dec.ctx->thread_count = threads;
    dec.ctx->thread_type = FF_THREAD_SLICE;
    dec.ctx->width = kWidth;
    dec.ctx->height = kHeight;
    dec.ctx->extradata =
        static_cast<uint8_t*>(av_mallocz(enc.ctx->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(dec.ctx->extradata, enc.ctx->extradata, size_t(enc.ctx->extradata_size));
    dec.ctx->extradata_size = enc.ctx->extradata_size;
    dec.ctx->codec_tag = enc.ctx->codec_tag;
    if (avcodec_open2(dec.ctx, codec, nullptr) < 0) {
        state.SkipWithError("decoder not available");
        return;
    }
    dec.frame = av_frame_alloc();
    for (auto _ : state) {
        avcodec_send_packet(dec.ctx, enc.packet);
        if (avcodec_receive_frame(dec.ctx, dec.frame) != 0) {
            state.SkipWithError("decoding failed");
            return;
        }
        av_frame_unref(dec.frame);
    }
    Record(state, Key("UTVideo", "decode", content, threads), enc.packet->size / kRawBytes);
}

void Args(benchmark::internal::Benchmark* b) {
    for (int content : {0, 1}) {
        for (int threads : {1, 2}) {
            b->Args({content, threads});
        }
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

BENCHMARK(BM_Memcpy)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_LmvcEncode)->Apply(Args);
BENCHMARK(BM_LmvcDecode)->Apply(Args);
BENCHMARK_CAPTURE(BM_FFmpegEncode, utvideo, AV_CODEC_ID_UTVIDEO, "UTVideo")->Apply(Args);
BENCHMARK_CAPTURE(BM_FFmpegEncode, ffv1, AV_CODEC_ID_FFV1, "FFV1")->Apply(Args);
BENCHMARK(BM_UtVideoDecode)->Apply(Args);

// Collects each run's frame rates from the reporter, then prints the ratios.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!run.report_label.empty() && run.iterations > 0 && !run.error_occurred) {
                const double n = double(run.iterations);
                TResult& r = gResults[run.report_label];
                r.fps = run.real_accumulated_time > 0 ? n / run.real_accumulated_time : 0;
                r.cpuFps = run.cpu_accumulated_time > 0 ? n / run.cpu_accumulated_time : 0;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintRatios() {
    const double memcpyFps = gResults["memcpy"].cpuFps;
    std::printf("\n%-26s %7s %8s %7s  %-10s %-9s %-10s %-9s %-10s %s\n", "run", "fps", "cpu fps",
                "size", "vs UTVideo", "(by cpu)", "vs FFV1", "(by cpu)", "memcpy/run", "vs 1t");
    for (const auto& [name, r] : gResults) {
        if (name == "memcpy" || r.fps == 0) {
            continue;
        }
        std::string ut = name, ffv1 = name;
        const auto space = name.find(' ');
        ut.replace(0, space, "UTVideo");
        ffv1.replace(0, space, "FFV1");
        auto speed = [&](const std::string& peer, bool cpu) {
            auto it = gResults.find(peer);
            if (it == gResults.end()) {
                return 0.0;
            }
            const double mine = cpu ? r.cpuFps : r.fps;
            const double theirs = cpu ? it->second.cpuFps : it->second.fps;
            return theirs > 0 ? mine / theirs : 0.0;
        };
        // A run with several threads beside the same run with one, by wall clock.
        std::string single = name;
        single.replace(single.rfind(' ') + 1, std::string::npos, "1t");
        const auto one = gResults.find(single);
        const double scaling =
            one != gResults.end() && one->second.fps > 0 ? r.fps / one->second.fps : 0;
        std::printf("%-26s %7.1f %8.1f %6.2f%%  %9.2fx %8.2fx %9.2fx %8.2fx %9.1fx %6.2fx\n",
                    name.c_str(), r.fps, r.cpuFps, r.ratio * 100, speed(ut, false), speed(ut, true),
                    speed(ffv1, false), speed(ffv1, true), r.cpuFps > 0 ? memcpyFps / r.cpuFps : 0,
                    scaling);
    }
    std::printf(
        "(fps: frames per second by wall clock; cpu fps: per second of processor time, all "
        "threads together; size: compressed / raw BGRA; vs: this run's rate over the peer's "
        "same job; memcpy/run: frame copies that fit in the processor time of one frame; vs 1t: "
        "wall-clock rate over the same job on one thread)\n");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios();
    benchmark::Shutdown();
    return 0;
}
