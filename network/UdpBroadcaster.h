// The presence broadcast: a small XML text naming the computer and the HTTP port, sent to UDP port
// 4756 on the local network every five seconds, so client applications find the server.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "kivlib/KivUdpSender.h"

class IState;

constexpr uint16_t kPresencePort = 4756;
constexpr uint32_t kPresenceIntervalMs = 5000;

class UdpBroadcaster final : public KivDeleter {
public:
    // Empty when the set-up fails (no host name, no UDP sender).
    static boost::shared_ptr<UdpBroadcaster> GetInstance(IState* state);
    // The same with a destination of the caller's choosing in place of the broadcast address.
    static boost::shared_ptr<UdpBroadcaster> GetInstance(IState* state, const std::string& destination);

    // Sends the packet when it is due; never counts as work for the worker.
    bool Process();
    void Destroy() override { delete this; }

    const std::string& GetPacket() const { return packet_; }
    const std::string& GetDestination() const { return destination_; }

private:
    UdpBroadcaster() = default;
    ~UdpBroadcaster() = default;
    bool Init(IState* state, const std::string& destination);

    boost::shared_ptr<KivUdpSender> senderHolder_;
    KivUdpSender* sender_ = nullptr;
    std::string hostName_;
    uint32_t httpPort_ = 0;
    std::string packet_;
    std::string destination_;
    uint32_t lastSend_ = 0;
    bool sentOnce_ = false;
};

// The payload: four lines naming the host (escaped for XML) and the port.
std::string BuildPresencePacket(const std::string& hostName, uint32_t httpPort);
// The broadcast address of an interface, or the limited broadcast address when it has none.
std::string BroadcastAddressOrLimited(const std::string& interfaceBroadcast);
