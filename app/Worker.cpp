#include "app/Worker.h"

#include <time.h>

#include <stdexcept>

#include "core/FileMaker.h"
#include "core/IEvents.h"
#include "core/Log.h"
#include "core/State.h"
#include "core/Util.h"
#include "media/IOfflineTranscode.h"
#include "media/ISegmenter.h"
#include "media/StreamRegistry.h"
#include "network/UdpBroadcaster.h"

namespace {

const int64_t kTimedStepSeconds = 10;
const uint32_t kIdleSleepMs = 250;
const uint32_t kStreamingSleepMs = 1;
// After this many failures in a row, only every hundredth one is logged.
const uint32_t kFailuresLoggedInFull = 10;

class MonotonicClock : public IWorkerClock {
public:
    int64_t NowSeconds() override {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<int64_t>(now.tv_sec);
    }
    void Sleep(uint32_t ms, WakeSignal& wake) override { wake.Wait(ms); }
};

MonotonicClock g_monotonicClock;

}  // namespace

uint32_t WorkerBackOffMs(uint32_t consecutiveFailures) {
    if (consecutiveFailures <= 1) return 0;
    uint32_t ms = kIdleSleepMs;
    for (uint32_t i = 2; i < consecutiveFailures && ms < 5000; ++i) ms *= 2;
    return ms < 5000 ? ms : 5000;
}

boost::shared_ptr<Worker> Worker::GetInstance(IState* state, IEvents* events, IOfflineTranscode* offline) {
    return GetInstance(state, events, offline, &g_monotonicClock);
}

boost::shared_ptr<Worker> Worker::GetInstance(IState* state, IEvents* events, IOfflineTranscode* offline,
                                              IWorkerClock* clock) {
    boost::shared_ptr<Worker> worker(new Worker(state, events, offline, clock), KivDeleter::deleter());
    if (!worker->Start()) return boost::shared_ptr<Worker>();
    return worker;
}

Worker::Worker(IState* state, IEvents* events, IOfflineTranscode* offline, IWorkerClock* clock)
    : state_(state), events_(events), offline_(offline), clock_(clock) {}

Worker::~Worker() {
    Stop();
    broadcasterHolder_.reset();
    broadcaster_ = nullptr;
}

bool Worker::Start() {
    if (!state_ || !events_ || !clock_) return false;
    broadcasterHolder_ = UdpBroadcaster::GetInstance(state_);
    broadcaster_ = broadcasterHolder_.get();
    if (!broadcaster_) return false;
    SetStreamWaker(&wake_);
    return kiv_create_thread(thread_, &Worker::WorkerThreadProc, this);
}

void* Worker::WorkerThreadProc(void* worker) {
    static_cast<Worker*>(worker)->Run();
    return nullptr;
}

void Worker::Stop() {
    stop_ = true;
    wake_.Wake();
    kiv_wait_thread(thread_);
    SetStreamWaker(nullptr);
}

void Worker::RequestExternalAccessCheck() { contactNow_ = true; }

void Worker::RedoPortMapping() { portMappingDone_ = false; }

void Worker::Run() {
    KivFileFinderFactory finderFactory;
    boost::shared_ptr<IFileMaker> fileMaker = FileMaker::GetInstance();
    // Stream folders left by an earlier run go before the first pass, and this run's after the last.
    CleanCacheFolder(state_, &finderFactory, fileMaker.get());
    lastTick_ = clock_->NowSeconds();
    while (!stop_) Pass();
    CleanCacheFolder(state_, &finderFactory, fileMaker.get());
}

void Worker::Pass() {
    try {
        const int64_t now = clock_->NowSeconds();
        if (now - lastTick_ > kTimedStepSeconds) TimedStep(now);
        std::vector<kivposix::UniqueFd> streamFds;
        const bool busy = StepServices(streamFds);
        failedPasses_ = 0;
        sameFailures_ = 0;
        lastFailure_.clear();
        if (!busy) {
            // A segmenter's report of a closed file, or new transcoder output, ends the sleep at once.
            wake_.WatchAlso(std::move(streamFds));
            clock_->Sleep(GetLiveSegmenterCount() > 0 ? kStreamingSleepMs : kIdleSleepMs, wake_);
        }
    } catch (const std::exception& e) {
        PassFailed(e.what());
    } catch (...) {
        PassFailed("an exception of unknown type");
    }
}

void Worker::TimedStep(int64_t now) {
    lastTick_ = now;
    const uint64_t silent = events_->CheckClientTimeouts();
    // A device that fell silent is gone: its streams end now, with their transcoder and segmenter,
    // instead of holding them until some device plays again.
    if (silent != 0 && RemoveStreamsOfSession(silent) != 0) KIV_LOG("NOTE: the streams of a silent client ended");
}

bool Worker::StepServices(std::vector<kivposix::UniqueFd>& streamFds) {
    bool busy = false;
    busy |= broadcaster_->Process();
    busy |= ProcessAllStreams(&streamFds);
    // The offline queue only gets passes in which no stream did work.
    if (!busy && offline_) busy = offline_->Pump();
    return busy;
}

void Worker::PassFailed(const std::string& what) {
    ++failedPasses_;
    sameFailures_ = (what == lastFailure_) ? sameFailures_ + 1 : 1;
    lastFailure_ = what;
    if (sameFailures_ <= kFailuresLoggedInFull || sameFailures_ % 100 == 0) {
        std::string line = "Exception in Worker Loop : " + what;
        if (sameFailures_ > 1) line += " (" + std::to_string(sameFailures_) + " times in a row)";
        KIV_LOG(line);
    }
    // A first failure starts the next pass at once; one that keeps coming back must not spin.
    const uint32_t backOff = WorkerBackOffMs(failedPasses_);
    if (backOff) clock_->Sleep(backOff, wake_);
}
