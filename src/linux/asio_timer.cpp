// asio_timer.cpp - AsioTimer (see asio_timer.h).
#include "linux/asio_timer.h"

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
    // The next multiple of the interval on the steady clock: timers of the same interval then run
    // out together and share one wake-up of the process.
    using namespace std::chrono;
    const auto period = duration_cast<steady_clock::duration>(milliseconds(interval_));
    const auto now = steady_clock::now().time_since_epoch();
    timer_.expires_at(steady_clock::time_point(now / period * period + period));
    timer_.async_wait([this, alive = std::weak_ptr<char>(alive_),
                       generation = generation_](const std::error_code& ec) {
        if (ec || alive.expired() || generation != generation_ || !enabled_) return;
        // The next tick is armed first: a tick handler that throws cannot stop the timer. One
        // that disables, re-enables or destroys it cancels this wait.
        Arm();
        if (onTick_) onTick_();
    });
}
