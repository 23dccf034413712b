#include "support/XServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <X11/Xlib.h>

namespace testsupport {

XServer::~XServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

bool XServer::Start() {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        close(pipeFds[0]);
        const int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            dup2(devNull, 1);
            dup2(devNull, 2);
        }
        const std::string fd = std::to_string(pipeFds[1]);
        // No reset when the last client leaves: a reset refuses the clients that connect meanwhile, so
        // a short-lived client (a query, a key sent) could make the next program's start fail.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    // Xvfb writes its display number once it takes clients.
    std::string number;
    pollfd readable{pipeFds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&readable, 1, 20000) > 0) {
        char buffer[16];
        const ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        number.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (number.find('\n') == std::string::npos) return false;
    display_ = ":" + number.substr(0, number.find('\n'));
    if (!TakesClients()) return false;
    setenv("DISPLAY", display_.c_str(), 1);
    return true;
}

// Its display number says it listens; a client that connects and is accepted says it takes clients,
// which is what the window manager and the program started next need.
bool XServer::TakesClients() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        if (::Display* connection = XOpenDisplay(display_.c_str())) {
            XCloseDisplay(connection);
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // it ended
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace testsupport
