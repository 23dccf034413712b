// The process-wide registry of stream sessions, keyed by stream id, with its lock. At most one session
// per stream id; every session operation runs under the registry lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "media/IStreamManager.h"

class IState;
class IWaker;
class IMetadataFactory;
class IFileMaker;
class ITranscodeFactory;
class ISegmenterFactory;

// Holds the registry lock for its whole life; its release lets the lock go.
class StreamManagerSafe final : public IStreamManagerSafe, public KivDeleter {
public:
    // The caller holds the registry lock already.
    static boost::shared_ptr<IStreamManagerSafe> GetInstance(IStreamManager* session, uint64_t generation);
    IStreamManager* GetStreamManager() override { return session_; }
    uint64_t GetPlayGeneration() override { return generation_; }
    void Destroy() override { delete this; }

private:
    StreamManagerSafe(IStreamManager* session, uint64_t generation) : session_(session), generation_(generation) {}
    ~StreamManagerSafe();
    IStreamManager* session_;
    uint64_t generation_;
};

// A play request's turn. Play requests run one at a time: each ends every session and starts the next
// play generation before it makes its own session, so at most one session exists and every session
// belongs to exactly one generation. Holds the play lock for its whole life (taken before the
// registry lock, never inside it).
class PlayTurn {
public:
    PlayTurn();
    ~PlayTurn();
    PlayTurn(const PlayTurn&) = delete;
    PlayTurn& operator=(const PlayTurn&) = delete;
};

// A new session, probed and with its folder, registered under its stream id (a session already there
// is replaced); the handle holds the registry lock. Empty, with the lock free, when the set-up failed.
// No transcoder or segmenter factory (nullptr): the session makes its own.
boost::shared_ptr<IStreamManagerSafe> CreateStream(const std::wstring& videoPath, uint64_t sessionId, IState* state,
                                                   const std::wstring& urlBase, int32_t width, int32_t height,
                                                   IMetadataFactory* metadata, IFileMaker* files,
                                                   ITranscodeFactory* transcoders, ISegmenterFactory* segmenters,
                                                   uint32_t targetBitrate, int32_t bitrateTolerance, int32_t videoIndex,
                                                   int32_t audioIndex, double aspect, int32_t threads);
// The session of that id with the lock held, or empty with the lock free.
boost::shared_ptr<IStreamManagerSafe> FindStream(const std::wstring& streamId);
bool RemoveStream(const std::wstring& streamId);
bool StopStream(const std::wstring& videoPath, uint64_t sessionId);
bool RemoveAllStreams();
// Ends every session of that client session, with its programs; how many ended.
size_t RemoveStreamsOfSession(uint64_t sessionId);
// One step of every session; true when any did work.
bool ProcessAllStreams();
size_t GetStreamCount();
// The worker's waker: a segment request or delivery wakes it, and so does new input on the descriptors
// the sessions watch, so their work is done at once instead of after a whole idle pause. nullptr takes
// it away; the call returns once no wake through the old one runs. What is watched moves to the new one.
void SetStreamWaker(IWaker* waker);
// A segment was requested or delivered: wakes the waker given, if any.
void WakeStreamWorker();
// A run's descriptor on which its next work shows up (the transcoder's output, the segmenter's report):
// new input on it or its hang-up wakes the worker, until the run lets it go with the id returned here
// (-1 when it cannot be watched). Registered once for the run's life; the registry watches a copy of
// its own, so fd may close before the run lets it go.
int WatchStreamInput(int fd);
void UnwatchStreamInput(int watchId);
// Segment waits. The count moves whenever a step answers a segment request (ready or failed) or a session
// ends; a route reads it before it reads its request's status, then waits for it to move.
uint64_t GetSegmentAnswerCount();
// Waits until the count is no longer `seen`, or ms have passed.
void WaitForSegmentAnswer(uint64_t seen, uint32_t ms);
void UnlockStreamRegistry();
