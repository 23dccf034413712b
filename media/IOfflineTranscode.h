// The offline conversion queue as the worker and the HTTP interface see it.
#pragma once

class IOfflineTranscode {
public:
    // Moves the queue one step; true when it did work.
    virtual bool Pump() = 0;

protected:
    ~IOfflineTranscode() = default;
};
