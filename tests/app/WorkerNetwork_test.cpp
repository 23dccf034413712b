// The worker's network thread over a router, a NAT-PMP gateway and a master server of the test's own:
// when it maps, what it deletes, what the state store's external port says, and when it contacts.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/NetworkFakes.h"
#include "app/Worker.h"
#include "core/IEvents.h"
#include "core/StateTestSupport.h"
#include "support/FakeMasterServer.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using networkfakes::FakeGateway;
using networkfakes::FakeRouter;
using networkfakes::ManualClock;
using networkfakes::NatPmpRequest;
using networkfakes::NoEvents;
using networkfakes::Within;
using testsupport::FakeMasterServer;
using testsupport::MasterReply;
using testsupport::MasterRequest;

namespace {

// The main loop's clock: real sleeps, a fixed time (its own timed step never comes).
class QuietClock : public IWorkerClock {
public:
    int64_t NowSeconds() override { return 1000; }
    void Sleep(uint32_t ms, WakeSignal& wake) override { wake.Wait(ms); }
};

class WorkerNetworkTest : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_ISOLATED_NETWORK(); }  // the worker broadcasts its presence
    void TearDown() override { worker.reset(); }

    void Start() {
        log = statetest::LogCapture();  // what this worker logs
        WorkerNetwork parts;
        parts.clock = &clock;
        parts.upnp = router;
        parts.natPmp = &gateway;
        worker = Worker::GetInstance(store.state.get(), &events, nullptr, &mainClock, parts);
        ASSERT_TRUE(worker);
    }
    bool SetUpDone() {
        return Within(30s, [this] { return log.Contains("upnp setup complete"); });
    }
    int ExternalPort() { return store.state->GetExternalPort(); }

    statetest::TempStore store;
    statetest::LogCapture log;
    NoEvents events;
    QuietClock mainClock;
    ManualClock clock;
    boost::shared_ptr<FakeRouter> router{new FakeRouter()};
    FakeGateway gateway;
    // Contacts go to a closed port unless a test names its master.
    testsupport::ScopedEnvironment master{"CALVORO_MASTER_HOST", "127.0.0.1:1"};
    boost::shared_ptr<Worker> worker;
};

TEST_F(WorkerNetworkTest, UpnpMapsTheHttpPortOnceAndNatPmpIsNotAsked) {
    Start();
    ASSERT_TRUE(SetUpDone());
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(std::vector<int>{8683}, router->Ours());
    EXPECT_EQ(std::vector<std::string>{"add 8683"}, router->Events());
    EXPECT_EQ(8683, ExternalPort());
    EXPECT_TRUE(store.state->GetCheckExternalAccessFlag());
    EXPECT_TRUE(gateway.Requests().empty());
    const std::string text = log.Text();
    EXPECT_LT(text.find("Attemping port map via UPNP"),
              text.find("Sucessfully mapped external port 8683 to internal port 8683 via UPNP"));
    EXPECT_LT(text.find("via UPNP"), text.find("upnp setup complete"));
    EXPECT_LT(text.find("upnp setup complete"), text.find("Setting up External Access Support"));
}

TEST_F(WorkerNetworkTest, WhereUpnpFailsNatPmpMapsAndItsExternalPortIsTheServers) {
    router->present = false;
    gateway.shift = 100;
    Start();
    ASSERT_TRUE(SetUpDone());
    EXPECT_EQ((std::vector<NatPmpRequest>{{8683, 8683, 7200}}), gateway.Requests());
    EXPECT_EQ(8783, ExternalPort());
    EXPECT_TRUE(store.state->GetCheckExternalAccessFlag());
    EXPECT_TRUE(log.Contains("NOTE: Could not map external port via UPNP"));
    EXPECT_TRUE(log.Contains("Sucessfully mapped external port 8783 to internal port 8683 via NATPMP"));
}

TEST_F(WorkerNetworkTest, WithNeitherNothingIsMappedAndThePortStaysZero) {
    router->present = false;
    gateway.present = false;
    Start();
    ASSERT_TRUE(SetUpDone());
    EXPECT_EQ(0, ExternalPort());
    EXPECT_FALSE(store.state->GetCheckExternalAccessFlag());
    EXPECT_TRUE(log.Contains("WARNING: Could not register external portmap via NATPMP"));
}

TEST_F(WorkerNetworkTest, AutomaticMappingOffAsksNoRouterAndStillContactsTheMaster) {
    FakeMasterServer masterServer([](const MasterRequest&) { return MasterReply::Ok("key-1"); });
    testsupport::ScopedEnvironment named("CALVORO_MASTER_HOST", masterServer.Address());
    store.state->SetUpnpEnabled(false);
    Start();
    ASSERT_TRUE(SetUpDone());
    clock.now += 11;  // the first timed step
    ASSERT_TRUE(masterServer.WaitForRequests(1, 30s)) << log.Text();
    EXPECT_EQ("/server/register/?enabled=0&port=8683", masterServer.Requests()[0].target);
    EXPECT_EQ(0, router->discoveries.load());
    EXPECT_TRUE(gateway.Requests().empty());
    EXPECT_TRUE(Within(30s, [this] { return store.state->GetLookupName() == L"key-1"; }));
}

TEST_F(WorkerNetworkTest, ARedoDeletesTheOldMappingBeforeAddingTheNewOne) {
    Start();
    ASSERT_TRUE(SetUpDone());
    worker->RedoPortMapping();
    ASSERT_TRUE(Within(30s, [this] { return router->Events().size() >= 3; }));
    ASSERT_TRUE(clock.WaitForPasses(2));
    EXPECT_EQ((std::vector<std::string>{"add 8683", "delete 8683", "add 8683"}), router->Events());
    EXPECT_EQ(std::vector<int>{8683}, router->Ours());
    EXPECT_EQ(8683, ExternalPort());
}

TEST_F(WorkerNetworkTest, ARedoThatMapsNothingSetsTheExternalPortBackToZero) {
    Start();
    ASSERT_TRUE(SetUpDone());
    ASSERT_EQ(8683, ExternalPort());
    router->present = false;
    gateway.present = false;
    worker->RedoPortMapping();
    ASSERT_TRUE(Within(30s, [this] { return router->discoveries == 2; }));
    ASSERT_TRUE(clock.WaitForPasses(2));
    EXPECT_EQ(0, ExternalPort());
}

TEST_F(WorkerNetworkTest, SwitchingAutomaticMappingOffReleasesWhatIsHeld) {
    for (bool overUpnp : {true, false}) {
        SCOPED_TRACE(overUpnp ? "UPnP" : "NAT-PMP");
        router = boost::shared_ptr<FakeRouter>(new FakeRouter());
        router->present = overUpnp;
        store.state->SetUpnpEnabled(true);
        Start();
        ASSERT_TRUE(SetUpDone());
        ASSERT_EQ(8683, ExternalPort());
        store.state->SetUpnpEnabled(false);
        ASSERT_TRUE(Within(30s, [this] { return ExternalPort() == 0; }));
        ASSERT_TRUE(clock.WaitForPasses(2));
        EXPECT_TRUE(router->Ours().empty());
        EXPECT_EQ(0, gateway.Mapped());
        if (!overUpnp) {
            EXPECT_EQ(0u, gateway.Requests().back().lifetime);
        }
        EXPECT_TRUE(log.Contains("Automatic port mapping is off: releasing the router mapping"));
        // Switched back on, the preferences ask for a redo.
        store.state->SetUpnpEnabled(true);
        worker->RedoPortMapping();
        ASSERT_TRUE(Within(30s, [this] { return ExternalPort() == 8683; }));
        worker.reset();
    }
}

TEST_F(WorkerNetworkTest, ShutdownDeletesTheMapping) {
    for (bool overUpnp : {true, false}) {
        SCOPED_TRACE(overUpnp ? "UPnP" : "NAT-PMP");
        router->present = overUpnp;
        Start();
        ASSERT_TRUE(SetUpDone());
        ASSERT_EQ(8683, ExternalPort());
        worker.reset();
        EXPECT_TRUE(router->Ours().empty());
        EXPECT_EQ(0, gateway.Mapped());
        EXPECT_EQ(0, ExternalPort());
        if (!overUpnp) {
            EXPECT_EQ((NatPmpRequest{8683, 8683, 0}), gateway.Requests().back());
        }
    }
}

TEST_F(WorkerNetworkTest, AUpnpMappingIsMadeAnewEveryDay) {
    Start();
    ASSERT_TRUE(SetUpDone());
    clock.now += 24 * 3600 - 1;
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(1u, router->Events().size());
    clock.now += 1;
    ASSERT_TRUE(Within(30s, [this] { return router->Events().size() >= 3; }));
    EXPECT_EQ((std::vector<std::string>{"add 8683", "delete 8683", "add 8683"}), router->Events());
    // The router records the mapping before the worker has stored the port it got.
    EXPECT_TRUE(Within(30s, [this] { return ExternalPort() == 8683; })) << ExternalPort();
}

TEST_F(WorkerNetworkTest, ANatPmpMappingIsRenewedAtHalfItsLifetimeAndForgottenWhenItRunsOut) {
    router->present = false;
    Start();
    ASSERT_TRUE(SetUpDone());
    clock.now += 3599;
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(1u, gateway.Requests().size());
    clock.now += 1;
    ASSERT_TRUE(Within(30s, [this] { return gateway.Requests().size() == 2; }));
    EXPECT_EQ((NatPmpRequest{8683, 8683, 7200}), gateway.Requests()[1]);

    // The renewal at 7200 goes unanswered: tried again a minute later, until the mapping runs out.
    gateway.silent = true;
    clock.now += 3600;
    ASSERT_TRUE(Within(30s, [this] { return gateway.Requests().size() == 3; }));
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(3u, gateway.Requests().size());
    EXPECT_EQ(8683, ExternalPort());
    clock.now += 60;
    ASSERT_TRUE(Within(30s, [this] { return gateway.Requests().size() == 4; }));
    clock.now += 3600;
    ASSERT_TRUE(Within(30s, [this] { return ExternalPort() == 0; }));
    ASSERT_TRUE(clock.WaitForPasses(2));
    const size_t asked = gateway.Requests().size();
    worker.reset();
    EXPECT_EQ(asked, gateway.Requests().size()) << "a mapping that ran out is not deleted";
}

TEST_F(WorkerNetworkTest, ADailyRedoWhoseDiscoveryFailsKeepsTheMappingAndTriesAgainWithinTheHour) {
    Start();
    ASSERT_TRUE(SetUpDone());
    router->present = false;
    clock.now += 24 * 3600;
    ASSERT_TRUE(Within(30s, [this] { return router->discoveries == 2; }));
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(std::vector<std::string>{"add 8683"}, router->Events()) << "nothing deleted";
    EXPECT_EQ(std::vector<int>{8683}, router->Ours());
    EXPECT_EQ(8683, ExternalPort());
    EXPECT_TRUE(gateway.Requests().empty()) << "a mapping held is not replaced by NAT-PMP";
    EXPECT_TRUE(log.Contains("the mapping of external port 8683 stays"));

    // Still no router within the hour: tried again, still kept.
    clock.now += 3600;
    ASSERT_TRUE(Within(30s, [this] { return router->discoveries == 3; }));
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(8683, ExternalPort());
    // The router is back: the redo deletes and maps.
    router->present = true;
    clock.now += 3600;
    ASSERT_TRUE(Within(30s, [this] { return router->Events().size() >= 3; }));
    ASSERT_TRUE(clock.WaitForPasses(2));
    EXPECT_EQ((std::vector<std::string>{"add 8683", "delete 8683", "add 8683"}), router->Events());
    EXPECT_EQ(8683, ExternalPort());
    // Mapped again: the next redo is a day away.
    const int discoveries = router->discoveries;
    clock.now += 3600;
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(discoveries, router->discoveries.load());
}

TEST_F(WorkerNetworkTest, ADailyRedoThatMapsNothingIsTriedAgainWithinTheHour) {
    gateway.present = false;
    Start();
    ASSERT_TRUE(SetUpDone());
    router->refuse = true;
    clock.now += 24 * 3600;
    ASSERT_TRUE(Within(30s, [this] { return router->Events().size() == 3; }));
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(0, ExternalPort());
    router->refuse = false;
    clock.now += 3600;
    ASSERT_TRUE(Within(30s, [this] { return ExternalPort() == 8683; })) << log.Text();
    EXPECT_EQ((std::vector<std::string>{"add 8683", "delete 8683", "add 8683", "add 8683"}), router->Events());
}

// A NAT-PMP answer that comes late (8 s into the pass): its renewal and its expiry count from its arrival.
TEST_F(WorkerNetworkTest, NatPmpRenewalAndExpiryCountFromTheAnswersArrival) {
    for (uint32_t granted : {20u, 6u, 3u}) {
        SCOPED_TRACE("granted " + std::to_string(granted) + " s");
        router = boost::shared_ptr<FakeRouter>(new FakeRouter());
        router->present = false;
        gateway.grant = granted;
        const size_t before = gateway.Requests().size();
        std::atomic<bool> late{true};
        gateway.beforeAnswer = [&] {
            if (late.exchange(false)) clock.now += 8;
        };
        const int64_t asked = clock.now;
        Start();
        ASSERT_TRUE(SetUpDone());
        ASSERT_EQ(asked + 8, clock.now.load());
        const int64_t renewal = asked + 8 + granted / 2;
        clock.now = renewal - 1;
        ASSERT_TRUE(clock.WaitForPasses(3));
        EXPECT_EQ(before + 1, gateway.Requests().size()) << "renewed before half the lifetime had passed";
        clock.now = renewal;
        ASSERT_TRUE(Within(30s, [&] { return gateway.Requests().size() == before + 2; }));
        EXPECT_FALSE(log.Contains("ran out without renewal")) << log.Text();
        EXPECT_EQ(8683, ExternalPort());
        worker.reset();
        gateway.beforeAnswer = nullptr;
    }
}

// A gateway that grants 2 s, or 1 s (less than the network thread's pass interval): the mapping is
// renewed every second for as long as it is held, and the master server hears of it once, since a
// renewal of the same mapping changes nothing it knows.
TEST_F(WorkerNetworkTest, AShortNatPmpLifetimeIsRenewedEverySecondAndTheMasterHearsOfTheMappingOnce) {
    FakeMasterServer masterServer([](const MasterRequest&) { return MasterReply::Ok("key-1"); });
    testsupport::ScopedEnvironment named("CALVORO_MASTER_HOST", masterServer.Address());
    for (uint32_t granted : {2u, 1u}) {
        SCOPED_TRACE("granted " + std::to_string(granted) + " s");
        router = boost::shared_ptr<FakeRouter>(new FakeRouter());
        router->present = false;
        gateway.grant = granted;
        const size_t requestsBefore = gateway.Requests().size();
        const size_t contactsBefore = masterServer.Requests().size();
        Start();
        ASSERT_TRUE(SetUpDone());
        ASSERT_EQ(8683, ExternalPort());
        // 40 seconds, a second at a time; each second gets passes of its own.
        int unmappedSeconds = 0;
        for (int second = 1; second <= 40; ++second) {
            clock.now += 1;
            ASSERT_TRUE(clock.WaitForPasses(2));
            if (ExternalPort() != 8683) ++unmappedSeconds;
        }
        EXPECT_EQ(0, unmappedSeconds);
        EXPECT_FALSE(log.Contains("ran out without renewal")) << log.Text();
        EXPECT_EQ(41u, gateway.Requests().size() - requestsBefore) << "the mapping and one renewal a second";
        // Timed steps came at 11, 22 and 33 s: only the first one contacts.
        EXPECT_EQ(1u, masterServer.Requests().size() - contactsBefore);
        worker.reset();
    }
}

TEST_F(WorkerNetworkTest, ANatPmpGrantOfNoLifetimeMapsNothingAndTheLogSaysWhy) {
    router->present = false;
    gateway.grantsNoLifetime = true;
    Start();
    ASSERT_TRUE(SetUpDone());
    EXPECT_EQ(0, ExternalPort());
    EXPECT_FALSE(store.state->GetCheckExternalAccessFlag());
    EXPECT_TRUE(log.Contains("WARNING: Could not map external port via NATPMP (the gateway granted a lifetime of 0 "
                             "seconds, which ends a mapping)"))
        << log.Text();
    EXPECT_FALSE(log.Contains("(success)"));
    ASSERT_TRUE(clock.WaitForPasses(2));
    worker.reset();
    EXPECT_EQ(1u, gateway.Requests().size()) << "nothing held, nothing renewed or deleted";
}

// A renewal that fails after the expiry lets the mapping run out; it is asked for again a minute later,
// and once the gateway grants it the server holds it and the master server hears of it.
TEST_F(WorkerNetworkTest, ANatPmpMappingThatRanOutIsAskedForAgainUntilTheGatewayGrantsIt) {
    FakeMasterServer masterServer([](const MasterRequest&) { return MasterReply::Ok("key-1"); });
    testsupport::ScopedEnvironment named("CALVORO_MASTER_HOST", masterServer.Address());
    router->present = false;
    gateway.grant = 2;
    Start();
    ASSERT_TRUE(SetUpDone());
    clock.now += 11;  // the first timed step: the contact of the set-up
    ASSERT_TRUE(masterServer.WaitForRequests(1, 30s)) << log.Text();
    ASSERT_TRUE(clock.WaitForPasses(2));
    gateway.silent = true;
    // The renewal due a second later fails before the expiry: tried again a minute later, and that
    // one, after the expiry, lets the mapping run out.
    size_t asked = gateway.Requests().size();
    clock.now += 1;
    ASSERT_TRUE(Within(30s, [&] { return gateway.Requests().size() == asked + 1; }));
    ASSERT_TRUE(clock.WaitForPasses(2));
    EXPECT_EQ(8683, ExternalPort());
    clock.now += 60;
    ASSERT_TRUE(Within(30s, [this] { return ExternalPort() == 0; }));
    EXPECT_TRUE(log.Contains("ran out without renewal; it is asked for again in 60 seconds"));
    ASSERT_TRUE(clock.WaitForPasses(2));
    asked = gateway.Requests().size();
    clock.now += 59;
    ASSERT_TRUE(clock.WaitForPasses(2));
    EXPECT_EQ(asked, gateway.Requests().size());
    clock.now += 1;
    ASSERT_TRUE(Within(30s, [&] { return gateway.Requests().size() == asked + 1; }));
    EXPECT_EQ(0, ExternalPort()) << "the gateway is still silent";
    EXPECT_EQ(1u, masterServer.Requests().size());
    gateway.silent = false;
    clock.now += 60;
    ASSERT_TRUE(Within(30s, [this] { return ExternalPort() == 8683; })) << log.Text();
    EXPECT_EQ((NatPmpRequest{8683, 8683, 7200}), gateway.Requests().back());
    clock.now += 11;
    ASSERT_TRUE(masterServer.WaitForRequests(2, 30s)) << "the mapping is news to the master server";
}

TEST_F(WorkerNetworkTest, ContactsFollowTheMappingTheRequestAndTheHourlyPing) {
    FakeMasterServer masterServer([](const MasterRequest&) { return MasterReply::Ok("key-1"); });
    testsupport::ScopedEnvironment named("CALVORO_MASTER_HOST", masterServer.Address());
    router->Occupy(8683);  // the router moves the mapping on to 8684
    store.state->SetExternalAccess(true);
    Start();
    ASSERT_TRUE(SetUpDone());
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(0, masterServer.Connections()) << "no contact before the first timed step";
    clock.now += 11;
    ASSERT_TRUE(masterServer.WaitForRequests(1, 30s)) << log.Text();
    EXPECT_EQ("/server/register/?enabled=1&port=8684", masterServer.Requests()[0].target);
    EXPECT_TRUE(log.Contains("Flagging to check external access due to state flag"));

    worker->RequestExternalAccessCheck();
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(1u, masterServer.Requests().size()) << "the contact waits for the next timed step";
    clock.now += 11;
    ASSERT_TRUE(masterServer.WaitForRequests(2, 30s));
    EXPECT_EQ("/server/register/key-1?enabled=1&port=8684", masterServer.Requests()[1].target);

    // More than an hour after the last contact the ping is decided, and made at the timed step after.
    clock.now += 3601;
    ASSERT_TRUE(Within(30s, [this] { return log.Contains("Flagging to check external access due to ping time"); }));
    ASSERT_TRUE(clock.WaitForPasses(3));
    EXPECT_EQ(2u, masterServer.Requests().size());
    clock.now += 11;
    ASSERT_TRUE(masterServer.WaitForRequests(3, 30s));
}

}  // namespace
