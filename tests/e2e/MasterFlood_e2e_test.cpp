// The real server against a master server on loopback that never stops sending: trailer lines after a
// register key, or interim replies, without pause (cut off at the client's caps at once, the memory
// bounded), and the same paced to stay under the caps (the end signal ends the program within 2 s while
// the stand-in still sends).
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/E2eServer.h"
#include "support/FakeMasterServer.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::FakeMasterServer;
using testsupport::MasterReply;
using testsupport::MasterRequest;
using Clock = std::chrono::steady_clock;

const char kKeyThenTrailers[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nKEY\r\n0\r\n";
const char kTrailer[] = "X-T: v\r\n";
const char kInterim[] = "HTTP/1.1 100 Continue\r\n\r\n";
const long kRssMarginKiB = 16 * 1024;
// The first contact comes at the network thread's first timed step, about 11 s after the start.
const auto kFirstContactWait = 60s;

struct FloodCase {
    std::string name;
    std::string bytes, repeat;
    int pauseMs;
    std::string failure;  // what the log says of the register
};

// One server started against the stand-in, with no key yet, so its first contact registers.
class MasterFloodE2e : public ::testing::Test {
protected:
    void Start(const FloodCase& item) {
        server_.reset();
        home_.reset(new testsupport::TempDir());
        master_.reset(new FakeMasterServer(
            [item](const MasterRequest&) { return MasterReply::Flood(item.bytes, item.repeat, item.pauseMs); }));
        e2etest::SeedState(home_->path(), {}, "master-flood-device", testsupport::FreePort());
        server_.reset(new testsupport::ServerProcess(home_->path()));
        server_->SetEnvironment("CALVORO_MASTER_HOST", master_->Address());
        ASSERT_TRUE(server_->Start({"-s"}));
        ASSERT_TRUE(server_->WaitForLog("Bonjour Check Complete", 30s)) << server_->LogText();
    }
    // Ends the server with SIGTERM: the seconds it took, or -1 when it did not end within 15 s.
    double Terminate() {
        const Clock::time_point start = Clock::now();
        server_->Signal(SIGTERM);
        int status = -1;
        if (!server_->WaitExit(15s, &status)) return -1;
        EXPECT_TRUE(WIFEXITED(status)) << "ended by a signal instead of its own shutdown";
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    // Torn down in reverse: the server, the stand-in, the folder.
    std::unique_ptr<testsupport::TempDir> home_;
    std::unique_ptr<FakeMasterServer> master_;
    std::unique_ptr<testsupport::ServerProcess> server_;
};

TEST_F(MasterFloodE2e, AFloodWithoutPauseIsCutOffAtOnceWithinSixteenMebibytes) {
    REQUIRE_ISOLATED_NETWORK();
    const std::vector<FloodCase> cases = {
        {"trailers", kKeyThenTrailers, kTrailer, 0, "Register threw exception: Error trying to get 'server code'"},
        {"interim replies", "", kInterim, 0, "Register threw exception: Error getting HTTP headers"},
    };
    for (const FloodCase& item : cases) {
        SCOPED_TRACE(item.name);
        Start(item);
        if (HasFatalFailure()) return;
        const long before = testsupport::ResidentKiB(server_->Pid());
        std::atomic<bool> watching{true};
        std::atomic<long> peak{before};
        std::thread monitor([&] {
            while (watching) {
                const long now = testsupport::ResidentKiB(server_->Pid());
                if (now > peak) peak = now;
                std::this_thread::sleep_for(10ms);
            }
        });
        const bool asked = master_->WaitForRequests(1, kFirstContactWait);
        const Clock::time_point contact = Clock::now();
        const bool failed = asked && server_->WaitForLog(item.failure, 20s);
        const double seconds = std::chrono::duration<double>(Clock::now() - contact).count();
        std::this_thread::sleep_for(500ms);
        watching = false;
        monitor.join();
        ASSERT_TRUE(asked) << server_->LogText();
        ASSERT_TRUE(failed) << server_->LogText();
        // The log is polled: the contact itself ends in milliseconds, 5 s is its bound.
        EXPECT_LT(seconds, 5.0);
        EXPECT_LT(peak - before, kRssMarginKiB) << "from " << before << " KiB";
        EXPECT_LT(master_->FloodedBytes(), 64ull << 20);
        EXPECT_EQ(server_->LogText().find("New Announce key"), std::string::npos);
        const double exit = Terminate();
        EXPECT_GE(exit, 0.0) << "still running 15 s after SIGTERM";
        EXPECT_LT(exit, 2.0);
        std::cout << item.name << ": contact failure logged " << seconds << " s after the request, resident +"
                  << (peak - before) << " KiB, " << master_->FloodedBytes() << " bytes flooded, SIGTERM " << exit
                  << " s\n";
    }
}

// Paced so that no cap is reached before the 5 s waits: SIGTERM a second into the contact ends the
// program within 2 s, while the stand-in is still sending.
TEST_F(MasterFloodE2e, TheEndSignalEndsTheProgramWithinTwoSecondsWhileTheServerSends) {
    REQUIRE_ISOLATED_NETWORK();
    const std::vector<FloodCase> cases = {
        {"trailers", kKeyThenTrailers, kTrailer, 5, ""},
        {"interim replies", "", kInterim, 10, ""},
    };
    for (const FloodCase& item : cases) {
        SCOPED_TRACE(item.name);
        Start(item);
        if (HasFatalFailure()) return;
        ASSERT_TRUE(master_->WaitForRequests(1, kFirstContactWait)) << server_->LogText();
        std::this_thread::sleep_for(1s);
        const uint64_t sent = master_->FloodedBytes();
        std::this_thread::sleep_for(100ms);
        ASSERT_GT(master_->FloodedBytes(), sent) << "the stand-in no longer sends";
        const double exit = Terminate();
        EXPECT_GE(exit, 0.0) << "still running 15 s after SIGTERM";
        EXPECT_LT(exit, 2.0);
        EXPECT_NE(server_->LogText().find("Shutdown Event Detected"), std::string::npos);
        std::cout << item.name << ": SIGTERM while sending ended the program in " << exit << " s\n";
    }
}

}  // namespace
