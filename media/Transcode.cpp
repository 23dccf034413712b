#include "media/Transcode.h"

#include <exception>
#include <stdexcept>
#include <vector>

#include <boost/regex.hpp>

#include "core/Log.h"
#include "core/Timer.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/KivProcess.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_thread.h"
#include "media/FfmpegMetadataParser.h"

namespace {

// Builds the argument list for mode and starts ffmpeg with the given pipes.
bool StartFfmpeg(KivProcess& process, const TranscodeParams& params, TranscodeMode mode, bool pipeStdout,
                 bool pipeStdin, bool pipeStderr) {
    std::vector<std::wstring> args;
    BuildFfmpegArgs(args, params, mode);
    std::vector<std::string> narrow;
    for (size_t i = 1; i < args.size(); ++i) narrow.push_back(kivm::str_conv(args[i]));
    return process.Start(kivm::str_conv(args[0]), narrow, pipeStdout, pipeStdin, pipeStderr);
}

// A program whose output has ended is ending: its end is waited for this long at most.
const uint32_t kOutputEndedWaitMs = 50;

void StopProcess(KivProcess& process, uint32_t gentleMs) {
    if (!process.Stop(true, gentleMs)) process.Stop(false, 5000);
}

}  // namespace

// --- Transcode ---

boost::shared_ptr<ITranscode> Transcode::GetInstance(const TranscodeParams& params, IState* state) {
    Transcode* transcode = new Transcode(params, state);
    if (!transcode->Start()) {
        transcode->Destroy();
        return boost::shared_ptr<ITranscode>();
    }
    return boost::shared_ptr<ITranscode>(transcode, KivDeleter::deleter());
}

Transcode::Transcode(const TranscodeParams& params, IState* state) : params_(params), state_(state) {
    (void)state_;
    KIV_LOG("TRANSCODE CREATED");
}

bool Transcode::Start() {
    if (params_.InputPath.empty()) {
        KIV_LOG("no video file name specified");
        return false;
    }
    process_ = KivProcess::GetInstance();
    if (!process_) return false;
    running_ = StartFfmpeg(*process_, params_, TranscodeToStdout, true, false, false);
    return running_;
}

Transcode::~Transcode() {
    // Its output goes to our pipe only, and nobody reads it any more: there is nothing ffmpeg could still
    // finish, so it is stopped at once. A gentle stop would let it flush its encoders into the closed pipe
    // for some 50 ms while the caller holds the registry lock, on every seek. Nor is its end waited for
    // here: it writes no file, and a killed ffmpeg takes a while to unmap its libraries and threads,
    // which would delay the next run of a seek.
    if (process_) process_->StopInBackground();
    KIV_LOG("TRANSCODE DESTROYED");
}

void Transcode::BeginStop() {
    if (process_) process_->Stop(false, 0);
}

bool Transcode::IsRunning() {
    if (!running_ || !handedOver_) return running_;
    // No output of ours tells the end: the program is asked, without waiting.
    int code = 0;
    const int state = process_->Wait(code, 0);
    if (state != KivProcess::WAIT_RUNNING) Ended(state, code);
    return running_;
}

void Transcode::Ended(int state, int code) {
    running_ = false;
    if (state == KivProcess::WAIT_ENDED) {
        if (code != 0) {
            KIV_LOG("ffmpeg exited and returned unexpected exit code: " + std::to_string(code));
            failed_ = true;
        }
        return;
    }
    failed_ = true;
    KIV_LOG("Got error checking to see if ffmpeg exited.  This should never happen.");
}

int Transcode::OutputFd() {
    if (!running_ || !process_) return -1;
    return handedOver_ ? process_->EndFd() : process_->StdoutFd();
}

bool Transcode::OutputLeft() { return running_ && !handedOver_ && process_ && !process_->StdoutEmptied(); }

int Transcode::OutputPipe() { return running_ && !handedOver_ && untouched_ && process_ ? process_->StdoutFd() : -1; }

void Transcode::OutputHandedOver() {
    if (!running_ || handedOver_) return;
    handedOver_ = true;
    // The reader has its own copy: ffmpeg's writes fail at once when that reader is gone.
    process_->CloseStdout();
}

long Transcode::ForwardOutput(int target) {
    if (!running_ || handedOver_) return -1;
    untouched_ = false;
    const long moved = process_->SpliceStdoutTo(target);
    // At the end of the output ReadOutput takes over: it sees the program's end and its exit code.
    return moved == 0 && process_->StdoutFd() < 0 ? -1 : moved;
}

std::string Transcode::ReadOutput() {
    if (!running_ || handedOver_) return std::string();
    untouched_ = false;
    // The output first, then the end: ffmpeg's end closes its output, so while the output is open it
    // runs, and a step that moves a chunk costs the one read.
    std::string chunk = process_->ReadStdout(false);
    if (process_->StdoutFd() >= 0) return chunk;
    int code = 0;
    // Its output has ended, so has the program, or it is about to.
    const int state = process_->Wait(code, kOutputEndedWaitMs);
    if (state == KivProcess::WAIT_RUNNING) return chunk;  // asked again at the next step
    Ended(state, code);
    if (state == KivProcess::WAIT_ENDED) return chunk + process_->ReadStdout(true);
    return std::string();
}

// --- TranscodeFromStdin ---

boost::shared_ptr<ITranscodeFromStdin> TranscodeFromStdin::GetInstance(const TranscodeParams& params,
                                                                       boost::shared_ptr<KivProcess> process,
                                                                       boost::shared_ptr<ITimer> timer) {
    TranscodeFromStdin* transcode = new TranscodeFromStdin(params, process, timer);
    if (!transcode->Start()) {
        transcode->Destroy();
        return boost::shared_ptr<ITranscodeFromStdin>();
    }
    return boost::shared_ptr<ITranscodeFromStdin>(transcode, KivDeleter::deleter());
}

TranscodeFromStdin::TranscodeFromStdin(const TranscodeParams& params, boost::shared_ptr<KivProcess> process,
                                       boost::shared_ptr<ITimer> timer)
    : params_(params), process_(process), timer_(timer) {}

bool TranscodeFromStdin::Start() {
    if (!process_) process_ = KivProcess::GetInstance();
    if (!timer_) timer_ = Timer::GetInstance();
    if (!process_ || !timer_) return false;
    bytesWritten_ = 0;
    running_ = StartFfmpeg(*process_, params_, TranscodeFromStdinMode, false, true, false);
    return running_;
}

TranscodeFromStdin::~TranscodeFromStdin() {
    if (!running_) return;
    try {
        Finish();
    } catch (...) {
    }
    StopProcess(*process_, 5000);
}

void TranscodeFromStdin::Write(const std::string& bytes) {
    try {
        process_->WriteStdin(bytes.data(), bytes.size());
        bytesWritten_ += bytes.size();
    } catch (const std::exception& error) {
        KIV_LOG("ffmpeg process seems to have exited prematurely.  This probably indicates an error.");
        KIV_LOG(error.what());
        Finish();
    }
}

uint32_t TranscodeFromStdin::GetElapsedMs() { return timer_->GetElapsedMs(); }

void TranscodeFromStdin::Finish() {
    if (!running_) return;
    process_->CloseStdin();
    int code = -1;
    const int state = process_->Wait(code, 5000);
    if (state == KivProcess::WAIT_RUNNING) {
        failed_ = true;
        throw std::runtime_error("ffmpeg didn't shutdown in a timely manner");
    }
    running_ = false;
    if (state != KivProcess::WAIT_ENDED) {
        failed_ = true;
        throw std::runtime_error("error waiting for ffmpeg to exit");
    }
    if (code != 0) {
        failed_ = true;
        throw std::runtime_error("ffmpeg returned exit code: " + std::to_string(code));
    }
}

// --- TranscodeFileToFile ---

boost::shared_ptr<ITranscodeFileToFile> TranscodeFileToFile::GetInstance(const TranscodeParams& params,
                                                                         boost::shared_ptr<KivProcess> process,
                                                                         boost::shared_ptr<ITimer> timer,
                                                                         boost::shared_ptr<IMetadataFactory> metadata) {
    TranscodeFileToFile* transcode = new TranscodeFileToFile(params, process, timer, metadata);
    if (!transcode->Start()) {
        transcode->Destroy();
        return boost::shared_ptr<ITranscodeFileToFile>();
    }
    return boost::shared_ptr<ITranscodeFileToFile>(transcode, KivDeleter::deleter());
}

TranscodeFileToFile::TranscodeFileToFile(const TranscodeParams& params, boost::shared_ptr<KivProcess> process,
                                         boost::shared_ptr<ITimer> timer, boost::shared_ptr<IMetadataFactory> metadata)
    : params_(params), process_(process), timer_(timer), metadata_(metadata) {}

bool TranscodeFileToFile::Start() {
    if (!process_) process_ = KivProcess::GetInstance();
    if (!timer_) timer_ = Timer::GetInstance();
    if (!metadata_) metadata_ = MetadataFactory::GetInstance();
    if (!process_ || !timer_ || !metadata_) return false;
    boost::shared_ptr<IMetadata> facts = metadata_->GetMetadata(params_.InputPath);
    if (!facts) {
        KIV_LOG("Unable to get metadata from file: " + kivm::str_conv(params_.InputPath));
        return false;
    }
    duration_ = facts->GetDuration();
    logPath_ = params_.OutputPath + kivm::str_conv(numstr::ToStr(refresh_timer())) + L".stderr.txt";
    log_ = KivFileStream::GetInstance(logPath_, OPEN_CREATE);
    if (!log_) {
        KIV_LOG("Unable to create stderr log file: " + kivm::str_conv(logPath_));
        return false;
    }
    running_ = StartFfmpeg(*process_, params_, TranscodeFileToFileMode, false, false, true);
    if (!running_) {
        log_.reset();
        kiv_delete(logPath_);  // a run that never started leaves no log behind
    }
    return running_;
}

TranscodeFileToFile::~TranscodeFileToFile() {
    if (!running_) return;
    KIV_LOG("TranscodeFileToFile destructor is called when process is still running. This is unexpected.");
    StopProcess(*process_, 5000);
    log_.reset();
    kiv_delete(logPath_);  // a cancelled conversion's log is of no further use
}

uint32_t TranscodeFileToFile::GetElapsedMs() { return timer_->GetElapsedMs(); }

bool TranscodeFileToFile::TakeProgress(std::string& buffer, double& seconds) {
    static const boost::regex report("time=(?:(\\d+):(\\d+):)?(\\d+(?:\\.\\d+)?)\\s", boost::regex::perl);
    boost::match_results<std::string::iterator> last;
    bool found = false;
    for (boost::regex_iterator<std::string::iterator> it(buffer.begin(), buffer.end(), report), end; it != end; ++it) {
        last = *it;
        found = true;
    }
    if (!found) return false;
    seconds = numstr::ToDouble(last[3].str());
    if (last[1].matched) seconds += double(numstr::ToUint32(last[1].str())) * 3600 + double(numstr::ToUint32(last[2].str())) * 60;
    buffer.erase(buffer.begin(), last[0].second);
    return true;
}

void TranscodeFileToFile::Poll() {
    int code = 0;
    const int state = process_->Wait(code, 0);
    if (state == KivProcess::WAIT_RUNNING) {
        try {
            const std::string text = process_->ReadStderr(false);
            if (text.empty()) return;
            if (log_) log_->Write(text.data(), text.size());
            stderrBuffer_ += text;
            double seconds = 0;
            if (TakeProgress(stderrBuffer_, seconds) && duration_ > 0) progress_ = seconds * 100.0 / duration_;
        } catch (const std::exception& error) {
            KIV_LOG(std::string("Error reading stderr: ") + error.what());
        }
    } else if (state == KivProcess::WAIT_ENDED) {
        running_ = false;
        if (code != 0) {
            failed_ = true;
            KIV_LOG("Ffmpeg returned exit code " + std::to_string(code) + " which may indicate an error.");
        }
        FinishStderrLog(*process_, log_, logPath_, failed_);
    } else {
        KIV_LOG("Got error waiting for ffmpeg to complete, this should never happen");
    }
}

// --- TranscodeFactory ---

boost::shared_ptr<ITranscodeFactory> TranscodeFactory::GetInstance() {
    return boost::shared_ptr<ITranscodeFactory>(new TranscodeFactory(), KivDeleter::deleter());
}

boost::shared_ptr<ITranscode> TranscodeFactory::CreateTranscode(const TranscodeParams& params, IState* state) {
    return Transcode::GetInstance(params, state);
}

boost::shared_ptr<ITranscodeFromStdin> TranscodeFactory::CreateTranscodeFromStdin(const TranscodeParams& params) {
    return TranscodeFromStdin::GetInstance(params);
}

boost::shared_ptr<ITranscodeFileToFile> TranscodeFactory::CreateTranscodeFileToFile(const TranscodeParams& params) {
    return TranscodeFileToFile::GetInstance(params);
}
