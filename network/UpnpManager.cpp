#include "network/UpnpManager.h"

#include <stdexcept>
#include <string>

#include "core/Log.h"

#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "Upnp"

boost::shared_ptr<UpnpManager> UpnpManager::GetInstance(const boost::shared_ptr<IUpnpFunctionsFactory>& factory,
                                                        int internalPort, int externalPort, bool udp) {
    KIV_LOG("Getting UPnPManager Instance");
    boost::shared_ptr<IUpnpFunctions> functions;
    if (factory) functions = factory->Create();
    return Map(functions, internalPort, externalPort, udp);
}

boost::shared_ptr<UpnpManager> UpnpManager::GetInstance(const boost::shared_ptr<IUpnpFunctions>& functions,
                                                        int internalPort, int externalPort, bool udp) {
    KIV_LOG("Getting UPnPManager Instance");
    return Map(functions, internalPort, externalPort, udp);
}

boost::shared_ptr<UpnpManager> UpnpManager::Map(const boost::shared_ptr<IUpnpFunctions>& functions, int internalPort,
                                                int externalPort, bool udp) {
    UpnpManager* manager = new UpnpManager(functions, externalPort, udp);
    boost::shared_ptr<UpnpManager> result;
    try {
        manager->Init(internalPort);
        KIV_LOG("UpnpManager Initialiased");
        result.reset(manager, KivDeleter::deleter());
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Exception while creating uPnP manager: ") + e.what());
        manager->Destroy();  // holds no mapping: the router is not touched
    }
    KIV_LOG("got UpnpManager Instance");
    return result;
}

UpnpManager::UpnpManager(const boost::shared_ptr<IUpnpFunctions>& functions, int externalPort, bool udp)
    : functionsHolder_(functions), functions_(functions.get()), externalPort_(externalPort), udp_(udp) {}

void UpnpManager::Init(int internalPort) {
    if (!functions_) {
        KIV_LOG("UpnpFunctions did not instantiate");
        throw std::runtime_error("UpnpFunctions did not instantiate");
    }
    externalPort_ = functions_->AddPortMapping(internalPort, externalPort_, udp_);
    holdsMapping_ = true;
}

UpnpManager::~UpnpManager() {
    if (holdsMapping_) {
        try {
            functions_->DeletePortMapping(externalPort_, udp_);
        } catch (const std::exception&) {
            // Logged by the deletion; a release never fails.
        }
    }
    functions_ = nullptr;
    functionsHolder_.reset();
}
