// Stand-ins for the services a stream session is given: the state store (only its cache folder
// matters), a metadata factory with set facts, a file service that can refuse to delete, and the
// worker loop's stream step. The media benchmark uses them too.
#pragma once

#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/FileMaker.h"
#include "core/IState.h"
#include "media/FfmpegMetadataParser.h"
#include "media/StreamRegistry.h"

namespace mediatest {

class FakeState : public IState {
public:
    explicit FakeState(std::wstring cache) : cache_(std::move(cache)) {}
    std::list<FinishedConversion> GetFinishedConversions() override { return {}; }
    void AddFinishedConversion(const FinishedConversion&) override {}
    ClientSession GetOrCreateSession(const std::wstring&, const std::wstring&) override { return ClientSession(); }
    ClientSession GetSession(uint64_t) override { throw std::runtime_error("Session not found"); }
    bool AuthorizeClient(uint64_t) override { return false; }
    bool UnauthorizeClient(uint64_t) override { return false; }
    void SetClientConnected(uint64_t, bool) override {}
    bool EndWaitingSession(uint64_t) override { return false; }
    uint32_t GetClientTimeoutMs() override { return 300000; }
    std::wstring GetCacheFolder() override { return cache_; }
    bool GetExternalAccess() override { return false; }
    int GetExternalPort() override { return 0; }
    uint32_t GetHttpPort() override { return 8683; }
    std::wstring GetLookupName() override { return L""; }
    void SetLookupName(const std::wstring&) override {}
    bool Save() override { return true; }

private:
    std::wstring cache_;
};

// Facts for every path; none while `fail` is set.
class FakeMetadataFactory : public IMetadataFactory {
public:
    boost::shared_ptr<IMetadata> ParseProcess(KivProcess&, const std::wstring& path) override { return GetMetadata(path); }
    boost::shared_ptr<IMetadata> GetMetadata(const std::wstring&) override {
        ++probes;
        return fail ? boost::shared_ptr<IMetadata>() : Metadata::GetInstance(facts);
    }
    Metadata::Facts facts;
    bool fail = false;
    int probes = 0;
};

// The real file service, except that deleting a file whose name is in `undeletable` fails.
class FlakyFiles : public IFileMaker {
public:
    FlakyFiles() : real_(FileMaker::GetInstance()) {}
    boost::shared_ptr<IBlockingStream> OpenForWrite(const std::wstring& p) override { return real_->OpenForWrite(p); }
    boost::shared_ptr<IBlockingStream> OpenForRead(const std::wstring& p) override { return real_->OpenForRead(p); }
    bool Exists(const std::wstring& p) override { return real_->Exists(p); }
    std::string GetModifiedTime(const std::wstring& p) override { return real_->GetModifiedTime(p); }
    uint64_t GetFileSize(const std::wstring& p) override { return real_->GetFileSize(p); }
    bool DeleteFile(const std::wstring& p) override {
        const std::wstring name = p.substr(p.rfind(L'/') + 1);
        if (undeletable.count(name)) throw std::runtime_error("Deletion failed for file: (test)");
        return real_->DeleteFile(p);
    }
    void MakeDirectory(const std::wstring& p) override { real_->MakeDirectory(p); }
    void RemoveDirectory(const std::wstring& p) override { real_->RemoveDirectory(p); }

    std::set<std::wstring> undeletable;

private:
    boost::shared_ptr<IFileMaker> real_;
};

// The worker loop's part: every session one step per pass, 1 ms of sleep when nothing happened.
class StreamPump {
public:
    StreamPump()
        : thread_([this] {
              while (!stop_) {
                  if (!ProcessAllStreams()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~StreamPump() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace mediatest
