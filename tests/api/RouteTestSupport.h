// The request loop behind the real HTTP listener on loopback, with a paired device, for the route tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <gtest/gtest.h>

#include "FakeHttpd.h"
#include "HttpTestClient.h"
#include "api/HttpListener.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"

namespace routetest {

inline std::string ErrorMsg(const std::string& text) {
    return "<Calvoro>\n\t<ErrorMsg>" + text + "</ErrorMsg>\n</Calvoro>\n";
}
inline std::string SuccessMsg(const std::string& text) {
    return "<Calvoro>\n\t<SuccessMsg>" + text + "</SuccessMsg>\n</Calvoro>\n";
}
inline std::string StreamUrl(const std::string& url) {
    return "<Calvoro>\n\t<StreamRequestResponse>\n\t\t<URL>" + url + "</URL>\n\t</StreamRequestResponse>\n</Calvoro>\n";
}
inline std::string StreamError(const std::string& text) {
    return "<Calvoro>\n\t<StreamRequestResponse>\n\t\t<ErrorMsg>" + text +
           "</ErrorMsg>\n\t</StreamRequestResponse>\n</Calvoro>\n";
}

inline std::string Hex(uint64_t value) { return numstr::ToStr(value, 16, 0); }

// A listener whose connections run HttpListener::Run; Start before use (it needs an isolated network).
class Server {
public:
    Server() = default;
    ~Server() { Stop(); }

    ::testing::AssertionResult Start(void* (*entry)(void*) = HttpListenerThread) {
        listener_ = kiv_httpd_listener::GetInstance(0, entry, &services.context);
        if (!listener_) return ::testing::AssertionFailure() << kiv_httpd_listener::GetLastGetInstanceError();
        port_ = listener_->GetPort();
        return ::testing::AssertionSuccess();
    }
    void Stop() { listener_.reset(); }
    int Port() const { return port_; }

    // Puts the real media probe behind the routes and shares "share/Videos" as "Movies"; the folder's path.
    std::string ShareMoviesWithRealProbe() {
        metadata_ = MetadataFactory::GetInstance();
        services.context.MetadataFactory = metadata_.get();
        return services.Share("share/Videos", "Movies");
    }

    // What stays in the cache folder. Handlers delete their file just after the last byte went out, a
    // moment after the client has it, so this waits up to 5 s for the folder to empty.
    std::vector<std::string> CacheLeftovers() const {
        const std::string cache = kivm::ToUTF8Ex(services.state->GetCacheFolder());
        std::vector<std::string> left;
        for (int i = 0; i < 250; ++i) {
            left.clear();
            for (const auto& e : std::filesystem::directory_iterator(cache)) left.push_back(e.path().filename().string());
            if (left.empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return left;
    }

    // A device paired and authorised; its session id.
    uint64_t Pair(const std::wstring& uniqueId) {
        const ClientSession session = services.state->GetOrCreateSession(L"Pad " + uniqueId, uniqueId);
        services.state->AuthorizeClient(session.SessionId);
        return session.SessionId;
    }

    // One request on a connection of its own; extraHeaders are whole lines ("Name: value\r\n").
    httptest::Reply Request(const std::string& method, const std::string& target, uint64_t session,
                            const std::string& extraHeaders = "Host: 127.0.0.1\r\n", const std::string& body = "",
                            int ms = 30000) const {
        httptest::Connection client(port_);
        const std::string query = target.find('?') == std::string::npos ? "?" : "&";
        std::string raw = method + " " + target + query + "SessionID=" + Hex(session) + " HTTP/1.1\r\n" + extraHeaders;
        if (method == "POST") raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        return client.Request(raw + "\r\n" + body, ms);
    }
    httptest::Reply Get(const std::string& target, uint64_t session, const std::string& extraHeaders = "") const {
        return Request("GET", target, session, "Host: 127.0.0.1\r\n" + extraHeaders);
    }

    apitest::Services services;

private:
    boost::shared_ptr<IMetadataFactory> metadata_;  // outlives the listener: Stop runs first
    boost::shared_ptr<kiv_httpd_listener> listener_;
    int port_ = 0;
};

}  // namespace routetest
