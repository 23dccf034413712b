#include "media/StreamRegistry.h"

#include <fcntl.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>

#include "core/Waker.h"
#include "kivlib/PosixFd.h"
#include "kivlib/kiv_thread.h"
#include "media/StreamManager.h"

namespace {

struct Entry {
    boost::shared_ptr<StreamManager> session;
    uint64_t generation = 0;
};

struct Registry {
    Registry() : lock(KivThreadMutex::GetInstance()), playLock(KivThreadMutex::GetInstance()) {
        if (!lock || !playLock) throw std::runtime_error("Mutex creation failed");
    }
    boost::shared_ptr<KivThreadMutex> lock;
    std::map<std::wstring, Entry> sessions;
    // The current play generation (under lock); play turns run one at a time under playLock.
    uint64_t generation = 0;
    boost::shared_ptr<KivThreadMutex> playLock;
    // Apart from the registry lock: a wake comes while a session is held. Under it also the runs'
    // watched descriptors (the registry's own copies, keyed by their numbers), which a new waker takes over.
    std::mutex wakerLock;
    IWaker* waker = nullptr;
    std::map<int, kivposix::UniqueFd> watched;
    // Segment answers; taken after the registry lock, never before it.
    std::mutex answerLock;
    std::condition_variable answered;
    uint64_t answers = 0;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

void AnnounceAnswers() {
    Registry& registry = TheRegistry();
    {
        std::lock_guard<std::mutex> hold(registry.answerLock);
        ++registry.answers;
    }
    registry.answered.notify_all();
}

}  // namespace

boost::shared_ptr<IStreamManagerSafe> StreamManagerSafe::GetInstance(IStreamManager* session, uint64_t generation) {
    return boost::shared_ptr<IStreamManagerSafe>(new StreamManagerSafe(session, generation), KivDeleter::deleter());
}

StreamManagerSafe::~StreamManagerSafe() { UnlockStreamRegistry(); }

void UnlockStreamRegistry() { TheRegistry().lock->UnlockEx(); }

PlayTurn::PlayTurn() {
    Registry& registry = TheRegistry();
    registry.playLock->LockEx();
    // Every session ends, also when this play then fails or plays directly.
    KivLock guard(*registry.lock);
    registry.sessions.clear();
    ++registry.generation;
    AnnounceAnswers();  // a route waiting on an ended session learns it now
}

PlayTurn::~PlayTurn() { TheRegistry().playLock->UnlockEx(); }

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
    Entry& slot = registry.sessions[session->GetStreamId()];
    // The same client playing the same file again: the old session's folder is the new one's now, so its
    // end must not remove it.
    const bool replacing = bool(slot.session);
    if (replacing) slot.session->HandOverFolder();
    slot.session = session;  // the old session, if any, ends here
    if (replacing) AnnounceAnswers();
    slot.generation = registry.generation;
    return StreamManagerSafe::GetInstance(session.get(), slot.generation);
}

boost::shared_ptr<IStreamManagerSafe> FindStream(const std::wstring& streamId) {
    Registry& registry = TheRegistry();
    registry.lock->LockEx();
    auto found = registry.sessions.find(streamId);
    if (found == registry.sessions.end()) {
        registry.lock->UnlockEx();
        return boost::shared_ptr<IStreamManagerSafe>();
    }
    return StreamManagerSafe::GetInstance(found->second.session.get(), found->second.generation);
}

bool RemoveStream(const std::wstring& streamId) {
    Registry& registry = TheRegistry();
    KivLock guard(*registry.lock);
    const bool removed = registry.sessions.erase(streamId) != 0;
    if (removed) AnnounceAnswers();
    return removed;
}

bool StopStream(const std::wstring& videoPath, uint64_t sessionId) { return RemoveStream(MakeStreamId(videoPath, sessionId)); }

bool RemoveAllStreams() {
    Registry& registry = TheRegistry();
    KivLock guard(*registry.lock);
    const bool any = !registry.sessions.empty();
    registry.sessions.clear();
    if (any) AnnounceAnswers();
    return true;
}

size_t RemoveStreamsOfSession(uint64_t sessionId) {
    Registry& registry = TheRegistry();
    KivLock guard(*registry.lock);
    size_t removed = 0;
    for (auto it = registry.sessions.begin(); it != registry.sessions.end();) {
        if (it->second.session->GetSessionId() == sessionId) {
            it = registry.sessions.erase(it);  // the session stops its programs as it goes
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

bool ProcessAllStreams() {
    Registry& registry = TheRegistry();
    KivLock guard(*registry.lock);
    bool work = false;
    bool answered = false;
    for (auto& entry : registry.sessions) {
        StreamManager& session = *entry.second.session;
        const size_t before = session.AnsweredCount();
        work = session.Process() || work;
        answered = answered || session.AnsweredCount() != before;
    }
    if (answered) AnnounceAnswers();
    return work;
}

size_t GetStreamCount() {
    Registry& registry = TheRegistry();
    KivLock guard(*registry.lock);
    return registry.sessions.size();
}

void SetStreamWaker(IWaker* waker) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.wakerLock);
    if (registry.waker == waker) return;
    for (auto& entry : registry.watched) {
        if (registry.waker) registry.waker->Unwatch(entry.first);
        if (waker) waker->Watch(entry.first);
    }
    registry.waker = waker;
}

int WatchStreamInput(int fd) {
    if (fd < 0) return -1;
    kivposix::UniqueFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy.valid()) return -1;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.wakerLock);
    const int id = copy.get();
    if (registry.waker) registry.waker->Watch(id);
    registry.watched[id] = std::move(copy);
    return id;
}

void UnwatchStreamInput(int watchId) {
    if (watchId < 0) return;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.wakerLock);
    auto found = registry.watched.find(watchId);
    if (found == registry.watched.end()) return;
    if (registry.waker) registry.waker->Unwatch(watchId);
    registry.watched.erase(found);  // closes the copy
}

void WakeStreamWorker() {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.wakerLock);
    if (registry.waker) registry.waker->Wake();
}

uint64_t GetSegmentAnswerCount() {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.answerLock);
    return registry.answers;
}

void WaitForSegmentAnswer(uint64_t seen, uint32_t ms) {
    Registry& registry = TheRegistry();
    std::unique_lock<std::mutex> hold(registry.answerLock);
    registry.answered.wait_for(hold, std::chrono::milliseconds(ms), [&] { return registry.answers != seen; });
}
