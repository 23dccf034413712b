#include "app/Worker.h"

#include "app/PortMapping.h"

#include <time.h>

#include <stdexcept>

#include "core/FileMaker.h"
#include "core/IEvents.h"
#include "core/Log.h"
#include "core/State.h"
#include "core/Util.h"
#include "media/IOfflineTranscode.h"
#include "media/StreamRegistry.h"
#include "network/ExternalDataServiceManager.h"
#include "network/UdpBroadcaster.h"

namespace {

const int64_t kTimedStepSeconds = 10;
// The longest sleep: the broadcaster, the timed step and the offline queue are served at that pace.
// Stream work does not wait for it: a request, a delivered segment, a run's output or report, and the
// hang-up of a run's program wake the worker (through its wake signal) the moment they come.
const uint32_t kIdleSleepMs = 250;
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

boost::shared_ptr<Worker> Worker::GetInstance(State* state, IEvents* events, IOfflineTranscode* offline) {
    return GetInstance(state, events, offline, &g_monotonicClock, WorkerNetwork());
}

boost::shared_ptr<Worker> Worker::GetInstance(State* state, IEvents* events, IOfflineTranscode* offline,
                                              IWorkerClock* clock) {
    return GetInstance(state, events, offline, clock, WorkerNetwork());
}

boost::shared_ptr<Worker> Worker::GetInstance(State* state, IEvents* events, IOfflineTranscode* offline,
                                              IWorkerClock* clock, const WorkerNetwork& network) {
    boost::shared_ptr<Worker> worker(new Worker(state, events, offline, clock, network), KivDeleter::deleter());
    if (!worker->Start()) return boost::shared_ptr<Worker>();
    return worker;
}

Worker::Worker(State* state, IEvents* events, IOfflineTranscode* offline, IWorkerClock* clock,
               const WorkerNetwork& network)
    : state_(state),
      events_(events),
      offline_(offline),
      clock_(clock),
      networkClock_(network.clock ? network.clock : &g_monotonicClock) {
    INatPmp* natPmp = network.natPmp;
    if (!natPmp) {
        natPmpClient_.reset(new NatPmpClient(kNatPmpDeadlineMs, &stop_));
        natPmp = natPmpClient_.get();
    }
    // The stop ends the router's requests in progress, so a stop never waits for a router.
    portMapping_.reset(new PortMapping(state_, natPmp, network.upnp, networkClock_, &stop_));
    // A stop ends a master-server contact under way instead of waiting for it.
    connections_.SetStopFlag(&stop_);
}

Worker::~Worker() {
    Stop();
    // Released in this order: the master-server client, the router mapping (its release deletes it),
    // then the broadcaster.
    master_.reset();
    portMapping_.reset();
    broadcasterHolder_.reset();
    broadcaster_ = nullptr;
}

bool Worker::Start() {
    if (!state_ || !events_ || !clock_) return false;
    broadcasterHolder_ = UdpBroadcaster::GetInstance(state_);
    broadcaster_ = broadcasterHolder_.get();
    if (!broadcaster_) return false;
    SetStreamWaker(&wake_);
    if (!kiv_create_thread(thread_, &Worker::WorkerThreadProc, this)) return false;
    return kiv_create_thread(networkThread_, &Worker::NetworkThreadProc, this);
}

void* Worker::WorkerThreadProc(void* worker) {
    static_cast<Worker*>(worker)->Run();
    return nullptr;
}

void Worker::Stop() {
    stop_ = true;
    wake_.Wake();
    networkWake_.Wake();
    kiv_wait_thread(thread_);
    kiv_wait_thread(networkThread_);
    SetStreamWaker(nullptr);
}

void Worker::RequestExternalAccessCheck() {
    contactNow_ = true;
    networkWake_.Wake();
}

void Worker::RedoPortMapping() {
    portMappingDone_ = false;
    networkWake_.Wake();
}

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
        const bool busy = StepServices();
        failedPasses_ = 0;
        sameFailures_ = 0;
        lastFailure_.clear();
        // A session with output to move made this pass busy: the next one comes at once.
        if (!busy) clock_->Sleep(kIdleSleepMs, wake_);
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

bool Worker::StepServices() {
    bool busy = false;
    busy |= broadcaster_->Process();
    busy |= ProcessAllStreams();
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

void* Worker::NetworkThreadProc(void* worker) {
    static_cast<Worker*>(worker)->RunNetwork();
    return nullptr;
}

void Worker::RunNetwork() {
    lastNetworkTick_ = networkClock_->NowSeconds();
    while (!stop_) {
        NetworkPass();
        if (!stop_) networkClock_->Sleep(kNetworkPassMs, networkWake_);
    }
}

void Worker::NetworkPass() {
    try {
        PortMappingStep(networkClock_->NowSeconds());
        // A server that is ending waits for no master-server contact (it can take seconds).
        if (stop_) return;
        if (!externalAccessSetUp_) SetUpExternalAccess();
        // The mapping may have taken seconds: the contact's time is read after it.
        ContactStep(networkClock_->NowSeconds());
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Exception in Worker Loop : ") + e.what());
    }
}

void Worker::PortMappingStep(int64_t now) {
    const bool enabled = state_->GetUpnpEnabled();
    if (!enabled && portMapping_->Holds()) {
        KIV_LOG("Automatic port mapping is off: releasing the router mapping");
        portMapping_->Release();
    }
    // A redo asked for while this one runs is kept for the next pass.
    if (!portMappingDone_.exchange(true)) {
        if (enabled) portMapping_->Map();
        KIV_LOG("upnp setup complete");
        return;
    }
    if (!enabled) return;
    if (portMapping_->RedoDue(now)) portMapping_->Redo();
    portMapping_->KeepNatPmpAlive(now);
}

void Worker::SetUpExternalAccess() {
    KIV_LOG("Setting up External Access Support");
    master_ = ExternalDataServiceManager::GetInstance(state_, &connections_, &services_);
    if (master_) master_->SetStopFlag(&stop_);
    externalAccessSetUp_ = true;
    contactNow_ = true;
}

void Worker::ContactStep(int64_t now) {
    if (now - lastNetworkTick_ <= kTimedStepSeconds) return;
    lastNetworkTick_ = now;
    if (state_->GetCheckExternalAccessFlag()) {
        KIV_LOG("Flagging to check external access due to state flag");
        lastContact_ = now;
        contactNow_ = true;
        state_->SetCheckExternalAccessFlag(false);
    }
    // Taken before the contact: a request that comes while it runs gets a contact of its own.
    if (contactNow_.exchange(false)) {
        KIV_LOG("Checking External Access");
        if (master_) master_->CheckExternalAccess();
        lastContact_ = now;
    }
    if (state_->GetExternalAccess() && now - lastContact_ > kMasterPingSeconds) {
        KIV_LOG("Flagging to check external access due to ping time");
        lastContact_ = now;
        contactNow_ = true;
    }
}
