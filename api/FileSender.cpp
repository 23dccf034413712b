// File replies, whole or as a byte range, streamed from disk block by block.
#include <stdio.h>

#include <memory>
#include <stdexcept>

#include "api/ByteRange.h"
#include "api/HttpListener.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_text.h"

namespace {
// Large blocks keep the number of reads and send calls per gigabyte low; the buffer lives only while
// a file is being sent, so idle connections cost nothing.
const size_t kFileBlockBytes = 1024 * 1024;
const char kOctetStream[] = "application/octet-stream";
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
    boost::shared_ptr<IBlockingStream> file = KivFileStream::GetInstance(path, OPEN_READ);
    if (!file) throw std::runtime_error("Cannot open " + name);
    const uint64_t size = file->GetSize();
    const RangePlan plan = PlanRange(from, to, size);
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

void HttpListener::SendFileBody(IBlockingStream& file, const std::string& name, uint64_t from, uint64_t length) {
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
        if (result == NET_ERROR) throw std::runtime_error("Error sending body: " + request_->GetLastError());
        if (result != NET_DONE)
            throw std::runtime_error("Unexpected result code:" + numstr::ToStr(static_cast<int32_t>(result), 10, 0));
        if (sent < read) throw std::runtime_error("Client disconnected in the middle of sending file");
        owed -= read;
    }
}
