#include "core/Waker.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

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

// Work that shows up on a watched descriptor (a child's output, say) ends the sleep as a wake does; the
// descriptors count for one wait only, and the signal closes them.
TEST(WakeSignal, AWatchedDescriptorEndsTheSleepOnce) {
    WakeSignal signal;
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    kivposix::UniqueFd writeEnd(ends[1]);
    const int readEnd = ends[0];
    std::vector<kivposix::UniqueFd> watched;
    watched.emplace_back(readEnd);
    signal.WatchAlso(std::move(watched));
    const auto start = Clock::now();
    std::thread writer([&writeEnd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
    });
    signal.Wait(20000);
    writer.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(fcntl(readEnd, F_GETFD), -1) << "closed after the wait";

    // Not watched any more: the next wait lasts its time.
    const auto idle = Clock::now();
    signal.Wait(100);
    EXPECT_GE(Clock::now() - idle, std::chrono::milliseconds(100));
}

}  // namespace
