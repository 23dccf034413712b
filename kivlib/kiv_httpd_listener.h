// The HTTP server: one thread per accepted connection, each running the program's connection entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

#include "kiv_net.h"

// The reply head handed to IHttpdRequest::SetHeaders.
struct HttpResponseHeaders {
    uint64_t ContentLength = 0;
    int StatusCode;
    std::string StatusText;
    std::string ContentType;
    std::map<std::string, std::string> Headers;

    HttpResponseHeaders(int statusCode, const std::string& statusText)
        : StatusCode(statusCode), StatusText(statusText) {}
};

// The request and reply of one connection; the same object for the connection's life.
class IHttpdRequest {
public:
    // NET_OK a request head arrived; NET_DONE the client closed, or the listener closed the
    // connection to make room at its cap or cut it for the held-bytes budget (counted in its
    // notices, so the program need not log it); NET_ERROR failure (GetLastError);
    // NET_WOULDBLOCK nothing within ms. Body bytes of the previous request that were not read are
    // dropped first. A previous request left without a whole reply, a "Connection: close" (or an
    // HTTP/1.0 request without keep-alive), an oversized head or body, a head not complete within
    // HttpdLimits::HeadDeadlineMs, or an idle connection past HttpdLimits::IdleMs ends the
    // connection here. A head too large ("431") or one that does not parse ("400", "411" for a
    // Transfer-Encoding) is answered here, with "Connection: close", before NET_OK (or NET_ERROR).
    // At shutdown: NET_WOULDBLOCK once (the caller polls ShutdownRequested), NET_DONE after that.
    virtual net_result ReadRequest(uint32_t ms) = 0;
    // Parses the head just read; false on a malformed head (a Transfer-Encoding, chunked or not,
    // counts as malformed: bodies come with a Content-Length). The connection then ends.
    virtual bool ParseRequest() = 0;
    virtual std::string GetMethod() const = 0;
    // The request target up to "?", exactly as it arrived (no percent-decoding).
    virtual std::string GetPath() const = 0;
    // The text after "?"; empty when there is none.
    virtual std::string GetQuery() const = 0;
    // Header names compare without regard to case. False (and value empty) when absent.
    virtual bool GetHeader(std::string& value, const std::string& name) const = 0;
    // The body, chunk by chunk: NET_OK count bytes placed, more may follow; NET_DONE the body is
    // complete (nothing placed); NET_WOULDBLOCK nothing within ms; NET_ERROR failure (also when the
    // connection was closed at the cap or cut for the held-bytes budget meanwhile). A body over
    // HttpdLimits::MaxBodyBytes is NET_ERROR at once, and the connection ends after the reply. A
    // client that sent "Expect: 100-continue" gets "100 Continue" at the first call. After a
    // NET_WOULDBLOCK or NET_ERROR the connection ends after the reply (which says so).
    virtual net_result ReadBody(char* buffer, size_t capacity, size_t& count, uint32_t ms) = 0;
    // Takes the record as the reply head; false on failure (GetLastError): a second head for one
    // request, CR or LF in a text, or a Headers entry the listener writes itself (Content-Length,
    // Connection, Transfer-Encoding).
    virtual bool SetHeaders(const HttpResponseHeaders& headers) = 0;
    // NET_OK once the head is sent: "HTTP/1.1 <code> <text>", Content-Length, Content-Type (when
    // not empty), the Headers entries, and "Connection: close" when the connection ends after it
    // (the request asked so, its body was refused or not read whole, or the listener shuts down).
    virtual net_result SendHeaders(uint32_t ms) = 0;
    // NET_DONE the send is over and sent tells how many bytes went (all unless the client closed);
    // NET_WOULDBLOCK nothing was sent within ms; NET_ERROR failure. Never NET_OK. A client that
    // takes no byte for HttpdLimits::SendStallMs (counted across calls) gives NET_ERROR and the
    // connection ends. Bytes past the head's Content-Length are refused; the body of a reply to
    // HEAD is counted as sent and never written.
    virtual net_result Send(const void* bytes, size_t length, size_t& sent, uint32_t ms) = 0;
    // True when SendFromFile hands file bytes to the socket without copying them through the
    // program. Requests that cannot (the default) send nothing from SendFromFile: the caller reads
    // the file and uses Send.
    virtual bool CanSendFromFile() const { return false; }
    // Sends length bytes of the open file fd, starting at offset, straight from the page cache to
    // the socket (the file position is left alone). The answers and limits are Send's; besides, a
    // file that ends before offset + length gives NET_ERROR and the connection ends, with the bytes
    // that did exist sent. The default answers NET_ERROR with nothing sent.
    virtual net_result SendFromFile(int /*fd*/, uint64_t /*offset*/, size_t /*length*/, size_t& sent,
                                    uint32_t /*ms*/) {
        sent = 0;
        return NET_ERROR;
    }
    virtual std::string GetLastError() const = 0;
    // True once the client has closed its end or the connection broke (or ended): nobody reads a reply
    // any more. Asks the socket without waiting; the request being served is not disturbed. A client
    // that half-closes after its request counts as gone.
    virtual bool ClientGone() { return false; }
    // True once the listener has closed the connection to make room at its cap or cut it for the
    // held-bytes budget: it counts those in its notices, and nobody waits for an answer.
    virtual bool EndedByListener() const { return false; }

protected:
    ~IHttpdRequest() = default;
};

class IHttpdConnection {
public:
    // True once the listener is being released.
    virtual bool ShutdownRequested() const = 0;
    virtual IHttpdRequest* GetRequest() = 0;
    virtual void* GetUserData() const = 0;

protected:
    ~IHttpdConnection() = default;
};

// The connection entry: called with the IHttpdConnection* on the connection's own thread; the
// connection ends when it returns.
typedef void* (*kiv_httpd_entry)(void* connection);

// What a client can make the server hold. The defaults serve the program; tests shorten the times.
struct HttpdLimits {
    size_t MaxHeadBytes = 16 * 1024;       // request line and headers, with the closing blank line
    uint64_t MaxBodyBytes = 64 * 1024;     // a longer body is refused and its connection ends
    uint32_t HeadDeadlineMs = 10000;       // from the first byte of a request to the end of its head
    uint32_t BodyDeadlineMs = 30000;       // from the end of the head to the end of the body
    // After BodyGraceMs a body must have come at this rate on average, or it is cut off as a slow one.
    uint32_t MinBodyBytesPerSecond = 1024;
    uint32_t BodyGraceMs = 5000;
    uint32_t IdleMs = 60000;               // keep-alive connection with nothing arriving: it ends
    uint32_t SendStallMs = 30000;          // reply bytes not taken by the client for this long: NET_ERROR
    // At the cap the connection that waits (for a head, a body or nothing) with the least recent
    // progress makes room. Lowered at start to what the open-file limit allows: each connection may
    // hold a socket and a file, and files, pipes and children keep a reserve.
    size_t MaxConnections = 2048;
    size_t ThreadStackBytes = 512 * 1024;  // per connection thread
    int SendBufferBytes = 0;               // SO_SNDBUF of each connection; 0: the kernel sizes it
    // Request bytes held across all connections: a head being received, and a request's head and
    // body from their first byte until the program asks for the next request. The first
    // HeldBytesFree of each connection are its own; beyond them every byte comes out of
    // HeldBytesBudget. When that is spent, of the connections still receiving a head or a body with
    // bytes of the budget, the one whose bytes have been coming in longest is cut (it may be the one
    // asking); with no such connection, the one asking is. A request cut in its body can still be
    // answered.
    size_t HeldBytesBudget = 8 * 1024 * 1024;
    size_t HeldBytesFree = 2048;
    // Connections closed at the cap and cut for the budget are counted, not reported one by one:
    // at most once per NoticeIntervalMs (and at the release) Notice gets a line with the counts.
    void (*Notice)(const std::string& text) = nullptr;
    uint32_t NoticeIntervalMs = 5000;
};

// The most connections the open-file limit allows when wanted are asked for: two descriptors per
// connection (its socket and a file it sends) after a reserve for the rest of the program; at least 1.
size_t ConnectionCapForOpenFiles(uint64_t openFileLimit, size_t wanted);

class kiv_httpd_listener {
public:
    // Listens on port (0: a free port, see GetPort) on every address. Empty on failure, with the
    // reason in GetLastGetInstanceError.
    static boost::shared_ptr<kiv_httpd_listener> GetInstance(uint16_t port, kiv_httpd_entry entry, void* userData);
    static boost::shared_ptr<kiv_httpd_listener> GetInstance(uint16_t port, kiv_httpd_entry entry, void* userData,
                                                             const HttpdLimits& limits);
    static std::string GetLastGetInstanceError();

    // Release: stops accepting, raises ShutdownRequested on every connection, unblocks them and
    // returns only after every connection entry has returned.
    virtual ~kiv_httpd_listener() = default;
    virtual uint16_t GetPort() const = 0;
};
