// Client announces, PIN submission, un-authorisation and the expiry of silent clients.
#include "core/Events.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "core/Log.h"
#include "kivlib/kiv_text.h"

namespace {
std::string Decimal(uint32_t value) { return numstr::ToStr(value, 10, 0); }
}  // namespace

boost::shared_ptr<IEvents> Events::GetInstance(IState* state, ITimerFactory* timerFactory) {
    boost::shared_ptr<KivThreadMutex> mutex = KivThreadMutex::GetInstance();
    if (!mutex || !state || !timerFactory) return boost::shared_ptr<IEvents>();
    return boost::shared_ptr<IEvents>(new Events(state, timerFactory, mutex), KivDeleter::deleter());
}

Events::Events(IState* state, ITimerFactory* timerFactory, boost::shared_ptr<KivThreadMutex> mutex)
    : state_(state),
      timerFactory_(timerFactory),
      mutexHolder_(mutex),
      mutex_(mutex.get()),
      timeoutMs_(state->GetClientTimeoutMs()) {}

void Events::ClientAnnounced(const std::wstring& deviceName, const std::wstring& uniqueId) {
    const ClientSession session = state_->GetOrCreateSession(deviceName, uniqueId);
    ClientEventCallback callback = nullptr;
    void* userData = nullptr;
    {
        KivLock lock(*mutex_);
        // Marked connected under this lock, so a time-out check racing this announce cannot clear it
        // after the new stopwatch is in place.
        state_->SetClientConnected(session.SessionId, true);
        silenceTimers_[session.SessionId] = timerFactory_->CreateTimer();
        if (callback_ && notified_.insert(session.SessionId).second) {
            callback = callback_;
            userData = userData_;
        }
        if (silenceTimers_.size() + notified_.size() > forgetAbove_) ForgetEndedSessions();
    }
    if (callback) callback(userData, session.SessionId);
}

void Events::ForgetEndedSessions() {
    std::set<uint64_t> ids(notified_);
    for (const auto& timer : silenceTimers_) ids.insert(timer.first);
    for (uint64_t id : ids) {
        try {
            state_->GetSession(id);
        } catch (const std::exception&) {
            silenceTimers_.erase(id);
            notified_.erase(id);
            state_->SetClientConnected(id, false);
        }
    }
    // Looking again only once the kept entries have doubled keeps the cost per announce constant.
    forgetAbove_ = std::max(kForgetAtLeast, 2 * (silenceTimers_.size() + notified_.size()));
}

bool Events::SubmitPin(uint32_t pin, uint64_t sessionId) {
    bool success = false;
    {
        KivLock lock(*mutex_);
        try {
            const ClientSession session = state_->GetSession(sessionId);
            if (session.Pin != pin)
                throw std::runtime_error("PIN submitted (" + Decimal(pin) + ") does not match correct PIN (" +
                                         Decimal(session.Pin) + ")");
            if (!state_->AuthorizeClient(sessionId)) throw std::runtime_error("AuthorizeClient failed");
            state_->Save();
            success = true;
        } catch (const std::exception& e) {
            KIV_LOG(e.what());
        } catch (...) {
            KIV_LOG("Unknown exception");
        }
    }
    if (success) FireClientEvent(sessionId);
    return success;
}

bool Events::Unauthorize(uint64_t sessionId) {
    if (!state_->UnauthorizeClient(sessionId)) KIV_LOG("UnauthorizeClient failed");
    FireClientEvent(0);  // 0: some client changed
    return state_->Save();
}

void Events::SetClientEventCallback(ClientEventCallback callback, void* userData) {
    KivLock lock(*mutex_);
    callback_ = callback;
    userData_ = userData;
}

void Events::FireClientEvent(uint64_t sessionId) {
    ClientEventCallback callback = nullptr;
    void* userData = nullptr;
    {
        KivLock lock(*mutex_);
        callback = callback_;
        userData = userData_;
    }
    if (callback) callback(userData, sessionId);
}

uint64_t Events::CheckClientTimeouts() {
    uint64_t expired = 0;
    bool ended = false;
    {
        KivLock lock(*mutex_);
        for (auto it = silenceTimers_.begin(); it != silenceTimers_.end(); ++it) {
            if (it->second->GetElapsedMs() > timeoutMs_) {
                expired = it->first;
                state_->SetClientConnected(expired, false);
                silenceTimers_.erase(it);
                // A device that never got its PIN typed is gone with its PIN; an authorised one stays.
                ended = state_->EndWaitingSession(expired);
                if (ended) notified_.erase(expired);
                break;  // at most one session per check
            }
        }
    }
    if (ended) FireClientEvent(0);  // 0: some client changed
    return expired;
}
