#include "foundation/lmTimeCode.h"

#include <cmath>

void TTimeCodeObj::SetFrameRate(uint32_t framesPerSecond) {
    if (framesPerSecond == FFramesPerSecond)
        return;
    FFramesPerSecond = framesPerSecond;
    FFramesPerMinute = framesPerSecond * 60;
    FFramesPerHour = framesPerSecond * 3600;
    FFramesPerDay = FFramesPerHour * 24;
}

namespace {

void AppendComponent(std::string& text, uint32_t value) {
    if (value < 10)
        text += '0';
    text += std::to_string(value);
}

}  // namespace

std::string TTimeCodeObj::FrameToTimeCode(uint32_t frame, bool alwaysShowHours) const {
    uint32_t hours = 0, minutes = 0, seconds = 0, frames = 0;
    // A zero rate formats as all zeros. (The per-minute count can only wrap to 0 when the
    // per-hour count does too, so this one test keeps every division defined.)
    if (FFramesPerHour != 0) {
        hours = frame / FFramesPerHour;
        uint32_t rest = frame - hours * FFramesPerHour;
        minutes = rest / FFramesPerMinute;
        rest -= minutes * FFramesPerMinute;
        seconds = rest / FFramesPerSecond;
        frames = rest - seconds * FFramesPerSecond;
    }
    std::string text;
    if (alwaysShowHours || hours != 0) {
        AppendComponent(text, hours);
        text += ':';
    }
    AppendComponent(text, minutes);
    text += ':';
    AppendComponent(text, seconds);
    text += '.';
    AppendComponent(text, frames);
    return text;
}

uint32_t TimeCodeFramesPerSecond(int64_t frameRate, int64_t frameDiv) {
    if (frameDiv < 1)
        frameDiv = 1;
    if (frameRate <= 0)
        return 0;
    return static_cast<uint32_t>(
        std::llround(static_cast<long double>(frameRate) / static_cast<long double>(frameDiv)));
}
