// The operations of the state store that the worker, the media pipeline and the network need.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "core/StateTypes.h"

class IState {
public:
    virtual std::list<FinishedConversion> GetFinishedConversions() = 0;
    // Appends; does not save.
    virtual void AddFinishedConversion(const FinishedConversion& conversion) = 0;
    // The device's session, made (with a fresh session id, and a PIN unless authorised) on first sight.
    virtual ClientSession GetOrCreateSession(const std::wstring& deviceName, const std::wstring& uniqueId) = 0;
    // Throws std::runtime_error "Session not found".
    virtual ClientSession GetSession(uint64_t sessionId) = 0;
    // Marks the session and its unique id authorised; false for an unknown id. Does not save.
    virtual bool AuthorizeClient(uint64_t sessionId) = 0;
    // Drops the unique id from the authorised set and erases the session; saves whatever the result.
    virtual bool UnauthorizeClient(uint64_t sessionId) = 0;
    virtual void SetClientConnected(uint64_t sessionId, bool connected) = 0;
    // Ends the session when its device is not authorised (its PIN timed out); false otherwise.
    virtual bool EndWaitingSession(uint64_t sessionId) = 0;
    // Milliseconds of silence after which a client counts as gone: 300000.
    virtual uint32_t GetClientTimeoutMs() = 0;
    virtual std::wstring GetCacheFolder() = 0;
    virtual bool GetExternalAccess() = 0;
    // The router port mapped to the HTTP port; 0 while nothing is mapped.
    virtual int GetExternalPort() = 0;
    virtual uint32_t GetHttpPort() = 0;
    virtual std::wstring GetLookupName() = 0;
    virtual void SetLookupName(const std::wstring& name) = 0;
    // Writes state.xml in the data folder; false when it could not be written (the old file stays).
    virtual bool Save() = 0;

protected:
    ~IState() = default;
};
