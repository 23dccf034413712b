// A private X server (Xvfb) for tests of windows, reached through DISPLAY.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

class XServer {
public:
    XServer() = default;
    ~XServer();  // ends the server
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // Starts Xvfb, waits until it takes clients and points DISPLAY at it; false when it did not come up.
    bool Start();
    const std::string& Display() const { return display_; }

private:
    bool TakesClients();

    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace testsupport
