// A small blocking HTTP/1.1 client on loopback for the tests: raw bytes out, one parsed reply in.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "kivlib/kiv_text.h"

namespace httptest {

struct Reply {
    bool ok = false;  // a whole reply arrived
    int status = 0;
    std::string statusText;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;

    std::string Header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

class Connection {
public:
    explicit Connection(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) Close();
    }
    ~Connection() { Close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Connected() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    // A small receive buffer, so a client that stops reading stalls the sender quickly.
    void ShrinkReceiveBuffer() {
        int size = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }

    bool Write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Bytes that arrive within ms (at most max); stops early at the peer's close.
    std::string ReadFor(int ms, size_t max = 1 << 20) {
        std::string out;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < max) {
            const int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
            if (left <= 0) break;
            if (!WaitReadable(left)) break;
            char buffer[65536];
            const ssize_t n = recv(fd_, buffer, std::min(sizeof(buffer), max - out.size()), 0);
            if (n <= 0) {
                closedByPeer_ = true;
                break;
            }
            out.append(buffer, static_cast<size_t>(n));
        }
        return out;
    }

    // True when the server has closed the connection (end of stream or reset) within ms.
    bool ClosedWithin(int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!closedByPeer_ && std::chrono::steady_clock::now() < until) ReadFor(50);
        return closedByPeer_;
    }

    // One reply; bodyless for replies to HEAD. Waits at most ms for it.
    Reply ReadReply(int ms = 10000, bool bodyless = false) {
        Reply reply;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill(until)) return reply;
        }
        const std::string head = buffer_.substr(0, headEnd);
        buffer_.erase(0, headEnd + 4);
        size_t lineEnd = head.find("\r\n");
        const std::string statusLine = head.substr(0, lineEnd);
        const size_t firstBlank = statusLine.find(' ');
        const size_t secondBlank = statusLine.find(' ', firstBlank + 1);
        reply.status = atoi(statusLine.substr(firstBlank + 1, secondBlank - firstBlank - 1).c_str());
        reply.statusText = secondBlank == std::string::npos ? std::string() : statusLine.substr(secondBlank + 1);
        while (lineEnd != std::string::npos) {
            const size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            reply.headers[kivm::str_tolower(line.substr(0, colon))] = value;
        }
        const uint64_t length = bodyless ? 0 : numstr::ToUint64(reply.Header("content-length"), 10);
        while (buffer_.size() < length) {
            if (!Fill(until)) return reply;
        }
        reply.body = buffer_.substr(0, static_cast<size_t>(length));
        buffer_.erase(0, static_cast<size_t>(length));
        reply.ok = true;
        return reply;
    }

    Reply Request(const std::string& raw, int ms = 10000) {
        if (!Write(raw)) return Reply();
        return ReadReply(ms, raw.compare(0, 5, "HEAD ") == 0);
    }

private:
    bool WaitReadable(int ms) {
        pollfd pfd{fd_, POLLIN, 0};
        return poll(&pfd, 1, ms) > 0;
    }
    bool Fill(std::chrono::steady_clock::time_point until) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        if (left <= 0 || !WaitReadable(left)) return false;
        char buffer[65536];
        const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            closedByPeer_ = true;
            return false;
        }
        buffer_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool closedByPeer_ = false;
    std::string buffer_;
};

inline std::string Get(const std::string& target, const std::string& extraHeaders = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

inline std::string Post(const std::string& target, const std::string& body) {
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

}  // namespace httptest
