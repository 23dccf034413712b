// A scripted connection and request object for driving HttpListener without a socket: it hands out
// the requests it was given and records every reply head and body byte exactly as written.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "api/HttpListenerContext.h"
#include "core/Events.h"
#include "core/FileMaker.h"
#include "core/State.h"
#include "core/Timer.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

namespace apitest {

struct FakeRequest {
    net_result readResult = NET_OK;  // what ReadRequest answers for this entry
    bool parses = true;
    std::string method = "GET";
    std::string path = "/";
    std::string query;
    std::map<std::string, std::string> headers;
    std::vector<std::string> bodyChunks;  // handed out by ReadBody one by one
    net_result bodyEnd = NET_DONE;        // after the chunks
};

struct FakeReply {
    HttpResponseHeaders head{0, ""};
    std::string body;
};

class FakeHttpd : public IHttpdConnection, public IHttpdRequest {
public:
    explicit FakeHttpd(void* userData) : userData_(userData) {}

    // ---- script
    std::deque<FakeRequest> script;
    bool setHeadersResult = true;
    net_result sendHeadersResult = NET_OK;
    // Body bytes the client takes before it closes; a send past it answers NET_DONE with fewer sent.
    size_t clientTakes = std::numeric_limits<size_t>::max();
    // Answer this many NET_WOULDBLOCK (nothing sent) before every send goes through.
    int wouldBlockBeforeEachSend = 0;
    net_result sendFailure = NET_OK;  // when not NET_OK, every send answers this
    bool shutdown = false;
    int shutdownAfterSends = -1;  // ShutdownRequested turns true after this many body sends
    bool endedByListener = false;  // EndedByListener's answer

    // ---- record
    std::vector<FakeReply> replies;
    int setHeadersCalls = 0;
    std::vector<size_t> sendLengths;
    size_t bodyBytesTaken = 0;

    const FakeReply& Only() const { return replies.at(0); }

    // ---- IHttpdConnection
    bool ShutdownRequested() const override {
        return shutdown || (shutdownAfterSends >= 0 && static_cast<int>(sendLengths.size()) >= shutdownAfterSends);
    }
    IHttpdRequest* GetRequest() override { return this; }
    void* GetUserData() const override { return userData_; }

    // ---- IHttpdRequest
    net_result ReadRequest(uint32_t) override {
        if (script.empty()) return NET_DONE;
        current_ = script.front();
        script.pop_front();
        nextChunk_ = 0;
        return current_.readResult;
    }
    bool ParseRequest() override { return current_.parses; }
    std::string GetMethod() const override { return current_.method; }
    std::string GetPath() const override { return current_.path; }
    std::string GetQuery() const override { return current_.query; }
    bool GetHeader(std::string& value, const std::string& name) const override {
        auto it = current_.headers.find(name);
        value = it == current_.headers.end() ? std::string() : it->second;
        return it != current_.headers.end();
    }
    net_result ReadBody(char* buffer, size_t capacity, size_t& count, uint32_t) override {
        count = 0;
        if (nextChunk_ >= current_.bodyChunks.size()) return current_.bodyEnd;
        std::string& chunk = current_.bodyChunks[nextChunk_];
        count = std::min(capacity, chunk.size());
        chunk.copy(buffer, count);
        chunk.erase(0, count);
        if (chunk.empty()) ++nextChunk_;
        return NET_OK;
    }
    bool SetHeaders(const HttpResponseHeaders& headers) override {
        ++setHeadersCalls;
        if (!setHeadersResult) return false;
        pending_ = headers;
        return true;
    }
    net_result SendHeaders(uint32_t) override {
        if (sendHeadersResult != NET_OK) return sendHeadersResult;
        FakeReply reply;
        reply.head = pending_;
        replies.push_back(reply);
        return NET_OK;
    }
    net_result Send(const void* bytes, size_t length, size_t& sent, uint32_t) override {
        sent = 0;
        if (blocked_ < wouldBlockBeforeEachSend) {
            ++blocked_;
            return NET_WOULDBLOCK;
        }
        blocked_ = 0;
        sendLengths.push_back(length);
        if (sendFailure != NET_OK) return sendFailure;
        const size_t room = clientTakes - bodyBytesTaken;
        sent = std::min(room, length);
        bodyBytesTaken += sent;
        if (!replies.empty()) replies.back().body.append(static_cast<const char*>(bytes), sent);
        return NET_DONE;
    }
    std::string GetLastError() const override { return "fake failure"; }
    bool EndedByListener() const override { return endedByListener; }

private:
    void* userData_;
    FakeRequest current_;
    size_t nextChunk_ = 0;
    HttpResponseHeaders pending_{0, ""};
    int blocked_ = 0;
};

// Real state store, file service and events object in a temporary data folder.
struct Services {
    testsupport::TempDir temp;
    boost::shared_ptr<IState> stateHolder;
    State* state = nullptr;
    boost::shared_ptr<IFileMaker> fileMaker;
    TimerFactory timers;
    boost::shared_ptr<IEvents> events;
    HttpListenerContext context;

    Services() {
        stateHolder = State::GetInstance(DataFolder());
        state = static_cast<State*>(stateHolder.get());
        fileMaker = FileMaker::GetInstance();
        events = Events::GetInstance(stateHolder.get(), &timers);
        context.State = stateHolder.get();
        context.FileMaker = fileMaker.get();
        context.Events = events.get();
    }

    std::wstring DataFolder() const { return temp.wpath() + L"/data"; }
    // A folder under the temporary folder, made and shared under alias; its path.
    std::string Share(const std::string& name, const std::string& alias) const {
        const std::string path = temp.path() + "/" + name;
        std::filesystem::create_directories(path);
        FolderEntry entry;
        entry.Path = kivm::FromUTF8ExW(path);
        entry.Alias = kivm::FromUTF8ExW(alias);
        state->AddFolder(entry);
        return path;
    }
};

}  // namespace apitest
