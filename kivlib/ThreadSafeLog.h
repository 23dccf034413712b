// The process-wide log writer: one file, any thread.
#pragma once

#include <cstddef>
#include <string>

#include <boost/shared_ptr.hpp>

class ThreadSafeLog {
public:
    // Opens (appends to) the log file; empty when it cannot be opened.
    static boost::shared_ptr<ThreadSafeLog> GetInstance(const std::wstring& path);
    virtual ~ThreadSafeLog() = default;

    // One entry: time stamp, thread, source file and line, then the message and a line feed.
    virtual void Log(const std::string& message, const char* sourceFile, int line) = 0;
    // Appends raw bytes as they are, with no entry head.
    virtual void LogBuffer(const char* bytes, size_t length) = 0;
};
