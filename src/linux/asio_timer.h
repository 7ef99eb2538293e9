// asio_timer.h - a periodic Timer on the Asio event loop.
//
// Runs from creation and ticks every Interval() milliseconds while enabled, on multiples of the
// interval, so that timers of one interval tick in the same wake-up. A late tick is one tick:
// one wait is pending at a time, armed when the last tick came, so missed ticks never arrive as
// a burst.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <memory>

#include "relay/platform.h"

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
    bool enabled_ = true;
    unsigned generation_ = 0;  // a wait armed before the last disable is stale
    std::function<void()> onTick_;
    // Expires with the timer. A wait that had already run out when the timer was destroyed still
    // completes without an error; its handler checks this before it touches the timer.
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};
