// Child processes on Linux.
//
// Every child is forked by one of two long-lived threads of ours (the spawners): the kernel sends the
// parent-death signal when the *thread* that forked a child ends, so a child forked by a short-lived
// connection thread would otherwise be killed with that thread. Two, so that two programs started at
// the same time (a transcoder and its segmenter) do not wait for each other. The child is made with vfork: it
// borrows the server's memory until its exec instead of copying the page tables of the whole server,
// which took tens of milliseconds per program on a busy machine. Between vfork and exec the child
// therefore makes only async-signal-safe system calls and writes no memory of ours; the spawner
// thread is suspended meanwhile, the server's other threads go on. Every descriptor we make is close-on-exec, and the child closes every descriptor
// above 2 before exec as well, so it gets nothing but its standard streams.
#include "kivlib/KivProcess.h"
#include "kivlib/PosixFd.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// How long a read to the end waits for the end of a stream once the child itself has ended: a
// descendant that inherited the pipe and keeps it open must not hold the caller for ever.
constexpr int kEndedStreamGraceMs = 1000;
// Poll slice when no process descriptor is available to wake us when the child ends.
constexpr int kFallbackSliceMs = 10;
constexpr size_t kReadChunk = 64 * 1024;
// At most this much is taken from one pipe per look, so a child that writes as fast as we read
// cannot keep a non-blocking call from returning.
constexpr size_t kDrainLimit = 16 * kReadChunk;
// The highest descriptor a child can be given: 0 to 2, and 3 when the caller hands one over.
constexpr int kLastChildFd = 3;

using Fd = kivposix::UniqueFd;

bool MakePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

// A descriptor the child moves onto 0 to 3 must not itself be one of those (a server started with a
// closed standard stream hands those numbers out), or one dup2 would overwrite another's source.
bool MoveAboveChildFds(Fd& fd) {
    if (fd.get() > kLastChildFd) return true;
    int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, kLastChildFd + 1);
    if (moved < 0) return false;
    fd.reset(moved);
    return true;
}

// A read end of its own for a child, blocking as a program expects its input to be. Ours (non-blocking,
// say) shares its flags with every duplicate, so a pipe is opened anew: that gives a separate open file.
// Invalid when that cannot be done. Anything but a pipe is duplicated.
Fd OwnReadEnd(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return Fd();
    if (!S_ISFIFO(st.st_mode)) return Fd(fcntl(fd, F_DUPFD_CLOEXEC, kLastChildFd + 1));
    // Non-blocking for the open itself: a pipe whose writers are gone must not hold it.
    Fd reopened(open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const int flags = reopened.valid() ? fcntl(reopened.get(), F_GETFL) : -1;
    if (flags < 0 || fcntl(reopened.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return Fd();
    return reopened;
}

// Our environment with the given variables set (replacing ours of the same names), as execve takes it.
struct ChildEnvironment {
    explicit ChildEnvironment(const std::vector<std::pair<std::string, std::string>>& set) {
        if (set.empty()) return;
        for (char** entry = environ; entry && *entry; ++entry) {
            const std::string text(*entry);
            bool replaced = false;
            for (const auto& variable : set)
                replaced = replaced || text.compare(0, variable.first.size() + 1, variable.first + "=") == 0;
            if (!replaced) texts.push_back(text);
        }
        for (const auto& variable : set) texts.push_back(variable.first + "=" + variable.second);
        for (std::string& text : texts) pointers.push_back(&text[0]);
        pointers.push_back(nullptr);
    }
    char* const* Get() const { return pointers.empty() ? environ : pointers.data(); }

    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

bool SetNonBlocking(const Fd& fd) {
    int flags = fcntl(fd.get(), F_GETFL);
    return flags >= 0 && fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

// Called through syscall(2): glibc 2.36's <sys/pidfd.h> cannot be included from C++.
int OpenPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
bool SendThroughPidfd(int pidfd, int sig) { return syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0; }

int CappedMs(Clock::duration left) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
}

// ---------------------------------------------------------------------------------------------
// Fork and exec

// Everything the child needs, prepared before the fork: the child may not allocate.
struct SpawnJob {
    const char* path = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    int childFds[kLastChildFd + 1] = {-1, -1, -1, -1};  // become the child's 0 to 3; 3 only when given
    int reportFd = -1;               // close-on-exec; the child writes errno here when it cannot exec
    int maxFd = 0;                   // upper bound for closing descriptors one by one
    int netNamespaceFd = -1;         // the starting thread's network namespace; -1 when unknown
    pid_t pid = -1;
    int forkError = 0;
    bool done = false;
};

[[noreturn]] void ChildFail(int reportFd) {
    int error = errno;
    ssize_t ignored = write(reportFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

void ChildCloseInherited(const SpawnJob& job) {
    const unsigned from = job.childFds[kLastChildFd] >= 0 ? kLastChildFd + 1 : kLastChildFd;
    const unsigned keep = static_cast<unsigned>(job.reportFd);  // above every child descriptor
    bool closed = (keep <= from || close_range(from, keep - 1, 0) == 0) && close_range(keep + 1, ~0U, 0) == 0;
    if (!closed) {
        for (int fd = static_cast<int>(from); fd < job.maxFd; ++fd)
            if (fd != job.reportFd) close(fd);
    }
}

void ChildResetSignals() {
    // Dispositions the server set (SIGPIPE ignored, handlers) must not reach the program, and the
    // spawner's blocked mask must not either: a child that cannot see SIGTERM cannot be stopped gently.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &byDefault, nullptr);  // SIGKILL, SIGSTOP: EINVAL
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void RunChild(const SpawnJob& job, pid_t parent) {
    // Async-signal-safe calls only from here on.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) ChildFail(job.reportFd);
    if (getppid() != parent) _exit(127);  // the server died before the signal was armed
    for (int target = 0; target <= kLastChildFd; ++target)
        if (job.childFds[target] >= 0 && dup2(job.childFds[target], target) < 0) ChildFail(job.reportFd);
    ChildCloseInherited(job);
    ChildResetSignals();
    execve(job.path, job.argv, job.envp);
    ChildFail(job.reportFd);
}

// Starts a thread running loop with every signal blocked (it inherits the mask); false when none can be had.
template <typename Loop>
bool StartQuietThread(Loop loop) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = false;
    try {
        std::thread(loop).detach();
        started = true;
    } catch (const std::system_error&) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

// The one T (with its threads) of the calling process, made on first use and never destroyed. A process
// made by fork() of ours (a test, say) does not have the parent's threads, so it gets one of its own; the
// parent's object is left untouched.
template <typename T>
T* OfThisProcess() {
    static std::atomic<T*> current{nullptr};
    const pid_t self = getpid();
    T* object = current.load(std::memory_order_acquire);
    while (object == nullptr || object->owner_ != self) {
        T* fresh = new T(self);
        if (current.compare_exchange_strong(object, fresh, std::memory_order_acq_rel)) return fresh;
        delete fresh;  // another thread was first; object now holds its one
    }
    return object;
}

// The threads that fork every child of this process. They live as long as the process, with every
// signal blocked, and are never joined: made on first use and deliberately never destroyed.
class Spawner {
public:
    static Spawner* ForThisProcess() { return OfThisProcess<Spawner>(); }
    explicit Spawner(pid_t owner) : owner_(owner) {}
    const pid_t owner_;

    // Forks the job's child on a spawner thread; false when no such thread can be had.
    bool Run(SpawnJob& job) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (threads_ < kThreads && StartQuietThread([this] { Loop(); })) ++threads_;
        if (threads_ == 0) return false;
        queue_.push_back(&job);
        changed_.notify_all();
        changed_.wait(lock, [&] { return job.done; });
        return true;
    }

private:
    static constexpr int kThreads = 2;

    void Loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty(); });
            SpawnJob* job = queue_.front();
            queue_.pop_front();
            lock.unlock();
            Fork(*job);
            lock.lock();
            job->done = true;
            changed_.notify_all();
        }
    }

    // A child is born in the network namespace of the thread that starts it, as a fork of that thread's
    // own would be: a thread that entered another namespace (setns) takes the spawner there first.
    // False (errno set) where that cannot be done: the child is then not started, rather than started
    // in a network it was not meant to reach.
    static bool FollowNetNamespace(const SpawnJob& job) {
        if (job.netNamespaceFd < 0) return true;
        struct stat wanted, own;
        if (fstat(job.netNamespaceFd, &wanted) != 0 || stat("/proc/thread-self/ns/net", &own) != 0) return false;
        if (wanted.st_ino == own.st_ino && wanted.st_dev == own.st_dev) return true;
        return setns(job.netNamespaceFd, CLONE_NEWNET) == 0;
    }

    static void Fork(SpawnJob& job) {
        if (!FollowNetNamespace(job)) {
            job.pid = -1;
            job.forkError = errno ? errno : EINVAL;
            return;
        }
        const pid_t parent = getpid();
        // Returns in the parent once the child has run exec (or failed and ended), so the exec report
        // can be read at once.
        const pid_t pid = vfork();
        if (pid == 0) RunChild(job, parent);
        job.pid = pid;
        job.forkError = pid < 0 ? errno : 0;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<SpawnJob*> queue_;
    int threads_ = 0;
};

// Waits for the children handed to it (each already sent SIGKILL), so that releasing a process object
// need not wait for its child's end and no child is left a zombie. One thread, made on first use.
class Reaper {
public:
    static Reaper* ForThisProcess() { return OfThisProcess<Reaper>(); }
    explicit Reaper(pid_t owner) : owner_(owner) {}
    const pid_t owner_;

    // False when the thread cannot be had: the caller then waits itself.
    bool Take(pid_t pid) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_) started_ = StartQuietThread([this] { Loop(); });
        if (!started_) return false;
        queue_.push_back(pid);
        changed_.notify_one();
        return true;
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty(); });
            const pid_t pid = queue_.front();
            queue_.pop_front();
            lock.unlock();
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<pid_t> queue_;
    bool started_ = false;
};

int MaxFd() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 16;
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
}

// 0 when the child reached exec (the report pipe closed empty), else the child's errno.
int ReadExecReport(const Fd& reportFd) {
    int error = 0;
    ssize_t n;
    do n = read(reportFd.get(), &error, sizeof error);
    while (n < 0 && errno == EINTR);
    if (n == 0) return 0;
    return n == static_cast<ssize_t>(sizeof error) ? error : EIO;
}

// Blocks SIGPIPE on the calling thread while it writes to a pipe, so a reader that is gone shows up
// as EPIPE even when the process does not ignore SIGPIPE (net_init does), and takes back the signal
// that the failed write left pending.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &previous_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeGuard() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

    void TakeBackSignal() {
        if (wasPending_) return;  // not ours to take
        const struct timespec now = {0, 0};
        while (sigtimedwait(&pipeSet_, nullptr, &now) < 0 && errno == EINTR) {
        }
    }

private:
    sigset_t pipeSet_;
    sigset_t previous_;
    bool wasPending_ = false;
};

// ---------------------------------------------------------------------------------------------
// The process object

class PosixProcess final : public KivProcess {
public:
    PosixProcess() = default;
    ~PosixProcess() override {
        if (!started_ || Reap(false)) return;
        Signal(SIGKILL);
        if (background_ && Reaper::ForThisProcess()->Take(pid_)) return;
        Reap(true);
    }

    bool Start(const std::string& program, const std::vector<std::string>& arguments, bool pipeStdout,
               bool pipeStdin, bool pipeStderr) override;
    int Wait(int& exitCode, uint32_t ms) override;
    bool Stop(bool gentle, uint32_t ms) override;
    void StopInBackground() override;
    int StdoutFd() const override { return out_.fd.get(); }
    bool StdoutEmptied() const override { return out_.emptied; }
    long SpliceStdoutTo(int target) override;
    int StdinFd() const override { return stdin_.get(); }
    bool GiveChild(int childFd, int fd) override;
    bool SetChildVariable(const std::string& name, const std::string& value) override {
        if (started_ || name.empty() || name.find('=') != std::string::npos) return false;
        variables_.emplace_back(name, value);
        return true;
    }
    int EndFd() const override { return ended_ ? -1 : pidfd_.get(); }
    std::string ReadStdout(bool readAll) override { return Read(out_, err_, readAll); }
    std::string ReadStderr(bool readAll) override { return Read(err_, out_, readAll); }
    void WriteStdin(const void* bytes, size_t length) override;
    void CloseStdin() override { stdin_.reset(); }
    void CloseStdout() override {
        out_.fd.reset();
        out_.held.clear();
        out_.emptied = true;
    }
    int GetPid() const override { return started_ ? pid_ : 0; }

private:
    struct Output {
        Fd fd;             // our read end; closed at the end of the stream
        std::string held;  // read from the pipe, not yet handed to the caller
        std::unique_ptr<char[]> block;  // what one read takes, made at the first
        bool emptied = false;           // the last drain left the pipe empty (or the stream ended)
    };

    static void Drain(Output& output);
    bool Reap(bool block);
    bool WaitForEnd(uint32_t ms);
    void ReadToEnd(Output& wanted, Output& other);
    std::string Read(Output& wanted, Output& other, bool readAll);
    void WaitUntilWritable();
    void Signal(int sig);
    size_t AddPollFds(pollfd* fds, bool withPidfd) const;
    int SliceMs(int wanted) const { return pidfd_.valid() ? wanted : std::min(wanted, kFallbackSliceMs); }

    bool started_ = false;
    bool ended_ = false;  // reaped (or lost)
    bool lost_ = false;   // reaped by someone else: no exit code
    bool background_ = false;  // killed; the release leaves the waiting to the reaper
    bool sigpipeIgnored_ = false;  // when the child started; the program sets it once, at its start
    pid_t pid_ = 0;
    int exitCode_ = -1;
    Fd pidfd_;  // readable once the child has ended; absent on kernels without pidfd_open
    int given_[kLastChildFd + 1] = {-1, -1, -1, -1};  // the caller's descriptors for the child (GiveChild)
    std::vector<std::pair<std::string, std::string>> variables_;  // set in the child's environment
    Fd stdin_;
    Output out_;
    Output err_;
};

bool PosixProcess::GiveChild(int childFd, int fd) {
    if (started_ || fd < 0 || (childFd != 0 && childFd != kLastChildFd)) return false;
    given_[childFd] = fd;
    return true;
}

bool PosixProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         bool pipeStdout, bool pipeStdin, bool pipeStderr) {
    if (started_) return false;  // one object, one run
    const std::string path = kiv_resolve_program(program);
    if (path.empty()) return false;

    std::vector<std::string> argvText;
    argvText.reserve(arguments.size() + 1);
    argvText.push_back(path);
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) argv.push_back(&text[0]);
    argv.push_back(nullptr);

    Fd devNull, inRead, inWrite, outRead, outWrite, errRead, errWrite, reportRead, reportWrite;
    if (!(pipeStdin && pipeStdout && pipeStderr)) {
        devNull.reset(open("/dev/null", O_RDWR | O_CLOEXEC));
        if (!devNull.valid()) return false;
    }
    if ((pipeStdin && !MakePipe(inRead, inWrite)) || (pipeStdout && !MakePipe(outRead, outWrite)) ||
        (pipeStderr && !MakePipe(errRead, errWrite)) || !MakePipe(reportRead, reportWrite))
        return false;
    // What the caller gave is duplicated for the child's sake alone, so the caller's own stays as it was.
    Fd givenIn, givenExtra;
    if (!pipeStdin && given_[0] >= 0) givenIn = OwnReadEnd(given_[0]);
    if (given_[kLastChildFd] >= 0) givenExtra.reset(fcntl(given_[kLastChildFd], F_DUPFD_CLOEXEC, kLastChildFd + 1));
    if ((!pipeStdin && given_[0] >= 0 && !givenIn.valid()) || (given_[kLastChildFd] >= 0 && !givenExtra.valid()))
        return false;
    Fd& childIn = pipeStdin ? inRead : givenIn.valid() ? givenIn : devNull;
    Fd& childOut = pipeStdout ? outWrite : devNull;
    Fd& childErr = pipeStderr ? errWrite : devNull;
    for (Fd* fd : {&childIn, &childOut, &childErr, &reportWrite})
        if (!MoveAboveChildFds(*fd)) return false;

    SpawnJob job;
    job.path = path.c_str();
    job.argv = argv.data();
    const ChildEnvironment environment(variables_);
    job.envp = environment.Get();
    job.childFds[0] = childIn.get();
    job.childFds[1] = childOut.get();
    job.childFds[2] = childErr.get();
    job.childFds[kLastChildFd] = givenExtra.get();
    job.reportFd = reportWrite.get();
    job.maxFd = MaxFd();
    const Fd netNamespace(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    job.netNamespaceFd = netNamespace.get();
    if (!Spawner::ForThisProcess()->Run(job) || job.pid < 0) return false;

    // Our copies of the child's ends go at once, so end of stream is seen when the child closes its own.
    devNull.reset();
    givenIn.reset();
    givenExtra.reset();
    inRead.reset();
    outWrite.reset();
    errWrite.reset();
    reportWrite.reset();
    if (ReadExecReport(reportRead) != 0) {
        while (waitpid(job.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return false;
    }

    started_ = true;
    pid_ = job.pid;
    struct sigaction pipeAction {};
    sigpipeIgnored_ = sigaction(SIGPIPE, nullptr, &pipeAction) == 0 && !(pipeAction.sa_flags & SA_SIGINFO) &&
                      pipeAction.sa_handler == SIG_IGN;
    pidfd_.reset(OpenPidfd(pid_));  // close-on-exec by definition
    stdin_ = std::move(inWrite);
    out_.fd = std::move(outRead);
    err_.fd = std::move(errRead);
    for (const Fd* fd : {&stdin_, &out_.fd, &err_.fd})
        if (fd->valid()) SetNonBlocking(*fd);
    return true;
}

void PosixProcess::Drain(Output& output) {
    // Read into the stream's own block and kept as long as it came: growing the held text by a whole
    // block first would clear 64 KiB for every look, most of which find a few bytes or none.
    if (output.fd.valid() && !output.block) output.block.reset(new char[kReadChunk]);
    output.emptied = true;
    for (size_t taken = 0; output.fd.valid() && taken < kDrainLimit;) {
        const ssize_t n = read(output.fd.get(), output.block.get(), kReadChunk);
        if (n > 0) {
            output.held.append(output.block.get(), static_cast<size_t>(n));
            taken += static_cast<size_t>(n);
            // A pipe gives all it holds up to the size asked for: a short read emptied it, and another
            // read would only say so.
            if (static_cast<size_t>(n) < kReadChunk) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        output.fd.reset();  // end of stream, or a read error that would repeat
    }
    // Stopped at the limit with the stream open: more may be waiting.
    if (output.fd.valid()) output.emptied = false;
}

long PosixProcess::SpliceStdoutTo(int target) {
    // Bytes already read must go first, and only a read and write can send them.
    if (!out_.fd.valid() || !out_.held.empty() || target < 0) return -1;
    std::optional<SigpipeGuard> guard;  // a target with no reader raises SIGPIPE, as a write does
    if (!sigpipeIgnored_) guard.emplace();
    ssize_t n;
    do n = splice(out_.fd.get(), nullptr, target, nullptr, kDrainLimit, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    while (n < 0 && errno == EINTR);
    if (n == 0) {  // the end of the output
        out_.fd.reset();
        out_.emptied = true;
        return 0;
    }
    const int error = n < 0 ? errno : 0;
    // Whatever happened, what is left in the pipe now is what the caller is told: a flag kept from an
    // earlier splice that found it empty would have a caller sleep on its descriptor with bytes waiting.
    int left = 0;
    if (ioctl(out_.fd.get(), FIONREAD, &left) != 0) left = 1;
    out_.emptied = left == 0;
    if (n < 0 && error != EAGAIN) {
        if (error == EPIPE && guard) guard->TakeBackSignal();
        return -1;  // the write that follows says what is wrong
    }
    // A short splice or EAGAIN means the output is empty or the target full; what is left says which.
    if (n > 0) return static_cast<long>(n);
    return left == 0 ? 0 : -1;  // a full target: the caller's write waits until it takes bytes again
}

bool PosixProcess::Reap(bool block) {
    if (!started_ || ended_) return ended_;
    // The process descriptor becomes readable when the child ends: a look that finds it running costs
    // no wait call (and none that could reap a child of someone else's).
    if (!block && pidfd_.valid()) {
        pollfd end = {pidfd_.get(), POLLIN, 0};
        int ready;
        do ready = poll(&end, 1, 0);
        while (ready < 0 && errno == EINTR);
        if (ready == 0) return false;
    }
    int status = 0;
    pid_t reaped;
    do reaped = waitpid(pid_, &status, block ? 0 : WNOHANG);
    while (reaped < 0 && errno == EINTR);
    if (reaped == 0) return false;
    ended_ = true;
    pidfd_.reset();
    if (reaped < 0) {
        lost_ = true;  // SIGCHLD ignored, or reaped by another waitpid
    } else if (WIFEXITED(status)) {
        exitCode_ = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        exitCode_ = 128 + WTERMSIG(status);
    }
    return true;
}

size_t PosixProcess::AddPollFds(pollfd* fds, bool withPidfd) const {
    size_t count = 0;
    if (withPidfd && pidfd_.valid()) fds[count++] = {pidfd_.get(), POLLIN, 0};
    for (const Output* output : {&out_, &err_})
        if (output->fd.valid()) fds[count++] = {output->fd.get(), POLLIN, 0};
    return count;
}

// Waits for the child's end while moving whatever it writes into our buffers, so that a child with
// a full output pipe is never stuck while we wait for it.
bool PosixProcess::WaitForEnd(uint32_t ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        Drain(out_);
        Drain(err_);
        if (Reap(false)) return true;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        pollfd fds[3];
        const size_t count = AddPollFds(fds, true);
        poll(fds, count, SliceMs(CappedMs(deadline - now)));
    }
}

int PosixProcess::Wait(int& exitCode, uint32_t ms) {
    if (!started_) return WAIT_ERROR;
    if (!WaitForEnd(ms)) return WAIT_RUNNING;
    if (lost_) return WAIT_ERROR;
    exitCode = exitCode_;
    return WAIT_ENDED;
}

void PosixProcess::Signal(int sig) {
    if (ended_) return;  // the pid may belong to someone else by now
    if (pidfd_.valid() && SendThroughPidfd(pidfd_.get(), sig)) return;
    kill(pid_, sig);
}

bool PosixProcess::Stop(bool gentle, uint32_t ms) {
    if (!started_ || Reap(false)) return true;
    if (gentle) {
        // A child blocked writing to a full pipe does not act on SIGTERM; closing our ends wakes it
        // with EPIPE, and a closed input tells a filter that its stream is complete.
        Drain(out_);
        Drain(err_);
        stdin_.reset();
        out_.fd.reset();
        err_.fd.reset();
        Signal(SIGTERM);
    } else {
        Signal(SIGKILL);
    }
    return WaitForEnd(ms);
}

void PosixProcess::StopInBackground() {
    if (!started_ || Reap(false)) return;
    Signal(SIGKILL);
    background_ = true;
}

void PosixProcess::ReadToEnd(Output& wanted, Output& other) {
    // The other stream is drained as well: the child may be filling it while we wait for this one.
    // The grace runs from the moment this call sees the child ended and is never restarted, so a
    // descendant that keeps writing cannot hold the call.
    bool graceStarted = false;
    Clock::time_point graceEnd;
    for (;;) {
        Drain(wanted);
        Drain(other);
        Reap(false);
        if (!wanted.fd.valid()) return;
        int timeout = pidfd_.valid() ? -1 : kFallbackSliceMs;
        if (ended_) {
            if (!graceStarted) {
                graceStarted = true;
                graceEnd = Clock::now() + std::chrono::milliseconds(kEndedStreamGraceMs);
            }
            timeout = CappedMs(graceEnd - Clock::now());
            if (timeout == 0) return;
        }
        pollfd fds[3];
        const size_t count = AddPollFds(fds, !ended_);
        poll(fds, count, timeout);
    }
}

std::string PosixProcess::Read(Output& wanted, Output& other, bool readAll) {
    Drain(wanted);
    if (readAll) ReadToEnd(wanted, other);
    std::string text;
    text.swap(wanted.held);
    return text;
}

// Waits until the input pipe takes bytes again, draining the outputs meanwhile: a filter such as
// cat stops reading its input while its own output pipe is full.
void PosixProcess::WaitUntilWritable() {
    pollfd fds[4];
    fds[0] = {stdin_.get(), POLLOUT, 0};
    const size_t count = 1 + AddPollFds(fds + 1, true);
    poll(fds, count, pidfd_.valid() ? -1 : kFallbackSliceMs);
    Drain(out_);
    Drain(err_);
}

void PosixProcess::WriteStdin(const void* bytes, size_t length) {
    if (!started_) throw std::runtime_error("no program was started");
    if (!stdin_.valid()) throw std::runtime_error("the program's standard input is not open");
    // An ended child is seen by the write itself (EPIPE, its input has no reader); no look per write.
    if (ended_) throw std::runtime_error("the program has ended");
    // Where SIGPIPE is ignored a write cannot raise it, and the guard's mask round trip is saved.
    std::optional<SigpipeGuard> guard;
    if (!sigpipeIgnored_) guard.emplace();
    const char* next = static_cast<const char*>(bytes);
    size_t left = length;
    while (left > 0) {
        const ssize_t n = write(stdin_.get(), next, left);
        if (n > 0) {
            next += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        const int error = n < 0 ? errno : EIO;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            WaitUntilWritable();
            if (Reap(false)) throw std::runtime_error("the program has ended");
            continue;
        }
        if (error == EPIPE) {
            if (guard) guard->TakeBackSignal();
            throw std::runtime_error("the program has closed its standard input");
        }
        throw std::runtime_error("writing to the program failed: " + std::generic_category().message(error));
    }
}

// ---------------------------------------------------------------------------------------------
// Finding the program

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string OwnFolder() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof self)) return std::string();
    const std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

// "ffmpeg.exe" names the program "ffmpeg" here.
std::string WithoutExe(const std::string& name) {
    static const char kSuffix[] = ".exe";
    const size_t suffixLength = sizeof kSuffix - 1;
    if (name.size() <= suffixLength) return name;
    const size_t at = name.size() - suffixLength;
    for (size_t i = 0; i < suffixLength; ++i) {
        char c = name[at + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kSuffix[i]) return name;
    }
    return name.substr(0, at);
}

std::string FindOnPath(const std::string& name) {
    const char* variable = getenv("PATH");
    const std::string path = variable ? variable : "/usr/local/bin:/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find(':', begin);
        if (end == std::string::npos) end = path.size();
        // An empty entry would mean the working folder; the program's own folder is searched anyway.
        if (end > begin) {
            const std::string candidate = path.substr(begin, end - begin) + "/" + name;
            if (IsExecutableFile(candidate)) return candidate;
        }
        begin = end + 1;
    }
    return std::string();
}

}  // namespace

std::string kiv_resolve_program(const std::string& program) {
    if (program.empty()) return std::string();
    if (program.find('/') != std::string::npos) return program;
    const std::string bare = WithoutExe(program);
    const std::string own = OwnFolder();
    if (!own.empty() && IsExecutableFile(own + "/" + bare)) return own + "/" + bare;
    std::string found = FindOnPath(bare);
    if (found.empty() && bare != program) found = FindOnPath(program);
    return found;
}

boost::shared_ptr<KivProcess> KivProcess::GetInstance() {
    try {
        return boost::shared_ptr<KivProcess>(new PosixProcess());
    } catch (const std::bad_alloc&) {
        return boost::shared_ptr<KivProcess>();
    }
}
