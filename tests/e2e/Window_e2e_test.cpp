// The windowed start of the real server under a private X server: a device announces itself over HTTP,
// the window shows its PIN panel, the PIN typed on the keyboard pairs the device.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "api/HttpTestClient.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"
#include "support/TrayWindowManager.h"
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

// The first shown window on the display whose name matches the pattern,
// waited for up to a minute; empty when none came (a bounded wait, so a window that never shows fails
// the test instead of holding it). The match is case-sensitive: xdotool's is not, and the tray icon's
// window is named "calvoro".
std::string WaitForWindow(const std::string& x, const std::string& pattern) {
    const std::string command = x + "xdotool search --onlyvisible --name '" + pattern + "'";
    const std::regex name(pattern);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        std::istringstream ids(RunCommand(command));
        std::string id;
        while (std::getline(ids, id)) {
            std::string title = RunCommand(x + "xdotool getwindowname " + id);
            if (!title.empty() && title.back() == '\n') title.pop_back();
            if (std::regex_search(title, name)) return id;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::string();
}

// X, Y, WIDTH and HEIGHT of a window, by xdotool.
std::map<std::string, int> Geometry(const std::string& x, const std::string& id) {
    std::map<std::string, int> values;
    std::istringstream lines(RunCommand(x + "xdotool getwindowgeometry --shell " + id));
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = atoi(line.c_str() + equals + 1);
    }
    return values;
}

// True while the window is mapped and all its parents are (it can be seen).
bool Viewable(const std::string& x, const std::string& id) {
    return RunCommand(x + "xwininfo -id " + id).find("Map State: IsViewable") != std::string::npos;
}

// Polls read (every fifth of a second) until two reads in a row agree on a value that is not empty,
// for up to a minute: a window still being placed, sized or painted reads differently meanwhile. The
// value, or empty when it never held still (only a hang gets there).
template <typename Value>
Value UntilSteady(const std::function<Value()>& read) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    Value last{};
    while (std::chrono::steady_clock::now() < deadline) {
        const Value now = read();
        if (!now.empty() && now == last) return now;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return Value{};
}

using Box = std::map<std::string, int>;

// The window's geometry once it is shown, differs from an earlier one where wanted (changed), and holds
// still; empty when it never did.
Box SteadyGeometry(const std::string& x, const std::string& id,
                   const std::function<bool(const Box&)>& changed = [](const Box&) { return true; }) {
    return UntilSteady<Box>([&] {
        Box box = Geometry(x, id);
        if (box["WIDTH"] <= 0 || !Viewable(x, id) || !changed(box)) box.clear();
        return box;
    });
}

// A digest of the window's pixels (what is painted in it now), empty when it could not be read.
std::string Picture(const std::string& x, const std::string& id) {
    const std::string digest = RunCommand(x + "import -window " + id + " rgb:- 2>/dev/null | md5sum");
    return digest.size() < 32 ? std::string() : digest.substr(0, 32);
}

// The window's pixels once two reads agree: it has been painted and is not being painted anew.
std::string SteadyPicture(const std::string& x, const std::string& id) {
    return UntilSteady<std::string>([&] { return Picture(x, id); });
}

// Writes home/Calvoro/state.xml: the port, UPnP off, and with promptOff the DNS-SD prompt switched off
// (no DNS-SD daemon runs here).
// With sharedFolder, that folder is shared, so the window starts hidden where a tray exists.
void SeedWindowState(const std::string& home, int port, bool promptOff, const std::string& sharedFolder = "") {
    std::filesystem::create_directories(home + "/Calvoro");
    const std::string folders =
        sharedFolder.empty() ? ""
                             : "<VideoFolders><Folder><Path>" + sharedFolder + "</Path><Alias>Movies</Alias></Folder>"
                               "</VideoFolders>\n";
    testsupport::WriteFile(home + "/Calvoro/state.xml",
                           "<?xml version=\"1.0\"?>\n<CalvoroState>\n" + folders + "<HttpPort>" +
                               std::to_string(port) + "</HttpPort>\n<UpnpEnabled>0</UpnpEnabled>\n" +
                               (promptOff ? "<DoNotShowBonjourLink>1</DoNotShowBonjourLink>\n" : "") +
                               "</CalvoroState>\n");
}

TEST(WindowE2E, AnAnnounceShowsThePinPanelAndTheTypedPinPairsTheDevice) {
    REQUIRE_ISOLATED_NETWORK();
    testsupport::XServer display;
    ASSERT_TRUE(display.Start());
    testsupport::TempDir home;
    const int port = testsupport::FreePort();
    SeedWindowState(home.path(), port, true);
    testsupport::ServerProcess server(home.path());
    server.SetEnvironment("DISPLAY", display.Display());
    ASSERT_TRUE(server.Start({}));
    ASSERT_TRUE(server.WaitForLog("Prepared UI", std::chrono::seconds(30))) << server.LogText();

    // With nothing shared the window is up at once.
    const std::string x = "DISPLAY=" + display.Display() + " ";
    const std::string windowId = WaitForWindow(x, "Calvoro - v1.0.3.3");
    ASSERT_FALSE(windowId.empty());
    ASSERT_FALSE(SteadyGeometry(x, windowId).empty());
    const std::string before = SteadyPicture(x, windowId);
    ASSERT_FALSE(before.empty());

    const Reply first = Announce(port, "e2e-device");
    ASSERT_TRUE(first.ok);
    ASSERT_EQ(401, first.status);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(first.body, match, std::regex("<PIN>([0-9]{4})</PIN>"))) << first.body;
    const std::string pin = match[1];

    // The announce brings up the PIN panel, focused, with the device's entry in one go: typing starts
    // once the window shows something new and holds still, so the keys reach the panel.
    std::string shown;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (shown.empty() && std::chrono::steady_clock::now() < deadline) {
        const std::string now = SteadyPicture(x, windowId);
        if (now != before) shown = now;
    }
    ASSERT_FALSE(shown.empty()) << "the window did not change after the announce";
    // There is no window manager: the window gets the X focus here, and its focus event comes before
    // the keys that follow.
    ASSERT_EQ(0, system((x + "timeout 30 xdotool windowfocus --sync " + windowId).c_str()));
    ASSERT_EQ(0, system((x + "xdotool mousemove --window " + windowId + " 400 250 type --delay 80 " + pin).c_str()));

    // The typed PIN pairs the device: its next announce is let in (a minute only a hang reaches).
    Reply next;
    const auto paired = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < paired) {
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
    const std::string stateFile = home.path() + "/Calvoro/state.xml";
    SeedWindowState(home.path(), testsupport::FreePort(), false);
    const std::string x = "DISPLAY=" + display.Display() + " ";
    const std::string findPrompt = x + "xdotool search --onlyvisible --name '^Calvoro$' | head -1";
    {
        testsupport::ServerProcess server(home.path());
        server.SetEnvironment("DISPLAY", display.Display());
        ASSERT_TRUE(server.Start({}));
        ASSERT_TRUE(server.WaitForLog("Prepared UI", std::chrono::seconds(30))) << server.LogText();
        std::string prompt;
        const auto shown = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (prompt.empty() && std::chrono::steady_clock::now() < shown) {
            prompt = RunCommand(findPrompt);
            if (prompt.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        ASSERT_FALSE(prompt.empty()) << server.LogText();
        const std::string id = prompt.substr(0, prompt.find('\n'));
        ASSERT_FALSE(SteadyPicture(x, id).empty());
        // The focus starts on the box: space ticks it, Enter presses "OK".
        const std::string keys = x + "timeout 30 xdotool windowfocus --sync " + id + " && sleep 0.3 && " + x +
                                 "xdotool key space && sleep 0.3 && " + x + "xdotool key Return";
        ASSERT_EQ(0, system(keys.c_str())) << keys;
        bool stored = false;
        const auto saved = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!stored && std::chrono::steady_clock::now() < saved) {
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
    // The prompt would be queued before the start is complete and come up once the window's loop runs:
    // the window painted and still, and a grace after, and still no prompt. (A wait for something not to
    // come: a slow machine can only make this miss a prompt, never fail a right program.)
    ASSERT_TRUE(again.WaitForLog("Bonjour Check Complete", std::chrono::seconds(60))) << again.LogText();
    const std::string window = WaitForWindow(x, "Calvoro - v1.0.3.3");
    ASSERT_FALSE(window.empty());
    ASSERT_FALSE(SteadyPicture(x, window).empty());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(RunCommand(findPrompt).empty());
    again.Signal(SIGTERM);
    EXPECT_TRUE(again.WaitExit(std::chrono::seconds(30)));
}

}  // namespace

namespace {

using testsupport::TrayWindowManager;

// The first visible window of the program that is not among known (xdotool's ids, one a line).
// Waits up to a minute: a program starting on a machine at load 30 can take that long to show a window.
std::string NewWindowOfTheProgram(const std::string& x, const std::string& known) {
    for (int i = 0; i < 600; ++i) {
        const std::string all = RunCommand(x + "xdotool search --onlyvisible --class calvoro");
        size_t start = 0;
        while (start < all.size()) {
            const size_t end = all.find('\n', start);
            const std::string id = all.substr(start, end - start);
            if (!id.empty() && ("\n" + known).find("\n" + id + "\n") == std::string::npos) return id;
            if (end == std::string::npos) break;
            start = end + 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::string();
}

// The real program with a notification area: the close box only hides the window, a right click on the
// icon opens its menu, and "Quit Calvoro" there ends the program cleanly (the icon, which then holds
// the menu's hidden window, goes before the toolkit's clean-up).
TEST(WindowE2E, WithATrayTheIconsMenuQuitsTheProgram) {
    REQUIRE_ISOLATED_NETWORK();
    testsupport::XServer display;
    ASSERT_TRUE(display.Start());
    const std::string x = "DISPLAY=" + display.Display() + " ";
    TrayWindowManager windowManager(display.Display());
    // The tray must own its selection before the program asks whether there is one.
    ASSERT_TRUE(windowManager.WaitUntilReady());

    testsupport::TempDir home;
    SeedWindowState(home.path(), testsupport::FreePort(), true);
    testsupport::ServerProcess server(home.path());
    server.SetEnvironment("DISPLAY", display.Display());
    ASSERT_TRUE(server.Start({}));
    ASSERT_TRUE(server.WaitForLog("Prepared UI", std::chrono::seconds(30))) << server.LogText();
    EXPECT_EQ(std::string::npos, server.LogText().find("No notification area")) << server.LogText();

    // Nothing shared yet: the window is up. Its close box (the window manager's Alt+F4) hides it.
    const std::string windowId = WaitForWindow(x, "Calvoro - v1.0.3.3");
    ASSERT_FALSE(windowId.empty());
    ASSERT_EQ(0, system((x + "xdotool windowactivate " + windowId).c_str()));
    bool active = false;
    for (int i = 0; i < 300 && !active; ++i) {
        active = RunCommand(x + "xdotool getactivewindow") == windowId + "\n";
        if (!active) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(active);
    ASSERT_EQ(0, system((x + "xdotool key alt+F4").c_str()));
    bool hidden = false;
    for (int i = 0; i < 300 && !hidden; ++i) {
        hidden = RunCommand(x + "xdotool search --onlyvisible --name 'Calvoro - v1.0.3.3'").empty();
        if (!hidden) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(hidden);
    ASSERT_TRUE(server.Running());

    // What is left on screen of the program is its icon in the tray.
    const std::string icon = NewWindowOfTheProgram(x, "");
    ASSERT_FALSE(icon.empty());
    std::map<std::string, int> iconBox = Geometry(x, icon);
    ASSERT_LE(iconBox["WIDTH"], 64);
    const std::string rightClick = x + "xdotool mousemove --window " + icon + " " +
                                   std::to_string(iconBox["WIDTH"] / 2) + " " + std::to_string(iconBox["HEIGHT"] / 2) +
                                   " sleep 0.3 click 3";
    ASSERT_EQ(0, system(rightClick.c_str()));
    const std::string menu = NewWindowOfTheProgram(x, icon + "\n");
    ASSERT_FALSE(menu.empty()) << "no menu opened";
    // A menu is placed after it is mapped: the click waits until it holds still.
    std::map<std::string, int> menuBox = SteadyGeometry(x, menu);
    ASSERT_FALSE(menuBox.empty()) << "the menu did not hold still";
    const std::string folder = CALVORO_SCREENSHOT_DIR;
    std::filesystem::create_directories(folder);
    EXPECT_EQ(0, system((x + "import -window root " + folder + "/icon-menu-tray.png").c_str()));

    // "Quit Calvoro" is the menu's last item.
    const std::string chooseQuit = x + "xdotool mousemove " + std::to_string(menuBox["X"] + menuBox["WIDTH"] / 2) +
                                   " " + std::to_string(menuBox["Y"] + menuBox["HEIGHT"] - 14) +
                                   " sleep 0.3 click 1";
    ASSERT_EQ(0, system(chooseQuit.c_str()));
    int status = 0;
    ASSERT_TRUE(server.WaitExit(std::chrono::seconds(30), &status)) << server.LogText();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(std::string::npos, server.LogText().find("Application Closing, saving state"));
}

}  // namespace

namespace {

using namespace std::chrono_literals;

// Where the icon menu's items lie, as pixels above the menu's bottom edge (their middles).
const int kQuitItem = 14;
const int kShowServerItem = 40;
const int kCheckForUpdatesItem = 66;
const int kPreferencesItem = 92;

// The real program in a desktop with a tray, its icon's menu chosen with the pointer as a person does.
class TrayDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        ASSERT_TRUE(display_.Start());
        x_ = "DISPLAY=" + display_.Display() + " ";
        windowManager_ = std::make_unique<TrayWindowManager>(display_.Display());
        ASSERT_TRUE(windowManager_->WaitUntilReady()) << windowManager_->HowItEnded();
    }

    // Starts the program; with a folder shared the window stays hidden in the tray.
    void Start(bool prompt, bool shareFolder = true) {
        std::filesystem::create_directories(media_.path() + "/Movies");
        SeedWindowState(home_.path(), testsupport::FreePort(), !prompt, shareFolder ? media_.path() + "/Movies" : "");
        server_ = std::make_unique<testsupport::ServerProcess>(home_.path());
        server_->SetEnvironment("DISPLAY", display_.Display());
        ASSERT_TRUE(server_->Start({}));
        ASSERT_TRUE(server_->WaitForLog("Bonjour Check Complete", 60s)) << server_->LogText();
        EXPECT_EQ(std::string::npos, server_->LogText().find("No notification area")) << server_->LogText();
    }

    // The program's window in the tray: the first of its windows no larger than an icon.
    std::string Icon() {
        const auto deadline = std::chrono::steady_clock::now() + 1min;
        while (std::chrono::steady_clock::now() < deadline) {
            std::istringstream ids(RunCommand(x_ + "xdotool search --onlyvisible --class calvoro"));
            std::string id;
            while (std::getline(ids, id)) {
                std::map<std::string, int> box = Geometry(x_, id);
                if (box["WIDTH"] > 0 && box["WIDTH"] <= 64 && box["HEIGHT"] <= 64) return id;
            }
            std::this_thread::sleep_for(100ms);
        }
        return std::string();
    }

    // Opens the icon's menu with a right click and clicks the item that lies fromBottom pixels above
    // the menu's bottom edge.
    void ChooseFromIconMenu(int fromBottom) {
        const std::string icon = Icon();
        ASSERT_FALSE(icon.empty());
        std::map<std::string, int> iconBox = Geometry(x_, icon);
        const std::string known = RunCommand(x_ + "xdotool search --onlyvisible --class calvoro");
        const std::string rightClick = x_ + "xdotool mousemove --window " + icon + " " +
                                       std::to_string(iconBox["WIDTH"] / 2) + " " +
                                       std::to_string(iconBox["HEIGHT"] / 2) + " sleep 0.3 click 3";
        ASSERT_EQ(0, system(rightClick.c_str()));
        const std::string menu = NewWindowOfTheProgram(x_, known);
        ASSERT_FALSE(menu.empty()) << "no menu opened";
        // A menu is placed after it is mapped: the click waits until it holds still.
        std::map<std::string, int> menuBox = SteadyGeometry(x_, menu);
        ASSERT_FALSE(menuBox.empty()) << "the menu did not hold still";
        const std::string choose = x_ + "xdotool mousemove " + std::to_string(menuBox["X"] + menuBox["WIDTH"] / 2) +
                                   " " + std::to_string(menuBox["Y"] + menuBox["HEIGHT"] - fromBottom) +
                                   " sleep 0.3 click 1";
        ASSERT_EQ(0, system(choose.c_str()));
    }

    // Quit from the icon's menu ends the program cleanly: it closes (and says so), with status 0. The
    // bound only catches a hang; a quit on a loaded machine may take seconds.
    void QuitFromTheMenuEndsTheProgram() {
        ChooseFromIconMenu(kQuitItem);
        int status = -1;
        ASSERT_TRUE(server_->WaitExit(20s, &status)) << server_->LogText();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_NE(std::string::npos, server_->LogText().find("Application Closing, saving state"));
    }

    void Screenshot(const std::string& name) {
        const std::string folder = CALVORO_SCREENSHOT_DIR;
        std::filesystem::create_directories(folder);
        EXPECT_EQ(0, system((x_ + "import -window root " + folder + "/" + name + ".png").c_str()));
    }

    testsupport::XServer display_;
    std::string x_;
    std::unique_ptr<TrayWindowManager> windowManager_;
    testsupport::TempDir home_;
    testsupport::TempDir media_;
    std::unique_ptr<testsupport::ServerProcess> server_;
};

TEST_F(TrayDesktop, QuitFromTheIconsMenuWhileThePromptIsOpen) {
    Start(true);
    const std::string prompt = WaitForWindow(x_, "^Calvoro$");
    ASSERT_FALSE(prompt.empty()) << server_->LogText();
    ASSERT_FALSE(SteadyPicture(x_, prompt).empty());
    Screenshot("hidden-start-prompt");
    QuitFromTheMenuEndsTheProgram();
}

TEST_F(TrayDesktop, QuitFromTheIconsMenuWhileThePreferencesAreOpen) {
    Start(false);
    ChooseFromIconMenu(kPreferencesItem);
    const std::string preferences = WaitForWindow(x_, "^Calvoro Preferences$");
    ASSERT_FALSE(preferences.empty()) << server_->LogText();
    std::map<std::string, int> placed = SteadyGeometry(x_, preferences);
    ASSERT_FALSE(placed.empty());
    ASSERT_FALSE(SteadyPicture(x_, preferences).empty());
    Screenshot("hidden-start-preferences");
    // Moved aside, the dialog lets the folder list behind it be seen.
    EXPECT_EQ(0, system((x_ + "xdotool windowmove " + preferences + " 770 0").c_str()));
    const Box moved = SteadyGeometry(x_, preferences, [&](const Box& box) {
        return box.at("X") != placed["X"] || box.at("Y") != placed["Y"];
    });
    EXPECT_FALSE(moved.empty()) << "the dialog did not move";
    Screenshot("hidden-start-preferences-and-folders");
    QuitFromTheMenuEndsTheProgram();
}

TEST_F(TrayDesktop, DialogsComeUpTheSameSizeWhetherTheWindowWasShownFirstOrNot) {
    std::map<std::string, int> hiddenPrompt, hiddenPreferences;
    {
        Start(true);
        const std::string prompt = WaitForWindow(x_, "^Calvoro$");
        ASSERT_FALSE(prompt.empty()) << server_->LogText();
        hiddenPrompt = SteadyGeometry(x_, prompt);
        ASSERT_FALSE(hiddenPrompt.empty());
        // Over the prompt, which stays open: quit then ends both.
        ChooseFromIconMenu(kPreferencesItem);
        const std::string preferences = WaitForWindow(x_, "^Calvoro Preferences$");
        ASSERT_FALSE(preferences.empty());
        hiddenPreferences = SteadyGeometry(x_, preferences);
        ASSERT_FALSE(hiddenPreferences.empty());
        QuitFromTheMenuEndsTheProgram();
    }
    // Nothing shared: the window comes up first.
    Start(true, false);
    ASSERT_FALSE(WaitForWindow(x_, "Calvoro - v1.0.3.3").empty());
    const std::string prompt = WaitForWindow(x_, "^Calvoro$");
    ASSERT_FALSE(prompt.empty()) << server_->LogText();
    std::map<std::string, int> shownPrompt = SteadyGeometry(x_, prompt);
    ASSERT_FALSE(shownPrompt.empty());
    EXPECT_EQ(shownPrompt["WIDTH"], hiddenPrompt["WIDTH"]);
    EXPECT_EQ(shownPrompt["HEIGHT"], hiddenPrompt["HEIGHT"]);
    ChooseFromIconMenu(kPreferencesItem);
    const std::string preferences = WaitForWindow(x_, "^Calvoro Preferences$");
    ASSERT_FALSE(preferences.empty());
    std::map<std::string, int> shownPreferences = SteadyGeometry(x_, preferences);
    ASSERT_FALSE(shownPreferences.empty());
    EXPECT_EQ(shownPreferences["WIDTH"], hiddenPreferences["WIDTH"]);
    EXPECT_EQ(shownPreferences["HEIGHT"], hiddenPreferences["HEIGHT"]);
    QuitFromTheMenuEndsTheProgram();
}

TEST_F(TrayDesktop, ShowServerFromTheIconsMenuWhileThePromptIsOpen) {
    Start(true);
    ASSERT_FALSE(WaitForWindow(x_, "^Calvoro$").empty()) << server_->LogText();
    ChooseFromIconMenu(kShowServerItem);
    EXPECT_FALSE(WaitForWindow(x_, "Calvoro - v1.0.3.3").empty());
    // The prompt is still there, and the program still ends from the menu.
    EXPECT_FALSE(WaitForWindow(x_, "^Calvoro$").empty());
    QuitFromTheMenuEndsTheProgram();
}

// "Check For Updates" acts while the prompt is open: its message comes up over it, and a quit then ends
// both and the program.
TEST_F(TrayDesktop, CheckForUpdatesFromTheIconsMenuWhileThePromptIsOpen) {
    Start(true);
    const std::string prompt = WaitForWindow(x_, "^Calvoro$");
    ASSERT_FALSE(prompt.empty()) << server_->LogText();
    ChooseFromIconMenu(kCheckForUpdatesItem);
    std::string message;
    for (int i = 0; i < 600 && message.empty(); ++i) {
        std::istringstream ids(RunCommand(x_ + "xdotool search --onlyvisible --name '^Calvoro$'"));
        std::string id;
        while (std::getline(ids, id) && message.empty()) {
            if (id != prompt && RunCommand(x_ + "xdotool getwindowname " + id) == "Calvoro\n") message = id;
        }
        if (message.empty()) std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(message.empty()) << "no message came";
    ASSERT_FALSE(SteadyGeometry(x_, message).empty());
    ASSERT_FALSE(SteadyPicture(x_, message).empty());
    Screenshot("check-for-updates-over-prompt");
    QuitFromTheMenuEndsTheProgram();
}

// The window manager asked to make the window tiny keeps it at the window's least size: the side bar
// (200 pixels) beside a whole content panel, not a 200 x 100 strip with its content gone.
TEST_F(TrayDesktop, TheWindowDoesNotShrinkBelowItsLeastSize) {
    Start(false, false);
    const std::string window = WaitForWindow(x_, "Calvoro - v1.0.3.3");
    ASSERT_FALSE(window.empty());
    const std::map<std::string, int> before = SteadyGeometry(x_, window);
    ASSERT_FALSE(before.empty());
    ASSERT_EQ(0, system((x_ + "xdotool windowsize " + window + " 200 100").c_str()));
    // The window manager's answer to the request: the window's size once it has changed and holds.
    Box box = SteadyGeometry(x_, window, [&](const Box& now) {
        return now.at("WIDTH") != before.at("WIDTH") || now.at("HEIGHT") != before.at("HEIGHT");
    });
    ASSERT_FALSE(box.empty()) << "the window's size did not change";
    EXPECT_GE(box["WIDTH"], 600);
    EXPECT_GE(box["HEIGHT"], 250);
    Screenshot("least-size-desktop");
    QuitFromTheMenuEndsTheProgram();
}

// A tray that the program cannot put its icon in (here: the icon file is missing): the user is told,
// and the window, the only way in then, comes up.
TEST_F(TrayDesktop, AnIconTheTrayCannotTakeIsToldAndTheWindowShows) {
    testsupport::TempDir programFolder;
    const std::string program = programFolder.path() + "/calvoro";
    std::filesystem::copy_file(testsupport::BinDir() + "/calvoro", program);
    std::filesystem::create_directory_symlink(testsupport::BinDir() + "/images", programFolder.path() + "/images");
    std::filesystem::create_directories(media_.path() + "/Movies");
    SeedWindowState(home_.path(), testsupport::FreePort(), true, media_.path() + "/Movies");
    server_ = std::make_unique<testsupport::ServerProcess>(home_.path());
    server_->SetProgram(program);
    server_->SetEnvironment("DISPLAY", display_.Display());
    ASSERT_TRUE(server_->Start({}));
    const std::string message = WaitForWindow(x_, "^Message$");
    ASSERT_FALSE(message.empty()) << server_->LogText();
    ASSERT_FALSE(SteadyGeometry(x_, message).empty());
    ASSERT_FALSE(SteadyPicture(x_, message).empty());
    Screenshot("icon-refused");
    EXPECT_NE(std::string::npos, server_->LogText().find("Could not set new icon in systray."));
    // No menu bar takes the icon's place where a tray exists; the window shows once the message is read.
    ASSERT_EQ(0, system((x_ + "xdotool windowfocus --sync " + message + " key Return").c_str()));
    EXPECT_FALSE(WaitForWindow(x_, "Calvoro - v1.0.3.3").empty()) << server_->LogText();
    EXPECT_EQ(std::string::npos, server_->LogText().find("No notification area"));
    server_->Signal(SIGTERM);
    EXPECT_TRUE(server_->WaitExit(30s));
}

}  // namespace

namespace {

using namespace std::chrono_literals;

// Opens the window's menu bar (no notification area: the icon's menu is there) with a click on its one
// title and clicks the item that lies fromBottom pixels above the menu's bottom edge.
void ChooseFromMenuBar(const std::string& x, const std::string& window, int fromBottom) {
    const std::string known = RunCommand(x + "xdotool search --onlyvisible --class calvoro");
    ASSERT_EQ(0, system((x + "xdotool mousemove --window " + window + " 20 10 sleep 0.3 click 1").c_str()));
    const std::string menu = NewWindowOfTheProgram(x, known);
    ASSERT_FALSE(menu.empty()) << "no menu opened";
    std::map<std::string, int> menuBox = SteadyGeometry(x, menu);
    ASSERT_FALSE(menuBox.empty()) << "the menu did not hold still";
    const std::string choose = x + "xdotool mousemove " + std::to_string(menuBox["X"] + menuBox["WIDTH"] / 2) + " " +
                               std::to_string(menuBox["Y"] + menuBox["HEIGHT"] - fromBottom) + " sleep 0.3 click 1";
    ASSERT_EQ(0, system(choose.c_str()));
}

// True once no shown window of the display is named by the pattern (waited for up to a minute).
bool WaitUntilGone(const std::string& x, const std::string& pattern) {
    for (int i = 0; i < 600; ++i) {
        if (RunCommand(x + "xdotool search --onlyvisible --name '" + pattern + "'").empty()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

// A bare X server: no window manager, so no close box on any dialog. The preferences, opened from the
// window's menu bar, close by Escape and apply; the menu bar then works again and quits the program.
TEST(WindowE2E, WithoutAWindowManagerEscapeClosesThePreferences) {
    REQUIRE_ISOLATED_NETWORK();
    testsupport::XServer display;
    ASSERT_TRUE(display.Start());
    const std::string x = "DISPLAY=" + display.Display() + " ";
    testsupport::TempDir home;
    SeedWindowState(home.path(), testsupport::FreePort(), true);
    testsupport::ServerProcess server(home.path());
    server.SetEnvironment("DISPLAY", display.Display());
    ASSERT_TRUE(server.Start({}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 60s)) << server.LogText();
    EXPECT_NE(std::string::npos, server.LogText().find("No notification area"));
    const std::string window = WaitForWindow(x, "Calvoro - v1.0.3.3");
    ASSERT_FALSE(window.empty());

    const int preferencesItem = 92, quitItem = 14;
    ChooseFromMenuBar(x, window, preferencesItem);
    const std::string preferences = WaitForWindow(x, "^Calvoro Preferences$");
    ASSERT_FALSE(preferences.empty()) << server.LogText();
    ASSERT_FALSE(SteadyGeometry(x, preferences).empty());
    ASSERT_FALSE(SteadyPicture(x, preferences).empty());
    const std::string folder = CALVORO_SCREENSHOT_DIR;
    std::filesystem::create_directories(folder);
    EXPECT_EQ(0, system((x + "import -window root " + folder + "/bare-preferences.png").c_str()));
    // Nothing moves the keyboard to the dialog but the program: the key goes where the X focus is.
    const std::string stateFile = home.path() + "/Calvoro/state.xml";
    ASSERT_EQ(std::string::npos, testsupport::ReadFile(stateFile).find("<SDCorePercent>"));
    ASSERT_EQ(0, system((x + "xdotool key Escape").c_str()));
    ASSERT_TRUE(WaitUntilGone(x, "^Calvoro Preferences$"));
    // Closing applied them and saved the state file, with every preference.
    EXPECT_NE(std::string::npos, testsupport::ReadFile(stateFile).find("<SDCorePercent>"));

    ChooseFromMenuBar(x, window, quitItem);
    int status = -1;
    ASSERT_TRUE(server.WaitExit(30s, &status)) << server.LogText();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace

namespace {

using namespace std::chrono_literals;

// A socket that holds the port, as another program would.
class PortHolder {
public:
    explicit PortHolder(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        held_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && listen(fd_, 1) == 0;
    }
    ~PortHolder() { close(fd_); }
    bool Held() const { return held_; }

private:
    int fd_;
    bool held_ = false;
};

// The port in use at a windowed start, with a window manager and without: the message is ours, as
// every other error message (its icon, an OK button of its own width, a frame that does not resize),
// centred on the screen; Return closes it and the window comes up.
TEST(WindowE2E, APortInUseIsToldAsEveryOtherError) {
    REQUIRE_ISOLATED_NETWORK();
    for (const bool withWindowManager : {false, true}) {
        SCOPED_TRACE(withWindowManager ? "with a window manager" : "bare X server");
        testsupport::XServer display;
        ASSERT_TRUE(display.Start());
        const std::string x = "DISPLAY=" + display.Display() + " ";
        std::unique_ptr<testsupport::TrayWindowManager> windowManager;
        if (withWindowManager) {
            windowManager = std::make_unique<testsupport::TrayWindowManager>(display.Display());
            ASSERT_TRUE(windowManager->WaitUntilReady());
        }
        testsupport::TempDir home;
        const int port = testsupport::FreePort();
        PortHolder holder(port);
        ASSERT_TRUE(holder.Held());
        SeedWindowState(home.path(), port, true);
        testsupport::ServerProcess server(home.path());
        server.SetEnvironment("DISPLAY", display.Display());
        ASSERT_TRUE(server.Start({}));
        const std::string message = WaitForWindow(x, "^Calvoro Error$");
        ASSERT_FALSE(message.empty()) << server.LogText();
        // Placed and painted before it is measured and shot.
        std::map<std::string, int> box = SteadyGeometry(x, message);
        ASSERT_FALSE(box.empty());
        ASSERT_FALSE(SteadyPicture(x, message).empty());
        const std::string folder = CALVORO_SCREENSHOT_DIR;
        std::filesystem::create_directories(folder);
        const std::string shot = folder + (withWindowManager ? "/port-in-use-desktop.png" : "/port-in-use-bare.png");
        EXPECT_EQ(0, system((x + "import -window root " + shot).c_str()));

        EXPECT_NEAR(640, box["X"] + box["WIDTH"] / 2, 20) << "centred across the 1280-pixel screen";
        EXPECT_NEAR(400, box["Y"] + box["HEIGHT"] / 2, 40) << "centred down the 800-pixel screen";
        // A frame that does not resize: its least and largest sizes are one.
        const std::string hints = RunCommand(x + "xprop -id " + message + " WM_NORMAL_HINTS");
        std::smatch least, largest;
        ASSERT_TRUE(std::regex_search(hints, least, std::regex("minimum size: (\\d+ by \\d+)"))) << hints;
        ASSERT_TRUE(std::regex_search(hints, largest, std::regex("maximum size: (\\d+ by \\d+)"))) << hints;
        EXPECT_EQ(least[1], largest[1]);
        // The message has the keyboard: Return presses OK, and the window (nothing shared) comes up.
        ASSERT_EQ(0, system((x + "xdotool key Return").c_str()));
        EXPECT_FALSE(WaitForWindow(x, "Calvoro - v1.0.3.3").empty()) << server.LogText();
        EXPECT_TRUE(WaitUntilGone(x, "^Calvoro Error$"));
        EXPECT_TRUE(server.Running());
        server.Signal(SIGTERM);
        EXPECT_TRUE(server.WaitExit(30s));
    }
}

}  // namespace
