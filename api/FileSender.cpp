// File replies, whole or as a byte range, sent from disk block by block.
#include <stdio.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>

#include "api/ByteRange.h"
#include "api/HttpListener.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_text.h"

namespace {
// Large blocks keep the number of reads and send calls per gigabyte low; the buffer lives only while
// a file is being copied, so idle connections cost nothing.
const size_t kFileBlockBytes = 1024 * 1024;
const char kOctetStream[] = "application/octet-stream";
// The bounds SendSome keeps for every other reply.
const uint32_t kSendMs = 5000;
const int kMaxStalledSends = 6;

// File bytes straight to the socket, the call repeated while the library reports no progress.
net_result SendFromFileSome(IHttpdRequest& request, int fd, uint64_t offset, size_t length, size_t& sent) {
    for (int stalled = 0;; ++stalled) {
        sent = 0;
        const net_result result = request.SendFromFile(fd, offset, length, sent, kSendMs);
        if (result != NET_WOULDBLOCK) return result;
        if (stalled + 1 >= kMaxStalledSends) throw std::runtime_error("Client stopped reading the reply");
    }
}

void CheckBlockSent(net_result result, size_t sent, size_t wanted, IHttpdRequest& request) {
    if (result == NET_ERROR) throw std::runtime_error("Error sending body: " + request.GetLastError());
    if (result != NET_DONE)
        throw std::runtime_error("Unexpected result code:" + numstr::ToStr(static_cast<int32_t>(result), 10, 0));
    if (sent < wanted) throw std::runtime_error("Client disconnected in the middle of sending file");
}
}  // namespace

void HttpListener::SendFile(const std::string& name, const std::wstring& path) {
    SendFileRange(name, path, nullptr, 0, 0);
}

void HttpListener::SendFileWithHeaders(const std::string& name, const std::wstring& path, const HeaderMap& headers) {
    SendFileRange(name, path, &headers, 0, 0);
}

void HttpListener::SendRangeNotSatisfiable(uint64_t size) {
    HttpResponseHeaders headers(416, "ERR");
    headers.ContentType = kOctetStream;
    headers.Headers["Accept-Ranges"] = "bytes";
    headers.Headers["Content-Range"] = "bytes */" + numstr::ToStr(size, 10, 0);
    const HeadResult head = PutReplyHead(headers);
    if (head == HeadResult::Refused) throw std::runtime_error("SetHeaders failed");
    if (head == HeadResult::Failed) throw std::runtime_error("SendHeaders failed");
}

void HttpListener::SendFileRange(const std::string& name, const std::wstring& path, const HeaderMap* extraHeaders,
                                 uint64_t from, uint64_t to) {
    ByteRange range;
    if (from != 0 || to != 0) {
        range.kind = ByteRange::Closed;
        range.first = from;
        range.last = to;
    }
    SendFileRange(name, path, extraHeaders, range);
}

void HttpListener::SendFileRange(const std::string& name, const std::wstring& path, const HeaderMap* extraHeaders,
                                 const ByteRange& range) {
    boost::shared_ptr<IBlockingStream> file = KivFileStream::GetInstance(path, OPEN_READ);
    if (!file) throw std::runtime_error("Cannot open " + name);
    const uint64_t size = file->GetSize();
    const RangePlan plan = PlanRange(range, size);
    if (plan.kind == RangePlan::NotSatisfiable) {
        SendRangeNotSatisfiable(size);
        return;
    }

    HttpResponseHeaders headers(plan.kind == RangePlan::Partial ? 206 : 200, "OK");
    headers.ContentLength = plan.length;
    headers.ContentType = kOctetStream;
    if (extraHeaders) headers.Headers = *extraHeaders;
    headers.Headers["Accept-Ranges"] = "bytes";
    if (!plan.contentRange.empty()) {
        headers.Headers["Content-Range"] = plan.contentRange;
        printf("%s\n", plan.contentRange.c_str());
    }
    const HeadResult head = PutReplyHead(headers);
    if (head == HeadResult::Refused) throw std::runtime_error("SetHeaders failed");
    if (head == HeadResult::Failed) throw std::runtime_error("SendHeaders failed");
    if (plan.length == 0) return;

    // From here on the head is out: a failure leaves a reply that cannot be finished, so the
    // connection ends (and PutReplyHead refuses the error reply that the caller will try to send).
    try {
        SendFileBody(*file, name, plan.from, plan.length);
    } catch (...) {
        closeConnection_ = true;
        throw;
    }
}

// The page cache to the socket with no copy in between when the library can do that for this
// file; otherwise read into a block and sent from there.
void HttpListener::SendFileBody(IBlockingStream& file, const std::string& name, uint64_t from, uint64_t length) {
    const int fd = file.NativeHandle();
    if (fd >= 0 && request_->CanSendFromFile()) {
        SendFileBodyFromFile(fd, from, length);
        return;
    }

    if (!file.Seek(from)) throw std::runtime_error("Cannot seek in " + name);
    std::unique_ptr<char[]> buffer(new char[kFileBlockBytes]);
    for (uint64_t owed = length; owed > 0;) {
        if (connection_->ShutdownRequested()) {
            closeConnection_ = true;  // the reply stays short; the loop ends the connection
            return;
        }
        const size_t wanted = owed < kFileBlockBytes ? static_cast<size_t>(owed) : kFileBlockBytes;
        const size_t read = file.Read(buffer.get(), wanted);
        if (read == 0) throw std::runtime_error("File ended before the announced length: " + name);
        size_t sent = 0;
        const net_result result = SendSome(buffer.get(), read, sent);
        CheckBlockSent(result, sent, read, *request_);
        owed -= read;
    }
}

// The whole range in one library call (on a 64-bit build): the library corks the socket for the
// length of a call, so only whole segments leave until the body's last bytes. Sent in blocks, every
// block's end pushed out a short segment, and one client fetching a large file went a tenth slower.
// The library notices a shutdown during the call itself: the reply then stays short, quietly.
void HttpListener::SendFileBodyFromFile(int fd, uint64_t from, uint64_t length) {
    const uint64_t kMostPerCall = std::numeric_limits<size_t>::max();
    for (uint64_t done = 0; done < length;) {
        if (connection_->ShutdownRequested()) {
            closeConnection_ = true;  // the reply stays short; the loop ends the connection
            return;
        }
        const size_t wanted = static_cast<size_t>(std::min(length - done, kMostPerCall));
        size_t sent = 0;
        const net_result result = SendFromFileSome(*request_, fd, from + done, wanted, sent);
        if (connection_->ShutdownRequested()) {
            closeConnection_ = true;
            return;
        }
        CheckBlockSent(result, sent, wanted, *request_);
        done += wanted;
    }
}
