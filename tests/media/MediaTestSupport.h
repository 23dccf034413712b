// Helpers of the media tests: child programs run directly (independent of the code under test), clips
// made once per test program with ffmpeg's lavfi sources, and a small MPEG-TS packet reader.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace mediatest {

struct RunResult {
    int exitCode = -1;  // 128 + signal for a child ended by a signal
    std::string out;
    std::string err;
};

// Runs argv[0] (found on PATH) with input on its standard input; kills it after timeoutMs.
inline RunResult Run(const std::vector<std::string>& argv, const std::string& input = std::string(),
                     int timeoutMs = 60000) {
    signal(SIGPIPE, SIG_IGN);  // a child that ends early must not take the test with it
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    RunResult result;
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true, errOpen = true;
    char buffer[65536];
    while (outOpen || errOpen) {
        pollfd fds[3] = {{out[0], short(outOpen ? POLLIN : 0), 0},
                         {err[0], short(errOpen ? POLLIN : 0), 0},
                         {in[1], short(in[1] >= 0 ? POLLOUT : 0), 0}};
        const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        poll(fds, 3, left);
        if (fds[0].revents) {
            const ssize_t n = read(out[0], buffer, sizeof(buffer));
            if (n > 0) result.out.append(buffer, size_t(n)); else outOpen = false;
        }
        if (fds[1].revents) {
            const ssize_t n = read(err[0], buffer, sizeof(buffer));
            if (n > 0) result.err.append(buffer, size_t(n)); else errOpen = false;
        }
        if (in[1] >= 0 && fds[2].revents) {
            const ssize_t n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += size_t(n);
            if (n < 0 && errno != EAGAIN) written = input.size();
            if (written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// A folder for the clips of this test program, removed at its exit.
inline const std::string& ClipFolder() {
    static testsupport::TempDir folder;
    return folder.path();
}

// ffmpeg -y <args> <folder>/<name>, made once per test program.
inline std::string MakeClip(const std::string& name, const std::vector<std::string>& args) {
    static std::mutex lock;
    static std::map<std::string, std::string> made;
    std::lock_guard<std::mutex> guard(lock);
    auto found = made.find(name);
    if (found != made.end()) return found->second;
    std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string path = ClipFolder() + "/" + name;
    argv.push_back(path);
    RunResult r = Run(argv);
    if (r.exitCode != 0) throw std::runtime_error("ffmpeg could not make " + name + ": " + r.err);
    made[name] = path;
    return path;
}

// An MPEG-TS clip as the stream transcoder makes it: H.264 with a keyframe every 5 s, MP3 audio.
inline std::string MakeTsClip(const std::string& name, int seconds, const std::string& size = "320x240") {
    return MakeClip(name, {"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=29.97:duration=" + std::to_string(seconds),
                           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=" + std::to_string(seconds),
                           "-vcodec", "libx264", "-preset", "veryfast", "-force_key_frames", "expr:gte(t,n_forced*5)",
                           "-pix_fmt", "yuv420p", "-acodec", "libmp3lame", "-ar", "44100", "-ab", "64k",
                           "-f", "mpegts"});
}

// Byte comparisons that report where two buffers part instead of printing them.
inline ::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << at;
}

inline ::testing::AssertionResult SameFiles(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure() << actual.size() << " files, expected " << expected.size();
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        ::testing::AssertionResult same = SameBytes(actual[i], expected[i]);
        if (!same) return ::testing::AssertionFailure() << "file " << i << ": " << same.message();
    }
    return ::testing::AssertionSuccess();
}

inline std::string ReadAll(const std::string& path) { return testsupport::ReadFile(path); }

// The facts of one packet that the tests look at.
struct TsPacket {
    uint16_t pid = 0;
    bool unitStart = false;
    bool randomAccess = false;
    size_t payload = 188;  // offset of the payload, 188 when none
};

inline TsPacket ParsePacket(const uint8_t* p) {
    TsPacket t;
    t.pid = uint16_t(((p[1] & 0x1F) << 8) | p[2]);
    t.unitStart = (p[1] & 0x40) != 0;
    const bool adaptation = (p[3] & 0x20) != 0;
    t.randomAccess = adaptation && p[4] > 0 && (p[5] & 0x40) != 0;
    if (p[3] & 0x10) t.payload = adaptation ? 5 + size_t(p[4]) : 4;
    return t;
}

inline std::vector<TsPacket> Packets(const std::string& bytes) {
    std::vector<TsPacket> packets;
    for (size_t i = 0; i + 188 <= bytes.size(); i += 188) {
        packets.push_back(ParsePacket(reinterpret_cast<const uint8_t*>(bytes.data()) + i));
    }
    return packets;
}

// ffprobe's view of a file: one entry per line of "key=value" for the selected entries.
inline std::string Probe(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ffprobe", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = Run(argv);
    if (r.exitCode != 0) throw std::runtime_error("ffprobe failed: " + r.err);
    return r.out;
}

}  // namespace mediatest

namespace mediatest {

// A source whose picture brightness tells the time: luma = 20 x seconds (0 to 240 over 12 s).
inline std::string MakeClockClip(const std::string& name, int seconds) {
    return MakeClip(name, {"-f", "lavfi", "-i",
                           "color=size=320x240:rate=25:duration=" + std::to_string(seconds) + ",format=gray,geq=lum='20*T'",
                           "-f", "lavfi", "-i", "sine=duration=" + std::to_string(seconds), "-c:v", "libx264",
                           "-preset", "ultrafast", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac"});
}

// A 4 s Matroska clip of video 0, audio 1 and a SubRip track 2 holding srt, made once per name.
inline std::string MakeSubtitledClip(const std::string& name, const std::string& srt) {
    const std::string track = ClipFolder() + "/" + name + ".srt";
    testsupport::WriteFile(track, srt);
    return MakeClip(name, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=4", "-f", "lavfi", "-i",
                           "sine=duration=4", "-i", track, "-map", "0", "-map", "1", "-map", "2", "-c:v", "libx264",
                           "-preset", "ultrafast", "-c:a", "aac", "-c:s", "srt"});
}

// A copy of a subtitled clip at path, grown to 20 GB with a sparse tail of zeros (it takes no disk):
// ffmpeg's extraction of its track reads through the whole tail at full CPU, for minutes, and the
// extraction's limit for a file of that size is more than 400 s.
inline void MakeHugeSubtitledVideo(const std::string& path) {
    std::filesystem::copy_file(MakeSubtitledClip("huge-seed.mkv", "1\n00:00:00,500 --> 00:00:01,500\nHello\n"), path,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(path, 20ull * 1000 * 1000 * 1000);
}

// The mean brightness of the first picture of a file (0 to 255).
inline double FirstPictureLuma(const std::string& path) {
    RunResult r = Run({"ffmpeg", "-v", "error", "-nostdin", "-i", path, "-frames:v", "1", "-f", "rawvideo",
                       "-pix_fmt", "gray", "-"});
    if (r.exitCode != 0 || r.out.empty()) throw std::runtime_error("cannot decode " + path + ": " + r.err);
    double sum = 0;
    for (unsigned char c : r.out) sum += c;
    return sum / double(r.out.size());
}

// Processes whose command line names text (besides this test program).
inline std::vector<int> ProcessesNaming(const std::string& text) {
    std::vector<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const int pid = std::stoi(name);
        if (pid == getpid()) continue;
        std::string cmdline = ReadAll(entry.path().string() + "/cmdline");
        if (cmdline.find(text) != std::string::npos) found.push_back(pid);
    }
    return found;
}

// Whether every process naming text has gone within the limit: a killed transcoder is waited for in the
// background, so it may outlive the call that stopped it by a moment.
inline bool NoProcessNamingWithin(const std::string& text, std::chrono::seconds limit) {
    const auto start = std::chrono::steady_clock::now();
    while (!ProcessesNaming(text).empty()) {
        if (std::chrono::steady_clock::now() - start > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The most processes naming text that were alive at once while it lived, sampled from /proc every few
// milliseconds on a thread of its own. A run's slot is given back only after its process was reaped, so
// runs that follow one another never overlap in /proc.
class PeakProcesses {
public:
    explicit PeakProcesses(std::string text) : text_(std::move(text)), sampler_([this] { Sample(); }) {}
    ~PeakProcesses() { Stop(); }
    PeakProcesses(const PeakProcesses&) = delete;
    PeakProcesses& operator=(const PeakProcesses&) = delete;

    // Stops sampling; the peak seen.
    size_t Stop() {
        done_ = true;
        if (sampler_.joinable()) sampler_.join();
        return peak_;
    }
    size_t Peak() const { return peak_; }

private:
    void Sample() {
        while (!done_) {
            const size_t now = ProcessesNaming(text_).size();
            if (now > peak_) peak_ = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    const std::string text_;
    std::atomic<bool> done_{false};
    std::atomic<size_t> peak_{0};
    std::thread sampler_;
};

// The video of a file as ffprobe sees it: frame rates as fractions, the declared H.264 level (level_idc,
// 30 for level 3), the size and the number of frames.
struct VideoFacts {
    std::string rate, averageRate;
    int level = -1, width = 0, height = 0, frames = 0;
};

inline VideoFacts ProbeVideo(const std::string& path) {
    std::istringstream lines(Probe({"-select_streams", "v:0", "-count_frames", "-show_entries",
                                    "stream=r_frame_rate,avg_frame_rate,level,width,height,nb_read_frames", "-of",
                                    "default=nw=1", path}));
    VideoFacts facts;
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "r_frame_rate") facts.rate = value;
        if (key == "avg_frame_rate") facts.averageRate = value;
        if (key == "level") facts.level = std::stoi(value);
        if (key == "width") facts.width = std::stoi(value);
        if (key == "height") facts.height = std::stoi(value);
        if (key == "nb_read_frames") facts.frames = std::stoi(value);
    }
    return facts;
}

// Whether an H.264 level (level_idc) allows pictures of width x height at fps frames a second: its
// largest frame and its macroblock rate, from the standard's table of level limits.
inline bool H264LevelFits(int level, int width, int height, double fps) {
    static const struct {
        int level;
        double maxMacroblocksPerSecond;
        int maxFrameMacroblocks;
    } kLimits[] = {{9, 1485, 99},         {10, 1485, 99},       {11, 3000, 396},      {12, 6000, 396},
                   {13, 11880, 396},      {20, 11880, 396},     {21, 19800, 792},     {22, 20250, 1620},
                   {30, 40500, 1620},     {31, 108000, 3600},   {32, 216000, 5120},   {40, 245760, 8192},
                   {41, 245760, 8192},    {42, 522240, 8704},   {50, 589824, 22080},  {51, 983040, 36864},
                   {52, 2073600, 36864}};
    const int macroblocks = ((width + 15) / 16) * ((height + 15) / 16);
    for (const auto& limit : kLimits) {
        if (limit.level == level)
            return macroblocks <= limit.maxFrameMacroblocks && macroblocks * fps <= limit.maxMacroblocksPerSecond;
    }
    return false;
}

}  // namespace mediatest

namespace mediatest {

// A small hand-written PGS (Blu-ray bitmap subtitle) stream: a 16 x 8 box shown from 1 s to 3 s.
inline std::string PgsSubtitleStream() {
    auto u16 = [](std::string& s, unsigned v) { s += char(v >> 8); s += char(v & 0xFF); };
    auto segment = [&](unsigned pts, unsigned char type, const std::string& data) {
        std::string s = "PG";
        for (int i = 0; i < 2; ++i)
            for (int shift = 24; shift >= 0; shift -= 8) s += char((pts >> shift) & 0xFF);
        s += char(type);
        u16(s, unsigned(data.size()));
        return s + data;
    };
    auto displaySet = [&](unsigned pts, unsigned number, bool show) {
        std::string pcs;
        u16(pcs, 320);
        u16(pcs, 240);
        pcs += char(0x10);
        u16(pcs, number);
        pcs += char(show ? 0x80 : 0x00);  // epoch start, or a normal set that clears
        pcs += std::string("\0\0", 2);
        pcs += char(show ? 1 : 0);
        if (show) {
            u16(pcs, 0);
            pcs += std::string("\0\0", 2);
            u16(pcs, 10);
            u16(pcs, 10);
        }
        std::string wds(1, char(1));
        wds += char(0);
        for (unsigned v : {10u, 10u, 16u, 8u}) u16(wds, v);
        std::string out = segment(pts, 0x16, pcs) + segment(pts, 0x17, wds);
        if (show) {
            out += segment(pts, 0x14, std::string("\0\0\x01\xEB\x80\x80\xFF", 7));
            std::string rle;
            for (int line = 0; line < 8; ++line) rle += std::string("\0\x90\x01\0\0", 5);  // 16 pixels of colour 1
            std::string ods;
            u16(ods, 0);
            ods += char(0);
            ods += char(0xC0);
            const unsigned length = unsigned(rle.size()) + 4;
            ods += char(length >> 16);
            u16(ods, length & 0xFFFF);
            u16(ods, 16);
            u16(ods, 8);
            out += segment(pts, 0x15, ods + rle);
        }
        return out + segment(pts, 0x80, std::string());
    };
    return displaySet(90000, 0, true) + displaySet(270000, 1, false);
}

}  // namespace mediatest
