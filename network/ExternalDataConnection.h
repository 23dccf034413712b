// The master server's address and the connection to it that each contact opens.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "kivlib/kiv_client.h"

// The master server's host name, built in; CALVORO_MASTER_HOST=host[:port] stands in its place.
extern const char* const kDefaultMasterHost;
constexpr uint16_t kMasterPort = 80;
constexpr uint32_t kMasterConnectTimeoutMs = 5000;

struct MasterServerAddress {
    std::string host;  // empty: an override that does not parse, so nothing is contacted
    uint16_t port = kMasterPort;
    // The Host header: the name, with ":port" when it is not the HTTP default.
    std::string HostHeader() const;
};

// The address to use now: the override when the environment sets one, else the built-in host.
MasterServerAddress GetMasterServerAddress();
// "host", "host:port" or "[v6]:port"; false (host empty) for anything else.
bool ParseMasterServerAddress(const std::string& text, MasterServerAddress& address);

class IExternalDataConnectionFactory {
public:
    // A connection to the master server; empty when it could not be made.
    virtual boost::shared_ptr<INonblockingStream> OpenConnection() = 0;

protected:
    ~IExternalDataConnectionFactory() = default;
};

class ExternalDataConnectionFactory : public IExternalDataConnectionFactory {
public:
    // Connects within 5000 ms (the name lookup included), and waits 5000 ms more for a pending one.
    boost::shared_ptr<INonblockingStream> OpenConnection() override;
    // A set flag ends a connection wait within 100 ms (no connection then). Not owned; null for none.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

private:
    const std::atomic<bool>* stop_ = nullptr;
};
