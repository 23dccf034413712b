// The real server behind a router that misbehaves (a device of the test's own in namespaces of the
// test's own): an endless or oversized description and replies dripped a byte at a time neither grow
// the server's memory (its helper program's included) nor hold its shutdown, and one mapping pass ends
// within its bound.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "support/HostileUpnpDevice.h"
#include "support/ServerProcess.h"
#include "support/TestRouter.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using routertest::HostileUpnpDevice;
using routertest::Hostility;
using routertest::Inside;
using routertest::TestRouter;
using testsupport::ServerProcess;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

const int kPort = 8683;
// The README's bound of one mapping pass, and room for a loaded machine.
const auto kPassBound = 45s;
const auto kLoadMargin = 20s;
const long kMemoryBoundKiB = 64 * 1024;

// The process has ended (gone, or a zombie waiting for its new parent), within timeout.
bool GoneWithin(pid_t pid, std::chrono::seconds timeout) {
    for (const auto until = Clock::now() + timeout;; std::this_thread::sleep_for(20ms)) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        const size_t close = text.rfind(')');
        if (text.empty() || close == std::string::npos || text.compare(close + 2, 1, "Z") == 0) return true;
        if (Clock::now() > until) return false;
    }
}

class HostileRouterTest : public ::testing::TestWithParam<Hostility> {
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
    void StartServer() {
        Inside inside(router.client);
        ASSERT_TRUE(inside.Entered());
        ASSERT_TRUE(server.Start({"-s"}));
        ASSERT_TRUE(server.WaitForLog("Started HTTP Listener", 30s)) << server.LogText();
    }

    TestRouter router;
    TempDir home;
    ServerProcess server{home.path()};
};

TEST_P(HostileRouterTest, MemoryStaysBoundedAndSigtermEndsTheServerWithinTwoSeconds) {
    HostileUpnpDevice device(router.router, GetParam());
    ASSERT_TRUE(device.Listening());
    StartServer();
    const long baseline = routertest::ResidentKiBWithChildren(server.Pid());
    ASSERT_TRUE(device.WaitForHostility(60s)) << server.LogText();
    // The device keeps answering its way; the server and its helper are watched meanwhile.
    long peak = 0;
    std::vector<pid_t> helpers;
    for (const auto until = Clock::now() + 4s; Clock::now() < until;) {
        peak = std::max(peak, routertest::ResidentKiBWithChildren(server.Pid()));
        for (pid_t child : testsupport::ChildrenOf(server.Pid()))
            if (std::find(helpers.begin(), helpers.end(), child) == helpers.end()) helpers.push_back(child);
        std::this_thread::sleep_for(50ms);
    }
    const auto signalled = Clock::now();
    server.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(server.WaitExit(60s, &status)) << server.LogText();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled);
    std::cout << routertest::HostilityName(GetParam()) << ": resident " << baseline / 1024 << " MiB at start, at most "
              << peak / 1024 << " MiB with the helper; SIGTERM ended the server in " << took.count() << " ms"
              << std::endl;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(took, 2s) << server.LogText();
    EXPECT_LT(peak - baseline, kMemoryBoundKiB);
    // The helper programs went with the server.
    for (pid_t helper : helpers) EXPECT_TRUE(GoneWithin(helper, 5s)) << helper;
}

TEST_P(HostileRouterTest, OneMappingPassEndsWithinItsBound) {
    HostileUpnpDevice device(router.router, GetParam());
    ASSERT_TRUE(device.Listening());
    const auto started = Clock::now();
    StartServer();
    ASSERT_TRUE(server.WaitForLog("upnp setup complete", kPassBound + kLoadMargin)) << server.LogText();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    std::cout << routertest::HostilityName(GetParam()) << ": the mapping pass ended " << took.count()
              << " ms after the start" << std::endl;
    const std::string log = server.LogText();
    EXPECT_NE(std::string::npos, log.find("NOTE: Could not map external port via UPNP")) << log;
    EXPECT_EQ(std::string::npos, log.find("Sucessfully mapped")) << log;
    if (GetParam() == Hostility::DrippedSoap) {
        // One attempt, ended at its deadline: a dripped refusal is not waited out a hundred times.
        const std::vector<std::string> actions = device.Actions();
        EXPECT_EQ(1, std::count(actions.begin(), actions.end(), std::string("AddPortMapping")));
        EXPECT_NE(std::string::npos, log.find("the UPnP add was ended after 5000 ms without an answer")) << log;
    }
    if (GetParam() == Hostility::DrippedDescription) {
        EXPECT_NE(std::string::npos, log.find("the UPnP discover was ended after 15000 ms without an answer")) << log;
    }
    server.Signal(SIGTERM);
    EXPECT_TRUE(server.WaitExit(30s));
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileRouterTest,
                         ::testing::Values(Hostility::EndlessChunkedDescription, Hostility::HugeDescription,
                                           Hostility::DrippedDescription, Hostility::DrippedSoap),
                         [](const ::testing::TestParamInfo<Hostility>& info) {
                             return std::string(routertest::HostilityName(info.param));
                         });

}  // namespace
