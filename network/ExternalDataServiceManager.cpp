#include "network/ExternalDataServiceManager.h"

#include <stdexcept>

#include "core/IState.h"
#include "core/Log.h"
#include "kivlib/kiv_http.h"
#include "kivlib/kiv_text.h"

#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "ExternalDataService"

boost::shared_ptr<ExternalDataServiceManager> ExternalDataServiceManager::GetInstance(
    IState* state, IExternalDataConnectionFactory* connections, IExternalDataServiceFactory* services) {
    if (!state || !connections || !services) return boost::shared_ptr<ExternalDataServiceManager>();
    return boost::shared_ptr<ExternalDataServiceManager>(new ExternalDataServiceManager(state, connections, services),
                                                         KivDeleter::deleter());
}

void ExternalDataServiceManager::SetUpContact() {
    ReleaseContact();
    stream_ = connections_->OpenConnection();
    if (!stream_) throw std::runtime_error("OpenConnection failed");
    http_ = kiv_http::GetInstance(stream_.get(), "Calvoro");
    if (!http_) throw std::runtime_error("Unable to instantiate http instance");
    http_->SetStopFlag(stop_);
    service_ = services_->Create(http_.get());
    if (!service_) throw std::runtime_error("Unable to get instance of external data service");
}

void ExternalDataServiceManager::SendConnectionAssistEmail(const std::string& ip, const std::string& port,
                                                           const std::string& email) {
    SetUpContact();
    service_->SendConnectionAssistEmail(ip, port, email);
}

void ExternalDataServiceManager::SendReport(const std::string& description, const std::string& email) {
    SetUpContact();
    service_->SendReport(kivm::ToUTF8Ex(GetLogFilePath()), description, email);
}

void ExternalDataServiceManager::CheckExternalAccess() {
    const bool enabled = state_->GetExternalAccess();
    KIV_LOG(enabled ? "External access enabled" : "External access disabled");
    try {
        SetUpContact();
    } catch (const std::runtime_error& error) {
        KIV_LOG(error.what());
        return;
    }

    std::string key = kivm::ToUTF8Ex(state_->GetLookupName());
    const int externalPort = state_->GetExternalPort();
    const uint32_t port = externalPort > 0 ? static_cast<uint32_t>(externalPort) : state_->GetHttpPort();

    if (!key.empty()) {
        KIV_LOG("Announce key " + key);
        try {
            service_->Announce(key, enabled, port);
        } catch (const BadKeyException&) {
            KIV_LOG("Error announcing to server ");
            key.clear();  // the server forgot it: register anew on this connection
        } catch (const std::runtime_error& error) {
            KIV_LOG(std::string("Error announcing to server ") + error.what());
        }
    }
    if (key.empty()) RegisterAnew(enabled, port);
    ReleaseContact();
}

void ExternalDataServiceManager::ReleaseContact() {
    service_.reset();
    http_.reset();
    stream_.reset();
}

void ExternalDataServiceManager::RegisterAnew(bool enabled, uint32_t port) {
    KIV_LOG("No announce key registering");
    try {
        const std::string reply = service_->Register(enabled, port);
        KIV_LOG("New Announce key " + LogExcerpt(reply));
        if (reply.empty()) {
            KIV_LOG("External data service returned empty key");
        } else if (!IsValidLookupKey(reply)) {
            // Not a key we could send back in a path; the old one stays.
            KIV_LOG("WARNING: External data service returned no valid key; the stored key stays");
        } else {
            state_->SetLookupName(kivm::FromUTF8ExW(reply));
        }
    } catch (const std::exception& error) {
        KIV_LOG(std::string("Register threw exception: ") + error.what());
    }
}
