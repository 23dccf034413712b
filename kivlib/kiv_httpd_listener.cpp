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

// Connections taken from the listen queue at once: one scan for room serves them all, so a queue
// that attackers keep full drains fast enough that a new client waits little in it.
const size_t kAcceptBatch = 64;
// Threads of connections that are leaving (closed to make room or cut, not yet ended) beyond the cap.
const size_t kLeavingThreads = 64;

class HttpdListener : public kiv_httpd_listener, public kivhttp::HeldBytesPool {
public:
    HttpdListener(kiv_httpd_entry entry, void* userData, const HttpdLimits& limits)
        : entry_(entry), userData_(userData), limits_(limits) {}
    ~HttpdListener() override;

    bool Start(uint16_t port, std::string& error);
    uint16_t GetPort() const override { return port_; }

    // HeldBytesPool, on connection threads.
    bool TakeHeld(HttpdConnection* who, size_t n) override;
    void GiveHeld(size_t n) override;

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
    void AcceptPending();
    size_t ThreadRoom();
    void Admit(std::vector<UniqueFd>& sockets);
    size_t MakeRoom(size_t wanted);
    HttpdConnection* LeastProgressingHolder();
    void Counted(std::atomic<size_t>& counter);
    int NoticeTimeout() const;
    void Notify(bool now);
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

    std::mutex mutex_;                       // guards live_, finished_ and held_
    std::list<std::unique_ptr<Slot>> live_;  // entry still running
    std::vector<std::unique_ptr<Slot>> finished_;  // entry returned; thread to be joined
    size_t held_ = 0;                        // of HeldBytesBudget, taken by connections

    // Counted since the last notice; the notices are the accept thread's.
    std::atomic<size_t> madeRoom_{0};
    std::atomic<size_t> cut_{0};
    int64_t lastNotice_ = -1;
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.clear();
        finished_.clear();
    }
    Notify(true);
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
        // While the threads of connections that are leaving fill the margin, new ones wait in the queue.
        pollfd fds[2] = {{ThreadRoom() > 0 ? listenSocket_.get() : -1, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, NoticeTimeout());
        Notify(false);
        if (ready <= 0) continue;  // EINTR, or a notice was due
        if (fds[1].revents) {
            char drain[64];
            while (::read(wakeRead_.get(), drain, sizeof(drain)) > 0) {
            }
            ReapFinished();
        }
        if (stopping_) break;
        if (fds[0].revents & POLLIN) AcceptPending();
    }
    ReapFinished();
}

// Threads are bounded too: the cap of connections, and a margin for those that are leaving (closed
// to make room or cut, their threads not yet ended).
size_t HttpdListener::ThreadRoom() {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t threads = live_.size() + finished_.size();
    const size_t most = limits_.MaxConnections + kLeavingThreads;
    return threads < most ? most - threads : 0;
}

void HttpdListener::AcceptPending() {
    std::vector<UniqueFd> sockets;
    bool starved = false;
    const size_t room = std::min(kAcceptBatch, ThreadRoom());
    while (sockets.size() < room) {
        int fd = ::accept4(listenSocket_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            starved = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
            break;
        }
        sockets.emplace_back(fd);
    }
    if (!sockets.empty()) Admit(sockets);
    if (starved) PauseAccepting();
}

// Evictions and cuts go into the next notice; the first after a quiet spell wakes the accept thread,
// which may be waiting without a time-out.
void HttpdListener::Counted(std::atomic<size_t>& counter) {
    if (counter.fetch_add(1) == 0 && madeRoom_.load() + cut_.load() == 1) Wake();
}

// How long the accept thread may wait before a notice is due; -1 while there is nothing to tell.
int HttpdListener::NoticeTimeout() const {
    if (!limits_.Notice || madeRoom_.load() + cut_.load() == 0) return -1;
    if (lastNotice_ < 0) return 0;
    const int64_t left = lastNotice_ + limits_.NoticeIntervalMs - HttpdConnection::NowMs();
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 60 * 1000));
}

// One line for what was counted since the last one, when it is due (now: whatever the time).
void HttpdListener::Notify(bool now) {
    if (!limits_.Notice) return;
    const int64_t at = HttpdConnection::NowMs();
    if (!now && lastNotice_ >= 0 && at < lastNotice_ + limits_.NoticeIntervalMs) return;
    const size_t madeRoom = madeRoom_.exchange(0);
    const size_t cut = cut_.exchange(0);
    if (madeRoom == 0 && cut == 0) return;
    std::string text = "HTTP server: ";
    if (madeRoom > 0)
        text += std::to_string(madeRoom) + (madeRoom == 1 ? " connection" : " connections") + " closed to make room at the cap of " +
                std::to_string(limits_.MaxConnections);
    if (cut > 0)
        text += std::string(madeRoom > 0 ? ", " : "") + std::to_string(cut) + (cut == 1 ? " connection" : " connections") +
                " cut as the request bytes held reached their budget of " +
                std::to_string(limits_.HeldBytesBudget / 1024) + " KiB";
    if (lastNotice_ >= 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof(seconds), "%.1f", static_cast<double>(at - lastNotice_) / 1000.0);
        text += std::string(" in the last ") + seconds + " s";
    }
    lastNotice_ = at;
    limits_.Notice(text);
}

// Out of descriptors or memory: the pending connection stays queued; try again shortly rather
// than spin on a listen socket that stays readable.
void HttpdListener::PauseAccepting() {
    ReapFinished();
    pollfd wake{wakeRead_.get(), POLLIN, 0};
    ::poll(&wake, 1, 100);
}

void HttpdListener::Admit(std::vector<UniqueFd>& sockets) {
    for (UniqueFd& socket : sockets) {
        int on = 1;
        ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        if (limits_.SendBufferBytes > 0) {
            ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &limits_.SendBufferBytes,
                         sizeof(limits_.SendBufferBytes));
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // Those beyond the room there is are refused: every other connection is busy with a request.
    const size_t room = MakeRoom(sockets.size());
    for (size_t i = 0; i < room; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->owner = this;
        slot->connection = std::make_unique<HttpdConnection>(std::move(sockets[i]), userData_, limits_, this);
        Slot* raw = slot.get();
        live_.push_back(std::move(slot));
        raw->self = std::prev(live_.end());
        // The lock is held until the thread id is stored: the thread's own end takes the lock too.
        if (!MakeThread(raw->thread, limits_.ThreadStackBytes, &HttpdListener::ConnectionMain, raw)) {
            live_.erase(raw->self);
        }
    }
}

// Room for up to wanted new connections; how many fit. At the cap, of the connections that wait on
// their clients (for a head, the rest of a body or nothing), those whose last byte came longest ago
// go: a slow body is no better than an idle connection. Called with the lock.
size_t HttpdListener::MakeRoom(size_t wanted) {
    for (;;) {
        size_t active = 0;
        std::vector<std::pair<int64_t, HttpdConnection*>> waiting;
        for (auto& slot : live_) {
            if (slot->connection->Leaving()) continue;
            ++active;
            int64_t since = slot->connection->ProgressSince();
            if (since >= 0) waiting.emplace_back(since, slot->connection.get());
        }
        if (active + wanted <= limits_.MaxConnections) return wanted;
        const size_t over = active + wanted - limits_.MaxConnections;
        if (waiting.empty()) return active < limits_.MaxConnections ? limits_.MaxConnections - active : 0;
        const size_t take = std::min(over, waiting.size());
        std::nth_element(waiting.begin(), waiting.begin() + (take - 1), waiting.end());
        size_t evicted = 0;
        for (size_t i = 0; i < take; ++i) {
            // One that just took its request in hand stays; the next pass picks another.
            if (waiting[i].second->TryEvict()) {
                ++evicted;
                Counted(madeRoom_);
            }
        }
        if (evicted == 0 && take == waiting.size()) {
            return active < limits_.MaxConnections ? limits_.MaxConnections - active : 0;
        }
    }
}

// Of the connections that receive a head or a body with bytes of the budget, the one whose bytes
// have been coming in longest: the least progress for what it holds, and, among peers that trickle
// at one rate, the most to give back. Called with the lock.
HttpdConnection* HttpdListener::LeastProgressingHolder() {
    HttpdConnection* least = nullptr;
    int64_t leastSince = 0;
    for (auto& slot : live_) {
        int64_t since = 0;
        if (slot->connection->BudgetHolder(since) && (!least || since < leastSince)) {
            least = slot->connection.get();
            leastSince = since;
        }
    }
    return least;
}

bool HttpdListener::TakeHeld(HttpdConnection* who, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ += n;
    while (held_ > limits_.HeldBytesBudget) {
        // With no holder to cut, every byte of the budget is in requests being served: the one asking goes.
        HttpdConnection* least = LeastProgressingHolder();
        HttpdConnection* victim = least ? least : who;
        size_t freed = 0;
        const bool cut = victim->CutForBudget(freed);
        held_ -= freed;
        if (cut) Counted(cut_);
        if (victim == who) {
            held_ -= n;
            return false;
        }
    }
    return true;
}

void HttpdListener::GiveHeld(size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ -= std::min(held_, n);
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
