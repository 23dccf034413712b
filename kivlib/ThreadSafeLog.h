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

    // One entry: time stamp, thread, source file and line, then the message (as LogEntryMessage makes
    // it) and a line feed. An entry is always exactly one line, and begins one.
    virtual void Log(const std::string& message, const char* sourceFile, int line) = 0;
    // Appends bytes with no entry head, as LogBufferText makes them: their own lines kept, each marked.
    virtual void LogBuffer(const char* bytes, size_t length) = 0;
};

// The message as an entry shows it: one line of valid UTF-8. A line feed at its very end is the end of
// the entry's line; every other control byte, and ill-formed UTF-8, is escaped (kivm::EscapeForLog),
// so text from outside can never end an entry early nor write a line of its own.
std::string LogEntryMessage(const std::string& message);
// Bytes another program wrote (its own lines, such as a child's error output) as the log takes them:
// valid UTF-8, control bytes but LF escaped, and each line begun with "| ", so none of them can pass
// for an entry. atLineStart says whether the log's last byte ended a line, and is updated.
extern const char* const kLogBufferLineMark;
std::string LogBufferText(const char* bytes, size_t length, bool& atLineStart);
