// Directory listing, one entry at a time.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

class IFileFindEntry {
public:
    virtual ~IFileFindEntry() = default;
    virtual std::wstring GetName() const = 0;  // the bare name
    virtual bool IsDirectory() const = 0;      // a folder (a link to a folder counts as one)
    // A regular file (a link to one counts as one): not a folder, pipe, socket or device.
    virtual bool IsRegularFile() const = 0;
    virtual bool IsLink() const = 0;           // a symbolic link, whatever it points to
};

class IKivFileFinder {
public:
    virtual ~IKivFileFinder() = default;
    // Starts listing folder (no wildcard) and gives its first entry; empty for an empty or missing folder.
    // "." and ".." are never given.
    virtual boost::shared_ptr<IFileFindEntry> StartFileFind(const std::wstring& folder) = 0;
    // The next entry; empty at the end.
    virtual boost::shared_ptr<IFileFindEntry> ContinueFileFind() = 0;
};

class KivFileFinder {
public:
    static boost::shared_ptr<IKivFileFinder> GetInstance();
};
