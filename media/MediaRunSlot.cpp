#include "media/MediaRunSlot.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "core/Log.h"

namespace {

struct Slots {
    std::mutex lock;
    std::condition_variable freed;
    uint32_t taken = 0;
};

const uint32_t kDefaultTimeLimitMs = 5000;
const uint32_t kLongestTimeLimitMs = 600000;

std::atomic<uint32_t> g_timeLimitMs{kDefaultTimeLimitMs};
std::once_flag g_environmentRead;

// 5000 ms, unless the environment gives CALVORO_MEDIA_RUN_LIMIT_MS: the end-to-end tests run the server
// on shared machines whose load can make a grab alone take that long. Read at the first use rather than
// at load time, so a value that is refused can be logged.
void ReadEnvironmentOnce() {
    std::call_once(g_environmentRead, [] {
        const char* text = getenv("CALVORO_MEDIA_RUN_LIMIT_MS");
        if (!text || !*text) return;
        uint32_t ms = 0;
        if (MediaRunSlot::ParseTimeLimitMs(text, ms)) {
            g_timeLimitMs = ms;
            return;
        }
        KIV_LOG("WARNING: CALVORO_MEDIA_RUN_LIMIT_MS is not a number of milliseconds from 1 to " +
                std::to_string(kLongestTimeLimitMs) + "; a run may take " + std::to_string(kDefaultTimeLimitMs) +
                " ms");
    });
}

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

bool MediaRunSlot::ParseTimeLimitMs(const std::string& text, uint32_t& ms) {
    // Digits only: strtoul alone would take blanks, a sign and trailing text.
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::stoul(text);
    if (value < 1 || value > kLongestTimeLimitMs) return false;
    ms = static_cast<uint32_t>(value);
    return true;
}

uint32_t MediaRunSlot::TimeLimitMs() {
    ReadEnvironmentOnce();
    return g_timeLimitMs;
}

void MediaRunSlot::SetTimeLimitMs(uint32_t ms) {
    ReadEnvironmentOnce();  // a later first read must not undo the value set here
    g_timeLimitMs = ms;
}

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
