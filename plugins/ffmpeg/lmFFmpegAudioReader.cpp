#include "plugins/ffmpeg/lmFFmpegAudioReader.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "plugins/ffmpeg/lmFFmpegFrameTiming.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace {

// A jump ahead up to this far is decoded through rather than sought.
constexpr int64_t kDecodeThroughSamples = 10 * kAudioSampleRate;

// A frame stamped more than this after the end of the sound before it (one frame at 25 frames
// per second) starts a new run after a hole; closer, the sound runs on, so the jitter of
// rounded stamps never cuts it.
constexpr int64_t kHoleSamples = kAudioSampleRate / 25;

// Sound outside these rates is not resampled: a damaged header can claim gigahertz, and the
// resampler's filter, sized by the ratio, would then take minutes and gigabytes to build.
constexpr int kLowestSampleRate = 1000;
constexpr int kHighestSampleRate = 768000;

}  // namespace

// Decoded sound from Start on, without a hole.
struct TFFmpegAudioReader::TRun {
    int64_t Start = 0;
    std::vector<int16_t> Samples;  // interleaved
};

struct TFFmpegAudioReader::TStream {
    int Index = -1;
    int Channels = 0;
    int ChannelOffset = 0;
    AVRational TimeBase{1, 1};
    TAVCodecContextPtr Decoder;
    TSwrContextPtr Resampler;
    AVChannelLayout InLayout{};
    int InFormat = -1;
    int InRate = 0;
    std::deque<TRun> Runs;  // in order of position
    int64_t Queued = 0;     // sample frames in all runs
    int64_t Next = 0;       // where the resampler's next output sample goes
    bool Placed = false;    // Next is known
    bool Ended = false;

    ~TStream() { av_channel_layout_uninit(&InLayout); }
    // Appends what the resampler made at Next.
    void Append(const int16_t* samples, int64_t frames);
};

void TFFmpegAudioReader::TStream::Append(const int16_t* samples, int64_t frames) {
    if (frames <= 0) {
        return;
    }
    if (Runs.empty() ||
        Runs.back().Start + static_cast<int64_t>(Runs.back().Samples.size()) / Channels != Next) {
        Runs.push_back({Next, {}});
    }
    Runs.back().Samples.insert(Runs.back().Samples.end(), samples, samples + frames * Channels);
    Queued += frames;
    Next += frames;
}

TFFmpegAudioReader::TFFmpegAudioReader() = default;
TFFmpegAudioReader::~TFFmpegAudioReader() = default;

bool TFFmpegAudioReader::Open(const std::string& path, double videoStart) {
    FVideoStart = videoStart;
    int error = 0;
    FContext = OpenFFmpegInput(path, FCapture, false, error);
    FPacket.reset(av_packet_alloc());
    FFrame.reset(av_frame_alloc());
    if (!FContext || !FPacket || !FFrame) {
        return false;
    }
    for (unsigned i = 0; i < FContext->nb_streams; ++i) {
        AVStream* stream = FContext->streams[i];
        stream->discard = AVDISCARD_ALL;
        const int channels = stream->codecpar->ch_layout.nb_channels;
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO || channels <= 0 ||
            FChannels + channels > kMaxChannels) {
            continue;
        }
        std::string reason;
        auto entry = std::make_unique<TStream>();
        entry->Decoder = OpenFFmpegDecoder(stream, FCapture, reason);
        if (!entry->Decoder) {
            continue;
        }
        entry->Index = static_cast<int>(i);
        entry->Channels = channels;
        entry->ChannelOffset = FChannels;
        entry->TimeBase = stream->time_base;
        stream->discard = AVDISCARD_DEFAULT;
        FChannels += channels;
        FStreams.push_back(std::move(entry));
    }
    return FChannels > 0;
}

void TFFmpegAudioReader::Seek(int64_t position) {
    ++FSeeks;
    const double seconds = static_cast<double>(position) / kAudioSampleRate + FVideoStart;
    const int64_t timestamp = ClampedToInt64(seconds * AV_TIME_BASE);
    av_seek_frame(FContext.get(), -1, std::max<int64_t>(timestamp, 0), AVSEEK_FLAG_BACKWARD);
    for (auto& stream : FStreams) {
        avcodec_flush_buffers(stream->Decoder.get());
        stream->Resampler.reset();
        stream->Runs.clear();
        stream->Queued = 0;
        stream->Placed = false;
        stream->Ended = false;
    }
    FEnded = false;
}

void TFFmpegAudioReader::Place(TStream& stream, const AVFrame& frame) {
    const int64_t pts = frame.best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) {
        if (!stream.Placed) {
            stream.Next = FReadEnd;
            stream.Placed = true;
        }
        return;
    }
    const double seconds = static_cast<double>(pts) * av_q2d(stream.TimeBase) - FVideoStart;
    const int64_t position = SecondsToSamples(seconds);
    if (!stream.Placed) {
        stream.Next = position;
        stream.Placed = true;
        return;
    }
    // Where the frame's first sample would come out if the sound ran on without a hole.
    const int64_t expected =
        stream.Next +
        (stream.Resampler ? swr_get_delay(stream.Resampler.get(), kAudioSampleRate) : 0);
    if (position - expected <= kHoleSamples) {
        return;
    }
    // A hole in the stamps: what the resampler holds ends the sound before it, and the frame
    // starts where its stamp puts it.
    Flush(stream);
    stream.Next = position;
}

void TFFmpegAudioReader::Flush(TStream& stream) {
    if (!stream.Resampler) {
        return;
    }
    const int room = swr_get_out_samples(stream.Resampler.get(), 0);
    if (room > 0) {
        FConverted.resize(static_cast<size_t>(room) * stream.Channels);
        auto* out = reinterpret_cast<uint8_t*>(FConverted.data());
        const int made = swr_convert(stream.Resampler.get(), &out, room, nullptr, 0);
        stream.Append(FConverted.data(), made);
    }
    stream.Resampler.reset();
}

bool TFFmpegAudioReader::PrepareResampler(TStream& stream, const AVFrame& frame) {
    if (stream.Resampler && frame.format == stream.InFormat && frame.sample_rate == stream.InRate &&
        av_channel_layout_compare(&frame.ch_layout, &stream.InLayout) == 0) {
        return true;
    }
    AVChannelLayout outLayout{};
    if (frame.ch_layout.nb_channels == stream.Channels) {
        av_channel_layout_copy(&outLayout, &frame.ch_layout);
    } else {
        av_channel_layout_default(&outLayout, stream.Channels);
    }
    SwrContext* resampler = nullptr;
    const int made = swr_alloc_set_opts2(
        &resampler, &outLayout, AV_SAMPLE_FMT_S16, kAudioSampleRate,
        const_cast<AVChannelLayout*>(&frame.ch_layout), static_cast<AVSampleFormat>(frame.format),
        frame.sample_rate, 0, nullptr);
    av_channel_layout_uninit(&outLayout);
    stream.Resampler.reset(resampler);
    if (made < 0 || swr_init(resampler) < 0) {
        stream.Resampler.reset();
        return false;
    }
    av_channel_layout_uninit(&stream.InLayout);
    av_channel_layout_copy(&stream.InLayout, &frame.ch_layout);
    stream.InFormat = frame.format;
    stream.InRate = frame.sample_rate;
    return true;
}

void TFFmpegAudioReader::Queue(TStream& stream, const AVFrame& frame) {
    if (frame.nb_samples <= 0 || frame.sample_rate < kLowestSampleRate ||
        frame.sample_rate > kHighestSampleRate || frame.ch_layout.nb_channels <= 0) {
        return;
    }
    Place(stream, frame);
    if (!PrepareResampler(stream, frame)) {
        return;
    }
    const int room = swr_get_out_samples(stream.Resampler.get(), frame.nb_samples);
    if (room <= 0) {
        return;
    }
    FConverted.resize(static_cast<size_t>(room) * stream.Channels);
    auto* out = reinterpret_cast<uint8_t*>(FConverted.data());
    const int made =
        swr_convert(stream.Resampler.get(), &out, room,
                    const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
    stream.Append(FConverted.data(), made);
}

bool TFFmpegAudioReader::Pump() {
    int error = av_read_frame(FContext.get(), FPacket.get());
    for (int retries = 0; error == AVERROR(EAGAIN) && retries < 1000; ++retries) {
        error = av_read_frame(FContext.get(), FPacket.get());
    }
    TStream* target = nullptr;
    if (error >= 0) {
        for (auto& stream : FStreams) {
            if (stream->Index == FPacket->stream_index) {
                target = stream.get();
            }
        }
        if (target == nullptr) {
            av_packet_unref(FPacket.get());
            return true;
        }
    }
    auto drain = [this](TStream& stream) {
        while (avcodec_receive_frame(stream.Decoder.get(), FFrame.get()) >= 0) {
            Queue(stream, *FFrame);
            av_frame_unref(FFrame.get());
        }
    };
    if (error < 0) {
        for (auto& stream : FStreams) {
            avcodec_send_packet(stream->Decoder.get(), nullptr);
            drain(*stream);
            stream->Ended = true;
        }
        FEnded = true;
        return false;
    }
    avcodec_send_packet(target->Decoder.get(), FPacket.get());
    av_packet_unref(FPacket.get());
    drain(*target);
    return true;
}

bool TFFmpegAudioReader::Covered(int64_t end) const {
    return std::all_of(FStreams.begin(), FStreams.end(), [end](const auto& stream) {
        return stream->Ended || (stream->Placed && stream->Next >= end);
    });
}

void TFFmpegAudioReader::Read(int64_t position, int32_t samples, int16_t* target) {
    // A request for no samples may come without a buffer.
    if (samples <= 0 || !target) {
        return;
    }
    std::memset(target, 0, static_cast<size_t>(samples) * FChannels * sizeof(int16_t));
    if (!FContext) {
        return;
    }
    if (position < FReadEnd || position > FReadEnd + kDecodeThroughSamples) {
        Seek(position);
    }
    const int64_t end = position + samples;
    auto full = [this] {
        return std::any_of(FStreams.begin(), FStreams.end(),
                           [](const auto& stream) { return stream->Queued > kMaxQueuedSamples; });
    };
    while (!FEnded && !Covered(end) && !full()) {
        Pump();
    }
    for (auto& stream : FStreams) {
        CopyOut(*stream, position, end, target);
    }
    FReadEnd = end;
}

void TFFmpegAudioReader::CopyOut(TStream& stream, int64_t position, int64_t end, int16_t* target) {
    const int channels = stream.Channels;
    for (const TRun& run : stream.Runs) {
        const int64_t runEnd = run.Start + static_cast<int64_t>(run.Samples.size()) / channels;
        const int64_t from = std::max(position, run.Start);
        const int64_t to = std::min(end, runEnd);
        for (int64_t s = from; s < to; ++s) {
            std::memcpy(target + (s - position) * FChannels + stream.ChannelOffset,
                        run.Samples.data() + (s - run.Start) * channels,
                        static_cast<size_t>(channels) * sizeof(int16_t));
        }
    }
    // What lies before the end of this read is never asked for again without a seek.
    while (!stream.Runs.empty() && stream.Runs.front().Start < end) {
        TRun& run = stream.Runs.front();
        const int64_t frames = static_cast<int64_t>(run.Samples.size()) / channels;
        const int64_t consumed = std::min(end - run.Start, frames);
        stream.Queued -= consumed;
        if (consumed == frames) {
            stream.Runs.pop_front();
            continue;
        }
        run.Samples.erase(run.Samples.begin(),
                          run.Samples.begin() + static_cast<ptrdiff_t>(consumed * channels));
        run.Start += consumed;
    }
}
