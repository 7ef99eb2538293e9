// system_clock.cpp - SystemClock: localtime_r, computed at most once per second.
#include "linux/system_clock.h"

LocalTime SystemClock::Now() {
    std::time_t now = std::time(nullptr);
    if (now != cachedSecond_) {
        std::tm tm{};
        localtime_r(&now, &tm);
        cached_ = LocalTime{
            tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday,
            tm.tm_hour,        tm.tm_min,     tm.tm_sec,  static_cast<int>(tm.tm_gmtoff / 60)};
        cachedSecond_ = now;
    }
    return cached_;
}
