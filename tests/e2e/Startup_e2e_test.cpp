// The real server started with no window and no display: start-up lines, where it serves, the single
// instance, the shutdown on the end-of-session signal, the windowed start where no display exists, the
// command line (help, and one the parser refuses) and the environment it reads at start.
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
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
        testsupport::WriteFile(home.path() + "/Calvoro/state.xml", testsupport::StateXmlWithPort(port));
    }
    // What the server says on standard output, once listening, about where it serves and keeps its files.
    std::string WhereItServes() const {
        const std::string p = std::to_string(port);
        return "Calvoro serves on port " + p + ": http://127.0.0.1:" + p + "/ on this machine\n" + FilesLines();
    }
    std::string FilesLines() const {
        return "Data folder: " + home.path() + "/Calvoro\nLog: " + home.path() + "/Calvoro/CalvoroLog.txt\n";
    }
    // Runs calvoro with no display to its end (a start that ends at once), with extra NAME=value settings.
    mediatest::RunResult RunToItsEnd(const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& settings = {}) const {
        std::vector<std::string> argv = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "AVAHI_COMPAT_NOWARN",
                                         "XDG_DATA_HOME=" + home.path(), "CALVORO_MASTER_HOST=127.0.0.1:1"};
        argv.insert(argv.end(), settings.begin(), settings.end());
        argv.push_back(testsupport::BinDir() + "/calvoro");
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return mediatest::Run(argv, std::string(), 30000);
    }
    const int port = testsupport::FreePort();
    TempDir home;
};

// The DNS-SD compatibility library's notice, which the server keeps off the terminal itself.
bool HasDnsSdNotice(const std::string& text) {
    return text.find("compatibility layer") != std::string::npos || text.find("*** WARNING") != std::string::npos;
}

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
    server.CaptureStderr();  // and with no AVAHI_COMPAT_NOWARN in its environment
    ASSERT_TRUE(server.Start({"-s"}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 30s)) << server.LogText();
    EXPECT_EQ("Starting Calvoro\n" + WhereItServes(), server.Stdout());
    EXPECT_FALSE(HasDnsSdNotice(server.Stderr())) << server.Stderr();

    const std::string log = server.LogText();
    // With only loopback the broadcaster falls back to the limited broadcast address and start-up goes on.
    ExpectInOrder(log, {"Calvoro started - Version 1.0.3.3", "UdpBroadcaster: Init 255.255.255.255:4756",
                        "Bonjour Registration Failed: -65537", "Started HTTP Listener", "Bonjour Check Complete"});
    EXPECT_EQ(log.find("Prepared UI"), std::string::npos) << "a silent server prepares no UI";
    // The router's discovery runs in a helper program of its own: idle is once the mapping pass is over.
    ASSERT_TRUE(server.WaitForLog("upnp setup complete", 30s)) << server.LogText();
    // What the router library says when its search cannot be sent goes to the log, not the terminal.
    EXPECT_EQ(std::string::npos, server.Stderr().find("sendto")) << server.Stderr();
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

TEST_F(StartupTest, SecondInstanceEndsAtOnceSaysWhyAndAddsNothingToTheLog) {
    ServerProcess first(home.path());
    ASSERT_TRUE(first.Start({"-s"}));
    ASSERT_TRUE(first.WaitForLog("Bonjour Check Complete", 30s));
    const std::string logBefore = first.LogText();

    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"-s"}, std::vector<std::string>{}}) {
        const auto start = std::chrono::steady_clock::now();
        const mediatest::RunResult second = RunToItsEnd(arguments);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "a second instance must end at once";
        EXPECT_EQ(255, second.exitCode);
        EXPECT_EQ("Another Calvoro is running with the data folder " + home.path() + "/Calvoro: this one ends\n",
                  second.err);
        EXPECT_EQ(std::string::npos, second.out.find("serves on port")) << second.out;
    }
    EXPECT_EQ(first.LogText(), logBefore);
    EXPECT_TRUE(first.Running()) << "the first instance must not be disturbed";

    first.Signal(SIGTERM);
    ASSERT_TRUE(first.WaitExit(30s));
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
    server.CaptureStderr();
    ASSERT_TRUE(server.Start({"-s"}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 30s)) << server.LogText();
    const std::string reason = "Could not bind HTTP port " + std::to_string(port) + ": Address already in use";
    ExpectInOrder(server.LogText(), {"Started HTTP Listener", "WARNING: " + reason});
    EXPECT_NE(std::string::npos, server.Stderr().find("Calvoro has no HTTP interface: " + reason + "\n"))
        << server.Stderr();
    EXPECT_EQ("Starting Calvoro\n" + FilesLines(), server.Stdout()) << "it serves nowhere, and says where its files are";
    EXPECT_TRUE(server.Running()) << "a failed listener does not stop the server";
    server.Signal(SIGTERM);
    EXPECT_TRUE(server.WaitExit(30s));
    close(holder);
}

TEST_F(StartupTest, WithoutADisplayTheWindowedStartRunsSilentAndSaysSo) {
    ServerProcess server(home.path());  // started with no DISPLAY in its environment
    ASSERT_TRUE(server.Start({}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 20s)) << server.LogText();
    EXPECT_EQ("Starting Calvoro\nNo display found: Calvoro runs silent, with no window\n" + WhereItServes(),
              server.Stdout());
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
        const mediatest::RunResult run = RunToItsEnd(arguments);
        EXPECT_NE(0, run.exitCode) << arguments[0];
        EXPECT_NE(std::string::npos, run.err.find("Usage: calvoro [-s] [-h]")) << arguments[0] << ": " << run.err;
        // Refused before any mode is chosen: no word of a silent start.
        EXPECT_EQ("Starting Calvoro\n", run.out) << arguments[0];
        EXPECT_FALSE(HasDnsSdNotice(run.err)) << run.err;
    }
    EXPECT_EQ(std::string::npos, testsupport::ReadFile(home.path() + "/Calvoro/CalvoroLog.txt").find("Calvoro started"))
        << "nothing was started";
}

TEST_F(StartupTest, HelpPrintsTheUsageAndEndsWithStatusZero) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--help"}, std::vector<std::string>{"-h"}, std::vector<std::string>{"-s", "-h"}}) {
        const mediatest::RunResult run = RunToItsEnd(arguments);
        EXPECT_EQ(0, run.exitCode) << arguments.back() << ": " << run.err;
        EXPECT_EQ(0u, run.out.rfind("Starting Calvoro\nUsage: calvoro [-s] [-h]", 0)) << run.out;
        EXPECT_NE(std::string::npos, run.out.find("--silent")) << run.out;
        EXPECT_NE(std::string::npos, run.out.find("--help")) << run.out;
        EXPECT_EQ(std::string::npos, run.out.find("No display found")) << run.out;
        EXPECT_EQ("", run.err);
    }
    EXPECT_FALSE(testsupport::PathExists(home.path() + "/Calvoro/CalvoroLog.txt")) << "nothing was started";
}

// A run limit the server cannot take is said in the log, as a master-server address it cannot take is;
// one in range is taken without a word.
TEST_F(StartupTest, ARunLimitOutsideItsRangeIsLoggedAsAWarning) {
    struct Case {
        std::string value;
        bool refused;
    };
    const std::vector<Case> cases = {{"abc", true}, {"0", true}, {"600001", true}, {"600000", false}};
    const std::string warning =
        "WARNING: CALVORO_MEDIA_RUN_LIMIT_MS is not a number of milliseconds from 1 to 600000; a run may take 5000 ms";
    std::vector<std::unique_ptr<TempDir>> homes;
    std::vector<std::unique_ptr<ServerProcess>> servers;
    for (const Case& c : cases) {
        homes.push_back(std::make_unique<TempDir>());
        mkdir((homes.back()->path() + "/Calvoro").c_str(), 0700);
        testsupport::WriteFile(homes.back()->path() + "/Calvoro/state.xml",
                               testsupport::StateXmlWithPort(testsupport::FreePort()));
        servers.push_back(std::make_unique<ServerProcess>(homes.back()->path()));
        servers.back()->SetEnvironment("CALVORO_MEDIA_RUN_LIMIT_MS", c.value);
        ASSERT_TRUE(servers.back()->Start({"-s"}));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_TRUE(servers[i]->WaitForLog("Bonjour Check Complete", 30s)) << servers[i]->LogText();
        const std::string log = servers[i]->LogText();
        EXPECT_EQ(cases[i].refused, log.find(warning) != std::string::npos) << cases[i].value << "\n" << log;
        if (cases[i].refused) ExpectInOrder(log, {"Calvoro started", warning, "Bonjour Check Complete"});
        servers[i]->Signal(SIGTERM);
    }
    for (auto& server : servers) EXPECT_TRUE(server->WaitExit(30s));
}

}  // namespace
