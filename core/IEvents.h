// Client presence and pairing: announces, PINs, un-authorisation and silent clients.
#pragma once

#include <cstdint>
#include <string>

// Told that a client changed (session id 0: some client). Runs without any lock held.
typedef void (*ClientEventCallback)(void* userData, uint64_t sessionId);

class IEvents {
public:
    // Expires at most one session that has been silent for longer than the time-out (a session whose
    // device is not authorised ends with it); its id, or 0 when none expired.
    virtual uint64_t CheckClientTimeouts() = 0;
    virtual void ClientAnnounced(const std::wstring& deviceName, const std::wstring& uniqueId) = 0;
    // The result of saving the state.
    virtual bool Unauthorize(uint64_t sessionId) = 0;
    virtual void SetClientEventCallback(ClientEventCallback callback, void* userData) = 0;
    virtual void FireClientEvent(uint64_t sessionId) = 0;
    // True when the PIN was right and the session is now authorised (and saved).
    virtual bool SubmitPin(uint32_t pin, uint64_t sessionId) = 0;

protected:
    ~IEvents() = default;
};
