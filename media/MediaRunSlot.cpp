#include "media/MediaRunSlot.h"

#include <stdlib.h>
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

// 5000 ms, unless the environment gives CALVORO_MEDIA_RUN_LIMIT_MS: the end-to-end tests run the server
// on shared machines whose load can make a grab alone take that long.
uint32_t InitialTimeLimitMs() {
    const char* text = getenv("CALVORO_MEDIA_RUN_LIMIT_MS");
    if (!text || !*text) return 5000;
    char* end = nullptr;
    const unsigned long ms = strtoul(text, &end, 10);
    return (*end == '\0' && ms >= 1 && ms <= 600000) ? static_cast<uint32_t>(ms) : 5000;
}

std::atomic<uint32_t> g_timeLimitMs{InitialTimeLimitMs()};

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
