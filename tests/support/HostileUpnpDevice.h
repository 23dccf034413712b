// A UPnP router that misbehaves, for the router tests: it answers discovery (SSDP on 192.168.77.1, the
// router's address of TestRouter) and serves its description and SOAP replies on port 5555 the way a
// hostile device on the home network could. It lives in the router's namespace, in place of miniupnpd.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestRouter.h"

namespace routertest {

enum class Hostility {
    EndlessChunkedDescription,  // the description is an endless chunked body, sent as fast as it goes
    HugeDescription,            // "Content-Length: 400000000", and the bytes to go with it
    DrippedDescription,         // a good description, one byte every 20 ms
    DrippedSoap,                // a good description; AddPortMapping answered 718, one byte every 20 ms
    DrippedDeletion,            // a good description, AddPortMapping granted at once; DeletePortMapping
                                // answered one byte every 20 ms
};

const char* HostilityName(Hostility how);

class HostileUpnpDevice {
public:
    HostileUpnpDevice(const Namespace& router, Hostility how);
    ~HostileUpnpDevice();
    HostileUpnpDevice(const HostileUpnpDevice&) = delete;
    HostileUpnpDevice& operator=(const HostileUpnpDevice&) = delete;

    bool Listening() const { return ssdp_ >= 0 && http_ >= 0; }
    // Waits until the hostile answer has begun (the description, or the AddPortMapping or
    // DeletePortMapping reply, is being sent).
    bool WaitForHostility(std::chrono::milliseconds timeout) const;
    // SOAP actions asked for, in order ("GetStatusInfo", "AddPortMapping", ...).
    std::vector<std::string> Actions();

    // What an endless or huge answer sends at most: enough to show a client that keeps it all, little
    // enough not to take a machine's memory when one does.
    static constexpr uint64_t kFloodCapBytes = 512ull << 20;

private:
    void AnswerDiscovery();
    void Accept();
    void Serve(int connection);
    void SendDescription(int connection);
    void SendSoap(int connection, const std::string& action);
    bool Drip(int connection, const std::string& bytes);
    void Flood(int connection, bool chunked);

    const Hostility how_;
    int ssdp_ = -1;
    int http_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hostile_{false};
    std::mutex lock_;
    std::vector<std::string> actions_;
    std::thread discovery_;
    std::thread acceptor_;
    std::vector<std::thread> connections_;  // touched by the accepting thread alone until it is joined
};

// Resident memory of pid and all its descendants, in KiB (0 when pid is gone).
long ResidentKiBWithChildren(int pid);

}  // namespace routertest
