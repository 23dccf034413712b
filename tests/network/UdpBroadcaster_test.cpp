#include "network/UdpBroadcaster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/State.h"
#include "support/TestSupport.h"

namespace {

TEST(PresencePacketTest, FourLinesNamingHostAndPort) {
    EXPECT_EQ(BuildPresencePacket("MEDIA-PC", 8683),
              "<Calvoro>\n<ServerName>MEDIA-PC</ServerName>\n<HttpPort>8683</HttpPort>\n</Calvoro>\n");
}

TEST(PresencePacketTest, HostNameIsEscapedWhereXmlNeedsIt) {
    EXPECT_EQ(BuildPresencePacket("a&b<c>", 1),
              "<Calvoro>\n<ServerName>a&amp;b&lt;c&gt;</ServerName>\n<HttpPort>1</HttpPort>\n</Calvoro>\n");
}

TEST(PresencePacketTest, BroadcastAddressFallsBackToTheLimitedOne) {
    EXPECT_EQ(BroadcastAddressOrLimited("192.168.1.255"), "192.168.1.255");
    EXPECT_EQ(BroadcastAddressOrLimited("0.0.0.0"), "255.255.255.255");
    EXPECT_EQ(BroadcastAddressOrLimited(""), "255.255.255.255");
}

// A UDP socket on 127.0.0.1:4756 that collects what the broadcaster sends.
class PresenceListener {
public:
    PresenceListener() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int yes = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kPresencePort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~PresenceListener() { close(fd_); }
    bool bound() const { return bound_; }
    // The next datagram within ms; empty when none came.
    std::string Receive(int ms) {
        pollfd wait = {fd_, POLLIN, 0};
        if (poll(&wait, 1, ms) <= 0) return std::string();
        char buffer[2048];
        const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

TEST(UdpBroadcasterTest, SendsAtOnceThenOncePerFiveSeconds) {
    REQUIRE_ISOLATED_NETWORK();
    testsupport::TempDir dir;
    boost::shared_ptr<State> state = State::GetInstance(dir.wpath());
    ASSERT_TRUE(state);
    state->SetHttpPort(9123);
    PresenceListener listener;
    ASSERT_TRUE(listener.bound());

    auto broadcaster = UdpBroadcaster::GetInstance(state.get(), "127.0.0.1");
    ASSERT_TRUE(broadcaster);
    char host[320] = {0};
    gethostname(host, sizeof(host) - 1);

    EXPECT_FALSE(broadcaster->Process()) << "sending never counts as work";
    EXPECT_EQ(listener.Receive(1000), BuildPresencePacket(host, 9123));

    const auto first = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    broadcaster->Process();
    EXPECT_EQ(listener.Receive(200), "") << "a second packet within five seconds";

    std::string next;
    while (next.empty() && std::chrono::steady_clock::now() - first < std::chrono::seconds(7)) {
        broadcaster->Process();
        next = listener.Receive(50);
    }
    EXPECT_EQ(next, BuildPresencePacket(host, 9123));
    EXPECT_GT(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(5000));
}

TEST(UdpBroadcasterTest, WithOnlyLoopbackTheLimitedBroadcastIsUsedAndSetUpSucceeds) {
    REQUIRE_ISOLATED_NETWORK();
    testsupport::TempDir dir;
    boost::shared_ptr<State> state = State::GetInstance(dir.wpath());
    auto broadcaster = UdpBroadcaster::GetInstance(state.get());
    ASSERT_TRUE(broadcaster) << "no route must not fail the set-up";
    EXPECT_EQ(broadcaster->GetDestination(), "255.255.255.255");
    EXPECT_FALSE(broadcaster->Process());  // the send fails and is logged; nothing else happens
}

}  // namespace
