// A NAT-PMP gateway of the test's own: a UDP socket on the test router's LAN address, port 5351, in
// the router's namespace (the client's default route leads to it), answering as the test says, with
// stray datagrams and floods of datagrams that are no answer.
#pragma once

#include <arpa/inet.h>
#include <natpmp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestRouter.h"

namespace routertest {

// Reads every request; answers each with what the test's function makes of it (nothing when empty),
// after the stray datagrams given and the delay. With a flood, from the first request on it also sends
// the flood's datagrams over and over, a burst every millisecond, to whoever asked last, until it ends.
class NatPmpGateway {
public:
    using Answer = std::function<std::string(const std::string& request)>;
    NatPmpGateway(const Namespace& router, Answer answer, std::vector<std::string> strays = {},
                  std::chrono::milliseconds delay = std::chrono::milliseconds(0), std::vector<std::string> flood = {})
        : answer_(std::move(answer)), strays_(std::move(strays)), delay_(delay), flood_(std::move(flood)) {
        Inside inside(router);
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(NATPMP_PORT);
        inet_pton(AF_INET, kRouterLan, &address.sin_addr);
        bound_ = inside.Entered() && fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        timeval tick{0, 50000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        if (bound_) thread_ = std::thread([this] { Serve(); });
    }
    ~NatPmpGateway() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (flooder_.joinable()) flooder_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool Bound() const { return bound_; }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }
    // Flood datagrams sent before the answer, and in all.
    long FloodBeforeAnswer() const { return floodBeforeAnswer_; }
    long FloodSent() const { return floodSent_; }

private:
    void Flood() {
        while (!stop_) {
            sockaddr_in to;
            {
                std::lock_guard<std::mutex> hold(lock_);
                to = lastAsker_;
            }
            for (const std::string& datagram : flood_)
                if (sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
                    ++floodSent_;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void Serve() {
        while (!stop_) {
            char buffer[64];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0) continue;
            const std::string request(buffer, static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> hold(lock_);
                requests_.push_back(request);
                lastAsker_ = from;
            }
            if (!flood_.empty() && !flooder_.joinable()) flooder_ = std::thread([this] { Flood(); });
            for (const std::string& stray : strays_)
                sendto(fd_, stray.data(), stray.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            for (auto until = std::chrono::steady_clock::now() + delay_; !stop_ && std::chrono::steady_clock::now() < until;)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (stop_) break;
            const std::string reply = answer_(request);
            if (!reply.empty()) {
                if (floodBeforeAnswer_ == 0) floodBeforeAnswer_ = floodSent_.load();
                sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        }
    }

    Answer answer_;
    std::vector<std::string> strays_;
    std::chrono::milliseconds delay_;
    std::vector<std::string> flood_;
    std::atomic<long> floodSent_{0};
    std::atomic<long> floodBeforeAnswer_{0};
    std::thread flooder_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> requests_;
    sockaddr_in lastAsker_{};
    std::thread thread_;
};

inline std::string Be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)}; }
inline std::string Be32(uint32_t v) { return Be16(static_cast<uint16_t>(v >> 16)) + Be16(static_cast<uint16_t>(v)); }

// A mapping reply of RFC 6886: version 0, opcode 128 + 2 (TCP), result, epoch, ports, lifetime.
inline std::string MappingReply(uint16_t result, uint16_t internal, uint16_t external, uint32_t lifetime) {
    return std::string("\x00\x82", 2) + Be16(result) + Be32(1234) + Be16(internal) + Be16(external) + Be32(lifetime);
}

// One of each kind of datagram that is no answer to a TCP mapping request for private port 8683.
inline std::vector<std::string> NoAnswerFlood() {
    return {
        std::string("\x01\x82\x00\x00", 4) + Be32(1234) + Be16(8683) + Be16(1) + Be32(1),  // another version
        std::string("\x00\x80\x00\x00", 4) + Be32(1234) + Be32(0x0b000002),                 // an address answer
        std::string("\x00", 1),                                                                 // too short
        MappingReply(2, 4242, 0, 0),                                                             // another port's refusal
        MappingReply(0, 4242, 40001, 3600),                                                      // another port's grant
    };
}

// A request as it reaches the gateway (RFC 6886): version, opcode, reserved, private port, public port,
// lifetime.
inline uint16_t RequestPrivatePort(const std::string& request) {
    return request.size() < 12 ? 0 : static_cast<uint16_t>(static_cast<unsigned char>(request[4]) << 8 |
                                                           static_cast<unsigned char>(request[5]));
}
inline uint32_t RequestLifetime(const std::string& request) {
    uint32_t lifetime = 0;
    for (size_t i = 8; i < 12 && i < request.size(); ++i) lifetime = lifetime << 8 | static_cast<unsigned char>(request[i]);
    return lifetime;
}

}  // namespace routertest
