#include "core/Timer.h"

#include "kivlib/kiv_thread.h"

Timer::Timer() : start_(refresh_timer()) {}

boost::shared_ptr<ITimer> Timer::GetInstance() {
    return boost::shared_ptr<ITimer>(new Timer(), KivDeleter::deleter());
}

uint32_t Timer::GetElapsedMs() { return get_elapsed_ms(start_); }

boost::shared_ptr<ITimer> TimerFactory::CreateTimer() { return Timer::GetInstance(); }
