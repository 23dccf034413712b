// A window manager with a notification area (icewm's system tray) on a test's X server, for as long as
// the object lives: window decorations, placement and a tray, as a desktop has them.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/TestSupport.h"

namespace testsupport {

class TrayWindowManager {
public:
    explicit TrayWindowManager(const std::string& display);
    ~TrayWindowManager();  // ends the window manager
    TrayWindowManager(const TrayWindowManager&) = delete;
    TrayWindowManager& operator=(const TrayWindowManager&) = delete;

    // Waits (up to a minute) until the tray owns its selection, so a program started now finds it;
    // false when the window manager did not start or no tray came.
    bool WaitUntilReady();
    // How it ended when WaitUntilReady found it gone, and what it wrote; empty otherwise.
    const std::string& HowItEnded() const { return ended_; }

private:
    std::string display_;
    TempDir home_;
    pid_t pid_ = -1;
    std::string ended_;
};

}  // namespace testsupport
