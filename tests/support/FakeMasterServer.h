// A stand-in for the master server on 127.0.0.1: a real listening socket and a thread that serves one
// connection at a time, reads each request (head and Content-Length body) as raw bytes, records it and
// answers as the test's handler says: a reply, silence until the client gives up, or a close.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct MasterRequest {
    int connection = 0;  // 1 for the first connection accepted, and so on
    std::string head;    // request line and headers, without the blank line that ends them
    std::string target;  // path and query as sent
    std::string body;
    std::string Header(const std::string& name) const;  // the first header of that name ("" when none)
};

struct MasterReply {
    enum Kind { Answer, Silent, Close };
    Kind kind = Answer;
    std::string bytes;  // the whole reply as sent
    bool closeAfter = false;  // the server closes once the reply is sent
    // After bytes, this is sent again and again until the client closes or goes quiet for 5 s (or the
    // test ends): without pause, or with pauseMs between the sends.
    std::string repeat;
    int pauseMs = 0;
    uint64_t repeatLimit = 256ull << 20;  // a client that keeps every byte still ends

    // A 200 (or other status) with Content-Length and the body.
    static MasterReply Status(int code, const std::string& body);
    static MasterReply Ok(const std::string& body) { return Status(200, body); }
    static MasterReply Raw(const std::string& bytes);
    static MasterReply NoReply();  // keeps the connection open and says nothing
    static MasterReply Hangup();
    // bytes, then repeat for as long as the client takes it.
    static MasterReply Flood(const std::string& bytes, const std::string& repeat, int pauseMs = 0);
};

class FakeMasterServer {
public:
    using Handler = std::function<MasterReply(const MasterRequest&)>;
    // receiveBuffer: SO_RCVBUF of the accepted connections (0 leaves the kernel's); readPauseMs: a pause
    // before each read of a request body, so a large upload fills the client's socket buffer.
    explicit FakeMasterServer(Handler handler, int receiveBuffer = 0, int readPauseMs = 0);
    ~FakeMasterServer();
    FakeMasterServer(const FakeMasterServer&) = delete;
    FakeMasterServer& operator=(const FakeMasterServer&) = delete;

    int Port() const { return port_; }
    // The value for CALVORO_MASTER_HOST.
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<MasterRequest> Requests();
    // Waits until count requests are in; false when the time is up.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout);
    int Connections();
    // Bytes of repeated units sent so far, over all connections.
    uint64_t FloodedBytes() const { return flooded_; }

private:
    void Run();
    void Serve(int fd, int connection);
    // Reads into buffer until it holds at least size bytes; false on close, failure or stop.
    bool ReadUntilSize(int fd, std::string& buffer, size_t size);
    bool ReadUntilHeadEnd(int fd, std::string& buffer, size_t& end);
    void SendRepeatedly(int fd, const MasterReply& reply);

    Handler handler_;
    int receiveBuffer_;
    int readPauseMs_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<MasterRequest> requests_;
    int connections_ = 0;
    std::atomic<uint64_t> flooded_{0};
    std::thread thread_;
};

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

}  // namespace testsupport
