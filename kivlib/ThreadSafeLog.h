// The process-wide log writer: one file, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

class ThreadSafeLog {
public:
    // The size at which the log file is moved aside to "<path>.1" and a new one begun.
    static constexpr uint64_t kRotateAtBytes = 10 * 1024 * 1024;

    // Opens (appends to) the log file; empty when it cannot be opened.
    static boost::shared_ptr<ThreadSafeLog> GetInstance(const std::wstring& path);
    virtual ~ThreadSafeLog() = default;

    // One entry: time stamp, thread, source file and line, then the message and a line feed.
    virtual void Log(const std::string& message, const char* sourceFile, int line) = 0;
    // Appends raw bytes as they are, with no entry head.
    virtual void LogBuffer(const char* bytes, size_t length) = 0;
};
