// Client sessions of the state store: session ids, PINs, the authorised ids and the connected set.
#include <algorithm>
#include <ctime>
#include <stdexcept>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int.hpp>
#include <boost/random/variate_generator.hpp>

#include "core/State.h"
#include "core/StateText.h"

namespace {

// A fresh generator seeded with the current second, so sessions made within one second share a PIN.
uint32_t DrawPin() {
    boost::mt19937 generator(static_cast<uint32_t>(std::time(nullptr)));
    boost::uniform_int<uint32_t> range(1000, 9999);
    boost::variate_generator<boost::mt19937&, boost::uniform_int<uint32_t>> draw(generator, range);
    return draw();
}

}  // namespace

uint64_t State::DrawSessionId() {
    // Never 0, never a live session's, and never one that was authorised before in this run. The ids of
    // waiting sessions that ended are not kept (under an announce flood that list would grow without
    // end); 64 random bits do not come back in practice.
    uint64_t id = 0;
    do {
        id = get_rand_num64();
    } while (id == 0 || sessions_.count(id) != 0 || authorisedSessionIds_.count(id) != 0);
    return id;
}

void State::ForgetWaiting(uint64_t sessionId) {
    const auto it = std::find(waiting_.begin(), waiting_.end(), sessionId);
    if (it != waiting_.end()) waiting_.erase(it);
}

ClientSession State::GetOrCreateSession(const std::wstring& deviceName, const std::wstring& uniqueId) {
    const std::wstring storedId = statetext::Stored(uniqueId);
    KivLock lock(*mutex_);
    for (const auto& session : sessions_) {
        if (session.second.UniqueId == storedId) return session.second;
    }
    ClientSession session;
    session.UniqueId = storedId;
    session.Name = statetext::Stored(deviceName);
    session.SessionId = DrawSessionId();
    session.Authorized = authorizedIds_.count(storedId) != 0;
    if (session.Authorized) {
        authorisedSessionIds_.insert(session.SessionId);
    } else {
        session.Pin = DrawPin();
        // The oldest waiting session makes room; its device gets a new session at its next announce.
        if (waiting_.size() >= kMaxWaitingSessions) {
            sessions_.erase(waiting_.front());
            connected_.erase(waiting_.front());
            waiting_.pop_front();
        }
        waiting_.push_back(session.SessionId);
    }
    sessions_[session.SessionId] = session;
    return session;
}

ClientSession State::GetSession(uint64_t sessionId) {
    ClientSession session;
    bool found = false;
    {
        KivLock lock(*mutex_);
        const auto it = sessions_.find(sessionId);
        if (it != sessions_.end()) {
            session = it->second;
            found = true;
        }
    }
    if (!found) throw std::runtime_error("Session not found");
    return session;
}

bool State::AuthorizeClient(uint64_t sessionId) {
    KivLock lock(*mutex_);
    const auto it = sessions_.find(sessionId);
    if (it == sessions_.end()) return false;
    it->second.Authorized = true;
    authorizedIds_.insert(it->second.UniqueId);
    authorisedSessionIds_.insert(sessionId);
    ForgetWaiting(sessionId);
    return true;
}

bool State::UnauthorizeClient(uint64_t sessionId) {
    bool removed = false;
    {
        KivLock lock(*mutex_);
        const auto it = sessions_.find(sessionId);
        if (it != sessions_.end() && authorizedIds_.erase(it->second.UniqueId) != 0) {
            sessions_.erase(it);
            removed = true;
        }
    }
    Save();
    return removed;
}

void State::SetClientConnected(uint64_t sessionId, bool connected) {
    KivLock lock(*mutex_);
    if (connected)
        connected_.insert(sessionId);
    else
        connected_.erase(sessionId);
}

bool State::EndWaitingSession(uint64_t sessionId) {
    KivLock lock(*mutex_);
    const auto it = sessions_.find(sessionId);
    if (it == sessions_.end() || it->second.Authorized) return false;
    sessions_.erase(it);
    connected_.erase(sessionId);
    ForgetWaiting(sessionId);
    return true;
}

bool State::IsClientConnected(uint64_t sessionId) {
    KivLock lock(*mutex_);
    return connected_.count(sessionId) != 0;
}

bool State::IsSessionAuthorized(uint64_t sessionId) {
    KivLock lock(*mutex_);
    const auto it = sessions_.find(sessionId);
    return it != sessions_.end() && it->second.Authorized;
}

void State::GetSessions(std::list<ClientSession>& sessions) {
    sessions.clear();
    KivLock lock(*mutex_);
    for (const auto& session : sessions_) sessions.push_back(session.second);
}

void State::SetDeviceType(uint64_t sessionId, const std::wstring& type) {
    bool found = false;
    {
        KivLock lock(*mutex_);
        const auto it = sessions_.find(sessionId);
        if (it != sessions_.end()) {
            it->second.DeviceType = statetext::Stored(type);
            found = true;
        }
    }
    if (!found) throw std::runtime_error("Unknown session ID");
}

void State::SetDeviceVersion(uint64_t sessionId, const std::wstring& version) {
    bool found = false;
    {
        KivLock lock(*mutex_);
        const auto it = sessions_.find(sessionId);
        if (it != sessions_.end()) {
            it->second.Version = statetext::Stored(version);
            found = true;
        }
    }
    if (!found) throw std::runtime_error("Unknown session ID");
}
