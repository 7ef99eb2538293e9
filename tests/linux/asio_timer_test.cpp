// asio_timer_test.cpp - AsioTimer on a real event loop. The machine is shared and noisy: counts
// are checked against bounds that a wrong timer misses by far (no ticks, a burst, two chains).
#include "linux/asio_timer.h"

#include <gtest/gtest.h>

#include <thread>

TEST(AsioTimer, TicksOncePerIntervalAndNeverInABurstOrAfterItsEnd) {
    asio::io_context io;
    auto timer = std::make_unique<AsioTimer>(io, 20);
    auto doomed = std::make_unique<AsioTimer>(io, 20);
    int ticks = 0, doomedTicks = 0;
    doomed->SetTickHandler([&] { ++doomedTicks; });
    timer->SetTickHandler([&] {
        if (++ticks == 3) {  // disabled and enabled again inside its handler: still one chain
            timer->SetEnabled(false);
            timer->SetEnabled(true);
        }
        if (ticks == 6) std::this_thread::sleep_for(std::chrono::milliseconds(200));  // 10 late
        if (ticks == 6) doomed.reset();  // its tick was due during the sleep: it must not come
    });
    io.run_for(std::chrono::milliseconds(500));
    EXPECT_GE(ticks, 10);
    EXPECT_LE(ticks, 6 + 16);  // after the late tick one per interval again, not ten at once
    EXPECT_LE(doomedTicks, 6);
    timer->SetEnabled(false);
    const int before = ticks;
    io.run_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ticks, before);
}
