#include "platform/Updater.h"

#include <gtest/gtest.h>

namespace {

TEST(UpdaterTest, CleanupTwiceIsHarmlessAndEndsTheRun) {
    Updater::SetAppcastUrl("https://example.invalid/feed.xml");
    Updater::Init();
    EXPECT_TRUE(Updater::IsRunning());
    EXPECT_EQ(Updater::GetAppcastUrl(), "https://example.invalid/feed.xml");
    Updater::Cleanup();
    Updater::Cleanup();
    EXPECT_FALSE(Updater::IsRunning());
    EXPECT_EQ(Updater::CheckWithUi(), "The updater is not running.");
}

}  // namespace
