// The two requests the preferences make of the server's worker loop. The application hands the window
// an implementation; the window and its panels know no worker.
#pragma once

class IWorkerRequests {
public:
    // A master-server contact at the worker's next timed step (external access was switched).
    virtual void RequestExternalAccessCheck() = 0;
    // Map the HTTP port on the router again on the next pass (automatic mapping was switched on).
    virtual void RedoPortMapping() = 0;

protected:
    ~IWorkerRequests() = default;
};
