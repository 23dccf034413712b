// Seeding state.xml, starting the real server for an end-to-end test and pairing the device it authorises.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/HttpTestClient.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

namespace e2etest {

// A shared folder as state.xml lists it; alias is XML text (escaped where it needs to be).
struct SharedFolder {
    std::string path;
    std::string alias;
};

// Writes home/Calvoro/state.xml: the shared folders, one authorised device, the HTTP port and UPnP off,
// and a finished conversion for each name in finished (a file of the default cache folder's "offline"
// folder, which the test puts there).
inline void SeedState(const std::string& home, const std::vector<SharedFolder>& folders, const std::string& authorisedId,
                      int port, const std::vector<std::string>& finished = {}) {
    std::string xml = "<?xml version=\"1.0\"?>\n<CalvoroState>\n<VideoFolders>\n";
    for (const SharedFolder& folder : folders)
        xml += "<Folder><Path>" + folder.path + "</Path><Alias>" + folder.alias + "</Alias></Folder>\n";
    xml += "</VideoFolders>\n<Authorized><UniqueID>" + authorisedId + "</UniqueID></Authorized>\n<FinishedConv>\n";
    for (const std::string& name : finished)
        xml += "<Entry><DstVirtualPath>/video/cache/offline/" + name + "</DstVirtualPath><SrcVirtualPath>" + name +
               "</SrcVirtualPath><FilePath>" + home + "/Calvoro/cache/offline/" + name +
               "</FilePath><ClientIdentifier>e2e</ClientIdentifier></Entry>\n";
    xml += "</FinishedConv>\n";
    xml += "<HttpPort>" + std::to_string(port) + "</HttpPort>\n<UpnpEnabled>0</UpnpEnabled>\n</CalvoroState>\n";
    std::filesystem::create_directories(home + "/Calvoro");
    testsupport::WriteFile(home + "/Calvoro/state.xml", xml);
}

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

// A fixture whose tests share one server, started by the first test and stopped after the last. ServerT
// has Start() and a process.
template <class ServerT>
class SharedServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        if (!shared_) {
            shared_ = new ServerT;
            ASSERT_TRUE(shared_->Start()) << shared_->process->LogText();
            FirstStarted(*shared_);
            if (HasFatalFailure()) return;
        }
        server = shared_;
        ASSERT_TRUE(server->process->Running());
    }
    static void TearDownTestSuite() {
        delete shared_;
        shared_ = nullptr;
    }
    // Runs once, just after the shared server started; an ASSERT here fails the test that started it.
    virtual void FirstStarted(ServerT&) {}

    ServerT* server = nullptr;

private:
    static inline ServerT* shared_ = nullptr;
};

}  // namespace e2etest
