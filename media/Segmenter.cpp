#include "media/Segmenter.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <exception>

#include "kivlib/KivProcess.h"
#include "kivlib/kiv_text.h"

namespace {

// Segmenters are made and destroyed under the registry lock, but the worker reads the count without it.
std::atomic<int32_t> LiveSegmenterCount{0};

// A program whose report has ended is ending: its end is waited for this long at most.
const uint32_t kReportEndedWaitMs = 50;

// What an ended program says of its end: its exit code and its own last words.
std::string EndText(int code, std::string err) {
    while (!err.empty() && (err.back() == '\n' || err.back() == '\r' || err.back() == ' ')) err.pop_back();
    const size_t line = err.rfind('\n');
    if (line != std::string::npos) err.erase(0, line + 1);
    return "the segmenter ended with exit code " + std::to_string(code) + (err.empty() ? std::string() : ": " + err);
}

}  // namespace

int32_t GetLiveSegmenterCount() { return LiveSegmenterCount.load(); }

boost::shared_ptr<ISegmenter> Segmenter::GetInstance(uint32_t segmentSeconds, const std::wstring& prefix,
                                                     const std::wstring& playlist, const std::wstring& urlBase,
                                                     uint32_t firstNumber, int input) {
    Segmenter* segmenter = new Segmenter();
    if (!segmenter->Start(segmentSeconds, prefix, playlist, urlBase, firstNumber, input)) {
        segmenter->Destroy();
        return boost::shared_ptr<ISegmenter>();
    }
    return boost::shared_ptr<ISegmenter>(segmenter, KivDeleter::deleter());
}

Segmenter::Segmenter() { ++LiveSegmenterCount; }

Segmenter::~Segmenter() {
    // A gentle stop closes the input we feed (or, where it reads the transcoder, ends its wait for
    // credits): the program cuts what is still in the pipe and closes its last file.
    if (process_ && !process_->Stop(true, 5000)) process_->Stop(false, 5000);
    EndCredits();
    --LiveSegmenterCount;
}

std::vector<std::string> Segmenter::Arguments(uint32_t segmentSeconds, const std::wstring& prefix,
                                              const std::wstring& playlist, const std::wstring& urlBase,
                                              uint32_t firstNumber) {
    return {"-", numstr::ToStr(segmentSeconds), kivm::str_conv(kivm::standardize_path(prefix)),
            kivm::str_conv(kivm::standardize_path(playlist)), kivm::str_conv(urlBase), numstr::ToStr(firstNumber)};
}

bool Segmenter::Start(uint32_t segmentSeconds, const std::wstring& prefix, const std::wstring& playlist,
                      const std::wstring& urlBase, uint32_t firstNumber, int input) {
    prefix_ = prefix;
    playlist_ = playlist;
    urlBase_ = urlBase;
    process_ = KivProcess::GetInstance();
    if (!process_) return false;
    const std::vector<std::string> arguments = Arguments(segmentSeconds, prefix, playlist, urlBase, firstNumber);
    // Its standard output reports each file closed whole; its standard error says why a run failed.
    if (input < 0) return process_->Start("Segmenter.exe", arguments, true, true, true);

    // Reading straight from the transcoder, it is paced by credits: one byte for each further file, on a
    // socket (a send to a program that has gone raises no SIGPIPE) that it is told of by name.
    int pacing[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pacing) != 0) return false;
    shutdown(pacing[0], SHUT_WR);
    const bool started = process_->GiveChild(0, input) && process_->GiveChild(3, pacing[0]) &&
                         process_->SetChildVariable("CALVORO_SEGMENTER_CREDITS", "3") &&
                         process_->Start("Segmenter.exe", arguments, true, false, true);
    close(pacing[0]);
    if (!started) {
        close(pacing[1]);
        return false;
    }
    credits_ = pacing[1];
    readsTranscoder_ = true;
    return true;
}

void Segmenter::AllowUpTo(uint32_t closedCount) {
    if (credits_ < 0 || closedCount <= creditsGiven_ + 1) return;
    // A few bytes ahead of the program at most: the socket never fills, and a send never waits.
    const std::string credits(closedCount - 1 - creditsGiven_, 'c');
    ssize_t n;
    do n = send(credits_, credits.data(), credits.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n > 0) creditsGiven_ += static_cast<uint32_t>(n);
}

// The program then waits for no file any more.
void Segmenter::EndCredits() {
    if (credits_ < 0) return;
    close(credits_);
    credits_ = -1;
}

uint32_t Segmenter::CountClosedLines(std::string& pending, const std::string& text) {
    pending += text;
    uint32_t count = 0;
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        if (pending.compare(start, 7, "closed ") == 0) ++count;
    }
    pending.erase(0, start);
    return count;
}

bool Segmenter::TakeClosed(uint32_t& closedCount, std::string& why) {
    // The report first: the program's end closes it, so while it is open the program runs, and a look
    // costs the one read. (Its standard error carries only the words of a failed end.)
    closed_ += CountClosedLines(pendingReport_, process_->ReadStdout(false));
    closedCount = closed_;
    if (process_->StdoutFd() >= 0) return true;
    int code = 0;
    const int state = process_->Wait(code, kReportEndedWaitMs);
    closed_ += CountClosedLines(pendingReport_, process_->ReadStdout(state != KivProcess::WAIT_RUNNING));
    closedCount = closed_;
    if (state == KivProcess::WAIT_RUNNING) return true;
    // It reads until its input ends. The input we feed is still open, so any end now is a failure; the
    // transcoder's output may have ended, so a clean end is the stream cut whole (Finish then says so).
    if (readsTranscoder_ && state == KivProcess::WAIT_ENDED && code == 0) return true;
    why = state == KivProcess::WAIT_ENDED ? EndText(code, process_->ReadStderr(true)) : "the segmenter's end could not be read";
    return false;
}

bool Segmenter::Finish(uint32_t ms, uint32_t& closedCount, std::string& why) {
    process_->CloseStdin();
    EndCredits();  // the input has ended: the rest is cut whatever the player has taken
    int code = -1;
    const int state = process_->Wait(code, ms);
    closed_ += CountClosedLines(pendingReport_, process_->ReadStdout(state != KivProcess::WAIT_RUNNING));
    closedCount = closed_;
    if (state == KivProcess::WAIT_RUNNING) {
        why = "the segmenter did not end within " + std::to_string(ms) + " ms";
        return false;
    }
    if (state != KivProcess::WAIT_ENDED) {
        why = "the segmenter's end could not be read";
        return false;
    }
    if (code == 0) return true;
    why = EndText(code, process_->ReadStderr(true));
    return false;
}

int Segmenter::ReportFd() { return process_ ? process_->StdoutFd() : -1; }

int Segmenter::InputFd() { return process_ ? process_->StdinFd() : -1; }

void Segmenter::BeginStop() {
    if (process_) process_->Stop(false, 0);
}

int Segmenter::Send(const void* bytes, size_t length) {
    try {
        process_->WriteStdin(bytes, length);
        return MSG_OK;
    } catch (const std::exception&) {
        return MSG_SEND_FAILED;
    }
}

boost::shared_ptr<ISegmenterFactory> SegmenterFactory::GetInstance() {
    return boost::shared_ptr<ISegmenterFactory>(new SegmenterFactory(), KivDeleter::deleter());
}

boost::shared_ptr<ISegmenter> SegmenterFactory::CreateSegmenter(uint32_t segmentSeconds, const std::wstring& prefix,
                                                                const std::wstring& playlist, const std::wstring& urlBase,
                                                                uint32_t firstNumber) {
    return Segmenter::GetInstance(segmentSeconds, prefix, playlist, urlBase, firstNumber);
}

boost::shared_ptr<ISegmenter> SegmenterFactory::CreateSegmenterReading(int input, uint32_t segmentSeconds,
                                                                       const std::wstring& prefix,
                                                                       const std::wstring& playlist,
                                                                       const std::wstring& urlBase, uint32_t firstNumber) {
    if (input < 0) return boost::shared_ptr<ISegmenter>();
    return Segmenter::GetInstance(segmentSeconds, prefix, playlist, urlBase, firstNumber, input);
}
