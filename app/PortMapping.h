// The worker's hold on the router: the HTTP port mapped over UPnP, else over NAT-PMP, kept alive (a UPnP
// mapping is made anew every 24 hours, a NAT-PMP one renewed at half its lifetime) and deleted when it
// is redone, switched off or the server ends. The external port in the state store is the mapped one,
// and 0 while nothing is mapped. Used by the worker's network thread alone.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "network/IUpnpFunctions.h"
#include "network/NatPmp.h"

class State;
class UpnpManager;

constexpr int64_t kUpnpRedoSeconds = 24 * 3600;
// A NAT-PMP renewal that failed is tried again after this long, while the mapping lasts.
constexpr int64_t kNatPmpRetrySeconds = 60;

class PortMapping {
public:
    // upnp: empty for a UpnpFunctionsFactory of the library made for every mapping.
    PortMapping(State* state, INatPmp* natPmp, boost::shared_ptr<IUpnpFunctionsFactory> upnp);
    ~PortMapping();  // releases what is held
    PortMapping(const PortMapping&) = delete;
    PortMapping& operator=(const PortMapping&) = delete;

    // Deletes what is held, then maps the HTTP port over UPnP and, when that fails, over NAT-PMP.
    void Map(int64_t now);
    // Deletes what is held, on the router and at the gateway; the external port goes back to 0.
    void Release();
    bool Holds() const { return upnp_ || natPmpHeld_; }
    // A UPnP mapping that is 24 hours old.
    bool RedoDue(int64_t now) const { return upnp_ && now - upnpMappedAt_ >= kUpnpRedoSeconds; }
    // Renews a NAT-PMP mapping at half its lifetime; forgets it once it has run out unrenewed.
    void KeepNatPmpAlive(int64_t now);

    // What a NAT-PMP answer does: the external port it gave becomes the server's, and the master server
    // is to hear of it.
    void OnNatPmpPortMapped(const NatPmpResult& reply, int64_t now);

private:
    void MapOverNatPmp(int port, int64_t now);
    void ReleaseUpnp();
    void ReleaseNatPmp();

    State* state_;
    INatPmp* natPmp_;
    boost::shared_ptr<IUpnpFunctionsFactory> upnpFactory_;
    boost::shared_ptr<UpnpManager> upnp_;
    int64_t upnpMappedAt_ = 0;
    bool natPmpHeld_ = false;
    uint16_t natPmpInternal_ = 0;
    uint16_t natPmpExternal_ = 0;
    int64_t natPmpRenewAt_ = 0;
    int64_t natPmpExpiresAt_ = 0;
};
