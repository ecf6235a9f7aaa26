#pragma once

#include <cstdint>
#include <string>

// Turns a frame count into a display time code: whole seconds at an integer number of frames
// per second (no drop-frame), the frame count after a full stop.
class TTimeCodeObj {
  public:
    TTimeCodeObj() = default;

    void SetFrameRate(uint32_t framesPerSecond);
    uint32_t FramesPerSecond() const { return FFramesPerSecond; }
    uint32_t FramesPerDay() const { return FFramesPerDay; }

    // "hh:mm:ss.ff", or "mm:ss.ff" when the hours are 0 and not forced.
    std::string FrameToTimeCode(uint32_t frame, bool alwaysShowHours) const;

  private:
    uint32_t FFramesPerSecond = 25;
    uint32_t FFramesPerMinute = 25 * 60;
    uint32_t FFramesPerHour = 25 * 3600;
    uint32_t FFramesPerDay = 25 * 3600 * 24;
};

// Frames per second of a clip whose metadata carries `frameRate` and `frameDiv`: the quotient
// rounded to the nearest integer (29.97 runs at 30); a divisor below 1 counts as 1.
uint32_t TimeCodeFramesPerSecond(int64_t frameRate, int64_t frameDiv);
