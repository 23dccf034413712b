#include "kivlib/kiv_net.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace {

// Writing to a socket whose peer has gone must give EPIPE instead of killing the process.
TEST(Net, InitMakesAClosedPeerAnErrorNotASignal) {
    ASSERT_TRUE(net_init());
    ASSERT_TRUE(net_init());  // twice is harmless
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ::close(pair[1]);
    errno = 0;
    EXPECT_EQ(::write(pair[0], "x", 1), -1);  // plain write: no MSG_NOSIGNAL to save us
    EXPECT_EQ(errno, EPIPE);
    ::close(pair[0]);
    net_shutdown();
    net_shutdown();
}

}  // namespace
