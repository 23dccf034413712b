// Streaming end to end, run by hand through bench/stream_bench.sh:
//   stream_bench <port> <session id> <share folder> <alias> <clip name> <cache folder> <runs> <server pid> <scratch>
// Against the real server: each run stops the previous stream, waits a random 400 to 650 ms, then times
//   1. POST "/video/play/", the playlist, and segment 1 to its last byte, as a player starts a video;
//   2. right after, a request for segment 13 (12 ahead of the last one received) to its last byte, as a
//      player's seek;
// and with inotify, from the segmenter closing each of those segments to the first and to the last byte of
// its reply at the client.
// Then the yardsticks, interleaved: ffmpeg alone with the argument lists the server's transcoder had in
// 1 and 2 (read from /proc), to its first segment closed; after the first run (the first play of the file),
// also the server's probe alone ("ffmpeg -i" on the clip). One line per run and figure, "first ..." (with
// "play=", the play request's own time), "seek ...", "base ...", "baseseek ...", "probe ...", all times in
// seconds.
//   stream_bench phases <port> <session id> <alias> <clip name> <server pid> <repeats>
// measures what the server costs in four phases, by turns in each repeat: idle with no stream; a player
// in real time (a segment every 5 s, 30 s); a held stream (segment 1 taken, production three ahead,
// nothing asked, 10 s); 24 segments fetched as fast as they are made. One line per phase and repeat:
// the server's CPU seconds per second (utime + stime of all its threads), its wake-ups per second
// (voluntary context switches summed over its threads), and the CPU seconds per second of the run's
// ffmpeg and segmenter.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

// File events with the time this process saw them.
class Watcher {
public:
    struct Event {
        int wd;
        uint32_t mask;
        std::string name;
        Clock::time_point at;
    };

    Watcher() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        char folder[] = "/tmp/stream-bench-marks-XXXXXX";
        if (fd_ < 0 || pipe(stop_) != 0 || !mkdtemp(folder)) throw std::runtime_error("inotify");
        marks_ = folder;
        marksWd_ = Watch(marks_, IN_CREATE);
        thread_ = std::thread([this] { Loop(); });
    }
    ~Watcher() {
        const char c = 0;
        if (write(stop_[1], &c, 1) != 1) perror("write");
        thread_.join();
        close(fd_);
        close(stop_[0]);
        close(stop_[1]);
        for (int i = 1; i <= marksMade_; ++i) unlink((marks_ + "/" + std::to_string(i)).c_str());
        rmdir(marks_.c_str());
    }
    // A point in the order of events: the events that came after it happened after this call. (The
    // times are when this process saw an event, so under load they can be a little late; the order
    // cannot be.)
    int Mark() {
        const std::string name = std::to_string(++marksMade_);
        close(open((marks_ + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        return marksMade_;
    }
    int Watch(const std::string& path, uint32_t mask) {
        const int wd = inotify_add_watch(fd_, path.c_str(), mask);
        if (wd < 0) throw std::runtime_error("cannot watch " + path + ": " + strerror(errno));
        return wd;
    }
    void Unwatch(int wd) { inotify_rm_watch(fd_, wd); }
    // The first event on wd (with that name, when one is given, and one of the kinds in mask) after the
    // mark; false when none.
    bool First(int wd, const std::string& name, int mark, Clock::time_point& at, uint32_t mask = ~0u) {
        std::lock_guard<std::mutex> guard(lock_);
        const std::string markName = std::to_string(mark);
        bool marked = false;
        for (const Event& e : events_) {
            if (!marked) {
                marked = e.wd == marksWd_ && e.name == markName;
            } else if (e.wd == wd && (name.empty() || e.name == name) && (e.mask & mask)) {
                at = e.at;
                return true;
            }
        }
        return false;
    }

private:
    void Loop() {
        alignas(inotify_event) char buffer[64 * 1024];
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            const ssize_t n = read(fd_, buffer, sizeof(buffer));
            const Clock::time_point now = Clock::now();
            std::lock_guard<std::mutex> guard(lock_);
            for (ssize_t at = 0; at < n;) {
                const inotify_event* e = reinterpret_cast<const inotify_event*>(buffer + at);
                events_.push_back(Event{e->wd, e->mask, e->len ? std::string(e->name) : std::string(), now});
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
    }

    int fd_;
    int stop_[2];
    std::string marks_;
    int marksWd_ = -1;
    int marksMade_ = 0;
    std::mutex lock_;
    std::vector<Event> events_;
    std::thread thread_;
};

struct Reply {
    int status = 0;
    std::string body;
    Clock::time_point firstByte;
    Clock::time_point lastByte;
};

// One keep-alive HTTP/1.1 connection on loopback.
class Connection {
public:
    explicit Connection(int port) : port_(port) {}
    ~Connection() { Close(); }

    Reply Request(const std::string& method, const std::string& target, const std::string& body = std::string()) {
        if (fd_ < 0) Open();
        std::string head = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n";
        if (method == "POST") head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        head += "\r\n" + body;
        for (size_t sent = 0; sent < head.size();) {
            const ssize_t n = send(fd_, head.data() + sent, head.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send failed");
            sent += size_t(n);
        }
        return ReadReply();
    }

private:
    void Open() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) throw std::runtime_error("connect");
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        pending_.clear();
    }
    // Reads more bytes into pending_; false at the end of the connection.
    bool Fill() {
        char block[256 * 1024];
        const ssize_t n = recv(fd_, block, sizeof(block), 0);
        if (n <= 0) return false;
        pending_.append(block, size_t(n));
        return true;
    }
    Reply ReadReply() {
        Reply reply;
        size_t end;
        bool first = true;
        while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill()) throw std::runtime_error("connection ended before a reply head");
            if (first) reply.firstByte = Clock::now();
            first = false;
        }
        const std::string head = pending_.substr(0, end);
        pending_.erase(0, end + 4);
        reply.status = atoi(head.c_str() + head.find(' ') + 1);
        std::string lower = head;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        const size_t length = lower.find("\r\ncontent-length:");
        if (length == std::string::npos) {
            while (Fill()) {
            }
            reply.body.swap(pending_);
            Close();
        } else {
            const size_t wanted = size_t(strtoull(head.c_str() + length + 17, nullptr, 10));
            while (pending_.size() < wanted) {
                if (!Fill()) throw std::runtime_error("connection ended inside a reply body");
            }
            reply.body = pending_.substr(0, wanted);
            pending_.erase(0, wanted);
            if (lower.find("\r\nconnection: close") != std::string::npos) Close();
        }
        reply.lastByte = Clock::now();
        return reply;
    }

    int port_;
    int fd_ = -1;
    std::string pending_;
};

std::string Between(const std::string& text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    if (at == std::string::npos) return std::string();
    const size_t end = text.find(to, at + from.size());
    return end == std::string::npos ? std::string() : text.substr(at + from.size(), end - at - from.size());
}

// The path and query of an absolute URL.
std::string PathOf(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t at = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return at == std::string::npos ? std::string("/") : url.substr(at);
}

// The playlist's URL of segment n.
std::string SegmentUrl(const std::string& playlist, uint32_t n) {
    const std::string name = "/segment-" + std::to_string(n) + ".ts?";
    const size_t at = playlist.find(name);
    if (at == std::string::npos) return std::string();
    const size_t start = playlist.rfind('\n', at) + 1;
    const size_t end = playlist.find_first_of("\r\n", at);
    return playlist.substr(start, end - start);
}

// The pid of the server's newest living child of that name; 0 when none.
pid_t ChildPid(pid_t parent, const std::string& name) {
    pid_t found = 0;
    double newest = -1;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || line.substr(open + 1, close - open - 1) != name) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        char state = 0;
        long long ppid = 0;
        rest >> state >> ppid;
        if (ppid != parent || state == 'Z') continue;
        for (int i = 5; i <= 21; ++i) rest >> field;
        double start = 0;
        rest >> start;
        if (start > newest) {
            newest = start;
            found = pid;
        }
    }
    closedir(proc);
    return found;
}

// The command line of the server's newest living child of that name (from /proc); empty when none.
std::vector<std::string> ChildCommand(pid_t parent, const std::string& name) {
    std::vector<std::string> args;
    const pid_t pid = ChildPid(parent, name);
    if (pid == 0) return args;
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    const std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\0', at);
        args.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return args;
}

// ffmpeg alone with the server's own argument list (taken from its transcoder), its MPEG-TS output
// handed to ffmpeg's segment muxer in place of the pipe: seconds from its start until its first 5 s
// segment is closed (the second file is created), the same criterion as a segment of ours.
double Yardstick(Watcher& watcher, const std::vector<std::string>& server, const std::string& folder) {
    if (server.size() < 3 || server.back() != "-") return -1;
    system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "'").c_str());
    std::vector<std::string> args = {"ffmpeg", "-v", "error", "-nostdin"};
    for (size_t i = 1; i + 1 < server.size(); ++i) {
        if (server[i] == "mpegts" && args.back() == "-f") {
            args.insert(args.end(), {"segment", "-segment_time", "5", "-segment_format", "mpegts"});
            continue;
        }
        args.push_back(server[i]);
    }
    args.push_back(folder + "/base-%03d.ts");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const int wd = watcher.Watch(folder, IN_CREATE);
    const int mark = watcher.Mark();
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    Clock::time_point at;
    bool seen = false;
    for (int i = 0; i < 120000 && !(seen = watcher.First(wd, "base-001.ts", mark, at)); ++i) usleep(250);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    watcher.Unwatch(wd);
    return seen ? Seconds(start, at) : -1;
}

// The server's probe alone, "ffmpeg -i" on the clip with both outputs piped and read to the end, as the
// server runs it: seconds from its start to its end.
double ProbeYardstick(const std::string& clip) {
    std::string input = "file:" + clip;
    std::vector<char*> argv = {const_cast<char*>("ffmpeg"), const_cast<char*>("-i"), &input[0], nullptr};
    int out[2];
    if (pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return -1;
    }
    char block[4096];
    while (read(out[0], block, sizeof block) > 0) {
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return Seconds(start, Clock::now());
}

// ---- What the server costs: CPU and wake-ups in four phases

// Clock ticks of user and system time of a process (all its threads, ended ones included); -1 when gone.
long long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(stat, line)) return -1;
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 13; ++i) rest >> field;
    rest >> utime >> stime;
    return utime + stime;
}

// Voluntary context switches summed over a process's living threads: how often it went to sleep.
long long WakeUps(pid_t pid) {
    long long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return -1;
    while (dirent* entry = readdir(dir)) {
        if (atoi(entry->d_name) <= 0) continue;
        std::ifstream status(tasks + "/" + entry->d_name + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += atoll(line.c_str() + 24);
    }
    closedir(dir);
    return total;
}

// One phase's window: the server's CPU and wake-ups, and the CPU of the run's ffmpeg and segmenter (the
// programs are looked for at the end of the window; a run that starts inside it counts from its start).
class Window {
public:
    Window(pid_t server, bool runStartsInside) : server_(server), start_(Clock::now()) {
        cpu_ = CpuTicks(server);
        wakes_ = WakeUps(server);
        if (!runStartsInside) {
            ffmpeg_ = ChildPid(server, "ffmpeg");
            segmenter_ = ChildPid(server, "Segmenter");
            ffmpegCpu_ = CpuTicks(ffmpeg_);
            segmenterCpu_ = CpuTicks(segmenter_);
        }
    }
    void Print(const char* phase, int repeat) {
        const double seconds = Seconds(start_, Clock::now());
        const double hz = double(sysconf(_SC_CLK_TCK));
        const pid_t ffmpeg = ffmpeg_ ? ffmpeg_ : ChildPid(server_, "ffmpeg");
        const pid_t segmenter = segmenter_ ? segmenter_ : ChildPid(server_, "Segmenter");
        const long long f = CpuTicks(ffmpeg), g = CpuTicks(segmenter);
        printf("phase=%s repeat=%d seconds=%.2f server_cpu=%.5f wakeups=%.1f ffmpeg_cpu=%.5f segmenter_cpu=%.5f\n", phase,
               repeat, seconds, double(CpuTicks(server_) - cpu_) / hz / seconds, double(WakeUps(server_) - wakes_) / seconds,
               f < 0 ? -1.0 : double(f - std::max(ffmpegCpu_, 0LL)) / hz / seconds,
               g < 0 ? -1.0 : double(g - std::max(segmenterCpu_, 0LL)) / hz / seconds);
        fflush(stdout);
    }

private:
    pid_t server_;
    Clock::time_point start_;
    long long cpu_ = 0, wakes_ = 0;
    pid_t ffmpeg_ = 0, segmenter_ = 0;
    long long ffmpegCpu_ = 0, segmenterCpu_ = 0;
};

// The play request's body: the server's defaults, or the video bitrate in BITRATE (kb/s) when set.
std::string PlayBody() {
    const char* bitrate = getenv("BITRATE");
    if (!bitrate || !*bitrate) return "<Play/>";
    if (strspn(bitrate, "0123456789") != strlen(bitrate)) throw std::runtime_error("BITRATE is not a number");
    return "<Play><Bitrate target=\"" + std::string(bitrate) + "\"/></Play>";
}

// A stream started afresh: its segment URLs (index 0 unused).
std::vector<std::string> StartStream(Connection& player, const std::string& rest, const std::string& query, uint32_t count) {
    player.Request("GET", "/video/stop/" + rest + query);
    const Reply play = player.Request("POST", "/video/play/" + rest + query, PlayBody());
    const std::string url = Between(play.body, "<URL>", "</URL>");
    if (play.status != 200 || url.empty()) throw std::runtime_error("play failed: " + play.body);
    const Reply playlist = player.Request("GET", PathOf(url));
    std::vector<std::string> segments(1);
    for (uint32_t i = 1; i <= count; ++i) {
        segments.push_back(PathOf(SegmentUrl(playlist.body, i)));
        if (segments.back() == "/") throw std::runtime_error("the playlist is too short");
    }
    return segments;
}

void Fetch(Connection& player, const std::string& target) {
    const Reply r = player.Request("GET", target);
    if (r.status != 200 || r.body.empty()) throw std::runtime_error("a segment failed: " + target);
}

// stream_bench phases <port> <session id> <alias> <clip name> <server pid> <repeats>
int Phases(int argc, char** argv) {
    if (argc < 8) {
        fprintf(stderr, "usage: %s phases <port> <session id> <alias> <clip name> <server pid> <repeats>\n", argv[0]);
        return 2;
    }
    const int port = atoi(argv[2]);
    const std::string query = "?SessionID=" + std::string(argv[3]);
    const std::string rest = std::string(argv[4]) + "/" + argv[5];
    const pid_t server = pid_t(atoi(argv[6]));
    const int repeats = atoi(argv[7]);
    // PHASES="held fast", say, runs only those (to profile one).
    const char* chosen = getenv("PHASES");
    auto runs = [chosen](const char* phase) { return !chosen || strstr(chosen, phase) != nullptr; };
    try {
        Connection player(port);
        for (int repeat = 1; repeat <= repeats; ++repeat) {
            // Idle: no stream.
            player.Request("GET", "/video/stop/" + rest + query);
            std::this_thread::sleep_for(std::chrono::seconds(2));
            if (runs("idle")) {
                Window idle(server, true);
                std::this_thread::sleep_for(std::chrono::seconds(10));
                idle.Print("idle", repeat);
            }

            // A player in real time: one segment every 5 s for 30 s, from the first.
            if (runs("realtime")) {
                std::vector<std::string> segments = StartStream(player, rest, query, 6);
                Window player5(server, true);
                const Clock::time_point start = Clock::now();
                for (uint32_t i = 1; i <= 6; ++i) {
                    std::this_thread::sleep_until(start + std::chrono::seconds(5 * (i - 1)));
                    Fetch(player, segments[i]);
                }
                std::this_thread::sleep_until(start + std::chrono::seconds(30));
                player5.Print("realtime", repeat);
            }

            // Held: segment 1 taken, production three ahead, nothing asked.
            if (runs("held")) {
                std::vector<std::string> segments = StartStream(player, rest, query, 1);
                Fetch(player, segments[1]);
                std::this_thread::sleep_for(std::chrono::seconds(5));  // segments 2 to 4 made
                Window held(server, false);
                std::this_thread::sleep_for(std::chrono::seconds(10));
                held.Print("held", repeat);
            }

            // Fetched as fast as made: 24 segments back to back.
            if (runs("fast")) {
                std::vector<std::string> segments = StartStream(player, rest, query, 24);
                Window fast(server, true);
                for (uint32_t i = 1; i <= 24; ++i) Fetch(player, segments[i]);
                fast.Print("fast", repeat);
            }
        }
        player.Request("GET", "/video/stop/" + rest + query);
    } catch (const std::exception& e) {
        fprintf(stderr, "stream_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "phases") return Phases(argc, argv);
    if (argc < 10) {
        fprintf(stderr,
                "usage: %s <port> <session id> <share folder> <alias> <clip name> <cache folder> <runs> <server pid> "
                "<scratch folder>\n",
                argv[0]);
        return 2;
    }
    const int port = atoi(argv[1]);
    const std::string session = argv[2];
    const std::string clip = std::string(argv[3]) + "/" + argv[5];
    const std::string rest = std::string(argv[4]) + "/" + argv[5];
    const std::string cache = argv[6];
    const int runs = atoi(argv[7]);
    const pid_t server = pid_t(atoi(argv[8]));
    const std::string scratch = argv[9];
    const std::string query = "?SessionID=" + session;
    const uint32_t seekTo = 13;  // 12 ahead of the segment just received

    srandom(unsigned(getpid()) ^ unsigned(time(nullptr)));
    try {
        Watcher watcher;
        Connection player(port);
        for (int run = 1; run <= runs; ++run) {
            // Every run starts from a stopped stream.
            player.Request("GET", "/video/stop/" + rest + query);
            // A pause of random length: the play lands anywhere in the cycle of the worker's idle sleep.
            std::this_thread::sleep_for(std::chrono::milliseconds(400 + random() % 250));

            const Clock::time_point start = Clock::now();
            const Reply play = player.Request("POST", "/video/play/" + rest + query, PlayBody());
            const std::string url = Between(play.body, "<URL>", "</URL>");
            if (play.status != 200 || url.empty()) throw std::runtime_error("play failed: " + play.body);
            const std::string id = Between(url, "/video/stream/", "/");
            const int folderWd = watcher.Watch(cache + "/" + id, IN_CREATE | IN_CLOSE_WRITE);
            const Reply playlist = player.Request("GET", PathOf(url));
            const std::string first = SegmentUrl(playlist.body, 1);
            const std::string later = SegmentUrl(playlist.body, seekTo);
            if (playlist.status != 200 || first.empty() || later.empty()) throw std::runtime_error("no playlist");

            const int askedMark = watcher.Mark();
            const Reply segment = player.Request("GET", PathOf(first));
            if (segment.status != 200 || segment.body.empty()) throw std::runtime_error("segment 1 failed");
            const std::vector<std::string> firstArgs = ChildCommand(server, "ffmpeg");
            // Segment 1 complete on disk (the segmenter closed it) to its last byte at the client.
            Clock::time_point closed;
            const bool sawClose = watcher.First(folderWd, "segment-1.ts", askedMark, closed, IN_CLOSE_WRITE);
            printf("first run=%d total=%.4f closed_to_last=%.4f closed_to_first=%.4f bytes=%zu play=%.4f\n", run,
                   Seconds(start, segment.lastByte), sawClose ? Seconds(closed, segment.lastByte) : -1,
                   sawClose ? Seconds(closed, segment.firstByte) : -1, segment.body.size(), Seconds(start, play.lastByte));

            const int seekMark = watcher.Mark();
            const Clock::time_point seek = Clock::now();
            const Reply ahead = player.Request("GET", PathOf(later));
            if (ahead.status != 200 || ahead.body.empty()) throw std::runtime_error("the seek's segment failed");
            const std::vector<std::string> seekArgs = ChildCommand(server, "ffmpeg");
            const std::string seekName = "segment-" + std::to_string(seekTo) + ".ts";
            const bool sawSeekClose = watcher.First(folderWd, seekName, seekMark, closed, IN_CLOSE_WRITE);
            printf("seek run=%d total=%.4f closed_to_last=%.4f closed_to_first=%.4f bytes=%zu\n", run,
                   Seconds(seek, ahead.lastByte), sawSeekClose ? Seconds(closed, ahead.lastByte) : -1,
                   sawSeekClose ? Seconds(closed, ahead.firstByte) : -1, ahead.body.size());
            watcher.Unwatch(folderWd);
            player.Request("GET", "/video/stop/" + rest + query);

            // The yardsticks right after, with the very arguments the server used: ffmpeg alone to its first
            // segment, from the start of the file and from the seek's second.
            printf("base run=%d total=%.4f\n", run, Yardstick(watcher, firstArgs, scratch));
            printf("baseseek run=%d total=%.4f\n", run, Yardstick(watcher, seekArgs, scratch));
            // After the first play, the probe that it ran, alone.
            if (run == 1) printf("probe run=%d total=%.4f\n", run, ProbeYardstick(clip));
            fflush(stdout);
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "stream_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
