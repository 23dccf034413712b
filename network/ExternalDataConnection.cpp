#include "network/ExternalDataConnection.h"

#include <cstdlib>

#include "core/Log.h"

#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "ExternalDataService"

const char* const kDefaultMasterHost = "master.calvoro.net";

std::string MasterServerAddress::HostHeader() const {
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return port == kMasterPort ? name : name + ":" + std::to_string(port);
}

bool ParseMasterServerAddress(const std::string& text, MasterServerAddress& address) {
    address = MasterServerAddress();
    std::string host = text;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            port = rest.substr(1);
            if (port.empty()) return false;
        }
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string::npos) {
            if (text.find(':', colon + 1) != std::string::npos) return false;
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty()) return false;
        }
    }
    if (host.empty() || host.find_first_of(" \t\r\n/?#@[]") != std::string::npos) return false;
    uint16_t number = kMasterPort;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
        const unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
        if (value == 0 || value > 65535) return false;
        number = static_cast<uint16_t>(value);
    }
    address.host = host;
    address.port = number;
    return true;
}

MasterServerAddress GetMasterServerAddress() {
    MasterServerAddress address;
    const char* override = std::getenv("CALVORO_MASTER_HOST");
    if (!override || !*override) {
        address.host = kDefaultMasterHost;
        return address;
    }
    // An override that does not parse contacts nothing (a test must never reach the real host).
    if (!ParseMasterServerAddress(override, address)) KIV_LOG("WARNING: CALVORO_MASTER_HOST is not host[:port]");
    return address;
}

boost::shared_ptr<INonblockingStream> ExternalDataConnectionFactory::OpenConnection() {
    const MasterServerAddress address = GetMasterServerAddress();
    if (address.host.empty()) return boost::shared_ptr<INonblockingStream>();
    kiv_client client;
    client.set_stop_flag(stop_);
    net_result result = client.connect_to_host(address.host, address.port, kMasterConnectTimeoutMs);
    if (result == NET_WOULDBLOCK) result = client.wait_connect(kMasterConnectTimeoutMs);
    if (result != NET_OK) {
        KIV_LOG("Cannot connect to " + address.HostHeader() + ": " + client.get_last_error());
        return boost::shared_ptr<INonblockingStream>();
    }
    return client.get_stream();
}
