// The server's heartbeat: one background thread that cleans the cache folder, then loops for the life
// of the server, stepping the presence broadcast, the stream sessions and the offline conversion queue,
// and about every ten seconds expiring at most one silent client, whose streams end with it.
// Router port mapping and master-server contacts wait seconds for peers that may not be there, so they
// run on a second thread of the worker's, the network thread, and never hold up a stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "core/Waker.h"
#include "kivlib/kiv_thread.h"
#include "network/ExternalDataConnection.h"
#include "network/ExternalDataService.h"
#include "network/IUpnpFunctions.h"
#include "network/NatPmp.h"

class State;
class IEvents;
class IOfflineTranscode;
class UdpBroadcaster;
class PortMapping;
class ExternalDataServiceManager;

// The worker's view of time: a monotonic clock in whole seconds (a change of the wall clock cannot
// stop the timed steps) and its sleep, which the worker's own wake signal may cut short.
class IWorkerClock {
public:
    virtual int64_t NowSeconds() = 0;
    virtual void Sleep(uint32_t ms, WakeSignal& wake) = 0;

protected:
    ~IWorkerClock() = default;
};

// What the network thread works with; each empty part is the real one.
struct WorkerNetwork {
    IWorkerClock* clock = nullptr;                     // the monotonic clock
    boost::shared_ptr<IUpnpFunctionsFactory> upnp;    // the UPnP library, a router discovered per mapping
    INatPmp* natPmp = nullptr;                         // libnatpmp at the default route's gateway
};

class Worker final : public KivDeleter {
public:
    // Starts the worker's threads; empty when it cannot start (no broadcaster, no thread).
    static boost::shared_ptr<Worker> GetInstance(State* state, IEvents* events, IOfflineTranscode* offline);
    // The same with a clock of the caller's (tests).
    static boost::shared_ptr<Worker> GetInstance(State* state, IEvents* events, IOfflineTranscode* offline,
                                                 IWorkerClock* clock);
    static boost::shared_ptr<Worker> GetInstance(State* state, IEvents* events, IOfflineTranscode* offline,
                                                 IWorkerClock* clock, const WorkerNetwork& network);

    // Sets the stop flag and waits for both threads; the worker thread cleans the cache folder on its way
    // out. A master-server contact in progress ends at the flag (within 100 ms), and so do the router's
    // discovery and mapping; a deletion of the mapping gets at most 1 s more.
    void Stop();
    // The preferences ask for a master-server contact at the next timed step of the network thread.
    void RequestExternalAccessCheck();
    // The preferences switched automatic port mapping back on: map again on the next network pass.
    void RedoPortMapping();

    void Destroy() override { delete this; }

    // One pass of the loop (the thread's own; exposed so tests can drive passes one by one).
    void Pass();

private:
    Worker(State* state, IEvents* events, IOfflineTranscode* offline, IWorkerClock* clock,
           const WorkerNetwork& network);
    ~Worker();
    bool Start();
    void Run();
    void TimedStep(int64_t now);
    bool StepServices();
    void PassFailed(const std::string& what);
    static void* WorkerThreadProc(void* worker);

    // The network thread: port mapping, its upkeep and its switch-off, then the master-server contacts.
    static void* NetworkThreadProc(void* worker);
    void RunNetwork();
    void NetworkPass();
    void PortMappingStep(int64_t now);
    void SetUpExternalAccess();
    void ContactStep(int64_t now);

    State* state_;
    IEvents* events_;
    kiv_thread_handle thread_ = nullptr;
    boost::shared_ptr<UdpBroadcaster> broadcasterHolder_;
    UdpBroadcaster* broadcaster_ = nullptr;
    std::atomic<bool> portMappingDone_{false};
    std::unique_ptr<NatPmpClient> natPmpClient_;
    std::unique_ptr<PortMapping> portMapping_;
    std::atomic<bool> stop_{false};
    // A stop, or stream work (through the stream registry: a segment requested or delivered, a run's
    // watched pipes), ends the worker's sleep early.
    WakeSignal wake_;
    IOfflineTranscode* offline_;
    boost::shared_ptr<ExternalDataServiceManager> master_;
    bool externalAccessSetUp_ = false;
    std::atomic<bool> contactNow_{false};
    ExternalDataServiceFactory services_;
    ExternalDataConnectionFactory connections_;
    // Network thread's times (seconds of the network clock): the last master-server contact or contact
    // decision, and its last timed step.
    int64_t lastContact_ = 0;
    int64_t lastNetworkTick_ = 0;
    IWorkerClock* clock_;
    int64_t lastTick_ = 0;
    // Consecutive passes that failed (for the back-off), and how often the same failure came in a row
    // (so a failure that keeps coming back does not fill the disk with log lines).
    uint32_t failedPasses_ = 0;
    uint32_t sameFailures_ = 0;
    std::string lastFailure_;

    kiv_thread_handle networkThread_ = nullptr;
    IWorkerClock* networkClock_;
    // A stop or a request of the preferences ends the network thread's wait.
    WakeSignal networkWake_;
};

// How long the network thread waits between its passes when nothing wakes it.
constexpr uint32_t kNetworkPassMs = 1000;
// While external access is on, the master server hears from the server at least this often.
constexpr int64_t kMasterPingSeconds = 3600;

// Sleeps after a pass that failed: none for a first failure, then doubling from 250 ms up to 5 s.
uint32_t WorkerBackOffMs(uint32_t consecutiveFailures);
