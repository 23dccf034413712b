// The server's heartbeat: one background thread that cleans the cache folder, then loops for the life
// of the server, stepping the presence broadcast, the stream sessions and the offline conversion queue,
// and about every ten seconds expiring at most one silent client, whose streams end with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "core/Waker.h"
#include "kivlib/kiv_thread.h"

class IState;
class IEvents;
class IOfflineTranscode;
class UdpBroadcaster;

// The worker's view of time: a monotonic clock in whole seconds (a change of the wall clock cannot
// stop the timed steps) and its sleep, which the worker's own wake signal may cut short.
class IWorkerClock {
public:
    virtual int64_t NowSeconds() = 0;
    virtual void Sleep(uint32_t ms, WakeSignal& wake) = 0;

protected:
    ~IWorkerClock() = default;
};

class Worker final : public KivDeleter {
public:
    // Starts the worker thread; empty when it cannot start (no broadcaster, no thread).
    static boost::shared_ptr<Worker> GetInstance(IState* state, IEvents* events, IOfflineTranscode* offline);
    // The same with a clock of the caller's (tests).
    static boost::shared_ptr<Worker> GetInstance(IState* state, IEvents* events, IOfflineTranscode* offline,
                                                 IWorkerClock* clock);

    // Sets the stop flag and waits for the thread, which cleans the cache folder on its way out.
    void Stop();
    // The preferences ask for a master-server contact at the next timed step.
    void RequestExternalAccessCheck();
    // The preferences switched automatic port mapping back on: map again on the next pass.
    void RedoPortMapping();

    void Destroy() override { delete this; }

    // One pass of the loop (the thread's own; exposed so tests can drive passes one by one).
    void Pass();

private:
    Worker(IState* state, IEvents* events, IOfflineTranscode* offline, IWorkerClock* clock);
    ~Worker();
    bool Start();
    void Run();
    void TimedStep(int64_t now);
    bool StepServices(std::vector<kivposix::UniqueFd>& streamFds);
    void PassFailed(const std::string& what);
    static void* WorkerThreadProc(void* worker);

    IState* state_;
    IEvents* events_;
    kiv_thread_handle thread_ = nullptr;
    boost::shared_ptr<UdpBroadcaster> broadcasterHolder_;
    UdpBroadcaster* broadcaster_ = nullptr;
    std::atomic<bool> portMappingDone_{false};
    std::atomic<bool> stop_{false};
    // A segment request (through the stream registry) or a stop ends the worker's sleep early.
    WakeSignal wake_;
    IOfflineTranscode* offline_;
    std::atomic<bool> contactNow_{false};
    IWorkerClock* clock_;
    int64_t lastTick_ = 0;
    // Consecutive passes that failed (for the back-off), and how often the same failure came in a row
    // (so a failure that keeps coming back does not fill the disk with log lines).
    uint32_t failedPasses_ = 0;
    uint32_t sameFailures_ = 0;
    std::string lastFailure_;
};

// Sleeps after a pass that failed: none for a first failure, then doubling from 250 ms up to 5 s.
uint32_t WorkerBackOffMs(uint32_t consecutiveFailures);
