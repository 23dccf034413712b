#include "media/MediaRunSlot.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "core/Log.h"

#include "kivlib/KivProcess.h"

namespace {

// One run waiting for a slot. It sleeps on a lock of its own, so the stop wakes a thousand waiters
// without all of them queueing for the slots' lock. The slots' lock is taken before a waiter's, never
// the other way round.
struct Waiter {
    std::mutex lock;
    std::condition_variable wake;
    bool granted = false;  // a slot was taken for it
    bool stopped = false;
};

struct Slots {
    std::mutex lock;
    std::deque<Waiter*> queue;  // front first
    uint32_t taken = 0;
    bool stopped = false;
};

// Notified under the waiter's lock: once the waiter sees the flag, nothing here touches it again (it
// lives on the waiting thread's stack).
void Tell(Waiter& waiter, bool Waiter::*flag) {
    std::lock_guard<std::mutex> guard(waiter.lock);
    waiter.*flag = true;
    waiter.wake.notify_one();
}

// The slot steps of a run wait this long at most before looking at the stop flag again.
const uint32_t kRunStepMs = 100;

std::atomic<bool> g_stopped{false};

thread_local uint32_t t_slotsHeld = 0;
thread_local MediaRunWatch* t_watch = nullptr;

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

// Hands free slots to the front of the queue. Called with the lock.
void GrantWaiting(Slots& slots) {
    while (!slots.stopped && !slots.queue.empty() && slots.taken < MediaRunSlot::Limit()) {
        Waiter* next = slots.queue.front();
        slots.queue.pop_front();
        ++slots.taken;
        Tell(*next, &Waiter::granted);
    }
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

uint32_t MediaRunSlot::Waiting() {
    Slots& slots = TheSlots();
    std::lock_guard<std::mutex> guard(slots.lock);
    return static_cast<uint32_t>(slots.queue.size());
}

MediaRunSlot::MediaRunSlot(const std::function<bool()>& ask) {
    if (t_slotsHeld > 0) {
        nested_ = held_ = true;
        ++t_slotsHeld;
        return;
    }
    Slots& slots = TheSlots();
    Waiter me;
    const bool request = MediaRunWatch::Watched();
    {
        std::lock_guard<std::mutex> guard(slots.lock);
        if (slots.stopped) return;
        if (slots.queue.empty() && slots.taken < Limit()) {
            ++slots.taken;
            held_ = true;
            ++t_slotsHeld;
            return;
        }
        if (request) {
            slots.queue.push_back(&me);
        } else {
            slots.queue.push_front(&me);
        }
    }
    bool abandoned = false;
    std::unique_lock<std::mutex> mine(me.lock);
    while (!me.granted && !me.stopped && !abandoned) {
        me.wake.wait_for(mine, std::chrono::milliseconds(MediaRunWatch::kAskEveryMs));
        if (me.granted || me.stopped || !request) continue;
        mine.unlock();
        abandoned = ask ? ask() : MediaRunWatch::Abandoned();
        mine.lock();
    }
    // The stop has emptied the queue: leave without queueing for the slots' lock.
    if (me.stopped && !me.granted) return;
    mine.unlock();
    std::lock_guard<std::mutex> guard(slots.lock);
    mine.lock();
    if (!me.granted) {  // abandoned, and no slot came meanwhile
        slots.queue.erase(std::remove(slots.queue.begin(), slots.queue.end(), &me), slots.queue.end());
        return;
    }
    if (slots.stopped) {
        --slots.taken;  // handed over just as the runs stopped
        return;
    }
    held_ = true;
    ++t_slotsHeld;
}

MediaRunSlot::~MediaRunSlot() {
    if (!held_) return;
    --t_slotsHeld;
    if (nested_) return;
    Slots& slots = TheSlots();
    std::lock_guard<std::mutex> guard(slots.lock);
    --slots.taken;
    GrantWaiting(slots);
}

int MediaRunSlot::Wait(KivProcess& process, int& exitCode, uint32_t ms, const std::function<bool()>& abandoned) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    auto nextAsk = std::chrono::steady_clock::now() + std::chrono::milliseconds(MediaRunWatch::kAskEveryMs);
    for (;;) {
        if (Stopped()) {
            process.Stop(false, 1000);
            return WAIT_STOPPED;
        }
        if (std::chrono::steady_clock::now() >= nextAsk) {
            nextAsk += std::chrono::milliseconds(MediaRunWatch::kAskEveryMs);
            if (abandoned ? abandoned() : MediaRunWatch::Abandoned()) {
                process.Stop(false, 1000);
                return WAIT_ABANDONED;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const uint32_t step = left.count() <= 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(left.count(), kRunStepMs));
        const int result = process.Wait(exitCode, step);
        if (result != KivProcess::WAIT_RUNNING || step < kRunStepMs) return result;
    }
}

const char* MediaRunSlot::GivenUpReason(int state) {
    return state == WAIT_ABANDONED ? "its client has gone" : "the server stops";
}

bool MediaRunSlot::GivenUp() { return Stopped() || MediaRunWatch::Abandoned(); }

const char* MediaRunSlot::GivenUpText() { return "Media run given up: the server stops or the request was abandoned"; }

void MediaRunSlot::StopAll() {
    Slots& slots = TheSlots();
    std::lock_guard<std::mutex> guard(slots.lock);
    slots.stopped = true;
    g_stopped = true;
    for (Waiter* waiter : slots.queue) Tell(*waiter, &Waiter::stopped);
    slots.queue.clear();
}

void MediaRunSlot::Resume() {
    Slots& slots = TheSlots();
    std::lock_guard<std::mutex> guard(slots.lock);
    slots.stopped = false;
    g_stopped = false;
    GrantWaiting(slots);
}

bool MediaRunSlot::Stopped() { return g_stopped; }

MediaRunWatch::MediaRunWatch(std::function<bool()> abandoned) : abandoned_(std::move(abandoned)), outer_(t_watch) {
    t_watch = this;
}

MediaRunWatch::~MediaRunWatch() { t_watch = outer_; }

bool MediaRunWatch::Watched() { return t_watch != nullptr; }

bool MediaRunWatch::Abandoned() { return t_watch && t_watch->abandoned_ && t_watch->abandoned_(); }
