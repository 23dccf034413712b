// The millisecond stopwatch and its factory.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"

class ITimer {
public:
    // Milliseconds since the stopwatch was made.
    virtual uint32_t GetElapsedMs() = 0;

protected:
    ~ITimer() = default;
};

class ITimerFactory {
public:
    virtual boost::shared_ptr<ITimer> CreateTimer() = 0;

protected:
    ~ITimerFactory() = default;
};

class Timer final : public ITimer, public KivDeleter {
public:
    static boost::shared_ptr<ITimer> GetInstance();
    uint32_t GetElapsedMs() override;
    void Destroy() override { delete this; }

private:
    Timer();
    ~Timer() = default;
    uint32_t start_;
};

class TimerFactory : public ITimerFactory {
public:
    boost::shared_ptr<ITimer> CreateTimer() override;
};
