// HttpListener behind the real HTTP listener of the support library, over loopback sockets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <list>
#include <string>
#include <thread>

#include "FakeHttpd.h"
#include "HttpTestClient.h"
#include "RangeRoute.h"
#include "api/ByteRange.h"
#include "api/HttpListener.h"
#include "core/Log.h"
#include "kivlib/kiv_httpd_listener.h"

namespace {

using httptest::Connection;
using httptest::Reply;

const uint64_t kSparseSize = 5ull * 1024 * 1024 * 1024 + 777;  // past every 32-bit offset
const uint64_t kMarkAt = 4ull * 1024 * 1024 * 1024 + 12345;
const size_t kMarkBytes = 300000;

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
    return bytes;
}

std::string ReadAt(const std::string& path, uint64_t offset, size_t length) {
    std::string bytes(length, '\0');
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = pread(fd, &bytes[0], length, static_cast<off_t>(offset));
    close(fd);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

std::string RangeGet(const std::string& range) {
    return httptest::Get("/video/direct/Movies/film.avi", range.empty() ? "" : "Range: " + range + "\r\n");
}

class FileRangesOverSockets : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        file = services.temp.file("sparse.avi");
        const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(kSparseSize)));
        const std::string head = Pattern(100000, 1);
        const std::string mark = Pattern(kMarkBytes, 2);
        const std::string tail = Pattern(5000, 3);
        ASSERT_EQ(static_cast<ssize_t>(head.size()), pwrite(fd, head.data(), head.size(), 0));
        ASSERT_EQ(static_cast<ssize_t>(mark.size()), pwrite(fd, mark.data(), mark.size(), static_cast<off_t>(kMarkAt)));
        ASSERT_EQ(static_cast<ssize_t>(tail.size()),
                  pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(kSparseSize - tail.size())));
        close(fd);
        httptest::g_rangeFile = kivm::FromUTF8ExW(file);
        listener = kiv_httpd_listener::GetInstance(0, httptest::RangeEntry, &services.context);
        ASSERT_TRUE(listener) << kiv_httpd_listener::GetLastGetInstanceError();
        port = listener->GetPort();
    }

    apitest::Services services;
    std::string file;
    boost::shared_ptr<kiv_httpd_listener> listener;
    int port = 0;
};

TEST_F(FileRangesOverSockets, RangesAnywhereInTheFileGiveItsOwnBytes) {
    const std::string size = std::to_string(kSparseSize);
    const struct {
        uint64_t from, to;
    } ranges[] = {
        {100, 199},
        {1, 99999},
        {kMarkAt - 10, kMarkAt + kMarkBytes + 10},  // past 4 GiB, across the sparse edges
        {kMarkAt + 1000, kMarkAt + 1000 + 1048575},
        {kSparseSize - 5000, kSparseSize - 1},
        {kMarkAt - 2500000, kMarkAt + kMarkBytes + 100},  // several send blocks
    };
    Connection client(port);  // one keep-alive connection for all of them
    ASSERT_TRUE(client.Connected());
    for (const auto& r : ranges) {
        const std::string label = std::to_string(r.from) + "-" + std::to_string(r.to);
        const Reply reply = client.Request(RangeGet("bytes=" + label), 30000);
        ASSERT_TRUE(reply.ok) << label;
        EXPECT_EQ(206, reply.status) << label;
        EXPECT_EQ("OK", reply.statusText);
        EXPECT_EQ("bytes " + label + "/" + size, reply.Header("content-range"));
        EXPECT_EQ("bytes", reply.Header("accept-ranges"));
        EXPECT_EQ("application/octet-stream", reply.Header("content-type"));
        EXPECT_TRUE(reply.body == ReadAt(file, r.from, static_cast<size_t>(r.to - r.from + 1))) << label;
    }
}

TEST_F(FileRangesOverSockets, ClampAnd416) {
    Connection client(port);
    const std::string size = std::to_string(kSparseSize);
    const Reply clamped = client.Request(RangeGet("bytes=" + std::to_string(kSparseSize - 10) + "-99999999999999"));
    ASSERT_TRUE(clamped.ok);
    EXPECT_EQ(206, clamped.status);
    EXPECT_EQ("bytes " + std::to_string(kSparseSize - 10) + "-" + std::to_string(kSparseSize - 1) + "/" + size,
              clamped.Header("content-range"));
    EXPECT_TRUE(clamped.body == ReadAt(file, kSparseSize - 10, 10));

    for (const std::string& range : {"bytes=" + size + "-" + size, std::string("bytes=500-100")}) {
        const Reply refused = client.Request(RangeGet(range));
        ASSERT_TRUE(refused.ok) << range;
        EXPECT_EQ(416, refused.status) << range;
        EXPECT_EQ("bytes */" + size, refused.Header("content-range")) << range;
        EXPECT_TRUE(refused.body.empty());
    }
    // The connection is still good after the refusals.
    const Reply after = client.Request(RangeGet("bytes=0-9"));
    EXPECT_TRUE(after.body == ReadAt(file, 0, 10));
}

TEST_F(FileRangesOverSockets, AClientThatVanishesMidFileEndsOnlyItsOwnConnection) {
    Connection leaver(port);
    leaver.ShrinkReceiveBuffer();
    ASSERT_TRUE(leaver.Write(RangeGet("")));  // the whole 5 GiB file
    const std::string start = leaver.ReadFor(500, 200000);
    ASSERT_NE(std::string::npos, start.find("HTTP/1.1 200 OK")) << start.substr(0, 200);

    // Meanwhile another client is served in full.
    Connection other(port);
    const Reply reply = other.Request(RangeGet("bytes=100-199"));
    ASSERT_TRUE(reply.ok);
    EXPECT_TRUE(reply.body == ReadAt(file, 100, 100));

    leaver.Close();
    const auto logged = [] {
        const std::string log = testsupport::ReadFile(kivm::ToUTF8Ex(GetLogFilePath()));
        return log.find("Client disconnected in the middle of sending file") != std::string::npos ||
               log.find("Error sending body") != std::string::npos;
    };
    for (int i = 0; i < 100 && !logged(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(logged());

    // Its thread is gone: the release, which waits for every connection, comes back at once (a thread
    // still stuck in a send would hold it for its 30 s deadline; the bound holds at load 30).
    const auto before = std::chrono::steady_clock::now();
    listener.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
}

class RequestLoopOverSockets : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        services.Share("Videos", "Movies");
        testsupport::WriteFile(services.temp.file("Videos/Tom & Jerry.avi"), "v");
        listener = kiv_httpd_listener::GetInstance(0, HttpListenerThread, &services.context);
        ASSERT_TRUE(listener) << kiv_httpd_listener::GetLastGetInstanceError();
        port = listener->GetPort();
    }

    apitest::Services services;
    boost::shared_ptr<kiv_httpd_listener> listener;
    int port = 0;
};

TEST_F(RequestLoopOverSockets, PairingWithThePinTypedInOpensTheOtherRoutes) {
    const std::string body =
        "<Device><Announce><Name>Jo & <Co></Name><UniqueID>sock-1</UniqueID></Announce></Device>";
    Connection client(port);
    const auto start = std::chrono::steady_clock::now();
    const Reply first = client.Request(httptest::Post("/video/announce/", body));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(401, first.status);
    EXPECT_EQ("ERR", first.statusText);
    const size_t pinAt = first.body.find("<PIN>");
    ASSERT_NE(std::string::npos, pinAt) << first.body;
    const uint32_t pin = numstr::ToUint32(first.body.substr(pinAt + 5), 10);

    std::list<ClientSession> sessions;
    services.state->GetSessions(sessions);
    ASSERT_EQ(1u, sessions.size());
    EXPECT_EQ(L"Jo & <Co>", sessions.front().Name);
    ASSERT_TRUE(services.events->SubmitPin(pin, sessions.front().SessionId));

    const Reply admitted = client.Request(httptest::Post("/video/announce/", body));
    ASSERT_TRUE(admitted.ok);
    EXPECT_EQ(200, admitted.status);
    const std::string id = numstr::ToStr(sessions.front().SessionId, 16, 0);
    EXPECT_NE(std::string::npos, admitted.body.find("<SessionID>" + id + "</SessionID>")) << admitted.body;

    const Reply listing = client.Request(httptest::Get("/video/files/Movies/?SessionID=" + id));
    ASSERT_TRUE(listing.ok);
    EXPECT_EQ(200, listing.status);
    EXPECT_NE(std::string::npos, listing.body.find("<filename>Tom &amp; Jerry.avi</filename>")) << listing.body;
}

TEST_F(RequestLoopOverSockets, AnIdleConnectionEndsSoonAfterTheListenerIsReleased) {
    Connection idle(port);
    const Reply head = idle.Request("HEAD /x HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(head.ok);
    EXPECT_EQ(200, head.status);
    EXPECT_EQ("0", head.Header("content-length"));
    // Within about one read time-out (1 s), not the 60 s idle limit; the bound holds at load 30.
    const auto before = std::chrono::steady_clock::now();
    listener.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(8000));
    EXPECT_TRUE(idle.ClosedWithin(5000));
}

}  // namespace
