// Test helpers around the media run slots: threads that hold every slot, and a wait for a condition.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "media/MediaRunSlot.h"

namespace mediatest {

// Until a condition holds, up to limit.
template <class Condition>
inline bool Within(std::chrono::milliseconds limit, Condition condition) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Threads that take every slot and keep them until Release (or their end).
class SlotHolders {
public:
    explicit SlotHolders(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                MediaRunSlot slot;
                ++holding_;
                std::unique_lock<std::mutex> guard(lock_);
                released_.wait(guard, [this] { return release_; });
            });
        }
        Within(std::chrono::seconds(10), [this] { return holding_ == threads_.size(); });
    }
    ~SlotHolders() { Release(); }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            release_ = true;
        }
        released_.notify_all();
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }

private:
    std::vector<std::thread> threads_;
    std::atomic<size_t> holding_{0};
    std::mutex lock_;
    std::condition_variable released_;
    bool release_ = false;
};

}  // namespace mediatest
