// The writers of every reply except file bodies: one common writer and thin templates on top.
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "api/HttpListener.h"
#include "core/XmlText.h"
#include "core/Log.h"
#include "kivlib/ByteSink.h"
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
// A produced body goes out in pieces of this size: few send calls, little held at once.
const size_t kBodyPieceBytes = 64 * 1024;

class ByteCounter final : public IByteSink {
public:
    void Write(const char*, size_t length) override { count += length; }
    uint64_t count = 0;
};

// Sends what is written to it, gathered into pieces; a large write goes out as it is. Never sends
// more than the head announced.
class BodySender final : public IByteSink {
public:
    typedef std::function<void(const char*, size_t)> SendAll;
    BodySender(uint64_t announced, SendAll send) : left_(announced), send_(std::move(send)) {}

    void Write(const char* bytes, size_t length) override {
        if (length > left_) throw std::runtime_error("Reply body grew past its announced length");
        if (length == 0) return;
        left_ -= length;
        if (pending_.size() + length > kBodyPieceBytes) Flush();
        // A large write, or a whole body written at once (most replies), goes out as it is.
        if (length >= kBodyPieceBytes || (pending_.empty() && left_ == 0)) {
            send_(bytes, length);
        } else {
            pending_.append(bytes, length);
        }
    }
    void Finish() {
        Flush();
        if (left_ != 0) throw std::runtime_error("Reply body fell short of its announced length");
    }

private:
    void Flush() {
        if (pending_.empty()) return;
        send_(pending_.data(), pending_.size());
        pending_.clear();
    }

    uint64_t left_;
    SendAll send_;
    std::string pending_;
};
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
    return SendProducedResponse([&body](IByteSink& out) { out.Write(body.data(), body.size()); }, status, contentType);
}

bool HttpListener::SendProducedResponse(const BodyProducer& produce, int status, const std::string& contentType) {
    try {
        ByteCounter counter;
        produce(counter);
        HttpResponseHeaders headers(200, "OK");
        if (status != 200) {
            headers.StatusCode = status;
            headers.StatusText = "ERR";
        }
        headers.Headers["Accept-Ranges"] = "bytes";
        headers.ContentLength = counter.count;
        headers.ContentType = contentType;
        const HeadResult head = PutReplyHead(headers);
        if (head == HeadResult::Refused) throw std::runtime_error("SetHeaders failed: " + request_->GetLastError());
        if (head == HeadResult::Failed) throw std::runtime_error("SendHeaders failed");

        // Each send call goes on until every byte is out or the client has gone (NET_DONE).
        BodySender body(counter.count, [this](const char* bytes, size_t length) {
            size_t sent = 0;
            const net_result result = SendSome(bytes, length, sent);
            if (result != NET_DONE) throw std::runtime_error("Send got an error: " + request_->GetLastError());
            if (sent != length) throw std::runtime_error("stBytesSend != BODY size");
        });
        produce(body);
        body.Finish();
        return true;
    } catch (const std::exception& e) {
        // Whatever is left of a reply that stopped half way would confuse the next one.
        if (replyHeadSent_) closeConnection_ = true;
        KIV_LOG(e.what());
        return false;
    }
}

bool HttpListener::SendText(const std::string& body, int status) { return SendResponse(body, status, kPlainText); }

bool HttpListener::SendProducedText(const BodyProducer& produce, int status) {
    return SendProducedResponse(produce, status, kPlainText);
}

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
