// The offline conversion queue as the worker and the HTTP interface see it.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "media/TranscodeParams.h"

enum ConversionState { Queued = 0, Active = 1, Finished = 2 };

// One row of the status list.
struct ConversionStatus {
    std::wstring SrcVirtualPath;
    std::wstring FilePath;  // finished rows only
    std::wstring ClientIdentifier;
    std::string DstVirtualPath;  // finished rows only
    ConversionState state = Queued;
    uint64_t TotalBytes = 0;      // finished rows only
    double elapsedSeconds = 0;    // the active row only
    double percentComplete = 0;   // the active row only, 0 to 100
};

// One queued request.
struct OfflineJob {
    TranscodeParams Params;
    std::string SrcVirtualPath;  // UTF-8, the video's path as the client named it
    std::string DstVirtualPath;  // UTF-8, the URL path of the converted file
};

class IOfflineTranscode {
public:
    // Appends a job; false when the queue is full.
    virtual bool Enqueue(const std::string& srcVirtualPath, const std::string& dstVirtualPath,
                         const TranscodeParams& params) = 0;
    // Moves the queue one step (worker thread); true when it did work that calls for another step at once.
    virtual bool Pump() = 0;
    // The queued jobs (the front one Active), then the finished conversions of the state store.
    virtual std::list<ConversionStatus> GetConversions() = 0;
    // Cancels the first job whose source virtual path is this one.
    virtual void Cancel(const std::wstring& srcVirtualPath) = 0;

protected:
    ~IOfflineTranscode() = default;
};
