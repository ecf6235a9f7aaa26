#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

// How 48 kHz audio is cut into per-frame portions. Frames are grouped in blocks of five; at
// 29.97 and 59.94 frames per second the frames of a block get unequal shares so that every block
// holds a whole number of samples (8008 and 4004), at any other rate each frame gets
// 48000 / rate samples rounded to the nearest integer.
class TAudioCadence {
  public:
    static constexpr int kBlockFrames = 5;
    static constexpr double kSampleRate = 48000.0;
    // A frame of the slowest rate a file may claim (0.01 frames per second) lasts 100 seconds.
    static constexpr double kMaxSamplesPerFrame = kSampleRate * 100;

    // `frameRate` is the clip's rate rounded to two decimals; a rate that is not positive counts
    // as 25. The rate comes from the file, so whatever it claims stays in range here.
    explicit TAudioCadence(double frameRate) {
        const double rate = frameRate > 0 ? frameRate : 25.0;
        const double hundredths = std::trunc(rate * 100 + 0.5);
        FKind = hundredths == 2997   ? TKind::Ntsc
                : hundredths == 5994 ? TKind::NtscDouble
                                     : TKind::Even;
        FSamplesPerFrame = static_cast<int32_t>(
            std::min(std::trunc(kSampleRate / rate + 0.5), kMaxSamplesPerFrame));
    }

    int32_t SamplesPerFrame() const { return FSamplesPerFrame; }

    // Samples of frame `frame`.
    int32_t Samples(int64_t frame) const {
        static constexpr int32_t k2997[kBlockFrames] = {1602, 1602, 1601, 1602, 1601};
        static constexpr int32_t k5994[kBlockFrames] = {801, 801, 801, 801, 800};
        switch (FKind) {
            case TKind::Ntsc:
                return k2997[InBlock(frame)];
            case TKind::NtscDouble:
                return k5994[InBlock(frame)];
            case TKind::Even:
                break;
        }
        return FSamplesPerFrame;
    }

    // The first sample of frame `frame`, counted from the clip's first sample.
    int64_t FirstSample(int64_t frame) const {
        static constexpr int32_t k2997[kBlockFrames] = {0, 1602, 3204, 4805, 6407};
        static constexpr int32_t k5994[kBlockFrames] = {0, 801, 1602, 2403, 3204};
        const int64_t block = (frame - InBlock(frame)) / kBlockFrames;
        switch (FKind) {
            case TKind::Ntsc:
                return block * 8008 + k2997[InBlock(frame)];
            case TKind::NtscDouble:
                return block * 4004 + k5994[InBlock(frame)];
            case TKind::Even:
                break;
        }
        return frame * FSamplesPerFrame;
    }

  private:
    enum class TKind { Even, Ntsc, NtscDouble };

    // The frame's place within its block of five, for frames before the first as well.
    static int InBlock(int64_t frame) {
        return static_cast<int>(((frame % kBlockFrames) + kBlockFrames) % kBlockFrames);
    }

    TKind FKind = TKind::Even;
    int32_t FSamplesPerFrame = 0;
};
