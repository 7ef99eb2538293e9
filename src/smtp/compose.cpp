// compose.cpp - the Date line and the envelope addresses of an SMTP delivery.
#include "smtp/compose.h"

#include <cstdio>

namespace compose {

std::string DateLine(const LocalTime& t) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = kDays[(t.weekday % 7 + 7) % 7];
    const char* month = kMonths[((t.month - 1) % 12 + 12) % 12];
    char buf[80];
    std::snprintf(buf, sizeof buf, "Date: %s, %d %s %04d %02d:%02d:%02d +0100", day, t.day, month,
                  t.year, t.hour, t.minute, t.second);
    return buf;
}

std::string AngleAddress(std::string_view value) {
    std::size_t lt = value.find('<');
    if (lt == std::string_view::npos) return std::string(value) + ">";
    return std::string(value.substr(lt + 1));
}

}  // namespace compose
