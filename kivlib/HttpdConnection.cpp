#include "HttpdConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

namespace kivhttp {

namespace {

// How long, and for how many bytes, a closing connection waits for the client's unread bytes.
const int64_t kLingerMs = 2000;
const size_t kLingerBytes = 1024 * 1024;
// How long the answer to a refused head may take to go out.
const uint32_t kRefusalSendMs = 2000;
// Bytes read from the socket at a time for a head or a body being dropped. Read onto the stack and
// appended, so a connection holds what came, not a buffer the size of a read.
const size_t kReadChunk = 4096;
const char kMadeRoomText[] = "Connection closed to make room for a new one";
const char kCutText[] = "Connection cut: the request bytes held across connections reached their budget";

int PollTimeout(int64_t until, int64_t now) {
    int64_t left = until - now;
    if (left <= 0) return 0;
    return static_cast<int>(std::min<int64_t>(left, 60 * 1000));
}

bool PeerGone(int error) {
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ESHUTDOWN;
}

// Names the listener writes itself: a second copy from the caller would break the framing.
bool ReservedReplyHeader(const std::string& name) {
    return EqualsIgnoreCase(name, "Content-Length") || EqualsIgnoreCase(name, "Connection") ||
           EqualsIgnoreCase(name, "Transfer-Encoding");
}

// The most one sendfile call moves on Linux.
const size_t kMaxSendfileBytes = 0x7ffff000;

// Blocks SIGPIPE on this thread for its life. A SIGPIPE raised meanwhile (Raised) is taken back
// before the mask is restored, unless one was pending already.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigpending(&pending);
        pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (raised_ && !pendingBefore_) {
            timespec none{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;
    void Raised() { raised_ = true; }

private:
    sigset_t pipe_;
    sigset_t old_;
    bool pendingBefore_ = false;
    bool raised_ = false;
};

// TCP_CORK for the life of one file send: the kernel then sends whole segments only. Without it,
// TCP_NODELAY makes sendfile push a short segment at the end of every 64 KiB it moves, and the
// client takes half as many segments again for the same bytes. Taken off at the end, which sends
// the last partial segment at once, so nothing a call handed over waits for the kernel's timer.
class SocketCork {
public:
    explicit SocketCork(int socket) : socket_(socket) { Set(1); }
    ~SocketCork() { Set(0); }
    SocketCork(const SocketCork&) = delete;
    SocketCork& operator=(const SocketCork&) = delete;

private:
    void Set(int on) { ::setsockopt(socket_, IPPROTO_TCP, TCP_CORK, &on, sizeof(on)); }
    int socket_;
};

}  // namespace

int64_t HttpdConnection::NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

HttpdConnection::HttpdConnection(kivposix::UniqueFd socket, void* userData, const HttpdLimits& limits,
                                 HeldBytesPool* pool)
    : socket_(std::move(socket)), userData_(userData), limits_(limits), lastProgress_(NowMs()), pool_(pool) {}

// ---- listener side ----

bool HttpdConnection::ClientGone() {
    if (ended_ || shutdown_.load() || !socket_.valid()) return true;
    pollfd p{socket_.get(), POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool HttpdConnection::EndedByListener() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return evicted_;
}

void HttpdConnection::RequestShutdown() {
    shutdown_ = true;
    leaving_ = true;
    ::shutdown(socket_.get(), SHUT_RDWR);
}

bool HttpdConnection::TryEvict() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (evicted_ || !evictable_) return false;
    evicted_ = true;
    leaving_ = true;
    evictable_ = false;
    ::shutdown(socket_.get(), SHUT_RDWR);
    return true;
}

int64_t HttpdConnection::ProgressSince() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return evictable_ ? lastProgress_.load() : -1;
}

bool HttpdConnection::BudgetHolder(int64_t& since) const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (evicted_ || !evictable_ || charged_ == 0) return false;
    since = holdingSince_;
    return true;
}

bool HttpdConnection::CutForBudget(size_t& freed) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    freed = 0;
    if (evicted_ || !evictable_) return false;
    evicted_ = true;
    cut_ = true;
    leaving_ = true;
    evictable_ = false;
    freed = charged_;
    charged_ = 0;
    // Reading ends at once; a request cut in its body may still be answered, so the client learns why.
    ::shutdown(socket_.get(), SHUT_RD);
    return true;
}

// ---- held bytes ----

// The connection now holds holding request bytes: what is beyond its own allowance is taken from the
// pool or given back. False when it was cut instead (or has been).
bool HttpdConnection::SetHolding(size_t holding) {
    size_t take = 0;
    size_t give = 0;
    bool cut = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (holding_ == 0 && holding > 0) holdingSince_ = NowMs();
        const bool growing = holding > holding_;
        holding_ = holding;
        const size_t own = limits_.HeldBytesFree;
        const size_t need = pool_ && !evicted_ && holding > own ? holding - own : 0;
        if (need > charged_) {
            take = need - charged_;
        } else {
            give = charged_ - need;
            charged_ = need;
        }
        cut = evicted_ && growing;  // an evicted connection takes nothing more in
    }
    if (give > 0) pool_->GiveHeld(give);
    if (cut) return false;
    if (take == 0) return true;
    if (!pool_->TakeHeld(this, take)) return false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!evicted_) {
            charged_ += take;
            return true;
        }
    }
    // Cut meanwhile: what it held went back then, and this goes back now (not under the state lock,
    // which comes after the pool's).
    pool_->GiveHeld(take);
    return false;
}

// ---- ending ----

void HttpdConnection::End(net_result result, const std::string& error, bool linger) {
    if (ended_) return;
    ended_ = true;
    leaving_ = true;
    endResult_ = result;
    if (!error.empty()) lastError_ = error;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        evictable_ = false;
    }
    inbuf_.clear();
    SetHolding(0);
    if (linger) {
        Linger();
    } else {
        ::shutdown(socket_.get(), SHUT_RDWR);
    }
}

// Closing a socket with unread incoming bytes makes the kernel send a reset, which can destroy a
// reply the client has not read yet. So: send our FIN, and read what the client still sends
// until it closes too, for a short while only.
void HttpdConnection::Linger() {
    int fd = socket_.get();
    pollfd probe{fd, POLLIN, 0};
    bool unread = bodyRemaining_ > 0 || !inbuf_.empty() || ::poll(&probe, 1, 0) > 0;
    ::shutdown(fd, unread ? SHUT_WR : SHUT_RDWR);
    if (!unread) return;
    int64_t until = NowMs() + kLingerMs;
    size_t discarded = 0;
    char scratch[4096];
    while (!shutdown_ && discarded < kLingerBytes) {
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, PollTimeout(until, NowMs()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = ::recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) break;
        discarded += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_RDWR);
}

void HttpdConnection::FinishEntry() { End(NET_DONE, std::string(), true); }

// ---- reading requests ----

net_result HttpdConnection::ReadRequest(uint32_t ms) {
    if (inRequest_) FinishRequest();
    int64_t deadline = NowMs() + ms;
    for (;;) {
        if (shutdown_) return ++shutdownReads_ == 1 ? NET_WOULDBLOCK : NET_DONE;
        if (ended_) return endResult_;
        if (bodyRemaining_ > 0) DiscardBufferedBody();
        if (bodyRemaining_ == 0) {
            if (!headStarted_ && !inbuf_.empty()) {
                headStarted_ = true;
                headStart_ = NowMs();
            }
            net_result taken = TakeHead();
            if (taken != NET_WOULDBLOCK) return taken;
        }
        net_result ready = WaitReadable(deadline, false);
        if (ready != NET_OK) {
            if (shutdown_ || ended_) continue;
            return ready;
        }
        ReceiveForHead();
    }
}

// The previous request is over once the program asks for the next: decide whether the
// connection can carry another one.
net_result HttpdConnection::FinishRequest() {
    inRequest_ = false;
    if (!parsed_) {
        // Whatever the client sent after the bad head is still unread: linger, so no reset destroys a
        // reply the program may have given.
        End(NET_ERROR, parseError_, true);
    } else if (!replyStarted_) {
        End(NET_ERROR, "The previous request was not answered; connection closed", true);
    } else if (replyRemaining_ > 0) {
        End(NET_ERROR,
            "The previous reply was " + std::to_string(replyRemaining_) +
                " bytes short of its Content-Length; connection closed",
            false);
    } else if (closeAfterReply_) {
        End(NET_DONE, std::string(), true);
    }
    if (ended_) return endResult_;
    haveReplyHead_ = false;
    replyStarted_ = false;
    bodyless_ = false;
    continueSent_ = false;
    blockedSince_ = -1;
    headStarted_ = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        evictable_ = true;
        lastProgress_ = NowMs();
    }
    // The request's head and body are the program's no longer: only bytes of a next request stay.
    head_ = HttpRequestHead();
    if (inbuf_.capacity() > 4096 && inbuf_.empty()) std::string().swap(inbuf_);
    SetHolding(inbuf_.size());
    return NET_OK;
}

// Body bytes the program did not read are dropped, never taken for the next head.
void HttpdConnection::DiscardBufferedBody() {
    size_t n = static_cast<size_t>(std::min<uint64_t>(bodyRemaining_, inbuf_.size()));
    inbuf_.erase(0, n);
    bodyRemaining_ -= n;
    searchFrom_ = 0;
    SetHolding(holding_ - std::min(holding_, n));
}

net_result HttpdConnection::TakeHead() {
    // Blank lines before a request line are allowed and skipped.
    size_t blank = 0;
    while (inbuf_.compare(blank, 2, "\r\n") == 0) blank += 2;
    if (blank > 0) {
        inbuf_.erase(0, blank);
        searchFrom_ = 0;
    }
    size_t end = inbuf_.find("\r\n\r\n", searchFrom_);
    if (end != std::string::npos && end + 4 <= limits_.MaxHeadBytes) {
        std::string head = inbuf_.substr(0, end);
        inbuf_.erase(0, end + 4);
        searchFrom_ = 0;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            if (evicted_) return NET_WOULDBLOCK;  // the socket is shut; the next read sees it
            StartRequest(head);
        }
        if (!parsed_) RefuseHead(parseStatus_, parseError_);
        return NET_OK;
    }
    if (end != std::string::npos || inbuf_.size() >= limits_.MaxHeadBytes) {
        const std::string error = "Request head is larger than " + std::to_string(limits_.MaxHeadBytes) + " bytes";
        RefuseHead(431, error);
        End(NET_ERROR, error, true);
        return NET_ERROR;
    }
    searchFrom_ = inbuf_.size() >= 3 ? inbuf_.size() - 3 : 0;
    return NET_WOULDBLOCK;
}

// Called with stateMutex_ held.
void HttpdConnection::StartRequest(const std::string& head) {
    inRequest_ = true;
    headStarted_ = false;
    parsed_ = ParseRequestHead(head, head_, parseError_, &parseStatus_);
    bodyRemaining_ = parsed_ ? head_.ContentLength : 0;
    bodyStart_ = NowMs();
    bodyTooLarge_ = bodyRemaining_ > limits_.MaxBodyBytes;
    closeAfterReply_ = !parsed_ || !head_.KeepAlive || bodyTooLarge_;
    // A request whose body is still to come waits on its client like an idle connection does.
    evictable_ = bodyRemaining_ > 0;
}

// The answer to a head the server will not take; the connection ends after it.
void HttpdConnection::RefuseHead(int status, const std::string& reason) {
    const char* text = status == 411 ? "Length Required" : status == 431 ? "Request Header Fields Too Large" : "Bad Request";
    const std::string body = reason + "\n";
    const std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + text + "\r\nContent-Length: " +
                              std::to_string(body.size()) +
                              "\r\nContent-Type: text/plain; charset=UTF8\r\nConnection: close\r\n\r\n" + body;
    if (inRequest_) replyStarted_ = true;  // the program's own reply to it would be a second one
    size_t sent = 0;
    Transmit(reply.data(), reply.size(), sent, kRefusalSendMs, false);
}

// The body's own limit: its deadline, or earlier the moment it falls below the minimum rate.
int64_t HttpdConnection::BodyLimitAt(std::string& error) const {
    const int64_t deadline = bodyStart_ + limits_.BodyDeadlineMs;
    error = "Request body not complete within " + std::to_string(limits_.BodyDeadlineMs) + " ms";
    if (limits_.MinBodyBytesPerSecond == 0) return deadline;
    const uint64_t received = std::min<uint64_t>(head_.ContentLength - bodyRemaining_, 1ULL << 40);
    const int64_t slowAt =
        bodyStart_ + limits_.BodyGraceMs + static_cast<int64_t>(received * 1000 / limits_.MinBodyBytesPerSecond);
    if (slowAt >= deadline) return deadline;
    error = "Request body slower than " + std::to_string(limits_.MinBodyBytesPerSecond) + " bytes per second";
    return slowAt;
}

// Reads more of the next head, or of an unread body being dropped.
net_result HttpdConnection::ReceiveForHead() {
    int fd = socket_.get();
    char scratch[kReadChunk];
    ssize_t n;
    if (bodyRemaining_ > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(bodyRemaining_, sizeof(scratch)));
        n = ::recv(fd, scratch, want, MSG_DONTWAIT);
        if (n > 0) bodyRemaining_ -= static_cast<uint64_t>(n);
    } else {
        size_t want = std::min(sizeof(scratch), limits_.MaxHeadBytes - std::min(limits_.MaxHeadBytes, inbuf_.size()));
        n = ::recv(fd, scratch, std::max<size_t>(want, 1), MSG_DONTWAIT);
        if (n > 0) {
            if (!SetHolding(holding_ + static_cast<size_t>(n))) {
                End(NET_DONE, kCutText, false);
                return NET_DONE;
            }
            inbuf_.append(scratch, static_cast<size_t>(n));
        }
    }
    if (n > 0) {
        Progress();
        return NET_OK;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return NET_WOULDBLOCK;
    int error = n < 0 ? errno : 0;
    bool evicted;
    bool cut;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        evicted = evicted_;
        cut = cut_;
    }
    if (evicted) {
        // Counted in the listener's notices: an end the program need not log.
        End(NET_DONE, cut ? kCutText : kMadeRoomText, false);
    } else if (n < 0 && error != ECONNRESET) {
        End(NET_ERROR, "recv failed: " + kivposix::ErrnoText(error), false);
    } else if (!inbuf_.empty() && bodyRemaining_ == 0) {
        End(NET_ERROR, "Connection closed in the middle of a request head", false);
    } else {
        End(NET_DONE, std::string(), false);
    }
    return endResult_;
}

// Waits until the socket has bytes (NET_OK), the caller's deadline passes (NET_WOULDBLOCK), or
// the connection's own limit for what it is waiting for passes (the connection ends).
net_result HttpdConnection::WaitReadable(int64_t deadline, bool forBody) {
    int64_t limitAt;
    std::string limitError;
    bool quiet = false;
    if (bodyRemaining_ > 0) {
        limitAt = BodyLimitAt(limitError);
    } else if (headStarted_) {
        limitAt = headStart_ + limits_.HeadDeadlineMs;
        limitError = "Request head not complete within " + std::to_string(limits_.HeadDeadlineMs) + " ms";
    } else {
        limitAt = lastProgress_.load() + limits_.IdleMs;
        quiet = true;  // an idle keep-alive connection simply ends
    }
    for (;;) {
        int64_t now = NowMs();
        if (now >= limitAt) {
            if (forBody) {
                // The program may still answer (an error reply); the connection ends after it.
                closeAfterReply_ = true;
                lastError_ = limitError;
            } else if (quiet) {
                End(NET_DONE, std::string(), false);
            } else {
                End(NET_ERROR, limitError, bodyRemaining_ > 0);
            }
            return NET_ERROR;
        }
        if (now >= deadline) return NET_WOULDBLOCK;
        pollfd pfd{socket_.get(), POLLIN, 0};
        int ready = ::poll(&pfd, 1, PollTimeout(std::min(deadline, limitAt), now));
        if (ready > 0) return NET_OK;
        if (ready < 0 && errno != EINTR) {
            lastError_ = "poll failed: " + kivposix::ErrnoText(errno);
            return NET_ERROR;
        }
    }
}

bool HttpdConnection::ParseRequest() {
    if (!inRequest_) {
        lastError_ = "No request head has been read";
        return false;
    }
    if (!parsed_) lastError_ = parseError_;
    return parsed_;
}

bool HttpdConnection::GetHeader(std::string& value, const std::string& name) const {
    return head_.FindHeader(name, value);
}

net_result HttpdConnection::ReadBody(char* buffer, size_t capacity, size_t& count, uint32_t ms) {
    const net_result result = ReadBodyChunk(buffer, capacity, count, ms);
    // What is left of the body is in doubt: the reply ends the connection, and its head says so.
    if (result == NET_ERROR || result == NET_WOULDBLOCK) closeAfterReply_ = true;
    return result;
}

// The whole body is in: from now on the request is served, and no eviction may end it.
bool HttpdConnection::BodyComplete() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    evictable_ = false;
    if (evicted_) lastError_ = cut_ ? kCutText : kMadeRoomText;
    return !evicted_;
}

// "100 Continue" for a client that waits for it before it sends its body.
net_result HttpdConnection::SendContinue(uint32_t ms) {
    continueSent_ = true;
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    size_t sent = 0;
    const net_result result = Transmit(kContinue, sizeof(kContinue) - 1, sent, ms, false);
    if (result == NET_DONE && sent == sizeof(kContinue) - 1) return NET_OK;
    if (result == NET_DONE) End(NET_DONE, "The client closed the connection", false);
    if (lastError_.empty()) lastError_ = "Could not send 100 Continue";
    return NET_ERROR;
}

net_result HttpdConnection::ReadBodyChunk(char* buffer, size_t capacity, size_t& count, uint32_t ms) {
    count = 0;
    if (shutdown_) {
        lastError_ = "The listener is shutting down";
        return NET_ERROR;
    }
    if (!inRequest_ || !parsed_) {
        lastError_ = "No request to read a body for";
        return NET_ERROR;
    }
    if (bodyTooLarge_) {
        lastError_ = "Request body of " + std::to_string(head_.ContentLength) + " bytes is over the limit of " +
                     std::to_string(limits_.MaxBodyBytes) + " bytes";
        return NET_ERROR;
    }
    if (bodyRemaining_ == 0) return NET_DONE;
    if (capacity == 0) {
        lastError_ = "ReadBody was given no room";
        return NET_ERROR;
    }
    size_t want = static_cast<size_t>(std::min<uint64_t>(bodyRemaining_, capacity));
    if (!inbuf_.empty()) {
        count = std::min(want, inbuf_.size());
        std::memcpy(buffer, inbuf_.data(), count);
        inbuf_.erase(0, count);
        bodyRemaining_ -= count;
        if (bodyRemaining_ == 0 && !BodyComplete()) return NET_ERROR;
        return NET_OK;
    }
    if (head_.ExpectsContinue && !continueSent_ && bodyRemaining_ == head_.ContentLength) {
        if (SendContinue(ms) != NET_OK) return NET_ERROR;
    }
    int64_t deadline = NowMs() + ms;
    for (;;) {
        if (ended_) {
            lastError_ = "The connection has ended";
            return NET_ERROR;
        }
        net_result ready = WaitReadable(deadline, true);
        if (shutdown_) {
            lastError_ = "The listener is shutting down";
            return NET_ERROR;
        }
        if (ready != NET_OK) return ready;
        ssize_t n = ::recv(socket_.get(), buffer, want, MSG_DONTWAIT);
        if (n > 0) {
            if (!SetHolding(holding_ + static_cast<size_t>(n))) {
                // Cut: the bytes are dropped; the program may still answer, and the connection ends after.
                closeAfterReply_ = true;
                lastError_ = kCutText;
                return NET_ERROR;
            }
            count = static_cast<size_t>(n);
            bodyRemaining_ -= count;
            Progress();
            if (bodyRemaining_ == 0 && !BodyComplete()) return NET_ERROR;
            return NET_OK;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        const int error = n < 0 ? errno : 0;
        bool evicted;
        bool cut;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            evicted = evicted_;
            cut = cut_;
        }
        if (evicted && cut) {
            // Only its reading was shut: the program may still answer, and the connection ends after.
            closeAfterReply_ = true;
            lastError_ = kCutText;
        } else if (evicted) {
            End(NET_ERROR, kMadeRoomText, false);
        } else if (n == 0 || error == ECONNRESET) {
            End(NET_DONE, "Connection closed before the request body was complete", false);
        } else {
            End(NET_ERROR, "recv failed: " + kivposix::ErrnoText(error), false);
        }
        return NET_ERROR;
    }
}

// ---- replies ----

bool HttpdConnection::SetHeaders(const HttpResponseHeaders& headers) {
    if (!inRequest_) {
        lastError_ = "No request to reply to";
        return false;
    }
    if (replyStarted_) {
        lastError_ = "A reply head was already sent for this request";
        return false;
    }
    if (headers.StatusCode < 100 || headers.StatusCode > 999) {
        lastError_ = "Bad status code " + std::to_string(headers.StatusCode);
        return false;
    }
    if (!IsFieldValue(headers.StatusText) || !IsFieldValue(headers.ContentType)) {
        lastError_ = "Control character in the status text or content type";
        return false;
    }
    for (const auto& field : headers.Headers) {
        if (!IsToken(field.first) || !IsFieldValue(field.second)) {
            lastError_ = "Malformed reply header \"" + field.first + "\"";
            return false;
        }
        if (ReservedReplyHeader(field.first)) {
            lastError_ = "Reply header \"" + field.first + "\" is written by the listener";
            return false;
        }
    }
    replyHead_ = headers;
    haveReplyHead_ = true;
    return true;
}

std::string HttpdConnection::BuildHead() const {
    std::string text = "HTTP/1.1 " + std::to_string(replyHead_.StatusCode) + " " + replyHead_.StatusText + "\r\n";
    text += "Content-Length: " + std::to_string(replyHead_.ContentLength) + "\r\n";
    if (!replyHead_.ContentType.empty()) text += "Content-Type: " + replyHead_.ContentType + "\r\n";
    for (const auto& field : replyHead_.Headers) text += field.first + ": " + field.second + "\r\n";
    if (closeAfterReply_ || shutdown_) {
        text += "Connection: close\r\n";
    } else if (head_.MinorVersion == 0) {
        text += "Connection: keep-alive\r\n";
    }
    text += "\r\n";
    return text;
}

net_result HttpdConnection::SendHeaders(uint32_t ms) {
    if (!haveReplyHead_) {
        lastError_ = replyStarted_ ? "A reply head was already sent for this request" : "SetHeaders was not called";
        return NET_ERROR;
    }
    if (ended_) {
        lastError_ = "The connection has ended";
        return NET_ERROR;
    }
    {
        // A reply is under way: the request is being served, whatever is left of its body.
        std::lock_guard<std::mutex> lock(stateMutex_);
        evictable_ = false;
    }
    std::string text = BuildHead();
    bodyless_ = head_.Method == "HEAD";
    uint64_t body = bodyless_ ? 0 : replyHead_.ContentLength;
    size_t sent = 0;
    net_result result = Transmit(text.data(), text.size(), sent, ms, body > 0);
    if (result == NET_WOULDBLOCK) return NET_WOULDBLOCK;  // nothing went: the head may be sent again
    haveReplyHead_ = false;
    replyStarted_ = true;
    replyRemaining_ = body;
    if (result == NET_DONE && sent == text.size()) return NET_OK;
    if (result == NET_DONE) lastError_ = "The client closed the connection";
    End(NET_ERROR, lastError_, false);  // a part of a head cannot be followed by anything
    return NET_ERROR;
}

// The checks every body send makes first. False when the call is answered here (answer, sent).
bool HttpdConnection::BodySendAllowed(size_t length, size_t& sent, net_result& answer) {
    sent = 0;
    answer = NET_ERROR;
    if (!replyStarted_) {
        lastError_ = "Send before SendHeaders";
        return false;
    }
    if (ended_) {
        if (lastError_.empty()) lastError_ = "The connection has ended";
        return false;
    }
    if (length == 0 || bodyless_) {
        sent = length;
        answer = NET_DONE;
        return false;
    }
    if (length > replyRemaining_) {
        lastError_ = "Send of " + std::to_string(length) + " bytes goes past the reply's Content-Length (" +
                     std::to_string(replyRemaining_) + " bytes left)";
        return false;
    }
    return true;
}

net_result HttpdConnection::Send(const void* bytes, size_t length, size_t& sent, uint32_t ms) {
    net_result answer;
    if (!BodySendAllowed(length, sent, answer)) return answer;
    net_result result = Transmit(static_cast<const char*>(bytes), length, sent, ms, replyRemaining_ > length);
    replyRemaining_ -= sent;
    return result;
}

net_result HttpdConnection::SendFromFile(int fd, uint64_t offset, size_t length, size_t& sent, uint32_t ms) {
    net_result answer;
    if (!BodySendAllowed(length, sent, answer)) return answer;
    const uint64_t maxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    if (fd < 0 || length > maxOffset || offset > maxOffset - length) {
        lastError_ = "No file range to send: descriptor " + std::to_string(fd) + ", offset " + std::to_string(offset);
        return NET_ERROR;
    }
    net_result result = TransmitFile(fd, offset, length, sent, ms);
    replyRemaining_ -= sent;
    return result;
}

// Waits for room in the socket after a send found none: NET_OK to try again; NET_WOULDBLOCK when
// nothing has gone yet and the caller's time is up; NET_ERROR once the client has taken nothing
// for the stall limit, counted across calls (the connection then ends).
net_result HttpdConnection::AwaitRoom(bool anySent, int64_t firstByteBy) {
    int64_t now = NowMs();
    if (blockedSince_ < 0) blockedSince_ = now;
    int64_t stallAt = blockedSince_ + limits_.SendStallMs;
    if (now >= stallAt) {
        // Reset rather than leave the unread reply queued in the kernel after we close.
        linger abort{1, 0};
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        End(NET_ERROR, "The client took no reply bytes for " + std::to_string(limits_.SendStallMs) + " ms", false);
        return NET_ERROR;
    }
    if (!anySent && now >= firstByteBy) return NET_WOULDBLOCK;
    int64_t until = anySent ? stallAt : std::min(stallAt, firstByteBy);
    pollfd pfd{socket_.get(), POLLOUT, 0};
    ::poll(&pfd, 1, PollTimeout(until, now));
    return NET_OK;
}

// Writes bytes: NET_WOULDBLOCK when none went within ms; once the first went, on until all went
// (NET_DONE), the client has gone (NET_DONE, fewer sent), or the client took nothing for the
// stall limit (NET_ERROR). more: further bytes of the same reply follow, so the kernel may wait
// to fill a segment.
net_result HttpdConnection::Transmit(const char* bytes, size_t length, size_t& sent, uint32_t ms, bool more) {
    sent = 0;
    int64_t firstByteBy = NowMs() + ms;
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
    while (sent < length) {
        if (shutdown_) {
            lastError_ = "The listener is shutting down";
            return NET_ERROR;
        }
        ssize_t n = ::send(socket_.get(), bytes + sent, length - sent, flags);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            blockedSince_ = -1;
            continue;
        }
        int error = errno;
        if (n < 0 && error == EINTR) continue;
        if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            net_result waited = AwaitRoom(sent > 0, firstByteBy);
            if (waited != NET_OK) return waited;
            continue;
        }
        if (PeerGone(error)) {
            End(NET_DONE, "The client closed the connection", false);
            return NET_DONE;
        }
        End(NET_ERROR, "send failed: " + kivposix::ErrnoText(error), false);
        return NET_ERROR;
    }
    return NET_DONE;
}

// Transmit's loop with sendfile. The socket is non-blocking, so sendfile takes what fits and the
// waiting is AwaitRoom's, as for send. sendfile has no MSG_NOSIGNAL: SigpipeBlock keeps a closed
// peer an EPIPE even in a program that has not ignored SIGPIPE.
net_result HttpdConnection::TransmitFile(int fd, uint64_t offset, size_t length, size_t& sent, uint32_t ms) {
    sent = 0;
    int64_t firstByteBy = NowMs() + ms;
    off_t position = static_cast<off_t>(offset);
    SigpipeBlock sigpipe;
    SocketCork cork(socket_.get());
    while (sent < length) {
        if (shutdown_) {
            lastError_ = "The listener is shutting down";
            return NET_ERROR;
        }
        ssize_t n = ::sendfile(socket_.get(), fd, &position, std::min(length - sent, kMaxSendfileBytes));
        if (n > 0) {
            sent += static_cast<size_t>(n);
            blockedSince_ = -1;
            continue;
        }
        if (n == 0) {
            // Shorter than when the reply was planned (truncated meanwhile): what is left can only
            // be made up, so the reply ends short and the client sees it by the Content-Length.
            End(NET_ERROR,
                "The file ends before offset " + std::to_string(static_cast<uint64_t>(position)) + ": the reply is " +
                    std::to_string(replyRemaining_ - sent) + " bytes short of its Content-Length",
                false);
            return NET_ERROR;
        }
        int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            net_result waited = AwaitRoom(sent > 0, firstByteBy);
            if (waited != NET_OK) return waited;
            continue;
        }
        if (PeerGone(error)) {
            if (error == EPIPE) sigpipe.Raised();
            End(NET_DONE, "The client closed the connection", false);
            return NET_DONE;
        }
        End(NET_ERROR, "sendfile failed: " + kivposix::ErrnoText(error), false);
        return NET_ERROR;
    }
    return NET_DONE;
}

}  // namespace kivhttp
