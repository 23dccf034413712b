// The request loop of one connection: read a head, log it, check the session, dispatch.
#include "api/HttpListener.h"

#include <stdio.h>

#include <stdexcept>

#include "api/HttpListenerContext.h"
#include "core/Log.h"
#include "core/State.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_text.h"
#include "media/MediaRunSlot.h"

namespace {
const uint32_t kReadRequestMs = 1000;
const char kSessionKey[] = "SessionID=";

bool IsPrefix(const std::string& path, const char* prefix) { return path.compare(0, std::string(prefix).size(), prefix) == 0; }

// One row of a route table: a path matched exactly or as a prefix, and the call that serves it with
// the rest of the path (the path from the prefix's length on).
struct RouteCall {
    std::string rest;
    const std::string* body;
    uint64_t* sessionId;
};
typedef void (*RouteHandler)(HttpListener& listener, RouteCall& call);
struct Route {
    const char* path;
    bool exact;
    RouteHandler handler;
};

const Route* FindRoute(const Route* routes, size_t count, const std::string& path) {
    for (size_t i = 0; i < count; ++i) {
        const Route& route = routes[i];
        if (route.exact ? path == route.path : IsPrefix(path, route.path)) return &route;
    }
    return nullptr;
}

bool Serve(HttpListener& listener, const Route* routes, size_t count, const std::string& path, RouteCall& call) {
    const Route* route = FindRoute(routes, count, path);
    if (!route) return false;
    call.rest = path.substr(std::string(route->path).size());
    route->handler(listener, call);
    return true;
}

// GET routes, tried in order; the session has been accepted.
const Route kGetRoutes[] = {
    {"/video/files/", true, [](HttpListener& l, RouteCall&) { l.ListSharedFolders(); }},
    {"/video/files/", false, [](HttpListener& l, RouteCall& c) { l.ListFolder(c.rest); }},
    {"/video/direct/", false,
     [](HttpListener& l, RouteCall& c) {
         std::string range;
         l.GetRequestHeader("Range", range);
         fputs(("/video/direct/ RANGE = " + ConsoleExcerpt(range) + "\n").c_str(), stdout);
         l.SendDirectFile(c.rest, range);
     }},
    {"/video/cache/", false,
     [](HttpListener& l, RouteCall& c) {
         std::string range;
         l.GetRequestHeader("Range", range);
         l.SendCachedFile(c.rest, range);
     }},
    {"/video/stream/", false, [](HttpListener& l, RouteCall& c) { l.GetStreamData(c.rest, *c.sessionId); }},
    {"/video/lastseektime/", false,
     [](HttpListener& l, RouteCall& c) { l.GetLastRequestedSeekTime(c.rest, *c.sessionId); }},
    {"/video/stop/", false, [](HttpListener& l, RouteCall& c) { l.StopStreamVideo(c.rest, *c.sessionId); }},
    {"/video/convertdelete/", false, [](HttpListener& l, RouteCall& c) { l.DeleteConversion(c.rest); }},
    {"/video/convertcancel/", false, [](HttpListener& l, RouteCall& c) { l.CancelConversion(c.rest); }},
    {"/video/convertstatus/", true, [](HttpListener& l, RouteCall&) { l.GetConversionStatus(); }},
};

// POST routes, tried in order; the body is read and, but for the announce, the session accepted.
const Route kPostRoutes[] = {
    {"/video/announce/", false, [](HttpListener& l, RouteCall& c) { l.Announce(*c.body); }},
    {"/video/play/", false, [](HttpListener& l, RouteCall& c) { l.RequestStream(c.rest, *c.body, *c.sessionId); }},
    {"/video/playcached/", false, [](HttpListener& l, RouteCall& c) { l.PlayCached(c.rest, *c.sessionId); }},
    {"/video/subtitle/", false, [](HttpListener& l, RouteCall& c) { l.SendSubtitle(c.rest, *c.body); }},
    {"/video/folder/thumbnail/", false,
     [](HttpListener& l, RouteCall& c) { l.SendThumbnail(c.rest, *c.body, true); }},
    {"/video/thumbnails/", false, [](HttpListener& l, RouteCall& c) { l.SendThumbnail(c.rest, *c.body, false); }},
    {"/video/convert/", false, [](HttpListener& l, RouteCall& c) { l.RequestConversion(c.rest, *c.body); }},
};
}  // namespace

uint64_t ParseSessionId(const std::string& query) {
    const size_t key = query.find(kSessionKey);
    if (key == std::string::npos) return 0;
    return numstr::ToUint64(query.substr(key + sizeof(kSessionKey) - 1), 16);
}

// Any letter case: a client's id is its credential even under a key that the server does not read.
std::string RedactSessionId(const std::string& query) {
    const std::string lower = kivm::str_tolower(query);
    const std::string key = kivm::str_tolower(kSessionKey);
    std::string redacted;
    size_t done = 0;
    for (size_t at = lower.find(key); at != std::string::npos; at = lower.find(key, done)) {
        const size_t value = at + key.size();
        size_t end = query.find('&', value);
        if (end == std::string::npos) end = query.size();
        redacted += query.substr(done, value - done);
        if (end > value) redacted += "(hidden)";
        done = end;
    }
    return redacted + query.substr(done);
}

void* HttpListenerThread(void* connection) {
    HttpListener listener(static_cast<IHttpdConnection*>(connection));
    listener.Run();
    return nullptr;
}

void HttpListenerNotice(const std::string& text) { KIV_LOG(text); }

HttpListener::HttpListener(IHttpdConnection* connection)
    : connection_(connection), request_(connection->GetRequest()) {
    const HttpListenerContext* context = static_cast<const HttpListenerContext*>(connection->GetUserData());
    // The interface's own operations (folders, session checks) are State's; the store is always one.
    state_ = static_cast<State*>(context->State);
    offlineTranscode_ = context->OfflineTranscode;
    fileMaker_ = context->FileMaker;
    events_ = context->Events;
    metadataFactory_ = context->MetadataFactory;
}

void HttpListener::Run() {
    try {
        while (ServeOneRequest()) {
        }
    } catch (const std::exception& e) {
        KIV_LOG(LogExcerpt(e.what()));
    } catch (...) {
        KIV_LOG("Unknown exception (fix this)");
    }
}

bool HttpListener::ServeOneRequest() {
    if (connection_->ShutdownRequested())
        throw std::runtime_error("Parent thread requested HTTPD listener to shutdown");
    const net_result read = request_->ReadRequest(kReadRequestMs);
    if (read == NET_DONE) return false;
    if (read == NET_ERROR) throw std::runtime_error("ReadRequest got an error: " + request_->GetLastError());
    if (read != NET_OK) return true;  // idle: look at the shutdown flag again
    if (!request_->ParseRequest()) throw std::runtime_error("ParseRequest failed: " + request_->GetLastError());

    const std::string method = request_->GetMethod();
    const std::string path = request_->GetPath();
    const std::string query = request_->GetQuery();
    KIV_LOG(LogExcerpt("HTTP Request Method [" + method + "] Path [" + path + "] Query [" + RedactSessionId(query) + "]"));
    uint64_t sessionId = ParseSessionId(query);

    replyHeadSent_ = false;
    closeConnection_ = false;
    // A media run that waits for this request gives up once no one is left to read its answer.
    MediaRunWatch watch([this] { return connection_->ShutdownRequested() || request_->ClientGone(); });
    try {
        Dispatch(method, path, sessionId);
    } catch (const std::exception& e) {
        // A body the listener broke off (to make room, or for what all connections hold) is counted in
        // its summary lines; the connection ends without an answer or a line of its own.
        if (request_->EndedByListener()) return false;
        SendErrorMsg(e.what(), 500);
        KIV_LOG(LogExcerpt(e.what()));
    }
    return !closeConnection_;
}

void HttpListener::Dispatch(const std::string& method, const std::string& path, uint64_t& sessionId) {
    if (method == "POST") {
        std::string body;
        try {
            body = ReadPostBody();
        } catch (const std::exception&) {
            // The rest of the body is still on the connection and must not be read as a request.
            closeConnection_ = true;
            throw;
        }
        DispatchPost(path, body, sessionId);
        return;
    }
    if (method == "HEAD") {
        SendResponse(std::string(), 200, "text/plain; charset=UTF8");
    } else if (method == "GET") {
        RequireAuthorizedSession(sessionId);
        DispatchGet(path, sessionId);
    } else {
        throw std::runtime_error("Unknown method: " + method);
    }
}

void HttpListener::DispatchGet(const std::string& path, uint64_t& sessionId) {
    RouteCall call{std::string(), nullptr, &sessionId};
    if (!Serve(*this, kGetRoutes, sizeof(kGetRoutes) / sizeof(kGetRoutes[0]), path, call))
        SendErrorMsg("Unknown GET URI", 404);
}

void HttpListener::DispatchPost(const std::string& path, const std::string& body, uint64_t& sessionId) {
    // The announce route is the way to a session, so it is the one route served without one.
    if (!IsPrefix(path, "/video/announce/")) RequireAuthorizedSession(sessionId);
    RouteCall call{std::string(), &body, &sessionId};
    if (!Serve(*this, kPostRoutes, sizeof(kPostRoutes) / sizeof(kPostRoutes[0]), path, call))
        SendErrorMsg("Unknown POST URI", 404);
}

void HttpListener::RequireAuthorizedSession(uint64_t sessionId) {
    if (!state_->IsSessionAuthorized(sessionId)) throw std::runtime_error("Session is not authorized");
}
