#pragma once

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

    // `frameRate` is the clip's rate rounded to two decimals.
    explicit TAudioCadence(double frameRate) {
        const double rate = frameRate > 0 ? frameRate : 25.0;
        FRateCode = static_cast<int32_t>(std::trunc(rate * 100 + 0.5));
        FSamplesPerFrame = static_cast<int32_t>(std::trunc(kSampleRate / rate + 0.5));
    }

    int32_t SamplesPerFrame() const { return FSamplesPerFrame; }

    // Samples of frame `frame`.
    int32_t Samples(int64_t frame) const {
        static constexpr int32_t k2997[kBlockFrames] = {1602, 1602, 1601, 1602, 1601};
        static constexpr int32_t k5994[kBlockFrames] = {801, 801, 801, 801, 800};
        const auto inBlock = static_cast<int>(frame % kBlockFrames);
        if (FRateCode == 2997) {
            return k2997[inBlock];
        }
        if (FRateCode == 5994) {
            return k5994[inBlock];
        }
        return FSamplesPerFrame;
    }

    // The first sample of frame `frame`, counted from the clip's first sample.
    int64_t FirstSample(int64_t frame) const {
        static constexpr int32_t k2997[kBlockFrames] = {0, 1602, 3204, 4805, 6407};
        static constexpr int32_t k5994[kBlockFrames] = {0, 801, 1602, 2403, 3204};
        const int64_t block = frame / kBlockFrames;
        const auto inBlock = static_cast<int>(frame % kBlockFrames);
        if (FRateCode == 2997) {
            return block * 8008 + k2997[inBlock];
        }
        if (FRateCode == 5994) {
            return block * 4004 + k5994[inBlock];
        }
        return frame * FSamplesPerFrame;
    }

  private:
    int32_t FRateCode = 0;
    int32_t FSamplesPerFrame = 0;
};
