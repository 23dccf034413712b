// How a thread that sleeps between passes is woken early: the sleeping side owns a WakeSignal and hands
// the services that make work for it an IWaker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class IWaker {
public:
    // New work came: the next sleep of the owner ends at once.
    virtual void Wake() = 0;

protected:
    ~IWaker() = default;
};

class WakeSignal final : public IWaker {
public:
    void Wake() override;
    // Sleeps up to ms, less when Wake is called meanwhile (or was, since the last wait).
    void Wait(uint32_t ms);

private:
    std::mutex lock_;
    std::condition_variable woken_;
    bool pending_ = false;
};
