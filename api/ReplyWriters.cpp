// The writers of every reply except file bodies: one common writer and thin templates on top.
#include <stdexcept>

#include "api/HttpListener.h"
#include "core/XmlText.h"
#include "core/Log.h"
#include "kivlib/kiv_httpd_listener.h"

// Log entries name the component, the HTTP interface, whichever of its files writes them.
#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "HttpListener"

namespace {
const uint32_t kSendMs = 5000;
// Sends that make no progress at all for this many time-outs in a row give the client up.
const int kMaxStalledSends = 6;
const char kPlainText[] = "text/plain; charset=UTF8";
const char kXml[] = "text/xml; charset=UTF8";
}  // namespace

HttpListener::HeadResult HttpListener::PutReplyHead(const HttpResponseHeaders& headers) {
    if (replyHeadSent_) {
        // A second head would be read by the client as part of the first reply's body.
        closeConnection_ = true;
        throw std::runtime_error("Reply head already sent; ending the connection");
    }
    if (!request_->SetHeaders(headers)) return HeadResult::Refused;
    replyHeadSent_ = true;
    if (request_->SendHeaders(kSendMs) == NET_OK) return HeadResult::Sent;
    closeConnection_ = true;  // part of the head may be out: nothing sound can follow it
    return HeadResult::Failed;
}

net_result HttpListener::SendSome(const char* bytes, size_t length, size_t& sent) {
    for (int stalled = 0;; ++stalled) {
        sent = 0;
        const net_result result = request_->Send(bytes, length, sent, kSendMs);
        if (result != NET_WOULDBLOCK) return result;
        if (stalled + 1 >= kMaxStalledSends) {
            closeConnection_ = true;
            throw std::runtime_error("Client stopped reading the reply");
        }
    }
}

bool HttpListener::SendResponse(const std::string& body, int status, const std::string& contentType) {
    try {
        HttpResponseHeaders headers(200, "OK");
        if (status != 200) {
            headers.StatusCode = status;
            headers.StatusText = "ERR";
        }
        headers.Headers["Accept-Ranges"] = "bytes";
        headers.ContentLength = body.size();
        headers.ContentType = contentType;
        const HeadResult head = PutReplyHead(headers);
        if (head == HeadResult::Refused) throw std::runtime_error("SetHeaders failed: " + request_->GetLastError());
        if (head == HeadResult::Failed) throw std::runtime_error("SendHeaders failed");

        // One send call goes on until every byte is out or the client has gone (NET_DONE).
        size_t total = 0;
        if (!body.empty()) {
            const net_result result = SendSome(body.data(), body.size(), total);
            if (result != NET_DONE) throw std::runtime_error("Send got an error: " + request_->GetLastError());
        }
        if (total != body.size()) throw std::runtime_error("stBytesSend != BODY size");
        return true;
    } catch (const std::exception& e) {
        // Whatever is left of a reply that stopped half way would confuse the next one.
        if (replyHeadSent_) closeConnection_ = true;
        KIV_LOG(e.what());
        return false;
    }
}

bool HttpListener::SendText(const std::string& body, int status) { return SendResponse(body, status, kPlainText); }

bool HttpListener::SendXml(const std::string& body, int status) { return SendResponse(body, status, kXml); }

bool HttpListener::SendSuccessMsg(const std::string& text, int status) {
    return SendXml("<Calvoro>\n\t<SuccessMsg>" + EscapeXmlText(text) + "</SuccessMsg>\n</Calvoro>\n", status);
}

bool HttpListener::SendErrorMsg(const std::string& text, int status) {
    KIV_LOG(LogExcerpt(text));
    return SendXml("<Calvoro>\n\t<ErrorMsg>" + EscapeXmlText(text) + "</ErrorMsg>\n</Calvoro>\n", status);
}

bool HttpListener::SendStreamError(const std::string& text) {
    return SendXml("<Calvoro>\n\t<StreamRequestResponse>\n\t\t<ErrorMsg>" + EscapeXmlText(text) +
                       "</ErrorMsg>\n\t</StreamRequestResponse>\n</Calvoro>\n",
                   500);
}

bool HttpListener::SendStreamUrl(const std::string& url) {
    return SendXml("<Calvoro>\n\t<StreamRequestResponse>\n\t\t<URL>" + EscapeXmlText(url) +
                       "</URL>\n\t</StreamRequestResponse>\n</Calvoro>\n",
                   200);
}
