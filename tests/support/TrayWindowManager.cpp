#include "support/TrayWindowManager.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <X11/Xlib.h>

namespace testsupport {

namespace {

// True once some client owns the screen's tray selection: a program that looks for a tray now finds it.
bool TrayOwnsItsSelection(const std::string& display) {
    Display* connection = XOpenDisplay(display.c_str());
    if (!connection) return false;
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(connection));
    const Atom selection = XInternAtom(connection, name.c_str(), False);
    const bool owned = XGetSelectionOwner(connection, selection) != None;
    XCloseDisplay(connection);
    return owned;
}

}  // namespace

TrayWindowManager::TrayWindowManager(const std::string& display) : display_(display) {
    pid_ = fork();
    if (pid_ == 0) {
        setenv("DISPLAY", display.c_str(), 1);
        // Its own settings folder stays in the test's temporary folder.
        setenv("HOME", home_.path().c_str(), 1);
        // What it says stays in its folder, for a test that finds it ended.
        freopen((home_.path() + "/output").c_str(), "w", stdout);
        dup2(1, 2);
        execlp("icewm", "icewm", static_cast<char*>(nullptr));
        _exit(127);
    }
}

TrayWindowManager::~TrayWindowManager() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

bool TrayWindowManager::WaitUntilReady() {
    if (pid_ <= 0) {
        ended_ = "it could not be started";
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // it ended
            ended_ = (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "ended with status " + std::to_string(WEXITSTATUS(status))) +
                     "; it said: " + ReadFile(home_.path() + "/output");
            return false;
        }
        if (TrayOwnsItsSelection(display_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace testsupport
