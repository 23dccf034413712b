// The three transcoders, each running the real ffmpeg.
#include "media/Transcode.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "MediaTestSupport.h"
#include "kivlib/KivProcess.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Source() {
    return mediatest::MakeClip("transcode-src.mkv",
                               {"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=6", "-f", "lavfi", "-i",
                                "sine=duration=6", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"});
}

TranscodeParams StreamParams(const std::string& input) {
    TranscodeParams p;
    p.InputPath = kivm::FromUTF8ExW(input);
    p.Aspect = 0;
    p.Threads = 2;
    return p;
}

// Reads a stream transcoder until its output ends.
std::string Drain(ITranscode& t, int timeoutMs = 30000) {
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (t.IsRunning() && Clock::now() < deadline) {
        const std::string chunk = t.ReadOutput();
        if (chunk.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        out += chunk;
    }
    return out;
}

TEST(Transcode, WritesAPlayableTransportStreamToItsOutput) {
    boost::shared_ptr<ITranscodeFactory> factory = TranscodeFactory::GetInstance();
    boost::shared_ptr<ITranscode> t = factory->CreateTranscode(StreamParams(Source()), nullptr);
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->IsRunning());
    const std::string out = Drain(*t);
    EXPECT_FALSE(t->IsRunning());
    EXPECT_FALSE(t->HasFailed());
    EXPECT_TRUE(t->ReadOutput().empty()) << "nothing after the end";
    ASSERT_GT(out.size(), 10000u);
    EXPECT_EQ(out.size() % 188, 0u);
    EXPECT_EQ(out[0], 0x47);

    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("out.ts"), out);
    const std::string streams = mediatest::Probe({"-show_entries", "stream=codec_name,width,height,pix_fmt,sample_rate,channels",
                                                  "-of", "compact=p=0", dir.file("out.ts")});
    EXPECT_NE(streams.find("codec_name=h264|width=320|height=240|pix_fmt=yuv420p"), std::string::npos) << streams;
    EXPECT_NE(streams.find("codec_name=mp3|sample_rate=44100|channels=2"), std::string::npos) << streams;
    // Keyframes every 5 s, so every segment can begin with one.
    const std::string keys = mediatest::Probe({"-select_streams", "v", "-skip_frame", "nokey", "-show_entries",
                                               "frame=pts_time", "-of", "csv=p=0", dir.file("out.ts")});
    std::vector<double> times;
    std::istringstream lines(keys);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) times.push_back(std::stod(line));
    }
    ASSERT_GE(times.size(), 2u) << keys;
    EXPECT_NEAR(times[1] - times[0], 5.0, 0.05);
}

// A 25 fps film keeps its rate; a 60 fps one comes down to 29.97. Either way the stream declares an
// H.264 level that allows its picture size and rate.
TEST(Transcode, KeepsASourceRateUpTo30AndDeclaresALevelThatFits) {
    const std::string fast = mediatest::MakeClip(
        "transcode-60fps.mkv", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=60:duration=2", "-f", "lavfi", "-i",
                                "sine=duration=2", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"});
    const struct {
        std::string source;
        int width, height;
        std::string rate;
        double fps, seconds;
    } cases[] = {
        {Source(), 640, 360, "25/1", 25, 6},
        {fast, 320, 240, "30000/1001", 30000.0 / 1001, 2},
    };
    for (const auto& c : cases) {
        TranscodeParams p = StreamParams(c.source);
        p.Width = c.width;
        p.Height = c.height;
        boost::shared_ptr<ITranscode> t = TranscodeFactory::GetInstance()->CreateTranscode(p, nullptr);
        ASSERT_TRUE(t);
        testsupport::TempDir dir;
        testsupport::WriteFile(dir.file("out.ts"), Drain(*t, 60000));
        ASSERT_FALSE(t->HasFailed());
        const mediatest::VideoFacts video = mediatest::ProbeVideo(dir.file("out.ts"));
        EXPECT_EQ(c.rate, video.rate) << c.source;
        EXPECT_EQ(c.rate, video.averageRate) << c.source;
        EXPECT_NEAR(c.fps * c.seconds, video.frames, 2) << c.source;
        EXPECT_EQ(c.width, video.width);
        EXPECT_TRUE(mediatest::H264LevelFits(video.level, video.width, video.height, c.fps))
            << "level " << video.level << " for " << video.width << "x" << video.height;
    }
}

TEST(Transcode, SeekStartsAtTheSecondAndKeepsTheTimeline) {
    const std::string clock = mediatest::MakeClockClip("transcode-clock.mkv", 12);
    TranscodeParams p = StreamParams(clock);
    p.StartSeconds = 5;
    boost::shared_ptr<ITranscode> t = TranscodeFactory::GetInstance()->CreateTranscode(p, nullptr);
    ASSERT_TRUE(t);
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("out.ts"), Drain(*t));
    EXPECT_FALSE(t->HasFailed());
    EXPECT_NEAR(mediatest::FirstPictureLuma(dir.file("out.ts")) / 20.0, 5.0, 0.25) << "the first picture is second 5";
    const std::string start = mediatest::Probe({"-select_streams", "v", "-show_entries", "stream=start_time", "-of",
                                                "csv=p=0", dir.file("out.ts")});
    // ffmpeg's transport stream starts its clock 1.4 s in; the seek adds its 5 s to that.
    EXPECT_NEAR(std::stod(start), 5.0 + 1.4, 0.1) << start;
}

TEST(Transcode, UnreadableSourceEndsWithTheFailedFlag) {
    boost::shared_ptr<ITranscode> t = TranscodeFactory::GetInstance()->CreateTranscode(StreamParams("/nonexistent/x.mkv"), nullptr);
    ASSERT_TRUE(t);
    Drain(*t);
    EXPECT_FALSE(t->IsRunning());
    EXPECT_TRUE(t->HasFailed());
}

TEST(Transcode, NoInputPathMakesNone) {
    EXPECT_FALSE(TranscodeFactory::GetInstance()->CreateTranscode(TranscodeParams(), nullptr));
}

// ffmpeg blocked on a full output pipe must not hold up its stop (the caller holds the registry lock).
TEST(Transcode, StoppingWithAFullPipeIsQuick) {
    const std::string clip = mediatest::MakeClockClip("transcode-long.mkv", 60);
    testsupport::TempDir dir;
    const std::string copy = dir.file("full-pipe.mkv");
    testsupport::WriteFile(copy, mediatest::ReadAll(clip));
    boost::shared_ptr<ITranscode> t = TranscodeFactory::GetInstance()->CreateTranscode(StreamParams(copy), nullptr);
    ASSERT_TRUE(t);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // nobody reads: the pipe fills up
    ASSERT_FALSE(mediatest::ProcessesNaming(copy).empty());
    const auto start = Clock::now();
    t.reset();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    // A stop that waited for ffmpeg would take its whole grace time (5 s); a loaded machine takes far less.
    EXPECT_LT(ms, 2000.0);
    // Killed, and waited for in the background: gone soon, never left behind.
    EXPECT_TRUE(mediatest::NoProcessNamingWithin(copy, std::chrono::seconds(20)));
}

TEST(TranscodeFromStdin, ConvertsWhatIsWrittenToIt) {
    const std::string source = mediatest::ReadAll(mediatest::MakeTsClip("stdin-src.ts", 6));
    testsupport::TempDir dir;
    TranscodeParams p;
    p.OutputPath = kivm::FromUTF8ExW(dir.file("out.mov"));
    p.Threads = 2;
    boost::shared_ptr<ITranscodeFromStdin> t = TranscodeFactory::GetInstance()->CreateTranscodeFromStdin(p);
    ASSERT_TRUE(t);
    for (size_t at = 0; at < source.size(); at += 50000) t->Write(source.substr(at, 50000));
    EXPECT_EQ(t->GetBytesWritten(), source.size());
    ASSERT_NO_THROW(t->Finish());
    EXPECT_FALSE(t->IsRunning());
    EXPECT_FALSE(t->HasFailed());
    EXPECT_NO_THROW(t->Finish()) << "a second Finish returns at once";
    const std::string facts = mediatest::Probe({"-show_entries", "format=format_name,duration", "-of", "compact=p=0", dir.file("out.mov")});
    EXPECT_NE(facts.find("format_name=mov,mp4"), std::string::npos) << facts;
    const double duration = std::stod(facts.substr(facts.find("duration=") + 9));
    EXPECT_NEAR(duration, 6.0, 0.3);
}

TEST(TranscodeFromStdin, GarbageInputFailsAtFinish) {
    testsupport::TempDir dir;
    TranscodeParams p;
    p.OutputPath = kivm::FromUTF8ExW(dir.file("out.mov"));
    boost::shared_ptr<ITranscodeFromStdin> t = TranscodeFactory::GetInstance()->CreateTranscodeFromStdin(p);
    ASSERT_TRUE(t);
    try {
        t->Write(std::string(100000, 'x'));
        t->Finish();
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("ffmpeg returned exit code: ", 0), 0u) << error.what();
    }
    EXPECT_TRUE(t->HasFailed());
    EXPECT_FALSE(t->IsRunning());
}

// Destroying a running conversion from standard input closes the input and lets ffmpeg finish the file.
// Two seconds of video: a loaded machine still finishes them well within the stop's grace time.
TEST(TranscodeFromStdin, DestroyingARunningOneFinishesTheFile) {
    const std::string source = mediatest::ReadAll(mediatest::MakeTsClip("stdin-short.ts", 2));
    testsupport::TempDir dir;
    TranscodeParams p;
    p.OutputPath = kivm::FromUTF8ExW(dir.file("out.mov"));
    boost::shared_ptr<ITranscodeFromStdin> t = TranscodeFactory::GetInstance()->CreateTranscodeFromStdin(p);
    ASSERT_TRUE(t);
    t->Write(source);
    t.reset();
    const std::string facts = mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", dir.file("out.mov")});
    EXPECT_NEAR(std::stod(facts), 2.0, 0.3);
}

TEST(TranscodeFileToFile, TakeProgress) {
    std::string buffer = "frame=1 time=1.50 bitrate=1\rframe=2 time=3.00 bitrate=2\rframe=3 tim";
    double seconds = 0;
    ASSERT_TRUE(TranscodeFileToFile::TakeProgress(buffer, seconds));
    EXPECT_DOUBLE_EQ(seconds, 3.0);
    EXPECT_EQ(buffer, "bitrate=2\rframe=3 tim");
    EXPECT_FALSE(TranscodeFileToFile::TakeProgress(buffer, seconds)) << "cut off before its value";
    buffer += "e=00:01:02.25";
    EXPECT_FALSE(TranscodeFileToFile::TakeProgress(buffer, seconds)) << "no white space after the value yet";
    buffer += " bitrate=3";
    ASSERT_TRUE(TranscodeFileToFile::TakeProgress(buffer, seconds));
    EXPECT_DOUBLE_EQ(seconds, 62.25);
    EXPECT_EQ(buffer, "bitrate=3");
    buffer = "size=1kB time=N/A bitrate=N/A ";
    EXPECT_FALSE(TranscodeFileToFile::TakeProgress(buffer, seconds));
}

TEST(TranscodeFileToFile, ConvertsAFileReportingProgress) {
    testsupport::TempDir dir;
    TranscodeParams p;
    p.InputPath = kivm::FromUTF8ExW(Source());
    p.OutputPath = kivm::FromUTF8ExW(dir.file("out.mov"));
    p.Threads = 1;
    boost::shared_ptr<ITranscodeFileToFile> t = TranscodeFactory::GetInstance()->CreateTranscodeFileToFile(p);
    ASSERT_TRUE(t);
    std::vector<double> progress;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (t->IsRunning() && Clock::now() < deadline) {
        t->Poll();
        if (progress.empty() || progress.back() != t->GetProgress()) progress.push_back(t->GetProgress());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(t->IsRunning());
    EXPECT_FALSE(t->HasFailed());
    ASSERT_GE(progress.size(), 2u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_GT(progress.back(), 50.0);
    EXPECT_LE(progress.back(), 101.0);
    EXPECT_GT(t->GetElapsedMs(), 0u);
    // The standard-error log is gone; only the output is left.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"out.mov"});
    const std::string facts = mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", dir.file("out.mov")});
    EXPECT_NEAR(std::stod(facts), 6.0, 0.3);
}

TEST(TranscodeFileToFile, FailedRunIsFlaggedAndItsLogRemoved) {
    testsupport::TempDir dir;
    TranscodeParams p;
    p.InputPath = kivm::FromUTF8ExW(Source());
    // ffmpeg cannot write its output where a folder stands, and says so at once.
    ASSERT_EQ(0, mkdir(dir.file("out.mov").c_str(), 0755));
    p.OutputPath = kivm::FromUTF8ExW(dir.file("out.mov"));
    boost::shared_ptr<ITranscodeFileToFile> t = TranscodeFactory::GetInstance()->CreateTranscodeFileToFile(p);
    ASSERT_TRUE(t);
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (t->IsRunning() && Clock::now() < deadline) {
        t->Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(t->HasFailed());
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(e.path().string().find(".stderr.txt"), std::string::npos) << e.path();
    }
}

TEST(TranscodeFileToFile, SourceWithoutFactsMakesNone) {
    testsupport::TempDir dir;
    TranscodeParams p;
    p.InputPath = kivm::FromUTF8ExW(dir.file("missing.mkv"));
    p.OutputPath = kivm::FromUTF8ExW(dir.file("out.mov"));
    EXPECT_FALSE(TranscodeFactory::GetInstance()->CreateTranscodeFileToFile(p));
}

}  // namespace
