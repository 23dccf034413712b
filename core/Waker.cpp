#include "core/Waker.h"

#include <chrono>

void WakeSignal::Wake() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        pending_ = true;
    }
    woken_.notify_all();
}

void WakeSignal::Wait(uint32_t ms) {
    std::unique_lock<std::mutex> hold(lock_);
    woken_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return pending_; });
    pending_ = false;
}
