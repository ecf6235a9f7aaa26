#include "plugins/ffmpeg/lmFFmpegFrameTiming.h"

#include <algorithm>
#include <cmath>
#include <limits>

double RoundedFrameRate(double rawRate) {
    // Far inside what a float holds, so the conversion below is always defined.
    if (!(rawRate > 0.0 && rawRate < 1e30)) {
        return 0.0;
    }
    return static_cast<float>(std::trunc(rawRate * 100.0 + 0.5) / 100.0);
}

int32_t SamplesPerFrame(double frameRate) {
    if (!(frameRate > 0.0)) {
        return 0;
    }
    const double samples = std::trunc(kAudioSampleRate / frameRate + 0.5);
    return samples > kAudioSampleRate ? kAudioSampleRate : static_cast<int32_t>(samples);
}

TFrameAudioSlot AudioCadence(double frameRate, int64_t frame) {
    static constexpr int32_t kSamples2997[] = {1602, 1602, 1601, 1602, 1601};
    static constexpr int32_t kOffsets2997[] = {0, 1602, 3204, 4805, 6407};
    static constexpr int32_t kSamples5994[] = {801, 801, 801, 801, 800};
    static constexpr int32_t kOffsets5994[] = {0, 801, 1602, 2403, 3204};
    const auto slot = static_cast<int32_t>(((frame % kFramesPerAudioBlock) + kFramesPerAudioBlock) %
                                           kFramesPerAudioBlock);
    const double hundredths = std::trunc(frameRate * 100.0 + 0.5);
    if (hundredths == 2997) {
        return {kSamples2997[slot], kOffsets2997[slot], 8008};
    }
    if (hundredths == 5994) {
        return {kSamples5994[slot], kOffsets5994[slot], 4004};
    }
    const int32_t perFrame = SamplesPerFrame(frameRate);
    return {perFrame, slot * perFrame, kFramesPerAudioBlock * perFrame};
}

int32_t PreferredBufferCount(int64_t frameBytes, int32_t frameCount) {
    const int64_t byMemory = 41943040 / std::max<int64_t>(frameBytes, 307200);
    return static_cast<int32_t>(std::min<int64_t>(byMemory, std::max(frameCount, 4)));
}

int64_t SaturatingSubtract(int64_t a, int64_t b) {
    int64_t difference = 0;
    if (!__builtin_sub_overflow(a, b, &difference)) {
        return difference;
    }
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

int64_t ClampedToInt64(double value) {
    constexpr double kLimit = 9.2e18;
    if (!(value > -kLimit)) {
        return static_cast<int64_t>(-kLimit);
    }
    return value < kLimit ? static_cast<int64_t>(value) : static_cast<int64_t>(kLimit);
}

int64_t SecondsToSamples(double seconds) {
    const double samples = std::round(seconds * kAudioSampleRate);
    if (!(samples > -static_cast<double>(kFarSamples))) {
        return -kFarSamples;
    }
    return samples < static_cast<double>(kFarSamples) ? static_cast<int64_t>(samples) : kFarSamples;
}
