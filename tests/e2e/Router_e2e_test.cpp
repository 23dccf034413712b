// The real server behind a real router (miniupnpd in namespaces of the test's own): it maps its HTTP
// port over UPnP, moves on when the port is taken, falls back to NAT-PMP, and deletes what it mapped
// when it ends.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <gtest/gtest.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

#include <chrono>
#include <string>

#include "support/TestRouter.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using routertest::Inside;
using routertest::RouterOptions;
using routertest::TestRouter;
using testsupport::ServerProcess;
using testsupport::TempDir;

namespace {

const int kPort = 8683;
const std::string kOwnLease = "TCP:8683:192.168.77.2:8683:";

// Discovery takes 2 s with a router and 8 s without one; a loaded machine takes longer.
const auto kMappingWait = 60s;

class RouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        ASSERT_TRUE(router.Build()) << router.Error();
        mkdir((home.path() + "/Calvoro").c_str(), 0700);
        testsupport::WriteFile(home.path() + "/Calvoro/state.xml", testsupport::StateXmlWithPort(kPort));
    }
    void TearDown() override {
        if (server.Running()) {
            server.Signal(SIGKILL);
            server.WaitExit(10s);
        }
    }
    // Starts the server inside the client's namespace.
    void StartServer() {
        Inside inside(router.client);
        ASSERT_TRUE(inside.Entered());
        ASSERT_TRUE(server.Start({"-s"}));
    }
    void StopServer() {
        server.Signal(SIGTERM);
        int status = -1;
        ASSERT_TRUE(server.WaitExit(60s, &status)) << server.LogText();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // Seconds from now to the expiry the lease line carries.
    static long SecondsLeft(const std::string& lease) {
        const size_t end = lease.rfind(':');
        const size_t begin = lease.rfind(':', end - 1);
        return std::stol(lease.substr(begin + 1, end - begin - 1)) - static_cast<long>(time(nullptr));
    }

    TestRouter router;
    TempDir home;
    ServerProcess server{home.path()};
};

TEST_F(RouterTest, UpnpMapsTheHttpPortAsCalvoroTcpAndShutdownDeletesIt) {
    ASSERT_TRUE(router.Start(RouterOptions()));
    StartServer();
    ASSERT_TRUE(server.WaitForLog("Sucessfully mapped external port 8683 to internal port 8683 via UPNP", kMappingWait))
        << server.LogText() << router.DaemonLog();
    const std::string lease = router.Lease(kOwnLease);
    ASSERT_FALSE(lease.empty()) << router.DaemonLog();
    EXPECT_EQ(":Calvoro", lease.substr(lease.rfind(':')));
    EXPECT_NE(std::string::npos, router.Forwards().find("dnat ip to 192.168.77.2:8683"));
    EXPECT_EQ(std::string::npos, server.LogText().find("via NATPMP"));

    StopServer();
    EXPECT_TRUE(router.Lease(kOwnLease).empty()) << router.DaemonLog();
    EXPECT_EQ(std::string::npos, router.Forwards().find("192.168.77.2:8683"));
}

// Maps ext -> 192.168.77.3:ext over UPnP, as another computer of the network would have.
bool MapForAnotherComputer(TestRouter& router, int external) {
    Inside inside(router.client);
    int error = 0;
    UPNPDev* devices = upnpDiscover(2000, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    if (!devices) return false;
    UPNPUrls urls{};
    IGDdatas data{};
    char lan[16] = {0};
    bool mapped = false;
    if (UPNP_GetValidIGD(devices, &urls, &data, lan, sizeof lan) != 0) {
        const std::string port = std::to_string(external);
        mapped = UPNP_AddPortMapping(urls.controlURL, data.first.servicetype, port.c_str(), port.c_str(),
                                     "192.168.77.3", "another computer", "TCP", nullptr, nullptr) == 0;
        FreeUPNPUrls(&urls);
    }
    freeUPNPDevlist(devices);
    return mapped;
}

TEST_F(RouterTest, APortTheRouterMapsForAnotherComputerMovesTheMappingOn) {
    ASSERT_TRUE(router.Start(RouterOptions()));
    ASSERT_TRUE(MapForAnotherComputer(router, kPort)) << router.DaemonLog();
    StartServer();
    ASSERT_TRUE(server.WaitForLog("Sucessfully mapped external port 8684 to internal port 8683 via UPNP", kMappingWait))
        << server.LogText() << router.DaemonLog();
    EXPECT_NE(std::string::npos, server.LogText().find("(8683, 8683, 192.168.77.2) failed with code 718"));
    EXPECT_FALSE(router.Lease("TCP:8684:192.168.77.2:8683:").empty()) << router.DaemonLog();

    StopServer();
    EXPECT_TRUE(router.Lease("TCP:8684:").empty()) << router.DaemonLog();
    // The other computer's mapping is not ours to delete.
    EXPECT_FALSE(router.Lease("TCP:8683:192.168.77.3:8683:").empty()) << router.DaemonLog();
}

TEST_F(RouterTest, WithoutUpnpNatPmpMapsFor7200SecondsAndShutdownDeletesIt) {
    RouterOptions options;
    options.upnp = false;
    ASSERT_TRUE(router.Start(options));
    StartServer();
    ASSERT_TRUE(server.WaitForLog("Sucessfully mapped external port 8683 to internal port 8683 via NATPMP", kMappingWait))
        << server.LogText() << router.DaemonLog();
    EXPECT_NE(std::string::npos, server.LogText().find("NOTE: Could not map external port via UPNP"));
    const std::string lease = router.Lease(kOwnLease);
    ASSERT_FALSE(lease.empty()) << router.DaemonLog();
    EXPECT_NEAR(7200, SecondsLeft(lease), 120) << lease;

    StopServer();
    EXPECT_TRUE(router.Lease(kOwnLease).empty()) << router.DaemonLog();
    EXPECT_NE(std::string::npos, server.LogText().find("Deleted the NATPMP mapping of external port 8683"));
}

TEST_F(RouterTest, WithNoRouterNothingIsMappedAndTheServerIsNotHeldUp) {
    // The client's network has a gateway, but nothing answers UPnP or NAT-PMP there: discovery waits 8 s.
    StartServer();
    ASSERT_TRUE(server.WaitForLog("upnp setup complete", kMappingWait)) << server.LogText();
    const std::string log = server.LogText();
    // The HTTP interface started while the router was still being looked for.
    EXPECT_LT(log.find("Started HTTP Listener"), log.find("upnp setup complete"));
    EXPECT_NE(std::string::npos, log.find("NOTE: Could not map external port via UPNP"));
    EXPECT_NE(std::string::npos, log.find("WARNING: Could not map external port via NATPMP"));
    EXPECT_EQ(std::string::npos, log.find("Sucessfully mapped"));
    StopServer();
}

}  // namespace
