#include "plugins/ffmpeg/lmFFmpegVideoDecoder.h"

#include <algorithm>

#include "plugins/ffmpeg/lmFFmpegFrameTiming.h"

namespace {

// Reads that hand back nothing the index knows before a seek counts as missed.
constexpr int kUnknownPacketsPerSeek = 256;
// Consecutive "try again" answers of a demuxer before it counts as stuck.
constexpr int kRetries = 1000;

}  // namespace

TFFmpegVideoDecoder::TFFmpegVideoDecoder(AVFormatContext* context, int stream,
                                         const TFFmpegPacketIndex& index,
                                         TFFmpegLogCapture& capture)
    : FContext(context), FStream(stream), FIndex(index), FCapture(capture) {}

bool TFFmpegVideoDecoder::Open(std::string& reason) {
    FPacket.reset(av_packet_alloc());
    FPicture.reset(av_frame_alloc());
    if (!FPacket || !FPicture) {
        reason = FFmpegErrorText(AVERROR(ENOMEM));
        return false;
    }
    for (unsigned i = 0; i < FContext->nb_streams; ++i) {
        FContext->streams[i]->discard =
            static_cast<int>(i) == FStream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    FDecoder = OpenFFmpegDecoder(FContext->streams[FStream], FCapture, reason);
    return FDecoder != nullptr;
}

void TFFmpegVideoDecoder::Reset() {
    avcodec_flush_buffers(FDecoder.get());
    av_packet_unref(FPacket.get());
    FHavePacket = false;
    FFedFrom = -1;
    FLastShown = -1;
    FPictureHeld = false;
    FStreamEnded = false;
    FDrained = false;
}

bool TFFmpegVideoDecoder::CanDecodeForward(int32_t frame, size_t start) const {
    if (FFedFrom < 0 || FFedFrom > static_cast<int64_t>(start) || FDrained) {
        return false;
    }
    if (FPictureHeld) {
        return FLastShown <= frame;
    }
    if (FLastShown >= frame) {
        return false;
    }
    // A jump past the next key frame is quicker by seeking; the next frame never seeks.
    return frame == FLastShown + 1 || static_cast<int64_t>(start) <= FNextPacket;
}

const AVFrame* TFFmpegVideoDecoder::Decode(int32_t frame) {
    if (!FDecoder || frame < 0 || frame >= FIndex.FrameCount()) {
        return nullptr;
    }
    const size_t start = FIndex.StartOfFrame(frame);
    if (!CanDecodeForward(frame, start)) {
        Reset();
        ++FSeeks;
        if (!PositionAt(start)) {
            return nullptr;
        }
        FFedFrom = static_cast<int64_t>(start);
    }
    const int64_t lastUsefulPacket =
        static_cast<int64_t>(FIndex.DecodeIndexOfFrame(frame) + kReorderSlack);
    int retries = 0;
    for (;;) {
        if (FPictureHeld) {
            if (FLastShown == frame) {
                FPictureHeld = false;
                return FPicture.get();
            }
            return nullptr;  // the frame was lost: the decoder went past it
        }
        const int received = avcodec_receive_frame(FDecoder.get(), FPicture.get());
        if (received >= 0) {
            const int64_t pts = FPicture->best_effort_timestamp;
            const int32_t shown = pts == AV_NOPTS_VALUE ? FLastShown + 1 : FIndex.FrameAtPts(pts);
            if (shown < 0 || shown >= FIndex.FrameCount()) {
                av_frame_unref(FPicture.get());
                continue;
            }
            FLastShown = shown;
            if (OnPicture) {
                OnPicture(shown, *FPicture);
            }
            if (shown < frame) {
                av_frame_unref(FPicture.get());
                continue;
            }
            FPictureHeld = true;
            continue;
        }
        if (received == AVERROR_EOF) {
            FDrained = true;
            return nullptr;
        }
        if (received != AVERROR(EAGAIN) || FNextPacket > lastUsefulPacket) {
            return nullptr;
        }
        if (!FeedDecoder() && ++retries > kRetries) {
            return nullptr;
        }
    }
}

bool TFFmpegVideoDecoder::FeedDecoder() {
    if (FStreamEnded) {
        return false;
    }
    if (!FHavePacket && !ReadVideoPacket()) {
        FStreamEnded = true;
        avcodec_send_packet(FDecoder.get(), nullptr);
        return true;
    }
    const int64_t decodeIndex = FIndex.Find(*FPacket);
    FNextPacket = decodeIndex >= 0 ? decodeIndex + 1 : FNextPacket + 1;
    const int sent = avcodec_send_packet(FDecoder.get(), FPacket.get());
    if (sent == AVERROR(EAGAIN)) {
        // The decoder wants its output taken first; the packet stays held.
        FNextPacket = decodeIndex >= 0 ? decodeIndex : FNextPacket - 1;
        return false;
    }
    // A packet the decoder refuses (damage) is dropped; decoding goes on with the next one.
    av_packet_unref(FPacket.get());
    FHavePacket = false;
    return true;
}

bool TFFmpegVideoDecoder::ReadVideoPacket() {
    int retries = 0;
    for (;;) {
        const int error = av_read_frame(FContext, FPacket.get());
        if (error == AVERROR(EAGAIN) && ++retries < kRetries) {
            continue;
        }
        if (error < 0) {
            return false;
        }
        if (FPacket->stream_index == FStream) {
            FHavePacket = true;
            return true;
        }
        av_packet_unref(FPacket.get());
    }
}

bool TFFmpegVideoDecoder::TrySeek(int64_t timestamp, int flags, size_t start) {
    av_packet_unref(FPacket.get());
    FHavePacket = false;
    if (av_seek_frame(FContext, FStream, timestamp, flags) < 0) {
        return false;
    }
    int unknown = 0;
    while (ReadVideoPacket()) {
        const int64_t decodeIndex = FIndex.Find(*FPacket);
        if (decodeIndex == static_cast<int64_t>(start)) {
            FNextPacket = decodeIndex;
            return true;
        }
        if (decodeIndex > static_cast<int64_t>(start)) {
            break;  // landed after the key frame
        }
        if (decodeIndex < 0 && ++unknown > kUnknownPacketsPerSeek) {
            break;
        }
        av_packet_unref(FPacket.get());
        FHavePacket = false;
    }
    av_packet_unref(FPacket.get());
    FHavePacket = false;
    return false;
}

bool TFFmpegVideoDecoder::PositionAt(size_t start) {
    auto stampOf = [this](size_t decodeIndex) {
        const TIndexedPacket& packet = FIndex.Packet(decodeIndex);
        return packet.Dts != AV_NOPTS_VALUE ? packet.Dts : packet.Pts;
    };
    // The key frame's own stamp; demuxers that seek on another clock may land late, so an
    // earlier stamp, then the start of the stream by stamp and by byte follow.
    const int64_t stamp = stampOf(start);
    const AVRational timeBase = FContext->streams[FStream]->time_base;
    const int64_t oneSecond =
        timeBase.num > 0 && timeBase.den > 0 ? std::max(timeBase.den / timeBase.num, 1) : 1;
    if (TrySeek(stamp, AVSEEK_FLAG_BACKWARD, start) ||
        TrySeek(SaturatingSubtract(stamp, oneSecond), AVSEEK_FLAG_BACKWARD, start) ||
        TrySeek(SaturatingSubtract(stampOf(0), oneSecond), AVSEEK_FLAG_BACKWARD, start)) {
        return true;
    }
    const int64_t firstPos = FIndex.Packet(0).Pos;
    return (firstPos >= 0 && TrySeek(firstPos, AVSEEK_FLAG_BYTE, start)) ||
           TrySeek(0, AVSEEK_FLAG_BYTE, start);
}
