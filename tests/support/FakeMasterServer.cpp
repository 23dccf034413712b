#include "support/FakeMasterServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace testsupport {

namespace {

const int kPollMs = 50;

std::string ReasonOf(int code) {
    switch (code) {
        case 200: return "OK";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

bool SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

std::string MasterRequest::Header(const std::string& name) const {
    size_t at = head.find("\r\n");
    while (at != std::string::npos) {
        const size_t start = at + 2;
        const size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && colon == name.size() && strncasecmp(line.c_str(), name.c_str(), colon) == 0) {
            const size_t value = line.find_first_not_of(' ', colon + 1);
            return value == std::string::npos ? std::string() : line.substr(value);
        }
        at = end;
    }
    return std::string();
}

MasterReply MasterReply::Status(int code, const std::string& body) {
    MasterReply reply;
    reply.bytes = "HTTP/1.1 " + std::to_string(code) + " " + ReasonOf(code) +
                  "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return reply;
}

MasterReply MasterReply::Raw(const std::string& bytes) {
    MasterReply reply;
    reply.bytes = bytes;
    return reply;
}

MasterReply MasterReply::Flood(const std::string& bytes, const std::string& repeat, int pauseMs) {
    MasterReply reply;
    reply.bytes = bytes;
    reply.repeat = repeat;
    reply.pauseMs = pauseMs;
    return reply;
}

MasterReply MasterReply::NoReply() {
    MasterReply reply;
    reply.kind = Silent;
    return reply;
}

MasterReply MasterReply::Hangup() {
    MasterReply reply;
    reply.kind = Close;
    return reply;
}

FakeMasterServer::FakeMasterServer(Handler handler, int receiveBuffer, int readPauseMs)
    : handler_(std::move(handler)), receiveBuffer_(receiveBuffer), readPauseMs_(readPauseMs) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) std::abort();
    if (receiveBuffer_ > 0) setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, sizeof(receiveBuffer_));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listenFd_, 8) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::abort();
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

FakeMasterServer::~FakeMasterServer() {
    stop_ = true;
    thread_.join();
    close(listenFd_);
}

std::vector<MasterRequest> FakeMasterServer::Requests() {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
}

bool FakeMasterServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, timeout, [&] { return requests_.size() >= count; });
}

int FakeMasterServer::Connections() {
    std::lock_guard<std::mutex> hold(mutex_);
    return connections_;
}

void FakeMasterServer::Run() {
    while (!stop_) {
        struct pollfd item = {listenFd_, POLLIN, 0};
        if (poll(&item, 1, kPollMs) <= 0) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int connection;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            connection = ++connections_;
        }
        Serve(fd, connection);
        close(fd);
    }
}

bool FakeMasterServer::ReadUntilSize(int fd, std::string& buffer, size_t size) {
    while (buffer.size() < size) {
        if (stop_) return false;
        struct pollfd item = {fd, POLLIN, 0};
        if (poll(&item, 1, kPollMs) <= 0) continue;
        if (readPauseMs_ > 0) usleep(static_cast<useconds_t>(readPauseMs_) * 1000);
        char chunk[4096];
        const ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
        if (got <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

bool FakeMasterServer::ReadUntilHeadEnd(int fd, std::string& buffer, size_t& end) {
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (!ReadUntilSize(fd, buffer, buffer.size() + 1)) return false;
    }
    return true;
}

void FakeMasterServer::Serve(int fd, int connection) {
    std::string buffer;
    for (;;) {
        size_t end = 0;
        if (!ReadUntilHeadEnd(fd, buffer, end)) return;
        MasterRequest request;
        request.connection = connection;
        request.head = buffer.substr(0, end);
        buffer.erase(0, end + 4);
        const size_t firstBlank = request.head.find(' ');
        const size_t secondBlank = request.head.find(' ', firstBlank + 1);
        if (firstBlank != std::string::npos && secondBlank != std::string::npos) {
            request.target = request.head.substr(firstBlank + 1, secondBlank - firstBlank - 1);
        }
        const size_t length = std::strtoull(request.Header("Content-Length").c_str(), nullptr, 10);
        if (!ReadUntilSize(fd, buffer, length)) return;
        request.body = buffer.substr(0, length);
        buffer.erase(0, length);
        const MasterReply reply = handler_(request);
        {
            std::lock_guard<std::mutex> hold(mutex_);
            requests_.push_back(request);
        }
        changed_.notify_all();
        if (reply.kind == MasterReply::Close) return;
        if (reply.kind == MasterReply::Silent) {
            // Say nothing until the client gives up (or the test ends).
            std::string ignored;
            while (ReadUntilSize(fd, ignored, ignored.size() + 1)) {
            }
            return;
        }
        if (!SendAll(fd, reply.bytes) || reply.closeAfter) return;
        if (!reply.repeat.empty()) {
            SendRepeatedly(fd, reply);
            return;
        }
    }
}

void FakeMasterServer::SendRepeatedly(int fd, const MasterReply& reply) {
    // Without pause, many units go in one send; the socket never waits for the client, so a stop is seen.
    std::string batch = reply.repeat;
    while (reply.pauseMs == 0 && batch.size() < 64 * 1024) batch += reply.repeat;
    size_t done = 0;
    auto quietSince = std::chrono::steady_clock::now();
    uint64_t total = 0;
    while (!stop_ && total < reply.repeatLimit) {
        const ssize_t sent = send(fd, batch.data() + done, batch.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            flooded_ += static_cast<uint64_t>(sent);
            total += static_cast<uint64_t>(sent);
            done += static_cast<size_t>(sent);
            quietSince = std::chrono::steady_clock::now();
            if (done == batch.size()) {
                done = 0;
                if (reply.pauseMs > 0) usleep(static_cast<useconds_t>(reply.pauseMs) * 1000);
            }
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;  // the client went
        if (std::chrono::steady_clock::now() - quietSince > std::chrono::seconds(5)) return;
        struct pollfd item = {fd, POLLOUT, 0};
        poll(&item, 1, kPollMs);
    }
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
}

}  // namespace testsupport
