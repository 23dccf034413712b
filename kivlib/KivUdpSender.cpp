#include "KivUdpSender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "PosixFd.h"

namespace {

class UdpSender : public KivUdpSender {
public:
    UdpSender(kivposix::UniqueFd socket, const sockaddr_in& destination)
        : socket_(std::move(socket)), destination_(destination) {}

    // Never blocks the caller: a datagram that cannot go at once is reported as not sent.
    bool SendPacket(const std::string& packet) override {
        ssize_t n = ::sendto(socket_.get(), packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr*>(&destination_), sizeof(destination_));
        return n >= 0 && static_cast<size_t>(n) == packet.size();
    }

private:
    kivposix::UniqueFd socket_;
    sockaddr_in destination_;
};

}  // namespace

boost::shared_ptr<KivUdpSender> KivUdpSender::GetInstance(uint16_t port, const std::string& address,
                                                          bool broadcast) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &destination.sin_addr) != 1) {
        return boost::shared_ptr<KivUdpSender>();
    }
    // Not connected: a connect would fail on a machine with no route, and the destination is
    // given to every sendto instead.
    kivposix::UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return boost::shared_ptr<KivUdpSender>();
    int on = 1;
    if (broadcast && ::setsockopt(socket.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
        return boost::shared_ptr<KivUdpSender>();
    }
    return boost::shared_ptr<KivUdpSender>(new UdpSender(std::move(socket), destination));
}
