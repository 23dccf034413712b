// The HTTP listener over real loopback sockets, driven by a small request loop of the kind the
// program runs: poll ShutdownRequested, ReadRequest(1000), ParseRequest, reply.
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/HttpdConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kivlib/kiv_net.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---- the server side: a request loop that records what it saw ----

class TestServer {
public:
    explicit TestServer(const HttpdLimits& limits = HttpdLimits()) {
        listener_ = kiv_httpd_listener::GetInstance(0, &TestServer::Entry, this, limits);
        if (listener_) port_ = listener_->GetPort();
    }
    ~TestServer() { listener_.reset(); }

    bool Running() const { return listener_ != nullptr; }
    uint16_t Port() const { return port_; }
    // Releases the listener; returns how long that took.
    long long Release() {
        auto start = Clock::now();
        listener_.reset();
        return MsSince(start);
    }

    void Connected(kivhttp::HttpdConnection* connection) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connections_.push_back(connection);
        }
        Record("connected");
    }
    void Record(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    // Waits until `count` events start with prefix; the count-th such event, or "" on time-out.
    std::string WaitFor(const std::string& prefix, int timeoutMs = 3000, size_t count = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::string found;
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            size_t seen = 0;
            for (const auto& e : events_) {
                if (e.compare(0, prefix.size(), prefix) != 0) continue;
                if (++seen == count) {
                    found = e;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    bool Saw(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& e : events_) {
            if (e.find(text) != std::string::npos) return true;
        }
        return false;
    }
    // From now on a malformed head is answered (the way the program answers one) before the loop reads on.
    void AnswerMalformedHeads() { answerMalformed_ = true; }
    bool AnswersMalformedHeads() const { return answerMalformed_; }
    // The file /file requests send from.
    void ServeFile(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        file_ = path;
    }
    std::string File() {
        std::lock_guard<std::mutex> lock(mutex_);
        return file_;
    }
    // Waits until the index-th connection to reach the entry waits on its client again: its request
    // loop has asked for the next request, so the listener may close it to make room. Only for a
    // connection the listener cannot have ended meanwhile.
    bool WaitUntilEvictable(size_t index, int timeoutMs = 30000) {
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (index < connections_.size() && connections_[index]->ProgressSince() >= 0) return true;
            }
            if (Clock::now() > until) return false;
            SleepMs(1);
        }
    }
    void OpenGate() {
        std::lock_guard<std::mutex> lock(mutex_);
        gateOpen_ = true;
        changed_.notify_all();
    }
    // Like the program's long handlers, polls the shutdown flag while it waits.
    bool WaitGate(IHttpdConnection* connection) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (int i = 0; i < 250 && !gateOpen_ && !connection->ShutdownRequested(); ++i) {
            changed_.wait_for(lock, std::chrono::milliseconds(20));
        }
        return gateOpen_;
    }

private:
    static void* Entry(void* argument);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<kivhttp::HttpdConnection*> connections_;  // in the order they reached the entry
    bool gateOpen_ = false;
    std::string file_;
    std::atomic<bool> answerMalformed_{false};
    uint16_t port_ = 0;
    boost::shared_ptr<kiv_httpd_listener> listener_;
};

// Sends the whole body the way the program's reply writer does.
net_result SendAll(IHttpdRequest* request, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        size_t sent = 0;
        net_result r = request->Send(bytes.data() + done, bytes.size() - done, sent, 5000);
        done += sent;
        if (r == NET_WOULDBLOCK) continue;
        if (r != NET_DONE || sent == 0) return r == NET_DONE ? NET_ERROR : r;
    }
    return NET_DONE;
}

bool Reply(IHttpdRequest* request, int status, const std::string& body,
           const std::map<std::string, std::string>& extra = {}, const std::string& type = "text/plain") {
    HttpResponseHeaders head(status, status == 200 ? "OK" : "ERR");
    head.ContentLength = body.size();
    head.ContentType = type;
    head.Headers = extra;
    if (!request->SetHeaders(head) || request->SendHeaders(5000) != NET_OK) return false;
    return body.empty() || SendAll(request, body) == NET_DONE;
}

void Describe(IHttpdRequest* request) {
    std::string probe;
    bool has = request->GetHeader(probe, "x-probe");
    Reply(request, 200,
          "method=" + request->GetMethod() + "\npath=" + request->GetPath() + "\nquery=" + request->GetQuery() +
              "\nprobe=" + (has ? probe : "<none>") + "\n");
}

void EchoBody(TestServer* server, IHttpdRequest* request) {
    std::string body;
    size_t chunks = 0, largest = 0;
    char buffer[1000];
    for (;;) {
        size_t count = 0;
        net_result r = request->ReadBody(buffer, sizeof(buffer), count, 5000);
        if (r == NET_DONE) break;
        if (r != NET_OK) {
            server->Record("body error: " + request->GetLastError());
            Reply(request, 500, request->GetLastError());
            return;
        }
        body.append(buffer, count);
        ++chunks;
        largest = std::max(largest, count);
    }
    Reply(request, 200, body, {{"X-Chunks", std::to_string(chunks)}, {"X-Largest", std::to_string(largest)}});
}

// Reads the body, recording how much of it is held after each chunk ("held N of PATH"), and echoes it.
void HoldBody(TestServer* server, IHttpdRequest* request) {
    std::string body;
    char buffer[1000];
    for (;;) {
        size_t count = 0;
        net_result r = request->ReadBody(buffer, sizeof(buffer), count, 5000);
        if (r == NET_DONE) break;
        if (r != NET_OK) {
            server->Record("body error of " + request->GetPath() + ": " + request->GetLastError());
            Reply(request, 500, request->GetLastError());
            return;
        }
        body.append(buffer, count);
        server->Record("held " + std::to_string(body.size()) + " of " + request->GetPath());
    }
    Reply(request, 200, body);
}

// The listener's notices, whichever listener gives them.
std::mutex g_noticeMutex;
std::vector<std::string> g_notices;
void RecordNotice(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_noticeMutex);
    g_notices.push_back(text);
}
std::vector<std::string> Notices() {
    std::lock_guard<std::mutex> lock(g_noticeMutex);
    return g_notices;
}
// Limits whose notices are recorded afresh, given at most once per interval.
HttpdLimits RecordedNotices(uint32_t intervalMs) {
    {
        std::lock_guard<std::mutex> lock(g_noticeMutex);
        g_notices.clear();
    }
    HttpdLimits limits;
    limits.Notice = RecordNotice;
    limits.NoticeIntervalMs = intervalMs;
    return limits;
}
// The sum of the counts at the start of the notices (after "HTTP server: ") that contain what.
size_t NoticedCount(const std::string& what) {
    size_t total = 0;
    for (const std::string& line : Notices()) {
        const size_t at = line.find(what);
        if (at == std::string::npos) continue;
        const size_t digits = line.rfind(' ', line.rfind(" connection", at) - 1) + 1;
        total += std::stoul(line.substr(digits));
    }
    return total;
}

// Announces n KiB and sends them in pieces of `piece` bytes; records how the send ended. Each call
// has a time-out shorter than the stall limit, so the limit must hold across calls too.
void SendBig(TestServer* server, IHttpdRequest* request, size_t piece) {
    uint64_t total = std::stoull(request->GetQuery()) << 10;
    HttpResponseHeaders head(200, "OK");
    head.ContentLength = total;
    if (!request->SetHeaders(head) || request->SendHeaders(5000) != NET_OK) return;
    std::string block(piece, 'b');
    uint64_t done = 0;
    auto start = Clock::now();
    net_result r = NET_DONE;
    while (done < total) {
        size_t sent = 0;
        r = request->Send(block.data(), block.size(), sent, 100);  // shorter than the stall limit
        done += sent;
        if (r != NET_DONE && r != NET_WOULDBLOCK) break;
        if (r == NET_DONE && sent < block.size()) break;
    }
    server->Record("big: result=" + std::to_string(r) + " sent=" + std::to_string(done) +
                   " ms=" + std::to_string(MsSince(start)) + " error=" + request->GetLastError());
}

// "a=1&b=2" as numbers.
std::map<std::string, uint64_t> NumbersOf(const std::string& query) {
    std::map<std::string, uint64_t> numbers;
    size_t at = 0;
    while (at < query.size()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        size_t equals = query.find('=', at);
        if (equals < end) {
            numbers[query.substr(at, equals - at)] = std::stoull(query.substr(equals + 1, end - equals - 1));
        }
        at = end + 1;
    }
    return numbers;
}

// /file?offset=O&length=L[&announce=A][&piece=P][&ms=M][&gap=G]: announces A (default L) bytes,
// then sends L bytes of the served file from O with SendFromFile, P bytes a call (default all), M ms
// each, G ms apart. Records how the send ended and what the calls answered.
void SendFromServedFile(TestServer* server, IHttpdRequest* request) {
    std::map<std::string, uint64_t> q = NumbersOf(request->GetQuery());
    const uint64_t offset = q["offset"], length = q["length"];
    const uint64_t announce = q.count("announce") ? q["announce"] : length;
    const uint64_t piece = q.count("piece") ? q["piece"] : length;
    const uint32_t ms = q.count("ms") ? static_cast<uint32_t>(q["ms"]) : 5000;
    const int gap = static_cast<int>(q["gap"]);
    const int fd = ::open(server->File().c_str(), O_RDONLY | O_CLOEXEC);
    HttpResponseHeaders head(200, "OK");
    head.ContentLength = announce;
    if (fd < 0 || !request->SetHeaders(head) || request->SendHeaders(5000) != NET_OK) {
        server->Record("file: no head");
        if (fd >= 0) ::close(fd);
        return;
    }
    uint64_t done = 0;
    size_t wouldBlock = 0, wouldBlockWithBytes = 0;
    net_result r = NET_DONE;
    auto start = Clock::now();
    while (done < length) {
        const size_t want = static_cast<size_t>(std::min(piece, length - done));
        if (gap > 0 && done > 0) SleepMs(gap);
        size_t sent = 0;
        r = request->SendFromFile(fd, offset + done, want, sent, ms);
        done += sent;
        if (r == NET_WOULDBLOCK) {
            ++wouldBlock;
            if (sent != 0) ++wouldBlockWithBytes;
            continue;
        }
        if (r != NET_DONE || sent < want) break;
    }
    ::close(fd);
    server->Record("file: result=" + std::to_string(r) + " sent=" + std::to_string(done) +
                   " wouldblock=" + std::to_string(wouldBlock) + " wouldblock-with-bytes=" +
                   std::to_string(wouldBlockWithBytes) + " ms=" + std::to_string(MsSince(start)) +
                   " error=" + request->GetLastError());
}

// Replies with a head exactly as the query asks, then tries a second head for the same request.
void SendFormatted(TestServer* server, IHttpdRequest* request) {
    bool typed = request->GetQuery() != "untyped";
    HttpResponseHeaders bad(200, "OK");
    bad.Headers["X-Bad"] = "a\r\nInjected: yes";
    server->Record(std::string("injected header accepted=") + (request->SetHeaders(bad) ? "yes" : "no"));
    bad.Headers.clear();
    bad.Headers["Content-Length"] = "1";
    server->Record(std::string("own Content-Length accepted=") + (request->SetHeaders(bad) ? "yes" : "no"));
    Reply(request, 404, "<x/>", {{"Accept-Ranges", "bytes"}, {"X-Extra", "1"}}, typed ? "text/xml; charset=UTF8" : "");
    HttpResponseHeaders second(500, "ERR");
    bool accepted = request->SetHeaders(second);
    server->Record(std::string("second head accepted=") + (accepted ? "yes " : "no ") + request->GetLastError());
}

void Handle(TestServer* server, IHttpdConnection* connection, IHttpdRequest* request) {
    const std::string path = request->GetPath();
    if (path == "/body") return EchoBody(server, request);
    if (path.compare(0, 6, "/held-") == 0) return HoldBody(server, request);
    if (path == "/ignore-body") {
        Reply(request, 200, "ignored");
        return;
    }
    if (path == "/big") return SendBig(server, request, 64 * 1024);
    if (path == "/trickle") return SendBig(server, request, 1);
    if (path == "/format") return SendFormatted(server, request);
    if (path == "/file") return SendFromServedFile(server, request);
    if (path == "/short") {
        HttpResponseHeaders head(200, "OK");
        head.ContentLength = 10;
        size_t sent = 0;
        if (request->SetHeaders(head) && request->SendHeaders(5000) == NET_OK) request->Send("12345", 5, sent, 5000);
        return;
    }
    if (path == "/hold") {
        server->WaitGate(connection);
        Reply(request, 200, "held");
        return;
    }
    Describe(request);
}

void* TestServer::Entry(void* argument) {
    auto* connection = static_cast<IHttpdConnection*>(argument);
    auto* server = static_cast<TestServer*>(connection->GetUserData());
    IHttpdRequest* request = connection->GetRequest();
    server->Connected(static_cast<kivhttp::HttpdConnection*>(connection));
    for (;;) {
        if (connection->ShutdownRequested()) {
            server->Record("shutdown seen");
            return nullptr;
        }
        net_result r = request->ReadRequest(1000);
        if (r == NET_DONE) {
            server->Record("done");
            return nullptr;
        }
        if (r == NET_ERROR) {
            server->Record("read error: " + request->GetLastError());
            return nullptr;
        }
        if (r != NET_OK) continue;
        if (!request->ParseRequest()) {
            server->Record("parse error: " + request->GetLastError());
            if (!server->AnswersMalformedHeads()) return nullptr;
            Reply(request, 400, std::string(128 << 10, 'e'));
            server->Record("answered malformed head");
            server->WaitGate(connection);
            continue;
        }
        server->Record("request " + request->GetMethod() + " " + request->GetPath() + "?" + request->GetQuery());
        Handle(server, connection, request);
    }
}

// ---- the client side ----

struct HttpReply {
    int status = 0;
    std::string head;                            // as it came, with the closing blank line
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

class TestClient {
public:
    explicit TestClient(uint16_t port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~TestClient() { ::close(fd_); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool Connected() const { return connected_; }

    bool Write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // One reply; false when it did not arrive whole within the time. bodyless: the reply to HEAD.
    bool ReadReply(HttpReply& reply, bool bodyless = false, int timeoutMs = 3000) {
        reply = HttpReply();
        auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!Receive(until)) return false;
        }
        reply.head = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        if (reply.head.compare(0, 9, "HTTP/1.1 ") != 0) return false;
        reply.status = std::atoi(reply.head.c_str() + 9);
        size_t line = reply.head.find("\r\n") + 2;
        while (line < end) {
            size_t next = reply.head.find("\r\n", line);
            std::string field = reply.head.substr(line, next - line);
            size_t colon = field.find(": ");
            std::string name = field.substr(0, colon);
            for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            reply.headers[name] = field.substr(colon + 2);
            line = next + 2;
        }
        size_t length = bodyless ? 0 : std::stoul(reply.headers["content-length"]);
        while (buffer_.size() < length) {
            if (!Receive(until)) return false;
        }
        reply.body = buffer_.substr(0, length);
        buffer_.erase(0, length);
        return true;
    }

    // True when the server has closed the connection within the time (bytes before that are
    // kept for ReadReply).
    bool WaitClosed(int timeoutMs) {
        auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Receive(until)) {
        }
        return closed_;
    }
    // True once at least total bytes have arrived (kept for ReadReply and Buffered).
    bool ReadAtLeast(size_t total, int timeoutMs) {
        auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffer_.size() < total) {
            if (!Receive(until)) return false;
        }
        return true;
    }
    bool Closed() const { return closed_; }
    const std::string& Buffered() const { return buffer_; }

private:
    bool Receive(Clock::time_point until) {
        if (closed_) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            closed_ = true;  // orderly close or reset
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string buffer_;
};

class HttpdListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        ASSERT_TRUE(net_init());
    }
};

std::string Get(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: test\r\n" + extra + "\r\n";
}

// ---- requests ----

// A connection the server gave up on: it reads a 500 that says the connection closes, and then the
// server closes it. The reply, for checks of its body.
HttpReply ExpectRefusedAndClosed(TestClient& client) {
    HttpReply reply;
    EXPECT_TRUE(client.ReadReply(reply));  // a reset would have destroyed the reply
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.headers["connection"], "close");
    EXPECT_TRUE(client.WaitClosed(3000));
    return reply;
}

TEST_F(HttpdListenerTest, AnswersPipelinedRequestsInOrder) {
    TestServer server;
    ASSERT_TRUE(server.Running()) << kiv_httpd_listener::GetLastGetInstanceError();
    TestClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Write(Get("/first?n=1") + Get("/second?n=2") + "POST /body HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz" +
                             Get("/third")));
    HttpReply reply;
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("path=/first\nquery=n=1\n"), std::string::npos) << reply.body;
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_NE(reply.body.find("path=/second\nquery=n=2\n"), std::string::npos) << reply.body;
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_EQ(reply.body, "xyz");
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_NE(reply.body.find("path=/third\n"), std::string::npos) << reply.body;
    EXPECT_FALSE(client.Closed());
}

TEST_F(HttpdListenerTest, HandsTargetAndHeadersOverAsSent) {
    struct Case {
        std::string target, header, expected;
    };
    const Case cases[] = {
        {"/video/files/Movies%20A/?SessionID=1f&x=%41", "", "method=GET\npath=/video/files/Movies%20A/\nquery=SessionID=1f&x=%41\nprobe=<none>\n"},
        {"/a%2F..%2Fb?c?d", "X-PROBE:   two  words \t\r\n", "method=GET\npath=/a%2F..%2Fb\nquery=c?d\nprobe=two  words\n"},
        {"/caf\xC3\xA9", "x-probe:\r\n", "method=GET\npath=/caf\xC3\xA9\nquery=\nprobe=\n"},
    };
    TestServer server;
    ASSERT_TRUE(server.Running());
    TestClient client(server.Port());
    for (const auto& c : cases) {
        ASSERT_TRUE(client.Write(Get(c.target, c.header)));
        HttpReply reply;
        ASSERT_TRUE(client.ReadReply(reply)) << c.target;
        EXPECT_EQ(reply.body, c.expected);
    }
}

TEST_F(HttpdListenerTest, AnswersAMalformedHeadAndEndsTheConnection) {
    TestServer server;
    ASSERT_TRUE(server.Running());
    const struct {
        std::string head;
        std::string reply;
    } cases[] = {
        {"GET / HTTP/1.1\r\nBad Header: x\r\n\r\n", "HTTP/1.1 400 Bad Request\r\nContent-Length: 22\r\n"
                                                   "Content-Type: text/plain; charset=UTF8\r\nConnection: close\r\n\r\n"
                                                   "Malformed header name\n"},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n",
         "HTTP/1.1 411 Length Required\r\nContent-Length: 35\r\nContent-Type: text/plain; charset=UTF8\r\n"
         "Connection: close\r\n\r\nTransfer-Encoding is not supported\n"},
    };
    for (const auto& c : cases) {
        TestClient client(server.Port());
        ASSERT_TRUE(client.Write(c.head + Get("/next")));
        EXPECT_TRUE(client.WaitClosed(3000));
        EXPECT_EQ(client.Buffered(), c.reply);
    }
    EXPECT_EQ(server.WaitFor("parse error"), "parse error: Malformed header name");
    EXPECT_FALSE(server.Saw("/next"));
}

// ---- bodies ----

TEST_F(HttpdListenerTest, ReadsPostBodyInChunks) {
    TestServer server;
    ASSERT_TRUE(server.Running());
    TestClient client(server.Port());
    std::string body;
    for (int i = 0; i < 10000; ++i) body += static_cast<char>(i * 7 % 256);  // NULs, CR LF and all
    ASSERT_TRUE(client.Write("POST /body HTTP/1.1\r\nContent-Length: 10000\r\n\r\n" + body.substr(0, 1500)));
    SleepMs(50);
    ASSERT_TRUE(client.Write(body.substr(1500, 6000)));
    SleepMs(50);
    ASSERT_TRUE(client.Write(body.substr(7500) + Get("/after")));
    HttpReply reply;
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.body == body) << "body differs";
    EXPECT_EQ(reply.headers["x-largest"], "1000");
    EXPECT_GE(std::stoi(reply.headers["x-chunks"]), 10);
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_NE(reply.body.find("path=/after\n"), std::string::npos);
}

TEST_F(HttpdListenerTest, RequestWithoutBodyReadsAsCompleteAtOnce) {
    TestServer server;
    ASSERT_TRUE(server.Running());
    TestClient client(server.Port());
    ASSERT_TRUE(client.Write("POST /body HTTP/1.1\r\n\r\n"));
    HttpReply reply;
    ASSERT_TRUE(client.ReadReply(reply, false, 1000));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers["x-chunks"], "0");
}

TEST_F(HttpdListenerTest, CapsPostBodyAt64KiB) {
    TestServer server;
    ASSERT_TRUE(server.Running());
    {
        TestClient client(server.Port());
        std::string body(65536, 'k');
        ASSERT_TRUE(client.Write("POST /body HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + body + Get("/after-accepted")));
        HttpReply reply;
        ASSERT_TRUE(client.ReadReply(reply));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body.size(), 65536u);
        ASSERT_TRUE(client.ReadReply(reply));
        EXPECT_NE(reply.body.find("path=/after-accepted\n"), std::string::npos);
    }
    TestClient client(server.Port());
    ASSERT_TRUE(client.Write("POST /body HTTP/1.1\r\nContent-Length: 65537\r\n\r\n" + std::string(65537, 'k') +
                             Get("/after-refused")));
    SleepMs(200);  // the server has replied and closed by now, with our body bytes unread
    EXPECT_EQ(ExpectRefusedAndClosed(client).body, "Request body of 65537 bytes is over the limit of 65536 bytes");
    EXPECT_FALSE(server.Saw("/after-refused"));
}

TEST_F(HttpdListenerTest, DropsUnreadBodyBeforeTheNextRequest) {
    struct Case {
        const char* method;
        bool bodyLater;  // the body arrives only after the reply
    };
    const Case cases[] = {{"GET", false}, {"GET", true}, {"HEAD", false}, {"BREW", true}};
    const std::string smuggled = Get("/smuggled");
    TestServer server;
    ASSERT_TRUE(server.Running());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + (c.bodyLater ? " body later" : " body at once"));
        TestClient client(server.Port());
        std::string head = std::string(c.method) + " /ignore-body HTTP/1.1\r\nContent-Length: " +
                           std::to_string(smuggled.size()) + "\r\n\r\n";
        ASSERT_TRUE(client.Write(c.bodyLater ? head : head + smuggled + Get("/after")));
        bool bodyless = std::string(c.method) == "HEAD";
        HttpReply reply;
        ASSERT_TRUE(client.ReadReply(reply, bodyless));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.headers["content-length"], "7");
        EXPECT_EQ(reply.body, bodyless ? "" : "ignored");
        if (c.bodyLater) {
            ASSERT_TRUE(client.Write(smuggled + Get("/after")));
        }
        ASSERT_TRUE(client.ReadReply(reply));
        EXPECT_NE(reply.body.find("path=/after\n"), std::string::npos) << reply.body;
        EXPECT_EQ(client.Buffered(), "");  // a HEAD reply carried no body bytes
    }
    EXPECT_FALSE(server.Saw("/smuggled"));
}

// ---- limits on what a client can hold ----

TEST_F(HttpdListenerTest, RefusesHeadOver16KiB) {
    TestServer server;
    ASSERT_TRUE(server.Running());
    for (size_t total : {size_t(16384), size_t(16385)}) {
        std::string start = "GET /big-head HTTP/1.1\r\nX-Pad: ";
        std::string head = start + std::string(total - start.size() - 4, 'p') + "\r\n\r\n";
        ASSERT_EQ(head.size(), total);
        TestClient client(server.Port());
        ASSERT_TRUE(client.Write(head));
        HttpReply reply;
        if (total == 16384) {
            EXPECT_TRUE(client.ReadReply(reply));
            EXPECT_EQ(reply.status, 200);
        } else {
            EXPECT_TRUE(client.WaitClosed(3000));
            EXPECT_EQ(0u, client.Buffered().find("HTTP/1.1 431 Request Header Fields Too Large\r\n"));
            EXPECT_NE(std::string::npos, client.Buffered().find("\r\nConnection: close\r\n"));
            EXPECT_EQ(server.WaitFor("read error"), "read error: Request head is larger than 16384 bytes");
        }
    }
}

TEST_F(HttpdListenerTest, CutsOffASlowHeadWhileServingOthers) {
    HttpdLimits limits;
    limits.HeadDeadlineMs = 800;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    TestClient slow(server.Port());
    const std::string head = Get("/slow", "X-Pad: " + std::string(100, 'p') + "\r\n");
    auto start = Clock::now();
    size_t next = 0;
    bool servedOther = false;
    while (!slow.Closed() && MsSince(start) < 3000) {
        if (next < head.size()) slow.Write(head.substr(next++, 1));  // one byte every 200 ms
        if (!servedOther) {
            TestClient other(server.Port());
            HttpReply reply;
            servedOther = other.Write(Get("/other")) && other.ReadReply(reply) && reply.status == 200;
        }
        slow.WaitClosed(200);
    }
    long long cutAfter = MsSince(start);
    EXPECT_TRUE(servedOther);
    EXPECT_TRUE(slow.Closed());
    EXPECT_GE(cutAfter, 700);
    EXPECT_LT(cutAfter, 1800);
    EXPECT_EQ(server.WaitFor("read error"), "read error: Request head not complete within 800 ms");
    EXPECT_FALSE(server.Saw("/slow"));
}

TEST_F(HttpdListenerTest, EndsIdleKeepAliveConnection) {
    HttpdLimits limits;
    limits.IdleMs = 400;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    TestClient client(server.Port());
    HttpReply reply;
    for (int i = 0; i < 3; ++i) {  // 750 ms in all, but never 400 ms without a request
        SleepMs(250);
        ASSERT_TRUE(client.Write(Get("/ping"))) << i;
        ASSERT_TRUE(client.ReadReply(reply)) << i;
    }
    auto idleFrom = Clock::now();
    EXPECT_TRUE(client.WaitClosed(3000));
    long long closedAfter = MsSince(idleFrom);
    EXPECT_GE(closedAfter, 300);
    EXPECT_LT(closedAfter, 1500);
    EXPECT_EQ(server.WaitFor("done"), "done");
}

TEST_F(HttpdListenerTest, ClientThatStopsReadingEndsOnlyItsConnection) {
    HttpdLimits limits;
    limits.SendStallMs = 500;
    limits.SendBufferBytes = 16 * 1024;  // quick to fill, even a byte at a time
    // Large pieces stall part-way through one call; single bytes find the buffer full at the
    // start of a call, again and again.
    for (const char* target : {"/big?262144", "/trickle?262144"}) {
        SCOPED_TRACE(target);
        TestServer server(limits);
        ASSERT_TRUE(server.Running());
        TestClient stuck(server.Port(), 4096);
        ASSERT_TRUE(stuck.Write(Get(target)));  // 256 MiB, far more than both socket buffers hold
        ASSERT_NE(server.WaitFor("request GET"), "");
        TestClient other(server.Port());
        HttpReply reply;
        ASSERT_TRUE(other.Write(Get("/other")));
        EXPECT_TRUE(other.ReadReply(reply));
        EXPECT_EQ(reply.status, 200);

        // Without the stall limit the send would never end; the upper bounds hold at load 30.
        std::string outcome = server.WaitFor("big:", 30000);
        ASSERT_NE(outcome, "");
        EXPECT_EQ(outcome.compare(0, 15, "big: result=1 s"), 0) << outcome;
        EXPECT_NE(outcome.find("error=The client took no reply bytes for 500 ms"), std::string::npos) << outcome;
        long long ms = std::stoll(outcome.substr(outcome.find("ms=") + 3));
        EXPECT_GE(ms, 500);
        EXPECT_LT(ms, 20000);
        EXPECT_TRUE(stuck.WaitClosed(10000));
        ASSERT_TRUE(other.Write(Get("/still-here")));
        EXPECT_TRUE(other.ReadReply(reply));
    }
}

// Closing with the client's bytes unread makes the kernel reset the connection and drop the part
// of the reply still queued; the listener lingers instead, so a slow reader gets all of it.
TEST_F(HttpdListenerTest, KeepsTheLastReplyWhenClosingWithBytesUnread) {
    HttpdLimits limits;
    limits.SendBufferBytes = 200 * 1024;  // the whole reply fits: the server is done at once
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    TestClient client(server.Port(), 8192);
    ASSERT_TRUE(client.Write("POST /big?128 HTTP/1.1\r\nConnection: close\r\nContent-Length: 2000\r\n\r\n"));
    ASSERT_NE(server.WaitFor("big:"), "");
    ASSERT_TRUE(client.Write(std::string(2000, 'u')));  // the body comes late, after the reply
    SleepMs(300);  // most of the reply still waits in the server's socket
    EXPECT_TRUE(client.WaitClosed(3000));
    size_t end = client.Buffered().find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(client.Buffered().size() - end - 4, 128u << 10);
}

// After a malformed head the connection ends as the others do: lingering, so bytes the client sent after
// it do not make the kernel reset the connection and destroy the error reply still on its way.
// The listener answers a malformed head itself; a reply the program then tries is refused, so the client
// gets one reply, and it survives the close although the client's later bytes were never read.
TEST_F(HttpdListenerTest, KeepsTheReplyToAMalformedHeadWhenClosingWithBytesUnread) {
    HttpdLimits limits;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    server.AnswerMalformedHeads();
    TestClient client(server.Port(), 8192);
    ASSERT_TRUE(client.Write("GET / HTTP/1.1\r\nBad Header: x\r\n\r\n"));
    ASSERT_NE(server.WaitFor("answered malformed head"), "");
    ASSERT_TRUE(client.Write(std::string(200000, 'u')));  // unread by the server when it closes
    SleepMs(100);
    server.OpenGate();  // the request loop reads on, and the connection ends
    EXPECT_TRUE(client.WaitClosed(3000));
    EXPECT_EQ(client.Buffered(), "HTTP/1.1 400 Bad Request\r\nContent-Length: 22\r\n"
                                 "Content-Type: text/plain; charset=UTF8\r\nConnection: close\r\n\r\n"
                                 "Malformed header name\n");
}

TEST_F(HttpdListenerTest, EvictsTheLongestIdleConnectionAtTheCap) {
    HttpdLimits limits;
    limits.MaxConnections = 3;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    TestClient busy(server.Port());  // the oldest, but in the middle of a request
    ASSERT_TRUE(busy.Write(Get("/hold")));
    ASSERT_NE(server.WaitFor("request GET /hold"), "");
    TestClient oldIdle(server.Port());
    ASSERT_NE(server.WaitFor("connected", 3000, 2), "");
    SleepMs(50);
    TestClient newIdle(server.Port());
    HttpReply reply;
    ASSERT_TRUE(newIdle.Write(Get("/ping")) && newIdle.ReadReply(reply));  // idle again, since later

    TestClient newcomer(server.Port());
    ASSERT_TRUE(newcomer.Write(Get("/newcomer")));
    EXPECT_TRUE(newcomer.ReadReply(reply));
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(oldIdle.WaitClosed(2000));
    // The end of a connection closed to make room is counted in the notices, not an error of its own.
    EXPECT_NE(server.WaitFor("done"), "");
    EXPECT_FALSE(server.Saw("read error"));

    server.OpenGate();
    EXPECT_TRUE(busy.ReadReply(reply));
    EXPECT_EQ(reply.body, "held");
    ASSERT_TRUE(newIdle.Write(Get("/ping")));
    EXPECT_TRUE(newIdle.ReadReply(reply));
}

// A body that trickles in is no better than an idle connection: at the cap the connection whose last
// byte came longest ago goes, whether it waits for a body or for a next request.
TEST_F(HttpdListenerTest, EvictsTheConnectionWithTheLeastRecentProgressEvenInABody) {
    HttpdLimits limits;
    limits.MaxConnections = 3;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    TestClient slowBody(server.Port());
    ASSERT_TRUE(slowBody.Write("POST /body HTTP/1.1\r\nContent-Length: 100\r\n\r\nx"));
    ASSERT_NE(server.WaitFor("request POST /body"), "");
    SleepMs(100);
    TestClient idle(server.Port());  // idle, but its last request came after the body's last byte
    HttpReply reply;
    ASSERT_TRUE(idle.Write(Get("/ping")) && idle.ReadReply(reply));
    TestClient busy(server.Port());  // serving a request: never evicted
    ASSERT_TRUE(busy.Write(Get("/hold")));
    ASSERT_NE(server.WaitFor("request GET /hold"), "");

    TestClient newcomer(server.Port());
    ASSERT_TRUE(newcomer.Write(Get("/newcomer")));
    ASSERT_TRUE(newcomer.ReadReply(reply));
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(slowBody.WaitClosed(3000));
    EXPECT_EQ(server.WaitFor("body error"), "body error: Connection closed to make room for a new one");
    ASSERT_TRUE(idle.Write(Get("/ping")));
    EXPECT_TRUE(idle.ReadReply(reply));
    server.OpenGate();
    EXPECT_TRUE(busy.ReadReply(reply));
}

// Connections closed at the cap are counted and reported at most once per interval, with their number:
// a flood of newcomers makes a few lines, not one per connection.
TEST_F(HttpdListenerTest, CountsTheConnectionsClosedToMakeRoomInNoticesAtMostOncePerInterval) {
    HttpdLimits limits = RecordedNotices(2000);
    limits.MaxConnections = 2;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    const auto start = Clock::now();
    std::vector<std::unique_ptr<TestClient>> clients;
    const size_t kNewcomers = 12;
    for (size_t i = 0; i < kNewcomers + 2; ++i) {
        clients.emplace_back(new TestClient(server.Port()));
        HttpReply reply;
        ASSERT_TRUE(clients.back()->Write(Get("/ping")) && clients.back()->ReadReply(reply));
        // Until its request loop asks for the next request, a connection that has sent its reply still
        // counts as busy, and a newcomer finding only busy ones is refused.
        ASSERT_TRUE(server.WaitUntilEvictable(i)) << i;
    }
    const long long sent = MsSince(start);
    for (int i = 0; i < 200 && NoticedCount("closed to make room") < kNewcomers; ++i) SleepMs(50);
    // The stalest go; two that answered within the same millisecond may go in either order.
    size_t closed = 0;
    for (auto& client : clients) closed += client->WaitClosed(100);
    EXPECT_EQ(closed, kNewcomers);
    EXPECT_TRUE(clients[0]->Closed());
    EXPECT_FALSE(clients.back()->Closed());
    const std::vector<std::string> notices = Notices();
    ASSERT_FALSE(notices.empty());
    EXPECT_EQ(notices.front(), "HTTP server: 1 connection closed to make room at the cap of 2");
    EXPECT_EQ(NoticedCount("closed to make room at the cap of 2"), kNewcomers);
    // The first comes at once, then at most one a interval while the newcomers came, and the rest.
    EXPECT_LE(notices.size(), static_cast<size_t>(2 + sent / 2000));
    for (size_t i = 1; i < notices.size(); ++i) EXPECT_NE(notices[i].find(" in the last "), std::string::npos) << notices[i];
    EXPECT_FALSE(server.Saw("read error"));
}

// The request bytes that connections hold share one budget beyond each one's own allowance. When it is
// spent, the connection whose bytes have been coming in longest is cut; its request may still be
// answered. The others go on, and a small request is served meanwhile.
TEST_F(HttpdListenerTest, CutsTheLongestHolderWhenTheHeldBytesBudgetIsSpent) {
    HttpdLimits limits = RecordedNotices(100);
    limits.HeldBytesBudget = 20000;
    limits.HeldBytesFree = 1000;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    const std::string part(9000, 'b');
    auto post = [](const std::string& name) {
        return "POST /held-" + name + " HTTP/1.1\r\nContent-Length: 10000\r\n\r\n";
    };
    // Each holds about 8 KB of the budget once its 9,000 bytes are in: two fit, the third does not.
    TestClient oldest(server.Port());
    ASSERT_TRUE(oldest.Write(post("oldest") + part));
    ASSERT_NE(server.WaitFor("held 9000 of /held-oldest"), "");
    TestClient middle(server.Port());
    ASSERT_TRUE(middle.Write(post("middle") + part));
    ASSERT_NE(server.WaitFor("held 9000 of /held-middle"), "");
    TestClient newest(server.Port());
    ASSERT_TRUE(newest.Write(post("newest") + part));
    ASSERT_NE(server.WaitFor("held 9000 of /held-newest"), "");

    EXPECT_EQ(server.WaitFor("body error"),
              "body error of /held-oldest: Connection cut: the request bytes held across connections reached their budget");
    ExpectRefusedAndClosed(oldest);
    HttpReply reply;

    // Within its own allowance a request needs nothing of the budget.
    TestClient small(server.Port());
    ASSERT_TRUE(small.Write(Get("/ping")) && small.ReadReply(reply));
    EXPECT_EQ(reply.status, 200);
    for (TestClient* client : {&middle, &newest}) {
        ASSERT_TRUE(client->Write(std::string(1000, 'e')));
        ASSERT_TRUE(client->ReadReply(reply));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body.size(), 10000u);
    }
    EXPECT_EQ(server.WaitFor("body error", 3000, 2), "");
    for (int i = 0; i < 100 && NoticedCount("reached their budget") < 1; ++i) SleepMs(50);
    EXPECT_EQ(Notices(), std::vector<std::string>{"HTTP server: 1 connection cut as the request bytes held reached their "
                                                  "budget of 19 KiB"});
}

// A head counts as held too: heads that trickle in on many connections cannot hold more than the
// allowances and the budget; the connection cut ends without an error of its own.
TEST_F(HttpdListenerTest, HeadsThatTrickleInDrawOnTheHeldBytesBudget) {
    HttpdLimits limits = RecordedNotices(100);
    limits.HeldBytesBudget = 6000;
    limits.HeldBytesFree = 500;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    const std::string start = "GET /slow HTTP/1.1\r\nX-Long: " + std::string(3000, 'h');
    // Each holds about 2.5 KB of the budget: two fit, four do not.
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back(new TestClient(server.Port()));
        ASSERT_TRUE(clients.back()->Write(start));
    }
    for (int i = 0; i < 200 && NoticedCount("reached their budget of 5 KiB") < 2; ++i) SleepMs(50);
    EXPECT_EQ(NoticedCount("reached their budget of 5 KiB"), 2u);
    size_t closed = 0;
    for (auto& client : clients) closed += client->WaitClosed(200);
    EXPECT_EQ(closed, 2u);
    EXPECT_NE(server.WaitFor("done", 3000, 2), "");
    EXPECT_FALSE(server.Saw("read error"));
    // The others still finish their heads and are answered.
    size_t answered = 0;
    for (auto& client : clients) {
        HttpReply reply;
        if (!client->Closed() && client->Write("\r\n\r\n") && client->ReadReply(reply) && reply.status == 200) ++answered;
    }
    EXPECT_EQ(answered, 2u);
}

// After a grace period a body must come at a minimum rate; one byte every 150 ms is below 100 bytes/s.
TEST_F(HttpdListenerTest, CutsOffABodyBelowTheMinimumRate) {
    HttpdLimits limits;
    limits.MinBodyBytesPerSecond = 100;
    limits.BodyGraceMs = 300;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    TestClient client(server.Port());
    const auto start = Clock::now();
    ASSERT_TRUE(client.Write("POST /body HTTP/1.1\r\nContent-Length: 1000\r\n\r\n"));
    std::string seen;
    for (int i = 0; i < 100 && seen.empty(); ++i) {
        client.Write("b");
        SleepMs(150);
        seen = server.Saw("body error") ? "yes" : "";
    }
    EXPECT_EQ(server.WaitFor("body error"), "body error: Request body slower than 100 bytes per second");
    // Cut off at about 0.3 s + (bytes received) x 10 ms, long before the 30 s body deadline.
    EXPECT_LT(MsSince(start), 15000);
    ExpectRefusedAndClosed(client);

    // A body that keeps the rate is read whole.
    HttpReply reply;
    TestClient steady(server.Port());
    ASSERT_TRUE(steady.Write("POST /body HTTP/1.1\r\nContent-Length: 60\r\n\r\n"));
    for (int i = 0; i < 6; ++i) {
        SleepMs(100);
        ASSERT_TRUE(steady.Write("0123456789"));
    }
    ASSERT_TRUE(steady.ReadReply(reply, false, 10000));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.size(), 60u);
}

TEST(HttpdConnectionCap, FollowsTheOpenFileLimit) {
    const struct {
        uint64_t limit;
        size_t wanted;
        size_t cap;
    } cases[] = {
        {1024, 2048, 480},      // a desktop's soft limit: two descriptors a connection, 64 kept back
        {4096, 2048, 2016},
        {20000, 2048, 2048},    // enough: the wanted cap
        {1048576, 2048, 2048},
        {100, 10, 10},
        {130, 2048, 33},
        {64, 2048, 1},          // never 0
        {0, 2048, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(c.cap, ConnectionCapForOpenFiles(c.limit, c.wanted)) << c.limit;
}

TEST_F(HttpdListenerTest, ServesManyConnectionsAtOnce) {
    TestServer server;
    ASSERT_TRUE(server.Running());
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 150; ++i) {
        clients.push_back(std::make_unique<TestClient>(server.Port()));
        ASSERT_TRUE(clients.back()->Connected()) << i;
    }
    ASSERT_NE(server.WaitFor("connected", 30000, 150), "");
    for (size_t i = 0; i < clients.size(); ++i) ASSERT_TRUE(clients[i]->Write(Get("/n?" + std::to_string(i))));
    for (size_t i = 0; i < clients.size(); ++i) {
        HttpReply reply;
        ASSERT_TRUE(clients[i]->ReadReply(reply)) << i;
        EXPECT_NE(reply.body.find("query=" + std::to_string(i) + "\n"), std::string::npos);
    }
}

// ---- replies ----

TEST_F(HttpdListenerTest, WritesTheReplyHeadAsGiven) {
    TestServer server;
    ASSERT_TRUE(server.Running());
    TestClient client(server.Port());
    ASSERT_TRUE(client.Write(Get("/format") + Get("/format?untyped")));
    HttpReply reply;
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_EQ(reply.head,
              "HTTP/1.1 404 ERR\r\nContent-Length: 4\r\nContent-Type: text/xml; charset=UTF8\r\n"
              "Accept-Ranges: bytes\r\nX-Extra: 1\r\n\r\n");
    EXPECT_EQ(reply.body, "<x/>");
    ASSERT_TRUE(client.ReadReply(reply));
    EXPECT_EQ(reply.head, "HTTP/1.1 404 ERR\r\nContent-Length: 4\r\nAccept-Ranges: bytes\r\nX-Extra: 1\r\n\r\n");
    EXPECT_TRUE(server.Saw("injected header accepted=no"));
    EXPECT_TRUE(server.Saw("own Content-Length accepted=no"));
    // Recorded after each reply went out.
    EXPECT_EQ(server.WaitFor("second head", 3000, 2),
              "second head accepted=no A reply head was already sent for this request");
    EXPECT_FALSE(server.Saw("accepted=yes"));
}

TEST_F(HttpdListenerTest, KeepsAliveOrClosesAsTheClientAsks) {
    struct Case {
        std::string version, header, replyConnection;
        bool closes;
    };
    const Case cases[] = {
        {"HTTP/1.1", "", "", false},
        {"HTTP/1.1", "Connection: close\r\n", "close", true},
        {"HTTP/1.0", "", "close", true},
        {"HTTP/1.0", "Connection: keep-alive\r\n", "keep-alive", false},
    };
    TestServer server;
    ASSERT_TRUE(server.Running());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version + " " + c.header);
        TestClient client(server.Port());
        ASSERT_TRUE(client.Write("GET /ka " + c.version + "\r\n" + c.header + "\r\n"));
        HttpReply reply;
        ASSERT_TRUE(client.ReadReply(reply));
        EXPECT_EQ(reply.headers.count("connection") ? reply.headers["connection"] : "", c.replyConnection);
        if (c.closes) {
            EXPECT_TRUE(client.WaitClosed(2000));
        } else {
            ASSERT_TRUE(client.Write(Get("/again")));
            EXPECT_TRUE(client.ReadReply(reply));
        }
    }
}

TEST_F(HttpdListenerTest, ClosesTheConnectionAfterAShortReply) {
    TestServer server;
    ASSERT_TRUE(server.Running());
    TestClient client(server.Port());
    ASSERT_TRUE(client.Write(Get("/short") + Get("/after")));
    EXPECT_TRUE(client.WaitClosed(3000));
    EXPECT_NE(client.Buffered().find("Content-Length: 10\r\n"), std::string::npos);
    EXPECT_EQ(client.Buffered().substr(client.Buffered().size() - 5), "12345");
    EXPECT_EQ(server.WaitFor("read error"),
              "read error: The previous reply was 5 bytes short of its Content-Length; connection closed");
    EXPECT_FALSE(server.Saw("/after"));
}

// ---- replies straight from a file ----

const uint64_t kMiB = 1ull << 20;
const uint64_t kGiB = 1ull << 30;

// Bytes that differ from one offset to the next, so a shifted or repeated stretch shows.
std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
    return bytes;
}

bool WriteAt(const std::string& path, const std::string& bytes, uint64_t offset) {
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                    static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && ok;
}

bool MakeSparse(const std::string& path, uint64_t size) {
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    return ::close(fd) == 0 && ok;
}

std::string ReadAt(const std::string& path, uint64_t offset, size_t length) {
    std::string bytes(length, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd < 0 ? -1 : ::pread(fd, &bytes[0], length, static_cast<off_t>(offset));
    if (fd >= 0) ::close(fd);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

std::string FileTarget(uint64_t offset, uint64_t length, const std::string& more = "") {
    return "/file?offset=" + std::to_string(offset) + "&length=" + std::to_string(length) + more;
}

// What the server recorded for its one /file send, in pieces.
struct FileOutcome {
    std::string text;
    int result = -1;
    uint64_t sent = 0, wouldBlock = 0, wouldBlockWithBytes = 0;
    long long ms = 0;
    std::string error;
};

FileOutcome ParseOutcome(const std::string& text) {
    FileOutcome o;
    o.text = text;
    if (text.compare(0, 6, "file: ") != 0) return o;
    const auto number = [&](const std::string& key) {
        return std::stoull(text.substr(text.find(" " + key + "=") + key.size() + 2));
    };
    o.result = static_cast<int>(number("result"));
    o.sent = number("sent");
    o.wouldBlock = number("wouldblock");
    o.wouldBlockWithBytes = number("wouldblock-with-bytes");
    o.ms = static_cast<long long>(number("ms"));
    o.error = text.substr(text.find(" error=") + 7);
    return o;
}

class FileSendTest : public HttpdListenerTest {
protected:
    testsupport::TempDir temp;
};

TEST_F(FileSendTest, SendsTheFilesOwnBytesFromAnyOffsetOfALargeSparseFile) {
    const uint64_t size = 5 * kGiB + 4321;  // offsets past 32 bits
    const uint64_t line = 4 * kGiB;
    const std::string file = temp.file("sparse.bin");
    ASSERT_TRUE(MakeSparse(file, size));
    ASSERT_TRUE(WriteAt(file, Pattern(200000, 1), 0));
    ASSERT_TRUE(WriteAt(file, Pattern(300000, 2), line - 150000));  // across the 4 GiB line
    ASSERT_TRUE(WriteAt(file, Pattern(100000, 3), size - 100000));
    const struct {
        uint64_t offset, length, piece;  // piece 0: one call for all
    } cases[] = {
        {0, 200000, 0},
        {1, 199999, 65537},                  // several calls, none aligned
        {line - 150010, 300020, 0},          // across the 4 GiB line and the edges of the holes
        {line + 7, kMiB + 3, 262144},        // past 4 GiB
        {line + kGiB / 2, 3 * kMiB, 0},      // inside a hole: zeros, far more than the socket holds
        {size - 100000, 100000, 0},          // up to the last byte
    };
    TestServer server;
    ASSERT_TRUE(server.Running());
    server.ServeFile(file);
    TestClient client(server.Port());  // one keep-alive connection for all of them
    size_t served = 0;
    for (const auto& c : cases) {
        const std::string label = std::to_string(c.offset) + "+" + std::to_string(c.length);
        SCOPED_TRACE(label);
        const std::string piece = c.piece ? "&piece=" + std::to_string(c.piece) : "";
        ASSERT_TRUE(client.Write(Get(FileTarget(c.offset, c.length, piece))));
        HttpReply reply;
        ASSERT_TRUE(client.ReadReply(reply, false, 10000));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.headers["content-length"], std::to_string(c.length));
        EXPECT_TRUE(reply.body == ReadAt(file, c.offset, static_cast<size_t>(c.length))) << "body differs";
        const FileOutcome outcome = ParseOutcome(server.WaitFor("file:", 3000, ++served));
        EXPECT_EQ(outcome.result, NET_DONE) << outcome.text;
        EXPECT_EQ(outcome.sent, c.length) << outcome.text;
    }
    EXPECT_FALSE(client.Closed());
}

TEST_F(FileSendTest, AReplyToHeadCountsTheFileBytesAndWritesNone) {
    const std::string file = temp.file("small.bin");
    ASSERT_TRUE(WriteAt(file, Pattern(100000, 4), 0));
    TestServer server;
    ASSERT_TRUE(server.Running());
    server.ServeFile(file);
    TestClient client(server.Port());
    ASSERT_TRUE(client.Write("HEAD " + FileTarget(0, 100000) + " HTTP/1.1\r\n\r\n" + Get(FileTarget(500, 10))));
    HttpReply reply;
    ASSERT_TRUE(client.ReadReply(reply, true));
    EXPECT_EQ(reply.headers["content-length"], "100000");
    ASSERT_TRUE(client.ReadReply(reply));  // the next reply follows the head directly
    EXPECT_EQ(reply.body, ReadAt(file, 500, 10));
    EXPECT_EQ(client.Buffered(), "");
    EXPECT_EQ(ParseOutcome(server.WaitFor("file:")).sent, 100000u);
}

// File bodies go out in whole segments while a send runs; what is left when it returns leaves at once,
// not when the kernel's cork timer (200 ms) runs out: 25 replies take far less than 5 s.
TEST_F(FileSendTest, TheEndOfEachReplyLeavesAtOnce) {
    const std::string file = temp.file("small.bin");
    ASSERT_TRUE(WriteAt(file, Pattern(1000, 5), 0));
    TestServer server;
    ASSERT_TRUE(server.Running());
    server.ServeFile(file);
    TestClient client(server.Port());
    const auto start = Clock::now();
    for (int i = 0; i < 25; ++i) {
        ASSERT_TRUE(client.Write(Get(FileTarget(i, 1000 - i, "&piece=300"))));
        HttpReply reply;
        ASSERT_TRUE(client.ReadReply(reply, false, 10000));
        ASSERT_EQ(reply.body, ReadAt(file, i, 1000 - i));
    }
    EXPECT_LT(MsSince(start), 4000);
}

TEST_F(FileSendTest, NeverSendsPastTheAnnouncedLength) {
    const std::string file = temp.file("small.bin");
    ASSERT_TRUE(WriteAt(file, Pattern(100000, 5), 0));
    const struct {
        uint64_t piece;
        uint64_t bodyBytes;  // what goes before the refused call
        const char* error;
    } cases[] = {
        {2000, 0, "Send of 2000 bytes goes past the reply's Content-Length (1000 bytes left)"},
        {600, 600, "Send of 600 bytes goes past the reply's Content-Length (400 bytes left)"},
    };
    TestServer server;
    ASSERT_TRUE(server.Running());
    server.ServeFile(file);
    size_t served = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.piece);
        TestClient client(server.Port());
        ASSERT_TRUE(client.Write(Get(FileTarget(0, 2000, "&announce=1000&piece=" + std::to_string(c.piece)))));
        const FileOutcome outcome = ParseOutcome(server.WaitFor("file:", 3000, ++served));
        EXPECT_EQ(outcome.result, NET_ERROR) << outcome.text;
        EXPECT_EQ(outcome.sent, c.bodyBytes) << outcome.text;
        EXPECT_EQ(outcome.error, c.error);
        // The reply stays short, so the connection ends after it.
        EXPECT_TRUE(client.WaitClosed(3000));
        const size_t end = client.Buffered().find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_NE(client.Buffered().find("Content-Length: 1000\r\n"), std::string::npos);
        EXPECT_TRUE(client.Buffered().substr(end + 4) == ReadAt(file, 0, static_cast<size_t>(c.bodyBytes)));
    }
}

TEST_F(FileSendTest, AFileShorterThanAnnouncedEndsTheConnectionWithTheBytesItHas) {
    const std::string file = temp.file("short.bin");
    ASSERT_TRUE(WriteAt(file, Pattern(10000, 6), 0));
    const struct {
        uint64_t offset, length, piece;
        uint64_t exists;  // bytes of the range the file has
    } cases[] = {
        {9500, 1000, 0, 500},
        {9500, 1000, 300, 500},  // the end inside a later call
        {10000, 1000, 0, 0},
        {20000, 10, 0, 0},
    };
    TestServer server;
    ASSERT_TRUE(server.Running());
    server.ServeFile(file);
    size_t served = 0;
    for (const auto& c : cases) {
        const std::string label = std::to_string(c.offset) + "+" + std::to_string(c.length);
        SCOPED_TRACE(label);
        TestClient client(server.Port());
        const std::string piece = c.piece ? "&piece=" + std::to_string(c.piece) : "";
        const std::string after = "/after-" + label;
        ASSERT_TRUE(client.Write(Get(FileTarget(c.offset, c.length, piece)) + Get(after)));
        EXPECT_TRUE(client.WaitClosed(3000));  // rather than hang with the reply short
        const size_t end = client.Buffered().find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_TRUE(client.Buffered().substr(end + 4) == ReadAt(file, c.offset, static_cast<size_t>(c.exists)));
        const FileOutcome outcome = ParseOutcome(server.WaitFor("file:", 3000, ++served));
        EXPECT_EQ(outcome.result, NET_ERROR) << outcome.text;
        EXPECT_EQ(outcome.sent, c.exists);
        EXPECT_EQ(outcome.error, "The file ends before offset " + std::to_string(c.offset + c.exists) +
                                     ": the reply is " + std::to_string(c.length - c.exists) +
                                     " bytes short of its Content-Length");
        EXPECT_FALSE(server.Saw(after));
    }
}

// Unlike a mapping of the file, which turns the vanished pages into SIGBUS for the whole process.
TEST_F(FileSendTest, AFileTruncatedDuringTheSendEndsOnlyThatConnection) {
    const size_t size = 64 * kMiB;
    const std::string original = Pattern(size, 7);
    const struct {
        size_t cutTo;
        const char* what;
    } cases[] = {
        {32 * kMiB, "cut beyond what has gone: the client gets every byte up to the cut"},
        {0, "cut before what has gone: the client keeps what was on its way"},
    };
    HttpdLimits limits;
    limits.SendBufferBytes = 64 * 1024;
    TestServer server(limits);
    ASSERT_TRUE(server.Running());
    const std::string file = temp.file("shrinking.bin");
    server.ServeFile(file);
    size_t served = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::WriteFile(file, original);
        TestClient client(server.Port(), 64 * 1024);
        ASSERT_TRUE(client.Write(Get(FileTarget(0, size, "&piece=" + std::to_string(4 * kMiB)))));
        ASSERT_TRUE(client.ReadAtLeast(kMiB, 5000));
        SleepMs(100);  // the server now waits for room in the socket, part-way through the file
        ASSERT_EQ(0, ::truncate(file.c_str(), static_cast<off_t>(c.cutTo)));
        EXPECT_TRUE(client.WaitClosed(60000));  // 32 MiB through small buffers, at load 30
        const size_t end = client.Buffered().find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        const std::string body = client.Buffered().substr(end + 4);
        EXPECT_TRUE(body == original.substr(0, body.size())) << "body differs";
        if (c.cutTo > 0) {
            EXPECT_EQ(body.size(), c.cutTo);
        } else {
            EXPECT_GE(body.size(), kMiB - end - 4);
            EXPECT_LT(body.size(), 16 * kMiB);
        }
        const FileOutcome outcome = ParseOutcome(server.WaitFor("file:", 3000, ++served));
        EXPECT_EQ(outcome.result, NET_ERROR) << outcome.text;
        EXPECT_EQ(outcome.sent, body.size());
        EXPECT_EQ(outcome.error.compare(0, 28 + std::to_string(body.size()).size(),
                                        "The file ends before offset " + std::to_string(body.size())),
                  0)
            << outcome.error;
        // The server serves on.
        TestClient other(server.Port());
        HttpReply reply;
        ASSERT_TRUE(other.Write(Get("/ping")));
        EXPECT_TRUE(other.ReadReply(reply));
    }
}

TEST_F(FileSendTest, AClientThatStopsReadingHitsTheStallLimit) {
    const std::string file = temp.file("hole.bin");
    ASSERT_TRUE(MakeSparse(file, kGiB));
    HttpdLimits limits;
    limits.SendStallMs = 500;
    limits.SendBufferBytes = 16 * 1024;
    // Large pieces stall part-way through one call; single bytes find the socket full at the start of a
    // call, again and again: nothing sent within the call's 100 ms, NET_WOULDBLOCK, with the stall
    // counted across the calls.
    for (const char* piece : {"1048576", "1"}) {
        SCOPED_TRACE(piece);
        TestServer server(limits);
        ASSERT_TRUE(server.Running());
        server.ServeFile(file);
        TestClient stuck(server.Port(), 4096);
        ASSERT_TRUE(stuck.Write(Get(FileTarget(0, kGiB, std::string("&ms=100&piece=") + piece))));
        ASSERT_NE(server.WaitFor("request GET"), "");
        TestClient other(server.Port());
        HttpReply reply;
        ASSERT_TRUE(other.Write(Get("/other")));
        EXPECT_TRUE(other.ReadReply(reply));

        // Without the stall limit the send would never end; the upper bounds hold at load 30.
        const FileOutcome outcome = ParseOutcome(server.WaitFor("file:", 30000));
        EXPECT_EQ(outcome.result, NET_ERROR) << outcome.text;
        EXPECT_EQ(outcome.error, "The client took no reply bytes for 500 ms");
        EXPECT_GE(outcome.ms, 500);
        EXPECT_LT(outcome.ms, 20000);
        EXPECT_LT(outcome.sent, 4 * kMiB);
        EXPECT_EQ(outcome.wouldBlockWithBytes, 0u);
        if (std::string(piece) == "1") {
            EXPECT_GT(outcome.wouldBlock, 0u) << outcome.text;
        }
        EXPECT_TRUE(stuck.WaitClosed(10000));
        ASSERT_TRUE(other.Write(Get("/still-here")));
        EXPECT_TRUE(other.ReadReply(reply));
    }
}

// sendfile has no MSG_NOSIGNAL: without care, a client gone away kills a program that did not ignore
// SIGPIPE. The client reads all that came and closes between two sends, so the next send reaches a
// socket the client has reset after its close: EPIPE, and SIGPIPE with it.
TEST_F(FileSendTest, AClientThatLeavesIsAResultEvenWhereSigpipeIsNotIgnored) {
    const std::string file = temp.file("small.bin");
    ASSERT_TRUE(WriteAt(file, Pattern(100000, 8), 0));
    struct DefaultSigpipe {  // for this test only, whatever way it ends
        struct sigaction before {};
        DefaultSigpipe() {
            struct sigaction fatal {};
            fatal.sa_handler = SIG_DFL;
            sigemptyset(&fatal.sa_mask);
            sigaction(SIGPIPE, &fatal, &before);
        }
        ~DefaultSigpipe() { sigaction(SIGPIPE, &before, nullptr); }
    } defaultSigpipe;
    TestServer server;
    ASSERT_TRUE(server.Running());
    server.ServeFile(file);
    {
        TestClient client(server.Port());
        ASSERT_TRUE(client.Write(Get(FileTarget(0, 100000, "&piece=1000&gap=100"))));
        SleepMs(50);  // the head and the first 1000 bytes are here, the next ones 50 ms away
        ASSERT_TRUE(client.ReadAtLeast(1, 3000));
        const size_t end = client.Buffered().find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        ASSERT_EQ(client.Buffered().size(), end + 4 + 1000);
    }  // closed with nothing unread, half-way between two sends
    const FileOutcome outcome = ParseOutcome(server.WaitFor("file:", 5000));
    EXPECT_EQ(outcome.result, NET_DONE) << outcome.text;
    EXPECT_LT(outcome.sent, 100000u);
    EXPECT_EQ(outcome.error, "The client closed the connection");
}

// ---- start and release ----

TEST_F(HttpdListenerTest, PortInUseGivesEmptyAndAReason) {
    TestServer first;
    ASSERT_TRUE(first.Running());
    auto second = kiv_httpd_listener::GetInstance(first.Port(), [](void*) -> void* { return nullptr; }, nullptr);
    EXPECT_FALSE(second);
    EXPECT_EQ(kiv_httpd_listener::GetLastGetInstanceError(),
              "Could not bind HTTP port " + std::to_string(first.Port()) + ": Address already in use");
}

TEST_F(HttpdListenerTest, ReleaseReturnsPromptlyWhateverTheClientsDo) {
    struct Case {
        const char* what;
        std::string sent;    // what the client sends before the release
        const char* waitFor; // the server event that shows the state was reached
    };
    const Case cases[] = {
        {"idle connection", "", "connected"},
        {"half a head", "GET /half HT", "connected"},
        {"half a body", "POST /body HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc", "request POST /body"},
        {"request in a handler", Get("/hold"), "request GET /hold"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        ASSERT_TRUE(server.Running());
        TestClient client(server.Port());
        TestClient second(server.Port());
        if (!c.sent.empty()) {
            ASSERT_TRUE(client.Write(c.sent));
        }
        ASSERT_NE(server.WaitFor(c.waitFor), "");
        ASSERT_NE(server.WaitFor("connected", 3000, 2), "");
        SleepMs(100);  // the entry is inside its blocking call now
        long long ms = server.Release();
        EXPECT_LT(ms, 2000);
        EXPECT_TRUE(client.WaitClosed(500));
        EXPECT_TRUE(second.WaitClosed(500));
    }
}

TEST_F(HttpdListenerTest, IdleRequestLoopSeesTheShutdownFlag) {
    TestServer server;
    ASSERT_TRUE(server.Running());
    TestClient client(server.Port());
    ASSERT_NE(server.WaitFor("connected"), "");
    SleepMs(50);
    EXPECT_LT(server.Release(), 500);  // woken, not left to its 1000 ms time-out
    EXPECT_NE(server.WaitFor("shutdown seen", 0), "");
}

}  // namespace
