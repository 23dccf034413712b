// The NAT-PMP client against a gateway of the test's own: a UDP socket on the router's address, port
// 5351, in namespaces of the test's own (the client's default route leads to it).
#include <arpa/inet.h>
#include <natpmp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "network/NatPmp.h"
#include "support/TestRouter.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using routertest::Inside;
using routertest::TestRouter;

namespace {

// Reads every request; answers each with what the test's function makes of it (nothing when empty),
// after the stray datagrams given and the delay. With a flood, from the first request on it also sends
// the flood's datagrams over and over, a burst every millisecond, until it ends.
class FakeGateway {
public:
    using Answer = std::function<std::string(const std::string& request)>;
    FakeGateway(const routertest::Namespace& router, Answer answer, std::vector<std::string> strays = {},
                std::chrono::milliseconds delay = std::chrono::milliseconds(0), std::vector<std::string> flood = {})
        : answer_(std::move(answer)), strays_(std::move(strays)), delay_(delay), flood_(std::move(flood)) {
        Inside inside(router);
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(NATPMP_PORT);
        inet_pton(AF_INET, routertest::kRouterLan, &address.sin_addr);
        bound_ = inside.Entered() && fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        timeval tick{0, 50000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        if (bound_) thread_ = std::thread([this] { Serve(); });
    }
    ~FakeGateway() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (flooder_.joinable()) flooder_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool Bound() const { return bound_; }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }
    // Flood datagrams sent before the answer, and in all.
    long FloodBeforeAnswer() const { return floodBeforeAnswer_; }
    long FloodSent() const { return floodSent_; }

private:
    void Flood(sockaddr_in to) {
        while (!stop_) {
            for (const std::string& datagram : flood_)
                if (sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
                    ++floodSent_;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void Serve() {
        while (!stop_) {
            char buffer[64];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0) continue;
            const std::string request(buffer, static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> hold(lock_);
                requests_.push_back(request);
            }
            if (!flood_.empty() && !flooder_.joinable()) flooder_ = std::thread([this, from] { Flood(from); });
            for (const std::string& stray : strays_)
                sendto(fd_, stray.data(), stray.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            for (auto until = std::chrono::steady_clock::now() + delay_; !stop_ && std::chrono::steady_clock::now() < until;)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (stop_) break;
            const std::string reply = answer_(request);
            if (!reply.empty()) {
                if (floodBeforeAnswer_ == 0) floodBeforeAnswer_ = floodSent_.load();
                sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        }
    }

    Answer answer_;
    std::vector<std::string> strays_;
    std::chrono::milliseconds delay_;
    std::vector<std::string> flood_;
    std::atomic<long> floodSent_{0};
    std::atomic<long> floodBeforeAnswer_{0};
    std::thread flooder_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

std::string Be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)}; }
std::string Be32(uint32_t v) { return Be16(static_cast<uint16_t>(v >> 16)) + Be16(static_cast<uint16_t>(v)); }

// A mapping reply of RFC 6886: version 0, opcode 128 + 2 (TCP), result, epoch, ports, lifetime.
std::string MappingReply(uint16_t result, uint16_t internal, uint16_t external, uint32_t lifetime) {
    return std::string("\x00\x82", 2) + Be16(result) + Be32(1234) + Be16(internal) + Be16(external) + Be32(lifetime);
}

class NatPmpTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        ASSERT_TRUE(router.Build()) << router.Error();
    }
    // The request as the server makes it, from the client's namespace.
    NatPmpResult Map(uint16_t internal, uint16_t external, uint32_t lifetime, uint32_t deadlineMs = kNatPmpDeadlineMs) {
        Inside inside(router.client);
        EXPECT_TRUE(inside.Entered());
        return NatPmpClient(deadlineMs).MapTcpPort(internal, external, lifetime);
    }
    TestRouter router;
};

TEST_F(NatPmpTest, AMappingAsksInNetworkOrderAndTakesTheGatewaysPortAndLifetime) {
    FakeGateway gateway(router.router, [](const std::string&) { return MappingReply(0, 8683, 40000, 3600); });
    ASSERT_TRUE(gateway.Bound());
    const NatPmpResult result = Map(8683, 8683, 7200);
    EXPECT_TRUE(result.sent);
    EXPECT_EQ(0, result.error) << NatPmpErrorText(result.error);
    EXPECT_EQ(8683, result.internalPort);
    EXPECT_EQ(40000, result.externalPort);
    EXPECT_EQ(3600u, result.lifetime);
    ASSERT_EQ(1u, gateway.Requests().size());
    EXPECT_EQ(std::string("\x00\x02\x00\x00", 4) + Be16(8683) + Be16(8683) + Be32(7200), gateway.Requests()[0]);

    // Lifetime 0 is the deletion.
    Map(8683, 40000, 0);
    ASSERT_EQ(2u, gateway.Requests().size());
    EXPECT_EQ(std::string("\x00\x02\x00\x00", 4) + Be16(8683) + Be16(40000) + Be32(0), gateway.Requests()[1]);
}

TEST_F(NatPmpTest, ARefusalIsTheGatewaysResultCode) {
    FakeGateway gateway(router.router, [](const std::string&) { return MappingReply(2, 8683, 0, 0); });
    ASSERT_TRUE(gateway.Bound());
    const NatPmpResult result = Map(8683, 8683, 7200);
    EXPECT_TRUE(result.sent);
    EXPECT_EQ(NATPMP_ERR_NOTAUTHORIZED, result.error);
}

TEST_F(NatPmpTest, ASilentGatewayEndsAtOurDeadlineAfterResends) {
    FakeGateway gateway(router.router, [](const std::string&) { return std::string(); });
    ASSERT_TRUE(gateway.Bound());
    const auto start = std::chrono::steady_clock::now();
    const NatPmpResult result = Map(8683, 8683, 7200, 1500);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(result.sent);
    EXPECT_EQ(kNatPmpTimedOut, result.error);
    EXPECT_GE(took, 1500ms);
    EXPECT_LT(took, 4500ms);  // room for a loaded machine; the library alone would go on for minutes
    EXPECT_GE(gateway.Requests().size(), 2u) << "the request is sent again while waiting";
}

// What a gateway sends that is no answer to the request is passed over while the answer still comes
// in time; a mapping of another private port is not ours.
TEST_F(NatPmpTest, OnlyTheAnswerForThePrivatePortAskedForEndsTheWait) {
    const std::string ours = MappingReply(0, 8683, 40000, 3600);
    // A refusal of 8 bytes alone names no port: it is not taken for ours, but said when nothing else came.
    const std::string shortRefusal = std::string("\x00\x82\x00\x02", 4) + Be32(1234);
    struct Case {
        const char* name;
        std::vector<std::string> strays;
        std::chrono::milliseconds delay;
        std::string answer;
        int error;
        uint16_t external;
        uint32_t deadlineMs;
    };
    const Case cases[] = {
        {"a late answer", {}, 2500ms, ours, 0, 40000, kNatPmpDeadlineMs},
        {"a short datagram first", {std::string("\x00", 1)}, 300ms, ours, 0, 40000, kNatPmpDeadlineMs},
        {"an address answer and a UDP mapping first",
         {std::string("\x00\x80\x00\x00", 4) + Be32(1234) + Be32(0x0b000002),
          std::string("\x00\x81\x00\x00", 4) + Be32(1234) + Be16(8683) + Be16(40000) + Be32(3600)},
         300ms, ours, 0, 40000, kNatPmpDeadlineMs},
        {"another private port first", {MappingReply(0, 4242, 40001, 3600)}, 300ms, ours, 0, 40000, kNatPmpDeadlineMs},
        {"a refusal for another private port first", {MappingReply(2, 4242, 0, 0)}, 300ms, ours, 0, 40000,
         kNatPmpDeadlineMs},
        {"another version and a short refusal first", {std::string("\x01\x82\x00\x00", 4) + Be32(1234), shortRefusal},
         300ms, ours, 0, 40000, kNatPmpDeadlineMs},
        {"only another private port", {}, 0ms, MappingReply(0, 4242, 40001, 3600), kNatPmpOtherPort, 0, 1500},
        {"only a refusal for another private port", {}, 0ms, MappingReply(2, 4242, 0, 0), kNatPmpOtherPort, 0, 1500},
        {"only a refusal that names no port", {}, 0ms, shortRefusal, NATPMP_ERR_NOTAUTHORIZED, 0, 1500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = c.answer;
        FakeGateway gateway(router.router, [answer](const std::string&) { return answer; }, c.strays, c.delay);
        ASSERT_TRUE(gateway.Bound());
        const NatPmpResult result = Map(8683, 8683, 7200, c.deadlineMs);
        EXPECT_TRUE(result.sent);
        EXPECT_EQ(c.error, result.error) << NatPmpErrorText(result.error);
        EXPECT_EQ(c.external, result.externalPort);
        if (c.error == 0) {
            EXPECT_EQ(8683, result.internalPort);
            EXPECT_EQ(3600u, result.lifetime);
        }
    }
}

// A gateway (or whoever speaks from its address) that sends a flood of datagrams that are no answer,
// before the grant and after it: every one is passed over and the grant, when it comes, is the result.
TEST_F(NatPmpTest, AFloodAroundTheGrantIsPassedOverAndTheGrantTaken) {
    const std::vector<std::string> flood = {
        std::string("\x01\x82\x00\x00", 4) + Be32(1234) + Be16(8683) + Be16(1) + Be32(1),  // another version
        std::string("\x00\x80\x00\x00", 4) + Be32(1234) + Be32(0x0b000002),                 // an address answer
        std::string("\x00", 1),                                                                 // too short
        MappingReply(2, 4242, 0, 0),                                                             // another port's refusal
        MappingReply(0, 4242, 40001, 3600),                                                      // another port's grant
    };
    FakeGateway gateway(router.router, [](const std::string&) { return MappingReply(0, 8683, 40000, 3600); }, {},
                        1000ms, flood);
    ASSERT_TRUE(gateway.Bound());
    const auto start = std::chrono::steady_clock::now();
    const NatPmpResult result = Map(8683, 8683, 7200);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(0, result.error) << NatPmpErrorText(result.error);
    EXPECT_EQ(40000, result.externalPort);
    EXPECT_EQ(3600u, result.lifetime);
    EXPECT_GE(took, 1000ms) << "nothing before the grant ended the wait";
    EXPECT_LT(took, std::chrono::milliseconds(kNatPmpDeadlineMs));
    // The flood came before the grant (a loaded machine sends fewer than its 5 a millisecond).
    EXPECT_GE(gateway.FloodBeforeAnswer(), 100) << gateway.FloodSent();
}

TEST_F(NatPmpTest, AStopEndsAMappingRequestAtOnceAndLeavesADeletionASecond) {
    FakeGateway gateway(router.router, [](const std::string&) { return std::string(); });
    ASSERT_TRUE(gateway.Bound());
    Inside inside(router.client);
    ASSERT_TRUE(inside.Entered());
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(500ms);
        stop = true;
    });
    auto start = std::chrono::steady_clock::now();
    const NatPmpResult mapping = NatPmpClient(kNatPmpDeadlineMs, &stop).MapTcpPort(8683, 8683, 7200);
    const auto mappingTook = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_EQ(kNatPmpStopped, mapping.error);
    EXPECT_LT(mappingTook, 2000ms);  // the deadline is 4 s
    start = std::chrono::steady_clock::now();
    const NatPmpResult deletion = NatPmpClient(kNatPmpDeadlineMs, &stop).MapTcpPort(8683, 8683, 0);
    const auto deletionTook = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(kNatPmpTimedOut, deletion.error);
    EXPECT_GE(deletionTook, std::chrono::milliseconds(kNatPmpStopGraceMs));
    EXPECT_LT(deletionTook, 3000ms);
    EXPECT_GE(gateway.Requests().size(), 2u) << "the deletion was sent";
}

TEST(NatPmpErrorText, NamesEveryCodeOfTheLibrary) {
    for (int code : {-1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12, -14, -15, -49, -51, -52, -53}) {
        EXPECT_NE(0u, NatPmpErrorText(code).rfind("error ", 0)) << code << ": " << NatPmpErrorText(code);
    }
    EXPECT_EQ("error 7", NatPmpErrorText(7));
}

TEST(NatPmpNoGateway, WithNoDefaultRouteNothingIsSent) {
    REQUIRE_ISOLATED_NETWORK();  // only loopback: no gateway
    const auto start = std::chrono::steady_clock::now();
    const NatPmpResult result = NatPmpClient().MapTcpPort(8683, 8683, 7200);
    EXPECT_FALSE(result.sent);
    EXPECT_EQ(NATPMP_ERR_CANNOTGETGATEWAY, result.error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

}  // namespace
