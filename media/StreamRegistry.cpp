#include "media/StreamRegistry.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>

#include "kivlib/kiv_thread.h"
#include "media/StreamManager.h"

namespace {

struct Registry {
    Registry() : lock(KivThreadMutex::GetInstance()) {
        if (!lock) throw std::runtime_error("Mutex creation failed");
    }
    boost::shared_ptr<KivThreadMutex> lock;
    std::map<std::wstring, boost::shared_ptr<StreamManager>> sessions;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

boost::shared_ptr<IStreamManagerSafe> StreamManagerSafe::GetInstance(IStreamManager* session) {
    return boost::shared_ptr<IStreamManagerSafe>(new StreamManagerSafe(session), KivDeleter::deleter());
}

StreamManagerSafe::~StreamManagerSafe() { UnlockStreamRegistry(); }

void UnlockStreamRegistry() { TheRegistry().lock->UnlockEx(); }

boost::shared_ptr<IStreamManagerSafe> CreateStream(const std::wstring& videoPath, uint64_t sessionId, IState* state,
                                                   const std::wstring& urlBase, int32_t width, int32_t height,
                                                   IMetadataFactory* metadata, IFileMaker* files,
                                                   ITranscodeFactory* transcoders, ISegmenterFactory* segmenters,
                                                   uint32_t targetBitrate, int32_t bitrateTolerance, int32_t videoIndex,
                                                   int32_t audioIndex, double aspect, int32_t threads) {
    StreamSettings settings;
    settings.width = width;
    settings.height = height;
    settings.targetBitrate = targetBitrate;
    settings.bitrateTolerance = bitrateTolerance;
    settings.videoIndex = videoIndex;
    settings.audioIndex = audioIndex;
    settings.aspect = aspect;
    settings.threads = threads;
    boost::shared_ptr<StreamManager> session(
        new StreamManager(videoPath, sessionId, state, urlBase, settings, metadata, files, transcoders, segmenters),
        KivDeleter::deleter());
    // The probe may take seconds: it runs before the registry lock is taken.
    if (!session->Init()) return boost::shared_ptr<IStreamManagerSafe>();

    Registry& registry = TheRegistry();
    registry.lock->LockEx();
    boost::shared_ptr<StreamManager>& slot = registry.sessions[session->GetStreamId()];
    // The same client playing the same file again: the old session's folder is the new one's now, so its
    // end must not remove it.
    if (slot) slot->HandOverFolder();
    slot = session;  // the old session, if any, ends here
    return StreamManagerSafe::GetInstance(session.get());
}

boost::shared_ptr<IStreamManagerSafe> FindStream(const std::wstring& streamId) {
    Registry& registry = TheRegistry();
    registry.lock->LockEx();
    auto found = registry.sessions.find(streamId);
    if (found == registry.sessions.end()) {
        registry.lock->UnlockEx();
        return boost::shared_ptr<IStreamManagerSafe>();
    }
    return StreamManagerSafe::GetInstance(found->second.get());
}

bool RemoveStream(const std::wstring& streamId) {
    Registry& registry = TheRegistry();
    KivLock guard(*registry.lock);
    return registry.sessions.erase(streamId) != 0;
}

bool StopStream(const std::wstring& videoPath, uint64_t sessionId) { return RemoveStream(MakeStreamId(videoPath, sessionId)); }

bool RemoveAllStreams() {
    Registry& registry = TheRegistry();
    KivLock guard(*registry.lock);
    registry.sessions.clear();
    return true;
}

bool ProcessAllStreams() {
    Registry& registry = TheRegistry();
    KivLock guard(*registry.lock);
    bool work = false;
    for (auto& entry : registry.sessions) work = entry.second->Process() || work;
    return work;
}

size_t GetStreamCount() {
    Registry& registry = TheRegistry();
    KivLock guard(*registry.lock);
    return registry.sessions.size();
}

namespace {
std::mutex g_wakeLock;
std::condition_variable g_wake;
bool g_wakePending = false;
}  // namespace

void WakeStreamWorker() {
    {
        std::lock_guard<std::mutex> hold(g_wakeLock);
        g_wakePending = true;
    }
    g_wake.notify_all();
}

void WaitForStreamWork(uint32_t ms) {
    std::unique_lock<std::mutex> hold(g_wakeLock);
    g_wake.wait_for(hold, std::chrono::milliseconds(ms), [] { return g_wakePending; });
    g_wakePending = false;
}
