// The TCP and HTTP client against a raw server on loopback: connecting, the request head as sent, and
// the ways a reply is framed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kivlib/kiv_client.h"
#include "kivlib/kiv_http.h"
#include "support/FakeMasterServer.h"
#include "support/TestSupport.h"

namespace {

using testsupport::FakeMasterServer;
using testsupport::MasterReply;
using testsupport::MasterRequest;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

const char kChunkedKey[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nKEY\r\n0\r\n";

boost::shared_ptr<INonblockingStream> Connect(int port) {
    kiv_client client;
    net_result result = client.connect_to_host("127.0.0.1", static_cast<uint16_t>(port), 5000);
    if (result == NET_WOULDBLOCK) result = client.wait_connect(5000);
    return result == NET_OK ? client.get_stream() : boost::shared_ptr<INonblockingStream>();
}

TEST(HttpClient, RefusedConnectionIsAnError) {
    REQUIRE_ISOLATED_NETWORK();
    kiv_client client;
    EXPECT_EQ(NET_ERROR, client.connect_to_host("127.0.0.1", static_cast<uint16_t>(testsupport::FreePort()), 5000));
    EXPECT_FALSE(client.get_stream());
    EXPECT_EQ(NET_ERROR, client.connect_to_host("no-such-host.invalid", 80, 5000));
}

TEST(HttpClient, ExtraHeadersFollowTheLastHeaderLine) {
    REQUIRE_ISOLATED_NETWORK();
    FakeMasterServer server([](const MasterRequest&) { return MasterReply::Ok("hi"); });
    boost::shared_ptr<INonblockingStream> stream = Connect(server.Port());
    ASSERT_TRUE(stream);
    boost::shared_ptr<kiv_http> http = kiv_http::GetInstance(stream.get(), "Calvoro");
    ASSERT_EQ(0, http->SendRequest("h", "/p?q=1", 0, 5000, "\r\nX-One: 1\r\nX-Two: 2", ""));
    ASSERT_EQ(NET_OK, http->PollHeaders(5000));
    std::string body;
    ASSERT_EQ(NET_DONE, http->ReadResponseBody(body, 5000));
    EXPECT_EQ("hi", body);
    ASSERT_EQ(1u, server.Requests().size());
    EXPECT_EQ("GET /p?q=1 HTTP/1.1\r\nHost: h\r\nUser-Agent: Calvoro\r\nX-One: 1\r\nX-Two: 2", server.Requests()[0].head);
    // Text that would end the head early or split the request line is refused before anything is sent.
    for (const std::string& extra : {std::string("X: 1"), std::string("\r\n\r\nX: 1"), std::string("\r\nX: 1\n")}) {
        EXPECT_NE(0, http->SendRequest("h", "/p", 0, 5000, extra, ""));
    }
    EXPECT_NE(0, http->SendRequest("h", "/a b", 0, 5000, "", ""));
    EXPECT_EQ(1u, server.Requests().size());
}

TEST(HttpClient, RepliesFramedEveryWayAreRead) {
    REQUIRE_ISOLATED_NETWORK();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", "abc"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\n2\r\nde\r\n0\r\nT: 1\r\n\r\n", "abcde"},
        {"HTTP/1.0 200 OK\r\n\r\nto the close", "to the close"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.first);
        FakeMasterServer server([&](const MasterRequest&) {
            MasterReply reply = MasterReply::Raw(item.first);
            reply.closeAfter = true;
            return reply;
        });
        boost::shared_ptr<INonblockingStream> stream = Connect(server.Port());
        ASSERT_TRUE(stream);
        boost::shared_ptr<kiv_http> http = kiv_http::GetInstance(stream.get(), "Calvoro");
        ASSERT_EQ(0, http->SendRequest("h", "/", 0, 5000, "", ""));
        ASSERT_EQ(NET_OK, http->PollHeaders(5000));
        EXPECT_EQ(200, http->GetStatusCode());
        std::string body;
        EXPECT_EQ(NET_DONE, http->ReadResponseBody(body, 5000));
        EXPECT_EQ(item.second, body);
    }
}

TEST(HttpClient, BodyBeyondTheAnnouncedLengthIsRefused) {
    REQUIRE_ISOLATED_NETWORK();
    FakeMasterServer server([](const MasterRequest&) { return MasterReply::Ok(""); });
    boost::shared_ptr<INonblockingStream> stream = Connect(server.Port());
    ASSERT_TRUE(stream);
    boost::shared_ptr<kiv_http> http = kiv_http::GetInstance(stream.get(), "Calvoro");
    ASSERT_EQ(0, http->SendRequestWithBody("h", "/up", 4, 0, 1000, "", ""));
    size_t written = 0;
    EXPECT_EQ(NET_ERROR, http->WriteBody("12345", 5, written, 1000));
    EXPECT_EQ(0u, written);
    ASSERT_EQ(NET_OK, http->WriteBody("1234", 4, written, 1000));
    EXPECT_EQ(4u, written);
    ASSERT_EQ(NET_OK, http->PollHeaders(5000));
    ASSERT_TRUE(server.WaitForRequests(1, std::chrono::seconds(10)));
    EXPECT_EQ("1234", server.Requests()[0].body);
}

// A server that never stops sending: each reply is refused at its cap at once, the client keeps no more
// than the cap, and the stand-in has sent little beyond what the client read.
TEST(HttpClient, RepliesThatNeverEndAreRefusedAtTheirCaps) {
    REQUIRE_ISOLATED_NETWORK();
    struct Case {
        std::string name, bytes, repeat;
        bool headFails;  // refused while the head is read, else while the body is
    };
    const std::vector<Case> cases = {
        {"interim replies", "", "HTTP/1.1 100 Continue\r\n\r\n", true},
        {"header lines", "HTTP/1.1 200 OK\r\n", "X-H: v\r\n", true},
        {"trailer lines", kChunkedKey, "X-T: v\r\n", false},
        {"chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "1\r\na\r\n", false},
        {"a body to the close", "HTTP/1.0 200 OK\r\n\r\n", "data data ", false},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        FakeMasterServer server([&](const MasterRequest&) { return MasterReply::Flood(item.bytes, item.repeat); });
        boost::shared_ptr<INonblockingStream> stream = Connect(server.Port());
        ASSERT_TRUE(stream);
        boost::shared_ptr<kiv_http> http = kiv_http::GetInstance(stream.get(), "Calvoro");
        const long before = testsupport::ResidentKiB();
        const Clock::time_point start = Clock::now();
        ASSERT_EQ(0, http->SendRequest("h", "/", 0, 5000, "", ""));
        net_result head = http->PollHeaders(5000);
        std::string body;
        if (item.headFails) {
            EXPECT_EQ(NET_ERROR, head);
        } else {
            ASSERT_EQ(NET_OK, head);
            EXPECT_EQ(NET_ERROR, http->ReadResponseBody(body, 5000));
            EXPECT_TRUE(body.empty());
        }
        EXPECT_LT(SecondsSince(start), 2.0);
        EXPECT_LT(testsupport::ResidentKiB() - before, 16 * 1024);
        EXPECT_LT(server.FloodedBytes(), 64ull << 20);
    }
}

// Interim replies and trailer lines dripped without end take no more than the wait given: its
// deadline holds across the interim replies, and a stop flag ends either wait within 100 ms.
TEST(HttpClient, AStreamThatKeepsComingEndsAtTheDeadlineOrTheStop) {
    REQUIRE_ISOLATED_NETWORK();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "HTTP/1.1 100 Continue\r\n\r\n"},
        {kChunkedKey, "X-T: v\r\n"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.second);
        for (bool stopped : {false, true}) {
            FakeMasterServer server([&](const MasterRequest&) { return MasterReply::Flood(item.first, item.second, 5); });
            boost::shared_ptr<INonblockingStream> stream = Connect(server.Port());
            ASSERT_TRUE(stream);
            boost::shared_ptr<kiv_http> http = kiv_http::GetInstance(stream.get(), "Calvoro");
            std::atomic<bool> stop{false};
            http->SetStopFlag(&stop);
            ASSERT_EQ(0, http->SendRequest("h", "/", 0, 5000, "", ""));
            std::thread stopper;
            if (stopped) {
                stopper = std::thread([&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    stop = true;
                });
            }
            const Clock::time_point start = Clock::now();
            const uint32_t wait = stopped ? 20000 : 1500;
            net_result result = http->PollHeaders(wait);
            std::string body;
            if (!item.first.empty()) {
                ASSERT_EQ(NET_OK, result);
                result = http->ReadResponseBody(body, wait);
            }
            const double seconds = SecondsSince(start);
            if (stopper.joinable()) stopper.join();
            if (stopped) {
                EXPECT_EQ(NET_ERROR, result);
                EXPECT_EQ("stopped", http->GetLastError());
                EXPECT_LT(seconds, 3.0);
                EXPECT_NE(0, http->SendRequest("h", "/", 0, 5000, "", ""));
            } else {
                EXPECT_EQ(NET_WOULDBLOCK, result);
                EXPECT_GE(seconds, 1.4);
                EXPECT_LT(seconds, 6.0);
            }
        }
    }
}

}  // namespace
