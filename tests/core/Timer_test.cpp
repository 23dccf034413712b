#include "core/Timer.h"

#include <gtest/gtest.h>

#include "kivlib/kiv_thread.h"

namespace {

TEST(Timer, CountsMillisecondsSinceItWasMade) {
    boost::shared_ptr<ITimer> timer = Timer::GetInstance();
    ASSERT_TRUE(timer);
    EXPECT_LT(timer->GetElapsedMs(), 1000u);  // starts at 0; a loaded machine may pause this thread a while
    make_delay(120);
    const uint32_t elapsed = timer->GetElapsedMs();
    EXPECT_GE(elapsed, 120u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(TimerFactory, MakesIndependentStopwatches) {
    TimerFactory factory;
    boost::shared_ptr<ITimer> first = factory.CreateTimer();
    make_delay(100);
    boost::shared_ptr<ITimer> second = factory.CreateTimer();
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_NE(first, second);
    // The younger one is read first: a pause between the two reads then only widens the gap.
    const uint32_t b = second->GetElapsedMs();
    const uint32_t a = first->GetElapsedMs();
    EXPECT_GE(a, b + 90u);
}

}  // namespace
