// system_clock.h - the local date and time of the host.
#pragma once

#include <ctime>

#include "relay/platform.h"

class SystemClock : public Clock {
  public:
    LocalTime Now() override;

  private:
    // The log asks for the time for every line; the broken-down time only changes once a second.
    std::time_t cachedSecond_ = -1;
    LocalTime cached_;
};
