#include "platform/OpenFileLimit.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// In a child, so this test program keeps its own limit: started with a soft limit of 1024, as a desktop
// session hands it on, the process ends up with its hard limit.
TEST(OpenFileLimit, TheSoftLimitIsRaisedToTheHardOne) {
    rlimit files{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &files));
    if (files.rlim_max != RLIM_INFINITY && files.rlim_max <= 1024) GTEST_SKIP() << "the hard limit is 1024 here";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit low = files;
        low.rlim_cur = 1024;
        if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(2);
        const uint64_t result = RaiseOpenFileLimit();
        rlimit now{};
        if (getrlimit(RLIMIT_NOFILE, &now) != 0) _exit(3);
        const bool raised = now.rlim_cur > 1024 && result == now.rlim_cur &&
                            (files.rlim_max == RLIM_INFINITY || now.rlim_cur == files.rlim_max);
        _exit(raised ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    // Nothing to raise: the limit that holds is returned as it is.
    rlimit before{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &before));
    EXPECT_GE(RaiseOpenFileLimit(), static_cast<uint64_t>(before.rlim_cur));
}

}  // namespace
