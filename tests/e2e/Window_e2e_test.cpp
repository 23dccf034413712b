// The windowed start of the real server under a private X server: a device announces itself over HTTP,
// the window shows its PIN panel, the PIN typed on the keyboard pairs the device.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "api/HttpTestClient.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"
#include "support/XServer.h"

namespace {

using httptest::Connection;
using httptest::Reply;

std::string AnnounceBody(const std::string& name, const std::string& uniqueId) {
    return "<?xml version=\"1.0\"?><Device><Announce><Name>" + name + "</Name><UniqueID>" + uniqueId +
           "</UniqueID><DeviceType>iphone</DeviceType></Announce></Device>";
}

Reply Announce(int port, const std::string& uniqueId) {
    Connection client(port);
    return client.Request(httptest::Post("/video/announce/", AnnounceBody("Pocket", uniqueId)));
}

// Output of a shell command (the X tools), empty on failure.
std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe)) out += buffer;
    pclose(pipe);
    return out;
}

TEST(WindowE2E, AnAnnounceShowsThePinPanelAndTheTypedPinPairsTheDevice) {
    REQUIRE_ISOLATED_NETWORK();
    testsupport::XServer display;
    ASSERT_TRUE(display.Start());
    testsupport::TempDir home;
    const int port = testsupport::FreePort();
    std::filesystem::create_directories(home.path() + "/Calvoro");
    // No DNS-SD daemon here: the prompt about it is switched off.
    testsupport::WriteFile(home.path() + "/Calvoro/state.xml",
                           "<?xml version=\"1.0\"?>\n<CalvoroState>\n<HttpPort>" + std::to_string(port) +
                               "</HttpPort>\n<UpnpEnabled>0</UpnpEnabled>\n"
                               "<DoNotShowBonjourLink>1</DoNotShowBonjourLink>\n</CalvoroState>\n");
    testsupport::ServerProcess server(home.path());
    server.SetEnvironment("DISPLAY", display.Display());
    ASSERT_TRUE(server.Start({}));
    ASSERT_TRUE(server.WaitForLog("Prepared UI", std::chrono::seconds(30))) << server.LogText();

    // With nothing shared the window is up at once.
    const std::string x = "DISPLAY=" + display.Display() + " ";
    const std::string window = RunCommand(x + "xdotool search --sync --onlyvisible --name 'Calvoro - v1.0.3.3' | head -1");
    ASSERT_FALSE(window.empty());
    const std::string windowId = window.substr(0, window.find('\n'));

    const Reply first = Announce(port, "e2e-device");
    ASSERT_TRUE(first.ok);
    ASSERT_EQ(401, first.status);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(first.body, match, std::regex("<PIN>([0-9]{4})</PIN>"))) << first.body;
    const std::string pin = match[1];

    // Keys go where the pointer is (there is no window manager); the PIN panel has the focus.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(0, system((x + "xdotool mousemove --window " + windowId + " 400 250 sleep 0.2 type --delay 80 " + pin)
                            .c_str()));

    Reply next;
    for (int i = 0; i < 50; ++i) {
        next = Announce(port, "e2e-device");
        if (next.status == 200) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(200, next.status) << next.body;
    EXPECT_NE(std::string::npos, next.body.find("<SessionID>")) << next.body;
    EXPECT_NE(std::string::npos, testsupport::ReadFile(home.path() + "/Calvoro/state.xml").find("e2e-device"));

    // The end of the session ends the windowed server too.
    server.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(server.WaitExit(std::chrono::seconds(30), &status));
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_NE(std::string::npos, server.LogText().find("Application Closing, saving state"));
}

}  // namespace

namespace {

// The real program without a DNS-SD daemon: the prompt comes up over the window; the box ticked and
// Enter pressed stores the choice at once, and the next start shows no prompt.
TEST(WindowE2E, TheDnsSdPromptOnceTickedComesNoMore) {
    REQUIRE_ISOLATED_NETWORK();
    testsupport::XServer display;
    ASSERT_TRUE(display.Start());
    testsupport::TempDir home;
    std::filesystem::create_directories(home.path() + "/Calvoro");
    const std::string stateFile = home.path() + "/Calvoro/state.xml";
    testsupport::WriteFile(stateFile, "<?xml version=\"1.0\"?>\n<CalvoroState>\n<HttpPort>" +
                                          std::to_string(testsupport::FreePort()) +
                                          "</HttpPort>\n<UpnpEnabled>0</UpnpEnabled>\n</CalvoroState>\n");
    const std::string x = "DISPLAY=" + display.Display() + " ";
    const std::string findPrompt = x + "xdotool search --onlyvisible --name '^Calvoro$' | head -1";
    {
        testsupport::ServerProcess server(home.path());
        server.SetEnvironment("DISPLAY", display.Display());
        ASSERT_TRUE(server.Start({}));
        ASSERT_TRUE(server.WaitForLog("Prepared UI", std::chrono::seconds(30))) << server.LogText();
        std::string prompt;
        for (int i = 0; i < 100 && prompt.empty(); ++i) {
            prompt = RunCommand(findPrompt);
            if (prompt.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        ASSERT_FALSE(prompt.empty()) << server.LogText();
        const std::string id = prompt.substr(0, prompt.find('\n'));
        // The focus starts on the box: space ticks it, Enter presses "OK".
        const std::string keys = x + "xdotool windowfocus --sync " + id + " && sleep 0.3 && " + x +
                                 "xdotool key space && sleep 0.3 && " + x + "xdotool key Return";
        ASSERT_EQ(0, system(keys.c_str())) << keys;
        bool stored = false;
        for (int i = 0; i < 100 && !stored; ++i) {
            stored = testsupport::ReadFile(stateFile).find("<DoNotShowBonjourLink>1</DoNotShowBonjourLink>") !=
                     std::string::npos;
            if (!stored) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(stored) << testsupport::ReadFile(stateFile);
        server.Signal(SIGTERM);
        ASSERT_TRUE(server.WaitExit(std::chrono::seconds(30)));
    }
    testsupport::ServerProcess again(home.path());
    again.SetEnvironment("DISPLAY", display.Display());
    ASSERT_TRUE(again.Start({}));
    ASSERT_TRUE(again.WaitForLog("Prepared UI", std::chrono::seconds(30))) << again.LogText();
    const std::string findWindow = x + "xdotool search --sync --onlyvisible --name 'Calvoro - v1.0.3.3' | head -1";
    ASSERT_FALSE(RunCommand(findWindow).empty());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(RunCommand(findPrompt).empty());
    again.Signal(SIGTERM);
    EXPECT_TRUE(again.WaitExit(std::chrono::seconds(30)));
}

}  // namespace
