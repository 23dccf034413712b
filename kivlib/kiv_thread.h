// Threads, mutexes, delays, the millisecond counter and random numbers.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

typedef void* (*kiv_thread_entry)(void* argument);

// Opaque handle of a thread made by kiv_create_thread; 0 when no thread was made.
typedef struct kiv_thread_state* kiv_thread_handle;

// Starts entry(argument) on a new thread; false when the thread could not be made.
bool kiv_create_thread(kiv_thread_handle& handle, kiv_thread_entry entry, void* argument);
// Waits for the thread to end and releases the handle (sets it to 0). A 0 handle returns at once.
void kiv_wait_thread(kiv_thread_handle& handle);

void make_delay(uint32_t ms);

// Monotonic millisecond counter; wraps after about 49 days, which get_elapsed_ms tolerates.
uint32_t refresh_timer();
uint32_t get_elapsed_ms(uint32_t earlier);
// Milliseconds from earlier to now, two readings of the counter, correct across one wrap.
uint32_t get_elapsed_ms(uint32_t earlier, uint32_t now);

// 64 random bits from the kernel (getrandom).
uint64_t get_rand_num64();

// A non-recursive mutex owned by one object.
class KivThreadMutex {
public:
    static boost::shared_ptr<KivThreadMutex> GetInstance();
    virtual ~KivThreadMutex() = default;
    virtual void LockEx() = 0;
    virtual void UnlockEx() = 0;
};

// Holds a KivThreadMutex for the life of the guard.
class KivLock {
public:
    explicit KivLock(KivThreadMutex& mutex) : mutex_(mutex) { mutex_.LockEx(); }
    ~KivLock() { mutex_.UnlockEx(); }
    KivLock(const KivLock&) = delete;
    KivLock& operator=(const KivLock&) = delete;

private:
    KivThreadMutex& mutex_;
};
