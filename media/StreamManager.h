// A stream session: the playlist of one video for one client session, the queue of segment requests,
// and the transcoder and segmenter run that makes the segments (the production side lives in
// SegmentProduction.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "media/IStreamManager.h"

class IState;
class IMetadata;
class IMetadataFactory;
class IFileMaker;
class ITranscode;
class ITranscodeFactory;
class ISegmenter;
class ISegmenterFactory;
class KivThreadMutex;
struct TranscodeParams;

// The stream id: the MD5 of the path as UTF-16LE code units, in lower-case hexadecimal, then the session
// id in decimal.
std::wstring MakeStreamId(const std::wstring& videoPath, uint64_t sessionId);

struct StreamSettings {
    int32_t width = 320;
    int32_t height = 240;
    uint32_t targetBitrate = 1200;
    int32_t bitrateTolerance = 1300;
    int32_t videoIndex = -1;
    int32_t audioIndex = -1;
    double aspect = 0;
    int32_t threads = 0;
};

// How long the segmenter may take to cut the rest of its input and end once the transcoder's output has
// ended.
constexpr uint32_t kSegmenterFinishMs = 5000;
// The longest remainder past the last whole segment that gets no playlist entry of its own (seconds).
constexpr double kShortestTailSeconds = 0.1;

class StreamManager final : public IStreamManager, public KivDeleter {
public:
    StreamManager(const std::wstring& videoPath, uint64_t sessionId, IState* state, const std::wstring& urlBase,
                  const StreamSettings& settings, IMetadataFactory* metadata, IFileMaker* files,
                  ITranscodeFactory* transcoders, ISegmenterFactory* segmenters);

    // Probes the video, makes the session's folder with its marker file; false (logged) on failure.
    bool Init();

    StreamState GetState() override { return StreamState(currentState_.load()); }
    std::string GetPlaylist(uint64_t sessionId) override;
    std::wstring GetStreamId() override;
    uint32_t RequestSegment(const std::wstring& fileName) override;
    SegmentRequestStatus GetRequestStatus(uint32_t requestId) override;
    void SegmentFinished(const std::wstring& fileName) override;
    double GetLastRequestedSeconds() override;
    double GetDuration() override;
    bool Process() override;
    uint32_t GetFirstSegmentIdx() override { return firstSegmentIdx_; }
    void Destroy() override { delete this; }

    // The folder is another session's from now on: this one's end stops its programs and leaves it alone.
    void HandOverFolder() { ownsFolder_ = false; }
    std::wstring GetTempFolder() const { return tempFolder_; }
    uint64_t GetSessionId() const { return sessionId_; }
    uint32_t GetSegmentCount() const { return segmentCount_; }
    uint32_t GetLastSegmentSeconds() const { return lastSegmentSeconds_; }
    // Requests answered (ready or failed) and not yet collected; a change across a step means a waiting
    // route has an answer.
    size_t AnsweredCount();

    // The number after the last "-" of a file name ("segment-17.ts" gives 17); 0 when there is none.
    static uint32_t GetSegmentIdx(const std::wstring& fileName);
    // Entries of 5 s over the duration, the last one the rest rounded to whole seconds (at least 1); a
    // rest of at most kShortestTailSeconds after a whole segment gets none.
    static void ComputeSegmentCount(double duration, uint32_t& count, uint32_t& lastSeconds);

private:
    struct SegmentRequest {
        uint32_t index;
        uint32_t id;
    };

    ~StreamManager();

    bool ProcessIdle();
    bool ProcessSeeking();
    bool ProcessStreaming();
    void FailOutOfRangeRequests();
    bool InRange(uint32_t index) const { return index >= 1 && index <= segmentCount_; }

    // Production (SegmentProduction.cpp).
    bool StartSeekRequest(uint32_t index);
    void StartPrograms(const TranscodeParams& params, uint32_t index);
    SegmentWaitResult WaitForSegment(uint32_t index);
    SegmentWaitResult StepLinkedRun(uint32_t index, bool& endOfOutput);
    SegmentWaitResult MoveOutput(bool& endOfOutput);
    bool ScanNewSegments();
    void CountClosed(uint32_t closedCount);
    void FinishSegmenter();
    void EndRun();
    // The run's descriptors (the segmenter's report; the transcoder's output or its end) wake the worker
    // for the run's life (registered once, not on every pass).
    void WatchRun();
    void UnwatchRun();
    // False when something that would pass for a segment file is still in the folder afterwards.
    bool StopAndCleanTemp();
    void DeleteFolderFiles();
    bool HoldsSegmentNames();
    void StopAndRemoveTemp();
    std::wstring SegmentFile(uint32_t index) const;

    const std::wstring videoPath_;
    const uint64_t sessionId_;
    IState* state_;
    std::wstring urlBase_;
    const StreamSettings settings_;
    IMetadataFactory* metadataFactory_;
    IFileMaker* files_;

    uint32_t firstSegmentIdx_ = uint32_t(-1);
    uint32_t lastCreatedSegmentIdx_ = uint32_t(-1);
    uint32_t lastCompletedSegmentIdx_ = uint32_t(-1);
    std::atomic<uint32_t> lastRequestedSegmentIdx_{1};
    std::atomic<int> currentState_{StreamIdle};
    std::wstring streamId_;

    boost::shared_ptr<ITranscodeFactory> ownTranscoders_;
    ITranscodeFactory* transcoders_;
    boost::shared_ptr<ITranscode> transcoder_;
    boost::shared_ptr<ISegmenterFactory> ownSegmenters_;
    ISegmenterFactory* segmenters_;
    boost::shared_ptr<ISegmenter> segmenter_;
    bool linked_ = false;  // the segmenter reads the transcoder's output itself
    std::vector<int> runWatches_;

    std::wstring segmentPrefix_;
    std::wstring segmenterPlaylist_;
    std::wstring tempFolder_;
    bool ownsFolder_ = false;
    boost::shared_ptr<IMetadata> metadata_;
    uint32_t segmentCount_ = 0;
    uint32_t lastSegmentSeconds_ = SegmentSeconds;

    boost::shared_ptr<KivThreadMutex> lock_;
    uint32_t nextRequestId_ = 0;
    std::deque<SegmentRequest> requestQueue_;
    std::deque<SegmentRequest> seekQueue_;
    std::map<uint32_t, uint32_t> readyRequests_;
    std::map<uint32_t, uint32_t> failedRequests_;
    std::set<uint32_t> deliveredSegments_;
};
