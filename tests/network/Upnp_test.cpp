// The retry rule of a UPnP mapping and the manager's hold on one, over a router of the test's own.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/StateTestSupport.h"
#include "network/UpnpFunctions.h"
#include "network/UpnpManager.h"
#include "network/UpnpRequest.h"
#include "support/HostileUpnpDevice.h"
#include "support/TestRouter.h"

using namespace std::chrono_literals;

namespace {

struct RetryCase {
    const char* name;
    int internal;
    int external;
    std::vector<int> answers;  // the router's answer to each attempt in turn (then 0)
    int mapped;                // 0: the call throws
    std::string thrown;        // the end of the thrown text
    int attempts;              // made on the external ports from the asked one upwards
};

TEST(UpnpRetries, MovesOnOnlyForInvalidArgsAndConflictsUpTo100AttemptsAndPort65535) {
    const std::vector<int> hundredConflicts(100, 718);
    const RetryCase cases[] = {
        {"free port", 8683, 8683, {}, 8683, "", 1},
        {"conflicts", 8683, 8683, {718, 718}, 8685, "", 3},
        {"invalid args", 8683, 8683, {402}, 8684, "", 2},
        {"other refusal", 8683, 8683, {501}, 0, "(8683, 8683, 192.168.1.2) failed with code 501", 1},
        {"negative library code", 8683, 8683, {-3}, 0, "failed with code -3", 1},
        {"every attempt refused", 8683, 8683, hundredConflicts, 0, "(8782, 8683, 192.168.1.2) failed with code 718", 100},
        {"top of the port range", 8683, 65534, {718, 718, 718}, 0, "(65535, 8683, 192.168.1.2) failed with code 718", 2},
        {"internal below 1024", 80, 8683, {}, 0, "Invalid Internal Port ", 0},
        {"external below 1024", 8683, 1023, {}, 0, "Invalid External Port ", 0},
        {"external above 65535", 8683, 70000, {}, 0, "Invalid External Port ", 0},
    };
    for (const RetryCase& c : cases) {
        std::vector<int> asked;
        const UpnpAddRequest router = [&](int external) {
            asked.push_back(external);
            return asked.size() <= c.answers.size() ? c.answers[asked.size() - 1] : 0;
        };
        if (c.mapped) {
            EXPECT_EQ(c.mapped, AddPortMappingWithRetries(c.internal, c.external, "192.168.1.2", router)) << c.name;
        } else {
            try {
                AddPortMappingWithRetries(c.internal, c.external, "192.168.1.2", router);
                ADD_FAILURE() << c.name << ": no exception";
            } catch (const std::runtime_error& e) {
                const std::string text = e.what();
                EXPECT_GE(text.size(), c.thrown.size()) << c.name;
                EXPECT_EQ(c.thrown, text.substr(text.size() - std::min(text.size(), c.thrown.size()))) << c.name;
            }
        }
        ASSERT_EQ(static_cast<size_t>(c.attempts), asked.size()) << c.name;
        for (size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(c.external + static_cast<int>(i), asked[i]) << c.name;
    }
}

TEST(UpnpRetries, TheStopIsLookedAtBetweenAttempts) {
    std::atomic<bool> stop{false};
    int asked = 0;
    const UpnpAddRequest router = [&](int) {
        if (++asked == 2) stop = true;
        return 718;
    };
    try {
        AddPortMappingWithRetries(8683, 8683, "192.168.1.2", router, [&] { return stop.load(); });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("(8684, 8683, 192.168.1.2) failed with code 718"));
    }
    EXPECT_EQ(2, asked);
}

// The library's own complaints (its discovery perror()s when nothing can be sent) reach the log through
// the helper program, and never the server's terminal.
TEST(UpnpHelper, TheLibrarysComplaintsGoToTheLogAndNotToStandardError) {
    REQUIRE_ISOLATED_NETWORK();  // only loopback: the search cannot be sent anywhere
    statetest::LogCapture log;
    std::FILE* captured = std::tmpfile();
    ASSERT_TRUE(captured);
    std::fflush(stderr);
    const int terminal = dup(2);
    dup2(fileno(captured), 2);
    const boost::shared_ptr<IUpnpFunctions> functions = UpnpFunctions::GetInstance();
    std::fflush(stderr);
    dup2(terminal, 2);
    close(terminal);
    std::rewind(captured);
    std::string written;
    for (int c; (c = std::fgetc(captured)) != EOF;) written += static_cast<char>(c);
    std::fclose(captured);
    EXPECT_FALSE(functions);
    EXPECT_EQ("", written);
    EXPECT_TRUE(log.Contains("UPnP library: sendto: Network is unreachable")) << log.Text();
    EXPECT_TRUE(log.Contains("No UPNP device could be discovered")) << log.Text();
}

// A discovery the router holds up (its description dripped a byte at a time) ends as soon as the
// server stops, not at its deadline.
TEST(UpnpHelper, AStopEndsADiscoveryInProgressAtOnce) {
    REQUIRE_ISOLATED_NETWORK();
    routertest::TestRouter router;
    ASSERT_TRUE(router.Build()) << router.Error();
    routertest::HostileUpnpDevice device(router.router, routertest::Hostility::DrippedDescription);
    ASSERT_TRUE(device.Listening());
    statetest::LogCapture log;
    std::atomic<bool> stop{false};
    std::chrono::steady_clock::time_point stoppedAt;
    std::thread stopper([&] {
        if (device.WaitForHostility(30s)) std::this_thread::sleep_for(500ms);
        stoppedAt = std::chrono::steady_clock::now();
        stop = true;
    });
    boost::shared_ptr<IUpnpFunctions> functions;
    {
        routertest::Inside inside(router.client);
        ASSERT_TRUE(inside.Entered());
        functions = UpnpFunctions::GetInstance(&stop);
    }
    const auto ended = std::chrono::steady_clock::now();
    stopper.join();
    EXPECT_FALSE(functions);
    EXPECT_LT(ended - stoppedAt, 500ms);
    EXPECT_TRUE(log.Contains("UPnP discovery ended: the server is stopping")) << log.Text();
}

// A router that maps by the retry rule and records what it was asked.
struct FakeIgd : IUpnpFunctions {
    int AddPortMapping(int internal, int external, bool udp) override {
        adds.push_back({internal, external, udp});
        if (refuse) throw std::runtime_error("refused");
        return external + shift;
    }
    void DeletePortMapping(int external, bool udp) override {
        deletes.push_back({0, external, udp});
        if (deleteFails) throw std::runtime_error("UPNP_DeletePortMapping() failed with return value : -3");
    }
    struct Call {
        int internal, external;
        bool udp;
    };
    std::vector<Call> adds, deletes;
    bool refuse = false;
    bool deleteFails = false;
    int shift = 0;
};

struct FakeFactory : IUpnpFunctionsFactory {
    boost::shared_ptr<IUpnpFunctions> Create() override {
        ++creates;
        if (!present) return boost::shared_ptr<IUpnpFunctions>();
        return boost::shared_ptr<IUpnpFunctions>(&igd, [](IUpnpFunctions*) {});
    }
    FakeIgd igd;
    bool present = true;
    int creates = 0;
};

boost::shared_ptr<FakeFactory> MakeFactory() { return boost::shared_ptr<FakeFactory>(new FakeFactory()); }

TEST(UpnpManager, HoldsTheMappedPortAndDeletesExactlyThatOnRelease) {
    auto factory = MakeFactory();
    factory->igd.shift = 2;  // the router moved it on twice
    for (bool udp : {false, true}) {
        factory->igd.adds.clear();
        factory->igd.deletes.clear();
        boost::shared_ptr<UpnpManager> manager = UpnpManager::GetInstance(factory, 8683, 8683, udp);
        ASSERT_TRUE(manager);
        EXPECT_EQ(8685, manager->GetExternalPort());
        ASSERT_EQ(1u, factory->igd.adds.size());
        EXPECT_EQ(8683, factory->igd.adds[0].internal);
        EXPECT_EQ(udp, factory->igd.adds[0].udp);
        EXPECT_TRUE(factory->igd.deletes.empty());
        manager.reset();
        ASSERT_EQ(1u, factory->igd.deletes.size());
        EXPECT_EQ(8685, factory->igd.deletes[0].external);
        EXPECT_EQ(udp, factory->igd.deletes[0].udp);
    }
}

TEST(UpnpManager, NoRouterOrARefusalGivesNothingAndLeavesTheRouterAlone) {
    auto absent = MakeFactory();
    absent->present = false;
    EXPECT_FALSE(UpnpManager::GetInstance(absent, 8683, 8683, false));
    EXPECT_EQ(1, absent->creates);
    EXPECT_FALSE(UpnpManager::GetInstance(boost::shared_ptr<IUpnpFunctionsFactory>(), 8683, 8683, false));

    auto refusing = MakeFactory();
    refusing->igd.refuse = true;
    EXPECT_FALSE(UpnpManager::GetInstance(refusing, 8683, 8683, false));
    EXPECT_EQ(1u, refusing->igd.adds.size());
    EXPECT_TRUE(refusing->igd.deletes.empty());
}

TEST(UpnpManager, AReleaseWhoseDeletionIsRefusedDoesNotThrow) {
    auto factory = MakeFactory();
    factory->igd.deleteFails = true;
    boost::shared_ptr<UpnpManager> manager = UpnpManager::GetInstance(factory, 8683, 8683, false);
    ASSERT_TRUE(manager);
    EXPECT_NO_THROW(manager.reset());
    EXPECT_EQ(1u, factory->igd.deletes.size());
}

}  // namespace
