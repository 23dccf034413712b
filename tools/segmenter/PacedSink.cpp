#include "PacedSink.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace tscut {

void PacedSink::Open(uint32_t number) {
    files_.Open(number);
    // Waiting once the file is begun and before anything goes into it: the one before it has been closed
    // and reported, so the reader has every file it allowed, and nothing beyond.
    if (!first_) TakeCredit();
    first_ = false;
}

void PacedSink::TakeCredit() {
    while (creditFd_ >= 0) {
        pollfd fds[2] = {{creditFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(fds, stopFd_ >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed while waiting to go on");
        }
        if (stopFd_ >= 0 && (fds[1].revents & POLLIN)) {
            creditFd_ = -1;  // stopping: the rest of the input is cut at once
            return;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char credit;
        const ssize_t n = read(creditFd_, &credit, 1);
        if (n == 1) return;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        creditFd_ = -1;  // the credits have ended: no file waits any more
    }
}

}  // namespace tscut
