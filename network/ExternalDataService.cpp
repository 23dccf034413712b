#include "network/ExternalDataService.h"

#include <chrono>
#include <stdexcept>
#include <vector>

#include "core/Log.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/kiv_http.h"
#include "kivlib/kiv_text.h"
#include "network/ExternalDataConnection.h"

#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "ExternalDataService"

const char* const kReportBoundary = "0xKhTmLbOuNdArY";

namespace {

const char* const kNoServer = "Could not connect to calvoro master server";
const char* const kUnknownKeyReply = "0, No server found for key";

std::string Percent(unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string{'%', digits[byte >> 4], digits[byte & 15]};
}

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

std::string Flag(bool enabled) { return enabled ? "1" : "0"; }

}  // namespace

std::string EncodeQueryValue(const std::string& value) {
    std::string out;
    for (unsigned char c : value) {
        if (IsUnreserved(c) || c == '@' || c == '&') out += static_cast<char>(c);
        else out += Percent(c);
    }
    return out;
}

std::string EncodeKeyPath(const std::string& key) {
    std::string out;
    for (unsigned char c : key) {
        if (c <= 0x20 || c >= 0x7F || c == '%' || c == '?' || c == '#') out += Percent(c);
        else out += static_cast<char>(c);
    }
    return out;
}

bool IsValidLookupKey(const std::string& key) {
    if (key.empty() || key.size() > 64) return false;
    for (unsigned char c : key) {
        if (c <= 0x20 || c >= 0x7F || c == '/' || c == '?' || c == '#' || c == '%' || c == '&') return false;
    }
    return true;
}

ReportBody BuildReportBody(const std::string& description, const std::string& email) {
    ReportBody body;
    const std::string boundary = kReportBoundary;
    body.delimiter = "--" + boundary + "\r\n";
    body.p1 = body.delimiter + "Content-Disposition: form-data; name=\"description\"\r\n\r\n" + description + "\r\n";
    body.p2 = body.delimiter + "Content-Disposition: form-data; name=\"email\"\r\n\r\n" + email + "\r\n";
    body.p3 = body.delimiter + "Content-Disposition: form-data; name=\"file\"\r\n\r\n";
    body.extraHeaders = "\r\nContent-Type: multipart/form-data; boundary=" + boundary;
    return body;
}

boost::shared_ptr<IExternalDataService> ExternalDataService::GetInstance(kiv_http* http) {
    if (!http) return boost::shared_ptr<IExternalDataService>();
    return boost::shared_ptr<IExternalDataService>(new ExternalDataService(http), KivDeleter::deleter());
}

// The head may take 5000 ms in all, looked for every 100 ms; a silent server holds no thread longer.
void ExternalDataService::AwaitReplyHead() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMasterHeadWaitMs);
    net_result result = http_->PollHeaders(kMasterHeadPollMs);
    while (result == NET_WOULDBLOCK && std::chrono::steady_clock::now() < until) {
        result = http_->PollHeaders(kMasterHeadPollMs);
    }
    if (result != NET_OK) throw std::runtime_error("Error getting HTTP headers");
    if (http_->GetStatusCode() != 200) {
        throw std::runtime_error("Unexpected result code: " + std::to_string(http_->GetStatusCode()));
    }
}

std::string ExternalDataService::Exchange(const std::string& path) {
    if (http_->SendRequest(GetMasterServerAddress().HostHeader(), path, 0, kMasterRequestTimeoutMs, "", "") != 0) {
        throw std::runtime_error(kNoServer);
    }
    AwaitReplyHead();
    std::string body;
    if (http_->ReadResponseBody(body, kMasterBodyTimeoutMs) != NET_DONE) {
        throw std::runtime_error("Error trying to get 'server code'");
    }
    return body;
}

std::string ExternalDataService::Register(bool enabled, uint32_t port) {
    const std::string path = "/server/register/?enabled=" + Flag(enabled) + "&port=" + std::to_string(port);
    KIV_LOG("Registering: " + path);
    return Exchange(path);
}

void ExternalDataService::Announce(const std::string& key, bool enabled, uint32_t port) {
    const std::string path =
        "/server/register/" + EncodeKeyPath(key) + "?enabled=" + Flag(enabled) + "&port=" + std::to_string(port);
    KIV_LOG("Announcing: " + path);
    const std::string body = Exchange(path);
    if (body == key) return;
    if (body == kUnknownKeyReply) throw BadKeyException();
    throw std::runtime_error("Unknown server response: " + LogExcerpt(body));
}

void ExternalDataService::SendConnectionAssistEmail(const std::string& ip, const std::string& port,
                                                    const std::string& email) {
    const std::string path = "/server/send_manual_connect_email?ip=" + EncodeQueryValue(ip) +
                             "&port=" + EncodeQueryValue(port) + "&email=" + EncodeQueryValue(email);
    KIV_LOG("Sending Connection Assist Email");
    Exchange(path);
}

// Writes every byte: a write that takes part of them is followed by one for the rest; a write that
// takes nothing fails the upload.
void ExternalDataService::WriteWhole(const char* bytes, size_t length) {
    size_t done = 0;
    while (done < length) {
        size_t written = 0;
        if (http_->WriteBody(bytes + done, length - done, written, kMasterUploadWriteMs) != NET_OK || written == 0) {
            throw std::runtime_error("Error sending the report: " + http_->GetLastError());
        }
        done += written;
    }
}

void ExternalDataService::SendReport(const std::string& logFilePath, const std::string& description,
                                     const std::string& email) {
    LogSystemInformation();
    KIV_LOG("Sending Report");
    boost::shared_ptr<IBlockingStream> file = KivFileStream::GetInstance(kivm::FromUTF8ExW(logFilePath), OPEN_READ);
    if (!file) throw std::runtime_error("Cannot open " + logFilePath);

    // The size is read once: lines the log gains from here on are not sent, so the body is exactly
    // the length announced.
    const uint64_t fileSize = file->GetSize();
    const ReportBody body = BuildReportBody(description, email);
    const uint64_t contentLength = body.ContentLength(fileSize);
    if (http_->SendRequestWithBody(GetMasterServerAddress().HostHeader(), "/server/issue/", contentLength, 0,
                                   kMasterUploadWriteMs, body.extraHeaders, "") != 0) {
        throw std::runtime_error(kNoServer);
    }
    WriteWhole(body.p1.data(), body.p1.size());
    WriteWhole(body.p2.data(), body.p2.size());
    WriteWhole(body.p3.data(), body.p3.size());

    std::vector<char> block(kMasterUploadBlock);
    uint64_t left = fileSize;
    while (left > 0) {
        const size_t want = left < block.size() ? static_cast<size_t>(left) : block.size();
        const size_t got = file->Read(block.data(), want);
        if (got == 0) throw std::runtime_error("The log file " + logFilePath + " ended early");
        WriteWhole(block.data(), got);
        left -= got;
    }
    WriteWhole(body.delimiter.data(), body.delimiter.size());
    AwaitReplyHead();
}
