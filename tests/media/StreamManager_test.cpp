// The stream session's state machine and its folder, with a scripted transcoder and segmenter: every
// chunk the transcoder gives becomes the next segment file, so each step's effect is known exactly.
#include "media/StreamManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "MediaFakes.h"
#include "MediaTestSupport.h"
#include "core/Util.h"
#include "core/Waker.h"
#include "kivlib/kiv_text.h"
#include "media/ISegmenter.h"
#include "media/ITranscode.h"
#include "media/StreamRegistry.h"

namespace {

// What the scripted programs did and may do.
struct World {
    int budget = 1 << 30;       // chunks still to be had, over all runs
    uint32_t segmentCount = 0;  // a run started at k ends after the chunk of the last segment
    bool failTranscoder = false;
    bool failSegmenter = false;
    bool refuseSends = false;
    bool segmenterFailsAtEnd = false;  // the last file is cut: the segmenter ends with a failure
    std::vector<std::string> ends;     // how the programs of each run were ended, in order
    std::vector<TranscodeParams> runs;
    std::vector<uint32_t> firsts;  // the first number of each segmenter
    int liveTranscoders = 0;
    int liveSegmenters = 0;
    int reportFd = -1;  // what the segmenters name to be woken on
    // A transcoder offering this as its output pipe has a segmenter read it straight (when not -1).
    int outputPipe = -1;
    bool handedOver = false;
    uint32_t allowed = 0;            // what the last segmenter reading straight was allowed to close
    bool outputEnded = false;        // that segmenter has all the stream: its transcoder has ended
    bool segmenterDies = false;      // that segmenter ends with a failure while its transcoder runs
    std::vector<std::string> order;  // the programs made, in order
};

class FakeTranscode final : public ITranscode, public KivDeleter {
public:
    FakeTranscode(World& w, uint32_t first) : w_(w), left_(w.segmentCount - first + 1) { ++w_.liveTranscoders; }
    bool IsRunning() override {
        if (handedOver_ && w_.outputEnded) running_ = false;
        return running_;
    }
    bool HasFailed() override { return false; }
    std::string ReadOutput() override {
        if (handedOver_) ADD_FAILURE() << "output read after it was handed over";
        if (!running_) return std::string();
        if (left_ == 0) {
            running_ = false;
            return std::string();
        }
        if (w_.budget <= 0) return std::string();
        --w_.budget;
        --left_;
        return "chunk";
    }
    void BeginStop() override { w_.ends.push_back("stop transcoder"); }
    int OutputPipe() override { return handedOver_ ? -1 : w_.outputPipe; }
    void OutputHandedOver() override { handedOver_ = w_.handedOver = true; }
    void Destroy() override { delete this; }

private:
    ~FakeTranscode() {
        --w_.liveTranscoders;
        w_.ends.push_back("release transcoder");
    }
    World& w_;
    uint32_t left_;
    bool running_ = true;
    bool handedOver_ = false;
};

class FakeSegmenter final : public ISegmenter, public KivDeleter {
public:
    FakeSegmenter(World& w, std::wstring prefix, uint32_t first, bool reading = false)
        : w_(w), prefix_(std::move(prefix)), next_(first), reading_(reading) {
        ++w_.liveSegmenters;
        w_.allowed = 0;
        w_.outputEnded = false;
        total_ = w_.segmentCount - first + 1;
    }
    int Send(const void*, size_t) override {
        if (reading_) ADD_FAILURE() << "bytes sent to a segmenter that reads the transcoder itself";
        if (w_.refuseSends) return MSG_SEND_FAILED;
        testsupport::WriteFile(kivm::str_conv(prefix_) + "-" + std::to_string(next_++) + ".ts", "ts");
        ++written_;
        return MSG_OK;
    }
    // As the program does: a file is reported closed once the next one has begun, the last at the end.
    bool TakeClosed(uint32_t& closed, std::string& why) override {
        if (reading_ && w_.segmenterDies) {
            closed = 0;
            why = "the segmenter ended with exit code 1: cannot write";
            return false;
        }
        // Reading straight, it closes what it was allowed and begins the next file, up to the stream's end.
        while (reading_ && written_ < std::min(w_.allowed + 1, total_)) Write();
        if (reading_ && written_ == total_) w_.outputEnded = true;
        closed = written_ > 0 ? written_ - 1 : 0;
        return true;
    }
    void AllowUpTo(uint32_t closedCount) override {
        EXPECT_TRUE(reading_);
        EXPECT_GE(closedCount, w_.allowed) << "what was allowed was lowered";
        w_.allowed = std::max(w_.allowed, closedCount);
    }
    bool Finish(uint32_t, uint32_t& closed, std::string& why) override {
        w_.ends.push_back("finish segmenter");
        closed = written_;
        if (!w_.segmenterFailsAtEnd || written_ == 0) return true;
        closed = written_ - 1;
        why = "cannot write the last file: No space left on device";
        return false;
    }
    void BeginStop() override { w_.ends.push_back("stop segmenter"); }
    int ReportFd() override { return w_.reportFd; }
    void Destroy() override { delete this; }

private:
    ~FakeSegmenter() {
        --w_.liveSegmenters;
        w_.ends.push_back("release segmenter");
    }
    void Write() {
        testsupport::WriteFile(kivm::str_conv(prefix_) + "-" + std::to_string(next_++) + ".ts", "ts");
        ++written_;
    }
    uint32_t written_ = 0;
    World& w_;
    std::wstring prefix_;
    uint32_t next_;
    bool reading_;
    uint32_t total_;
};

class FakeTranscodeFactory : public ITranscodeFactory {
public:
    explicit FakeTranscodeFactory(World& w) : w_(w) {}
    boost::shared_ptr<ITranscode> CreateTranscode(const TranscodeParams& p, IState*) override {
        if (beforeCreate) beforeCreate();
        if (w_.failTranscoder) return boost::shared_ptr<ITranscode>();
        w_.runs.push_back(p);
        w_.order.push_back("transcoder");
        return boost::shared_ptr<ITranscode>(new FakeTranscode(w_, uint32_t(p.StartSeconds) / 5 + 1), KivDeleter::deleter());
    }
    boost::shared_ptr<ITranscodeFromStdin> CreateTranscodeFromStdin(const TranscodeParams&) override { return {}; }
    boost::shared_ptr<ITranscodeFileToFile> CreateTranscodeFileToFile(const TranscodeParams&) override { return {}; }
    std::function<void()> beforeCreate;

private:
    World& w_;
};

class FakeSegmenterFactory : public ISegmenterFactory {
public:
    explicit FakeSegmenterFactory(World& w) : w_(w) {}
    boost::shared_ptr<ISegmenter> CreateSegmenter(uint32_t seconds, const std::wstring& prefix, const std::wstring&,
                                                  const std::wstring&, uint32_t first) override {
        EXPECT_EQ(seconds, 5u);
        if (beforeCreate) beforeCreate();
        if (w_.failSegmenter) return boost::shared_ptr<ISegmenter>();
        w_.firsts.push_back(first);
        w_.order.push_back("segmenter");
        return boost::shared_ptr<ISegmenter>(new FakeSegmenter(w_, prefix, first), KivDeleter::deleter());
    }
    boost::shared_ptr<ISegmenter> CreateSegmenterReading(int input, uint32_t, const std::wstring& prefix,
                                                         const std::wstring&, const std::wstring&, uint32_t first) override {
        if (w_.failSegmenter) return boost::shared_ptr<ISegmenter>();
        w_.firsts.push_back(first);
        w_.order.push_back("segmenter reading " + std::to_string(input));
        return boost::shared_ptr<ISegmenter>(new FakeSegmenter(w_, prefix, first, true), KivDeleter::deleter());
    }
    std::function<void()> beforeCreate;

private:
    World& w_;
};

class StreamSession : public ::testing::Test {
protected:
    StreamSession()
        : state(cache.wpath()), transcoders(world), segmenters(world), video(media.file("film.mkv")) {
        testsupport::WriteFile(video, std::string(1000, 'v'));
    }
    ~StreamSession() override { RemoveAllStreams(); }

    // A session over a video of the given length (the file is small, the bitrate 0: always plausible).
    void Create(double duration, uint64_t sessionId = 77) {
        metadata.facts.duration = duration;
        uint32_t last = 0;
        StreamManager::ComputeSegmentCount(duration, world.segmentCount, last);
        boost::shared_ptr<IStreamManagerSafe> h = CreateStream(kivm::FromUTF8ExW(video), sessionId, &state,
                                                               L"http://h:8683/video/stream/", 320, 240, &metadata, &files,
                                                               &transcoders, &segmenters, 1200, 1300, 0, 1, 0, 2);
        ASSERT_TRUE(h);
        id = h->GetStreamManager()->GetStreamId();
    }

    IStreamManager* Session(boost::shared_ptr<IStreamManagerSafe>& h) {
        h.reset();  // a held handle would hold the registry lock
        h = FindStream(id);
        EXPECT_TRUE(h);
        return h ? h->GetStreamManager() : nullptr;
    }
    uint32_t Request(uint32_t index) { return RequestName(L"segment-" + std::to_wstring(index) + L".ts"); }
    uint32_t RequestName(const std::wstring& name) {
        boost::shared_ptr<IStreamManagerSafe> h;
        return Session(h)->RequestSegment(name);
    }
    SegmentRequestStatus Status(uint32_t request) {
        boost::shared_ptr<IStreamManagerSafe> h;
        return Session(h)->GetRequestStatus(request);
    }
    void Finished(uint32_t index) {
        boost::shared_ptr<IStreamManagerSafe> h;
        Session(h)->SegmentFinished(L"segment-" + std::to_wstring(index) + L".ts");
    }
    StreamState State() {
        boost::shared_ptr<IStreamManagerSafe> h;
        return Session(h)->GetState();
    }
    void Step(int steps = 1) {
        for (int i = 0; i < steps; ++i) ProcessAllStreams();
    }
    // Steps until the request is answered.
    SegmentRequestStatus Await(uint32_t request, int steps = 100) {
        for (int i = 0; i < steps; ++i) {
            const SegmentRequestStatus s = Status(request);
            if (s != SegmentPending) return s;
            Step();
        }
        return SegmentPending;
    }
    std::string Folder() { return kivm::str_conv(state.GetCacheFolder() + L"/" + id); }
    bool HasFile(uint32_t index) { return testsupport::PathExists(Folder() + "/segment-" + std::to_string(index) + ".ts"); }

    // Streaming with segments 1 to 3 delivered and files 1 to 6 made (so 5 complete).
    void StreamAtThreeAndFive() {
        Create(60);
        world.budget = 6;
        ASSERT_EQ(Await(Request(1)), SegmentReady);
        for (uint32_t i = 1; i <= 3; ++i) Finished(i);
        Step(10);
        ASSERT_EQ(State(), StreamStreaming);
        ASSERT_TRUE(HasFile(6));
        ASSERT_FALSE(HasFile(7));
    }

    testsupport::TempDir cache, media;
    mediatest::FakeState state;
    mediatest::FakeMetadataFactory metadata;
    mediatest::FlakyFiles files;
    World world;
    FakeTranscodeFactory transcoders;
    FakeSegmenterFactory segmenters;
    std::string video;
    std::wstring id;
};

TEST(StreamManagerStatics, SegmentCountAndNames) {
    const struct {
        double duration;
        uint32_t count, last;
    } cases[] = {{62.4, 13, 2},  {61.0, 13, 1},  {12.0, 3, 2},  {0.8, 1, 1},   {5.0, 1, 5},       {6.2, 2, 1},
                 {6.0, 2, 1},    {10.4, 3, 1},   {10.6, 3, 1},  {13.6, 3, 4},  {3723.45, 745, 3}, {0.05, 1, 1},
                 {10.05, 2, 5},  {10.11, 3, 1},  {0.0, 0, 5},   {4.6, 1, 5}};
    for (const auto& c : cases) {
        uint32_t count = 0, last = 0;
        StreamManager::ComputeSegmentCount(c.duration, count, last);
        EXPECT_EQ(count, c.count) << c.duration;
        EXPECT_EQ(last, c.last) << c.duration;
    }
    EXPECT_EQ(StreamManager::GetSegmentIdx(L"segment-17.ts"), 17u);
    EXPECT_EQ(StreamManager::GetSegmentIdx(L"my-film-segment-3.ts"), 3u);
    EXPECT_EQ(StreamManager::GetSegmentIdx(L"segment17.ts"), 0u);
    EXPECT_EQ(StreamManager::GetSegmentIdx(L"segment-.ts"), 0u);
}

TEST(StreamManagerStatics, StreamIds) {
    const std::wstring a = MakeStreamId(L"/v/film.mkv", 77);
    EXPECT_EQ(a, MakeStreamId(L"/v/film.mkv", 77));
    const std::wstring b = MakeStreamId(L"/v/film.mkv", 78);
    EXPECT_EQ(a.substr(0, 32), b.substr(0, 32));
    EXPECT_NE(a, b);
    // The session id itself never shows: the second part is the digest of its decimal text.
    EXPECT_EQ(a.substr(32), kivm::str_conv(kivm::compute_md5("77")));
    EXPECT_EQ(a.size(), 64u);
    EXPECT_EQ(a.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
    // The digest is of UTF-16LE code units: "ab" is the bytes 61 00 62 00.
    EXPECT_EQ(MakeStreamId(L"ab", 1).substr(0, 32), kivm::str_conv(kivm::compute_md5(std::string("a\0b\0", 4))));
    // A character beyond the 16-bit plane is a surrogate pair.
    EXPECT_EQ(MakeStreamId(L"\U0001F600", 0).substr(0, 32),
              kivm::str_conv(kivm::compute_md5(std::string("\x3D\xD8\x00\xDE", 4))));
}

TEST_F(StreamSession, PlaylistOfTheWholeVideo) {
    Create(12.0);
    boost::shared_ptr<IStreamManagerSafe> h;
    const std::string base = "http://h:8683/video/stream/" + kivm::str_conv(id) + "/segment-";
    EXPECT_EQ(Session(h)->GetPlaylist(0xABCDEF0123ull),
              "#EXTM3U\r\n#EXT-X-TARGETDURATION:5\r\n#EXT-X-MEDIA-SEQUENCE:0\r\n"
              "#EXTINF:5, no desc\r\n" + base + "1.ts?SessionID=abcdef0123\r\n"
              "#EXTINF:5, no desc\r\n" + base + "2.ts?SessionID=abcdef0123\r\n"
              "#EXTINF:2, no desc\r\n" + base + "3.ts?SessionID=abcdef0123\r\n#EXT-X-ENDLIST\r\n");
}

// A video shorter than a second is one entry, and a last second after whole segments has its own.
TEST_F(StreamSession, PlaylistOfAShortVideoOrAShortEndHasItsEntry) {
    const struct {
        double duration;
        std::vector<std::string> entries;
    } cases[] = {{0.8, {"1"}}, {6.0, {"5", "1"}}, {10.4, {"5", "5", "1"}}};
    for (const auto& c : cases) {
        Create(c.duration);
        boost::shared_ptr<IStreamManagerSafe> h;
        const std::string base = "http://h:8683/video/stream/" + kivm::str_conv(id) + "/segment-";
        std::string expected = "#EXTM3U\r\n#EXT-X-TARGETDURATION:5\r\n#EXT-X-MEDIA-SEQUENCE:0\r\n";
        for (size_t i = 0; i < c.entries.size(); ++i)
            expected += "#EXTINF:" + c.entries[i] + ", no desc\r\n" + base + std::to_string(i + 1) + ".ts?SessionID=1\r\n";
        EXPECT_EQ(Session(h)->GetPlaylist(1), expected + "#EXT-X-ENDLIST\r\n") << c.duration;
        h.reset();  // it holds the registry lock
        EXPECT_TRUE(RemoveStream(id));
    }
}

TEST_F(StreamSession, ImplausibleDurationIsRefused) {
    // 100,000,000 bytes at 1000 kb/s: the estimate is 1000 s; up to 1.5 times that passes.
    const int fd = open(video.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_EQ(ftruncate(fd, 100000000), 0);
    close(fd);
    metadata.facts.bitrate = 1000;
    for (const auto& c : {std::make_pair(1600.0, false), std::make_pair(1400.0, true)}) {
        metadata.facts.duration = c.first;
        boost::shared_ptr<IStreamManagerSafe> h = CreateStream(kivm::FromUTF8ExW(video), 5, &state, L"u/", 320, 240, &metadata,
                                                               &files, &transcoders, &segmenters, 1200, 1300, -1, -1, 0, 1);
        EXPECT_EQ(bool(h), c.second) << c.first;
    }
}

// A handle that is not handed out leaves the registry lock free: another thread can take it.
void ExpectRegistryFree() {
    auto other = std::async(std::launch::async, [] { return GetStreamCount(); });
    EXPECT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the registry lock is still held";
    if (other.wait_for(std::chrono::seconds(0)) != std::future_status::ready) std::terminate();
}

TEST_F(StreamSession, FailedCreationAndUnknownIdLeaveTheLockFree) {
    metadata.fail = true;
    EXPECT_FALSE(CreateStream(kivm::FromUTF8ExW(video), 1, &state, L"u/", 320, 240, &metadata, &files, &transcoders,
                              &segmenters, 1200, 1300, -1, -1, 0, 1));
    ExpectRegistryFree();
    EXPECT_FALSE(FindStream(L"0123"));
    ExpectRegistryFree();
    EXPECT_FALSE(testsupport::PathExists(kivm::str_conv(state.GetCacheFolder() + L"/" + MakeStreamId(kivm::FromUTF8ExW(video), 1))));
}

TEST_F(StreamSession, FirstRequestSeeksToOneAndIsReadyOnceSegmentOneIsComplete) {
    Create(60);
    const uint32_t r = Request(1);
    EXPECT_EQ(r, 0u);
    Step();
    EXPECT_EQ(State(), StreamSeeking);
    ASSERT_EQ(world.runs.size(), 1u);
    EXPECT_EQ(world.runs[0].StartSeconds, 0);
    EXPECT_EQ(world.runs[0].VideoIndex, 0);
    EXPECT_EQ(world.runs[0].AudioIndex, 1);
    EXPECT_EQ(world.runs[0].Threads, 2);
    EXPECT_EQ(world.runs[0].InputPath, kivm::FromUTF8ExW(video));
    EXPECT_EQ(world.firsts, std::vector<uint32_t>{1});
    EXPECT_EQ(Status(r), SegmentPending);
    Step();  // segment-1.ts exists but may still grow
    EXPECT_EQ(Status(r), SegmentPending);
    Step();  // segment-2.ts exists: 1 is complete
    Step();
    EXPECT_EQ(State(), StreamStreaming);
    EXPECT_EQ(Status(r), SegmentReady);
    EXPECT_EQ(Status(r), SegmentPending) << "reported once";
    EXPECT_EQ(Status(12345), SegmentPending);
    EXPECT_EQ(Request(2), 1u);
    EXPECT_EQ(Request(3), 2u);
}

TEST_F(StreamSession, SeekToFourStartsAtFifteen) {
    Create(60);
    ASSERT_EQ(Await(Request(4)), SegmentReady);
    ASSERT_EQ(world.runs.size(), 1u);
    EXPECT_EQ(world.runs[0].StartSeconds, 15);
    EXPECT_EQ(world.firsts, std::vector<uint32_t>{4});
    EXPECT_TRUE(HasFile(4));
    EXPECT_FALSE(HasFile(3));
    boost::shared_ptr<IStreamManagerSafe> h;
    EXPECT_EQ(Session(h)->GetFirstSegmentIdx(), 4u);
    EXPECT_DOUBLE_EQ(Session(h)->GetLastRequestedSeconds(), 15.0);
}

// The worker sleeps after a step that did no work, until something wakes it: a step that moved the
// session on (a request decided, a delivery counted, a new state) must ask for the next step at once, or
// what that leaves (the next request or delivery, the seek to start) would wait for the idle pause.
TEST_F(StreamSession, AStepThatMovesTheSessionOnAsksForTheNextAtOnce) {
    StreamAtThreeAndFive();  // no more output to be had
    EXPECT_FALSE(ProcessAllStreams()) << "nothing to do";
    Request(4);
    Request(5);
    EXPECT_TRUE(ProcessAllStreams()) << "4 answered";
    EXPECT_TRUE(ProcessAllStreams()) << "5 answered";
    EXPECT_FALSE(ProcessAllStreams());
    Finished(4);
    Finished(5);
    EXPECT_TRUE(ProcessAllStreams()) << "4 counted";
    EXPECT_TRUE(ProcessAllStreams()) << "5 counted";
    EXPECT_FALSE(ProcessAllStreams());
    const uint32_t seek = Request(10);
    EXPECT_TRUE(ProcessAllStreams()) << "a seek decided";
    EXPECT_EQ(State(), StreamIdle);
    EXPECT_TRUE(ProcessAllStreams()) << "the seek started";
    EXPECT_EQ(State(), StreamSeeking);
    world.budget = 1 << 30;
    EXPECT_EQ(Await(seek), SegmentReady);
}

TEST_F(StreamSession, ProductionStaysThreeAheadOfWhatWasDelivered) {
    Create(60);
    ASSERT_EQ(Await(Request(1)), SegmentReady);
    Step(50);
    EXPECT_TRUE(HasFile(4));  // nothing delivered: segments up to 3 complete (file 4 makes 3 complete)
    EXPECT_FALSE(HasFile(5));
    Finished(1);
    Step(50);
    EXPECT_TRUE(HasFile(5));
    EXPECT_FALSE(HasFile(6));
}

struct StreamingCase {
    const char* name;
    uint32_t index;
    SegmentRequestStatus after;  // status after a few steps with no more chunks to be had
    bool seeks;
};

class StreamingRequests : public StreamSession, public ::testing::WithParamInterface<StreamingCase> {};

TEST_P(StreamingRequests, AtThreeDeliveredAndFiveMade) {
    StreamAtThreeAndFive();
    const StreamingCase& c = GetParam();
    const size_t runs = world.runs.size();
    const uint32_t r = Request(c.index);
    Step(3);
    EXPECT_EQ(world.runs.size(), runs + (c.seeks ? 1 : 0));
    if (c.seeks) {
        EXPECT_EQ(world.runs.back().StartSeconds, int32_t((c.index - 1) * 5));
    } else {
        EXPECT_EQ(Status(r), c.after);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamingRequests,
                         ::testing::Values(StreamingCase{"made_five", 5, SegmentReady, false},
                                           StreamingCase{"delivered_two", 2, SegmentReady, false},
                                           StreamingCase{"growing_six_waits", 6, SegmentPending, false},
                                           StreamingCase{"four_ahead_seeks", 7, SegmentPending, true},
                                           StreamingCase{"far_ahead_seeks", 11, SegmentPending, true}),
                         [](const ::testing::TestParamInfo<StreamingCase>& info) { return std::string(info.param.name); });

TEST_F(StreamSession, RequestBeforeTheRunStartSeeksBack) {
    Create(60);
    ASSERT_EQ(Await(Request(5)), SegmentReady);
    const uint32_t r = Request(2);
    EXPECT_EQ(Await(r), SegmentReady);
    ASSERT_EQ(world.runs.size(), 2u);
    EXPECT_EQ(world.runs[1].StartSeconds, 5);
    EXPECT_FALSE(HasFile(5)) << "the folder was emptied for the new run";
}

TEST_F(StreamSession, SeekAnswersDuplicatesAndAbortsForAnotherIndex) {
    Create(60);
    world.budget = 0;  // the seek cannot finish yet
    const uint32_t a = Request(3);
    Step();
    const uint32_t b = Request(3);
    Step();
    EXPECT_EQ(State(), StreamSeeking);
    world.budget = 100;
    EXPECT_EQ(Await(a), SegmentReady);
    EXPECT_EQ(Await(b, 2), SegmentReady) << "answered with the first";
    EXPECT_EQ(world.runs.size(), 1u);

    world.budget = 0;
    const uint32_t c = Request(9);
    Step(2);
    ASSERT_EQ(State(), StreamSeeking);
    const uint32_t d = Request(10);
    const uint32_t e = Request(11);
    EXPECT_EQ(Await(c, 3), SegmentFailed);
    EXPECT_EQ(Await(d, 3), SegmentFailed);
    world.budget = 100;
    EXPECT_EQ(Await(e), SegmentReady);
    EXPECT_EQ(world.runs.back().StartSeconds, 50);
}

TEST_F(StreamSession, DeliveredSegmentsCountOnlyInOrder) {
    StreamAtThreeAndFive();
    world.budget = 100;
    Finished(5);
    Step(20);
    EXPECT_FALSE(HasFile(8)) << "5 without 4 moves nothing: production stays at 3 + 3";
    Finished(4);
    Step(20);
    EXPECT_TRUE(HasFile(9));  // 5 delivered: 8 complete
    EXPECT_FALSE(HasFile(10));
}

TEST_F(StreamSession, OutOfRangeRequestFailsAloneAndLeavesTheRun) {
    Create(60);  // 12 segments
    ASSERT_EQ(Await(Request(1)), SegmentReady);
    Step(5);
    const size_t runs = world.runs.size();
    for (const std::wstring name : {L"segment-13.ts", L"segment-0.ts", L"segment.ts", L"index.ts", L"segment-99999999999.ts"}) {
        const uint32_t r = RequestName(name);
        EXPECT_EQ(Await(r, 5), SegmentFailed) << kivm::str_conv(name);
    }
    EXPECT_EQ(world.runs.size(), runs) << "no seek";
    EXPECT_EQ(world.liveTranscoders, 1);
    EXPECT_TRUE(HasFile(1));
    EXPECT_EQ(State(), StreamStreaming);
    EXPECT_EQ(Await(Request(2)), SegmentReady);
    // Also while a seek runs: it goes on.
    world.budget = 0;
    const uint32_t far = Request(10);
    Step();
    EXPECT_EQ(Await(RequestName(L"segment-14.ts"), 5), SegmentFailed);
    world.budget = 100;
    EXPECT_EQ(Await(far), SegmentReady);
}

TEST_F(StreamSession, RunThatEndsEarlyFailsRequestsBeyondIt) {
    Create(60);
    ASSERT_EQ(Await(Request(11)), SegmentReady);
    Finished(11);
    Step(20);
    EXPECT_TRUE(HasFile(12));
    EXPECT_EQ(world.liveSegmenters, 0) << "released at the end of the output";
    EXPECT_EQ(Await(Request(12)), SegmentReady) << "the last file counts once the segmenter is gone";
    Finished(12);
    Step(3);
    EXPECT_EQ(world.liveTranscoders, 0) << "everything released after the last delivery";
}

TEST_F(StreamSession, SeekThatCannotStartFailsItsRequest) {
    Create(60);
    world.failSegmenter = true;
    EXPECT_EQ(Await(Request(1)), SegmentFailed);
    EXPECT_EQ(State(), StreamIdle);
    world.failSegmenter = false;
    world.failTranscoder = true;
    EXPECT_EQ(Await(Request(1)), SegmentFailed);
    world.failTranscoder = false;
    EXPECT_EQ(Await(Request(1)), SegmentReady) << "the session stays usable";
}

// A run whose segmenter reads the transcoder itself ends with the transcoder's output: the segmenter is
// finished (it cuts the rest) and the last segment counts. One that fails while the transcoder runs
// fails the wait.
TEST_F(StreamSession, ALinkedRunEndsWithItsOutputOrFailsWithItsSegmenter) {
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    world.outputPipe = output[0];
    Create(12.0);  // three segments
    for (uint32_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(Await(Request(i)), SegmentReady) << i;
        Finished(i);
    }
    Step(5);
    EXPECT_EQ(world.ends.front(), "finish segmenter");
    EXPECT_EQ(world.liveSegmenters, 0);

    world.segmenterDies = true;
    Create(60, 78);  // another session
    EXPECT_EQ(Await(Request(1)), SegmentFailed);
    EXPECT_EQ(State(), StreamIdle);
    close(output[0]);
    close(output[1]);
}

// A run is both programs or neither: either one that cannot start leaves nothing of the other behind.
TEST_F(StreamSession, ARunWhoseProgramCannotStartLeavesNeither) {
    Create(60);
    world.failTranscoder = true;
    EXPECT_EQ(Await(Request(1)), SegmentFailed);
    EXPECT_EQ(world.liveSegmenters, 0);
    EXPECT_EQ(world.liveTranscoders, 0);
    world.failTranscoder = false;
    world.failSegmenter = true;
    EXPECT_EQ(Await(Request(1)), SegmentFailed);
    EXPECT_EQ(world.liveTranscoders, 0);
    EXPECT_EQ(world.liveSegmenters, 0);
}

// Where the transcoder offers its output pipe, it starts first and the segmenter reads that pipe itself:
// the session reads and sends nothing, and lets the segmenter close files only as far as three beyond
// what the player has taken, in each run from that run's first segment.
TEST_F(StreamSession, ASegmenterReadingTheTranscoderItselfIsAllowedThreeAhead) {
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    world.outputPipe = output[0];
    Create(60);
    EXPECT_EQ(Await(Request(1)), SegmentReady);
    Step(10);
    EXPECT_EQ(world.order, (std::vector<std::string>{"transcoder", "segmenter reading " + std::to_string(output[0])}));
    EXPECT_TRUE(world.handedOver);
    EXPECT_EQ(world.allowed, 3u);
    EXPECT_TRUE(HasFile(4));
    EXPECT_FALSE(HasFile(5));
    Finished(1);
    Step(10);
    EXPECT_EQ(world.allowed, 4u);
    EXPECT_FALSE(HasFile(6));

    EXPECT_EQ(Await(Request(9)), SegmentReady);  // a seek: a new run from segment 9
    Step(10);
    EXPECT_EQ(world.firsts, (std::vector<uint32_t>{1, 9}));
    EXPECT_EQ(world.allowed, 3u) << "segments 9 to 11";
    EXPECT_TRUE(HasFile(12));
    EXPECT_FALSE(HasFile(13));
    close(output[0]);
    close(output[1]);
}

TEST_F(StreamSession, SegmenterThatRefusesDataFailsTheSeek) {
    Create(60);
    world.refuseSends = true;
    EXPECT_EQ(Await(Request(1)), SegmentFailed);
    EXPECT_EQ(State(), StreamIdle);
}

// Old files that could not be deleted must not pass for the new run's segments.
TEST_F(StreamSession, FolderThatCannotBeEmptiedFailsTheSeek) {
    Create(60);
    ASSERT_EQ(Await(Request(1)), SegmentReady);
    Step(10);
    ASSERT_TRUE(HasFile(4));
    files.undeletable = {L"segment-3.ts"};
    const uint32_t r = Request(8);
    EXPECT_EQ(Await(r), SegmentFailed);
    EXPECT_EQ(world.runs.size(), 1u) << "no run was started over the old files";
    files.undeletable.clear();
    EXPECT_EQ(Await(Request(8)), SegmentReady);
    EXPECT_FALSE(HasFile(3));
}

TEST_F(StreamSession, FolderHoldsTheMarkerAndGoesWithTheSession) {
    Create(60);
    const std::string marker = Folder() + "/" + kivm::str_conv(kStreamFolderMarker);
    EXPECT_TRUE(testsupport::PathExists(marker));
    ASSERT_EQ(Await(Request(1)), SegmentReady);
    ASSERT_EQ(Await(Request(9)), SegmentReady);  // a seek empties the folder
    EXPECT_TRUE(testsupport::PathExists(marker)) << "the clean-up keeps the marker";
    EXPECT_TRUE(RemoveStream(id));
    EXPECT_FALSE(RemoveStream(id));
    EXPECT_FALSE(testsupport::PathExists(Folder()));
    EXPECT_EQ(world.liveTranscoders, 0);
    EXPECT_EQ(world.liveSegmenters, 0);
}

TEST_F(StreamSession, FolderWithASubfolderStaysForTheCacheCleanUp) {
    Create(60);
    ASSERT_EQ(Await(Request(1)), SegmentReady);
    ASSERT_EQ(mkdir((Folder() + "/keep").c_str(), 0755), 0);
    const std::string folder = Folder();
    EXPECT_TRUE(StopStream(kivm::FromUTF8ExW(video), 77));
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(folder)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{kivm::str_conv(kStreamFolderMarker), "keep"}));
}

// The same client playing the same file again: the new session keeps its folder.
TEST_F(StreamSession, ReplacingASessionKeepsTheNewOnesFolder) {
    Create(60);
    ASSERT_EQ(Await(Request(1)), SegmentReady);
    Create(60);
    EXPECT_EQ(GetStreamCount(), 1u);
    EXPECT_EQ(world.liveTranscoders, 0) << "the old session's programs stopped";
    EXPECT_TRUE(testsupport::PathExists(Folder() + "/" + kivm::str_conv(kStreamFolderMarker)));
    EXPECT_EQ(Await(Request(1)), SegmentReady);
    EXPECT_TRUE(HasFile(1));
}

TEST_F(StreamSession, LastRequestedSeconds) {
    Create(60);
    boost::shared_ptr<IStreamManagerSafe> h;
    EXPECT_DOUBLE_EQ(Session(h)->GetLastRequestedSeconds(), 0.0);
    h.reset();
    Request(3);
    EXPECT_DOUBLE_EQ(Session(h)->GetLastRequestedSeconds(), 10.0);
    h.reset();
    RequestName(L"segment.ts");
    EXPECT_DOUBLE_EQ(Session(h)->GetLastRequestedSeconds(), 0.0);
    EXPECT_DOUBLE_EQ(h->GetStreamManager()->GetDuration(), 60.0);
}

}  // namespace

// The worker hands the registry its waker: every segment request wakes it, and so does every segment
// delivered (production may go on then); none comes through a waker that was taken away.
TEST_F(StreamSession, ASegmentRequestAndADeliveredSegmentWakeTheWorker) {
    struct CountingWaker : IWaker {
        void Wake() override { ++wakes; }
        bool Watch(int) override { return true; }
        void Unwatch(int) override {}
        int wakes = 0;
    } waker;
    Create(60);
    SetStreamWaker(&waker);
    Request(3);
    EXPECT_EQ(waker.wakes, 1);
    Finished(3);
    EXPECT_EQ(waker.wakes, 2);
    Request(4);
    SetStreamWaker(nullptr);
    Request(5);
    Finished(4);
    EXPECT_EQ(waker.wakes, 3);
}

// What a run watches goes with the run: its descriptors are registered once, when it starts, not on
// every step; a new waker takes them over, and the run's end lets them go.
TEST_F(StreamSession, ARunsDescriptorsAreWatchedForTheRunsLife) {
    struct RecordingWaker : IWaker {
        void Wake() override {}
        bool Watch(int fd) override {
            ++watches;
            watched.insert(fd);
            return true;
        }
        void Unwatch(int fd) override { watched.erase(fd); }
        int watches = 0;
        std::set<int> watched;
    } first, second;
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    kivposix::UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    world.reportFd = readEnd.get();
    SetStreamWaker(&first);
    Create(60);
    Request(1);
    for (int i = 0; i < 20; ++i) ProcessAllStreams();
    EXPECT_EQ(first.watches, 1) << "watched once for the run, not once a step";
    ASSERT_EQ(first.watched.size(), 1u);
    EXPECT_NE(*first.watched.begin(), readEnd.get()) << "the registry watches a copy of its own";
    SetStreamWaker(&second);
    EXPECT_TRUE(first.watched.empty());
    EXPECT_EQ(second.watched.size(), 1u);
    RemoveAllStreams();
    EXPECT_TRUE(second.watched.empty());
    SetStreamWaker(nullptr);
}

// The registry hands out the play generation with the handle: a play turn ends every session, and the
// session the next play makes under the same stream id tells by its generation that it is another one.
TEST_F(StreamSession, APlayTurnEndsEverySessionAndStartsTheNextGeneration) {
    Create(60);
    uint64_t first = 0;
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        ASSERT_TRUE(h);
        first = h->GetPlayGeneration();
    }
    {
        PlayTurn play;
        EXPECT_EQ(GetStreamCount(), 0u);
        Create(60);
    }
    boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
    ASSERT_TRUE(h);
    EXPECT_NE(h->GetPlayGeneration(), first);
}

// Only what the segmenter reports closed whole counts: a run whose segmenter fails on its last file (a
// full disk) leaves that file uncounted, and the request for it fails instead of getting a cut segment.
TEST_F(StreamSession, ACutLastFileIsNeverReady) {
    Create(60);
    ASSERT_EQ(Await(Request(11)), SegmentReady);
    Finished(11);
    world.segmenterFailsAtEnd = true;
    Step(20);
    EXPECT_TRUE(HasFile(12)) << "the cut file is there";
    EXPECT_EQ(world.liveSegmenters, 0);
    EXPECT_EQ(Await(Request(12)), SegmentFailed);
}

// A seek tells both programs of the old run to end before it waits for either.
TEST_F(StreamSession, ASeekEndsBothProgramsTogether) {
    Create(60);
    ASSERT_EQ(Await(Request(1)), SegmentReady);
    world.ends.clear();
    ASSERT_EQ(Await(Request(9)), SegmentReady);
    const std::vector<std::string> wanted = {"stop segmenter", "stop transcoder", "release segmenter", "release transcoder"};
    EXPECT_EQ(world.ends, wanted);
}

// A route waiting for its answer wakes when a step answers a request, and when the session ends.
TEST_F(StreamSession, AnAnswerOrAnEndedSessionWakesTheWaitingRoutes) {
    Create(60);
    const uint32_t r = Request(1);
    uint64_t seen = GetSegmentAnswerCount();
    auto waiter = std::async(std::launch::async, [&seen] { WaitForSegmentAnswer(seen, 120000); });
    EXPECT_EQ(Await(r), SegmentReady);
    EXPECT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);

    seen = GetSegmentAnswerCount();
    auto second = std::async(std::launch::async, [&seen] { WaitForSegmentAnswer(seen, 120000); });
    Step(5);  // work, but no answer
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    RemoveAllStreams();
    EXPECT_EQ(second.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}
