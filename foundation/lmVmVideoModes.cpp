#include "foundation/lmVmVideoModes.h"

#include <cmath>
#include <cstdio>

const std::array<TFrameRateEntry, FrameRateCount> FrameRates{{
    {24000, 1001, 23.976024627685547f, 24},
    {24, 1, 24.0f, 24},
    {25, 1, 25.0f, 25},
    {30000, 1001, 29.970029830932617f, 30},
    {30, 1, 30.0f, 30},
    {50, 1, 50.0f, 50},
    {60000, 1001, 59.940059661865234f, 60},
    {60, 1, 60.0f, 60},
}};

const std::array<const char*, FieldModeCount> FieldModeNames{
    "No Fields (progressive)",
    "Upper Field First (even)",
    "Lower Field First (odd)",
};

bool IsValidFrameRateIndex(int index) {
    return index >= 0 && index < FrameRateCount;
}

const TFrameRateEntry& FrameRateEntry(int index) {
    return FrameRates[IsValidFrameRateIndex(index) ? index : DefaultFrameRateIndex];
}

std::string FrameRateText(int index) {
    char text[32];
    std::snprintf(text, sizeof text, "%.5g", static_cast<double>(FrameRateEntry(index).Rate));
    return text;
}

std::optional<uint8_t> ClassifyFrameRate(float rate) {
    // The bounds are decimal constants held at extended precision; the measured single is
    // widened before the comparison, so a boundary such as 24.5 falls into no window.
    struct TWindow {
        long double Lo, Hi;
        uint8_t Index;
    };
    static constexpr TWindow Windows[] = {
        {23.0L, 23.995L, 0}, {23.995L, 24.5L, 1}, {24.5L, 26.0L, 2},   {29.0L, 29.995L, 3},
        {29.995L, 31.0L, 4}, {49.0L, 51.0L, 5},   {59.0L, 59.995L, 6}, {59.995L, 61.0L, 7},
    };
    const long double x = rate;
    for (const TWindow& window : Windows) {
        if (window.Lo < x && x < window.Hi)
            return window.Index;
    }
    return std::nullopt;
}

float RateToClassify(float reportedRate, int defaultIndex) {
    if (reportedRate < 0.0f)
        return FrameRateEntry(defaultIndex).Rate;
    return reportedRate;
}

TFieldMode DeriveFieldMode(int32_t fieldOrder, bool interlaced, int32_t width, int32_t height) {
    switch (fieldOrder) {
        case 1:
        case 3:
            return fmUpperFieldFirst;
        case 2:
        case 4:
            return fmLowerFieldFirst;
        case 0:
            if (!interlaced)
                return fmProgressive;
            // NTSC-sized standard definition is bottom field first, everything else top first.
            return (width == 720 && height < 487) ? fmLowerFieldFirst : fmUpperFieldFirst;
        default:
            return fmProgressive;
    }
}

int64_t FrameDuration100ns(int index) {
    const TFrameRateEntry& entry = FrameRateEntry(index);
    const long double fps =
        static_cast<long double>(entry.Numerator) / static_cast<long double>(entry.Denominator);
    return std::llround(10000000.0L / fps);
}

int64_t AudioBytesPerFrame(int index, uint32_t bytesPerSecond) {
    const TFrameRateEntry& entry = FrameRateEntry(index);
    const long double fps =
        static_cast<long double>(entry.Numerator) / static_cast<long double>(entry.Denominator);
    return std::llround(static_cast<long double>(bytesPerSecond) / fps);
}

int64_t VideoDataRate(int index, uint32_t bytesPerFrame) {
    const float rate = FrameRateEntry(index).Rate;
    return std::llround(static_cast<long double>(bytesPerFrame) * rate) * 8;
}
