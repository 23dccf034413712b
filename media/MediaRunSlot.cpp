#include "media/MediaRunSlot.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

struct Slots {
    std::mutex lock;
    std::condition_variable freed;
    uint32_t taken = 0;
};

std::atomic<uint32_t> g_timeLimitMs{5000};

Slots& TheSlots() {
    static Slots slots;
    return slots;
}

}  // namespace

uint32_t MediaRunSlot::Limit() {
    static const uint32_t limit = [] {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        return online < 1 ? 1u : static_cast<uint32_t>(online);
    }();
    return limit;
}

uint32_t MediaRunSlot::TimeLimitMs() { return g_timeLimitMs; }

void MediaRunSlot::SetTimeLimitMs(uint32_t ms) { g_timeLimitMs = ms; }

uint32_t MediaRunSlot::Taken() {
    Slots& slots = TheSlots();
    std::lock_guard<std::mutex> guard(slots.lock);
    return slots.taken;
}

MediaRunSlot::MediaRunSlot() {
    Slots& slots = TheSlots();
    std::unique_lock<std::mutex> guard(slots.lock);
    slots.freed.wait(guard, [&slots] { return slots.taken < Limit(); });
    ++slots.taken;
}

MediaRunSlot::~MediaRunSlot() {
    Slots& slots = TheSlots();
    {
        std::lock_guard<std::mutex> guard(slots.lock);
        --slots.taken;
    }
    slots.freed.notify_one();
}
