// Child processes with pipes. Programs are started from an argument array, never through a shell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

class KivProcess {
public:
    enum WaitResult { WAIT_ERROR = 0, WAIT_ENDED = 1, WAIT_RUNNING = 2 };

    static boost::shared_ptr<KivProcess> GetInstance();
    // Releasing the object stops a child that still runs (forced) and closes every pipe.
    virtual ~KivProcess() = default;

    // program: the program to run; arguments: what follows it on its command line (not the program name).
    // A bare name such as "ffmpeg.exe" is looked up without ".exe" in the program's own folder
    // first, then on PATH; a name with a "/" is used as it is. Streams not piped go to /dev/null.
    // The child gets no other descriptor of ours (but those given with GiveChild) and dies with the
    // server; it is born in the network namespace of the calling thread. False when it could not start.
    virtual bool Start(const std::string& program, const std::vector<std::string>& arguments, bool pipeStdout,
                       bool pipeStdin, bool pipeStderr) = 0;

    // Waits up to ms (0 polls) for the child to end, draining both output pipes meanwhile.
    // WAIT_ENDED sets exitCode (128 + signal number for a child ended by a signal).
    virtual int Wait(int& exitCode, uint32_t ms) = 0;

    // gentle: close our pipe ends and send SIGTERM; otherwise SIGKILL. Then wait up to ms.
    // True when the child has ended (also when it had ended before or never started).
    virtual bool Stop(bool gentle, uint32_t ms) = 0;

    // SIGKILL, and the child is waited for by a thread of the library's own: releasing the object then
    // does not wait for the child's end. For a child whose end nothing waits on (its output has no
    // reader left and it writes no file), such as a transcoder whose run was given up.
    virtual void StopInBackground() { Stop(false, 0); }

    // The read end of the child's standard output pipe, to wait on with poll() for output or its end;
    // -1 when it is not piped or a read has reached its end. Owned by the object: valid until its next
    // call.
    virtual int StdoutFd() const { return -1; }
    // Whether the last read of standard output found the pipe emptied (a short read, or nothing to
    // read), so that more comes only with new output; false when it stopped with more possibly waiting.
    virtual bool StdoutEmptied() const { return false; }
    // Moves what the child's standard output holds now into target, a pipe, inside the kernel (no copy
    // through us, one call instead of a read and a write); never waits. Returns the bytes moved, 0 when
    // nothing waits or the output has ended (then StdoutFd() is -1), -1 when this cannot be done now
    // (no splice for these descriptors, the target full, bytes already read and held): the caller then
    // reads and writes instead. StdoutEmptied() says afterwards whether more is waiting.
    virtual long SpliceStdoutTo(int /*target*/) { return -1; }
    // Our write end of the child's standard input pipe; -1 when it is not piped or closed.
    virtual int StdinFd() const { return -1; }

    // Before Start: the child gets fd as its descriptor childFd, 0 (its standard input, when Start does
    // not pipe it: another child's output, say) or 3 (one more open descriptor). The child gets a
    // duplicate (for a pipe given as its input, a blocking read end of its own whatever our end's flags;
    // Start fails where none can be had); fd stays the caller's and must stay open until Start returns.
    // False for another childFd or once started.
    virtual bool GiveChild(int /*childFd*/, int /*fd*/) { return false; }
    // Before Start: the child's environment is ours with name set to value. False once started.
    virtual bool SetChildVariable(const std::string& /*name*/, const std::string& /*value*/) { return false; }
    // A descriptor that becomes readable when the child ends, to sleep on; -1 when there is none (not
    // started, already reaped, or no process descriptors here). Owned by the object.
    virtual int EndFd() const { return -1; }

    // readAll false: what has arrived so far, without blocking. readAll true: everything up to
    // the end of the stream (use after the child has ended).
    virtual std::string ReadStdout(bool readAll) = 0;
    virtual std::string ReadStderr(bool readAll) = 0;

    // Writes all bytes to the child's standard input; throws std::runtime_error when the child is gone
    // or its input is closed.
    virtual void WriteStdin(const void* bytes, size_t length) = 0;
    virtual void CloseStdin() = 0;
    // Closes our read end of the child's standard output (another program reads it, say); what was
    // read and not yet taken is dropped.
    virtual void CloseStdout() {}

    // The child's process id; 0 when none was started.
    virtual int GetPid() const = 0;
};

// Where KivProcess looks for a bare program name: the program's own folder, then PATH.
// Exposed for tests; empty when nothing is found.
std::string kiv_resolve_program(const std::string& program);
