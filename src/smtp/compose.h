// compose.h - pieces of the composed SMTP message and envelope.
#pragma once

#include <string>
#include <string_view>

#include "shell/platform.h"

namespace compose {

// "Date: Fri, 4 Dec 2026 07:31:07 +0100": English names, the day without a leading zero and
// always the zone +0100.
std::string DateLine(const LocalTime& t);
// What follows "<" in an envelope command: the text after the first "<" of a header value, or
// the whole value and a closing ">" when it holds no "<".
std::string AngleAddress(std::string_view value);

}  // namespace compose
