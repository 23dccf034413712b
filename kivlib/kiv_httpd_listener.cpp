// The listener: an accept thread, one thread per connection, a cap on connections, and a release
// that ends and joins them all.
#include "kiv_httpd_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "HttpdConnection.h"
#include "PosixFd.h"
#include "kiv_text.h"

namespace {

using kivhttp::HttpdConnection;
using kivposix::ErrnoText;
using kivposix::UniqueFd;

std::mutex g_errorMutex;
std::string g_lastGetInstanceError;

void SetLastGetInstanceError(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    g_lastGetInstanceError = text;
}

// Small stacks keep a thousand idle connections cheap; the floor keeps pthread_create working.
bool MakeThread(pthread_t& thread, size_t stackBytes, void* (*entry)(void*), void* argument) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    size_t floor = static_cast<size_t>(PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attr, stackBytes < floor ? floor : stackBytes);
    int rc = pthread_create(&thread, &attr, entry, argument);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

class HttpdListener : public kiv_httpd_listener {
public:
    HttpdListener(kiv_httpd_entry entry, void* userData, const HttpdLimits& limits)
        : entry_(entry), userData_(userData), limits_(limits) {}
    ~HttpdListener() override;

    bool Start(uint16_t port, std::string& error);
    uint16_t GetPort() const override { return port_; }

private:
    struct Slot {
        HttpdListener* owner;
        std::unique_ptr<HttpdConnection> connection;
        pthread_t thread;
        std::list<std::unique_ptr<Slot>>::iterator self;
    };

    static void* AcceptMain(void* self);
    static void* ConnectionMain(void* slot);
    void AcceptLoop();
    void Admit(UniqueFd socket);
    bool MakeRoom();
    void ConnectionEnded(Slot* slot);
    void ReapFinished();
    void Wake();
    void PauseAccepting();

    const kiv_httpd_entry entry_;
    void* const userData_;
    const HttpdLimits limits_;
    UniqueFd listenSocket_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    uint16_t port_ = 0;
    pthread_t acceptThread_{};
    bool acceptStarted_ = false;
    std::atomic<bool> stopping_{false};

    std::mutex mutex_;                       // guards live_ and finished_
    std::list<std::unique_ptr<Slot>> live_;  // entry still running
    std::vector<std::unique_ptr<Slot>> finished_;  // entry returned; thread to be joined
};

bool HttpdListener::Start(uint16_t port, std::string& error) {
    listenSocket_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listenSocket_.valid()) {
        error = "Could not make the HTTP socket: " + ErrnoText(errno);
        return false;
    }
    int on = 1;
    ::setsockopt(listenSocket_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(listenSocket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        error = "Could not bind HTTP port " + std::to_string(port) + ": " + ErrnoText(errno);
        return false;
    }
    if (::listen(listenSocket_.get(), SOMAXCONN) != 0) {
        error = "Could not listen on HTTP port " + std::to_string(port) + ": " + ErrnoText(errno);
        return false;
    }
    socklen_t length = sizeof(address);
    ::getsockname(listenSocket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = "Could not make the HTTP wake pipe: " + ErrnoText(errno);
        return false;
    }
    wakeRead_.reset(pipeFds[0]);
    wakeWrite_.reset(pipeFds[1]);

    if (!MakeThread(acceptThread_, limits_.ThreadStackBytes, &HttpdListener::AcceptMain, this)) {
        error = "Could not start the HTTP accept thread";
        return false;
    }
    acceptStarted_ = true;
    return true;
}

HttpdListener::~HttpdListener() {
    stopping_ = true;
    if (acceptStarted_) {
        Wake();
        pthread_join(acceptThread_, nullptr);
    }
    listenSocket_.reset();  // no more connections queue up

    std::vector<pthread_t> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& slot : live_) {
            slot->connection->RequestShutdown();
            threads.push_back(slot->thread);
        }
        for (auto& slot : finished_) threads.push_back(slot->thread);
    }
    // Every connection thread ends by itself now (its socket is shut); no new one can start.
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    live_.clear();
    finished_.clear();
}

void HttpdListener::Wake() {
    char byte = 1;
    ssize_t ignored = ::write(wakeWrite_.get(), &byte, 1);  // a full pipe is awake already
    (void)ignored;
}

void* HttpdListener::AcceptMain(void* self) {
    static_cast<HttpdListener*>(self)->AcceptLoop();
    return nullptr;
}

void HttpdListener::AcceptLoop() {
    while (!stopping_) {
        pollfd fds[2] = {{listenSocket_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;  // EINTR
        if (fds[1].revents) {
            char drain[64];
            while (::read(wakeRead_.get(), drain, sizeof(drain)) > 0) {
            }
            ReapFinished();
        }
        if (stopping_) break;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenSocket_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            Admit(UniqueFd(fd));
        } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            PauseAccepting();
        }
    }
    ReapFinished();
}

// Out of descriptors or memory: the pending connection stays queued; try again shortly rather
// than spin on a listen socket that stays readable.
void HttpdListener::PauseAccepting() {
    ReapFinished();
    pollfd wake{wakeRead_.get(), POLLIN, 0};
    ::poll(&wake, 1, 100);
}

void HttpdListener::Admit(UniqueFd socket) {
    int on = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (limits_.SendBufferBytes > 0) {
        ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &limits_.SendBufferBytes, sizeof(limits_.SendBufferBytes));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!MakeRoom()) return;  // every connection is busy with a request: refuse this one
    auto slot = std::make_unique<Slot>();
    slot->owner = this;
    slot->connection = std::make_unique<HttpdConnection>(std::move(socket), userData_, limits_);
    Slot* raw = slot.get();
    live_.push_back(std::move(slot));
    raw->self = std::prev(live_.end());
    // The lock is held until the thread id is stored: the thread's own end takes the lock too.
    if (!MakeThread(raw->thread, limits_.ThreadStackBytes, &HttpdListener::ConnectionMain, raw)) {
        live_.erase(raw->self);
    }
}

// At the cap, of the connections that wait on their clients (for a head, the rest of a body or
// nothing), the one whose last byte came longest ago goes: a slow body is no better than an idle
// connection. Called with the lock.
bool HttpdListener::MakeRoom() {
    for (;;) {
        size_t active = 0;
        HttpdConnection* stalest = nullptr;
        int64_t stalestSince = 0;
        for (auto& slot : live_) {
            if (slot->connection->Leaving()) continue;
            ++active;
            int64_t since = slot->connection->ProgressSince();
            if (since >= 0 && (!stalest || since < stalestSince)) {
                stalest = slot->connection.get();
                stalestSince = since;
            }
        }
        if (active < limits_.MaxConnections) return true;
        if (!stalest) return false;
        stalest->TryEvict();  // when it just took its request in hand, the next pass picks another
    }
}

void* HttpdListener::ConnectionMain(void* argument) {
    Slot* slot = static_cast<Slot*>(argument);
    HttpdConnection* connection = slot->connection.get();
    try {
        slot->owner->entry_(static_cast<IHttpdConnection*>(connection));
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        // The text may quote a request: one escaped line, cut at 1 KiB.
        std::fprintf(stderr, "HTTP connection entry threw: %s\n", kivm::EscapeForLog(e.what(), false, 1024).c_str());
    } catch (...) {
        std::fprintf(stderr, "HTTP connection entry threw an unknown exception\n");
    }
    connection->FinishEntry();
    slot->owner->ConnectionEnded(slot);
    return nullptr;
}

void HttpdListener::ConnectionEnded(Slot* slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.push_back(std::move(*slot->self));
    live_.erase(slot->self);
    Wake();
}

void HttpdListener::ReapFinished() {
    std::vector<std::unique_ptr<Slot>> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done.swap(finished_);
    }
    for (auto& slot : done) pthread_join(slot->thread, nullptr);
}

}  // namespace

boost::shared_ptr<kiv_httpd_listener> kiv_httpd_listener::GetInstance(uint16_t port, kiv_httpd_entry entry,
                                                                      void* userData) {
    return GetInstance(port, entry, userData, HttpdLimits());
}

boost::shared_ptr<kiv_httpd_listener> kiv_httpd_listener::GetInstance(uint16_t port, kiv_httpd_entry entry,
                                                                      void* userData, const HttpdLimits& limits) {
    if (!entry || limits.MaxConnections == 0 || limits.MaxHeadBytes < 16) {
        SetLastGetInstanceError("Bad arguments for the HTTP listener");
        return boost::shared_ptr<kiv_httpd_listener>();
    }
    // Accepting must never stop for want of descriptors before the cap lets eviction make room.
    HttpdLimits fitted = limits;
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        fitted.MaxConnections = ConnectionCapForOpenFiles(files.rlim_cur, limits.MaxConnections);
    auto listener = boost::shared_ptr<HttpdListener>(new HttpdListener(entry, userData, fitted));
    std::string error;
    if (!listener->Start(port, error)) {
        SetLastGetInstanceError(error);
        return boost::shared_ptr<kiv_httpd_listener>();
    }
    SetLastGetInstanceError(std::string());
    return listener;
}

size_t ConnectionCapForOpenFiles(uint64_t openFileLimit, size_t wanted) {
    // The log, state file, listening socket, wake pipe, the pipes of ffmpeg and the segmenter, DNS-SD.
    const uint64_t reserve = 64;
    const uint64_t room = openFileLimit > reserve ? (openFileLimit - reserve) / 2 : 0;
    const uint64_t cap = std::min<uint64_t>(wanted, room);
    return cap > 0 ? static_cast<size_t>(cap) : 1;
}

std::string kiv_httpd_listener::GetLastGetInstanceError() {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    return g_lastGetInstanceError;
}
