// The seam between the router port mapping and the UPnP library: one router (IGD) that adds and deletes
// port mappings, and the factory that finds one.
#pragma once

#include <boost/shared_ptr.hpp>

class IUpnpFunctions {
public:
    // Maps external -> internal on this computer; the result is the external port actually mapped,
    // which may be above the one asked for when the router refuses that one. Throws std::runtime_error.
    virtual int AddPortMapping(int internalPort, int externalPort, bool udp) = 0;
    // Throws std::runtime_error when the router refuses or does not answer.
    virtual void DeletePortMapping(int externalPort, bool udp) = 0;

protected:
    ~IUpnpFunctions() = default;
};

class IUpnpFunctionsFactory {
public:
    // Empty when no usable router was found.
    virtual boost::shared_ptr<IUpnpFunctions> Create() = 0;

protected:
    ~IUpnpFunctionsFactory() = default;
};
