// The events object: the one place where a client's presence and pairing change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/IEvents.h"
#include "core/IState.h"
#include "core/KivDeleter.h"
#include "core/Timer.h"
#include "kivlib/kiv_thread.h"

class Events final : public IEvents, public KivDeleter {
public:
    // Empty when no lock can be made. Neither pointer is owned; both must outlive the object.
    static boost::shared_ptr<IEvents> GetInstance(IState* state, ITimerFactory* timerFactory);

    uint64_t CheckClientTimeouts() override;
    void ClientAnnounced(const std::wstring& deviceName, const std::wstring& uniqueId) override;
    bool Unauthorize(uint64_t sessionId) override;
    void SetClientEventCallback(ClientEventCallback callback, void* userData) override;
    void FireClientEvent(uint64_t sessionId) override;
    bool SubmitPin(uint32_t pin, uint64_t sessionId) override;

    void Destroy() override { delete this; }

private:
    Events(IState* state, ITimerFactory* timerFactory, boost::shared_ptr<KivThreadMutex> mutex);
    ~Events() = default;
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;
    // Drops what is kept for sessions the state store no longer has; needs the lock held.
    void ForgetEndedSessions();

    IState* state_;
    ITimerFactory* timerFactory_;
    std::map<uint64_t, boost::shared_ptr<ITimer>> silenceTimers_;
    boost::shared_ptr<KivThreadMutex> mutexHolder_;
    KivThreadMutex* mutex_;
    uint32_t timeoutMs_;
    ClientEventCallback callback_ = nullptr;
    void* userData_ = nullptr;
    std::set<uint64_t> notified_;
    // Entries in the timers and the notified set above which the next announce looks for ended sessions
    // (the state store ends waiting sessions on its own when newer ones need the room).
    static constexpr size_t kForgetAtLeast = 256;
    size_t forgetAbove_ = kForgetAtLeast;
};
