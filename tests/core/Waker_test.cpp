#include "core/Waker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

TEST(WakeSignal, AWakeCutsTheSleepShort) {
    WakeSignal signal;
    const auto start = Clock::now();
    std::thread waker([&signal] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        signal.Wake();
    });
    // Waits of 20 s: far longer than a wake can take on a loaded machine.
    signal.Wait(20000);
    waker.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

TEST(WakeSignal, AWakeBeforeTheWaitIsNotLostAndCountsOnce) {
    WakeSignal signal;
    signal.Wake();
    const auto again = Clock::now();
    signal.Wait(20000);
    EXPECT_LT(Clock::now() - again, std::chrono::seconds(10));

    // Without a new wake the wait lasts its time.
    const auto idle = Clock::now();
    signal.Wait(100);
    EXPECT_GE(Clock::now() - idle, std::chrono::milliseconds(100));
}

}  // namespace
