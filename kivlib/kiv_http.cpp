#include "kiv_http.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "HttpRequestHead.h"

namespace {

using Clock = std::chrono::steady_clock;

uint32_t MsLeft(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

Clock::time_point After(uint32_t ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// The request line must stay one line of three words.
bool IsTargetText(const std::string& text) {
    if (text.empty() || text[0] != '/') return false;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F) return false;
    }
    return true;
}

// Header text to append: nothing, or lines each introduced by CR LF; no empty line, no bare CR or LF.
bool IsExtraHeaderText(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        if (text.compare(at, 2, "\r\n") != 0) return false;
        const size_t end = text.find("\r\n", at + 2);
        const std::string line = text.substr(at + 2, (end == std::string::npos ? text.size() : end) - at - 2);
        if (line.empty() || line.find(':') == std::string::npos || !kivhttp::IsFieldValue(line)) return false;
        at = end == std::string::npos ? text.size() : end;
    }
    return true;
}

bool ParseDecimal(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

boost::shared_ptr<kiv_http> kiv_http::GetInstance(INonblockingStream* stream, const std::string& clientName) {
    if (!stream || clientName.empty() || !kivhttp::IsFieldValue(clientName)) return boost::shared_ptr<kiv_http>();
    return boost::shared_ptr<kiv_http>(new kiv_http(stream, clientName));
}

kiv_http::kiv_http(INonblockingStream* stream, const std::string& clientName)
    : stream_(stream), clientName_(clientName) {}

kiv_http::~kiv_http() = default;

int kiv_http::SendRequest(const std::string& host, const std::string& pathWithQuery, int /*flags*/, uint32_t ms,
                          const std::string& extraHeaders, const std::string& body) {
    const Clock::time_point until = After(ms);
    const bool post = !body.empty();
    if (StartRequest(post ? "POST" : "GET", host, pathWithQuery, extraHeaders, post, body.size(), ms) != 0) return 1;
    if (post && !WriteAll(body, MsLeft(until))) return 1;
    return 0;
}

int kiv_http::SendRequestWithBody(const std::string& host, const std::string& path, uint64_t contentLength,
                                  int /*flags*/, uint32_t ms, const std::string& extraHeaders,
                                  const std::string& method) {
    return StartRequest(method.empty() ? "POST" : method, host, path, extraHeaders, true, contentLength, ms);
}

int kiv_http::StartRequest(const std::string& method, const std::string& host, const std::string& target,
                           const std::string& extraHeaders, bool withLength, uint64_t contentLength, uint32_t ms) {
    if (phase_ == Phase::Broken) {
        lastError_ = "the connection cannot take another request";
        return 1;
    }
    if (phase_ != Phase::Idle) {
        phase_ = Phase::Broken;  // the earlier exchange was left half way
        lastError_ = "the previous request was not finished";
        return 1;
    }
    if (!kivhttp::IsToken(method) || host.empty() || !kivhttp::IsFieldValue(host) ||
        host.find_first_of(" \t") != std::string::npos || !IsTargetText(target) || !IsExtraHeaderText(extraHeaders)) {
        lastError_ = "malformed request";
        return 1;
    }
    std::string head = method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: " + clientName_;
    if (withLength) head += "\r\nContent-Length: " + std::to_string(contentLength);
    head += extraHeaders;
    head += "\r\n\r\n";
    received_.clear();
    headBytes_ = 0;
    status_ = 0;
    headers_.clear();
    headRequest_ = method == "HEAD";
    bodyLeft_ = withLength ? contentLength : 0;
    if (!WriteAll(head, ms)) return 1;
    phase_ = bodyLeft_ > 0 ? Phase::SendingBody : Phase::AwaitingHead;
    return 0;
}

bool kiv_http::WriteAll(const std::string& bytes, uint32_t ms) {
    const Clock::time_point until = After(ms);
    size_t done = 0;
    while (done < bytes.size()) {
        size_t written = 0;
        const net_result result = WriteSome(bytes.data() + done, bytes.size() - done, written, until);
        if (result != NET_OK) {
            phase_ = Phase::Broken;
            if (result == NET_WOULDBLOCK) lastError_ = "the peer took nothing in time";
            else if (!Stopped()) lastError_ = "write failed";
            return false;
        }
        done += written;
    }
    return true;
}

// The wait is cut into slices so that a stop is seen while the peer takes nothing.
net_result kiv_http::WriteSome(const void* bytes, size_t length, size_t& written, Clock::time_point until) {
    written = 0;
    for (;;) {
        if (Stopped()) {
            lastError_ = "stopped";
            return NET_ERROR;
        }
        const uint32_t left = MsLeft(until);
        const net_result result = stream_->Write(bytes, length, written, std::min(left, StopPollMs));
        if (result != NET_WOULDBLOCK || left <= StopPollMs) return result;
    }
}

net_result kiv_http::WriteBody(const void* bytes, size_t length, size_t& written, uint32_t ms) {
    written = 0;
    if (phase_ != Phase::SendingBody || length == 0 || length > bodyLeft_) {
        lastError_ = phase_ != Phase::SendingBody ? "no request body is open" : "more body bytes than announced";
        return NET_ERROR;
    }
    const net_result result = WriteSome(bytes, length, written, After(ms));
    if (result == NET_OK) {
        bodyLeft_ -= written;
        if (bodyLeft_ == 0) phase_ = Phase::AwaitingHead;
        return NET_OK;
    }
    written = 0;
    if (result == NET_WOULDBLOCK) return NET_WOULDBLOCK;
    phase_ = Phase::Broken;
    if (!Stopped()) lastError_ = "write failed";
    return NET_ERROR;
}

// A read returns at once while bytes are waiting, so the deadline is looked at here, before each one:
// a peer that never stops sending is cut off at it all the same. The wait itself is sliced for the stop.
net_result kiv_http::ReadMore(Clock::time_point until) {
    for (;;) {
        if (Stopped()) return NET_ERROR;
        const uint32_t left = MsLeft(until);
        if (left == 0) return NET_WOULDBLOCK;
        char buffer[8192];
        size_t count = 0;
        const net_result result = stream_->Read(buffer, sizeof(buffer), count, std::min(left, StopPollMs));
        if (result == NET_OK) received_.append(buffer, count);
        if (result != NET_WOULDBLOCK) return result;
    }
}

net_result kiv_http::ReadFailed(net_result result, const std::string& closedText) {
    if (Stopped()) return Fail("stopped");
    return Fail(result == NET_DONE ? closedText : "read failed");
}

net_result kiv_http::Fail(const std::string& reason) {
    phase_ = Phase::Broken;
    lastError_ = reason;
    return NET_ERROR;
}

// A body cut short by the time limit leaves the connection unusable.
net_result kiv_http::TimedOut() {
    phase_ = Phase::Broken;
    lastError_ = "reply body not complete in time";
    return NET_WOULDBLOCK;
}

net_result kiv_http::PollHeaders(uint32_t ms) {
    if (phase_ == Phase::HeadIn) return NET_OK;
    // A server may answer before the whole body went out (a refusal, say): the head is read all the same.
    if (phase_ != Phase::AwaitingHead && phase_ != Phase::SendingBody) return Fail("no request awaits a reply");
    const Clock::time_point until = After(ms);
    for (;;) {
        const size_t end = received_.find("\r\n\r\n");
        if (end != std::string::npos) {
            // Interim replies count: an endless run of them is a head too long.
            headBytes_ += end + 4;
            if (headBytes_ > MaxHeadBytes) return Fail("reply head too long");
            const std::string head = received_.substr(0, end);
            received_.erase(0, end + 4);
            if (!ParseHead(head)) return Fail("malformed reply head");
            if (status_ >= 100 && status_ < 200) continue;  // interim reply: the real one follows
            phase_ = Phase::HeadIn;
            return NET_OK;
        }
        if (headBytes_ + received_.size() > MaxHeadBytes) return Fail("reply head too long");
        const net_result result = ReadMore(until);
        if (result == NET_WOULDBLOCK) return NET_WOULDBLOCK;
        if (result != NET_OK) return ReadFailed(result, "the server closed the connection before its reply");
    }
}

bool kiv_http::ParseHead(const std::string& head) {
    const size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.compare(0, 7, "HTTP/1.") != 0 || statusLine.size() < 12 || statusLine[8] != ' ') return false;
    const std::string code = statusLine.substr(9, 3);
    uint64_t value = 0;
    if (!ParseDecimal(code, value) || value < 100 || (statusLine.size() > 12 && statusLine[12] != ' ')) return false;
    status_ = static_cast<int>(value);
    headers_ = lineEnd == std::string::npos ? std::string() : head.substr(lineEnd + 2);
    chunked_ = false;
    hasLength_ = false;
    contentLength_ = 0;
    std::string text;
    if (GetResponseHeader("Transfer-Encoding", text)) {
        chunked_ = kivhttp::EqualsIgnoreCase(Trim(text), "chunked");
        if (!chunked_) return false;  // no other coding can be framed
    } else if (GetResponseHeader("Content-Length", text)) {
        if (!ParseDecimal(Trim(text), contentLength_)) return false;
        hasLength_ = true;
    }
    return true;
}

bool kiv_http::GetResponseHeader(const std::string& name, std::string& value) const {
    value.clear();
    size_t at = 0;
    while (at < headers_.size()) {
        size_t end = headers_.find("\r\n", at);
        if (end == std::string::npos) end = headers_.size();
        const std::string line = headers_.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && kivhttp::EqualsIgnoreCase(line.substr(0, colon), name)) {
            value = Trim(line.substr(colon + 1));
            return true;
        }
        at = end + 2;
    }
    return false;
}

// A reply that came before the request's whole body went out leaves the connection mid-request.
void kiv_http::FinishReply() {
    if (bodyLeft_ > 0) {
        phase_ = Phase::Broken;
        lastError_ = "the request body was not sent whole";
    } else {
        phase_ = Phase::Idle;
    }
}

net_result kiv_http::ReadResponseBody(std::string& body, uint32_t ms) {
    body.clear();
    if (phase_ != Phase::HeadIn) return Fail("no reply head was read");
    const Clock::time_point until = After(ms);
    const bool none = headRequest_ || status_ == 204 || status_ == 304;
    if (none || (hasLength_ && contentLength_ == 0)) {
        FinishReply();
        return NET_DONE;
    }
    if (hasLength_ && contentLength_ > MaxBodyBytes) return Fail("reply body too long");

    if (hasLength_) {
        while (received_.size() < contentLength_) {
            const net_result result = ReadMore(until);
            if (result == NET_WOULDBLOCK) return TimedOut();
            if (result != NET_OK) return ReadFailed(result, "the reply body was cut off");
        }
        body = received_.substr(0, static_cast<size_t>(contentLength_));
        received_.clear();
        FinishReply();
        return NET_DONE;
    }

    if (!chunked_) {  // up to the close; the connection ends with it
        for (;;) {
            if (received_.size() > MaxBodyBytes) return Fail("reply body too long");
            const net_result result = ReadMore(until);
            if (result == NET_DONE) break;
            if (result == NET_WOULDBLOCK) return TimedOut();
            if (result != NET_OK) return ReadFailed(result, "read failed");
        }
        body.swap(received_);
        phase_ = Phase::Broken;
        lastError_ = "the server closed the connection";
        return NET_DONE;
    }

    return ReadChunkedBody(body, until);
}

// Chunked: size line, data, CR LF, ... a zero size, trailer lines, an empty line. What is taken is
// dropped before each read, so only the chunk in hand is kept; trailer lines count against
// MaxHeadBytes, so an endless trailer is refused like an endless head.
net_result kiv_http::ReadChunkedBody(std::string& body, Clock::time_point until) {
    const size_t kMaxSizeLine = 1024;
    std::string decoded;
    size_t at = 0;
    size_t trailerBytes = 0;
    bool trailer = false;
    for (;;) {
        const size_t lineEnd = received_.find("\r\n", at);
        if (lineEnd != std::string::npos) {
            const std::string line = received_.substr(at, lineEnd - at);
            if (trailer) {
                trailerBytes += line.size() + 2;
                if (trailerBytes > MaxHeadBytes) return Fail("reply trailer too long");
                at = lineEnd + 2;
                if (line.empty()) break;
                continue;
            }
            const std::string digits = Trim(line.substr(0, line.find(';')));
            if (line.size() > kMaxSizeLine || digits.empty() || digits.size() > 8 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                return Fail("malformed chunk");
            }
            const uint64_t size = std::strtoull(digits.c_str(), nullptr, 16);
            if (size == 0) {
                trailer = true;
                at = lineEnd + 2;
                continue;
            }
            if (decoded.size() + size > MaxBodyBytes) return Fail("reply body too long");
            if (received_.size() >= lineEnd + 2 + size + 2) {
                if (received_.compare(lineEnd + 2 + size, 2, "\r\n") != 0) return Fail("malformed chunk");
                decoded.append(received_, lineEnd + 2, static_cast<size_t>(size));
                at = lineEnd + 2 + static_cast<size_t>(size) + 2;
                continue;
            }
        } else if (trailer ? trailerBytes + received_.size() - at > MaxHeadBytes
                           : received_.size() - at > kMaxSizeLine) {
            return Fail(trailer ? "reply trailer too long" : "malformed chunk");
        }
        received_.erase(0, at);
        at = 0;
        const net_result result = ReadMore(until);
        if (result == NET_WOULDBLOCK) return TimedOut();
        if (result != NET_OK) return ReadFailed(result, "the reply body was cut off");
    }
    received_.erase(0, at);
    body.swap(decoded);
    FinishReply();
    return NET_DONE;
}
