// NAT-PMP port mapping at the gateway of the default route, for routers that do not speak UPnP.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t kNatPmpLifetimeSeconds = 7200;
constexpr uint32_t kNatPmpDeadlineMs = 4000;
// Result codes of our own, beside libnatpmp's negative ones and the gateway's positive ones.
constexpr int kNatPmpTimedOut = -1000;
constexpr int kNatPmpWrongReply = -1001;

struct NatPmpResult {
    // False when the request could not even be sent (no gateway, no socket).
    bool sent = false;
    // 0 for a mapping (or a deletion) the gateway confirmed.
    int error = 0;
    uint16_t internalPort = 0;
    uint16_t externalPort = 0;
    uint32_t lifetime = 0;
};

class INatPmp {
public:
    // Asks the gateway to map externalPort to internalPort (TCP) for lifetime seconds; lifetime 0 deletes
    // the mapping. Ports in host order. Waits for the answer, never longer than the deadline.
    virtual NatPmpResult MapTcpPort(uint16_t internalPort, uint16_t externalPort, uint32_t lifetime) = 0;

protected:
    ~INatPmp() = default;
};

// libnatpmp's own retries (doubling from 250 ms) take minutes at a gateway that drops port 5351, so
// every request ends at the deadline.
class NatPmpClient final : public INatPmp {
public:
    explicit NatPmpClient(uint32_t deadlineMs = kNatPmpDeadlineMs) : deadlineMs_(deadlineMs) {}
    NatPmpResult MapTcpPort(uint16_t internalPort, uint16_t externalPort, uint32_t lifetime) override;

private:
    uint32_t deadlineMs_;
};

std::string NatPmpErrorText(int error);
