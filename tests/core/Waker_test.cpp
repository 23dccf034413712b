#include "core/Waker.h"

#include <fcntl.h>
#include <unistd.h>

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

// Work that shows up on a watched descriptor (a child's output, say) ends the sleep as a wake does, for
// as long as it is watched; input left unread ends one sleep, not every one (a stream far enough ahead
// leaves its pipes full), and so does a hang-up.
TEST(WakeSignal, AWatchedDescriptorEndsTheSleepOnEachChangeUntilUnwatched) {
    WakeSignal signal;
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    kivposix::UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    ASSERT_TRUE(signal.Watch(readEnd.get()));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const auto start = Clock::now();
        std::thread writer([&writeEnd] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
        });
        signal.Wait(20000);
        writer.join();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
        // Nothing is read: the byte stays, and the next wait lasts its time all the same.
        const auto idle = Clock::now();
        signal.Wait(100);
        EXPECT_GE(Clock::now() - idle, std::chrono::milliseconds(100));
    }

    writeEnd.reset();  // the hang-up ends one sleep
    auto start = Clock::now();
    signal.Wait(20000);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    start = Clock::now();
    signal.Wait(100);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));

    // Not watched any more: new input ends no sleep.
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    kivposix::UniqueFd other(ends[0]), otherWrite(ends[1]);
    ASSERT_TRUE(signal.Watch(other.get()));
    signal.Unwatch(other.get());
    ASSERT_EQ(write(otherWrite.get(), "x", 1), 1);
    start = Clock::now();
    signal.Wait(100);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
}

}  // namespace
