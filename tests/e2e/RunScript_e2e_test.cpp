// scripts/run's isolated start: the relay that lets this machine reach the server's HTTP port inside its
// private network namespace while that namespace keeps only loopback, the port the script reads, and
// the refusal of a network mode it does not know. Each test runs inside the suite's own isolated
// namespace; the relay nests a second one in it.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "api/HttpTestClient.h"
#include "e2e/E2eServer.h"
#include "media/MediaTestSupport.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::TempDir;

namespace {

const std::string kCommon = std::string(CALVORO_SOURCE_DIR) + "/scripts/common.sh";

// bash running `source scripts/common.sh` and then script, in a process group of its own (so a failed
// test takes down whatever it started), with standard output and error in files.
class Script {
public:
    Script(const std::string& script, const std::vector<std::string>& settings) {
        const std::string out = files_.file("out"), err = files_.file("err");
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(outFd, 1);
            dup2(errFd, 2);
            unsetenv("DISPLAY");
            for (const std::string& setting : settings) putenv(const_cast<char*>(setting.c_str()));
            execlp("bash", "bash", "-c", ("source \"$0\"; " + script).c_str(), kCommon.c_str(), nullptr);
            _exit(127);
        }
        setpgid(pid_, pid_);
    }
    ~Script() {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Signal(int signal) const { kill(pid_, signal); }
    // The exit status once bash ended within timeout; -1 when it did not.
    int Wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }
    std::string Out() const { return testsupport::ReadFile(files_.file("out")); }
    std::string Err() const { return testsupport::ReadFile(files_.file("err")); }

private:
    TempDir files_;
    pid_t pid_ = -1;
};

// A listening socket on 127.0.0.1:port, or -1. Connections that ended there (TIME_WAIT) do not count.
int ListenOn(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool Empty(const std::string& folder) { return std::filesystem::is_empty(folder); }

// True while a process names text on its command line (a relay started for a run under that folder).
bool ProcessNames(const std::string& text) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string cmdline = testsupport::ReadFile(entry.path().string() + "/cmdline");
        if (cmdline.find(text) != std::string::npos && entry.path().filename() != std::to_string(getpid()))
            return true;
    }
    return false;
}

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_ISOLATED_NETWORK(); }
    // The relays' folders go under tmp, so a test sees that they are removed and their processes gone.
    std::string TmpSetting() const { return "TMPDIR=" + tmp.path(); }
    void ExpectRelaysGone(int port) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (ProcessNames(tmp.path()) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(ProcessNames(tmp.path())) << "a relay outlived its command";
        EXPECT_TRUE(Empty(tmp.path())) << "the relay's folder stays";
        const int fd = ListenOn(port);
        EXPECT_GE(fd, 0) << "a relay still listens on 127.0.0.1:" << port << " after the run";
        if (fd >= 0) close(fd);
    }
    TempDir tmp;
};

// As scripts/run starts it: the port from state.xml, the server inside, its HTTP interface reached from
// outside the namespace (an announce included); SIGTERM to the script ends the server, then the relays.
TEST_F(RelayTest, TheServerInsideIsReachedFromOutsideAndTakesItsRelaysWithItWhenItEnds) {
    TempDir home;
    const int port = testsupport::FreePort();
    e2etest::SeedState(home.path(), {}, "relay-device", port);
    Script run("cd \"$BIN\" && relayed \"$(http_port)\" ./calvoro -s",
               {TmpSetting(), "XDG_DATA_HOME=" + home.path(), "BIN=" + testsupport::BinDir(),
                "CALVORO_MASTER_HOST=127.0.0.1:1"});
    const std::string serving = "Calvoro serves on port " + std::to_string(port);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (run.Out().find(serving) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    ASSERT_NE(std::string::npos, run.Out().find(serving)) << run.Out() << run.Err();

    {
        httptest::Connection client(port);
        ASSERT_TRUE(client.Connected()) << "nothing listens on this side's 127.0.0.1:" << port;
        const httptest::Reply reply = client.Request("HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        EXPECT_TRUE(reply.ok) << "no reply came back through the relay";
    }
    EXPECT_FALSE(e2etest::PairedSession(port, "relay-device").empty()) << "the announce did not reach the server";

    run.Signal(SIGTERM);
    EXPECT_EQ(0, run.Wait(30s)) << "the server's own exit status passes through\n" << run.Err();
    EXPECT_NE(std::string::npos, testsupport::ReadFile(home.path() + "/Calvoro/CalvoroLog.txt").find("Shutdown Event Detected"));
    ExpectRelaysGone(port);
}

// The command runs in a namespace of its own (this test's is isolated already), with loopback alone and
// no route: datagrams to other addresses (one of the documentation range, the limited broadcast of the
// presence, the router discovery's multicast group) are refused where they are sent.
TEST_F(RelayTest, InsideOnlyLoopbackExistsAndNoDatagramLeaves) {
    const int port = testsupport::FreePort();
    Script run("relayed " + std::to_string(port) + R"( sh -c '
        readlink /proc/self/ns/net
        ip -o link show | cut -d: -f2 | tr -d " "
        ip -4 route show table main
        echo ---
        for to in 192.0.2.1 255.255.255.255 239.255.255.250; do
          if echo x | socat -u - UDP-DATAGRAM:$to:1900,broadcast 2>/dev/null; then echo "$to sent"; else echo "$to refused"; fi
        done')",
               {TmpSetting()});
    ASSERT_EQ(0, run.Wait(60s)) << run.Err();
    const std::string outside = std::filesystem::read_symlink("/proc/self/ns/net").string();
    const std::string inside = run.Out().substr(0, run.Out().find('\n'));
    EXPECT_EQ(0u, inside.rfind("net:[", 0)) << run.Out();
    EXPECT_NE(outside, inside) << "the command ran in this test's own namespace";
    const std::string out = run.Out().substr(run.Out().find('\n') + 1);
    EXPECT_EQ("lo\n---\n192.0.2.1 refused\n255.255.255.255 refused\n239.255.255.250 refused\n", out);
    ExpectRelaysGone(port);
}

// The command's exit status is the relayed run's, whether the relay could listen or not; a port this
// machine already has in use is said on standard error, and the command runs all the same.
TEST_F(RelayTest, TheCommandsStatusPassesThroughAndATakenPortIsSaid) {
    for (const bool taken : {false, true}) {
        const int port = testsupport::FreePort();
        const int holder = taken ? ListenOn(port) : -1;
        if (taken) {
            ASSERT_GE(holder, 0);
        }
        Script run("relayed " + std::to_string(port) + " sh -c 'exit 7'", {TmpSetting()});
        EXPECT_EQ(7, run.Wait(60s)) << run.Err();
        const std::string said = "No relay listens on 127.0.0.1:" + std::to_string(port) +
                                 ", so the server cannot be reached from this machine: ";
        EXPECT_EQ(taken, run.Err().find(said) != std::string::npos) << run.Err();
        if (taken) {
            EXPECT_NE(std::string::npos, run.Err().find("Address already in use")) << run.Err();
        }
        if (holder >= 0) close(holder);
        ExpectRelaysGone(port);
    }
}

// The port scripts/run relays is the one the server takes from state.xml.
TEST(RunScriptTest, ThePortIsHttpPortOfStateXmlOrTheDefault) {
    struct Case {
        const char* file;  // state.xml's text; null for no file
        const char* port;
    };
    const std::vector<Case> cases = {
        {nullptr, "8683"},
        {"<CalvoroState>\n\t<HttpPort>9123</HttpPort>\n</CalvoroState>\n", "9123"},
        {"<CalvoroState><HttpPort> 08684 </HttpPort></CalvoroState>", "8684"},
        {"<CalvoroState><HttpPort>70000</HttpPort></CalvoroState>", "8683"},
        {"<CalvoroState><HttpPort>0</HttpPort></CalvoroState>", "8683"},
        {"<CalvoroState><HttpPort>abc</HttpPort></CalvoroState>", "8683"},
    };
    for (const Case& c : cases) {
        TempDir home;
        if (c.file) {
            mkdir((home.path() + "/Calvoro").c_str(), 0700);
            testsupport::WriteFile(home.path() + "/Calvoro/state.xml", c.file);
        }
        const mediatest::RunResult run = mediatest::Run(
            {"env", "XDG_DATA_HOME=" + home.path(), "bash", "-c", "source \"$0\"; http_port; data_folder", kCommon});
        EXPECT_EQ(std::string(c.port) + "\n" + home.path() + "/Calvoro\n", run.out) << (c.file ? c.file : "no file");
    }
    // A relative XDG_DATA_HOME is passed over, as the server passes it over.
    const mediatest::RunResult relative = mediatest::Run(
        {"env", "XDG_DATA_HOME=relative", "HOME=/home/someone", "bash", "-c", "source \"$0\"; data_folder", kCommon});
    EXPECT_EQ("/home/someone/.local/share/Calvoro\n", relative.out);
}

TEST(RunScriptTest, ANetworkModeOtherThanHostIsRefusedBeforeAnythingIsBuilt) {
    REQUIRE_ISOLATED_NETWORK();  // were the mode let through, the script would go on to install and serve
    for (const std::string mode : {"lan", "HOST", "isolated", "host "}) {
        const auto start = std::chrono::steady_clock::now();
        const mediatest::RunResult run = mediatest::Run(
            {"env", "CALVORO_NETWORK=" + mode, "bash", std::string(CALVORO_SOURCE_DIR) + "/scripts/run", "-s"});
        EXPECT_EQ(2, run.exitCode) << mode;
        EXPECT_EQ(0u, run.err.rfind("CALVORO_NETWORK=" + mode + " is not understood: leave it unset", 0)) << run.err;
        EXPECT_EQ("", run.out) << "nothing was installed or built";
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    }
}

}  // namespace
