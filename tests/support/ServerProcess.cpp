#include "support/ServerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "support/TestSupport.h"

namespace testsupport {

ServerProcess::ServerProcess(std::string dataHome) : dataHome_(std::move(dataHome)) {}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdoutFd_ >= 0) close(stdoutFd_);
    if (stderrFd_ >= 0) close(stderrFd_);
}

bool ServerProcess::Start(const std::vector<std::string>& arguments) {
    const std::string program = program_.empty() ? BinDir() + "/calvoro" : program_;
    int out[2], err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (captureStderr_ && pipe2(err, O_CLOEXEC) != 0) return false;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        // A variable the test sets for this start replaces the one this process has.
        bool replaced = false;
        for (const auto& extra : extraEnv_) replaced |= entry.rfind(extra.substr(0, extra.find('=') + 1), 0) == 0;
        if (replaced) continue;
        // The server quiets the DNS-SD library's notice itself: the tests do not do it for it.
        if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("XDG_DATA_HOME=", 0) == 0 ||
            entry.rfind("CALVORO_MASTER_HOST=", 0) == 0 || entry.rfind("AVAHI_COMPAT_NOWARN=", 0) == 0)
            continue;
        env.push_back(entry);
    }
    env.push_back("XDG_DATA_HOME=" + dataHome_);
    // The server's master-server contacts go to a closed port on loopback unless the test names a master
    // of its own, so no test ever looks up the built-in host.
    bool masterNamed = false;
    for (const auto& e : extraEnv_) masterNamed |= e.rfind("CALVORO_MASTER_HOST=", 0) == 0;
    if (!masterNamed) env.push_back("CALVORO_MASTER_HOST=127.0.0.1:1");
    env.insert(env.end(), extraEnv_.begin(), extraEnv_.end());
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    exitStatus_ = -1;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        dup2(out[1], 1);
        if (err[1] >= 0) dup2(err[1], 2);
        rlimit files{};
        if (softOpenFiles_ > 0 && getrlimit(RLIMIT_NOFILE, &files) == 0) {
            files.rlim_cur = softOpenFiles_;
            setrlimit(RLIMIT_NOFILE, &files);
        }
        if (openFiles_ > 0) {
            files.rlim_cur = files.rlim_max = openFiles_;
            setrlimit(RLIMIT_NOFILE, &files);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    stdoutFd_ = out[0];
    fcntl(stdoutFd_, F_SETFL, O_NONBLOCK);
    if (err[1] >= 0) {
        close(err[1]);
        stderrFd_ = err[0];
        fcntl(stderrFd_, F_SETFL, O_NONBLOCK);
    }
    return true;
}

void ServerProcess::Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

bool ServerProcess::WaitExit(std::chrono::milliseconds timeout, int* status) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!Reaped()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (status) *status = exitStatus_;
    return true;
}

bool ServerProcess::Running() { return pid_ > 0 && !Reaped(); }

bool ServerProcess::Reaped() {
    if (pid_ <= 0) return true;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
    pid_ = -1;
    exitStatus_ = st;
    Drain();
    return true;
}

void ServerProcess::Drain() {
    char buffer[4096];
    ssize_t n;
    if (stdoutFd_ >= 0)
        while ((n = read(stdoutFd_, buffer, sizeof(buffer))) > 0) stdout_.append(buffer, static_cast<size_t>(n));
    if (stderrFd_ >= 0)
        while ((n = read(stderrFd_, buffer, sizeof(buffer))) > 0) stderr_.append(buffer, static_cast<size_t>(n));
}

std::string ServerProcess::Stdout() {
    Drain();
    return stdout_;
}

std::string ServerProcess::Stderr() {
    Drain();
    return stderr_;
}

std::string ServerProcess::LogText() const { return ReadFile(DataFolder() + "/CalvoroLog.txt"); }

bool ServerProcess::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (LogText().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (!proc) return children;
    while (dirent* entry = readdir(proc)) {
        const pid_t candidate = static_cast<pid_t>(atoi(entry->d_name));
        if (candidate <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // Fields after the command (which may hold blanks) start after the last ')'.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        char state;
        pid_t parent;
        rest >> state >> parent;
        if (parent == pid && state != 'Z') children.push_back(candidate);
    }
    closedir(proc);
    return children;
}

}  // namespace testsupport
