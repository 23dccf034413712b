// Starting the real server for an end-to-end test and pairing the device that its state.xml authorises.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "api/HttpTestClient.h"
#include "support/ServerProcess.h"

namespace e2etest {

// Starts calvoro -s and waits until its HTTP listener accepts connections on port.
inline bool StartServing(testsupport::ServerProcess& process, int port) {
    if (!process.Start({"-s"})) return false;
    if (!process.WaitForLog("Started HTTP Listener", std::chrono::seconds(20))) return false;
    for (int i = 0; i < 100; ++i) {
        httptest::Connection probe(port);
        if (probe.Connected()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The session id (hexadecimal) that an announce of the authorised device uniqueId gets; empty on failure.
inline std::string PairedSession(int port, const std::string& uniqueId) {
    httptest::Connection client(port);
    const httptest::Reply reply = client.Request(httptest::Post(
        "/video/announce/", "<Device><Announce><Name>Pad</Name><UniqueID>" + uniqueId + "</UniqueID></Announce></Device>"));
    const size_t at = reply.body.find("<SessionID>");
    if (reply.status != 200 || at == std::string::npos) return std::string();
    return reply.body.substr(at + 11, reply.body.find('<', at + 11) - at - 11);
}

}  // namespace e2etest
