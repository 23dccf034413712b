// How a thread that sleeps between passes is woken early: the sleeping side owns a WakeSignal and hands
// the services that make work for it an IWaker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "kivlib/PosixFd.h"

class IWaker {
public:
    // New work came: the next sleep of the owner ends at once.
    virtual void Wake() = 0;
    // Work shows up on fd as well (a child's output, say): until Unwatch, new input on it or its hang-up
    // ends the owner's sleep. Only a change counts, so input left unread does not end every sleep. The
    // caller keeps fd open until it calls Unwatch. False when fd cannot be watched.
    virtual bool Watch(int fd) = 0;
    virtual void Unwatch(int fd) = 0;

protected:
    ~IWaker() = default;
};

class WakeSignal final : public IWaker {
public:
    WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    void Wake() override;
    bool Watch(int fd) override;
    void Unwatch(int fd) override;
    // Sleeps up to ms, less when Wake is called meanwhile (or was, since the last wait), or when a watched
    // descriptor gets new input or hangs up (meanwhile, or since the last wait).
    void Wait(uint32_t ms);

private:
    // One epoll set holds the eventfd and the watched descriptors, so a sleep is one call whatever is
    // watched; without them, Wait sleeps on the condition alone and nothing can be watched.
    kivposix::UniqueFd epoll_;
    kivposix::UniqueFd event_;
    std::mutex lock_;
    std::condition_variable woken_;
    bool pending_ = false;
};
