#include "kivlib/kiv_thread.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <set>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void* StoreArgument(void* argument) {
    make_delay(20);  // still running when the creator reaches the wait
    static_cast<std::atomic<int>*>(argument)->store(42);
    return nullptr;
}

TEST(Thread, WaitReturnsAfterTheEntryHasRunAndClearsTheHandle) {
    std::atomic<int> value{0};
    kiv_thread_handle handle = nullptr;
    ASSERT_TRUE(kiv_create_thread(handle, StoreArgument, &value));
    ASSERT_NE(nullptr, handle);
    kiv_wait_thread(handle);
    EXPECT_EQ(42, value.load());
    EXPECT_EQ(nullptr, handle);
    kiv_wait_thread(handle);  // a cleared handle returns at once
}

struct Shared {
    boost::shared_ptr<KivThreadMutex> mutex;
    long counter = 0;  // guarded by mutex only
};

void* CountUnderLock(void* argument) {
    Shared* shared = static_cast<Shared*>(argument);
    for (int i = 0; i < 20000; ++i) {
        KivLock hold(*shared->mutex);
        long seen = shared->counter;
        shared->counter = seen + 1;
    }
    return nullptr;
}

TEST(Thread, MutexSerialisesThreads) {
    Shared shared;
    shared.mutex = KivThreadMutex::GetInstance();
    ASSERT_TRUE(shared.mutex);
    std::vector<kiv_thread_handle> threads(6, nullptr);
    for (kiv_thread_handle& handle : threads) ASSERT_TRUE(kiv_create_thread(handle, CountUnderLock, &shared));
    for (kiv_thread_handle& handle : threads) kiv_wait_thread(handle);
    EXPECT_EQ(6 * 20000, shared.counter);
}

TEST(Thread, DelayLastsAtLeastItsTime) {
    Clock::time_point start = Clock::now();
    make_delay(60);
    EXPECT_GE(MillisecondsSince(start), 60);
    start = Clock::now();
    make_delay(0);
    EXPECT_LT(MillisecondsSince(start), 1000);  // no wait of its own; a loaded machine may pause this thread
}

void IgnoreSignal(int) {}

struct DelayRun {
    pthread_t thread;
    std::atomic<bool> started{false};
    long elapsed = 0;
};

void* DelayAndMeasure(void* argument) {
    DelayRun* run = static_cast<DelayRun*>(argument);
    run->thread = pthread_self();
    Clock::time_point start = Clock::now();
    run->started = true;
    make_delay(300);
    run->elapsed = MillisecondsSince(start);
    return nullptr;
}

TEST(Thread, DelaySleepsOnWhenASignalInterruptsIt) {
    struct sigaction action = {};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: the sleep returns EINTR
    struct sigaction previous;
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
    DelayRun run;
    kiv_thread_handle handle = nullptr;
    ASSERT_TRUE(kiv_create_thread(handle, DelayAndMeasure, &run));
    while (!run.started) make_delay(1);
    make_delay(50);
    pthread_kill(run.thread, SIGUSR1);
    kiv_wait_thread(handle);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(run.elapsed, 300);
}

TEST(Thread, TimerIsTheMonotonicClockInMilliseconds) {
    auto monotonicMs = [] {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
    };
    uint32_t before = monotonicMs();
    uint32_t counter = refresh_timer();
    uint32_t after = monotonicMs();
    EXPECT_LE(get_elapsed_ms(before, counter), get_elapsed_ms(before, after));

    uint32_t start = refresh_timer();
    make_delay(100);
    uint32_t elapsed = get_elapsed_ms(start);
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(Thread, ElapsedIsRightAcrossTheWrap) {
    struct Case {
        uint32_t earlier, now, elapsed;
    };
    const Case cases[] = {
        {100, 350, 250},
        {7, 7, 0},
        {0xFFFFFFF0u, 0x10u, 0x20u},
        {0xFFFFFFFFu, 0u, 1u},
        {0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFFu},
        {0u, 0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) EXPECT_EQ(c.elapsed, get_elapsed_ms(c.earlier, c.now)) << c.earlier << " -> " << c.now;
}

TEST(Thread, RandomNumbersUseAll64Bits) {
    std::set<uint64_t> seen;
    uint64_t anyOne = 0, allOnes = ~uint64_t(0);
    for (int i = 0; i < 1000; ++i) {
        uint64_t value = get_rand_num64();
        seen.insert(value);
        anyOne |= value;
        allOnes &= value;
    }
    EXPECT_EQ(1000u, seen.size());
    EXPECT_EQ(~uint64_t(0), anyOne) << "some bit was never set";
    EXPECT_EQ(0u, allOnes) << "some bit was always set";
}

}  // namespace
