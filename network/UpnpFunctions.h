// One router on the local network, found by UPnP discovery, that maps ports to this computer. Every
// request of the UPnP library runs in our helper program (network/UpnpRequest.h), so no answer of a
// device can grow the server's memory or hold it past a deadline or its stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "network/IUpnpFunctions.h"

// Deadlines of the router's requests. A discovery waits 2 s for each of the library's four search
// types that nobody answers (8 s with no router), then fetches the description and asks the router's
// state twice; a mapping or a deletion is one request; all attempts of one mapping together.
constexpr uint32_t kUpnpDiscoveryDeadlineMs = 15000;
constexpr uint32_t kUpnpCallDeadlineMs = 5000;
constexpr uint32_t kUpnpMappingDeadlineMs = 20000;
// Results of our own beside the router's codes and the library's negative ones.
constexpr int kUpnpNoAnswer = -1000;  // the request's deadline came first
constexpr int kUpnpStopped = -1001;   // the server is stopping
constexpr int kUpnpNoHelper = -1002;  // the helper program failed

class UpnpFunctions final : public IUpnpFunctions, public KivDeleter {
public:
    // Discovers the router; empty (with the reason logged) when none usable answered. stop (may be
    // null) is the server's: once it is set, discovery and mapping end at once.
    static boost::shared_ptr<IUpnpFunctions> GetInstance(const std::atomic<bool>* stop = nullptr);

    int AddPortMapping(int internalPort, int externalPort, bool udp) override;
    void DeletePortMapping(int externalPort, bool udp) override;
    void Destroy() override;

private:
    explicit UpnpFunctions(const std::atomic<bool>* stop) : stop_(stop) {}
    ~UpnpFunctions();
    void Discover();  // throws std::runtime_error
    bool Stopping() const { return stop_ && *stop_; }

    const std::atomic<bool>* stop_;
    // The router as the helper printed it (escaped, so safe to log and to hand back to it).
    std::string controlUrl_;
    std::string serviceType_;
    std::string lanAddress_;
};

class UpnpFunctionsFactory final : public IUpnpFunctionsFactory, public KivDeleter {
public:
    static boost::shared_ptr<IUpnpFunctionsFactory> GetInstance(const std::atomic<bool>* stop = nullptr);
    boost::shared_ptr<IUpnpFunctions> Create() override;
    void Destroy() override { delete this; }

private:
    explicit UpnpFunctionsFactory(const std::atomic<bool>* stop) : stop_(stop) {}
    ~UpnpFunctionsFactory() = default;
    const std::atomic<bool>* stop_;
};

// One AddPortMapping request to the router: 0 for success, else the router's (or the library's) code.
using UpnpAddRequest = std::function<int(int externalPort)>;

// The retry rule of a mapping: a refusal for invalid arguments (402) or a conflict with another entry
// (718) moves on to the next external port, at most 100 attempts in all and never past 65535; any other
// refusal ends it, and so does stopped (looked at between attempts; may be empty). Returns the mapped
// external port; throws std::runtime_error with the last failure.
int AddPortMappingWithRetries(int internalPort, int externalPort, const std::string& lanAddress,
                              const UpnpAddRequest& request, const std::function<bool()>& stopped = {});
