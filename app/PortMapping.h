// The worker's hold on the router: the HTTP port mapped over UPnP, else over NAT-PMP, kept alive (a UPnP
// mapping is made anew every 24 hours, a NAT-PMP one renewed at half its lifetime) and deleted when it
// is redone, switched off or the server ends. The external port in the state store is the mapped one,
// and 0 while nothing is mapped. Used by the worker's network thread alone.
#pragma once

#include <atomic>
#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "network/IUpnpFunctions.h"
#include "network/NatPmp.h"

class State;
class UpnpManager;
class IWorkerClock;

constexpr int64_t kUpnpRedoSeconds = 24 * 3600;
// A daily redo that found no router (the mapping held stays) or mapped nothing is tried again after
// this long.
constexpr int64_t kUpnpRedoRetrySeconds = 600;
// A NAT-PMP renewal that failed is tried again after this long, while the mapping lasts.
constexpr int64_t kNatPmpRetrySeconds = 60;

class PortMapping {
public:
    // upnp: empty for a UpnpFunctionsFactory of the library made for every mapping. clock: the network
    // thread's, read when an answer has come. stop (may be null): the worker's; once set, nothing new is
    // asked for and the router's requests in progress end.
    PortMapping(State* state, INatPmp* natPmp, boost::shared_ptr<IUpnpFunctionsFactory> upnp, IWorkerClock* clock,
                const std::atomic<bool>* stop = nullptr);
    ~PortMapping();  // releases what is held
    PortMapping(const PortMapping&) = delete;
    PortMapping& operator=(const PortMapping&) = delete;

    // Looks for the router, deletes what is held, then maps the HTTP port over UPnP and, when that fails,
    // over NAT-PMP (the first mapping, and the redo the preferences ask for).
    void Map();
    // The daily redo: as Map, but what is held stays unless a router answered the discovery; a redo that
    // leaves only the old mapping, or none, is tried again after kUpnpRedoRetrySeconds.
    void Redo();
    // Deletes what is held, on the router and at the gateway; the external port goes back to 0.
    void Release();
    bool Holds() const { return upnp_ || natPmpHeld_; }
    // A UPnP mapping that is 24 hours old, or a failed redo's next attempt.
    bool RedoDue(int64_t now) const { return redoAt_ != 0 && now >= redoAt_; }
    // Renews a NAT-PMP mapping at half its lifetime, and a failed renewal every kNatPmpRetrySeconds; one
    // that fails after the expiry lets the mapping run out (the external port goes back to 0), and it
    // is asked for anew every kNatPmpRetrySeconds until the gateway grants it again.
    void KeepNatPmpAlive(int64_t now);

    // What a NAT-PMP answer does: the external port it gave becomes the server's, and the master server
    // is to hear of it. arrival: when the answer came; the renewal and the expiry count from it.
    void OnNatPmpPortMapped(const NatPmpResult& reply, int64_t arrival);

private:
    void MapAnew(bool keepWithoutRouter);
    void MapOverNatPmp(int port);
    void ReleaseUpnp();
    void ReleaseNatPmp();
    void RemapLapsedNatPmp();
    bool Stopping() const { return stop_ && *stop_; }

    State* state_;
    INatPmp* natPmp_;
    boost::shared_ptr<IUpnpFunctionsFactory> upnpFactory_;
    IWorkerClock* clock_;
    const std::atomic<bool>* stop_;
    boost::shared_ptr<UpnpManager> upnp_;
    // When the next UPnP redo is due; 0 for none.
    int64_t redoAt_ = 0;
    bool natPmpHeld_ = false;
    // The mapping ran out unrenewed and is asked for anew at natPmpRenewAt_ (nothing is held meanwhile).
    bool natPmpLapsed_ = false;
    uint16_t natPmpInternal_ = 0;
    uint16_t natPmpExternal_ = 0;
    int64_t natPmpRenewAt_ = 0;
    int64_t natPmpExpiresAt_ = 0;
};
