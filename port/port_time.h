#pragma once

#include <chrono>
#include <cstdint>

namespace port {

// Milliseconds of a monotonic clock, truncated to 32 bits; wraps after about 49.7 days, so
// callers compare differences (`GetTickCount() - start`), never absolute values.
uint32_t GetTickCount();

// A moment in the local time zone, broken down.
struct LocalTime {
    int year = 0;         // four digits, e.g. 2026
    int month = 0;        // 1..12
    int day = 0;          // 1..31
    int hour = 0;         // 0..23
    int minute = 0;       // 0..59
    int second = 0;       // 0..60 (a leap second may show as 60)
    int millisecond = 0;  // 0..999
};

// Breaks a wall-clock moment down into local time (time zone and daylight saving of the
// machine). Moments before 1970 are handled like any other.
LocalTime ToLocalTime(std::chrono::system_clock::time_point moment);

// The current local time.
LocalTime LocalTimeNow();

}  // namespace port
