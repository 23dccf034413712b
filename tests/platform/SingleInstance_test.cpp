#include "platform/SingleInstance.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

TEST(SingleInstanceTest, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    testsupport::TempDir folder;
    {
        SingleInstance first;
        ASSERT_TRUE(first.Acquire(folder.wpath(), L"CalvoroServerMutex"));
        SingleInstance second;
        EXPECT_FALSE(second.Acquire(folder.wpath(), L"CalvoroServerMutex"));
        EXPECT_TRUE(second.HeldElsewhere());
        SingleInstance other;
        EXPECT_TRUE(other.Acquire(folder.wpath(), L"OtherName"));
    }
    SingleInstance afterwards;
    EXPECT_TRUE(afterwards.Acquire(folder.wpath(), L"CalvoroServerMutex"));
}

TEST(SingleInstanceTest, ALockHeldByAnotherProcessRefusesThisOne) {
    testsupport::TempDir folder;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        SingleInstance held;
        const char answer = held.Acquire(folder.wpath(), L"CalvoroServerMutex") ? 'y' : 'n';
        (void)!write(ready[1], &answer, 1);
        pause();
        _exit(0);
    }
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');
    SingleInstance mine;
    EXPECT_FALSE(mine.Acquire(folder.wpath(), L"CalvoroServerMutex"));
    EXPECT_TRUE(mine.HeldElsewhere());
    kill(child, SIGKILL);  // however the holder ends, the lock goes with it
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(mine.Acquire(folder.wpath(), L"CalvoroServerMutex"));
    close(ready[0]);
    close(ready[1]);
}

TEST(SingleInstanceTest, AFolderThatCannotHoldTheLockRefuses) {
    SingleInstance instance;
    EXPECT_FALSE(instance.Acquire(L"/nonexistent-folder-for-calvoro", L"CalvoroServerMutex"));
    EXPECT_FALSE(instance.HeldElsewhere()) << "a lock file that cannot be made is no other copy";
}

}  // namespace
