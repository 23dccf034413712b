// Threads, mutexes, delays, the millisecond counter and random numbers on POSIX.
#include "kivlib/kiv_thread.h"

#include <errno.h>
#include <pthread.h>
#include <sys/random.h>
#include <time.h>

#include <cstddef>
#include <mutex>
#include <new>
#include <stdexcept>

struct kiv_thread_state {
    pthread_t thread;
};

bool kiv_create_thread(kiv_thread_handle& handle, kiv_thread_entry entry, void* argument) {
    handle = nullptr;
    if (!entry) return false;
    kiv_thread_state* state = new (std::nothrow) kiv_thread_state;
    if (!state) return false;
    if (pthread_create(&state->thread, nullptr, entry, argument) != 0) {
        delete state;
        return false;
    }
    handle = state;
    return true;
}

void kiv_wait_thread(kiv_thread_handle& handle) {
    if (!handle) return;
    pthread_join(handle->thread, nullptr);
    delete handle;
    handle = nullptr;
}

void make_delay(uint32_t ms) {
    struct timespec remaining;
    remaining.tv_sec = static_cast<time_t>(ms / 1000);
    remaining.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // A signal handler may cut the sleep short; sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

uint32_t refresh_timer() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Truncation to 32 bits is the wrap every caller expects.
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint32_t get_elapsed_ms(uint32_t earlier, uint32_t now) {
    // Unsigned subtraction is modulo 2^32, so one wrap between the readings costs nothing.
    return now - earlier;
}

uint32_t get_elapsed_ms(uint32_t earlier) { return get_elapsed_ms(earlier, refresh_timer()); }

uint64_t get_rand_num64() {
    uint64_t value = 0;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&value);
    size_t filled = 0;
    while (filled < sizeof(value)) {
        ssize_t got = getrandom(bytes + filled, sizeof(value) - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("getrandom failed");
        }
        filled += static_cast<size_t>(got);
    }
    return value;
}

namespace {

class PosixThreadMutex final : public KivThreadMutex {
public:
    void LockEx() override { mutex_.lock(); }
    void UnlockEx() override { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

}  // namespace

boost::shared_ptr<KivThreadMutex> KivThreadMutex::GetInstance() {
    return boost::shared_ptr<KivThreadMutex>(new PosixThreadMutex);
}
