// A stream session over the real pipeline (ffmpeg into our segmenter), driven the way the server drives
// it: a worker thread steps every session, and the test asks for segments as the HTTP route does.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

#include "MediaFakes.h"
#include "MediaTestSupport.h"
#include "core/FileMaker.h"
#include "core/Waker.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/ISegmenter.h"
#include "media/Segmenter.h"
#include "media/StreamManager.h"
#include "media/StreamRegistry.h"

namespace {

using Clock = std::chrono::steady_clock;

// A 60 s clip whose brightness tells the time: luma = 4 x seconds.
std::string ClockClip() {
    return mediatest::MakeClip("pipeline-clock.mkv",
                               {"-f", "lavfi", "-i",
                                "color=c=black:size=64x36:rate=25:duration=60,format=gray,geq=lum='4*T',scale=160:120,"
                                "format=yuv420p",
                                "-f", "lavfi", "-i", "sine=duration=60", "-c:v", "libx264", "-preset", "ultrafast", "-g",
                                "25", "-c:a", "aac"});
}

class Pipeline : public ::testing::Test {
protected:
    Pipeline() : state(cache.wpath()), files(FileMaker::GetInstance()), metadata(MetadataFactory::GetInstance()) {}
    ~Pipeline() override { RemoveAllStreams(); }

    std::wstring Create(const std::string& video, uint64_t sessionId, ISegmenterFactory* segmenters = nullptr) {
        boost::shared_ptr<IStreamManagerSafe> h =
            CreateStream(kivm::FromUTF8ExW(video), sessionId, &state, L"http://127.0.0.1:8683/video/stream/", 160, 120,
                         metadata.get(), files.get(), nullptr, segmenters, 1200, 1300, -1, -1, 0, 2);
        EXPECT_TRUE(h);
        return h ? h->GetStreamManager()->GetStreamId() : std::wstring();
    }

    // As the stream route: queue the request, poll with the lock let go between looks, read the file,
    // report it delivered. Empty when the request failed.
    std::string Fetch(const std::wstring& id, uint32_t index, double* seconds = nullptr) {
        const auto start = Clock::now();
        const std::wstring name = L"segment-" + std::to_wstring(index) + L".ts";
        uint32_t request = 0;
        {
            boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
            if (!h) return std::string();
            request = h->GetStreamManager()->RequestSegment(name);
        }
        SegmentRequestStatus status = SegmentPending;
        while (status == SegmentPending && Clock::now() - start < std::chrono::seconds(30)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
            if (!h) return std::string();
            status = h->GetStreamManager()->GetRequestStatus(request);
        }
        if (seconds) *seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (status != SegmentReady) return std::string();
        const std::string bytes = mediatest::ReadAll(Folder(id) + "/" + kivm::str_conv(name));
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        if (h) h->GetStreamManager()->SegmentFinished(name);
        return bytes;
    }

    std::string Folder(const std::wstring& id) { return kivm::str_conv(state.GetCacheFolder() + L"/" + id); }

    // What the run's one transcoder writes to (its descriptor 1) and its one segmenter reads (its 0).
    struct RunPipes {
        std::string transcoderOutput, segmenterInput;
    };
    RunPipes PipesOfTheRun(const std::string& clip, const std::wstring& id) {
        const std::vector<int> transcoders = mediatest::ProcessesNaming(clip), segmenters = mediatest::ProcessesNaming(Folder(id));
        EXPECT_EQ(transcoders.size(), 1u);
        EXPECT_EQ(segmenters.size(), 1u);
        if (transcoders.size() != 1 || segmenters.size() != 1) return RunPipes();
        return {Link("/proc/" + std::to_string(transcoders[0]) + "/fd/1"), Link("/proc/" + std::to_string(segmenters[0]) + "/fd/0")};
    }
    static std::string Link(const std::string& path) {
        char target[256] = {};
        return readlink(path.c_str(), target, sizeof target - 1) > 0 ? std::string(target) : std::string();
    }

    // Segments from to last, fetched in order: each begins with a key frame, shows its own second and lasts
    // its 5 s.
    void FetchInOrder(const std::wstring& id, uint32_t from, uint32_t last) {
        for (uint32_t i = from; i <= last; ++i) {
            const std::string s = Fetch(id, i);
            ASSERT_FALSE(s.empty()) << "segment " << i;
            InspectLater(s, [i](const SegmentFacts& f) {
                EXPECT_TRUE(f.keyFirst) << i;
                EXPECT_NEAR(f.pictureSecond, (i - 1) * 5.0, 0.6) << i;
                EXPECT_NEAR(f.duration, 5.0, 0.2) << i;
            });
        }
    }

    // A segment that the run has not made, fetched as a seek: the run restarts there, and the segment
    // shows its second with the timeline going on (the stream's start offset of 1.4 s kept).
    void FetchAsSeek(const std::wstring& id, uint32_t index) {
        const std::string s = Fetch(id, index);
        ASSERT_FALSE(s.empty()) << "segment " << index;
        const double second = (index - 1) * 5.0;
        InspectLater(s, [index, second](const SegmentFacts& f) {
            EXPECT_TRUE(f.keyFirst) << index;
            EXPECT_NEAR(f.pictureSecond, second, 0.6) << index;
            EXPECT_NEAR(f.startTime, second + 1.4, 0.1) << index;
        });
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        EXPECT_EQ(h->GetStreamManager()->GetFirstSegmentIdx(), index);
    }

    // The second of the video that a segment's first picture shows, and the segment's own facts.
    struct SegmentFacts {
        double pictureSecond = -1;
        double startTime = -1;
        double duration = -1;
        bool keyFirst = false;
    };
    SegmentFacts Inspect(const std::string& bytes) {
        SegmentFacts f;
        testsupport::TempDir dir;
        const std::string path = dir.file("s.ts");
        testsupport::WriteFile(path, bytes);
        f.pictureSecond = mediatest::FirstPictureLuma(path) / 4.0;
        // One probe for both: "packet,<flags>" lines, then "stream,<start_time>,<duration>".
        std::istringstream lines(mediatest::Probe(
            {"-select_streams", "v", "-show_entries", "stream=start_time,duration:packet=flags", "-of", "csv", path}));
        bool firstPacket = true;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("packet,", 0) == 0 && firstPacket) {
                f.keyFirst = line.size() > 7 && line[7] == 'K';
                firstPacket = false;
            } else if (line.rfind("stream,", 0) == 0) {
                f.startTime = std::stod(line.substr(7));
                f.duration = std::stod(line.substr(line.find(',', 7) + 1));
            }
        }
        const auto packets = mediatest::Packets(bytes.substr(0, 2 * 188));
        EXPECT_EQ(packets.size(), 2u);
        if (packets.size() == 2) {
            EXPECT_EQ(packets[0].pid, 0) << "PAT first";
            EXPECT_EQ(packets[1].pid, 0x1000) << "then the PMT";
        }
        return f;
    }

    // Inspects a segment on a thread of its own while the session goes on (each look runs ffmpeg and
    // ffprobe); the checks run when InspectionsDone collects them, in the order they were queued.
    void InspectLater(const std::string& bytes, std::function<void(const SegmentFacts&)> check) {
        inspections.push_back({std::async(std::launch::async, [this, bytes] { return Inspect(bytes); }), check});
    }
    void InspectionsDone() {
        for (auto& inspection : inspections) inspection.second(inspection.first.get());
        inspections.clear();
    }

    std::vector<std::pair<std::future<SegmentFacts>, std::function<void(const SegmentFacts&)>>> inspections;
    testsupport::TempDir cache;
    mediatest::FakeState state;
    boost::shared_ptr<IFileMaker> files;
    boost::shared_ptr<IMetadataFactory> metadata;
};

TEST_F(Pipeline, ScriptedSessionInOrderSeekBackwardsOutOfRangeAndEnd) {
    const std::string clip = ClockClip();
    const std::wstring id = Create(clip, 1001);
    ASSERT_FALSE(id.empty());
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        const std::string playlist = h->GetStreamManager()->GetPlaylist(0x3e9);
        size_t entries = 0;
        for (size_t at = 0; (at = playlist.find("#EXTINF:5, no desc\r\n", at)) != std::string::npos; ++at) ++entries;
        EXPECT_EQ(entries, 12u) << playlist;
        EXPECT_NE(playlist.find("/video/stream/" + kivm::str_conv(id) + "/segment-12.ts?SessionID=3e9\r\n#EXT-X-ENDLIST\r\n"),
                  std::string::npos);
    }
    mediatest::StreamPump worker;

    FetchInOrder(id, 1, 3);
    std::string first = Fetch(id, 1);
    EXPECT_FALSE(first.empty()) << "a segment of this run is still there";

    FetchAsSeek(id, 11);  // eight ahead
    FetchAsSeek(id, 2);   // backwards, before the run's first segment

    // Out of range: that request fails, the run goes on.
    EXPECT_TRUE(Fetch(id, 13).empty());
    EXPECT_TRUE(Fetch(id, 0).empty());
    std::string s = Fetch(id, 3);
    ASSERT_FALSE(s.empty());
    InspectLater(s, [](const SegmentFacts& f) { EXPECT_NEAR(f.pictureSecond, 10.0, 0.6); });
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        EXPECT_EQ(h->GetStreamManager()->GetFirstSegmentIdx(), 2u) << "no seek for the failed requests";
    }

    // The last segment: the run ends with the video.
    s = Fetch(id, 12);  // a seek
    ASSERT_FALSE(s.empty());
    InspectLater(s, [](const SegmentFacts& f) {
        EXPECT_NEAR(f.pictureSecond, 55.0, 0.6);
        EXPECT_NEAR(f.duration, 5.0, 0.3);
    });

    const std::string folder = Folder(id);
    EXPECT_TRUE(RemoveStream(id));
    EXPECT_TRUE(mediatest::ProcessesNaming(folder).empty()) << "a segmenter is left";
    EXPECT_TRUE(mediatest::NoProcessNamingWithin(clip, std::chrono::seconds(20))) << "an ffmpeg is left";
    EXPECT_FALSE(testsupport::PathExists(folder));
    InspectionsDone();
}

// Driven as the worker drives it, with its sleeps made long: a step with nothing to do sleeps on the
// worker's wake signal, and the run's own descriptors (the segmenter's reports, the transcoder's end;
// watched for the run's life) alone must carry it to its segment. A missed wake would cost a whole
// sleep of 60 s.
TEST_F(Pipeline, TheRunsReportsWakeASleepingWorker) {
    const std::string clip = ClockClip();
    const std::wstring id = Create(clip, 1002);
    ASSERT_FALSE(id.empty());
    WakeSignal wake;
    SetStreamWaker(&wake);
    uint32_t request = 0;
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        request = h->GetStreamManager()->RequestSegment(L"segment-2.ts");
    }
    const auto start = Clock::now();
    SegmentRequestStatus status = SegmentPending;
    int sleeps = 0;
    while (status == SegmentPending && Clock::now() - start < std::chrono::seconds(50)) {
        if (!ProcessAllStreams()) {
            wake.Wait(60000);
            ++sleeps;
        }
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        status = h->GetStreamManager()->GetRequestStatus(request);
    }
    SetStreamWaker(nullptr);
    EXPECT_EQ(status, SegmentReady);
    EXPECT_GT(sleeps, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(50));
}

// Three segments ahead of the player the run waits, and so must the worker: its pipes are not read then,
// and a report or output left in one must not end every sleep (a worker spinning a core); the player's
// delivery of a segment wakes it, and production goes on.
TEST_F(Pipeline, AFullBufferEndsNoSleepAndADeliveryWakesProduction) {
    const std::string clip = ClockClip();
    const std::wstring id = Create(clip, 1003);
    ASSERT_FALSE(id.empty());
    WakeSignal wake;
    struct Given {
        explicit Given(WakeSignal& w) { SetStreamWaker(&w); }
        ~Given() { SetStreamWaker(nullptr); }
    } given(wake);
    uint32_t request = 0;
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        request = h->GetStreamManager()->RequestSegment(L"segment-1.ts");
    }
    SegmentRequestStatus status = SegmentPending;
    for (const auto start = Clock::now(); status == SegmentPending && Clock::now() - start < std::chrono::seconds(50);) {
        if (!ProcessAllStreams()) wake.Wait(100);
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        status = h->GetStreamManager()->GetRequestStatus(request);
    }
    ASSERT_EQ(status, SegmentReady);
    // Steps as the worker takes them, until five sleeps in a row have lasted their whole time.
    auto stepUntilQuiet = [&wake](int& wakesBeforeQuiet) {
        const auto start = Clock::now();
        int quiet = 0;
        wakesBeforeQuiet = 0;
        while (quiet < 5 && Clock::now() - start < std::chrono::seconds(50)) {
            if (ProcessAllStreams()) continue;
            const auto sleep = Clock::now();
            wake.Wait(100);
            if (Clock::now() - sleep >= std::chrono::milliseconds(100)) {
                ++quiet;
            } else {
                quiet = 0;
                ++wakesBeforeQuiet;
            }
        }
        return quiet == 5;
    };
    // Steps as the worker takes them until the file exists (a loaded machine may take a while).
    auto stepUntilBegun = [&](uint32_t index) {
        const std::string file = Folder(id) + "/segment-" + std::to_string(index) + ".ts";
        const auto start = Clock::now();
        while (!testsupport::PathExists(file) && Clock::now() - start < std::chrono::seconds(50)) {
            if (!ProcessAllStreams()) wake.Wait(100);
        }
        return testsupport::PathExists(file);
    };
    int wakes = 0;
    ASSERT_TRUE(stepUntilBegun(4));
    EXPECT_TRUE(stepUntilQuiet(wakes)) << "the held run kept ending the worker's sleeps";
    // Segment 1 made and nothing delivered: production stops at segment 3, and the segmenter has begun
    // the fourth file.
    EXPECT_TRUE(testsupport::PathExists(Folder(id) + "/segment-4.ts"));
    EXPECT_FALSE(testsupport::PathExists(Folder(id) + "/segment-5.ts")) << "production went beyond three ahead";
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        h->GetStreamManager()->SegmentFinished(L"segment-1.ts");
    }
    // The delivery ends the next sleep at once, and the run makes segment 4 (its file is complete once
    // the segmenter has begun the fifth).
    const auto delivered = Clock::now();
    wake.Wait(60000);
    EXPECT_LT(Clock::now() - delivered, std::chrono::seconds(30)) << "the delivery did not wake the worker";
    EXPECT_TRUE(stepUntilBegun(5)) << "production did not go on";
    EXPECT_TRUE(stepUntilQuiet(wakes));
    EXPECT_FALSE(testsupport::PathExists(Folder(id) + "/segment-6.ts")) << "production went beyond three ahead";
}

// The segmenter reads ffmpeg's output itself: ffmpeg's standard output is the segmenter's standard input,
// and the server holds no end of that pipe (no byte of the stream passes through it).
TEST_F(Pipeline, TheSegmenterReadsTheTranscodersOutputItself) {
    const std::string clip = ClockClip();
    const std::wstring id = Create(clip, 1004);
    ASSERT_FALSE(id.empty());
    mediatest::StreamPump worker;
    ASSERT_FALSE(Fetch(id, 1).empty());
    const RunPipes pipes = PipesOfTheRun(clip, id);
    EXPECT_EQ(pipes.transcoderOutput.rfind("pipe:", 0), 0u) << pipes.transcoderOutput;
    EXPECT_EQ(pipes.transcoderOutput, pipes.segmenterInput);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        EXPECT_NE(Link(entry.path().string()), pipes.transcoderOutput) << "the server holds descriptor " << entry.path().filename();
}

// Our segmenter program, started so that it cannot read the transcoder's pipe itself: the session then
// moves the output across, a chunk a step (spliced from pipe to pipe, read and sent where that fails).
class RelayedSegmenters : public ISegmenterFactory {
public:
    boost::shared_ptr<ISegmenter> CreateSegmenter(uint32_t segmentSeconds, const std::wstring& prefix,
                                                  const std::wstring& playlist, const std::wstring& urlBase,
                                                  uint32_t firstNumber) override {
        return real_->CreateSegmenter(segmentSeconds, prefix, playlist, urlBase, firstNumber);
    }
    // CreateSegmenterReading as the interface has it: none.

private:
    boost::shared_ptr<ISegmenterFactory> real_ = SegmenterFactory::GetInstance();
};

// The relay carries a whole session as the direct pipe does: segments in order with the right pictures,
// production three ahead of the player and no further, a seek, and the end of the video.
TEST_F(Pipeline, TheRelayedOutputCarriesASessionAsTheDirectPipeDoes) {
    const std::string clip = ClockClip();
    RelayedSegmenters relayed;
    const std::wstring id = Create(clip, 1005, &relayed);
    ASSERT_FALSE(id.empty());
    mediatest::StreamPump worker;
    FetchInOrder(id, 1, 2);
    // The output passes through the server: the segmenter's input is a pipe of its own.
    const RunPipes pipes = PipesOfTheRun(clip, id);
    EXPECT_FALSE(pipes.transcoderOutput.empty());
    EXPECT_NE(pipes.transcoderOutput, pipes.segmenterInput);

    // Two delivered: segments 3 to 5 are made without a request (the segmenter has begun the sixth file),
    // and nothing beyond while the player takes no more.
    const std::string sixth = Folder(id) + "/segment-6.ts";
    for (const auto start = Clock::now(); !testsupport::PathExists(sixth) && Clock::now() - start < std::chrono::seconds(50);)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(testsupport::PathExists(sixth)) << "production did not go three ahead";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(testsupport::PathExists(Folder(id) + "/segment-7.ts")) << "production went beyond three ahead";
    FetchInOrder(id, 3, 3);
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        EXPECT_EQ(h->GetStreamManager()->GetFirstSegmentIdx(), 1u) << "a made segment is no seek";
    }

    // Eight ahead: a seek, and the run goes on to the end of the video.
    FetchAsSeek(id, 11);
    const std::string s = Fetch(id, 12);
    ASSERT_FALSE(s.empty());
    InspectLater(s, [](const SegmentFacts& f) {
        EXPECT_NEAR(f.pictureSecond, 55.0, 0.6);
        EXPECT_NEAR(f.duration, 5.0, 0.3);
    });
    // The last segment delivered ends the run: both programs go while the session stays.
    EXPECT_TRUE(mediatest::NoProcessNamingWithin(clip, std::chrono::seconds(20))) << "an ffmpeg is left";
    EXPECT_TRUE(mediatest::NoProcessNamingWithin(Folder(id), std::chrono::seconds(20))) << "a segmenter is left";
    EXPECT_EQ(GetStreamCount(), 1u);
    InspectionsDone();
}

TEST_F(Pipeline, SegmenterArgumentsAndTheLiveCount) {
    const std::string clip = ClockClip();
    const int32_t before = GetLiveSegmenterCount();
    const std::wstring a = Create(clip, 1), b = Create(clip, 2);
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    for (const std::wstring& id : {a, b}) {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        h->GetStreamManager()->RequestSegment(L"segment-4.ts");
    }
    ProcessAllStreams();  // both seek
    EXPECT_EQ(GetLiveSegmenterCount(), before + 2);

    const std::vector<int> pids = mediatest::ProcessesNaming(Folder(a) + "/segment");
    ASSERT_EQ(pids.size(), 1u);
    std::string cmdline = mediatest::ReadAll("/proc/" + std::to_string(pids[0]) + "/cmdline");
    std::vector<std::string> args;
    for (size_t at = 0; at < cmdline.size();) {
        const size_t end = cmdline.find('\0', at);
        args.push_back(cmdline.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[0].substr(args[0].rfind('/') + 1), "Segmenter");
    EXPECT_EQ(args[1], "-");
    EXPECT_EQ(args[2], "5");
    EXPECT_EQ(args[3], Folder(a) + "/segment");
    EXPECT_EQ(args[4], Folder(a) + "/stream.m3u8");
    EXPECT_EQ(args[5], "http://127.0.0.1:8683/video/stream/" + kivm::str_conv(a) + "/");
    EXPECT_EQ(args[6], "4");

    RemoveAllStreams();
    EXPECT_EQ(GetLiveSegmenterCount(), before);
    EXPECT_TRUE(mediatest::ProcessesNaming(Folder(a)).empty());
    EXPECT_TRUE(mediatest::NoProcessNamingWithin(clip, std::chrono::seconds(20)));
}

// A segmenter whose program has ended takes no more data, and says so without throwing.
TEST_F(Pipeline, SendAfterTheProgramEnded) {
    testsupport::TempDir dir;
    boost::shared_ptr<ISegmenterFactory> factory = SegmenterFactory::GetInstance();
    // A prefix in a folder that does not exist: the program ends at its first packet.
    boost::shared_ptr<ISegmenter> s = factory->CreateSegmenter(5, dir.wpath() + L"/none/segment", dir.wpath() + L"/none/s.m3u8", L"u/", 1);
    ASSERT_TRUE(s);
    const std::string stream = mediatest::ReadAll(mediatest::MakeTsClip("cutter.ts", 17));
    int result = MSG_OK;
    for (int i = 0; i < 200 && result == MSG_OK; ++i) {
        result = s->Send(stream.data(), stream.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(result, MSG_SEND_FAILED);
    // The end is a failure, and the program's own words say why.
    uint32_t closed = 99;
    std::string why;
    EXPECT_FALSE(s->TakeClosed(closed, why));
    EXPECT_EQ(closed, 0u);
    EXPECT_NE(why.find("exit code 1: "), std::string::npos) << why;
    EXPECT_NE(why.find("No such file or directory"), std::string::npos) << why;
}

// Files count as they are reported closed whole: while the input is open the newest one is not, at the
// end of the input all are.
TEST_F(Pipeline, TheSegmenterReportsEachFileClosedWhole) {
    testsupport::TempDir dir;
    boost::shared_ptr<ISegmenter> s =
        SegmenterFactory::GetInstance()->CreateSegmenter(5, dir.wpath() + L"/segment", dir.wpath() + L"/s.m3u8", L"u/", 3);
    ASSERT_TRUE(s);
    const std::string stream = mediatest::ReadAll(mediatest::MakeTsClip("cutter.ts", 17));  // 5, 5, 5 and 2 s
    ASSERT_EQ(s->Send(stream.data(), stream.size()), MSG_OK);
    uint32_t closed = 0;
    std::string why;
    for (int i = 0; i < 2000 && closed < 3; ++i) {
        ASSERT_TRUE(s->TakeClosed(closed, why)) << why;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(closed, 3u) << "the fourth file stays open until the input ends";
    EXPECT_TRUE(testsupport::PathExists(dir.file("segment-6.ts")));
    EXPECT_TRUE(s->Finish(20000, closed, why)) << why;
    EXPECT_EQ(closed, 4u);
}

TEST(SegmenterReport, CountsWholeClosedLinesAndKeepsAPartialOne) {
    std::string pending;
    EXPECT_EQ(Segmenter::CountClosedLines(pending, "closed 1\nclosed 2\nclo"), 2u);
    EXPECT_EQ(pending, "clo");
    EXPECT_EQ(Segmenter::CountClosedLines(pending, "sed 3\nother text\n"), 1u);
    EXPECT_EQ(pending, "");
    EXPECT_EQ(Segmenter::CountClosedLines(pending, ""), 0u);
}

}  // namespace
