#include "media/OfflineTranscode.h"

#include <exception>

#include "core/FileMaker.h"
#include "core/IState.h"
#include "core/Log.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_thread.h"

namespace {

const size_t kFeedBlockBytes = 4096;

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

double Clamped(double percent) {
    if (!(percent > 0)) return 0;  // also a NaN
    return percent > 100 ? 100 : percent;
}

}  // namespace

bool OfflineTranscode::RunsFileToFile(const std::wstring& inputPath) {
    // QuickTime-family files keep their index where ffmpeg must seek for it; fed on standard input, one
    // whose index lies at the end cannot be read ("partial file").
    const std::string name = kivm::str_tolower(kivm::str_conv(inputPath));
    for (const char* extension : {".mp4", ".mov", ".m4v", ".3gp", ".3g2"}) {
        if (EndsWith(name, extension)) return true;
    }
    return false;
}

boost::shared_ptr<IOfflineTranscode> OfflineTranscode::GetInstance(IState* state, ITranscodeFactory* factory,
                                                                   IFileMaker* files) {
    OfflineTranscode* queue = new OfflineTranscode(state, factory, files);
    if (!queue->lock_) {
        queue->Destroy();
        return boost::shared_ptr<IOfflineTranscode>();
    }
    return boost::shared_ptr<IOfflineTranscode>(queue, KivDeleter::deleter());
}

OfflineTranscode::OfflineTranscode(IState* state, ITranscodeFactory* factory, IFileMaker* files)
    : lock_(KivThreadMutex::GetInstance()), state_(state), factory_(factory), files_(files) {}

OfflineTranscode::~OfflineTranscode() {
    // Shutdown: a conversion cut off half way would only be a broken file in the cache folder.
    if (!stdinRun_ && !fileRun_) return;
    const std::wstring output = queue_.front().Params.OutputPath;
    ReleaseRun();
    KIV_LOG("Offline conversion stopped at shutdown; removing its partial output");
    try {
        if (files_->Exists(output)) files_->DeleteFile(output);
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Deletion of failed conversion failed: ") + e.what());
    }
}

bool OfflineTranscode::Enqueue(const std::string& srcVirtualPath, const std::string& dstVirtualPath,
                               const TranscodeParams& params) {
    KivLock guard(*lock_);
    if (queue_.size() >= kMaxJobs) return false;
    queue_.push_back(OfflineJob{params, srcVirtualPath, dstVirtualPath});
    return true;
}

bool OfflineTranscode::Pump() {
    if (stdinRun_) return FeedStdinRun();
    if (fileRun_) return PollFileToFileRun();
    return StartFrontJob();
}

bool OfflineTranscode::FeedStdinRun() {
    char block[kFeedBlockBytes];
    size_t count = 0;
    try {
        count = source_->Read(block, sizeof(block));
    } catch (const std::exception& e) {
        // A source that cannot be read would fail again at every step and never leave the queue.
        KIV_LOG(std::string("Reading the conversion's source failed: ") + e.what());
        ReleaseRun();
        FinishJob(false);
        return false;
    }
    if (count > 0 && !cancel_) {
        try {
            stdinRun_->Write(std::string(block, count));
        } catch (const std::exception& e) {
            KIV_LOG(e.what());
            ReleaseRun();
            FinishJob(false);
            return false;
        }
        if (stdinRun_->IsRunning()) return true;
        // ffmpeg went away before its input ended, without reporting a failure.
        KIV_LOG("ffmpeg ended before the whole source was fed to it");
        ReleaseRun();
        FinishJob(false);
        return false;
    }
    bool succeeded = true;
    try {
        stdinRun_->Finish();
    } catch (const std::exception& e) {
        KIV_LOG(e.what());
        succeeded = false;
    }
    ReleaseRun();
    FinishJob(succeeded);
    return false;
}

bool OfflineTranscode::PollFileToFileRun() {
    fileRun_->Poll();
    if (fileRun_->IsRunning() && !cancel_) return false;
    const bool succeeded = !fileRun_->HasFailed();
    ReleaseRun();
    FinishJob(succeeded);
    return false;
}

bool OfflineTranscode::StartFrontJob() {
    bool failed = false;
    {
        KivLock guard(*lock_);
        if (queue_.empty()) return false;
        OfflineJob& job = queue_.front();
        try {
            // The name clash is settled now, not when the job was queued.
            if (files_->Exists(job.Params.OutputPath)) {
                for (uint64_t n = 1;; ++n) {
                    const std::string suffix = "." + numstr::ToStr(n);
                    const std::wstring candidate = job.Params.OutputPath + kivm::str_conv(suffix);
                    if (files_->Exists(candidate)) continue;
                    job.Params.OutputPath = candidate;
                    job.DstVirtualPath += suffix;
                    break;
                }
            }
            if (RunsFileToFile(job.Params.InputPath)) {
                fileRun_ = factory_->CreateTranscodeFileToFile(job.Params);
                failed = !fileRun_;
            } else {
                stdinRun_ = factory_->CreateTranscodeFromStdin(job.Params);
                if (stdinRun_) source_ = files_->OpenForRead(job.Params.InputPath);
                failed = !stdinRun_ || !source_;
                if (!failed) sourceSize_ = source_->GetSize();
            }
        } catch (const std::exception& e) {
            KIV_LOG(std::string("Starting an offline conversion failed: ") + e.what());
            failed = true;
        }
    }
    if (!failed) return true;
    // A job that cannot run leaves the queue, so it never blocks the ones behind it.
    ReleaseRun();
    FinishJob(false);
    return false;
}

void OfflineTranscode::ReleaseRun() {
    boost::shared_ptr<ITranscodeFromStdin> stdinRun;
    boost::shared_ptr<ITranscodeFileToFile> fileRun;
    boost::shared_ptr<IBlockingStream> source;
    {
        KivLock guard(*lock_);
        stdinRun.swap(stdinRun_);
        fileRun.swap(fileRun_);
        source.swap(source_);
        sourceSize_ = 0;
    }
    // A release waits for ffmpeg to stop: not while a status request waits for the lock.
}

void OfflineTranscode::FinishJob(bool succeeded) {
    OfflineJob job;
    bool cancelled = false;
    {
        KivLock guard(*lock_);
        if (queue_.empty()) return;
        job = queue_.front();
        queue_.pop_front();
        cancelled = cancel_.exchange(false);
    }
    if (succeeded && !cancelled) {
        FinishedConversion done;
        done.FilePath = job.Params.OutputPath;
        done.ClientIdentifier = job.Params.ClientIdentifier;
        done.SrcVirtualPath = job.SrcVirtualPath;
        done.DstVirtualPath = job.DstVirtualPath;
        // An output that cannot be opened is recorded with 0 bytes.
        if (boost::shared_ptr<IBlockingStream> output = files_->OpenForRead(job.Params.OutputPath))
            done.TotalBytes = output->GetSize();
        state_->AddFinishedConversion(done);
        state_->Save();
        KIV_LOG(job.DstVirtualPath + " successfully converted.");
        return;
    }
    if (cancelled) KIV_LOG("Offline conversion was canceled.");
    try {
        files_->DeleteFile(job.Params.OutputPath);
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Deletion of failed conversion failed: ") + e.what());
    }
}

double OfflineTranscode::StdinPercent() {
    if (sourceSize_ == 0) return 0;
    const double written = static_cast<double>(stdinRun_->GetBytesWritten());
    return Clamped(written * 10000.0 / static_cast<double>(sourceSize_) / 100.0);
}

std::list<ConversionStatus> OfflineTranscode::GetConversions() {
    std::list<ConversionStatus> rows;
    {
        KivLock guard(*lock_);
        for (const OfflineJob& job : queue_) {
            ConversionStatus row;
            row.SrcVirtualPath = kivm::FromUTF8ExW(job.SrcVirtualPath);
            row.ClientIdentifier = job.Params.ClientIdentifier;
            if (rows.empty()) {
                row.state = Active;
                if (stdinRun_) {
                    row.elapsedSeconds = stdinRun_->GetElapsedMs() * 0.001;
                    row.percentComplete = StdinPercent();
                } else if (fileRun_) {
                    row.elapsedSeconds = fileRun_->GetElapsedMs() * 0.001;
                    row.percentComplete = Clamped(fileRun_->GetProgress());
                }
            }
            rows.push_back(row);
        }
    }
    for (const FinishedConversion& done : state_->GetFinishedConversions()) {
        ConversionStatus row;
        row.SrcVirtualPath = kivm::FromUTF8ExW(done.SrcVirtualPath);
        row.FilePath = done.FilePath;
        row.ClientIdentifier = done.ClientIdentifier;
        row.DstVirtualPath = done.DstVirtualPath;
        row.state = Finished;
        row.TotalBytes = done.TotalBytes;
        rows.push_back(row);
    }
    return rows;
}

void OfflineTranscode::Cancel(const std::wstring& srcVirtualPath) {
    const std::string wanted = kivm::ToUTF8Ex(srcVirtualPath);
    KivLock guard(*lock_);
    for (auto job = queue_.begin(); job != queue_.end(); ++job) {
        if (job->SrcVirtualPath != wanted) continue;
        if (job == queue_.begin()) {
            cancel_ = true;
        } else {
            queue_.erase(job);
        }
        return;
    }
}
