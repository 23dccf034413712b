// Segmenter: reads an MPEG transport stream and cuts it into numbered segment files.
//
//   Segmenter - <seconds> <prefix> <playlist> <url base> <first number>
//
// Segment n is written to <prefix>-<n>.ts, from <first number> on; a file is closed before the next one
// is created, and once it is closed whole the line "closed <n>" goes to standard output. A run that fails
// (a file that cannot be written, say) says why on standard error and ends with exit code 1. The
// playlist (names <url base> + the last part of <prefix> + "-n.ts") is rewritten after every segment
// and finished at the end. SIGTERM, SIGINT or SIGHUP end the run gracefully: what is
// already in the input pipe is still cut, the last file is closed and the playlist written.
// With CALVORO_SEGMENTER_CREDITS naming one of its descriptors (a pipe or socket it reads), it takes one
// byte from that descriptor once it has begun each file after the first and before anything goes into
// it, waiting for it: the reader of the files paces their making. At that descriptor's end (or a stop
// signal) it waits no more. While it waits its playlist does not name the file just closed.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "PacedSink.h"
#include "SegmentFiles.h"
#include "TsCutter.h"

namespace {

struct Options {
    std::string input;
    double seconds = 0;
    std::string prefix;
    std::string playlist;
    std::string urlBase;
    uint32_t firstNumber = 0;
};

// Decimal with "." as the point, whatever the locale; false for anything else.
bool ParseSeconds(const std::string& text, double& value) {
    if (text.empty()) return false;
    double whole = 0, scale = 1;
    bool point = false, digits = false;
    for (char c : text) {
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            digits = true;
            if (point) {
                scale /= 10;
                whole += (c - '0') * scale;
            } else {
                whole = whole * 10 + (c - '0');
            }
        } else {
            return false;
        }
    }
    value = whole;
    return digits;
}

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + uint64_t(c - '0');
    }
    if (n > UINT32_MAX) return false;
    value = static_cast<uint32_t>(n);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    if (argc != 7) return false;
    options.input = argv[1];
    options.prefix = argv[3];
    options.playlist = argv[4];
    options.urlBase = argv[5];
    return ParseSeconds(argv[2], options.seconds) && options.seconds > 0 && !options.prefix.empty() &&
           !options.playlist.empty() && ParseNumber(argv[6], options.firstNumber);
}

// Reads what the input holds right now without waiting; false at its end.
bool DrainInput(int fd, tscut::TsCutter& cutter, std::vector<uint8_t>& buffer) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            cutter.Feed(buffer.data(), static_cast<size_t>(n));
        } else if (n == 0) {
            return false;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
}

// The descriptor that paces the files, when the environment names one that is open; -1 otherwise. A
// descriptor merely inherited (a shell's, a build tool's) never paces the program.
int CreditDescriptor() {
    const char* named = getenv("CALVORO_SEGMENTER_CREDITS");
    uint32_t fd = 0;
    if (!named || !ParseNumber(named, fd) || fd > INT32_MAX || fcntl(int(fd), F_GETFD) < 0) return -1;
    fcntl(int(fd), F_SETFD, FD_CLOEXEC);
    return int(fd);
}

class PlaylistWriter {
public:
    explicit PlaylistWriter(const Options& options) : options_(options), stem_(tscut::BaseName(options.prefix)) {}
    void Write(const tscut::TsCutter& cutter, bool ended) {
        std::vector<tscut::SegmentInfo> done = cutter.Segments();
        if (!ended && !done.empty()) done.pop_back();  // the open segment's length is not known yet
        if (!ended && done.size() == written_) return;
        written_ = done.size();
        tscut::WriteFileAtomically(options_.playlist,
                                   tscut::BuildPlaylist(done, options_.seconds, options_.urlBase, stem_, ended));
    }

private:
    const Options& options_;
    std::string stem_;
    size_t written_ = 0;
};

int Run(const Options& options) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) throw std::runtime_error("sigprocmask failed");
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) throw std::runtime_error(std::string("signalfd failed: ") + strerror(errno));
    signal(SIGPIPE, SIG_IGN);

    int input = STDIN_FILENO;
    if (options.input != "-") {
        input = open(options.input.c_str(), O_RDONLY | O_CLOEXEC);
        if (input < 0) throw std::runtime_error("cannot open " + options.input + ": " + strerror(errno));
    }

    tscut::FileSegmentSink files(options.prefix, STDOUT_FILENO);
    tscut::PacedSink sink(files, CreditDescriptor(), signalFd);
    tscut::TsCutter cutter(sink, options.seconds, options.firstNumber);
    PlaylistWriter playlist(options);
    std::vector<uint8_t> buffer(256 * 1024);

    for (;;) {
        pollfd fds[2] = {{input, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("poll failed: ") + strerror(errno));
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(input, buffer.data(), buffer.size());
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                throw std::runtime_error(std::string("cannot read the input: ") + strerror(errno));
            }
            cutter.Feed(buffer.data(), static_cast<size_t>(n));
            playlist.Write(cutter, false);
            continue;  // input first: a stop request waits until the pipe is empty
        }
        if (fds[1].revents & POLLIN) {
            DrainInput(input, cutter, buffer);
            break;
        }
    }
    sink.Finishing();
    cutter.Finish();
    playlist.Write(cutter, true);
    close(signalFd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        fprintf(stderr,
                "usage: %s - <seconds> <prefix> <playlist> <url base> <first number>\n"
                "Cuts the MPEG transport stream on standard input into <prefix>-<n>.ts files.\n",
                argc > 0 ? argv[0] : "Segmenter");
        return 2;
    }
    try {
        return Run(options);
    } catch (const std::exception& error) {
        fprintf(stderr, "Segmenter: %s\n", error.what());
        return 1;
    }
}
