// system_clock.cpp - SystemClock: localtime_r, computed at most once per second.
#include "shell/system_clock.h"

#include <ctime>

LocalTime SystemClock::Now() {
    // The log asks for the time for every line; the broken-down time only changes once a second.
    static thread_local std::time_t cachedSecond = -1;
    static thread_local LocalTime cached;
    std::time_t now = std::time(nullptr);
    if (now != cachedSecond) {
        std::tm tm{};
        localtime_r(&now, &tm);
        cached = LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday,
                           tm.tm_hour,        tm.tm_min,     tm.tm_sec};
        cachedSecond = now;
    }
    return cached;
}
