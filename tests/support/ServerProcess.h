// Runs the real calvoro binary for end-to-end tests: its own data folder, no display, standard output
// captured, and signals to end it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

class ServerProcess {
public:
    // dataHome becomes XDG_DATA_HOME; the server's data folder is dataHome + "/Calvoro".
    explicit ServerProcess(std::string dataHome);
    ~ServerProcess();  // SIGKILL and reap when still running

    // Adds NAME=value to the environment of the next start (for a windowed start: DISPLAY).
    void SetEnvironment(const std::string& name, const std::string& value) { extraEnv_.push_back(name + "=" + value); }
    // Runs this program file instead of bin/calvoro (a copy in a folder of its own).
    void SetProgram(const std::string& path) { program_ = path; }
    // Standard error of the next start goes to a pipe that Stderr() reads, instead of the test's own.
    void CaptureStderr() { captureStderr_ = true; }
    // Starts bin/calvoro with the arguments; false when it could not be started.
    bool Start(const std::vector<std::string>& arguments = {"-s"});
    // The soft open-file limit the server starts with (as a desktop session hands it on); 0 keeps ours.
    void SetSoftOpenFileLimit(unsigned long limit) { softOpenFiles_ = limit; }
    // Both open-file limits the server starts with (it cannot raise them), so its connection cap follows; 0 keeps ours.
    void SetOpenFileLimit(unsigned long limit) { openFiles_ = limit; }
    void Signal(int signal);
    // Waits up to timeout for the process to end; true with its exit status when it ended (also when
    // Running found it ended before).
    bool WaitExit(std::chrono::milliseconds timeout, int* status = nullptr);
    // False once the process has ended; it is then reaped, and no signal goes to its id any more.
    bool Running();
    pid_t Pid() const { return pid_; }

    // Everything it wrote to standard output so far.
    std::string Stdout();
    // Everything it wrote to standard error so far (with CaptureStderr).
    std::string Stderr();
    std::string DataFolder() const { return dataHome_ + "/Calvoro"; }
    std::string LogText() const;
    // Polls the log until it holds text, up to timeout.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    void Drain();
    // Reaps the process if it has ended (its status kept); true when it has.
    bool Reaped();
    std::string dataHome_;
    // -1 once reaped: the id may then be another process's, which no signal of ours may reach.
    pid_t pid_ = -1;
    int exitStatus_ = -1;
    int stdoutFd_ = -1;
    std::string stdout_;
    bool captureStderr_ = false;
    int stderrFd_ = -1;
    std::string stderr_;
    std::vector<std::string> extraEnv_;
    std::string program_;
    unsigned long softOpenFiles_ = 0;
    unsigned long openFiles_ = 0;
};

// Process ids of the living children of pid (from /proc).
std::vector<pid_t> ChildrenOf(pid_t pid);

}  // namespace testsupport
