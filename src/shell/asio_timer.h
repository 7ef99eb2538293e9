// asio_timer.h - a periodic Timer on the Asio event loop.
//
// Ticks every Interval() milliseconds while enabled. A late tick is one tick: the next one is
// armed from the moment the handler returns, so missed ticks never arrive as a burst.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "shell/platform.h"

class AsioTimer : public Timer {
  public:
    AsioTimer(asio::io_context& io, int32_t intervalMs);
    void SetTickHandler(std::function<void()> onTick) override;
    int32_t Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return enabled_; }

  private:
    void Arm();
    asio::steady_timer timer_;
    int32_t interval_;
    bool enabled_ = false;
    unsigned generation_ = 0;  // a wait armed before the last disable is stale
    std::function<void()> onTick_;
};
