// compose.cpp - the Date line of the composed message and of the Received line.
#include "relay/smtp/compose.h"

#include <cstdio>
#include <cstdlib>

namespace compose {

std::string DateText(const LocalTime& t, bool hostZone) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = kDays[(t.weekday % 7 + 7) % 7];
    const char* month = kMonths[((t.month - 1) % 12 + 12) % 12];
    const int offset = hostZone ? t.utcOffsetMinutes : 60;
    char buf[80];
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d %c%02d%02d", day, t.day, month,
                  t.year, t.hour, t.minute, t.second, offset < 0 ? '-' : '+',
                  std::abs(offset) / 60 % 100, std::abs(offset) % 60);
    return buf;
}

std::string DateLine(const LocalTime& t, bool hostZone) {
    return "Date: " + DateText(t, hostZone);
}

}  // namespace compose
