#include "media/StreamManager.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "core/FileMaker.h"
#include "core/IState.h"
#include "core/Log.h"
#include "core/Util.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_thread.h"
#include "media/IMetadata.h"
#include "media/ISegmenter.h"
#include "media/ITranscode.h"
#include "media/Segmenter.h"
#include "media/StreamRegistry.h"
#include "media/Transcode.h"

StreamManager::StreamManager(const std::wstring& videoPath, uint64_t sessionId, IState* state, const std::wstring& urlBase,
                             const StreamSettings& settings, IMetadataFactory* metadata, IFileMaker* files,
                             ITranscodeFactory* transcoders, ISegmenterFactory* segmenters)
    : videoPath_(videoPath),
      sessionId_(sessionId),
      state_(state),
      urlBase_(urlBase),
      settings_(settings),
      metadataFactory_(metadata),
      files_(files),
      transcoders_(transcoders),
      segmenters_(segmenters) {}

StreamManager::~StreamManager() { StopAndRemoveTemp(); }

bool StreamManager::Init() {
    try {
        if (!transcoders_) {
            ownTranscoders_ = TranscodeFactory::GetInstance();
            transcoders_ = ownTranscoders_.get();
        }
        if (!segmenters_) {
            ownSegmenters_ = SegmenterFactory::GetInstance();
            segmenters_ = ownSegmenters_.get();
        }
        lock_ = KivThreadMutex::GetInstance();
        if (!lock_) throw std::runtime_error("Mutex creation failed");
        if (metadataFactory_) metadata_ = metadataFactory_->GetMetadata(videoPath_);
        if (!metadata_) throw std::runtime_error("Unable to get metadata for video file");

        const double duration = metadata_->GetDuration();
        const uint32_t bitrate = metadata_->GetBitrate();
        const uint64_t size = files_->GetFileSize(videoPath_);
        // A duration far beyond what the size allows at the bitrate is a broken header; a bitrate of 0 passes.
        const double estimate = double(size) / (double(bitrate) * 100.0);
        if (estimate * 1.5 < duration) throw std::runtime_error("Duration from metadata is wrong, so streaming is unsupported");
        ComputeSegmentCount(duration, segmentCount_, lastSegmentSeconds_);

        streamId_ = MakeStreamId(videoPath_, sessionId_);
        tempFolder_ = state_->GetCacheFolder() + L"/" + streamId_;
        files_->MakeDirectory(tempFolder_);
        if (!files_->OpenForWrite(tempFolder_ + L"/" + kStreamFolderMarker)) {
            try {
                files_->RemoveDirectory(tempFolder_);  // only when empty: never another session's folder
            } catch (const std::exception&) {
            }
            throw std::runtime_error("Stream folder marker could not be written");
        }
        ownsFolder_ = true;
        segmentPrefix_ = tempFolder_ + L"/segment";
        segmenterPlaylist_ = tempFolder_ + L"/stream.m3u8";
        urlBase_ = urlBase_ + streamId_ + L"/";
        return true;
    } catch (const std::exception& error) {
        KIV_LOG(error.what());
        return false;
    }
}

void StreamManager::ComputeSegmentCount(double duration, uint32_t& count, uint32_t& lastSeconds) {
    count = duration > 0 ? uint32_t(duration / double(SegmentSeconds)) : 0;
    const double remainder = duration - double(count) * double(SegmentSeconds);
    // The last part gets an entry of its own, so the playlist reaches the video's end; only a tail of
    // at most kShortestTailSeconds past a whole segment may hold no frame at all of its own (a stated
    // duration a frame or a rounding longer than the picture), and it is left to the segment before.
    // A video shorter than one segment is always one entry: the segmenter writes its first file
    // whatever it gets.
    if (remainder > kShortestTailSeconds || (count == 0 && duration > 0)) {
        lastSeconds = std::max<uint32_t>(1, uint32_t(remainder + 0.5));  // whole seconds, as every entry
        ++count;
    } else {
        lastSeconds = SegmentSeconds;
    }
}

uint32_t StreamManager::GetSegmentIdx(const std::wstring& fileName) {
    const size_t dash = fileName.rfind(L'-');
    if (dash == std::wstring::npos) {
        KIV_LOG("GetSegmentIdx failed");
        return 0;
    }
    return numstr::ToUint32(kivm::str_conv(fileName.substr(dash)));
}

std::string StreamManager::GetPlaylist(uint64_t sessionId) {
    KivLock guard(*lock_);
    const std::string base = kivm::ToUTF8Ex(urlBase_);
    const std::string query = ".ts?SessionID=" + numstr::ToStr(sessionId, 16);
    std::string text = "#EXTM3U\r\n#EXT-X-TARGETDURATION:" + numstr::ToStr(SegmentSeconds) + "\r\n#EXT-X-MEDIA-SEQUENCE:0\r\n";
    for (uint32_t i = 1; i <= segmentCount_; ++i) {
        const uint32_t seconds = i == segmentCount_ ? lastSegmentSeconds_ : SegmentSeconds;
        text += "#EXTINF:" + numstr::ToStr(seconds) + ", no desc\r\n";
        text += base + "segment-" + numstr::ToStr(i) + query + "\r\n";
    }
    text += "#EXT-X-ENDLIST\r\n";
    return text;
}

std::wstring StreamManager::GetStreamId() {
    KivLock guard(*lock_);
    return streamId_;
}

uint32_t StreamManager::RequestSegment(const std::wstring& fileName) {
    const uint32_t index = GetSegmentIdx(fileName);
    lastRequestedSegmentIdx_ = index;
    KIV_LOG("Index " + numstr::ToStr(index) + " requested");
    KivLock guard(*lock_);
    const uint32_t id = nextRequestId_++;
    requestQueue_.push_back(SegmentRequest{index, id});
    WakeStreamWorker();
    return id;
}

size_t StreamManager::AnsweredCount() {
    KivLock guard(*lock_);
    return readyRequests_.size() + failedRequests_.size();
}

SegmentRequestStatus StreamManager::GetRequestStatus(uint32_t requestId) {
    KivLock guard(*lock_);
    if (readyRequests_.erase(requestId)) return SegmentReady;
    if (failedRequests_.erase(requestId)) return SegmentFailed;
    return SegmentPending;
}

void StreamManager::SegmentFinished(const std::wstring& fileName) {
    const uint32_t index = GetSegmentIdx(fileName);
    KIV_LOG("Index " + numstr::ToStr(index) + " finished");
    KivLock guard(*lock_);
    deliveredSegments_.insert(index);
    // Production may go on now that the player has taken this one: the worker must not sleep through it.
    WakeStreamWorker();
}

double StreamManager::GetLastRequestedSeconds() {
    const uint32_t index = lastRequestedSegmentIdx_;
    const uint32_t seconds = index == 0 ? 0 : (index - 1) * SegmentSeconds;  // index 0 names no segment
    KIV_LOG("+++ seconds at last requested segment " + numstr::ToStr(index) + " is " + numstr::ToStr(seconds));
    return double(seconds);
}

double StreamManager::GetDuration() { return metadata_ ? metadata_->GetDuration() : 0.0; }

bool StreamManager::Process() {
    const int state = currentState_.load();
    KivLock guard(*lock_);
    const size_t queued = requestQueue_.size();
    const uint32_t completed = lastCompletedSegmentIdx_;
    FailOutOfRangeRequests();
    bool work = false;
    switch (state) {
        case StreamIdle:
            work = ProcessIdle();
            break;
        case StreamSeeking:
            work = ProcessSeeking();
            break;
        case StreamStreaming:
            work = ProcessStreaming();
            break;
        default:
            break;
    }
    // A step that moved the session on (a new state, a request decided, a delivery counted) may leave the
    // next one something to do that nothing else wakes the worker for: a seek to start, the next request
    // or delivery. The transcoder's output used to wake it for those as well.
    return work || currentState_.load() != state || requestQueue_.size() != queued ||
           lastCompletedSegmentIdx_ != completed;
}

// A request for a segment the playlist does not name fails on its own: it never stops the running
// transcoder, empties the folder or aborts a seek.
void StreamManager::FailOutOfRangeRequests() {
    for (auto it = requestQueue_.begin(); it != requestQueue_.end();) {
        if (InRange(it->index)) {
            ++it;
            continue;
        }
        KIV_LOG("Segment " + numstr::ToStr(it->index) + " is out of range, the stream has " + numstr::ToStr(segmentCount_));
        failedRequests_[it->id] = it->index;
        it = requestQueue_.erase(it);
    }
}

bool StreamManager::ProcessIdle() {
    if (requestQueue_.empty()) return false;
    const SegmentRequest r = requestQueue_.front();
    if (StartSeekRequest(r.index)) {
        KIV_LOG("Seeking to segment " + numstr::ToStr(r.index));
        requestQueue_.pop_front();
        seekQueue_.push_back(r);
        currentState_ = StreamSeeking;
        return true;
    }
    KIV_LOG("StartSeekRequest failed! (this should never happen)");
    failedRequests_[r.id] = r.index;
    requestQueue_.pop_front();
    return false;
}

bool StreamManager::ProcessSeeking() {
    bool work = false;
    bool wait = true;
    if (!requestQueue_.empty()) {
        const SegmentRequest r = requestQueue_.front();
        if (r.index == seekQueue_.front().index) {
            KIV_LOG("Duplicate segment request was received, so we don't need to abort the current seek");
            requestQueue_.pop_front();
            seekQueue_.push_back(r);
        } else {
            KIV_LOG("Another request has come in during a seek,");
            for (const SegmentRequest& s : seekQueue_) {
                KIV_LOG("Aborting segment " + numstr::ToStr(s.index));
                failedRequests_[s.id] = s.index;
            }
            seekQueue_.clear();
            while (requestQueue_.size() > 1) {
                KIV_LOG("Aborting segment " + numstr::ToStr(requestQueue_.front().index));
                failedRequests_[requestQueue_.front().id] = requestQueue_.front().index;
                requestQueue_.pop_front();
            }
            currentState_ = StreamIdle;
            work = true;
            wait = false;
        }
    }
    if (wait) {
        switch (WaitForSegment(seekQueue_.front().index)) {
            case WaitAvailable:
                currentState_ = StreamStreaming;
                work = true;
                break;
            case WaitProgress:
                work = true;
                break;
            case WaitPending:
                break;
            case WaitError:
                failedRequests_[seekQueue_.front().id] = seekQueue_.front().index;
                seekQueue_.pop_front();
                currentState_ = StreamIdle;
                KIV_LOG("Got error waiting for seek to complete, reverting to idle state");
                break;
        }
    }
    if (currentState_ != StreamSeeking) {
        // The request that started a successful seek is the first to be answered.
        requestQueue_.insert(requestQueue_.begin(), seekQueue_.begin(), seekQueue_.end());
        seekQueue_.clear();
    }
    return work;
}

bool StreamManager::ProcessStreaming() {
    bool work = false;
    const uint32_t expected = lastCompletedSegmentIdx_ + 1;
    if (deliveredSegments_.erase(expected)) lastCompletedSegmentIdx_ = expected;
    if (lastCompletedSegmentIdx_ >= segmentCount_) EndRun();
    if (segmenter_) {
        if (lastCreatedSegmentIdx_ < lastCompletedSegmentIdx_) {
            KIV_LOG("FATAL ERROR: LastCompletedSegmentIdx is somehow greater than LastCreatedSegmentIdx");
        } else if (lastCreatedSegmentIdx_ - lastCompletedSegmentIdx_ < 3) {
            const uint32_t target = std::min(lastCompletedSegmentIdx_ + 3, segmentCount_);
            const SegmentWaitResult result = WaitForSegment(target);
            if (result == WaitProgress) work = true;
            if (result == WaitError) {
                KIV_LOG("Resetting state to try again");
                currentState_ = StreamIdle;
                return true;
            }
        }
    }
    if (requestQueue_.empty()) return work;
    const SegmentRequest r = requestQueue_.front();
    if (r.index < expected) {
        if (r.index < firstSegmentIdx_) {
            KIV_LOG("The next expected segment is " + numstr::ToStr(expected) + " but we got " + numstr::ToStr(r.index) +
                    " so interpreting this as a seek request.");
            currentState_ = StreamIdle;
        } else {
            readyRequests_[r.id] = r.index;
            requestQueue_.pop_front();
        }
    } else if (r.index <= lastCreatedSegmentIdx_) {
        readyRequests_[r.id] = r.index;
        requestQueue_.pop_front();
    } else if (r.index - lastCompletedSegmentIdx_ > 3) {
        KIV_LOG("The next available segment is " + numstr::ToStr(lastCreatedSegmentIdx_) + " but we got " +
                numstr::ToStr(r.index) + " so we will have to seek.");
        currentState_ = StreamIdle;
    } else if (!segmenter_) {
        KIV_LOG("No more segments!  Stream ended prematurely!");
        failedRequests_[r.id] = r.index;
        requestQueue_.pop_front();
        currentState_ = StreamIdle;
    }
    return work;
}
