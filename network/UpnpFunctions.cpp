#include "network/UpnpFunctions.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include "core/Log.h"
#include "network/UpnpRequest.h"

#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "Upnp"

namespace {

using Clock = std::chrono::steady_clock;

const int kMaxAttempts = 100;
const int kHighestPort = 65535;
const int kLowestPort = 1024;
// UPnP IGD errors after which the next external port may succeed.
const int kInvalidArgs = 402;
const int kConflictInMappingEntry = 718;

const char* Protocol(bool udp) { return udp ? "UDP" : "TCP"; }

[[noreturn]] void LogAndThrow(const std::string& text) {
    KIV_LOG(text);
    throw std::runtime_error(text);
}

// The router's code for a mapping or a deletion, or ours when there was none.
int ResultCode(const UpnpReply& reply) {
    switch (reply.outcome) {
    case UpnpReply::Answered: break;
    case UpnpReply::NoAnswer: return kUpnpNoAnswer;
    case UpnpReply::Stopped: return kUpnpStopped;
    case UpnpReply::Failed: return kUpnpNoHelper;
    }
    try {
        return std::stoi(reply.Field("result"));
    } catch (const std::exception&) {
        return kUpnpNoHelper;
    }
}

}  // namespace

int AddPortMappingWithRetries(int internalPort, int externalPort, const std::string& lanAddress,
                              const UpnpAddRequest& request, const std::function<bool()>& stopped) {
    KIV_LOG("Adding UPnPFunc IPv4 Mapping interal port " + std::to_string(internalPort) + " external port " +
            std::to_string(externalPort));
    if (internalPort < kLowestPort || internalPort > kHighestPort) throw std::runtime_error("Invalid Internal Port ");
    if (externalPort < kLowestPort || externalPort > kHighestPort) throw std::runtime_error("Invalid External Port ");
    for (int attempt = 1;; ++attempt, ++externalPort) {
        const int result = request(externalPort);
        const std::string ports =
            " (" + std::to_string(externalPort) + ", " + std::to_string(internalPort) + ", " + lanAddress + ")";
        if (result == 0) {
            KIV_LOG(".......AddPortMapping" + ports + " succeeded!");
            return externalPort;
        }
        const std::string text = ".......AddPortMapping" + ports + " failed with code " + std::to_string(result);
        KIV_LOG(text);
        const bool retryable = result == kInvalidArgs || result == kConflictInMappingEntry;
        // A router told of a port above 65535 maps some other port: never ask for one.
        if (!retryable || attempt >= kMaxAttempts || externalPort >= kHighestPort) throw std::runtime_error(text);
        if (stopped && stopped()) throw std::runtime_error(text + "; no further attempt, the server is stopping");
    }
}

boost::shared_ptr<IUpnpFunctions> UpnpFunctions::GetInstance(const std::atomic<bool>* stop) {
    UpnpFunctions* functions = new UpnpFunctions(stop);
    try {
        functions->Discover();
        KIV_LOG("UPnPFunc Initialised");
        boost::shared_ptr<IUpnpFunctions> result(functions, KivDeleter::deleter());
        KIV_LOG("UPnPFunc SPtr assigned");
        return result;
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Exception getting UPnPFunc instance: ") + e.what());
        functions->Destroy();
        return boost::shared_ptr<IUpnpFunctions>();
    }
}

void UpnpFunctions::Discover() {
    const UpnpReply reply = RunUpnpRequest({"discover"}, kUpnpDiscoveryDeadlineMs, stop_, AtStop::End);
    if (reply.outcome == UpnpReply::Stopped) LogAndThrow("UPnP discovery ended: the server is stopping");
    if (reply.outcome == UpnpReply::NoAnswer) LogAndThrow("No UPNP device answered in time");
    if (reply.outcome == UpnpReply::Failed) LogAndThrow("UPnP discovery failed");
    if (reply.Field("devices") == "0") LogAndThrow("No UPNP device could be discovered");
    const std::string found = reply.Field("igd");
    controlUrl_ = reply.Field("control");
    serviceType_ = reply.Field("service");
    lanAddress_ = reply.Field("lan").substr(0, 15);
    // "-" is the helper's empty text: a router with no control URL cannot be asked anything.
    if (found.empty() || found == "0" || controlUrl_.empty() || controlUrl_ == "-")
        LogAndThrow("Could not find valid IGD");
    const char* kind = found == "1"   ? "Found valid IGD : "
                       : found == "2" ? "Found a (not connected?) IGD : "
                       : found == "3" ? "UPnP device found. Is it an IGD ? : "
                                      : "Found device (igd ?) : ";
    KIV_LOG(std::string(kind) + controlUrl_ + " - " + serviceType_);
}

int UpnpFunctions::AddPortMapping(int internalPort, int externalPort, bool udp) {
    const std::string internalText = std::to_string(internalPort);
    const char* protocol = Protocol(udp);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kUpnpMappingDeadlineMs);
    const auto request = [&](int external) {
        const std::string externalText = std::to_string(external);
        KIV_LOG(std::string(".......calling UPNP_AddPortMapping on ") + protocol);
        KIV_LOG(controlUrl_);
        KIV_LOG(serviceType_);
        KIV_LOG(externalText);
        KIV_LOG(internalText);
        KIV_LOG(lanAddress_);
        KIV_LOG(std::string(protocol));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            KIV_LOG("NOTE: the attempts of this UPnP mapping took " + std::to_string(kUpnpMappingDeadlineMs) +
                    " ms: no further one");
            return kUpnpNoAnswer;
        }
        const uint32_t callMs = static_cast<uint32_t>(std::min<long long>(left, kUpnpCallDeadlineMs));
        return ResultCode(RunUpnpRequest({"add", controlUrl_, serviceType_, externalText, internalText, lanAddress_,
                                          "Calvoro", protocol},
                                         callMs, stop_, AtStop::End));
    };
    return AddPortMappingWithRetries(internalPort, externalPort, lanAddress_, request,
                                     [this] { return Stopping(); });
}

void UpnpFunctions::DeletePortMapping(int externalPort, bool udp) {
    KIV_LOG("Deleting UPnPFunc IPv4 Mapping");
    const std::string externalText = std::to_string(externalPort);
    // At the server's stop the deletion still runs (the router is left clean), briefly.
    const int result = ResultCode(RunUpnpRequest({"delete", controlUrl_, serviceType_, externalText, Protocol(udp)},
                                                 kUpnpCallDeadlineMs, stop_, AtStop::Shorten));
    if (result != 0) LogAndThrow("UPNP_DeletePortMapping() failed with return value : " + std::to_string(result));
}

void UpnpFunctions::Destroy() {
    KIV_LOG("Deleting UPnPFunc Instance");
    delete this;
}

UpnpFunctions::~UpnpFunctions() { KIV_LOG("Shutting down UPnPFunc"); }

boost::shared_ptr<IUpnpFunctionsFactory> UpnpFunctionsFactory::GetInstance(const std::atomic<bool>* stop) {
    return boost::shared_ptr<IUpnpFunctionsFactory>(new UpnpFunctionsFactory(stop), KivDeleter::deleter());
}

boost::shared_ptr<IUpnpFunctions> UpnpFunctionsFactory::Create() { return UpnpFunctions::GetInstance(stop_); }
