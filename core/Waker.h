// How a thread that sleeps between passes is woken early: the sleeping side owns a WakeSignal and hands
// the services that make work for it an IWaker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kivlib/PosixFd.h"

class IWaker {
public:
    // New work came: the next sleep of the owner ends at once.
    virtual void Wake() = 0;

protected:
    ~IWaker() = default;
};

class WakeSignal final : public IWaker {
public:
    WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    void Wake() override;
    // Sleeps up to ms, less when Wake is called meanwhile (or was, since the last wait), or when one of
    // the descriptors handed to WatchAlso becomes readable or hangs up.
    void Wait(uint32_t ms);
    // For the next Wait only (called by the sleeping thread): work shows up on these descriptors as well,
    // for instance a child program's output. The signal closes them after that wait.
    void WatchAlso(std::vector<kivposix::UniqueFd> fds);

private:
    kivposix::UniqueFd event_;  // an eventfd; without one, Wait sleeps on the condition alone
    std::vector<kivposix::UniqueFd> watched_;
    std::mutex lock_;
    std::condition_variable woken_;
    bool pending_ = false;
};
