#include "network/UdpBroadcaster.h"

#include <unistd.h>

#include "core/IState.h"
#include "core/Log.h"
#include "core/XmlText.h"
#include "kivlib/kiv_thread.h"
#include "platform/SystemFacts.h"

namespace {

const char* const kLimitedBroadcast = "255.255.255.255";

// The computer's name; a name that fills the buffer is cut and still terminated.
bool ReadHostName(std::string& name) {
    char buffer[320];
    if (gethostname(buffer, sizeof(buffer)) != 0) return false;
    buffer[sizeof(buffer) - 1] = '\0';
    name = buffer;
    return true;
}

}  // namespace

std::string BuildPresencePacket(const std::string& hostName, uint32_t httpPort) {
    return "<Calvoro>\n<ServerName>" + EscapeXmlText(hostName) + "</ServerName>\n<HttpPort>" +
           std::to_string(httpPort) + "</HttpPort>\n</Calvoro>\n";
}

std::string BroadcastAddressOrLimited(const std::string& interfaceBroadcast) {
    if (interfaceBroadcast.empty() || interfaceBroadcast == "0.0.0.0") return kLimitedBroadcast;
    return interfaceBroadcast;
}

boost::shared_ptr<UdpBroadcaster> UdpBroadcaster::GetInstance(IState* state) {
    return GetInstance(state, std::string());
}

boost::shared_ptr<UdpBroadcaster> UdpBroadcaster::GetInstance(IState* state, const std::string& destination) {
    boost::shared_ptr<UdpBroadcaster> broadcaster(new UdpBroadcaster(), KivDeleter::deleter());
    if (!state || !broadcaster->Init(state, destination)) return boost::shared_ptr<UdpBroadcaster>();
    return broadcaster;
}

bool UdpBroadcaster::Init(IState* state, const std::string& destination) {
    if (!ReadHostName(hostName_)) {
        KIV_LOG("gethostname failed");
        return false;
    }
    KIV_LOG("UdpBroadcaster: Hostname " + hostName_);
    httpPort_ = state->GetHttpPort();

    KIV_LOG("Determining Broadcast");
    destination_ = destination;
    if (destination_.empty()) {
        sysfacts::InterfaceInfo primary;
        destination_ = BroadcastAddressOrLimited(sysfacts::ReadPrimaryInterface(primary) ? primary.broadcast : "");
    }
    KIV_LOG("UdpBroadcaster: Init " + destination_ + ":" + std::to_string(kPresencePort));

    senderHolder_ = KivUdpSender::GetInstance(kPresencePort, destination_, true);
    sender_ = senderHolder_.get();
    if (!sender_) return false;
    packet_ = BuildPresencePacket(hostName_, httpPort_);
    return true;
}

bool UdpBroadcaster::Process() {
    // The first pass sends at once; after that one packet per interval.
    if (!sentOnce_ || get_elapsed_ms(lastSend_) > kPresenceIntervalMs) {
        if (!sender_->SendPacket(packet_)) KIV_LOG("Failed to send UDP broadcast packet");
        lastSend_ = refresh_timer();
        sentOnce_ = true;
    }
    return false;
}
