// The file service and the factory of directory listers.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "kivlib/KivFileFinder.h"
#include "kivlib/KivFileStream.h"

class IFileMaker {
public:
    // Creates or truncates; empty when that fails.
    virtual boost::shared_ptr<IBlockingStream> OpenForWrite(const std::wstring& path) = 0;
    // An existing file; empty when it cannot be opened.
    virtual boost::shared_ptr<IBlockingStream> OpenForRead(const std::wstring& path) = 0;
    // A file or a folder exists at path.
    virtual bool Exists(const std::wstring& path) = 0;
    // Local time of the last modification as YYYY-MM-DD HH:MM:SS; empty when it cannot be read.
    virtual std::string GetModifiedTime(const std::wstring& path) = 0;
    // Throws std::runtime_error "File could not be opened".
    virtual uint64_t GetFileSize(const std::wstring& path) = 0;
    // True; throws std::runtime_error "Deletion failed for file: " + path.
    virtual bool DeleteFile(const std::wstring& path) = 0;
    // An existing folder counts as success; throws "Creation failed for directory: " + path.
    virtual void MakeDirectory(const std::wstring& path) = 0;
    // The folder must be empty; throws "Removal failed for directory: " + path.
    virtual void RemoveDirectory(const std::wstring& path) = 0;

protected:
    ~IFileMaker() = default;
};

class FileMaker final : public IFileMaker, public KivDeleter {
public:
    static boost::shared_ptr<IFileMaker> GetInstance();

    boost::shared_ptr<IBlockingStream> OpenForWrite(const std::wstring& path) override;
    boost::shared_ptr<IBlockingStream> OpenForRead(const std::wstring& path) override;
    bool Exists(const std::wstring& path) override;
    std::string GetModifiedTime(const std::wstring& path) override;
    uint64_t GetFileSize(const std::wstring& path) override;
    bool DeleteFile(const std::wstring& path) override;
    void MakeDirectory(const std::wstring& path) override;
    void RemoveDirectory(const std::wstring& path) override;
    void Destroy() override { delete this; }

private:
    FileMaker() = default;
    ~FileMaker() = default;
};

// YYYY-MM-DD HH:MM:SS of a broken-down local time.
std::string FormatFileTime(const struct tm& time);

class IKivFileFinderFactory {
public:
    virtual boost::shared_ptr<IKivFileFinder> CreateFinder() = 0;

protected:
    ~IKivFileFinderFactory() = default;
};

class KivFileFinderFactory : public IKivFileFinderFactory {
public:
    boost::shared_ptr<IKivFileFinder> CreateFinder() override;
};
