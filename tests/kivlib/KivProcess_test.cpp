// Child processes against real children: /bin/sh scripts and coreutils, started from argument arrays.
#include "kivlib/KivProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace {

using boost::shared_ptr;
using Clock = std::chrono::steady_clock;

// Set in the environment of a copy of this test program that plays a server: it starts a sleeping
// child, writes the child's pid to the descriptor named here, and dies without any clean-up.
const char kOrphanParentVariable[] = "KIVPROCESS_TEST_ORPHAN_PARENT_FD";

bool RunAsDyingParentWhenAsked() {
    const char* fdText = getenv(kOrphanParentVariable);
    if (fdText == nullptr) return false;
    const int fd = atoi(fdText);
    shared_ptr<KivProcess> process = KivProcess::GetInstance();
    int code = 0;
    if (!process || !process->Start("/bin/sh", {"-c", "exec sleep 30"}, false, false, false) ||
        process->Wait(code, 0) != KivProcess::WAIT_RUNNING)
        _exit(1);
    const std::string pid = std::to_string(process->GetPid()) + "\n";
    if (write(fd, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size())) _exit(1);
    _exit(0);  // the process object is never released: only the kernel can end the child now
}
[[maybe_unused]] const bool kRanAsDyingParent = RunAsDyingParentWhenAsked();

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The state letter of a process ('Z' for a zombie), 0 when there is no such process.
char ProcessState(int pid, int* parent = nullptr) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return 0;
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return 0;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    int ppid = 0;
    rest >> state >> ppid;
    if (parent) *parent = ppid;
    return state;
}

bool IsGoneOrZombie(int pid) {
    const char state = ProcessState(pid);
    return state == 0 || state == 'Z';
}

// Children of this process that ended and were never reaped.
std::vector<int> ZombieChildren() {
    std::vector<int> zombies;
    DIR* proc = opendir("/proc");
    if (!proc) return zombies;
    while (dirent* entry = readdir(proc)) {
        const int pid = atoi(entry->d_name);
        int parent = 0;
        if (pid > 0 && ProcessState(pid, &parent) == 'Z' && parent == getpid()) zombies.push_back(pid);
    }
    closedir(proc);
    return zombies;
}

shared_ptr<KivProcess> StartShell(const std::string& script, bool out, bool in, bool err,
                                  std::vector<std::string> scriptArguments = {}) {
    shared_ptr<KivProcess> process = KivProcess::GetInstance();
    std::vector<std::string> arguments = {"-c", script, "sh"};
    arguments.insert(arguments.end(), scriptArguments.begin(), scriptArguments.end());
    if (!process || !process->Start("/bin/sh", arguments, out, in, err)) return shared_ptr<KivProcess>();
    return process;
}

// Collects standard output until it holds the marker, for at most two seconds.
std::string ReadStdoutUntil(KivProcess& process, const std::string& marker) {
    std::string text;
    const Clock::time_point start = Clock::now();
    while (text.find(marker) == std::string::npos && MsSince(start) < 2000) {
        text += process.ReadStdout(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return text;
}

// Kills the child if the test has not finished with it in time, so a deadlock fails the test
// instead of hanging it.
class Watchdog {
public:
    Watchdog(int pid, int ms) : thread_([this, pid, ms] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished_; })) {
              fired_ = true;
              kill(pid, SIGKILL);
          }
      }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    bool Fired() {
        std::lock_guard<std::mutex> lock(mutex_);
        return fired_;
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    bool fired_ = false;
    std::thread thread_;
};

std::string Numbers(int first, int last) {
    std::string text;
    for (int n = first; n <= last; ++n) text += std::to_string(n) + "\n";
    return text;
}

std::string NoisyBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(seed >> 23);  // every byte value, zeros included
    }
    return bytes;
}

class ScopedSignal {
public:
    ScopedSignal(int sig, void (*handler)(int)) : sig_(sig) { previous_ = signal(sig, handler); }
    ~ScopedSignal() { signal(sig_, previous_); }

private:
    int sig_;
    void (*previous_)(int);
};

// A child that writes 230 KB to standard error and 240 KB to standard output, far more than a pipe
// holds, before it exits with 3.
const char kLoudScript[] = "seq 1 40000 >&2; seq 40001 80000; exit 3";

TEST(KivProcessTest, WaitDrainsBothOutputPipesSoALoudChildEnds) {
    shared_ptr<KivProcess> process = StartShell(kLoudScript, true, false, true);
    ASSERT_TRUE(process);
    Watchdog watchdog(process->GetPid(), 5000);
    int code = -1;
    ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 4000));
    EXPECT_EQ(3, code);
    const std::string err = process->ReadStderr(true);
    const std::string out = process->ReadStdout(true);
    EXPECT_GT(err.size(), 200u * 1024u);
    EXPECT_TRUE(err == Numbers(1, 40000)) << "stderr has " << err.size() << " bytes";
    EXPECT_TRUE(out == Numbers(40001, 80000)) << "stdout has " << out.size() << " bytes";
    EXPECT_FALSE(watchdog.Fired());
    EXPECT_TRUE(ZombieChildren().empty());
}

TEST(KivProcessTest, ReadingOneStreamToItsEndDrainsTheOther) {
    shared_ptr<KivProcess> process = StartShell(kLoudScript, true, false, true);
    ASSERT_TRUE(process);
    Watchdog watchdog(process->GetPid(), 5000);
    const std::string out = process->ReadStdout(true);  // the child fills stderr first
    EXPECT_TRUE(out == Numbers(40001, 80000)) << "stdout has " << out.size() << " bytes";
    int code = -1;
    ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 2000));
    EXPECT_EQ(3, code);
    EXPECT_TRUE(process->ReadStderr(true) == Numbers(1, 40000));
    EXPECT_FALSE(watchdog.Fired());
}

TEST(KivProcessTest, WaitReportsExitCodesAndSignals) {
    const struct {
        const char* script;
        int code;
    } cases[] = {
        {"exit 0", 0}, {"exit 7", 7}, {"exit 255", 255}, {"kill -TERM $$", 128 + SIGTERM}, {"kill -KILL $$", 128 + SIGKILL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        shared_ptr<KivProcess> process = StartShell(c.script, false, false, false);
        ASSERT_TRUE(process);
        const int pid = process->GetPid();
        EXPECT_GT(pid, 0);
        int code = -1;
        ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 3000));
        EXPECT_EQ(c.code, code);
        EXPECT_EQ(0, ProcessState(pid)) << "the ended child was not reaped";
        int again = -1;
        EXPECT_EQ(KivProcess::WAIT_ENDED, process->Wait(again, 0));
        EXPECT_EQ(c.code, again);
    }
}

TEST(KivProcessTest, WaitTimesOutWhileTheChildRuns) {
    shared_ptr<KivProcess> process = StartShell("exec sleep 30", false, false, false);
    ASSERT_TRUE(process);
    int code = 99;
    Clock::time_point start = Clock::now();
    // The bounds tell a wait kept to its time from one for the child's 30 s, with room for a load of 30.
    EXPECT_EQ(KivProcess::WAIT_RUNNING, process->Wait(code, 0));
    EXPECT_LT(MsSince(start), 5000);
    start = Clock::now();
    EXPECT_EQ(KivProcess::WAIT_RUNNING, process->Wait(code, 150));
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 10000);
    EXPECT_EQ(99, code) << "the exit code is set only for an ended child";
    EXPECT_TRUE(process->Stop(false, 2000));
    ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 0));
    EXPECT_EQ(128 + SIGKILL, code);
}

TEST(KivProcessTest, GentleStopEndsAChildThatHonoursSigterm) {
    shared_ptr<KivProcess> process = StartShell("exec sleep 30", true, true, true);
    ASSERT_TRUE(process);
    const int pid = process->GetPid();
    // A stop that did not end the child would wait out its 20 s; the bound leaves room for a load of 30.
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(process->Stop(true, 20000));
    EXPECT_LT(MsSince(start), 10000);
    int code = -1;
    ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 0));
    EXPECT_EQ(128 + SIGTERM, code);
    EXPECT_EQ(0, ProcessState(pid));
}

TEST(KivProcessTest, GentleStopFailsOnAChildIgnoringSigtermAndForcedStopEndsIt) {
    shared_ptr<KivProcess> process = StartShell("trap '' TERM; echo ready; exec sleep 30", true, false, false);
    ASSERT_TRUE(process);
    const int pid = process->GetPid();
    ASSERT_NE(std::string::npos, ReadStdoutUntil(*process, "ready").find("ready"));

    // Kept to its 300 ms, not the child's 30 s.
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(process->Stop(true, 300));
    EXPECT_GE(MsSince(start), 300);
    EXPECT_LT(MsSince(start), 10000);
    EXPECT_FALSE(IsGoneOrZombie(pid));

    start = Clock::now();
    EXPECT_TRUE(process->Stop(false, 20000));
    EXPECT_LT(MsSince(start), 10000);
    int code = -1;
    ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 0));
    EXPECT_EQ(128 + SIGKILL, code);
    EXPECT_EQ(0, ProcessState(pid));
}

TEST(KivProcessTest, GentleStopWakesAChildBlockedOnAFullPipe) {
    // The server ignores SIGPIPE; the child must still start with the default action, and closing our
    // end of its output pipe ends it even though it ignores SIGTERM.
    ScopedSignal ignorePipe(SIGPIPE, SIG_IGN);
    shared_ptr<KivProcess> process = StartShell("trap '' TERM; exec yes", true, false, false);
    ASSERT_TRUE(process);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the pipe fills, nobody reads
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(process->Stop(true, 20000));
    EXPECT_LT(MsSince(start), 10000);  // not the 20 s a child left blocked would take
    int code = -1;
    ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 0));
    EXPECT_EQ(128 + SIGPIPE, code);
}

TEST(KivProcessTest, StandardInputEchoesThroughCat) {
    // More than a pipe holds in each direction: WriteStdin must take cat's output meanwhile, or cat
    // stops reading and both sides wait for ever.
    const std::string data = NoisyBytes(300 * 1024 + 17, 1);
    shared_ptr<KivProcess> process = KivProcess::GetInstance();
    ASSERT_TRUE(process->Start("/bin/cat", {}, true, true, false));
    Watchdog watchdog(process->GetPid(), 5000);
    const size_t cuts[] = {0, 1, 70000, 250000, data.size()};
    for (size_t i = 0; i + 1 < sizeof cuts / sizeof cuts[0]; ++i)
        ASSERT_NO_THROW(process->WriteStdin(data.data() + cuts[i], cuts[i + 1] - cuts[i]));
    process->CloseStdin();
    int code = -1;
    ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 3000));
    EXPECT_EQ(0, code);
    const std::string echoed = process->ReadStdout(true);
    EXPECT_EQ(data.size(), echoed.size());
    EXPECT_TRUE(echoed == data);
    EXPECT_FALSE(watchdog.Fired());
}

TEST(KivProcessTest, WriteStdinThrowsWhenTheChildCannotTakeInput) {
    // Default SIGPIPE action, as in a program that never called net_init: a write to a pipe without
    // reader must still come back as an exception, not kill the test program.
    ScopedSignal defaultPipe(SIGPIPE, SIG_DFL);
    const struct {
        const char* name;
        const char* script;  // nullptr: nothing is started
        bool pipeStdin;
        bool waitForEnd;     // reap the child before writing
        bool waitForZombie;  // let the child end but do not reap it
        bool closeFirst;     // CloseStdin before writing
        const char* marker;  // wait for this on standard output before writing
    } cases[] = {
        {"ended and reaped", "exit 0", true, true, false, false, nullptr},
        {"ended, not yet reaped", "exit 0", true, false, true, false, nullptr},
        {"running, input closed by the child", "exec 0<&-; echo closed; exec sleep 30", true, false, false, false,
         "closed"},
        {"input closed by us", "exec sleep 30", true, false, false, true, nullptr},
        {"input not piped", "exec sleep 30", false, false, false, false, nullptr},
        {"never started", nullptr, true, false, false, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        shared_ptr<KivProcess> process = KivProcess::GetInstance();
        if (c.script) {
            process = StartShell(c.script, true, c.pipeStdin, false);
            ASSERT_TRUE(process);
        }
        int code = 0;
        if (c.waitForEnd) {
            ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 2000));
        }
        if (c.waitForZombie) {
            const Clock::time_point start = Clock::now();
            while (ProcessState(process->GetPid()) != 'Z' && MsSince(start) < 2000)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ASSERT_EQ('Z', ProcessState(process->GetPid()));
        }
        if (c.marker) {
            ASSERT_NE(std::string::npos, ReadStdoutUntil(*process, c.marker).find(c.marker));
        }
        if (c.closeFirst) process->CloseStdin();
        const std::string chunk(100000, 'x');
        EXPECT_THROW(process->WriteStdin(chunk.data(), chunk.size()), std::runtime_error);
        sigset_t pending;
        sigpending(&pending);
        EXPECT_EQ(0, sigismember(&pending, SIGPIPE)) << "a SIGPIPE was left pending";
    }
    EXPECT_TRUE(ZombieChildren().empty());
}

TEST(KivProcessTest, ArgumentsReachTheProgramAsTheyAre) {
    const std::vector<std::string> arguments = {"with blank", "semi;colon", "$(id)", "", "*", "'quoted\"", "-n"};
    shared_ptr<KivProcess> process = StartShell("printf '[%s]\\n' \"$@\"", true, false, false, arguments);
    ASSERT_TRUE(process);
    std::string expected;
    for (const std::string& argument : arguments) expected += "[" + argument + "]\n";
    EXPECT_EQ(expected, process->ReadStdout(true));
}

TEST(KivProcessTest, ChildGetsNoDescriptorButItsStandardStreams) {
    // A descriptor of ours without close-on-exec, and another child's pipes, must not reach the child.
    const int inheritable = open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 0);
    shared_ptr<KivProcess> neighbour = KivProcess::GetInstance();
    ASSERT_TRUE(neighbour->Start("/bin/cat", {}, true, true, true));

    for (int mask = 0; mask < 8; ++mask) {
        const bool out = mask & 1, in = mask & 2, err = mask & 4;
        if (!out && !err) continue;  // nothing to see the answer through
        SCOPED_TRACE("stdout " + std::to_string(out) + " stdin " + std::to_string(in) + " stderr " +
                     std::to_string(err));
        // ls opens exactly one descriptor of its own to list the folder.
        shared_ptr<KivProcess> process = StartShell(std::string("exec ls /proc/self/fd") + (out ? "" : " >&2"), out,
                                                    in, err);
        ASSERT_TRUE(process);
        std::istringstream lines(out ? process->ReadStdout(true) : process->ReadStderr(true));
        std::set<std::string> listed;
        for (std::string line; std::getline(lines, line);) listed.insert(line);
        EXPECT_EQ((std::set<std::string>{"0", "1", "2", "3"}), listed);
    }
    close(inheritable);
}

TEST(KivProcessTest, StreamsNotPipedGoToDevNull) {
    for (int mask = 0; mask < 8; ++mask) {
        const bool piped[3] = {(mask & 2) != 0, (mask & 1) != 0, (mask & 4) != 0};  // stdin, stdout, stderr
        SCOPED_TRACE("stdout " + std::to_string(piped[1]) + " stdin " + std::to_string(piped[0]) + " stderr " +
                     std::to_string(piped[2]));
        shared_ptr<KivProcess> process = StartShell("exec sleep 30", piped[1], piped[0], piped[2]);
        ASSERT_TRUE(process);
        for (int fd = 0; fd < 3; ++fd) {
            const std::string link = "/proc/" + std::to_string(process->GetPid()) + "/fd/" + std::to_string(fd);
            char target[256] = {};
            ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << link;
            if (piped[fd])
                EXPECT_EQ(0, std::string(target).rfind("pipe:", 0)) << "fd " << fd << " is " << target;
            else
                EXPECT_STREQ("/dev/null", target) << "fd " << fd;
        }
    }
}

TEST(KivProcessTest, ProcessesOnSeveralThreadsAtOnce) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < 6; ++round) {
                const std::string data = NoisyBytes(20000 + static_cast<size_t>(t * 100 + round), t * 31 + round);
                shared_ptr<KivProcess> process = KivProcess::GetInstance();
                int code = -1;
                if (!process->Start("/bin/cat", {}, true, true, true)) {
                    ++failures;
                    continue;
                }
                try {
                    process->WriteStdin(data.data(), data.size());
                } catch (const std::runtime_error&) {
                    ++failures;
                }
                process->CloseStdin();
                if (process->Wait(code, 3000) != KivProcess::WAIT_ENDED || code != 0) ++failures;
                // A pipe end leaked into another thread's child would hold this stream open.
                if (process->ReadStdout(true) != data || !process->ReadStderr(true).empty()) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_TRUE(ZombieChildren().empty());
}

TEST(KivProcessTest, ChildOutlivesTheThreadThatStartedIt) {
    shared_ptr<KivProcess> process = KivProcess::GetInstance();
    bool started = false;
    std::thread([&] { started = process->Start("/bin/sh", {"-c", "exec sleep 30"}, false, false, false); }).join();
    ASSERT_TRUE(started);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int code = -1;
    EXPECT_EQ(KivProcess::WAIT_RUNNING, process->Wait(code, 0)) << "ended with " << code;
}

TEST(KivProcessTest, ChildDiesWithTheServer) {
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) environment.push_back(*entry);
    environment.push_back(std::string(kOrphanParentVariable) + "=3");
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t parent = -1;
    const int spawned = posix_spawn(&parent, self, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    ASSERT_EQ(0, spawned);

    std::string pidText;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') pidText += c;
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(parent, waitpid(parent, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the dying parent could not start its child";
    const int child = atoi(pidText.c_str());
    ASSERT_GT(child, 0);

    const Clock::time_point start = Clock::now();
    while (!IsGoneOrZombie(child) && MsSince(start) < 3000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(IsGoneOrZombie(child)) << "the child of a dead parent still runs";
    if (!IsGoneOrZombie(child)) kill(child, SIGKILL);
}

TEST(KivProcessTest, ReleasingTheObjectKillsAndReapsARunningChild) {
    shared_ptr<KivProcess> process = StartShell("trap '' TERM; exec sleep 30", true, true, true);
    ASSERT_TRUE(process);
    const int pid = process->GetPid();
    ASSERT_NE(0, ProcessState(pid));
    process.reset();
    EXPECT_EQ(0, ProcessState(pid)) << "neither running nor a zombie";
}

// Released after a stop in the background, the object does not wait for the child, and the child is
// still waited for: it leaves neither a running process nor a zombie behind.
TEST(KivProcessTest, ReleaseAfterABackgroundStopLeavesNoZombie) {
    shared_ptr<KivProcess> process = StartShell("trap '' TERM; exec sleep 30", true, true, true);
    ASSERT_TRUE(process);
    const int pid = process->GetPid();
    process->StopInBackground();
    process.reset();
    const Clock::time_point start = Clock::now();
    while (ProcessState(pid) != 0 && MsSince(start) < 20000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(0, ProcessState(pid)) << "neither running nor a zombie";
    EXPECT_TRUE(ZombieChildren().empty());
}

// The child leaves a background job behind that keeps writing to the inherited standard output. Reading to
// the end must come back one grace period (1 s) after the child has ended, however long the job writes;
// what it wrote meanwhile is kept. Either the child has been waited for already, or it ends during the read.
TEST(KivProcessTest, ReadToTheEndIsNotHeldByADescendantThatKeepsWriting) {
    for (const bool waitFirst : {true, false}) {
        SCOPED_TRACE(waitFirst ? "child waited for before the read" : "child ends during the read");
        shared_ptr<KivProcess> process = StartShell(
            "(while :; do echo tick; sleep 0.05; done) & echo \"writer $!.\"; sleep 0.2; exit 0", true, false, false);
        ASSERT_TRUE(process);
        const std::string early = ReadStdoutUntil(*process, ".\n");
        const size_t at = early.find("writer ");
        ASSERT_NE(std::string::npos, at) << early;
        const int writer = std::atoi(early.c_str() + at + 7);
        ASSERT_GT(writer, 1);
        int code = -1;
        if (waitFirst) {
            ASSERT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 2000));
        }

        Watchdog watchdog(writer, 5000);  // ends the writer, and with it a read that it holds
        const Clock::time_point start = Clock::now();
        const std::string rest = process->ReadStdout(true);
        const long took = MsSince(start);
        kill(writer, SIGKILL);
        EXPECT_FALSE(watchdog.Fired()) << "the read was held until the writer was killed";
        EXPECT_LT(took, 2500);
        EXPECT_GE(took, waitFirst ? 900 : 1000) << "the grace period was cut short";
        EXPECT_NE(std::string::npos, rest.find("tick\ntick\n")) << "what came during the grace is kept";
        EXPECT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 0));
        EXPECT_EQ(0, code);
    }
}

TEST(KivProcessTest, ReadWithoutReadAllNeverBlocks) {
    shared_ptr<KivProcess> process = StartShell("echo first; exec sleep 30", true, false, true);
    ASSERT_TRUE(process);
    std::string text;
    long slowest = 0;
    const Clock::time_point start = Clock::now();
    while (text.empty() && MsSince(start) < 2000) {
        const Clock::time_point call = Clock::now();
        text += process->ReadStdout(false);
        text += process->ReadStderr(false);
        slowest = std::max(slowest, MsSince(call));
    }
    EXPECT_EQ("first\n", text);
    const Clock::time_point call = Clock::now();
    EXPECT_EQ("", process->ReadStdout(false));
    slowest = std::max(slowest, MsSince(call));
    EXPECT_LT(slowest, 2000);  // a blocking read would wait for the child's 30 s; holds at load 30
}

// Relays one child's output into another's input as a stream session does: spliced where it can be,
// read and written where the splice says it cannot.
TEST(KivProcessTest, SpliceMovesOutputIntoAnotherChildsInput) {
    shared_ptr<KivProcess> source = StartShell("seq 1 60000", true, false, false);  // 350 KB, pipes hold 64 KiB
    shared_ptr<KivProcess> target = KivProcess::GetInstance();
    ASSERT_TRUE(source);
    ASSERT_TRUE(target->Start("/bin/cat", {}, true, true, false));
    Watchdog watchdog(target->GetPid(), 10000);
    std::string echoed;
    size_t spliced = 0;
    const Clock::time_point start = Clock::now();
    while (source->StdoutFd() >= 0 && MsSince(start) < 8000) {
        const long moved = source->SpliceStdoutTo(target->StdinFd());
        if (moved > 0) spliced += size_t(moved);
        if (moved < 0) {
            const std::string chunk = source->ReadStdout(false);
            target->WriteStdin(chunk.data(), chunk.size());
        }
        if (moved == 0 && source->StdoutFd() >= 0) {
            EXPECT_TRUE(source->StdoutEmptied());
        }
        echoed += target->ReadStdout(false);
        if (moved == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(-1, source->StdoutFd()) << "the end of the output is seen";
    target->CloseStdin();
    echoed += target->ReadStdout(true);
    EXPECT_GT(spliced, 0u);
    EXPECT_TRUE(echoed == Numbers(1, 60000)) << echoed.size() << " bytes came through";
    EXPECT_FALSE(watchdog.Fired());
}

// One child reads another's output straight from its pipe: the reader is given the pipe's read end as its
// standard input, and once ours is closed the pipe joins the two children alone. A descriptor given as 3
// reaches the child as well; the caller's own descriptors stay open.
TEST(KivProcessTest, AChildGivenDescriptorsReadsFromThemStraight) {
    shared_ptr<KivProcess> source = StartShell("seq 1 60000", true, false, false);  // 350 KB, pipes hold 64 KiB
    ASSERT_TRUE(source);
    int extra[2];
    ASSERT_EQ(0, pipe2(extra, O_CLOEXEC));
    shared_ptr<KivProcess> reader = KivProcess::GetInstance();
    ASSERT_TRUE(reader->GiveChild(0, source->StdoutFd()));
    ASSERT_TRUE(reader->GiveChild(3, extra[0]));
    EXPECT_FALSE(reader->GiveChild(1, extra[0])) << "only its input and descriptor 3 can be given";
    ASSERT_TRUE(reader->Start("/bin/sh", {"-c", "cat; cat <&3", "sh"}, true, false, false));
    EXPECT_FALSE(reader->GiveChild(3, extra[0])) << "too late once started";
    Watchdog watchdog(reader->GetPid(), 10000);
    EXPECT_NE(-1, fcntl(source->StdoutFd(), F_GETFD)) << "the caller's descriptor stays";
    EXPECT_NE(-1, fcntl(extra[0], F_GETFD));

    auto pipeOf = [](int pid, int fd) {
        char target[256] = {};
        const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        return readlink(link.c_str(), target, sizeof target - 1) > 0 ? std::string(target) : std::string();
    };
    EXPECT_EQ(pipeOf(source->GetPid(), 1), pipeOf(reader->GetPid(), 0));
    source->CloseStdout();
    EXPECT_EQ(-1, source->StdoutFd());
    close(extra[0]);

    const std::string after = "and the rest\n";
    ASSERT_EQ(ssize_t(after.size()), write(extra[1], after.data(), after.size()));
    close(extra[1]);
    const std::string echoed = reader->ReadStdout(true);
    EXPECT_TRUE(echoed == Numbers(1, 60000) + after) << echoed.size() << " bytes came through";
    EXPECT_FALSE(watchdog.Fired());
}

// The end descriptor becomes readable when the child ends, and none is offered once it has been reaped.
TEST(KivProcessTest, TheEndDescriptorTellsTheChildsEnd) {
    shared_ptr<KivProcess> process = StartShell("read line; exit 3", false, true, false);
    ASSERT_TRUE(process);
    const int end = process->EndFd();
    if (end < 0) GTEST_SKIP() << "no process descriptors on this kernel";
    pollfd look = {end, POLLIN, 0};
    EXPECT_EQ(0, poll(&look, 1, 50)) << "readable while the child runs";
    process->WriteStdin("go\n", 3);
    EXPECT_EQ(1, poll(&look, 1, 10000));
    int code = -1;
    EXPECT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 1000));
    EXPECT_EQ(3, code);
    EXPECT_EQ(-1, process->EndFd());
}

// A target that takes no more, or has no reader, is the caller's to write to: nothing is lost, no SIGPIPE
// is left behind (even where the program does not ignore it), and the failed splice says that bytes still
// wait, also when an earlier splice had found the pipe empty (a caller trusting that would sleep on the
// descriptor with the bytes waiting). Both orders are made, not raced: the source writes only once told.
TEST(KivProcessTest, SpliceLeavesWhatTheTargetCannotTakeForARead) {
    ScopedSignal defaultPipe(SIGPIPE, SIG_DFL);
    const struct {
        const char* name;
        const char* targetScript;
        const char* marker;  // on the target's output before the splice
    } targets[] = {
        {"target full", "echo ready; exec sleep 30", "ready"},
        {"target without a reader", "exec 0<&-; echo closed; exec sleep 30", "closed"},
    };
    for (const auto& t : targets) {
        for (const bool emptyFirst : {false, true}) {
            SCOPED_TRACE(std::string(t.name) + (emptyFirst ? ", the first splice finds nothing" : ", bytes wait at the first splice"));
            shared_ptr<KivProcess> source = StartShell("read go; exec seq 1 60000", true, true, false);
            shared_ptr<KivProcess> target = StartShell(t.targetScript, true, true, false);
            ASSERT_TRUE(source && target);
            ASSERT_NE(std::string::npos, ReadStdoutUntil(*target, t.marker).find(t.marker));
            if (emptyFirst) {
                EXPECT_EQ(0, source->SpliceStdoutTo(target->StdinFd()));
                EXPECT_TRUE(source->StdoutEmptied());
            }
            source->WriteStdin("go\n", 3);
            if (!emptyFirst) {
                pollfd look = {source->StdoutFd(), POLLIN, 0};
                ASSERT_EQ(1, poll(&look, 1, 30000)) << "the source wrote nothing";
            }
            size_t spliced = 0;
            long moved = 0;
            const Clock::time_point start = Clock::now();
            while ((moved = source->SpliceStdoutTo(target->StdinFd())) >= 0 && MsSince(start) < 30000) {
                spliced += size_t(moved);
                if (moved == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_EQ(-1, moved);
            EXPECT_FALSE(source->StdoutEmptied()) << "bytes wait in the pipe";
            const std::string rest = source->ReadStdout(true);
            EXPECT_TRUE(Numbers(1, 60000).substr(spliced) == rest) << spliced << " spliced, " << rest.size() << " read";
            sigset_t pending;
            sigpending(&pending);
            EXPECT_EQ(0, sigismember(&pending, SIGPIPE)) << "a SIGPIPE was left pending";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Finding programs

class ProgramResolution : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = getenv("PATH");
        oldPath_ = path ? path : "";
        hadPath_ = path != nullptr;
        setenv("PATH", (dir_.path() + ":" + oldPath_).c_str(), 1);
    }
    void TearDown() override {
        if (hadPath_)
            setenv("PATH", oldPath_.c_str(), 1);
        else
            unsetenv("PATH");
        for (const std::string& file : ownFolderFiles_) unlink(file.c_str());
    }
    std::string Script(const std::string& path, const std::string& name, mode_t mode = 0755) {
        testsupport::WriteFile(path, "#!/bin/sh\nprintf '" + name + ":%s\\n' \"$1\"\n");
        chmod(path.c_str(), mode);
        return path;
    }
    std::string InOwnFolder(const std::string& name) {
        ownFolderFiles_.push_back(testsupport::BinDir() + "/" + name);
        return Script(ownFolderFiles_.back(), "own");
    }

    testsupport::TempDir dir_;
    std::string oldPath_;
    bool hadPath_ = false;
    std::vector<std::string> ownFolderFiles_;
};

TEST_F(ProgramResolution, BareNamesAreFoundInTheOwnFolderThenOnPath) {
    const std::string tool = Script(dir_.file("tool"), "tool");
    const std::string named = Script(dir_.file("named.exe"), "named");
    const std::string both = Script(dir_.file("both"), "both");
    Script(dir_.file("both.exe"), "both.exe");
    Script(dir_.file("plain"), "plain", 0644);
    mkdir(dir_.file("folder").c_str(), 0755);
    const std::string own = "kivprocess-own-" + std::to_string(getpid());
    Script(dir_.file(own), "path");
    const std::string ownPath = InOwnFolder(own);

    const struct {
        std::string program;
        std::string expected;
    } cases[] = {
        {"tool.exe", tool},        // without ".exe" on PATH
        {"tool", tool},            // a name without ".exe" as it is
        {"named.exe", named},      // only the name as given exists
        {"both.exe", both},        // the name without ".exe" wins
        {own + ".exe", ownPath},   // the program's own folder comes before PATH
        {"plain.exe", ""},         // not executable
        {"folder.exe", ""},        // not a file
        {"missing.exe", ""},
        {"", ""},
        {"/bin/sh", "/bin/sh"},    // a name with a "/" is used as it is
        {"sub/tool.exe", "sub/tool.exe"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, kiv_resolve_program(c.program)) << c.program;
}

TEST_F(ProgramResolution, StartRunsTheResolvedProgram) {
    Script(dir_.file("tool"), "tool");
    shared_ptr<KivProcess> process = KivProcess::GetInstance();
    ASSERT_TRUE(process->Start("tool.exe", {"one argument"}, true, false, false));
    EXPECT_EQ("tool:one argument\n", process->ReadStdout(true));
    int code = -1;
    EXPECT_EQ(KivProcess::WAIT_ENDED, process->Wait(code, 2000));
    EXPECT_EQ(0, code);
}

TEST_F(ProgramResolution, AProgramThatCannotRunDoesNotStart) {
    const std::string plain = Script(dir_.file("plain"), "plain", 0644);
    const std::string programs[] = {"missing.exe", plain, dir_.file("missing"), dir_.path()};
    for (const std::string& program : programs) {
        SCOPED_TRACE(program);
        shared_ptr<KivProcess> process = KivProcess::GetInstance();
        EXPECT_FALSE(process->Start(program, {}, true, true, true));
        EXPECT_EQ(0, process->GetPid());
        int code = 0;
        EXPECT_EQ(KivProcess::WAIT_ERROR, process->Wait(code, 0)) << "a run that never started fails its wait";
        EXPECT_TRUE(process->Stop(true, 0));
        EXPECT_EQ("", process->ReadStdout(true));
        EXPECT_THROW(process->WriteStdin("x", 1), std::runtime_error);
    }
    EXPECT_TRUE(ZombieChildren().empty()) << "a child whose exec failed was not reaped";
}

}  // namespace
