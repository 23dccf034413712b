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
#include "support/NatPmpGateway.h"
#include "support/TestRouter.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using routertest::Be16;
using routertest::Be32;
using routertest::Inside;
using routertest::MappingReply;
using routertest::TestRouter;
using routertest::NatPmpGateway;

namespace {

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
    NatPmpGateway gateway(router.router, [](const std::string&) { return MappingReply(0, 8683, 40000, 3600); });
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
    NatPmpGateway gateway(router.router, [](const std::string&) { return MappingReply(2, 8683, 0, 0); });
    ASSERT_TRUE(gateway.Bound());
    const NatPmpResult result = Map(8683, 8683, 7200);
    EXPECT_TRUE(result.sent);
    EXPECT_EQ(NATPMP_ERR_NOTAUTHORIZED, result.error);
}

TEST_F(NatPmpTest, ASilentGatewayEndsAtOurDeadlineAfterResends) {
    NatPmpGateway gateway(router.router, [](const std::string&) { return std::string(); });
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
        NatPmpGateway gateway(router.router, [answer](const std::string&) { return answer; }, c.strays, c.delay);
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
    NatPmpGateway gateway(router.router, [](const std::string&) { return MappingReply(0, 8683, 40000, 3600); }, {},
                          1000ms, routertest::NoAnswerFlood());
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
    NatPmpGateway gateway(router.router, [](const std::string&) { return std::string(); });
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
