// An HTTP/1.1 client over one connected stream: requests go out one after another on it, and each
// reply's head and body are read before the next request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "kiv_client.h"

class kiv_http {
public:
    // Reply heads and bodies longer than these are refused (NET_ERROR).
    static const size_t MaxHeadBytes = 16 * 1024;
    static const size_t MaxBodyBytes = 64 * 1024;

    // stream is not owned and must outlive the object; clientName goes out as the User-Agent. Empty
    // without a stream or a name.
    static boost::shared_ptr<kiv_http> GetInstance(INonblockingStream* stream, const std::string& clientName);
    ~kiv_http();

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
    // longer than MaxHeadBytes.
    net_result PollHeaders(uint32_t ms);
    // The status of the reply head read by PollHeaders; 0 before one is in.
    int GetStatusCode() const { return status_; }
    // A header of the reply (names compare without regard to case); false when absent.
    bool GetResponseHeader(const std::string& name, std::string& value) const;
    // Reads the whole reply body (by Content-Length, chunked, or up to the close) within ms in all:
    // NET_DONE with the body; NET_WOULDBLOCK it did not all come in time; NET_ERROR failure, or a body
    // longer than MaxBodyBytes. After NET_DONE the connection takes the next request.
    net_result ReadResponseBody(std::string& body, uint32_t ms);
    const std::string& GetLastError() const { return lastError_; }

private:
    enum class Phase { Idle, SendingBody, AwaitingHead, HeadIn, Broken };

    kiv_http(INonblockingStream* stream, const std::string& clientName);
    int StartRequest(const std::string& method, const std::string& host, const std::string& target,
                     const std::string& extraHeaders, bool withLength, uint64_t contentLength, uint32_t ms);
    bool WriteAll(const std::string& bytes, uint32_t ms);
    // Reads more reply bytes into received_ within ms; false (with the reason) on close or failure.
    net_result ReadMore(uint32_t ms);
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
    int status_ = 0;
    std::string headers_;    // the reply head's header lines
    bool chunked_ = false;
    bool hasLength_ = false;
    uint64_t contentLength_ = 0;
    std::string lastError_;
};
