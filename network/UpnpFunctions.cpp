#include "network/UpnpFunctions.h"

#include <miniupnpc/upnpcommands.h>

#include <stdexcept>
#include <string>

#include "core/Log.h"

#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "Upnp"

namespace {

const int kDiscoveryDelayMs = 2000;
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

}  // namespace

int AddPortMappingWithRetries(int internalPort, int externalPort, const std::string& lanAddress,
                              const UpnpAddRequest& request) {
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
    }
}

boost::shared_ptr<IUpnpFunctions> UpnpFunctions::GetInstance() {
    UpnpFunctions* functions = new UpnpFunctions();
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
    int error = 0;
    devices_ = upnpDiscover(kDiscoveryDelayMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    haveDevices_ = devices_ != nullptr;
    if (!haveDevices_) LogAndThrow("No UPNP device could be discovered");
    const int found = UPNP_GetValidIGD(devices_, &urls_, &data_, lanAddress_, sizeof lanAddress_);
    haveUrls_ = found != 0;
    if (found == 0) LogAndThrow("Could not find valid IGD");
    const char* kind = found == 1   ? "Found valid IGD : "
                       : found == 2 ? "Found a (not connected?) IGD : "
                       : found == 3 ? "UPnP device found. Is it an IGD ? : "
                                    : "Found device (igd ?) : ";
    KIV_LOG(std::string(kind) + (urls_.controlURL ? urls_.controlURL : "") + " - " + data_.first.servicetype);
}

int UpnpFunctions::AddPortMapping(int internalPort, int externalPort, bool udp) {
    const std::string internalText = std::to_string(internalPort);
    const char* protocol = Protocol(udp);
    return AddPortMappingWithRetries(internalPort, externalPort, lanAddress_, [&](int external) {
        const std::string externalText = std::to_string(external);
        KIV_LOG(std::string(".......calling UPNP_AddPortMapping on ") + protocol);
        KIV_LOG(std::string(urls_.controlURL ? urls_.controlURL : ""));
        KIV_LOG(std::string(data_.first.servicetype));
        KIV_LOG(externalText);
        KIV_LOG(internalText);
        KIV_LOG(std::string(lanAddress_));
        KIV_LOG(std::string(protocol));
        return UPNP_AddPortMapping(urls_.controlURL, data_.first.servicetype, externalText.c_str(),
                                   internalText.c_str(), lanAddress_, "Calvoro", protocol, nullptr, nullptr);
    });
}

void UpnpFunctions::DeletePortMapping(int externalPort, bool udp) {
    KIV_LOG("Deleting UPnPFunc IPv4 Mapping");
    const std::string externalText = std::to_string(externalPort);
    const int result =
        UPNP_DeletePortMapping(urls_.controlURL, data_.first.servicetype, externalText.c_str(), Protocol(udp), nullptr);
    if (result != 0) LogAndThrow("UPNP_DeletePortMapping() failed with return value : " + std::to_string(result));
}

void UpnpFunctions::Destroy() {
    KIV_LOG("Deleting UPnPFunc Instance");
    delete this;
}

UpnpFunctions::~UpnpFunctions() {
    KIV_LOG("Shutting down UPnPFunc");
    if (haveUrls_) {
        FreeUPNPUrls(&urls_);
        haveUrls_ = false;
    }
    if (haveDevices_) {
        freeUPNPDevlist(devices_);
        devices_ = nullptr;
        haveDevices_ = false;
    }
}

boost::shared_ptr<IUpnpFunctionsFactory> UpnpFunctionsFactory::GetInstance() {
    return boost::shared_ptr<IUpnpFunctionsFactory>(new UpnpFunctionsFactory(), KivDeleter::deleter());
}

boost::shared_ptr<IUpnpFunctions> UpnpFunctionsFactory::Create() { return UpnpFunctions::GetInstance(); }
