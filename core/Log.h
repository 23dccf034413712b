// The process-wide log and the system report written before an issue report.
#pragma once

#include <string>

#include "kivlib/ThreadSafeLog.h"

class IState;

// The process-wide log; made on first use, never null (with no log file, entries go to standard error).
ThreadSafeLog* GetLog();
// The log file: the per-user data folder + "/CalvoroLog.txt"; empty when no data folder could be made.
std::wstring GetLogFilePath();
// The state store whose contents the system report lists.
void SetLogState(IState* state);
// Writes the system report into the log.
void LogSystemInformation();

// Text that came with a request as the log shows it: whole up to 1 KiB; longer, its first KiB (cut at a
// character boundary) and a note of its full length, so no client can fill the log.
std::string LogExcerpt(const std::string& text);
const size_t kLogExcerptBytes = 1024;
// Text from outside on a line of standard output: escaped as the log escapes it (one line, valid UTF-8)
// and cut at 1 KiB of output with a note of its full length, so no request can flood standard output.
std::string ConsoleExcerpt(const std::string& text);

// ".\Name" for a source file path such as ".../core/Worker.cpp".
const char* LogSourceName(const char* filePath);

// Log entries name their component: the calling file's name, unless a file of a component that spans
// several files redefines KIV_LOG_SOURCE (after its includes) to the component's name.
#define KIV_LOG_SOURCE __FILE__
#define KIV_LOG(message) GetLog()->Log((message), LogSourceName(KIV_LOG_SOURCE), __LINE__)
