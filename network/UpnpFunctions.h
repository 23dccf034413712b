// One router on the local network, found by UPnP discovery, that maps ports to this computer.
#pragma once

#include <functional>
#include <string>

#include <boost/shared_ptr.hpp>
#include <miniupnpc/miniupnpc.h>

#include "core/KivDeleter.h"
#include "network/IUpnpFunctions.h"

class UpnpFunctions final : public IUpnpFunctions, public KivDeleter {
public:
    // Discovers the router; empty (with the reason logged) when none usable answered.
    static boost::shared_ptr<IUpnpFunctions> GetInstance();

    int AddPortMapping(int internalPort, int externalPort, bool udp) override;
    void DeletePortMapping(int externalPort, bool udp) override;
    void Destroy() override;

private:
    UpnpFunctions() = default;
    ~UpnpFunctions();
    void Discover();  // throws std::runtime_error

    UPNPDev* devices_ = nullptr;
    bool haveDevices_ = false;
    UPNPUrls urls_{};
    bool haveUrls_ = false;
    IGDdatas data_{};
    char lanAddress_[16] = {0};
};

class UpnpFunctionsFactory final : public IUpnpFunctionsFactory, public KivDeleter {
public:
    static boost::shared_ptr<IUpnpFunctionsFactory> GetInstance();
    boost::shared_ptr<IUpnpFunctions> Create() override;
    void Destroy() override { delete this; }

private:
    UpnpFunctionsFactory() = default;
    ~UpnpFunctionsFactory() = default;
};

// One AddPortMapping request to the router: 0 for success, else the router's (or the library's) code.
using UpnpAddRequest = std::function<int(int externalPort)>;

// The retry rule of a mapping: a refusal for invalid arguments (402) or a conflict with another entry
// (718) moves on to the next external port, at most 100 attempts in all and never past 65535; any other
// refusal ends it. Returns the mapped external port; throws std::runtime_error with the last failure.
int AddPortMappingWithRetries(int internalPort, int externalPort, const std::string& lanAddress,
                              const UpnpAddRequest& request);
