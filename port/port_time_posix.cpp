#include "port/port.h"

#include <time.h>

namespace port {

uint32_t GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

LocalTime ToLocalTime(std::chrono::system_clock::time_point moment) {
    using namespace std::chrono;
    // Floor, not truncation, so that moments before 1970 keep a millisecond part in 0..999.
    const auto whole = floor<seconds>(moment);
    const auto ms = duration_cast<milliseconds>(moment - whole).count();
    const time_t seconds = static_cast<time_t>(whole.time_since_epoch().count());
    tm broken{};
    localtime_r(&seconds, &broken);
    LocalTime result;
    result.year = broken.tm_year + 1900;
    result.month = broken.tm_mon + 1;
    result.day = broken.tm_mday;
    result.hour = broken.tm_hour;
    result.minute = broken.tm_min;
    result.second = broken.tm_sec;
    result.millisecond = static_cast<int>(ms);
    return result;
}

LocalTime LocalTimeNow() {
    return ToLocalTime(std::chrono::system_clock::now());
}

}  // namespace port
