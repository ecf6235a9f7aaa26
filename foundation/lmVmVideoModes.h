#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// The eight frame rates the system supports and the three field modes. Both programs share
// these tables; they are constants and may be read from any thread.

struct TFrameRateEntry {
    uint32_t Numerator;
    uint32_t Denominator;
    float Rate;  // as stored, not recomputed from numerator and denominator
    int32_t Nominal;
};

inline constexpr int FrameRateCount = 8;

// Index 3 (29.97) is what a new source starts with.
inline constexpr uint8_t DefaultFrameRateIndex = 3;

extern const std::array<TFrameRateEntry, FrameRateCount> FrameRates;

// The entry at `index`; an index outside 0 to 7 (from a damaged store or a peer) reads the
// default entry instead of reading past the table.
const TFrameRateEntry& FrameRateEntry(int index);

// True when `index` addresses one of the eight entries.
bool IsValidFrameRateIndex(int index);

// The rate formatted with "%.5g": "23.976", "24", "29.97", ...
std::string FrameRateText(int index);

enum TFieldMode : uint8_t {
    fmProgressive = 0,
    fmUpperFieldFirst = 1,
    fmLowerFieldFirst = 2,
};

inline constexpr int FieldModeCount = 3;

extern const std::array<const char*, FieldModeCount> FieldModeNames;

// Maps a measured rate onto a supported rate index, or nothing when the rate is unsupported.
std::optional<uint8_t> ClassifyFrameRate(float rate);

// A source without a rate of its own reports a negative rate; it then runs at the rate of the
// source's default index.
float RateToClassify(float reportedRate, int defaultIndex);

// Field mode from what a video source reports: its field-order code, its interlaced flag and
// the frame size.
TFieldMode DeriveFieldMode(int32_t fieldOrder, bool interlaced, int32_t width, int32_t height);

// Frame duration in 100-nanosecond units, rounded to the nearest integer.
int64_t FrameDuration100ns(int index);

// Audio bytes for one frame at `bytesPerSecond`, rounded to the nearest integer.
int64_t AudioBytesPerFrame(int index, uint32_t bytesPerSecond);

// Video data rate in bits per second for frames of `bytesPerFrame` bytes.
int64_t VideoDataRate(int index, uint32_t bytesPerFrame);
