// Feeds arbitrary time stamps, durations and time bases to the frame timing of the FFmpeg
// reader, without a file: the packet index is built from the packets as given, the clip's frames
// are placed on them, and every lookup the reader makes is asked at the ends and in the middle,
// with the audio cadences, the caption placement and the conversions of stamps to seek targets
// and sample positions. Built with the undefined-behaviour sanitizer, an overflow anywhere on
// the way is a crash.
//
// Input, little-endian: the time base, the average and the guessed frame rate as three pairs of
// 32-bit numerator and denominator; then packets of 33 bytes each: pts, dts, duration and
// position as 64-bit values and a flags byte (bit 0 key, bit 1 cut away by an edit list, bit 2
// no pts, bit 3 no dts). What is left over after the last whole packet is ignored.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "plugins/ffmpeg/lmFFmpegCaptions.h"
#include "plugins/ffmpeg/lmFFmpegFramePlacement.h"
#include "plugins/ffmpeg/lmFFmpegFrameTiming.h"
#include "plugins/ffmpeg/lmFFmpegPacketIndex.h"
#include "plugins/interface/lmAudioCadence.h"

namespace {

class TBytes {
  public:
    TBytes(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
    size_t Left() const { return FSize - FAt; }
    template <typename T>
    T Take() {
        T value{};
        if (Left() >= sizeof(T)) {
            std::memcpy(&value, FData + FAt, sizeof(T));
            FAt += sizeof(T);
        }
        return value;
    }

  private:
    const uint8_t* FData;
    size_t FSize;
    size_t FAt = 0;
};

struct TPacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

constexpr size_t kPacketBytes = 4 * sizeof(int64_t) + 1;

// A double made from stamp bits, so that the conversions meet huge, tiny and odd values.
double AsDouble(int64_t bits) {
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void AskTheLookups(const TFFmpegPacketIndex& index, const TFFmpegFramePlacement& placement,
                   AVRational timeBase, const std::vector<int64_t>& stamps) {
    const int32_t frames = placement.FrameCount();
    const int32_t pictures = index.FrameCount();
    for (const int32_t frame :
         {0, 1, frames / 2, frames - 1, frames, frames + 7, -1, std::numeric_limits<int32_t>::max(),
          std::numeric_limits<int32_t>::min()}) {
        const int32_t picture = placement.PictureOf(frame);
        if (picture < 0 || picture >= pictures) {
            __builtin_trap();
        }
        placement.ShowsNewPicture(frame);
        index.StartOfFrame(picture);
        index.DecodeIndexOfFrame(picture);
        // The decoder's seek targets: the key frame's stamp, then a second earlier.
        const int64_t oneSecond =
            timeBase.num > 0 && timeBase.den > 0 ? std::max(timeBase.den / timeBase.num, 1) : 1;
        SaturatingSubtract(index.FramePts(picture), oneSecond);
        const double rate = RoundedFrameRate(placement.Rate());
        const TFrameAudioSlot slot = AudioCadence(rate, frame);
        const TAudioCadence cadence(rate);
        cadence.Samples(frame);
        cadence.FirstSample(frame);
        if (slot.Samples < 0 || slot.Offset < 0) {
            __builtin_trap();
        }
    }
    TFFmpegCaptions captions;
    captions.Reset(frames);
    const uint8_t pair[2] = {0x94, 0x20};
    for (const int64_t stamp : stamps) {
        index.FrameAtPts(stamp);
        index.FrameAtOrBefore(stamp);
        // A caption or audio stamp on the stream's clock, and the same bits as seconds.
        const double seconds = static_cast<double>(stamp) * av_q2d(timeBase);
        for (const double time : {seconds, AsDouble(stamp)}) {
            const int32_t frame = placement.FrameAt(time);
            if (frame < 0 || frame >= frames) {
                __builtin_trap();
            }
            captions.AddTrackSample(frame, pair, 2);
            const int64_t position = SecondsToSamples(time - placement.StartSeconds());
            if (position < -kFarSamples || position > kFarSamples) {
                __builtin_trap();
            }
            ClampedToInt64(time * AV_TIME_BASE);
            SamplesPerFrame(time);
            RoundedFrameRate(time);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TBytes bytes(data, size);
    AVRational rates[3];
    for (AVRational& rate : rates) {
        rate.num = bytes.Take<int32_t>();
        rate.den = bytes.Take<int32_t>();
    }
    static std::unique_ptr<AVPacket, TPacketFree> packet(av_packet_alloc());
    TFFmpegPacketIndex index;
    std::vector<int64_t> stamps;
    while (bytes.Left() >= kPacketBytes && index.PacketCount() < TFFmpegPacketIndex::kMaxPackets) {
        packet->pts = bytes.Take<int64_t>();
        packet->dts = bytes.Take<int64_t>();
        packet->duration = bytes.Take<int64_t>();
        packet->pos = bytes.Take<int64_t>();
        const auto flags = bytes.Take<uint8_t>();
        packet->flags =
            ((flags & 1) != 0 ? AV_PKT_FLAG_KEY : 0) | ((flags & 2) != 0 ? AV_PKT_FLAG_DISCARD : 0);
        stamps.push_back(packet->pts);
        if ((flags & 4) != 0) {
            packet->pts = AV_NOPTS_VALUE;
        }
        if ((flags & 8) != 0) {
            packet->dts = AV_NOPTS_VALUE;
        }
        index.AddPacket(*packet);
        // The decoder finds packets the demuxer hands back.
        index.Find(*packet);
    }
    index.Finish();
    if (index.FrameCount() == 0) {
        return 0;
    }
    TFFmpegFramePlacement placement;
    std::string reason;
    if (!placement.Place(index, rates[0], {rates[1], rates[2]}, reason)) {
        if (reason.empty()) {
            __builtin_trap();
        }
        return 0;
    }
    AskTheLookups(index, placement, rates[0], stamps);
    return 0;
}
