// asio_timer.cpp - AsioTimer (see asio_timer.h).
#include "shell/asio_timer.h"

#include <chrono>

AsioTimer::AsioTimer(asio::io_context& io, int32_t intervalMs) : timer_(io), interval_(intervalMs) {
    Arm();
}

void AsioTimer::SetTickHandler(std::function<void()> onTick) {
    onTick_ = std::move(onTick);
}

void AsioTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    ++generation_;
    timer_.cancel();
    if (enabled_) Arm();
}

void AsioTimer::Arm() {
    timer_.expires_after(std::chrono::milliseconds(interval_));
    timer_.async_wait([this, alive = std::weak_ptr<char>(alive_),
                       generation = generation_](const std::error_code& ec) {
        if (ec || alive.expired() || generation != generation_ || !enabled_) return;
        if (onTick_) onTick_();
        // The tick handler may have disabled, re-enabled (armed anew) or destroyed the timer.
        if (!alive.expired() && enabled_ && generation == generation_) Arm();
    });
}
