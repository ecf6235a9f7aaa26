#include "plugins/ffmpeg/lmFFmpegFramePlacement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "plugins/ffmpeg/lmFFmpegFrameTiming.h"

namespace {

bool UsableRate(double rate) {
    return rate > 0.0 && rate <= TFFmpegFramePlacement::kMaxRate;
}

// Seconds per tick; 0 for a time base that is not positive.
double TickSeconds(AVRational timeBase) {
    return timeBase.num > 0 && timeBase.den > 0 ? av_q2d(timeBase) : 0.0;
}

// The mean step between successive display stamps, leaving out the gaps (steps longer than
// twice the median) and passages at twice the rate or more (steps of half the median or less);
// 0 when no two pictures have different stamps.
double TypicalStep(const TFFmpegPacketIndex& index) {
    std::vector<double> steps;
    steps.reserve(static_cast<size_t>(index.FrameCount()));
    for (int32_t frame = 1; frame < index.FrameCount(); ++frame) {
        // In floating point: two stamps a file sets at will can lie further apart than 64 bits
        // hold.
        const double step = static_cast<double>(index.FramePts(frame)) -
                            static_cast<double>(index.FramePts(frame - 1));
        if (step > 0.0) {
            steps.push_back(step);
        }
    }
    if (steps.empty()) {
        return 0.0;
    }
    const auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    const double median = *middle;
    double sum = 0.0;
    size_t count = 0;
    for (const double step : steps) {
        if (step > median / 2 && step <= 2 * median) {
            sum += step;
            ++count;
        }
    }
    return sum / static_cast<double>(count);
}

}  // namespace

bool TFFmpegFramePlacement::Place(const TFFmpegPacketIndex& index, AVRational timeBase,
                                  const std::vector<AVRational>& declaredRates,
                                  std::string& reason) {
    FIndex = &index;
    FPictureCount = index.FrameCount();
    if (FPictureCount <= 0) {
        reason = "the video stream holds no frames";
        return false;
    }
    FStartPts = index.FramePts(0);
    const double tickSeconds = TickSeconds(timeBase);
    FStartSeconds = static_cast<double>(FStartPts) * tickSeconds;
    if (index.Stamped() && tickSeconds > 0.0 && PlaceByStamps(index, tickSeconds, reason)) {
        return true;
    }
    return reason.empty() && PlaceOnePerPicture(index, tickSeconds, declaredRates, reason);
}

bool TFFmpegFramePlacement::PlaceByStamps(const TFFmpegPacketIndex& index, double tickSeconds,
                                          std::string& reason) {
    const double step = TypicalStep(index);
    const double rate = step > 0.0 ? 1.0 / (step * tickSeconds) : 0.0;
    if (!UsableRate(rate)) {
        return false;
    }
    // The last picture lasts as long as it declares, unless that is out of all proportion.
    const int32_t last = FPictureCount - 1;
    const auto declared = static_cast<double>(index.FrameDuration(last));
    const double lastDuration = declared > 0.0 && declared <= 2.0 * step ? declared : step;
    const double span =
        static_cast<double>(index.FramePts(last)) - static_cast<double>(FStartPts) + lastDuration;
    const double frames = std::floor(span / step + 0.5);
    if (!(frames <= kMaxFrames)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "the video's time stamps span more than %d frames at %.2f frames per second",
                      kMaxFrames, RoundedFrameRate(rate));
        reason = text;
        return false;
    }
    FByStamps = true;
    FRate = rate;
    FStepTicks = step;
    FFrameCount = std::max(static_cast<int32_t>(frames), 1);
    return true;
}

bool TFFmpegFramePlacement::PlaceOnePerPicture(const TFFmpegPacketIndex& index, double tickSeconds,
                                               const std::vector<AVRational>& declaredRates,
                                               std::string& reason) {
    std::vector<double> rates;
    // A single picture lasts as long as it declares.
    const auto duration = static_cast<double>(index.FrameDuration(0));
    if (FPictureCount == 1 && duration > 0.0 && tickSeconds > 0.0) {
        rates.push_back(1.0 / (duration * tickSeconds));
    }
    for (const AVRational declared : declaredRates) {
        if (declared.num > 0 && declared.den > 0) {
            rates.push_back(av_q2d(declared));
        }
    }
    const auto usable = std::find_if(rates.begin(), rates.end(), UsableRate);
    if (usable == rates.end()) {
        reason = "the video stream has no usable frame rate";
        return false;
    }
    FByStamps = false;
    FRate = *usable;
    FFrameCount = FPictureCount;
    return true;
}

void TFFmpegFramePlacement::PlaceStill() {
    FIndex = nullptr;
    FByStamps = false;
    FRate = -1.0;
    FFrameCount = 1;
    FPictureCount = 1;
    FStartPts = 0;
    FStartSeconds = 0.0;
}

int32_t TFFmpegFramePlacement::PictureOf(int32_t frame) const {
    const int32_t within = std::clamp(frame, 0, FFrameCount - 1);
    if (!FByStamps || FIndex == nullptr) {
        return std::min(within, FPictureCount - 1);
    }
    // The last picture stamped before the middle of the frame's slot: at or before the whole
    // tick below it.
    const int64_t middle = ClampedToInt64(std::ceil((within + 0.5) * FStepTicks)) - 1;
    int64_t stamp = 0;
    if (__builtin_add_overflow(FStartPts, middle, &stamp)) {
        stamp = std::numeric_limits<int64_t>::max();
    }
    return FIndex->FrameAtOrBefore(stamp);
}

bool TFFmpegFramePlacement::ShowsNewPicture(int32_t frame) const {
    if (frame <= 0 || frame >= FFrameCount) {
        return frame <= 0;
    }
    return PictureOf(frame - 1) != PictureOf(frame);
}

int32_t TFFmpegFramePlacement::FrameAt(double seconds) const {
    const double frames = (seconds - FStartSeconds) * FRate;
    if (!(frames > 0.0)) {
        return 0;
    }
    if (!(frames < FFrameCount - 1)) {
        return FFrameCount - 1;
    }
    return static_cast<int32_t>(std::floor(frames + 0.5));
}
