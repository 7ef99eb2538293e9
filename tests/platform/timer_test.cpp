// AsioTimer on a real event loop. The machine is shared and noisy: counts are checked against
// wide bounds that a wrong timer still misses by far (no ticks at all, or a burst).
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "shell/asio_timer.h"

using namespace std::chrono;

namespace {

TEST(AsioTimer, TicksAboutEveryIntervalFromCreation) {
    asio::io_context io;
    AsioTimer timer(io, 20);
    int ticks = 0;
    timer.SetTickHandler([&] { ++ticks; });
    EXPECT_EQ(timer.Interval(), 20);
    EXPECT_TRUE(timer.Enabled());
    io.run_for(milliseconds(500));
    // 25 intervals; each tick is armed after the last one, so there can be no more than that.
    EXPECT_GE(ticks, 5);
    EXPECT_LE(ticks, 26);
}

TEST(AsioTimer, DisabledInsideItsTickHandlerItStopsUntilEnabledAgain) {
    asio::io_context io;
    AsioTimer timer(io, 10);
    int ticks = 0;
    timer.SetTickHandler([&] {
        if (++ticks == 3) timer.SetEnabled(false);
    });
    timer.SetEnabled(true);
    io.run_for(milliseconds(400));
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(timer.Enabled());

    io.restart();
    timer.SetEnabled(true);
    io.run_for(milliseconds(400));
    EXPECT_GE(ticks, 4);
    EXPECT_LE(ticks, 3 + 41);
}

// Disabling and enabling again inside the handler must leave one chain of ticks, not two.
TEST(AsioTimer, ReenabledInsideItsTickHandlerItKeepsOneTickPerInterval) {
    asio::io_context io;
    AsioTimer timer(io, 10);
    int ticks = 0;
    timer.SetTickHandler([&] {
        ++ticks;
        timer.SetEnabled(false);
        timer.SetEnabled(true);
        timer.SetEnabled(true);
    });
    timer.SetEnabled(true);
    io.run_for(milliseconds(400));
    EXPECT_GE(ticks, 3);
    EXPECT_LE(ticks, 41);
}

// The loop is blocked for five intervals, once inside the tick handler and once in another
// handler while the timer's wait runs out. Afterwards the missed ticks must not come as a burst.
TEST(AsioTimer, ALateTickIsOneTickNotABurst) {
    constexpr milliseconds kInterval(40);
    for (bool blockInTick : {true, false}) {
        asio::io_context io;
        AsioTimer timer(io, kInterval.count());
        std::vector<steady_clock::time_point> ticks;
        steady_clock::time_point unblocked;
        auto block = [&] {
            std::this_thread::sleep_for(5 * kInterval);
            unblocked = steady_clock::now();
        };
        timer.SetTickHandler([&] {
            ticks.push_back(steady_clock::now());
            if (ticks.size() != 1) return;
            if (blockInTick) {
                block();
            } else {
                asio::post(io, block);
            }
        });
        timer.SetEnabled(true);
        io.run_for(15 * kInterval);
        std::size_t inWindow = 0;
        for (auto t : ticks) inWindow += t >= unblocked && t < unblocked + 3 * kInterval / 2;
        EXPECT_LE(inWindow, 2u) << (blockInTick ? "blocked in the tick" : "blocked elsewhere");
        EXPECT_GE(ticks.size(), 3u) << (blockInTick ? "blocked in the tick" : "blocked elsewhere");
    }
}

// Both timers run out while the loop is blocked, so both ticks are due in the same turn; the
// first destroys the second, whose due tick must then never arrive.
TEST(AsioTimer, ATimerDestroyedWithItsTickDueNeverTicks) {
    asio::io_context io;
    auto first = std::make_unique<AsioTimer>(io, 10);
    auto second = std::make_unique<AsioTimer>(io, 10);
    int firstTicks = 0, secondTicks = 0;
    second->SetTickHandler([&] { ++secondTicks; });
    first->SetTickHandler([&] {
        ++firstTicks;
        second.reset();
        first->SetEnabled(false);
    });
    first->SetEnabled(true);
    second->SetEnabled(true);
    asio::post(io, [] { std::this_thread::sleep_for(milliseconds(50)); });
    io.run_for(milliseconds(200));
    EXPECT_EQ(firstTicks, 1);
    EXPECT_EQ(secondTicks, 0);
}

}  // namespace
