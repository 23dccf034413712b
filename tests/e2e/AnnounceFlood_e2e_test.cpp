// An announce flood against the real server: ten thousand devices never seen before, each with a name
// of 60 KB, over many connections at once. The server's memory stays bounded, and a paired device keeps
// its session through it.
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/HttpTestClient.h"
#include "e2e/E2eServer.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

namespace {

using httptest::Connection;
using httptest::Reply;
using namespace std::chrono_literals;

const size_t kDevices = 10000;
// Each announce in flight holds its body and parsed text through the second before its PIN goes out;
// that memory is bounded by the connections at once, not by the devices seen, which is what is measured.
const size_t kConnections = 128;
const size_t kNameBytes = 60000;
const long kRssLimitKiB = 100 * 1024;
const char kPairedId[] = "flood-test-paired-device";

std::string AnnounceBody(const std::string& name, const std::string& uniqueId) {
    return "<?xml version=\"1.0\"?><Device><Announce><Name>" + name + "</Name><UniqueID>" + uniqueId +
           "</UniqueID><DeviceType>iPhone</DeviceType></Announce></Device>";
}

std::string SessionIdOf(const Reply& reply) {
    const size_t at = reply.body.find("<SessionID>");
    if (at == std::string::npos) return std::string();
    return reply.body.substr(at + 11, reply.body.find('<', at + 11) - at - 11);
}

}  // namespace

TEST(AnnounceFloodE2e, TenThousandNewDevicesWithLongNamesKeepTheMemoryBoundedAndThePairedDeviceIn) {
    REQUIRE_ISOLATED_NETWORK();
    testsupport::TempDir home;
    const int port = testsupport::FreePort();
    std::filesystem::create_directories(home.path() + "/share");
    e2etest::SeedState(home.path(), {{home.path() + "/share", "Movies"}}, kPairedId, port);
    testsupport::ServerProcess server(home.path());
    ASSERT_TRUE(server.Start({"-s"}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 20s)) << server.LogText();

    std::string paired;
    {
        Connection client(port);
        const Reply reply = client.Request(httptest::Post("/video/announce/", AnnounceBody("Paired", kPairedId)), 30000);
        ASSERT_EQ(200, reply.status) << reply.body;
        paired = SessionIdOf(reply);
        ASSERT_FALSE(paired.empty());
    }
    const long before = testsupport::ResidentKiB(server.Pid());

    std::atomic<bool> flooding{true};
    std::atomic<long> peak{before};
    std::thread monitor([&] {
        while (flooding) {
            const long now = testsupport::ResidentKiB(server.Pid());
            if (now > peak) peak = now;
            std::this_thread::sleep_for(100ms);
        }
    });
    const std::string name(kNameBytes, 'n');
    std::atomic<size_t> next{0};
    std::atomic<size_t> pins{0};
    std::atomic<size_t> pushedOut{0};
    std::atomic<size_t> others{0};
    std::vector<std::thread> senders;
    for (size_t c = 0; c < kConnections; ++c) {
        senders.emplace_back([&] {
            std::unique_ptr<Connection> connection;
            for (size_t device = next++; device < kDevices; device = next++) {
                if (!connection || !connection->Connected()) connection.reset(new Connection(port));
                const Reply reply = connection->Request(
                    httptest::Post("/video/announce/", AnnounceBody(name, "flood-" + std::to_string(device))), 60000);
                if (reply.ok && reply.status == 401 && reply.body.find("<PIN>") != std::string::npos) {
                    ++pins;
                } else if (reply.ok && reply.status == 500 &&
                           reply.body.find("Unknown session ID") != std::string::npos) {
                    ++pushedOut;  // newer devices took its place while its own announce ran
                } else {
                    ++others;
                    connection.reset();
                }
            }
        });
    }
    for (std::thread& sender : senders) sender.join();
    flooding = false;
    monitor.join();
    std::this_thread::sleep_for(1s);
    const long after = testsupport::ResidentKiB(server.Pid());
    std::cout << "RSS before " << before / 1024 << " MiB, peak " << peak / 1024 << " MiB, after " << after / 1024
              << " MiB; " << pins << " announces answered with a PIN, " << pushedOut << " pushed out, " << others
              << " otherwise" << std::endl;

    EXPECT_EQ(0u, others.load()) << "every announce gets its reply";
    EXPECT_GE(pins.load(), kDevices * 9 / 10);
    EXPECT_LT(peak.load(), kRssLimitKiB);
    EXPECT_LT(after, kRssLimitKiB);

    // The paired device was not pushed out: same session, and its listing is served.
    Connection client(port);
    const Reply again = client.Request(httptest::Post("/video/announce/", AnnounceBody("Paired", kPairedId)), 30000);
    EXPECT_EQ(200, again.status);
    EXPECT_EQ(paired, SessionIdOf(again));
    const Reply listing = client.Request(httptest::Get("/video/files/?SessionID=" + paired), 30000);
    EXPECT_EQ(200, listing.status) << listing.body;
    EXPECT_NE(std::string::npos, listing.body.find("Movies"));

    server.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(server.WaitExit(30s, &status));
    EXPECT_TRUE(WIFEXITED(status));
}
