// compose.h - the date of the composed SMTP message and of its Received line.
#pragma once

#include <string>

#include "relay/platform.h"

namespace compose {

// "Fri, 4 Dec 2026 07:31:07 +0100": English names, the day without a leading zero, and the zone
// +0100, or the host's own offset when `hostZone` is set.
std::string DateText(const LocalTime& t, bool hostZone);
// "Date: " and the date text.
std::string DateLine(const LocalTime& t, bool hostZone = false);
}  // namespace compose
