#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FakeHttpd.h"
#include "HttpTestClient.h"
#include "api/ByteRange.h"
#include "api/HttpListener.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_net.h"
#include "kivlib/kiv_text.h"

namespace {

using apitest::FakeHttpd;

// Bytes that differ from one offset to the next, so a shifted or repeated block shows.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return bytes;
}

class FileSender : public ::testing::Test {
protected:
    void SetUp() override {
        content = Pattern(1000000);
        testsupport::WriteFile(services.temp.file("film.avi"), content);
        path = kivm::FromUTF8ExW(services.temp.file("film.avi"));
    }

    apitest::Services services;
    FakeHttpd fake{&services.context};
    HttpListener listener{&fake};
    std::string content;
    std::wstring path;
};

TEST_F(FileSender, RangesGiveTheFilesOwnBytesWithTheirHead) {
    const struct {
        uint64_t from, to;
        int status;
        uint64_t first, length;
        const char* contentRange;
    } cases[] = {
        {0, 0, 200, 0, 1000000, "bytes 0-999999/1000000"},
        {100, 199, 206, 100, 100, "bytes 100-199/1000000"},
        {0, 9999, 206, 0, 10000, "bytes 0-9999/1000000"},
        {999999, 999999, 206, 999999, 1, "bytes 999999-999999/1000000"},
        {123457, 654320, 206, 123457, 530864, "bytes 123457-654320/1000000"},
        {999000, 5000000, 206, 999000, 1000, "bytes 999000-999999/1000000"},  // clamped
    };
    for (const auto& c : cases) {
        apitest::Services s;
        FakeHttpd f(&s.context);
        HttpListener l(&f);
        l.SendFileRange("film.avi", path, nullptr, c.from, c.to);
        ASSERT_EQ(1u, f.replies.size());
        const apitest::FakeReply& reply = f.Only();
        EXPECT_EQ(c.status, reply.head.StatusCode) << c.contentRange;
        EXPECT_EQ("OK", reply.head.StatusText);
        EXPECT_EQ("application/octet-stream", reply.head.ContentType);
        EXPECT_EQ(c.length, reply.head.ContentLength) << c.contentRange;
        EXPECT_EQ(c.contentRange, reply.head.Headers.at("Content-Range"));
        EXPECT_EQ("bytes", reply.head.Headers.at("Accept-Ranges"));
        EXPECT_TRUE(reply.body == content.substr(c.first, c.length)) << c.contentRange;
        EXPECT_FALSE(l.ConnectionMustClose());
    }
}

TEST_F(FileSender, UnsatisfiableRangesGet416WithTheSize) {
    for (const auto& range : {std::make_pair<uint64_t, uint64_t>(1000000, 1000005),
                              std::make_pair<uint64_t, uint64_t>(500, 100)}) {
        apitest::Services s;
        FakeHttpd f(&s.context);
        HttpListener l(&f);
        l.SendFileRange("film.avi", path, nullptr, range.first, range.second);
        ASSERT_EQ(1u, f.replies.size());
        EXPECT_EQ(416, f.Only().head.StatusCode);
        EXPECT_EQ(0u, f.Only().head.ContentLength);
        EXPECT_EQ("bytes */1000000", f.Only().head.Headers.at("Content-Range"));
        EXPECT_TRUE(f.Only().body.empty());
        EXPECT_FALSE(l.ConnectionMustClose());
    }
}

TEST_F(FileSender, AnEmptyFileIsSentWholeWithoutContentRange) {
    testsupport::WriteFile(services.temp.file("empty.avi"), "");
    listener.SendFile("empty.avi", kivm::FromUTF8ExW(services.temp.file("empty.avi")));
    const apitest::FakeReply& reply = fake.Only();
    EXPECT_EQ(200, reply.head.StatusCode);
    EXPECT_EQ(0u, reply.head.ContentLength);
    EXPECT_EQ(0u, reply.head.Headers.count("Content-Range"));
    EXPECT_TRUE(fake.sendLengths.empty());
}

TEST_F(FileSender, ExtraHeadersStandBesideTheRangeHeaders) {
    HttpListener::HeaderMap extra{{"Duration", "61"}, {"Accept-Ranges", "none"}};
    listener.SendFileWithHeaders("film.avi", path, extra);
    const HttpListener::HeaderMap& headers = fake.Only().head.Headers;
    EXPECT_EQ("61", headers.at("Duration"));
    EXPECT_EQ("bytes", headers.at("Accept-Ranges"));  // ours wins over a caller's copy
    EXPECT_EQ("bytes 0-999999/1000000", headers.at("Content-Range"));
}

TEST_F(FileSender, AMissingFileThrowsBeforeAnyHead) {
    try {
        listener.SendFile("gone.avi", kivm::FromUTF8ExW(services.temp.file("gone.avi")));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Cannot open gone.avi", e.what());
    }
    EXPECT_EQ(0, fake.setHeadersCalls);
    EXPECT_FALSE(listener.ConnectionMustClose());
}

TEST_F(FileSender, AClientThatLeavesMidFileEndsTheConnectionWithoutASecondHead) {
    fake.clientTakes = 300000;
    try {
        listener.SendFile("film.avi", path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Client disconnected in the middle of sending file", e.what());
    }
    EXPECT_TRUE(listener.ConnectionMustClose());
    // The route's error reply that follows must not put a second head on the wire.
    EXPECT_FALSE(listener.SendErrorMsg("Client disconnected in the middle of sending file", 404));
    EXPECT_EQ(1u, fake.replies.size());
    EXPECT_TRUE(fake.Only().body == content.substr(0, 300000));
}

TEST_F(FileSender, ASendErrorNamesTheLibraryError) {
    fake.sendFailure = NET_ERROR;
    try {
        listener.SendFile("film.avi", path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Error sending body: fake failure", e.what());
    }
    EXPECT_TRUE(listener.ConnectionMustClose());
}

TEST_F(FileSender, AFileShorterThanAnnouncedEndsTheConnection) {
    // The plan is made from the size at open; the file shrinks before the body is read.
    struct Shrinking : FakeHttpd {
        using FakeHttpd::FakeHttpd;
        std::string file;
        net_result SendHeaders(uint32_t ms) override {
            testsupport::WriteFile(file, "tiny");
            return FakeHttpd::SendHeaders(ms);
        }
    } shrinking(&services.context);
    shrinking.file = services.temp.file("film.avi");
    HttpListener l(&shrinking);
    EXPECT_THROW(l.SendFile("film.avi", path), std::runtime_error);
    EXPECT_EQ(1000000u, shrinking.Only().head.ContentLength);
    EXPECT_EQ("tiny", shrinking.Only().body);
    EXPECT_TRUE(l.ConnectionMustClose());
}

TEST_F(FileSender, AShutdownStopsTheBodyQuietly) {
    const std::string large = Pattern(8 * 1024 * 1024 + 5);  // more than one send block
    testsupport::WriteFile(services.temp.file("large.avi"), large);
    fake.shutdownAfterSends = 1;
    EXPECT_NO_THROW(listener.SendFile("large.avi", kivm::FromUTF8ExW(services.temp.file("large.avi"))));
    EXPECT_EQ(1u, fake.sendLengths.size());
    EXPECT_EQ(large.size(), fake.Only().head.ContentLength);
    EXPECT_LT(fake.Only().body.size(), large.size());
    EXPECT_TRUE(fake.Only().body == large.substr(0, fake.Only().body.size()));
    EXPECT_TRUE(listener.ConnectionMustClose());
}

TEST_F(FileSender, TheHeadFailuresThrowTheirTexts) {
    fake.setHeadersResult = false;
    try {
        listener.SendFile("film.avi", path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("SetHeaders failed", e.what());
    }
    apitest::Services s;
    FakeHttpd f(&s.context);
    f.sendHeadersResult = NET_ERROR;
    HttpListener l(&f);
    try {
        l.SendFile("film.avi", path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("SendHeaders failed", e.what());
    }
    EXPECT_TRUE(l.ConnectionMustClose());
}

// ---- over real sockets: the library sends the file's bytes without copying them ----

using Clock = std::chrono::steady_clock;
const uint64_t kMiB = 1ull << 20;
const uint64_t kGiB = 1ull << 30;

// What the request loop below did, for the tests to wait on.
struct SendLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    std::atomic<int> sends{0};      // Send calls: bytes copied through the program
    std::atomic<int> fileSends{0};  // SendFromFile calls

    void Add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        changed.notify_all();
    }
    // The count-th event, "" when it does not come within ms.
    std::string Wait(size_t count, int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return events.size() >= count; });
        return events.size() >= count ? events[count - 1] : std::string();
    }
};

SendLog* g_log = nullptr;
std::wstring g_file;

// The library's connection, passed through as it is, with the body sends counted on their way.
class CountingConnection : public IHttpdConnection, public IHttpdRequest {
public:
    explicit CountingConnection(IHttpdConnection* inner) : inner_(inner), request_(inner->GetRequest()) {}

    bool ShutdownRequested() const override { return inner_->ShutdownRequested(); }
    IHttpdRequest* GetRequest() override { return this; }
    void* GetUserData() const override { return inner_->GetUserData(); }

    net_result ReadRequest(uint32_t ms) override { return request_->ReadRequest(ms); }
    bool ParseRequest() override { return request_->ParseRequest(); }
    std::string GetMethod() const override { return request_->GetMethod(); }
    std::string GetPath() const override { return request_->GetPath(); }
    std::string GetQuery() const override { return request_->GetQuery(); }
    bool GetHeader(std::string& value, const std::string& name) const override {
        return request_->GetHeader(value, name);
    }
    net_result ReadBody(char* buffer, size_t capacity, size_t& count, uint32_t ms) override {
        return request_->ReadBody(buffer, capacity, count, ms);
    }
    bool SetHeaders(const HttpResponseHeaders& headers) override { return request_->SetHeaders(headers); }
    net_result SendHeaders(uint32_t ms) override { return request_->SendHeaders(ms); }
    net_result Send(const void* bytes, size_t length, size_t& sent, uint32_t ms) override {
        ++g_log->sends;
        return request_->Send(bytes, length, sent, ms);
    }
    bool CanSendFromFile() const override { return request_->CanSendFromFile(); }
    net_result SendFromFile(int fd, uint64_t offset, size_t length, size_t& sent, uint32_t ms) override {
        ++g_log->fileSends;
        return request_->SendFromFile(fd, offset, length, sent, ms);
    }
    std::string GetLastError() const override { return request_->GetLastError(); }

private:
    IHttpdConnection* inner_;
    IHttpdRequest* request_;
};

// A file route: the Range header, then the file, or the error reply a route gives.
void* FileEntry(void* opaque) {
    CountingConnection connection(static_cast<IHttpdConnection*>(opaque));
    IHttpdRequest* request = connection.GetRequest();
    while (!connection.ShutdownRequested()) {
        const net_result read = request->ReadRequest(1000);
        if (read == NET_WOULDBLOCK) continue;
        if (read != NET_OK || !request->ParseRequest()) break;
        HttpListener listener(&connection);
        std::string range;
        request->GetHeader(range, "Range");
        const ByteRange wanted = ParseRange(range);
        const auto start = Clock::now();
        std::string outcome = "sent";
        try {
            listener.SendFileRange("film", g_file, nullptr, wanted);
        } catch (const std::exception& e) {
            outcome = std::string("error: ") + e.what();
            listener.SendErrorMsg(e.what(), 404);
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        g_log->Add(outcome + (listener.ConnectionMustClose() ? " | closing" : "") + " | ms=" + std::to_string(ms));
        if (listener.ConnectionMustClose()) break;
    }
    return nullptr;
}

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
    return bytes;
}

bool WriteAt(int fd, const std::string& bytes, uint64_t offset) {
    return pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes.size());
}

std::string ReadAt(const std::string& path, uint64_t offset, size_t length) {
    std::string bytes(length, '\0');
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd < 0 ? -1 : pread(fd, &bytes[0], length, static_cast<off_t>(offset));
    if (fd >= 0) close(fd);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

std::string RangeGet(uint64_t from, uint64_t to) {
    return httptest::Get("/film", "Range: bytes=" + std::to_string(from) + "-" + std::to_string(to) + "\r\n");
}

class FileSenderOverSockets : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        ASSERT_TRUE(net_init());
        g_log = &log;
    }
    void TearDown() override {
        listener.reset();  // every connection has ended when this returns
        g_log = nullptr;
    }
    void Serve(const std::string& path) {
        file = path;
        g_file = kivm::FromUTF8ExW(path);
        HttpdLimits limits;
        limits.SendStallMs = 3000;  // short for the test, yet long enough for a reader at load 30
        limits.SendBufferBytes = 64 * 1024;
        listener = kiv_httpd_listener::GetInstance(0, FileEntry, &services.context, limits);
        ASSERT_TRUE(listener) << kiv_httpd_listener::GetLastGetInstanceError();
        port = listener->GetPort();
    }

    // Serves a file of size bytes that is all hole: zeros, nothing on disk.
    void ServeHole(uint64_t size) {
        const std::string path = services.temp.file("hole.avi");
        const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
        close(fd);
        Serve(path);
    }

    apitest::Services services;
    SendLog log;
    std::string file;
    boost::shared_ptr<kiv_httpd_listener> listener;
    int port = 0;
};

TEST_F(FileSenderOverSockets, RangesComeStraightFromTheFileWithItsOwnBytes) {
    const uint64_t size = 5 * kGiB + 777;  // past every 32-bit offset
    const uint64_t line = 4 * kGiB;
    const std::string path = services.temp.file("sparse.avi");
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
    ASSERT_TRUE(WriteAt(fd, Pattern(100000, 1), 0));
    ASSERT_TRUE(WriteAt(fd, Pattern(3 * kMiB, 2), line - 3 * kMiB / 2));  // across the 4 GiB line
    ASSERT_TRUE(WriteAt(fd, Pattern(5000, 3), size - 5000));
    close(fd);
    ASSERT_NO_FATAL_FAILURE(Serve(path));
    const struct {
        uint64_t from, to;
    } ranges[] = {
        {0, 99999},
        {line - 3 * kMiB / 2 + 3, line + 3 * kMiB / 2 - 5},  // megabytes, none aligned
        {line + 3 * kMiB / 2 - 12345, line + 4 * kMiB + 77},  // from the written bytes into the hole
        {size - 5000, size - 1},
    };
    httptest::Connection client(port);  // one keep-alive connection for all of them
    ASSERT_TRUE(client.Connected());
    size_t served = 0;
    for (const auto& r : ranges) {
        const std::string label = std::to_string(r.from) + "-" + std::to_string(r.to);
        SCOPED_TRACE(label);
        const int fileSendsBefore = log.fileSends;
        const httptest::Reply reply = client.Request(RangeGet(r.from, r.to), 30000);
        ASSERT_TRUE(reply.ok);
        EXPECT_EQ(206, reply.status);
        EXPECT_EQ("bytes " + label + "/" + std::to_string(size), reply.Header("content-range"));
        EXPECT_TRUE(reply.body == ReadAt(path, r.from, static_cast<size_t>(r.to - r.from + 1))) << "body differs";
        EXPECT_EQ("sent", log.Wait(++served, 3000).substr(0, 4));
        // One library call for the whole range, so the socket stays corked for all of it; none through
        // the copying Send.
        EXPECT_EQ(1, log.fileSends - fileSendsBefore);
    }
    EXPECT_EQ(0, log.sends.load());

    // A reply to HEAD announces the whole file and writes none of it: the next reply follows at once.
    const httptest::Reply head = client.Request("HEAD /film HTTP/1.1\r\nHost: h\r\n\r\n", 10000);
    ASSERT_TRUE(head.ok);
    EXPECT_EQ(200, head.status);
    EXPECT_EQ(std::to_string(size), head.Header("content-length"));
    const httptest::Reply after = client.Request(RangeGet(10, 19));
    ASSERT_TRUE(after.ok);
    EXPECT_TRUE(after.body == ReadAt(path, 10, 10));
}

// No mapping of the file: a file that shrinks under the send ends that one reply, short, and the
// server goes on.
TEST_F(FileSenderOverSockets, AFileTruncatedDuringTheSendEndsOnlyThatConnection) {
    const std::string original = Pattern(64 * kMiB, 4);
    const std::string path = services.temp.file("shrinking.avi");
    testsupport::WriteFile(path, original);
    ASSERT_NO_FATAL_FAILURE(Serve(path));
    const size_t cut = 32 * kMiB + 256 * 1024;
    httptest::Connection client(port);
    ASSERT_TRUE(client.Write(httptest::Get("/film")));
    std::string received = client.ReadFor(3000, kMiB);
    ASSERT_EQ(kMiB, received.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the server waits for room now
    ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(cut)));
    received += client.ReadFor(20000, 128 * kMiB);
    EXPECT_TRUE(client.ClosedWithin(1000));
    const size_t end = received.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, end);
    EXPECT_NE(std::string::npos, received.substr(0, end).find("Content-Length: 67108864"));
    const std::string body = received.substr(end + 4);
    EXPECT_EQ(cut, body.size());
    EXPECT_TRUE(body == original.substr(0, body.size())) << "body differs";
    const std::string outcome = log.Wait(1, 3000);
    EXPECT_EQ("error: Error sending body: The file ends before offset " + std::to_string(cut) + ": the reply is " +
                  std::to_string(original.size() - cut) + " bytes short of its Content-Length | closing",
              outcome.substr(0, outcome.find(" | ms=")));

    httptest::Connection other(port);
    const httptest::Reply reply = other.Request(RangeGet(0, 9));
    ASSERT_TRUE(reply.ok);
    EXPECT_TRUE(reply.body == original.substr(0, 10));
}

// The whole body is one library call: a shutdown during it still ends the reply at once, short and
// quietly (no error reply), and the connection closes.
TEST_F(FileSenderOverSockets, AShutdownDuringALargeBodyEndsItQuietly) {
    ASSERT_NO_FATAL_FAILURE(ServeHole(kGiB));
    httptest::Connection slow(port);
    ASSERT_TRUE(slow.Write(httptest::Get("/film")));
    ASSERT_FALSE(slow.ReadFor(5000, 1).empty());  // the body is under way; the client reads no more for now
    const auto start = Clock::now();
    listener.reset();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 10000);
    const std::string outcome = log.Wait(1, 0);
    EXPECT_EQ("sent | closing", outcome.substr(0, outcome.find(" | ms="))) << outcome;
    EXPECT_TRUE(slow.ClosedWithin(10000));
}

TEST_F(FileSenderOverSockets, AClientThatStopsReadingHitsTheNoProgressDeadline) {
    ASSERT_NO_FATAL_FAILURE(ServeHole(kGiB));
    httptest::Connection stuck(port);
    stuck.ShrinkReceiveBuffer();
    ASSERT_TRUE(stuck.Write(httptest::Get("/film")));  // 1 GiB, and it reads none of it

    httptest::Connection other(port);  // served meanwhile
    const httptest::Reply reply = other.Request(RangeGet(0, 9));
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(std::string(10, '\0'), reply.body);

    std::string outcome;
    // Without the deadline the send would never end; the upper bounds hold at load 30.
    for (size_t i = 1; i <= 2 && outcome.find("took no reply") == std::string::npos; ++i) outcome = log.Wait(i, 30000);
    EXPECT_EQ(0u, outcome.find("error: Error sending body: The client took no reply bytes for 3000 ms | closing"))
        << outcome;
    const long long ms = outcome.empty() ? 0 : std::stoll(outcome.substr(outcome.find("ms=") + 3));
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 20000);
    EXPECT_TRUE(stuck.ClosedWithin(10000));
    const httptest::Reply again = other.Request(RangeGet(0, 9));
    EXPECT_TRUE(again.ok);
}

}  // namespace
