// The ffmpeg argument list of every kind of run.
#include "media/TranscodeParams.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "MediaTestSupport.h"
#include "core/Log.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/KivProcess.h"
#include "kivlib/kiv_text.h"

namespace {

using Args = std::vector<std::wstring>;

Args Build(const TranscodeParams& p, TranscodeMode mode) {
    Args args;
    BuildFfmpegArgs(args, p, mode);
    return args;
}

TranscodeParams Defaults() {
    TranscodeParams p;
    p.InputPath = L"/videos/film.mkv";
    p.Aspect = 0;
    p.Threads = 2;
    return p;
}

// The value that follows option, or "(none)"; "(twice)" when the option appears more than once.
std::wstring After(const Args& args, const std::wstring& option) {
    auto found = std::find(args.begin(), args.end(), option);
    if (found == args.end() || found + 1 == args.end()) return L"(none)";
    if (std::find(found + 1, args.end(), option) != args.end()) return L"(twice)";
    return *(found + 1);
}

ptrdiff_t IndexOf(const Args& args, const std::wstring& element) {
    return std::find(args.begin(), args.end(), element) - args.begin();
}

TEST(BuildFfmpegArgs, StreamRunWithDefaults) {
    const Args expected = {
        L"ffmpeg.exe", L"-i", L"file:/videos/film.mkv",
        L"-me_range", L"-16", L"-qdiff", L"4", L"-qmin", L"10", L"-qmax", L"51", L"-qcomp", L"0.6",
        L"-trellis", L"0", L"-sc_threshold", L"40", L"-subq", L"5", L"-partitions", L"+parti4x4+parti8x8+partp8x8",
        L"-cmp", L"+chroma", L"-deblock", L"0:0", L"-keyint_min", L"25", L"-b_strategy", L"0", L"-bf", L"0",
        L"-flags", L"+loop", L"-flags2", L"+fast", L"-maxrate", L"1200k", L"-bufsize", L"512k",
        L"-wpredp", L"0", L"-b:v", L"1200k", L"-bt", L"1200k", L"-async", L"2",
        L"-vcodec", L"libx264", L"-ac", L"2",
        L"-vf", L"fps='if(gt(source_fps,0)*lte(source_fps,30),source_fps,30000/1001)'",
        L"-ar", L"44100", L"-b:a", L"196k", L"-acodec", L"libmp3lame", L"-f", L"mpegts",
        L"-s", L"320x240", L"-threads", L"2", L"-pix_fmt", L"yuv420p",
        L"-force_key_frames", L"expr:gte(t,n_forced*5)", L"-"};
    EXPECT_EQ(Build(Defaults(), TranscodeToStdout), expected);
}

TEST(BuildFfmpegArgs, AppendsToWhatTheListHolds) {
    Args args = {L"x"};
    BuildFfmpegArgs(args, Defaults(), TranscodeToStdout);
    EXPECT_EQ(args[0], L"x");
    EXPECT_EQ(args[1], L"ffmpeg.exe");
}

TEST(BuildFfmpegArgs, AudioBitrateFollowsTheVideoBitrateOnlyWhenStreaming) {
    const std::pair<uint32_t, const wchar_t*> cases[] = {{64, L"64k"},   {128, L"64k"},  {129, L"96k"},  {256, L"96k"},
                                                         {257, L"128k"}, {512, L"128k"}, {513, L"196k"}, {5000, L"196k"}};
    for (const auto& c : cases) {
        TranscodeParams p = Defaults();
        p.TargetBitrate = c.first;
        const Args stream = Build(p, TranscodeToStdout);
        EXPECT_EQ(After(stream, L"-b:a"), c.second) << c.first;
        EXPECT_EQ(After(stream, L"-maxrate"), std::to_wstring(c.first) + L"k");
        EXPECT_EQ(After(stream, L"-b:v"), std::to_wstring(c.first) + L"k");
        EXPECT_EQ(After(Build(p, TranscodeFileToFileMode), L"-b:a"), L"196k") << c.first;
    }
}

TEST(BuildFfmpegArgs, SeekIsAnInputOptionAndTheStreamKeepsItsTimeline) {
    TranscodeParams p = Defaults();
    p.StartSeconds = 15;
    const Args stream = Build(p, TranscodeToStdout);
    EXPECT_EQ(stream[1], L"-ss");
    EXPECT_EQ(stream[2], L"15");
    EXPECT_EQ(stream[3], L"-i");
    EXPECT_EQ(After(stream, L"-output_ts_offset"), L"15");
    EXPECT_LT(IndexOf(stream, L"-output_ts_offset"), ptrdiff_t(stream.size()) - 1);
    const Args file = Build(p, TranscodeFileToFileMode);
    EXPECT_EQ(file[1], L"-ss");
    EXPECT_EQ(After(file, L"-output_ts_offset"), L"(none)");
    EXPECT_EQ(After(file, L"-force_key_frames"), L"(none)");
}

TEST(BuildFfmpegArgs, TracksAreMappedOnlyWhenBothAreGiven) {
    TranscodeParams p = Defaults();
    p.VideoIndex = 0;
    p.AudioIndex = 1;
    Args args = Build(p, TranscodeToStdout);
    const ptrdiff_t map = IndexOf(args, L"-map");
    ASSERT_LT(map + 3, ptrdiff_t(args.size()));
    EXPECT_EQ(Args(args.begin() + map, args.begin() + map + 4), (Args{L"-map", L"0:0", L"-map", L"0:1"}));
    EXPECT_GT(map, IndexOf(args, L"-i"));
    for (auto indexes : {std::make_pair(0, -1), std::make_pair(-1, 2), std::make_pair(-1, -1)}) {
        p.VideoIndex = indexes.first;
        p.AudioIndex = indexes.second;
        args = Build(p, TranscodeToStdout);
        EXPECT_EQ(IndexOf(args, L"-map"), ptrdiff_t(args.size())) << indexes.first << " " << indexes.second;
    }
}

TEST(BuildFfmpegArgs, AspectOnlyAboveAHundredth) {
    TranscodeParams p = Defaults();
    p.Aspect = 0.01;
    EXPECT_EQ(After(Build(p, TranscodeToStdout), L"-aspect"), L"(none)");
    p.Aspect = 1.7777;
    EXPECT_EQ(After(Build(p, TranscodeToStdout), L"-aspect"), L"1.7777");
    p.Aspect = 4.0 / 3.0;
    EXPECT_EQ(After(Build(p, TranscodeToStdout), L"-aspect"), L"1.33333");
}

TEST(BuildFfmpegArgs, PictureSizesAreEven) {
    const struct {
        int32_t w, h;
        const wchar_t* size;
    } cases[] = {{320, 240, L"320x240"}, {321, 241, L"320x240"}, {853, 480, L"852x480"}, {1, 0, L"2x2"}};
    for (const auto& c : cases) {
        TranscodeParams p = Defaults();
        p.Width = c.w;
        p.Height = c.h;
        EXPECT_EQ(After(Build(p, TranscodeToStdout), L"-s"), c.size);
    }
}

TEST(BuildFfmpegArgs, ConversionsWriteQuickTimeFiles) {
    TranscodeParams p = Defaults();
    p.OutputPath = L"/cache/offline/a.mov";
    const Args fromStdin = Build(p, TranscodeFromStdinMode);
    EXPECT_EQ(After(fromStdin, L"-i"), L"-");
    EXPECT_EQ(After(fromStdin, L"-f"), L"mov");
    EXPECT_EQ(fromStdin.back(), L"file:/cache/offline/a.mov");
    const Args fileToFile = Build(p, TranscodeFileToFileMode);
    EXPECT_EQ(After(fileToFile, L"-i"), L"file:/videos/film.mkv");
    EXPECT_EQ(fileToFile.back(), L"file:/cache/offline/a.mov");
}

// Names that ffmpeg would read as an option or a protocol stay local files.
TEST(FfmpegLocalFile, OnlyEverALocalFile) {
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof(cwd)));
    EXPECT_EQ(FfmpegLocalFile(L"/v/-i"), "file:/v/-i");
    EXPECT_EQ(FfmpegLocalFile(L"-y"), std::string("file:") + cwd + "/-y");
    EXPECT_EQ(FfmpegLocalFile(L"http://host/x.mp4"), std::string("file:") + cwd + "/http://host/x.mp4");
    EXPECT_EQ(FfmpegLocalFile(L"concat:a.ts|b.ts"), std::string("file:") + cwd + "/concat:a.ts|b.ts");
    EXPECT_EQ(FfmpegLocalFile(L"/v/Fil\u00e9 1.mkv"), "file:/v/Fil\xC3\xA9 1.mkv");
}

}  // namespace

// --- The standard-error log of a file-to-file run ---

namespace {

// A process whose standard error holds the given text.
class TextProcess : public KivProcess {
public:
    explicit TextProcess(std::string text) : text_(std::move(text)) {}
    bool Start(const std::string&, const std::vector<std::string>&, bool, bool, bool) override { return true; }
    int Wait(int& code, uint32_t) override {
        code = 0;
        return WAIT_ENDED;
    }
    bool Stop(bool, uint32_t) override { return true; }
    std::string ReadStdout(bool) override { return std::string(); }
    std::string ReadStderr(bool) override { return std::move(text_); }
    void WriteStdin(const void*, size_t) override {}
    void CloseStdin() override {}
    int GetPid() const override { return 0; }

private:
    std::string text_;
};

// Bytes as the log appends them: each line begun with "| ".
std::string MarkedLines(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart) out += "| ";
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string MainLog() { return mediatest::ReadAll(kivm::str_conv(GetLogFilePath())); }

TEST(FinishStderrLog, FailedRunsLogGoesIntoTheMainLogWholeAndTheFileGoes) {
    ASSERT_FALSE(GetLogFilePath().empty());
    for (size_t size : {size_t(10000), size_t(8192), size_t(0)}) {
        testsupport::TempDir dir;
        const std::wstring path = dir.wpath() + L"/a.mov123.stderr.txt";
        std::string early;
        for (size_t i = 0; i + 100 <= size; i += 100) early += "frame=" + std::to_string(100000 + i) + std::string(88, '.') + "\n";
        early.resize(size, '#');
        const std::string rest = "tail of the run " + std::to_string(size) + "\n";
        boost::shared_ptr<IBlockingStream> log = KivFileStream::GetInstance(path, OPEN_CREATE);
        ASSERT_TRUE(log);
        ASSERT_TRUE(log->Write(early.data(), early.size()) || early.empty());
        TextProcess process(rest);
        EXPECT_TRUE(FinishStderrLog(process, log, path, true));
        EXPECT_FALSE(log);
        EXPECT_FALSE(testsupport::PathExists(kivm::str_conv(path)));
        const std::string main = MainLog();
        const size_t intro = main.rfind("The contents of ffmpeg's stderr output were:");
        ASSERT_NE(intro, std::string::npos);
        const size_t body = main.find('\n', intro) + 1;
        const std::string marked = MarkedLines(early + rest);
        EXPECT_TRUE(mediatest::SameBytes(main.substr(body, marked.size()), marked)) << size;
    }
}

// ffmpeg writes names and tags from the file as they are: what reaches the main log is valid UTF-8, a
// character cut by the end of a 4096-byte block comes out whole, and no line of it passes for an entry.
TEST(FinishStderrLog, TheCopyIsValidUtf8WithCharactersWholeAcrossBlocksAndNoForgedLines) {
    testsupport::TempDir dir;
    const std::wstring path = dir.wpath() + L"/c.mov9.stderr.txt";
    const std::string forged = "2026-01-01 00:00:00.000 [1] .\\main(1): Shutdown Event Detected";
    std::string early = "Input #0, from 'file:/v/a\n" + forged + "\r\x01\xff.mp4':\n";
    early.resize(4095, 'x');
    early += "\xc3\xa9 after the cut\n";  // the two bytes of the character fall into two blocks
    boost::shared_ptr<IBlockingStream> log = KivFileStream::GetInstance(path, OPEN_CREATE);
    ASSERT_TRUE(log);
    ASSERT_TRUE(log->Write(early.data(), early.size()));
    TextProcess process("");
    EXPECT_TRUE(FinishStderrLog(process, log, path, true));
    const std::string main = MainLog();
    EXPECT_TRUE(kivm::IsValidUtf8(main));
    const size_t intro = main.rfind("The contents of ffmpeg's stderr output were:");
    ASSERT_NE(intro, std::string::npos);
    const std::string copy = main.substr(main.find('\n', intro) + 1);
    EXPECT_EQ(0u, copy.find("| Input #0, from 'file:/v/a\n| " + forged + "\\r\\x01\xef\xbf\xbd.mp4':\n| xxx")) << copy;
    EXPECT_NE(std::string::npos, copy.find("x\xc3\xa9 after the cut\n"));
    EXPECT_EQ(std::string::npos, main.find("\n" + forged));
}

TEST(FinishStderrLog, SuccessfulRunOnlyDeletesItsLog) {
    testsupport::TempDir dir;
    const std::wstring path = dir.wpath() + L"/b.mov1.stderr.txt";
    boost::shared_ptr<IBlockingStream> log = KivFileStream::GetInstance(path, OPEN_CREATE);
    ASSERT_TRUE(log);
    const std::string marker = "run that went well " + std::to_string(getpid());
    TextProcess process(marker);
    EXPECT_TRUE(FinishStderrLog(process, log, path, false));
    EXPECT_FALSE(testsupport::PathExists(kivm::str_conv(path)));
    EXPECT_EQ(MainLog().find(marker), std::string::npos);
}

}  // namespace
