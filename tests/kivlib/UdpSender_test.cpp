#include "kivlib/KivUdpSender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

// A datagram socket bound to `address`:0 that the test reads from.
class Receiver {
public:
    explicit Receiver(const char* address) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &local.sin_addr);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0;
        socklen_t length = sizeof(local);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~Receiver() { ::close(fd_); }
    bool Bound() const { return bound_; }
    uint16_t Port() const { return port_; }
    // One datagram, or false when none arrives within the time.
    bool Receive(std::string& payload, int timeoutMs = 2000) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) <= 0) return false;
        char buffer[65536];
        ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (n < 0) return false;
        payload.assign(buffer, static_cast<size_t>(n));
        return true;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
    uint16_t port_ = 0;
};

class UdpSenderTest : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_ISOLATED_NETWORK(); }
};

TEST_F(UdpSenderTest, DeliversTheExactPayload) {
    Receiver receiver("127.0.0.1");
    ASSERT_TRUE(receiver.Bound());
    auto sender = KivUdpSender::GetInstance(receiver.Port(), "127.0.0.1", true);
    ASSERT_TRUE(sender);
    const std::string packets[] = {
        "<Calvoro>\n<ServerName>host</ServerName>\n<HttpPort>8683</HttpPort>\n</Calvoro>\n",
        std::string("bin\0ary\r\n\xff", 11),
        std::string(1400, 'x'),
    };
    for (const auto& packet : packets) {
        ASSERT_TRUE(sender->SendPacket(packet));
        std::string got;
        ASSERT_TRUE(receiver.Receive(got));
        EXPECT_EQ(got, packet);
    }
}

// 127.255.255.255 is loopback's broadcast address: the kernel refuses it unless SO_BROADCAST is on.
TEST_F(UdpSenderTest, BroadcastsOnlyWhenAsked) {
    Receiver receiver("0.0.0.0");
    ASSERT_TRUE(receiver.Bound());
    auto broadcaster = KivUdpSender::GetInstance(receiver.Port(), "127.255.255.255", true);
    ASSERT_TRUE(broadcaster);
    EXPECT_TRUE(broadcaster->SendPacket("presence"));
    std::string got;
    ASSERT_TRUE(receiver.Receive(got));
    EXPECT_EQ(got, "presence");

    auto plain = KivUdpSender::GetInstance(receiver.Port(), "127.255.255.255", false);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->SendPacket("presence"));
    EXPECT_FALSE(receiver.Receive(got, 200));
}

// No route to the broadcast address (this namespace has only loopback): still a sender, its
// sends just fail. Nothing leaves the machine.
TEST_F(UdpSenderTest, NoRouteIsNotAFailureToStart) {
    auto sender = KivUdpSender::GetInstance(4756, "255.255.255.255", true);
    ASSERT_TRUE(sender);
    EXPECT_FALSE(sender->SendPacket("presence"));
}

TEST_F(UdpSenderTest, RefusesAnAddressThatIsNotDottedIpv4) {
    for (const char* address : {"", "localhost", "1.2.3", "256.1.1.1", "::1"}) {
        EXPECT_FALSE(KivUdpSender::GetInstance(4756, address, true)) << address;
    }
}

}  // namespace
