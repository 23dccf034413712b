// One HTTP Live Streaming session, as the HTTP interface and the worker see it.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

// The length of every playlist entry, the seek arithmetic and the segmenter's cut.
constexpr uint32_t SegmentSeconds = 5;

enum StreamState { StreamIdle = 0, StreamStreaming = 1, StreamSeeking = 2 };

enum SegmentRequestStatus { SegmentReady = 0, SegmentPending = 2, SegmentFailed = 3 };

enum SegmentWaitResult { WaitProgress = 0, WaitError = 1, WaitPending = 2, WaitAvailable = 3 };

class IStreamManager {
public:
    virtual StreamState GetState() = 0;
    // The playlist of the whole video; segment addresses carry sessionId in hexadecimal.
    virtual std::string GetPlaylist(uint64_t sessionId) = 0;
    virtual std::wstring GetStreamId() = 0;
    // Queues a request for the segment the file name numbers ("segment-7.ts"); returns its id.
    virtual uint32_t RequestSegment(const std::wstring& fileName) = 0;
    // Ready and failed are reported once; afterwards, and for unknown ids, pending.
    virtual SegmentRequestStatus GetRequestStatus(uint32_t requestId) = 0;
    // The client has received the segment.
    virtual void SegmentFinished(const std::wstring& fileName) = 0;
    // Where the last requested segment starts, in seconds.
    virtual double GetLastRequestedSeconds() = 0;
    virtual double GetDuration() = 0;
    // One step of the session's work; true when it did some. Never waits for a child program.
    virtual bool Process() = 0;
    virtual uint32_t GetFirstSegmentIdx() = 0;

protected:
    ~IStreamManager() = default;
};

// A session found in the registry; the registry lock is held for as long as this handle lives.
class IStreamManagerSafe {
public:
    virtual IStreamManager* GetStreamManager() = 0;
    // The play generation the session was made in. A later look-up of the same stream id that gives
    // another generation found a session of a newer play: the one asked before has ended.
    virtual uint64_t GetPlayGeneration() = 0;

protected:
    ~IStreamManagerSafe() = default;
};
