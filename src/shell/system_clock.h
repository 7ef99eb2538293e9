// system_clock.h - the local date and time of the host.
#pragma once

#include "shell/platform.h"

class SystemClock : public Clock {
  public:
    LocalTime Now() override;
};
