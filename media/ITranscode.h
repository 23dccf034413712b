// The three transcoders and their factory, as the rest of the server sees them.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "media/TranscodeParams.h"

class IState;

class ITranscodeBase {
public:
    virtual bool IsRunning() = 0;
    virtual bool HasFailed() = 0;

protected:
    ~ITranscodeBase() = default;
};

// ffmpeg reading a file and writing an MPEG transport stream to its standard output (stream sessions).
class ITranscode : public ITranscodeBase {
public:
    // What the output pipe holds now (never waits); after the end, the rest of it.
    virtual std::string ReadOutput() = 0;
    // Tells ffmpeg to end at once without waiting for it; the release then only waits for its end, so
    // the transcoder and the segmenter of a run end together.
    virtual void BeginStop() = 0;
    // A descriptor that becomes readable when ReadOutput has something new (output or the end), to
    // sleep on; -1 when there is none to offer. Valid until the next call (a watcher takes its own copy
    // at once).
    virtual int OutputFd() { return -1; }
    // After ReadOutput: whether more output may be waiting now. False once a read found the pipe
    // emptied: more comes only as new output, which its descriptor reports.
    virtual bool OutputLeft() { return true; }
    // Moves what the output pipe holds now straight into target (a pipe) without a copy through us;
    // never waits. The bytes moved (OutputLeft() tells then whether more waits), 0 when nothing
    // waits, -1 when the caller must use ReadOutput instead (no such move here, the target full, or
    // the output's end, which ReadOutput reports).
    virtual long ForwardOutput(int /*target*/) { return -1; }
    // The read end of the output pipe while nothing has been read from it, for another program to read
    // straight from; -1 when there is none.
    virtual int OutputPipe() { return -1; }
    // Another program now reads the output (given OutputPipe at its start): ours is closed, nothing is
    // read here any more, IsRunning looks at the program itself, and OutputFd reports its end.
    virtual void OutputHandedOver() {}

protected:
    ~ITranscode() = default;
};

// ffmpeg reading the source from its standard input and writing a QuickTime file.
class ITranscodeFromStdin : public ITranscodeBase {
public:
    virtual void Write(const std::string& bytes) = 0;
    virtual uint32_t GetElapsedMs() = 0;
    // Ends the input and waits for ffmpeg; throws std::runtime_error on failure.
    virtual void Finish() = 0;
    virtual uint64_t GetBytesWritten() = 0;

protected:
    ~ITranscodeFromStdin() = default;
};

// ffmpeg reading a file and writing a QuickTime file, reporting its progress.
class ITranscodeFileToFile : public ITranscodeBase {
public:
    // One look at the run; never waits.
    virtual void Poll() = 0;
    virtual uint32_t GetElapsedMs() = 0;
    // Percent of the source's duration done, from ffmpeg's last "time=" report.
    virtual double GetProgress() = 0;

protected:
    ~ITranscodeFileToFile() = default;
};

class ITranscodeFactory {
public:
    virtual boost::shared_ptr<ITranscode> CreateTranscode(const TranscodeParams& params, IState* state) = 0;
    virtual boost::shared_ptr<ITranscodeFromStdin> CreateTranscodeFromStdin(const TranscodeParams& params) = 0;
    virtual boost::shared_ptr<ITranscodeFileToFile> CreateTranscodeFileToFile(const TranscodeParams& params) = 0;

protected:
    ~ITranscodeFactory() = default;
};
