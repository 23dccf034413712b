// The production side of a stream session: starting a run at a segment, handing the transcoder's output
// to the segmenter (or moving it across), pacing it, counting finished segment files, and cleaning the
// session's folder.
#include <exception>
#include <stdexcept>

#include "core/FileMaker.h"
#include "core/Log.h"
#include "core/Util.h"
#include "kivlib/KivFileFinder.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"
#include "media/ISegmenter.h"
#include "media/ITranscode.h"
#include "media/StreamManager.h"
#include "media/StreamRegistry.h"

// Log entries name the component, the stream session, whichever of its files writes them.
#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "StreamManager"

std::wstring MakeStreamId(const std::wstring& videoPath, uint64_t sessionId) {
    // The path's characters as UTF-16 code units, two bytes each, low byte first.
    std::string bytes;
    auto unit = [&bytes](uint32_t u) {
        bytes.push_back(char(u & 0xFF));
        bytes.push_back(char((u >> 8) & 0xFF));
    };
    for (wchar_t c : videoPath) {
        const uint32_t code = uint32_t(c);
        if (code >= 0x10000 && code <= 0x10FFFF) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
    }
    // The second part is a digest of the session id rather than the id itself: stream ids appear in
    // URLs, folder names and log lines, and the session id is a client's credential.
    return kivm::str_conv(kivm::compute_md5(bytes) + kivm::compute_md5(numstr::ToStr(sessionId)));
}

std::wstring StreamManager::SegmentFile(uint32_t index) const {
    return segmentPrefix_ + L"-" + kivm::str_conv(numstr::ToStr(index)) + L".ts";
}

bool StreamManager::StartSeekRequest(uint32_t index) {
    if (!InRange(index)) {
        // Tested before anything stops: a request the playlist does not name leaves the run alone.
        KIV_LOG("Seek request is out of range");
        return false;
    }
    try {
        if (!StopAndCleanTemp()) {
            throw std::runtime_error("The stream folder could not be emptied, so its old files would count as new segments");
        }
        files_->MakeDirectory(tempFolder_);  // in case it went meanwhile
        if (!files_->Exists(tempFolder_ + L"/" + kStreamFolderMarker)) files_->OpenForWrite(tempFolder_ + L"/" + kStreamFolderMarker);

        TranscodeParams params;
        params.InputPath = videoPath_;
        params.Width = settings_.width;
        params.Height = settings_.height;
        params.TargetBitrate = settings_.targetBitrate;
        params.BitrateTolerance = settings_.bitrateTolerance;
        params.VideoIndex = settings_.videoIndex;
        params.AudioIndex = settings_.audioIndex;
        params.Aspect = settings_.aspect;
        params.Threads = settings_.threads;
        params.StartSeconds = int32_t((index - 1) * SegmentSeconds);
        StartPrograms(params, index);
        if (!transcoder_) throw std::runtime_error("Instantiating transcode class failed");
        if (!segmenter_) throw std::runtime_error("Instantiating segmenter class failed");
        lastCreatedSegmentIdx_ = index - 1;
        lastCompletedSegmentIdx_ = index - 1;
        firstSegmentIdx_ = index;
        return true;
    } catch (const std::exception& error) {
        KIV_LOG(error.what());
        return false;
    }
}

// Starts the run's two programs, the transcoder first: the segmenter reads ffmpeg's output straight from
// its pipe where it can, so that no byte of the stream passes through the worker, and is paced by what
// the session allows it. Otherwise the worker moves the output across (WaitForSegment). A run is both
// programs or neither.
void StreamManager::StartPrograms(const TranscodeParams& params, uint32_t index) {
    transcoder_ = transcoders_->CreateTranscode(params, state_);
    if (!transcoder_) return;
    boost::shared_ptr<ISegmenter> made;
    const int output = transcoder_->OutputPipe();
    if (output >= 0) {
        made = segmenters_->CreateSegmenterReading(output, SegmentSeconds, segmentPrefix_, segmenterPlaylist_, urlBase_, index);
    }
    linked_ = bool(made);
    if (linked_) {
        transcoder_->OutputHandedOver();
    } else {
        made = segmenters_->CreateSegmenter(SegmentSeconds, segmentPrefix_, segmenterPlaylist_, urlBase_, index);
    }
    if (!made) {
        transcoder_->BeginStop();
        transcoder_.reset();
        return;
    }
    segmenter_ = made;
    WatchRun();
}

void StreamManager::WatchRun() {
    UnwatchRun();
    for (int fd : {segmenter_->ReportFd(), transcoder_->OutputFd()}) {
        const int id = WatchStreamInput(fd);
        if (id >= 0) runWatches_.push_back(id);
    }
}

void StreamManager::UnwatchRun() {
    for (int id : runWatches_) UnwatchStreamInput(id);
    runWatches_.clear();
}

SegmentWaitResult StreamManager::WaitForSegment(uint32_t index) {
    SegmentWaitResult result = WaitError;
    bool endOfOutput = false;
    if (lastCreatedSegmentIdx_ < index) {
        if (!transcoder_ || !segmenter_) {
            KIV_LOG("Returning ERROR because transcoder or segmenter was NULL");
        } else if (linked_) {
            result = StepLinkedRun(index, endOfOutput);
        } else {
            result = MoveOutput(endOfOutput);
        }
    }
    if (endOfOutput) {
        FinishSegmenter();
        KIV_LOG("Setting segmenter instance to NULL because of EOF");
    }
    if (lastCreatedSegmentIdx_ >= index) return WaitAvailable;
    if (endOfOutput) {
        KIV_LOG("Segmenter is done but we don't see the files we're expecting! (this could mean that transcoder crashed)");
        return WaitError;
    }
    return result;
}

// The segmenter reads the transcoder's output itself: a step lets it go on to the segment asked for and
// counts what it has closed. It reports each file and the transcoder's end wakes the worker, so there is
// nothing to do between those (WaitPending).
SegmentWaitResult StreamManager::StepLinkedRun(uint32_t index, bool& endOfOutput) {
    segmenter_->AllowUpTo(index - firstSegmentIdx_ + 1);
    uint32_t closed = 0;
    std::string why;
    const bool sound = segmenter_->TakeClosed(closed, why);
    CountClosed(closed);
    // Asked after the segmenter: its input ends only after the transcoder has, so a segmenter found ended
    // once the transcoder has ended may simply have cut the whole stream (FinishSegmenter tells).
    if (!transcoder_->IsRunning()) {
        KIV_LOG("Transcoder has exited.");
        endOfOutput = true;
        return WaitError;
    }
    if (!sound) {
        KIV_LOG("Segmenter failed: " + why);
        return WaitError;
    }
    return WaitPending;
}

// One chunk of the transcoder's output moved into the segmenter.
SegmentWaitResult StreamManager::MoveOutput(bool& endOfOutput) {
    SegmentWaitResult result = WaitError;
    const bool running = transcoder_->IsRunning();
    // Straight from pipe to pipe where it can be; read and sent where it cannot.
    const long forwarded = transcoder_->ForwardOutput(segmenter_->InputFd());
    const std::string chunk = forwarded < 0 ? transcoder_->ReadOutput() : std::string();
    if (forwarded >= 0) {
        result = forwarded > 0 && transcoder_->OutputLeft() ? WaitProgress : WaitPending;
    } else if (chunk.empty()) {
        if (running) {
            result = WaitPending;
        } else {
            KIV_LOG("Transcoder has exited.");
            endOfOutput = true;
        }
    } else {
        // Output moved. A pipe this read emptied has nothing more to move until new output
        // comes, which wakes the worker: the step then asks for no pass without pause.
        result = transcoder_->OutputLeft() ? WaitProgress : WaitPending;
        if (segmenter_->Send(chunk.data(), chunk.size()) != MSG_OK) {
            KIV_LOG("Segmenter Send returned something besides MSG_OK!");
            result = WaitError;
        }
    }
    // Looked at on every step, not only after a chunk: the segmenter closes a file a moment
    // after the chunk that ends it went in.
    if (!endOfOutput && !ScanNewSegments()) result = WaitError;
    return result;
}

// A segment is complete when the segmenter says it closed it whole; the file's mere presence proves
// nothing (a full disk leaves a cut file behind). False when the segmenter has failed (logged).
bool StreamManager::ScanNewSegments() {
    uint32_t closed = 0;
    std::string why;
    const bool sound = segmenter_->TakeClosed(closed, why);
    CountClosed(closed);
    if (!sound) KIV_LOG("Segmenter failed: " + why);
    return sound;
}

void StreamManager::CountClosed(uint32_t closedCount) {
    if (closedCount > 0) lastCreatedSegmentIdx_ = firstSegmentIdx_ - 1 + closedCount;
}

// The transcoder's output has ended: the segmenter cuts the rest, closes its last file and ends. Only
// what it reports closed whole counts; a failure (a full disk, say) is logged with its reason.
void StreamManager::FinishSegmenter() {
    UnwatchRun();  // nothing of this run is read any more
    uint32_t closed = 0;
    std::string why;
    if (!segmenter_->Finish(kSegmenterFinishMs, closed, why)) KIV_LOG("Segmenter failed: " + why);
    CountClosed(closed);
    segmenter_.reset();
}

// Both programs are told to end before either is waited for, so a run ends in the time of the slower
// one. Their output is of no further use: a seek empties the folder, and a finished stream has
// delivered its last segment.
void StreamManager::EndRun() {
    UnwatchRun();
    linked_ = false;
    if (segmenter_) segmenter_->BeginStop();
    if (transcoder_) transcoder_->BeginStop();
    segmenter_.reset();
    transcoder_.reset();
}

bool StreamManager::StopAndCleanTemp() {
    EndRun();
    try {
        DeleteFolderFiles();
    } catch (const std::exception& error) {
        KIV_LOG(error.what());
    }
    deliveredSegments_.clear();
    return !HoldsSegmentNames();
}

// Deletes every file of the folder but the marker; folders stay. Throws at the first file that stays.
void StreamManager::DeleteFolderFiles() {
    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    if (!finder) throw std::runtime_error("KivFileFinder instantiation failed, temp directory cannot be cleaned up");
    boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(tempFolder_);
    if (!entry) KIV_LOG("StartFileFind returned empty.  This isn't necessarily an error. (improve me)");
    for (; entry; entry = finder->ContinueFileFind()) {
        if (entry->IsDirectory() || entry->GetName() == kStreamFolderMarker) continue;
        try {
            files_->DeleteFile(tempFolder_ + L"/" + entry->GetName());
        } catch (const std::exception&) {
            throw std::runtime_error("kiv_delete failed");
        }
    }
}

// Whether anything in the folder would pass for a segment file of the next run.
bool StreamManager::HoldsSegmentNames() {
    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    if (!finder) return true;  // cannot tell
    for (boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(tempFolder_); entry; entry = finder->ContinueFileFind()) {
        if (entry->GetName().compare(0, 8, L"segment-") == 0) return true;
    }
    return false;
}

void StreamManager::StopAndRemoveTemp() {
    if (!ownsFolder_) {
        EndRun();
        return;
    }
    StopAndCleanTemp();
    const std::wstring marker = tempFolder_ + L"/" + kStreamFolderMarker;
    kiv_delete(marker);
    if (!kiv_rmdir(kivm::str_conv(tempFolder_))) {
        KIV_LOG("kiv_rmdir failed");
        // Whatever is left can still go with the cache clean-up, which wants the marker.
        if (kiv_file_exists(tempFolder_)) files_->OpenForWrite(marker);
    }
}
