// The segmenter program ("Segmenter.exe" to the server) run as the server runs it.
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "MediaTestSupport.h"
#include "kivlib/KivProcess.h"
#include "tools/segmenter/TsCutter.h"

namespace {

std::string SegmenterPath() { return std::string(CALVORO_BIN_DIR) + "/Segmenter"; }

class CollectSink : public tscut::ISegmentSink {
public:
    void Open(uint32_t) override { files.emplace_back(); }
    void Write(const uint8_t* b, size_t n) override { files.back().append(reinterpret_cast<const char*>(b), n); }
    void Close() override {}
    std::vector<std::string> files;
};

// What the cutter makes of the bytes, for comparison with the program's files.
std::vector<std::string> Expected(const std::string& stream, uint32_t first, std::vector<tscut::SegmentInfo>* info = nullptr) {
    CollectSink sink;
    tscut::TsCutter cutter(sink, 5, first);
    cutter.Feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    cutter.Finish();
    if (info) *info = cutter.Segments();
    return sink.files;
}

std::vector<std::string> ReadSegments(const testsupport::TempDir& dir, uint32_t first, uint32_t count) {
    std::vector<std::string> files;
    for (uint32_t n = first; n < first + count; ++n) files.push_back(mediatest::ReadAll(dir.file("segment-" + std::to_string(n) + ".ts")));
    return files;
}

TEST(SegmenterProgram, CutsFromTheFirstNumberClosingEachFileBeforeTheNext) {
    const std::string stream = mediatest::ReadAll(mediatest::MakeTsClip("program.ts", 16));
    std::vector<tscut::SegmentInfo> info;
    const std::vector<std::string> expected = Expected(stream, 7, &info);
    ASSERT_EQ(expected.size(), 4u);

    testsupport::TempDir dir;
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_CLOSE_WRITE), 0);

    const mediatest::RunResult run = mediatest::Run(
        {SegmenterPath(), "-", "5", dir.file("segment"), dir.file("stream.m3u8"), "http://h:8683/video/stream/ab12/", "7"},
        stream);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(mediatest::SameFiles(ReadSegments(dir, 7, 4), expected));
    EXPECT_FALSE(testsupport::PathExists(dir.file("segment-6.ts")));
    EXPECT_FALSE(testsupport::PathExists(dir.file("segment-11.ts")));
    // Each file is reported once it is closed whole, in order: the server's word that it is complete.
    EXPECT_EQ(run.out, "closed 7\nclosed 8\nclosed 9\nclosed 10\n");

    // The order of events on the folder: segment n is closed before segment n + 1 is created.
    std::vector<std::string> events;
    alignas(inotify_event) char buffer[65536];
    for (ssize_t n; (n = read(watch, buffer, sizeof(buffer))) > 0;) {
        for (char* p = buffer; p < buffer + n;) {
            const inotify_event* e = reinterpret_cast<const inotify_event*>(p);
            const std::string name = e->len ? e->name : "";
            if (name.rfind("segment-", 0) == 0) events.push_back(((e->mask & IN_CREATE) ? "create " : "close ") + name);
            p += sizeof(inotify_event) + e->len;
        }
    }
    close(watch);
    std::vector<std::string> wanted;
    for (int n = 7; n <= 10; ++n) {
        wanted.push_back("create segment-" + std::to_string(n) + ".ts");
        wanted.push_back("close segment-" + std::to_string(n) + ".ts");
    }
    EXPECT_EQ(events, wanted);

    const std::string playlist = mediatest::ReadAll(dir.file("stream.m3u8"));
    EXPECT_EQ(playlist, tscut::BuildPlaylist(info, 5, "http://h:8683/video/stream/ab12/", "segment", true));
    EXPECT_NE(playlist.find("#EXT-X-MEDIA-SEQUENCE:7\n"), std::string::npos);
    EXPECT_NE(playlist.find("http://h:8683/video/stream/ab12/segment-10.ts\n#EXT-X-ENDLIST\n"), std::string::npos);
    EXPECT_FALSE(testsupport::PathExists(dir.file("stream.m3u8.part")));
}

// A gentle stop while the input pipe is full: everything already in the pipe still reaches the files.
TEST(SegmenterProgram, StopSignalWithAFullPipeLosesNothing) {
    const std::string stream = mediatest::ReadAll(mediatest::MakeTsClip("program-stop.ts", 30));
    testsupport::TempDir dir;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 256 * 1024);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[0], 0);
        const std::string program = SegmenterPath(), prefix = dir.file("segment"), list = dir.file("stream.m3u8");
        execl(program.c_str(), program.c_str(), "-", "5", prefix.c_str(), list.c_str(), "u/", "1", (char*)nullptr);
        _exit(127);
    }
    close(fds[0]);

    // A first part, taken in while the program runs freely: segment 1 shows it is reading.
    size_t written = 0;
    const size_t first = stream.size() / 4 / 188 * 188;
    while (written < first) {
        const ssize_t n = write(fds[1], stream.data() + written, first - written);
        ASSERT_GT(n, 0);
        written += size_t(n);
    }
    for (int i = 0; i < 500 && !testsupport::PathExists(dir.file("segment-2.ts")); ++i) usleep(10000);
    ASSERT_TRUE(testsupport::PathExists(dir.file("segment-2.ts")));

    // Halt it, fill the pipe to the brim, then ask it to stop while our end stays open.
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    while (written < stream.size()) {
        const ssize_t n = write(fds[1], stream.data() + written, std::min<size_t>(4096, stream.size() - written));
        if (n <= 0) break;
        written += size_t(n);
    }
    ASSERT_LT(written, stream.size()) << "the pipe never filled";
    ASSERT_GT(written, first + 64 * 1024);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_EQ(kill(pid, SIGCONT), 0);
    bool ended = false;
    for (int i = 0; i < 1000 && !ended; ++i) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended) usleep(10000);
    }
    close(fds[1]);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the segmenter did not end after SIGTERM";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::vector<tscut::SegmentInfo> info;
    const std::vector<std::string> expected = Expected(stream.substr(0, written), 1, &info);
    EXPECT_TRUE(mediatest::SameFiles(ReadSegments(dir, 1, uint32_t(expected.size())), expected));
    EXPECT_FALSE(testsupport::PathExists(dir.file("segment-" + std::to_string(expected.size() + 1) + ".ts")));
    EXPECT_EQ(mediatest::ReadAll(dir.file("stream.m3u8")), tscut::BuildPlaylist(info, 5, "u/", "segment", true));
}

// What the program has reported, read until it holds want (at most 20 s).
std::string ReportUntil(KivProcess& program, std::string& report, const std::string& want) {
    for (const auto start = std::chrono::steady_clock::now();
         report.find(want) == std::string::npos && std::chrono::steady_clock::now() - start < std::chrono::seconds(20);) {
        report += program.ReadStdout(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return report;
}

// With its credits descriptor named in the environment, the program closes a file, begins the next and
// waits there for a byte from that descriptor; each byte lets it close one more file, and the
// descriptor's end lets it cut the rest. A stop request ends a wait too, and the rest of the input is
// still cut. A descriptor 3 it was not told of paces nothing.
TEST(SegmenterProgram, CreditsOnTheNamedDescriptorPaceTheFiles) {
    const std::string clip = mediatest::MakeTsClip("program-paced.ts", 16);
    const std::vector<std::string> expected = Expected(mediatest::ReadAll(clip), 7);
    ASSERT_EQ(expected.size(), 4u);
    enum Mode { kPaced, kStoppedWhileWaiting, kNotNamed };
    for (const Mode mode : {kPaced, kStoppedWhileWaiting, kNotNamed}) {
        SCOPED_TRACE(mode == kPaced ? "paced to the end" : mode == kStoppedWhileWaiting ? "stopped while waiting" : "not named");
        testsupport::TempDir dir;
        int credits[2];
        ASSERT_EQ(pipe2(credits, O_CLOEXEC), 0);
        boost::shared_ptr<KivProcess> program = KivProcess::GetInstance();
        ASSERT_TRUE(program->GiveChild(3, credits[0]));
        if (mode != kNotNamed) {
            ASSERT_TRUE(program->SetChildVariable("CALVORO_SEGMENTER_CREDITS", "3"));
        }
        ASSERT_TRUE(program->Start(SegmenterPath(), {clip, "5", dir.file("segment"), dir.file("stream.m3u8"), "u/", "7"},
                                   true, false, true));
        close(credits[0]);
        std::string report;
        // Waiting at the start of each file it was not allowed: begun, empty, nothing more reported.
        auto waitsIn = [&](uint32_t number) {
            EXPECT_EQ(ReportUntil(*program, report, "closed " + std::to_string(number - 1) + "\n"),
                      number == 8 ? "closed 7\n" : "closed 7\nclosed 8\n");
            const std::string begun = dir.file("segment-" + std::to_string(number) + ".ts");
            for (int i = 0; i < 2000 && !testsupport::PathExists(begun); ++i) usleep(10000);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            report += program->ReadStdout(false);
            EXPECT_EQ(report.find("closed " + std::to_string(number)), std::string::npos);
            EXPECT_TRUE(mediatest::ReadAll(begun).empty());
            EXPECT_FALSE(testsupport::PathExists(dir.file("segment-" + std::to_string(number + 1) + ".ts")));
        };
        if (mode == kPaced) {
            waitsIn(8);
            ASSERT_EQ(write(credits[1], "c", 1), 1);
            waitsIn(9);
            close(credits[1]);  // the rest at once
            credits[1] = -1;
        } else if (mode == kStoppedWhileWaiting) {
            waitsIn(8);
            EXPECT_TRUE(program->Stop(true, 20000)) << "a stop request did not end the wait";
        }
        int code = -1;
        // Not named, it ends on its own while the descriptor stays open.
        EXPECT_EQ(program->Wait(code, 20000), KivProcess::WAIT_ENDED);
        if (credits[1] >= 0) close(credits[1]);
        EXPECT_EQ(code, 0) << program->ReadStderr(true);
        // (A gentle stop closes our end of the report first.)
        if (mode != kStoppedWhileWaiting) {
            EXPECT_EQ(report + program->ReadStdout(true), "closed 7\nclosed 8\nclosed 9\nclosed 10\n");
        }
        EXPECT_TRUE(mediatest::SameFiles(ReadSegments(dir, 7, 4), expected));
    }
}

TEST(SegmenterProgram, RefusesArgumentsThatBreakTheContract) {
    testsupport::TempDir dir;
    const std::string prefix = dir.file("segment"), list = dir.file("s.m3u8");
    const std::vector<std::vector<std::string>> cases = {
        {"-", "5", prefix, list, "u/"},             // no first number
        {"-", "five", prefix, list, "u/", "1"},     // seconds not a number
        {"-", "0", prefix, list, "u/", "1"},        // no length
        {"-", "5", prefix, list, "u/", "-1"},       // negative first number
        {"-", "5", prefix, list, "u/", "4294967296"},  // above 32 bits
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {SegmenterPath()};
        argv.insert(argv.end(), c.begin(), c.end());
        const mediatest::RunResult r = mediatest::Run(argv);
        EXPECT_EQ(r.exitCode, 2) << c[1] << " " << c.back();
        EXPECT_NE(r.err.find("usage"), std::string::npos);
    }
    EXPECT_FALSE(testsupport::PathExists(dir.file("segment-1.ts")));
}

TEST(SegmenterProgram, FolderThatCannotBeWrittenEndsWithAnError) {
    const std::string stream = mediatest::ReadAll(mediatest::MakeTsClip("program.ts", 16));
    const mediatest::RunResult r =
        mediatest::Run({SegmenterPath(), "-", "5", "/nonexistent-folder/segment", "/nonexistent-folder/s.m3u8", "u/", "1"}, stream);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("/nonexistent-folder/segment-1.ts"), std::string::npos) << r.err;
}

}  // namespace
