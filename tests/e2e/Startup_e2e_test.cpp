// The real server started with no window and no display: start-up lines, the single instance, the
// shutdown on the end-of-session signal, the windowed start where no display exists, and a command line
// the parser refuses.
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "media/MediaTestSupport.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::ServerProcess;
using testsupport::TempDir;

namespace {

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        mkdir((home.path() + "/Calvoro").c_str(), 0700);
        testsupport::WriteFile(home.path() + "/Calvoro/state.xml", testsupport::StateXmlWithPort(testsupport::FreePort()));
    }
    TempDir home;
};

// Positions of each text in the log, in the order given; fails on a missing or misplaced one.
void ExpectInOrder(const std::string& log, const std::vector<std::string>& texts) {
    size_t from = 0;
    for (const auto& text : texts) {
        const size_t at = log.find(text, from);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << text << "\nlog:\n" << log;
        from = at + text.size();
    }
}

TEST_F(StartupTest, SilentServerStartsLogsInOrderAndEndsOnSigterm) {
    ServerProcess server(home.path());
    ASSERT_TRUE(server.Start({"-s"}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 30s)) << server.LogText();
    EXPECT_EQ(server.Stdout().rfind("Starting Calvoro\n", 0), 0u) << server.Stdout();

    const std::string log = server.LogText();
    // With only loopback the broadcaster falls back to the limited broadcast address and start-up goes on.
    ExpectInOrder(log, {"Calvoro started - Version 1.0.3.3", "UdpBroadcaster: Init 255.255.255.255:4756",
                        "Bonjour Registration Failed: -65537", "Started HTTP Listener", "Bonjour Check Complete"});
    EXPECT_EQ(log.find("Prepared UI"), std::string::npos) << "a silent server prepares no UI";
    EXPECT_TRUE(testsupport::ChildrenOf(server.Pid()).empty()) << "an idle server runs no child program";

    const auto start = std::chrono::steady_clock::now();
    server.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(server.WaitExit(15s, &status)) << "still running 15 s after SIGTERM";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by a signal instead of its own shutdown";
    ExpectInOrder(server.LogText(), {"Bonjour Check Complete", "Shutdown Event Detected",
                                     "Application Closing, saving state"});
    EXPECT_TRUE(testsupport::PathExists(server.DataFolder() + "/state.xml"));
}

TEST_F(StartupTest, SecondInstanceEndsAtOnceAndAddsNothingToTheLog) {
    ServerProcess first(home.path());
    ASSERT_TRUE(first.Start({"-s"}));
    ASSERT_TRUE(first.WaitForLog("Bonjour Check Complete", 30s));
    const std::string logBefore = first.LogText();

    ServerProcess second(home.path());
    ASSERT_TRUE(second.Start({"-s"}));
    ASSERT_TRUE(second.WaitExit(3s)) << "a second instance must end at once";
    EXPECT_EQ(first.LogText(), logBefore);
    EXPECT_TRUE(first.Running()) << "the first instance must not be disturbed";

    first.Signal(SIGTERM);
    ASSERT_TRUE(first.WaitExit(5s));
}

TEST_F(StartupTest, EachEndSignalRunsTheShutdown) {
    for (int signal : {SIGINT, SIGHUP}) {
        TempDir own;  // a log of its own, so the start-up lines waited for are this run's
        mkdir((own.path() + "/Calvoro").c_str(), 0700);
        testsupport::WriteFile(own.path() + "/Calvoro/state.xml", testsupport::StateXmlWithPort(testsupport::FreePort()));
        ServerProcess server(own.path());
        ASSERT_TRUE(server.Start({"--silent"}));
        ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 30s));
        server.Signal(signal);
        int status = -1;
        ASSERT_TRUE(server.WaitExit(30s, &status)) << "signal " << signal;
        EXPECT_TRUE(WIFEXITED(status)) << "signal " << signal;
        ExpectInOrder(server.LogText(), {"Shutdown Event Detected", "Application Closing, saving state"});
    }
}

TEST_F(StartupTest, APortInUseLeavesTheServerRunningWithoutItsHttpInterface) {
    const int port = testsupport::FreePort();
    testsupport::WriteFile(home.path() + "/Calvoro/state.xml", testsupport::StateXmlWithPort(port));
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(holder, 1), 0);

    ServerProcess server(home.path());
    ASSERT_TRUE(server.Start({"-s"}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 30s)) << server.LogText();
    ExpectInOrder(server.LogText(), {"Started HTTP Listener",
                                     "WARNING: Could not bind HTTP port " + std::to_string(port) + ": Address already in use"});
    EXPECT_TRUE(server.Running()) << "a failed listener does not stop the server";
    server.Signal(SIGTERM);
    EXPECT_TRUE(server.WaitExit(30s));
    close(holder);
}

TEST_F(StartupTest, WithoutADisplayTheWindowedStartRunsSilentAndSaysSo) {
    ServerProcess server(home.path());  // started with no DISPLAY in its environment
    ASSERT_TRUE(server.Start({}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 20s)) << server.LogText();
    EXPECT_EQ("Starting Calvoro\nNo display found: Calvoro runs silent, with no window\n", server.Stdout());
    ExpectInOrder(server.LogText(), {"Calvoro started - Version 1.0.3.3",
                                     "NOTE: No display found: Calvoro runs silent, with no window",
                                     "Started HTTP Listener", "Bonjour Check Complete"});
    EXPECT_EQ(server.LogText().find("Prepared UI"), std::string::npos);
    EXPECT_TRUE(server.Running());

    server.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(server.WaitExit(30s, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ExpectInOrder(server.LogText(), {"Shutdown Event Detected", "Application Closing, saving state"});
}

TEST_F(StartupTest, AnUnknownSwitchPrintsTheUsageAndEndsTheStart) {
    const std::vector<std::vector<std::string>> commandLines = {{"--bogus"}, {"-x"}, {"-s", "--nope"}, {"extra"}};
    for (const auto& arguments : commandLines) {
        std::vector<std::string> argv = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY",
                                         "XDG_DATA_HOME=" + home.path(), testsupport::BinDir() + "/calvoro"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const mediatest::RunResult run = mediatest::Run(argv, std::string(), 30000);
        EXPECT_NE(0, run.exitCode) << arguments[0];
        EXPECT_NE(std::string::npos, run.err.find("Usage: calvoro [-s]")) << arguments[0] << ": " << run.err;
        EXPECT_EQ("Starting Calvoro\n", run.out.substr(0, 17)) << arguments[0];
    }
    EXPECT_EQ(std::string::npos, testsupport::ReadFile(home.path() + "/Calvoro/CalvoroLog.txt").find("Calvoro started"))
        << "nothing was started";
}

}  // namespace
