// The segmenter: one run of the segment cutter fed with a transcoder's output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

enum SegmenterSendResult {
    MSG_OK = 0,           // the bytes went into the segmenter's input
    MSG_SEND_FAILED = 3,  // the segmenter is gone
};

class ISegmenter {
public:
    virtual int Send(const void* bytes, size_t length) = 0;
    // How many segments the program has closed whole so far, as it reported them (taken without waiting).
    // False once the program has ended on its own with a failure; why then says what went wrong.
    virtual bool TakeClosed(uint32_t& closedCount, std::string& why) = 0;
    // The input is complete: closes it and waits up to ms for the program to cut the rest and end. False
    // when it did not end cleanly (why says what went wrong); closedCount is the final count either way.
    virtual bool Finish(uint32_t ms, uint32_t& closedCount, std::string& why) = 0;
    // Tells the program to end at once without waiting for it (its files are of no further use); the
    // release then only waits for its end, so two programs told together end together.
    virtual void BeginStop() = 0;
    // A descriptor that becomes readable when the program reports a file closed (or ends), to sleep on;
    // -1 when there is none to offer. Valid until the next call (a watcher takes its own copy at once).
    virtual int ReportFd() { return -1; }
    // The write end of the program's input, for a transcoder to move its output into; -1 when there
    // is none (then Send is the way in).
    virtual int InputFd() { return -1; }
    // For a program that reads its input straight from the transcoder: it may close files until
    // closedCount of them are closed, and then waits before it writes into the next (so does the
    // transcoder once the pipe between them is full). Never lowers what was allowed. Nothing where the
    // input comes through Send, which paces the program by itself.
    virtual void AllowUpTo(uint32_t /*closedCount*/) {}

protected:
    ~ISegmenter() = default;
};

class ISegmenterFactory {
public:
    // Files prefix-n.ts for n = firstNumber on, segmentSeconds each; empty when the program cannot start.
    virtual boost::shared_ptr<ISegmenter> CreateSegmenter(uint32_t segmentSeconds, const std::wstring& prefix,
                                                          const std::wstring& playlist, const std::wstring& urlBase,
                                                          uint32_t firstNumber) = 0;
    // The same, with the program reading its stream straight from input (the read end of the
    // transcoder's output pipe, which the caller keeps) and paced by AllowUpTo; empty when this cannot be
    // done here (then CreateSegmenter and Send).
    virtual boost::shared_ptr<ISegmenter> CreateSegmenterReading(int /*input*/, uint32_t /*segmentSeconds*/,
                                                                 const std::wstring& /*prefix*/,
                                                                 const std::wstring& /*playlist*/,
                                                                 const std::wstring& /*urlBase*/,
                                                                 uint32_t /*firstNumber*/) {
        return boost::shared_ptr<ISegmenter>();
    }

protected:
    ~ISegmenterFactory() = default;
};

// The number of Segmenter objects alive; the worker polls quickly while it is above zero.
int32_t GetLiveSegmenterCount();
