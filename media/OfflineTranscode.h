// The offline conversion queue: converts queued videos one at a time into the cache folder, one small
// step per idle pass of the worker, and records each finished conversion in the state store.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "media/IOfflineTranscode.h"
#include "media/ITranscode.h"

class IState;
class IFileMaker;
class IBlockingStream;
class KivThreadMutex;

class OfflineTranscode final : public IOfflineTranscode, public KivDeleter {
public:
    // Empty when the queue's lock cannot be made.
    static boost::shared_ptr<IOfflineTranscode> GetInstance(IState* state, ITranscodeFactory* factory,
                                                            IFileMaker* files);

    bool Enqueue(const std::string& srcVirtualPath, const std::string& dstVirtualPath,
                 const TranscodeParams& params) override;
    bool Pump() override;
    std::list<ConversionStatus> GetConversions() override;
    void Cancel(const std::wstring& srcVirtualPath) override;
    void Destroy() override { delete this; }

    // Jobs that may wait in the queue, the running one included.
    static constexpr size_t kMaxJobs = 100;
    // Inputs that ffmpeg reads itself (it must seek in them); the others are fed on standard input.
    static bool RunsFileToFile(const std::wstring& inputPath);

private:
    OfflineTranscode(IState* state, ITranscodeFactory* factory, IFileMaker* files);
    ~OfflineTranscode();

    bool FeedStdinRun();
    bool PollFileToFileRun();
    bool StartFrontJob();
    // Releases the running conversion (stopping its ffmpeg) outside the lock.
    void ReleaseRun();
    void FinishJob(bool succeeded);
    double StdinPercent();

    boost::shared_ptr<KivThreadMutex> lock_;
    boost::shared_ptr<ITranscodeFromStdin> stdinRun_;
    boost::shared_ptr<ITranscodeFileToFile> fileRun_;
    boost::shared_ptr<IBlockingStream> source_;
    std::list<OfflineJob> queue_;
    IState* state_;
    ITranscodeFactory* factory_;
    IFileMaker* files_;
    uint64_t sourceSize_ = 0;
    std::atomic<bool> cancel_{false};
};
