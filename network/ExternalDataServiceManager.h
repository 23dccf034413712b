// The master-server client: every operation opens its own connection to the master server and sends
// its requests over it. Used by one thread at a time; it takes no lock of its own.
#pragma once

#include <atomic>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "network/ExternalDataConnection.h"
#include "network/ExternalDataService.h"

class IState;
class kiv_http;

class ExternalDataServiceManager final : public KivDeleter {
public:
    // The three pointers are not owned and must outlive the manager; empty when one is null.
    static boost::shared_ptr<ExternalDataServiceManager> GetInstance(IState* state,
                                                                    IExternalDataConnectionFactory* connections,
                                                                    IExternalDataServiceFactory* services);

    // Registers (no key yet, or the server no longer knows it) or announces the stored key, telling
    // whether external access is on. Logs every failure; a new key is stored (not saved).
    void CheckExternalAccess();
    // Asks the master server to e-mail the connection links for ip:port. Throws std::runtime_error.
    void SendConnectionAssistEmail(const std::string& ip, const std::string& port, const std::string& email);
    // Writes the system report into the log, then uploads the log with the two texts. Throws
    // std::runtime_error.
    void SendReport(const std::string& description, const std::string& email);

    // A flag another thread sets to end the contact under way within 100 ms (it fails as a lost
    // connection would), so a server that is ending waits for no master server. Not owned; null for none.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

    void Destroy() override { delete this; }

private:
    ExternalDataServiceManager(IState* state, IExternalDataConnectionFactory* connections,
                               IExternalDataServiceFactory* services)
        : state_(state), connections_(connections), services_(services) {}
    ~ExternalDataServiceManager() = default;
    // Opens the connection, its HTTP client and the service; throws std::runtime_error.
    void SetUpContact();
    // The service, then the HTTP client, then the stream they use.
    void ReleaseContact();
    // Registers and stores the key when the reply is one.
    void RegisterAnew(bool enabled, uint32_t port);

    IState* state_;
    IExternalDataConnectionFactory* connections_;
    IExternalDataServiceFactory* services_;
    // Released in reverse: the service, then the HTTP client, then the stream they use.
    boost::shared_ptr<INonblockingStream> stream_;
    boost::shared_ptr<kiv_http> http_;
    boost::shared_ptr<IExternalDataService> service_;
    const std::atomic<bool>* stop_ = nullptr;
};
