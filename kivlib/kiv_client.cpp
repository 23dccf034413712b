#include "kiv_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kStopPollMs = 100;

uint32_t MsLeft(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

// Waits for events on fd; false on time-out or failure. EINTR shortens nothing: the wait goes on.
bool WaitFor(int fd, short events, uint32_t ms, short& revents) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        struct pollfd item = {fd, events, 0};
        const int ready = poll(&item, 1, static_cast<int>(MsLeft(until)));
        if (ready > 0) {
            revents = item.revents;
            return true;
        }
        if (ready == 0 || errno != EINTR) return false;
    }
}

// The resolver has no time-out of its own: it runs on a thread of its own, and a caller that stops
// waiting leaves it the shared result to finish with.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    std::vector<std::vector<unsigned char>> addresses;
};

void RunLookup(std::shared_ptr<Lookup> lookup, std::string host, std::string service) {
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;  // no AI_ADDRCONFIG: with loopback alone it finds nothing
    struct addrinfo* list = nullptr;
    const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    std::vector<std::vector<unsigned char>> addresses;
    for (struct addrinfo* item = status == 0 ? list : nullptr; item; item = item->ai_next) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(item->ai_addr);
        addresses.emplace_back(bytes, bytes + item->ai_addrlen);
    }
    if (list) freeaddrinfo(list);
    std::lock_guard<std::mutex> hold(lookup->mutex);
    lookup->status = status;
    lookup->addresses.swap(addresses);
    lookup->finished = true;
    lookup->done.notify_all();
}

class SocketStream final : public INonblockingStream {
public:
    explicit SocketStream(kivposix::UniqueFd fd) : fd_(std::move(fd)) {}

    net_result Read(void* buffer, size_t capacity, size_t& count, uint32_t ms) override {
        count = 0;
        if (capacity == 0) return NET_ERROR;
        short revents = 0;
        if (!WaitFor(fd_.get(), POLLIN, ms, revents)) return NET_WOULDBLOCK;
        for (;;) {
            const ssize_t got = recv(fd_.get(), buffer, capacity, 0);
            if (got > 0) {
                count = static_cast<size_t>(got);
                return NET_OK;
            }
            if (got == 0) return NET_DONE;
            if (errno == EINTR) continue;
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? NET_WOULDBLOCK : NET_ERROR;
        }
    }

    net_result Write(const void* bytes, size_t length, size_t& written, uint32_t ms) override {
        written = 0;
        if (length == 0) return NET_ERROR;
        short revents = 0;
        if (!WaitFor(fd_.get(), POLLOUT, ms, revents)) return NET_WOULDBLOCK;
        for (;;) {
            const ssize_t sent = send(fd_.get(), bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                written = static_cast<size_t>(sent);
                return NET_OK;
            }
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return NET_WOULDBLOCK;
            return NET_ERROR;
        }
    }

private:
    kivposix::UniqueFd fd_;
};

}  // namespace

kiv_client::kiv_client() = default;
kiv_client::~kiv_client() = default;

net_result kiv_client::connect_to_host(const std::string& host, uint16_t port, uint32_t ms) {
    addresses_.clear();
    next_ = 0;
    pending_.reset();
    connected_ = false;
    lastError_.clear();
    if (host.empty() || port == 0) {
        lastError_ = "no host or port";
        return NET_ERROR;
    }
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    std::shared_ptr<Lookup> lookup = std::make_shared<Lookup>();
    try {
        std::thread(RunLookup, lookup, host, std::to_string(port)).detach();
    } catch (const std::exception& error) {
        lastError_ = std::string("cannot start the name lookup: ") + error.what();
        return NET_ERROR;
    }
    {
        std::unique_lock<std::mutex> hold(lookup->mutex);
        while (!lookup->finished) {
            if (stop_ && stop_->load()) {
                lastError_ = "stopped";
                return NET_ERROR;
            }
            if (Clock::now() >= until) {
                lastError_ = "the name lookup of " + host + " took too long";
                return NET_ERROR;
            }
            lookup->done.wait_until(hold, std::min(until, Clock::now() + std::chrono::milliseconds(kStopPollMs)));
        }
        if (lookup->status != 0 || lookup->addresses.empty()) {
            lastError_ = "cannot find " + host + ": " + gai_strerror(lookup->status);
            return NET_ERROR;
        }
        addresses_ = lookup->addresses;
    }
    const net_result started = StartNext();
    if (started != NET_WOULDBLOCK) return started;
    return Finish(MsLeft(until));
}

net_result kiv_client::wait_connect(uint32_t ms) {
    if (connected_) return NET_OK;
    if (!pending_.valid()) return NET_ERROR;
    return Finish(ms);
}

boost::shared_ptr<INonblockingStream> kiv_client::get_stream() {
    if (!connected_ || !pending_.valid()) return boost::shared_ptr<INonblockingStream>();
    connected_ = false;
    return boost::shared_ptr<INonblockingStream>(new SocketStream(std::move(pending_)));
}

// Starts connecting to the next address: NET_OK connected at once, NET_WOULDBLOCK in progress,
// NET_ERROR when no address is left.
net_result kiv_client::StartNext() {
    while (next_ < addresses_.size()) {
        const std::vector<unsigned char>& address = addresses_[next_++];
        const struct sockaddr* target = reinterpret_cast<const struct sockaddr*>(address.data());
        kivposix::UniqueFd fd(socket(target->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid()) {
            lastError_ = "socket: " + kivposix::ErrnoText(errno);
            continue;
        }
        int result;
        do {
            result = connect(fd.get(), target, static_cast<socklen_t>(address.size()));
        } while (result != 0 && errno == EINTR);
        if (result == 0) {
            pending_ = std::move(fd);
            connected_ = true;
            return NET_OK;
        }
        if (errno == EINPROGRESS) {
            pending_ = std::move(fd);
            return NET_WOULDBLOCK;
        }
        lastError_ = "connect: " + kivposix::ErrnoText(errno);
    }
    pending_.reset();
    return NET_ERROR;
}

// Waits for the pending connection; one that fails makes way for the next address in the time left.
net_result kiv_client::Finish(uint32_t ms) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    while (pending_.valid()) {
        short revents = 0;
        bool ready = false;
        // The wait goes in slices so that a stop is seen.
        while (!ready) {
            if (stop_ && stop_->load()) {
                pending_.reset();
                lastError_ = "stopped";
                return NET_ERROR;
            }
            const uint32_t left = MsLeft(until);
            ready = WaitFor(pending_.get(), POLLOUT, std::min(left, kStopPollMs), revents);
            if (!ready && left <= kStopPollMs) {
                lastError_ = "the connection is still pending";
                return NET_WOULDBLOCK;
            }
        }
        int error = 0;
        socklen_t length = sizeof(error);
        if (getsockopt(pending_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0) {
            connected_ = true;
            return NET_OK;
        }
        lastError_ = "connect: " + kivposix::ErrnoText(error);
        const net_result started = StartNext();
        if (started != NET_WOULDBLOCK) return started;
    }
    return NET_ERROR;
}
