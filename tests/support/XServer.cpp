#include "support/XServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

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
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
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
    setenv("DISPLAY", display_.c_str(), 1);
    return true;
}

}  // namespace testsupport
