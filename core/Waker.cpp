#include "core/Waker.h"

#include <errno.h>
#include <stdint.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <climits>

WakeSignal::WakeSignal() {
    kivposix::UniqueFd epoll(epoll_create1(EPOLL_CLOEXEC));
    kivposix::UniqueFd event(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!epoll.valid() || !event.valid()) return;
    // Level-triggered: a wake stays pending until a wait reads it.
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.fd = event.get();
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, event.get(), &interest) != 0) return;
    epoll_ = std::move(epoll);
    event_ = std::move(event);
}

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

bool WakeSignal::Watch(int fd) {
    if (!epoll_.valid() || fd < 0) return false;
    // Edge-triggered: a pipe the owner leaves full for a while (a stream far enough ahead) or one that
    // has hung up ends one sleep, not every sleep.
    epoll_event interest{};
    interest.events = EPOLLIN | EPOLLET;
    interest.data.fd = fd;
    return epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &interest) == 0;
}

void WakeSignal::Unwatch(int fd) {
    if (epoll_.valid() && fd >= 0) epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void WakeSignal::Wait(uint32_t ms) {
    if (!epoll_.valid()) {
        std::unique_lock<std::mutex> hold(lock_);
        woken_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return pending_; });
        pending_ = false;
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (pending_) ms = 0;  // the eventfd is readable as well; the read below takes it back
    }
    const int timeout = ms > uint32_t(INT_MAX) ? INT_MAX : int(ms);
    epoll_event events[16];
    int ready;
    do ready = epoll_wait(epoll_.get(), events, 16, timeout);
    while (ready < 0 && errno == EINTR);
    for (int i = 0; i < ready; ++i) {
        if (events[i].data.fd != event_.get()) continue;
        // Read only when it is known to be readable: an idle wait costs the one call.
        uint64_t count;
        while (read(event_.get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
    std::lock_guard<std::mutex> hold(lock_);
    pending_ = false;
}
