#include "app/PortMapping.h"

#include "app/Worker.h"

#include <algorithm>
#include <string>

#include "core/Log.h"
#include "core/State.h"
#include "network/UpnpFunctions.h"
#include "network/UpnpManager.h"

#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "Worker"

namespace {

// A grant of no port, or of a lifetime of 0 (which is how a deletion is confirmed), maps nothing.
bool Granted(const NatPmpResult& reply) {
    return reply.sent && reply.error == 0 && reply.externalPort != 0 && reply.lifetime != 0;
}

// Why a reply maps nothing, in the log's words.
std::string NoGrantText(const NatPmpResult& reply) {
    if (reply.error != 0) return NatPmpErrorText(reply.error);
    if (reply.externalPort == 0) return "the gateway granted external port 0";
    return "the gateway granted a lifetime of 0 seconds, which ends a mapping";
}

}  // namespace

PortMapping::PortMapping(State* state, INatPmp* natPmp, boost::shared_ptr<IUpnpFunctionsFactory> upnp,
                         IWorkerClock* clock, const std::atomic<bool>* stop)
    : state_(state), natPmp_(natPmp), upnpFactory_(upnp), clock_(clock), stop_(stop) {}

PortMapping::~PortMapping() { Release(); }

void PortMapping::Map() { MapAnew(false); }

void PortMapping::Redo() {
    KIV_LOG(upnp_ ? "The UPNP mapping is a day old: mapping anew" : "Trying the daily UPNP mapping again");
    MapAnew(true);
}

void PortMapping::MapAnew(bool keepWithoutRouter) {
    KIV_LOG("Attemping port map via UPNP");
    boost::shared_ptr<IUpnpFunctionsFactory> factory =
        upnpFactory_ ? upnpFactory_ : UpnpFunctionsFactory::GetInstance(stop_);
    const int port = static_cast<int>(state_->GetHttpPort());
    // The router is looked for first: a mapping held is not given up for a router that does not answer.
    boost::shared_ptr<IUpnpFunctions> router = factory->Create();
    if (Stopping()) return;
    if (!router && keepWithoutRouter && upnp_) {
        KIV_LOG("NOTE: no UPNP router answered: the mapping of external port " + std::to_string(upnp_->GetExternalPort()) +
                " stays, and is redone in " + std::to_string(kUpnpRedoRetrySeconds) + " seconds");
        redoAt_ = clock_->NowSeconds() + kUpnpRedoRetrySeconds;
        return;
    }
    // What an earlier pass mapped goes first, so a new mapping of the same port stays in place.
    Release();
    upnp_ = UpnpManager::GetInstance(router, port, port, false);
    KIV_LOG("UPNPManager Instantiated");
    if (upnp_) {
        KIV_LOG("Sucessfully mapped external port " + std::to_string(upnp_->GetExternalPort()) + " to internal port " +
                std::to_string(port) + " via UPNP");
        redoAt_ = clock_->NowSeconds() + kUpnpRedoSeconds;
        state_->SetExternalPort(upnp_->GetExternalPort());
        state_->SetCheckExternalAccessFlag(true);
        return;
    }
    KIV_LOG("NOTE: Could not map external port via UPNP");
    if (!Stopping()) MapOverNatPmp(port);
    // A NAT-PMP mapping keeps itself alive; with none, the daily redo comes back.
    if (keepWithoutRouter && !Holds()) {
        KIV_LOG("The daily UPNP mapping is tried again in " + std::to_string(kUpnpRedoRetrySeconds) + " seconds");
        redoAt_ = clock_->NowSeconds() + kUpnpRedoRetrySeconds;
    }
}

void PortMapping::MapOverNatPmp(int port) {
    KIV_LOG("Attempting port map via NATPMP");
    const uint16_t ports = static_cast<uint16_t>(port);
    const NatPmpResult reply = natPmp_->MapTcpPort(ports, ports, kNatPmpLifetimeSeconds);
    if (!reply.sent) {
        KIV_LOG("WARNING: Could not register external portmap via NATPMP (" + NatPmpErrorText(reply.error) + ")");
        return;
    }
    KIV_LOG("Attempted port map via NATPMP...");
    OnNatPmpPortMapped(reply, clock_->NowSeconds());
}

void PortMapping::OnNatPmpPortMapped(const NatPmpResult& reply, int64_t arrival) {
    if (!Granted(reply)) {
        KIV_LOG("WARNING: Could not map external port via NATPMP (" + NoGrantText(reply) + ")");
        return;
    }
    KIV_LOG("Sucessfully mapped external port " + std::to_string(reply.externalPort) + " to internal port " +
            std::to_string(reply.internalPort) + " via NATPMP");
    // A renewal that keeps the external port tells the master server nothing new.
    const bool news = !natPmpHeld_ || natPmpExternal_ != reply.externalPort;
    natPmpHeld_ = true;
    natPmpLapsed_ = false;
    natPmpInternal_ = reply.internalPort;
    natPmpExternal_ = reply.externalPort;
    // At the next whole second at the soonest: a lifetime of 1 s is renewed once a second, not at every pass.
    natPmpRenewAt_ = arrival + std::max<int64_t>(1, reply.lifetime / 2);
    natPmpExpiresAt_ = arrival + reply.lifetime;
    if (!news) return;
    state_->SetExternalPort(reply.externalPort);
    state_->SetCheckExternalAccessFlag(true);
}

void PortMapping::KeepNatPmpAlive(int64_t now) {
    if (natPmpLapsed_) {
        if (now >= natPmpRenewAt_) RemapLapsedNatPmp();
        return;
    }
    if (!natPmpHeld_ || now < natPmpRenewAt_) return;
    // Asked for even when the pass comes after the expiry (a lifetime shorter than the pass interval,
    // a pass held up): only a renewal that failed lets the mapping run out.
    KIV_LOG("Renewing the NATPMP mapping of external port " + std::to_string(natPmpExternal_));
    const NatPmpResult reply = natPmp_->MapTcpPort(natPmpInternal_, natPmpExternal_, kNatPmpLifetimeSeconds);
    const int64_t arrival = clock_->NowSeconds();
    if (Granted(reply)) {
        OnNatPmpPortMapped(reply, arrival);
        return;
    }
    if (reply.error == kNatPmpStopped) return;
    KIV_LOG("WARNING: Could not renew the NATPMP mapping (" + NoGrantText(reply) + ")");
    natPmpRenewAt_ = arrival + kNatPmpRetrySeconds;
    if (arrival < natPmpExpiresAt_) return;
    KIV_LOG("WARNING: the NATPMP mapping of external port " + std::to_string(natPmpExternal_) +
            " ran out without renewal; it is asked for again in " + std::to_string(kNatPmpRetrySeconds) + " seconds");
    // Nothing is left at the gateway to delete, and no port that is not mapped may be announced.
    natPmpHeld_ = false;
    natPmpLapsed_ = true;
    state_->SetExternalPort(0);
}

void PortMapping::RemapLapsedNatPmp() {
    KIV_LOG("Attempting port map via NATPMP again");
    const NatPmpResult reply = natPmp_->MapTcpPort(natPmpInternal_, natPmpExternal_, kNatPmpLifetimeSeconds);
    const int64_t arrival = clock_->NowSeconds();
    if (Granted(reply)) {
        OnNatPmpPortMapped(reply, arrival);
        return;
    }
    if (reply.error == kNatPmpStopped) return;
    KIV_LOG("WARNING: Could not map external port via NATPMP (" + NoGrantText(reply) + ")");
    natPmpRenewAt_ = arrival + kNatPmpRetrySeconds;
}

void PortMapping::Release() {
    const bool held = Holds();
    redoAt_ = 0;
    ReleaseUpnp();
    ReleaseNatPmp();
    // No port that is no longer mapped may be announced.
    if (held) state_->SetExternalPort(0);
}

void PortMapping::ReleaseUpnp() {
    upnp_.reset();  // deletes the mapping on the router; a refusal is logged there
}

void PortMapping::ReleaseNatPmp() {
    natPmpLapsed_ = false;
    if (!natPmpHeld_) return;
    natPmpHeld_ = false;
    const NatPmpResult reply = natPmp_->MapTcpPort(natPmpInternal_, natPmpExternal_, 0);
    if (reply.sent && reply.error == 0)
        KIV_LOG("Deleted the NATPMP mapping of external port " + std::to_string(natPmpExternal_));
    else
        KIV_LOG("WARNING: Could not delete the NATPMP mapping of external port " + std::to_string(natPmpExternal_) +
                " (" + NatPmpErrorText(reply.error) + ")");
}
