// NAT-PMP port mapping at the gateway of the default route, for routers that do not speak UPnP.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

constexpr uint32_t kNatPmpLifetimeSeconds = 7200;
constexpr uint32_t kNatPmpDeadlineMs = 4000;
// Result codes of our own, beside libnatpmp's negative ones and the gateway's positive ones.
constexpr int kNatPmpTimedOut = -1000;
constexpr int kNatPmpWrongReply = -1001;
constexpr int kNatPmpOtherPort = -1002;  // only answers for another private port came
constexpr int kNatPmpStopped = -1003;    // the server is stopping
// Once the server stops, a deletion waits at most this much more (a mapping request ends at once).
constexpr uint32_t kNatPmpStopGraceMs = 1000;

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
    // the mapping. Ports in host order. Waits for the answer, never longer than the deadline; a result
    // without error is the gateway's answer for internalPort.
    virtual NatPmpResult MapTcpPort(uint16_t internalPort, uint16_t externalPort, uint32_t lifetime) = 0;

protected:
    ~INatPmp() = default;
};

// libnatpmp's own retries (doubling from 250 ms) take minutes at a gateway that drops port 5351, so
// every request ends at the deadline, with resends on the same doubling schedule. The library sends;
// every datagram is read here, one by one, so none can be taken for the answer by mistake: what is no
// answer to the request (too short, another version or opcode, a grant or a refusal for another private
// port) is passed over and the wait goes on.
class NatPmpClient final : public INatPmp {
public:
    // stop (may be null) is the server's: once set, a mapping request ends at once.
    explicit NatPmpClient(uint32_t deadlineMs = kNatPmpDeadlineMs, const std::atomic<bool>* stop = nullptr)
        : deadlineMs_(deadlineMs), stop_(stop) {}
    NatPmpResult MapTcpPort(uint16_t internalPort, uint16_t externalPort, uint32_t lifetime) override;

private:
    uint32_t deadlineMs_;
    const std::atomic<bool>* stop_;
};

std::string NatPmpErrorText(int error);
