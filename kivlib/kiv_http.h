// An HTTP/1.1 client over one connected stream: requests go out one after another on it, and each
// reply's head and body are read before the next request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "kiv_client.h"

class kiv_http {
public:
    // Reply heads and bodies longer than these are refused (NET_ERROR). The head's count takes in the
    // interim 1xx replies before it, and a chunked body's trailer lines count against MaxHeadBytes of
    // their own; nothing beyond these is kept.
    static const size_t MaxHeadBytes = 16 * 1024;
    static const size_t MaxBodyBytes = 64 * 1024;
    // How often a wait looks at the stop flag.
    static constexpr uint32_t StopPollMs = 100;

    // stream is not owned and must outlive the object; clientName goes out as the User-Agent. Empty
    // without a stream or a name.
    static boost::shared_ptr<kiv_http> GetInstance(INonblockingStream* stream, const std::string& clientName);
    ~kiv_http();
    // A flag another thread may set to end every wait of this client within StopPollMs: the call
    // under way fails (NET_ERROR, or 1 for a send) and so does every later one. Not owned; null for none.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

    // Sends a GET request head (a POST when body is not empty, with the body) within ms in all. host
    // is the Host header's value. extraHeaders is empty or header lines each introduced by CR LF
    // ("\r\nName: value"): it follows the last header line directly. flags: none defined yet, 0.
    // 0 when the whole request went out; 1 when it could not be sent (GetLastError says why).
    int SendRequest(const std::string& host, const std::string& pathWithQuery, int flags, uint32_t ms,
                    const std::string& extraHeaders, const std::string& body);
    // Sends the head of a POST whose body of exactly contentLength bytes follows through WriteBody.
    // The other arguments as in SendRequest; the last is the method, empty for POST. 0 when the head
    // went out.
    int SendRequestWithBody(const std::string& host, const std::string& path, uint64_t contentLength, int flags,
                            uint32_t ms, const std::string& extraHeaders, const std::string& method);
    // One write of body bytes: NET_OK with written (> 0) bytes taken, which may be fewer than length;
    // NET_WOULDBLOCK nothing was taken within ms; NET_ERROR failure, or bytes beyond the announced
    // length (nothing is written then).
    net_result WriteBody(const void* bytes, size_t length, size_t& written, uint32_t ms);
    // Waits up to ms for the reply head: NET_OK it is in (interim 1xx replies are skipped);
    // NET_WOULDBLOCK not yet; NET_ERROR the connection closed or failed, or the head is malformed or
    // longer than MaxHeadBytes (interim replies included). The time is looked at before every read,
    // so a server that keeps sending returns within ms all the same.
    net_result PollHeaders(uint32_t ms);
    // The status of the reply head read by PollHeaders; 0 before one is in.
    int GetStatusCode() const { return status_; }
    // A header of the reply (names compare without regard to case); false when absent.
    bool GetResponseHeader(const std::string& name, std::string& value) const;
    // Reads the whole reply body (by Content-Length, chunked, or up to the close) within ms in all:
    // NET_DONE with the body; NET_WOULDBLOCK it did not all come in time; NET_ERROR failure, or a body
    // longer than MaxBodyBytes, or trailer lines longer than MaxHeadBytes. The time is looked at before
    // every read. After NET_DONE the connection takes the next request.
    net_result ReadResponseBody(std::string& body, uint32_t ms);
    const std::string& GetLastError() const { return lastError_; }

private:
    enum class Phase { Idle, SendingBody, AwaitingHead, HeadIn, Broken };

    kiv_http(INonblockingStream* stream, const std::string& clientName);
    int StartRequest(const std::string& method, const std::string& host, const std::string& target,
                     const std::string& extraHeaders, bool withLength, uint64_t contentLength, uint32_t ms);
    bool WriteAll(const std::string& bytes, uint32_t ms);
    // One write, waiting up to until: as INonblockingStream::Write; NET_ERROR when stopped.
    net_result WriteSome(const void* bytes, size_t length, size_t& written, std::chrono::steady_clock::time_point until);
    // Reads more reply bytes into received_, waiting up to until, which is looked at before every read:
    // NET_OK bytes came; NET_WOULDBLOCK the time is up; NET_DONE closed; NET_ERROR failure or a stop
    // (the stop flag set).
    net_result ReadMore(std::chrono::steady_clock::time_point until);
    bool Stopped() const { return stop_ && stop_->load(); }
    // The failure for a read that gave neither bytes nor a time-out.
    net_result ReadFailed(net_result result, const std::string& closedText);
    net_result ReadChunkedBody(std::string& body, std::chrono::steady_clock::time_point until);
    bool ParseHead(const std::string& head);
    net_result Fail(const std::string& reason);
    net_result TimedOut();
    void FinishReply();

    INonblockingStream* stream_;
    std::string clientName_;
    Phase phase_ = Phase::Idle;
    bool headRequest_ = false;
    uint64_t bodyLeft_ = 0;  // body bytes of the request still to be written
    std::string received_;   // reply bytes not taken yet
    size_t headBytes_ = 0;   // bytes of this reply's heads taken so far, interim ones included
    const std::atomic<bool>* stop_ = nullptr;
    int status_ = 0;
    std::string headers_;    // the reply head's header lines
    bool chunked_ = false;
    bool hasLength_ = false;
    uint64_t contentLength_ = 0;
    std::string lastError_;
};
