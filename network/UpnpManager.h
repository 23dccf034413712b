// Holds one router port mapping for as long as it lives: made by mapping, released by deleting it.
#pragma once

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "network/IUpnpFunctions.h"

class UpnpManager final : public KivDeleter {
public:
    // Finds the router through the factory and maps the port; empty (with the reason logged) when no
    // mapping was made, in which case the router was not touched.
    static boost::shared_ptr<UpnpManager> GetInstance(const boost::shared_ptr<IUpnpFunctionsFactory>& factory,
                                                      int internalPort, int externalPort, bool udp);
    // The same with a router already found (functions may be empty), so a caller can look for the
    // router before it gives up what it holds.
    static boost::shared_ptr<UpnpManager> GetInstance(const boost::shared_ptr<IUpnpFunctions>& functions,
                                                      int internalPort, int externalPort, bool udp);

    int GetExternalPort() const { return externalPort_; }
    // Deletes the mapping on the router; a refusal is logged and goes no further.
    void Destroy() override { delete this; }

private:
    UpnpManager(const boost::shared_ptr<IUpnpFunctions>& functions, int externalPort, bool udp);
    ~UpnpManager();
    static boost::shared_ptr<UpnpManager> Map(const boost::shared_ptr<IUpnpFunctions>& functions, int internalPort,
                                              int externalPort, bool udp);
    void Init(int internalPort);  // throws std::runtime_error

    boost::shared_ptr<IUpnpFunctions> functionsHolder_;
    IUpnpFunctions* functions_;
    int externalPort_;
    bool udp_;
    bool holdsMapping_ = false;
};
