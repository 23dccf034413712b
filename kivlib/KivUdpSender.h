// A UDP sender to one destination.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

class KivUdpSender {
public:
    // address: dotted IPv4. broadcast: the socket may send to broadcast addresses. The socket is not
    // connected, so a machine with no route still gets a sender; empty only when no socket can be made
    // or the address is not dotted IPv4.
    static boost::shared_ptr<KivUdpSender> GetInstance(uint16_t port, const std::string& address, bool broadcast);
    virtual ~KivUdpSender() = default;
    // One datagram; false when it could not be sent.
    virtual bool SendPacket(const std::string& packet) = 0;
};
