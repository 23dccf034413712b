// One server per user: the named single-instance mutex, as an exclusive lock on a file in the data
// folder that the process holds for its whole life (the kernel lets go of it when the process ends,
// however it ends).
#pragma once

#include <string>

class SingleInstance {
public:
    // Takes the lock named name in folder; false when another process holds it or it cannot be made.
    bool Acquire(const std::wstring& folder, const std::wstring& name);
    // After a refusal: true when another process holds the lock (rather than the file failing).
    bool HeldElsewhere() const { return heldElsewhere_; }
    ~SingleInstance();

private:
    int fd_ = -1;
    bool heldElsewhere_ = false;
};
