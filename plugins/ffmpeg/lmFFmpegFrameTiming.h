#pragma once

// The arithmetic between video frames and 48 kHz audio: the two-decimal frame rate, the samples
// of each frame within its block of five (the 29.97 and 59.94 cadences), how many frames a host
// should buffer ahead, and the conversions of time stamps that a file may set to anything.

#include <cstdint>

inline constexpr int32_t kAudioSampleRate = 48000;
inline constexpr int32_t kFramesPerAudioBlock = 5;

// The rate rounded to two decimals and held as a single float, as the source reports it; 0 for
// a rate that is not a positive number below 1e30.
double RoundedFrameRate(double rawRate);

// The audio of one frame within its five-frame block.
struct TFrameAudioSlot {
    int32_t Samples = 0;       // samples of this frame
    int32_t Offset = 0;        // where they start within the block, in samples
    int32_t BlockSamples = 0;  // samples of the whole block
};

// trunc(48000 / rate + 0.5); 0 for a rate that is not positive.
int32_t SamplesPerFrame(double frameRate);

// The cadence of `frame` at `frameRate`: 1602, 1602, 1601, 1602, 1601 at 29.97; 801 four times
// then 800 at 59.94; 48000 / rate for every frame otherwise.
TFrameAudioSlot AudioCadence(double frameRate, int64_t frame);

// Frames worth buffering: 40 MiB of frames (at least 300 KiB each), at most the clip's length
// and never fewer than four for short clips.
int32_t PreferredBufferCount(int64_t frameBytes, int32_t frameCount);

// a - b, held at the ends of the 64-bit range instead of wrapping.
int64_t SaturatingSubtract(int64_t a, int64_t b);

// `value` truncated to a 64-bit integer, held within +-9.2e18 (not a number gives the low end).
int64_t ClampedToInt64(double value);

// A position in 48 kHz samples for `seconds`, rounded to the nearest sample and held within
// +-kFarSamples, so that sums of positions and sample counts never overflow.
inline constexpr int64_t kFarSamples = int64_t{1} << 50;
int64_t SecondsToSamples(double seconds);
