#include "core/Waker.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <climits>

WakeSignal::WakeSignal() : event_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void WakeSignal::Wake() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        pending_ = true;
    }
    if (event_.valid()) {
        const uint64_t one = 1;
        ssize_t written;
        do written = write(event_.get(), &one, sizeof one);
        while (written < 0 && errno == EINTR);
        // Only EAGAIN can fail here (the counter is full): the descriptor is readable then anyway.
        return;
    }
    woken_.notify_all();
}

void WakeSignal::WatchAlso(std::vector<kivposix::UniqueFd> fds) { watched_ = std::move(fds); }

void WakeSignal::Wait(uint32_t ms) {
    std::vector<kivposix::UniqueFd> watched;
    watched.swap(watched_);
    if (!event_.valid()) {
        std::unique_lock<std::mutex> hold(lock_);
        woken_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return pending_; });
        pending_ = false;
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (pending_) ms = 0;  // the eventfd is readable as well; the read below takes it back
    }
    std::vector<pollfd> fds;
    fds.reserve(watched.size() + 1);
    fds.push_back({event_.get(), POLLIN, 0});
    for (const kivposix::UniqueFd& fd : watched)
        if (fd.valid()) fds.push_back({fd.get(), POLLIN, 0});
    const int timeout = ms > uint32_t(INT_MAX) ? INT_MAX : int(ms);
    while (poll(fds.data(), fds.size(), timeout) < 0 && errno == EINTR) {
    }
    uint64_t count;
    while (read(event_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> hold(lock_);
    pending_ = false;
}
