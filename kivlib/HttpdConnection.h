// One accepted HTTP connection: the request reader and reply writer its connection entry uses.
// Everything but RequestShutdown, TryEvict, ProgressSince and Leaving runs on the connection's own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "HttpRequestHead.h"
#include "PosixFd.h"
#include "kiv_httpd_listener.h"

namespace kivhttp {

class HttpdConnection;

// The shared budget of held request bytes (HttpdLimits::HeldBytesBudget), kept by the listener.
class HeldBytesPool {
public:
    // Takes n bytes for who; false when who was cut instead (the pool then holds nothing for it).
    virtual bool TakeHeld(HttpdConnection* who, size_t n) = 0;
    virtual void GiveHeld(size_t n) = 0;

protected:
    ~HeldBytesPool() = default;
};

class HttpdConnection : public IHttpdConnection, public IHttpdRequest {
public:
    // pool: where bytes beyond the connection's own HeldBytesFree come from; none: no budget.
    HttpdConnection(kivposix::UniqueFd socket, void* userData, const HttpdLimits& limits,
                    HeldBytesPool* pool = nullptr);
    ~HttpdConnection() = default;
    HttpdConnection(const HttpdConnection&) = delete;
    HttpdConnection& operator=(const HttpdConnection&) = delete;

    // IHttpdConnection
    bool ShutdownRequested() const override { return shutdown_.load(); }
    IHttpdRequest* GetRequest() override { return this; }
    void* GetUserData() const override { return userData_; }

    // IHttpdRequest. At shutdown ReadRequest answers NET_WOULDBLOCK once, so a request loop that
    // polls ShutdownRequested sees it, and NET_DONE after that.
    net_result ReadRequest(uint32_t ms) override;
    bool ParseRequest() override;
    std::string GetMethod() const override { return head_.Method; }
    std::string GetPath() const override { return head_.Path; }
    std::string GetQuery() const override { return head_.Query; }
    bool GetHeader(std::string& value, const std::string& name) const override;
    net_result ReadBody(char* buffer, size_t capacity, size_t& count, uint32_t ms) override;
    bool SetHeaders(const HttpResponseHeaders& headers) override;
    net_result SendHeaders(uint32_t ms) override;
    net_result Send(const void* bytes, size_t length, size_t& sent, uint32_t ms) override;
    bool CanSendFromFile() const override { return true; }
    // With sendfile(2): no copy of the bytes, and no mapping a shrinking file could turn into SIGBUS.
    net_result SendFromFile(int fd, uint64_t offset, size_t length, size_t& sent, uint32_t ms) override;
    std::string GetLastError() const override { return lastError_; }
    bool ClientGone() override;
    bool EndedByListener() const override;

    // Called once the entry has returned: the socket is closed for good (after a short linger when
    // the client still has bytes on their way, so the last reply is not lost to a reset).
    void FinishEntry();

    // Listener side, any thread: wake every blocking call; raise ShutdownRequested.
    void RequestShutdown();
    // Ends the connection when it waits for a head, for the rest of a body or for nothing (to make
    // room for a new one); true when it did.
    bool TryEvict();
    // While it could be evicted: since when (monotonic ms) no byte has arrived; -1 while a request
    // is being served or once ending.
    int64_t ProgressSince() const;
    // Evicted, shut down or ended: no longer counts against the cap.
    bool Leaving() const { return leaving_.load(); }
    // Pool side, with the pool's lock: true while it receives a head or a body and holds bytes of the
    // budget; since: when the first of the bytes it holds came (monotonic ms).
    bool BudgetHolder(int64_t& since) const;
    // Ends the connection, as TryEvict does, for holding too much; true when it did, with the budget
    // bytes it held in freed (they are the pool's again).
    bool CutForBudget(size_t& freed);

    static int64_t NowMs();

private:
    net_result FinishRequest();
    void StartRequest(const std::string& head);
    net_result TakeHead();
    void DiscardBufferedBody();
    net_result ReceiveForHead();
    net_result WaitReadable(int64_t deadline, bool forBody);
    net_result ReadBodyChunk(char* buffer, size_t capacity, size_t& count, uint32_t ms);
    bool BodyComplete();
    net_result SendContinue(uint32_t ms);
    int64_t BodyLimitAt(std::string& error) const;
    void RefuseHead(int status, const std::string& reason);
    void Progress() { lastProgress_ = NowMs(); }
    bool SetHolding(size_t holding);
    bool BodySendAllowed(size_t length, size_t& sent, net_result& answer);
    net_result Transmit(const char* bytes, size_t length, size_t& sent, uint32_t ms, bool more);
    net_result TransmitFile(int fd, uint64_t offset, size_t length, size_t& sent, uint32_t ms);
    net_result AwaitRoom(bool anySent, int64_t firstByteBy);
    std::string BuildHead() const;
    void End(net_result result, const std::string& error, bool linger);
    void Linger();

    kivposix::UniqueFd socket_;
    void* const userData_;
    const HttpdLimits limits_;

    std::atomic<bool> shutdown_{false};
    std::atomic<bool> leaving_{false};
    int shutdownReads_ = 0;

    // Guards the steps into and out of the states in which an eviction may end the connection.
    mutable std::mutex stateMutex_;
    bool evicted_ = false;
    bool evictable_ = true;  // waiting for a head, the rest of a body, or nothing
    std::atomic<int64_t> lastProgress_;  // when the last byte arrived (or the last reply ended)
    HeldBytesPool* const pool_;
    bool cut_ = false;       // evicted for the budget, not at the cap
    size_t holding_ = 0;     // request bytes held: the next head's, or this request's head and body
    size_t charged_ = 0;     // of them, taken from the pool
    int64_t holdingSince_ = 0;

    bool ended_ = false;
    net_result endResult_ = NET_DONE;
    std::string lastError_;

    // Incoming bytes not yet used: the start of the next head (pipelined), or body bytes.
    std::string inbuf_;
    size_t searchFrom_ = 0;
    bool headStarted_ = false;
    int64_t headStart_ = 0;

    bool inRequest_ = false;
    bool parsed_ = false;
    std::string parseError_;
    int parseStatus_ = 0;  // the reply a head that did not parse gets (400, 411)
    bool continueSent_ = false;
    HttpRequestHead head_;
    uint64_t bodyRemaining_ = 0;
    int64_t bodyStart_ = 0;
    bool bodyTooLarge_ = false;
    bool closeAfterReply_ = false;

    bool haveReplyHead_ = false;
    HttpResponseHeaders replyHead_{200, "OK"};
    bool replyStarted_ = false;
    bool bodyless_ = false;  // reply to HEAD: the body is counted, never sent
    uint64_t replyRemaining_ = 0;
    int64_t blockedSince_ = -1;  // since when the client has taken no reply byte
};

}  // namespace kivhttp
