// The pieces of the process log: how it is opened, and the system report's line helpers and writer,
// apart from the machine's facts so that each can be tested on its own. Every report helper writes
// through the log it is given.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

class IState;
class ThreadSafeLog;
namespace sysfacts {
struct SystemFacts;
}

// The log of the process: the file "/CalvoroLog.txt" in the per-user data folder, or standard error when
// there is no data folder or the file cannot be opened; never empty. path is set to the file's path, or
// emptied when no data folder could be made.
boost::shared_ptr<ThreadSafeLog> OpenProcessLog(std::wstring& path);

// Three entries: "", the title, "--".
void LogSectionHeader(ThreadSafeLog& log, const std::string& title);
// "%30s %-30s": the label right-aligned in 30 columns, a blank, the value left-aligned in 30.
void LogField(ThreadSafeLog& log, const std::string& label, const std::string& text);
void LogIntField(ThreadSafeLog& log, const std::string& label, int32_t value);
void LogFloatField(ThreadSafeLog& log, const std::string& label, double value);

// Every section of the report, the "State" one last.
void WriteSystemReport(ThreadSafeLog& log, const sysfacts::SystemFacts& facts, IState* state);
// The lines of the "State" section after its header; nothing without a state store.
void LogStateSection(ThreadSafeLog& log, IState* state);
