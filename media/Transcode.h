// The transcoders: one run of ffmpeg each, watched without blocking.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "media/ITranscode.h"

class KivProcess;
class ITimer;
class IMetadataFactory;
class IBlockingStream;

class Transcode final : public ITranscode, public KivDeleter {
public:
    // Empty when ffmpeg could not be started.
    static boost::shared_ptr<ITranscode> GetInstance(const TranscodeParams& params, IState* state);

    bool IsRunning() override;
    bool HasFailed() override { return failed_; }
    std::string ReadOutput() override;
    void BeginStop() override;
    int OutputFd() override;
    bool OutputLeft() override;
    long ForwardOutput(int target) override;
    int OutputPipe() override;
    void OutputHandedOver() override;
    void Destroy() override { delete this; }

private:
    Transcode(const TranscodeParams& params, IState* state);
    ~Transcode();
    bool Start();
    void Ended(int state, int code);

    TranscodeParams params_;
    boost::shared_ptr<KivProcess> process_;
    bool running_ = false;
    bool failed_ = false;
    bool handedOver_ = false;  // another program reads the output
    bool untouched_ = true;    // nothing read from the output yet
    IState* state_;
};

class TranscodeFromStdin final : public ITranscodeFromStdin, public KivDeleter {
public:
    static boost::shared_ptr<ITranscodeFromStdin> GetInstance(
        const TranscodeParams& params, boost::shared_ptr<KivProcess> process = boost::shared_ptr<KivProcess>(),
        boost::shared_ptr<ITimer> timer = boost::shared_ptr<ITimer>());

    bool IsRunning() override { return running_; }
    bool HasFailed() override { return failed_; }
    void Write(const std::string& bytes) override;
    uint32_t GetElapsedMs() override;
    void Finish() override;
    uint64_t GetBytesWritten() override { return bytesWritten_; }
    void Destroy() override { delete this; }

private:
    TranscodeFromStdin(const TranscodeParams& params, boost::shared_ptr<KivProcess> process, boost::shared_ptr<ITimer> timer);
    ~TranscodeFromStdin();
    bool Start();

    TranscodeParams params_;
    boost::shared_ptr<KivProcess> process_;
    boost::shared_ptr<ITimer> timer_;
    // Read by status requests while the worker feeds.
    std::atomic<uint64_t> bytesWritten_{0};
    bool running_ = false;
    bool failed_ = false;
};

class TranscodeFileToFile final : public ITranscodeFileToFile, public KivDeleter {
public:
    static boost::shared_ptr<ITranscodeFileToFile> GetInstance(
        const TranscodeParams& params, boost::shared_ptr<KivProcess> process = boost::shared_ptr<KivProcess>(),
        boost::shared_ptr<ITimer> timer = boost::shared_ptr<ITimer>(),
        boost::shared_ptr<IMetadataFactory> metadata = boost::shared_ptr<IMetadataFactory>());

    bool IsRunning() override { return running_; }
    bool HasFailed() override { return failed_; }
    void Poll() override;
    uint32_t GetElapsedMs() override;
    double GetProgress() override { return progress_; }
    void Destroy() override { delete this; }

    // Takes the last complete progress report ("time=HH:MM:SS.ss" or "time=S.ss", then white space) out
    // of buffer: its seconds, with buffer cut after the white space. False (buffer kept) when there is none.
    static bool TakeProgress(std::string& buffer, double& seconds);

private:
    TranscodeFileToFile(const TranscodeParams& params, boost::shared_ptr<KivProcess> process,
                        boost::shared_ptr<ITimer> timer, boost::shared_ptr<IMetadataFactory> metadata);
    ~TranscodeFileToFile();
    bool Start();

    TranscodeParams params_;
    boost::shared_ptr<KivProcess> process_;
    boost::shared_ptr<ITimer> timer_;
    boost::shared_ptr<IMetadataFactory> metadata_;
    double duration_ = 0;
    std::atomic<double> progress_{0};  // read by status requests while the worker polls
    bool running_ = false;
    bool failed_ = false;
    std::string stderrBuffer_;
    std::wstring logPath_;
    boost::shared_ptr<IBlockingStream> log_;
};

class TranscodeFactory final : public ITranscodeFactory, public KivDeleter {
public:
    static boost::shared_ptr<ITranscodeFactory> GetInstance();

    boost::shared_ptr<ITranscode> CreateTranscode(const TranscodeParams& params, IState* state) override;
    boost::shared_ptr<ITranscodeFromStdin> CreateTranscodeFromStdin(const TranscodeParams& params) override;
    boost::shared_ptr<ITranscodeFileToFile> CreateTranscodeFileToFile(const TranscodeParams& params) override;
    void Destroy() override { delete this; }

private:
    TranscodeFactory() = default;
    ~TranscodeFactory() = default;
};
