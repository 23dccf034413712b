// The worker loop driven pass by pass through a clock of the test's own: every idle pass ends in the
// clock's Sleep, which waits until the test lets the next pass run.
#include "app/Worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/NetworkFakes.h"
#include "core/FileMaker.h"
#include "core/IEvents.h"
#include "core/Log.h"
#include "core/StateTestSupport.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/MediaTestSupport.h"
#include "media/StreamRegistry.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

namespace {

class SteppedClock : public IWorkerClock {
public:
    int64_t NowSeconds() override {
        std::lock_guard<std::mutex> hold(lock_);
        now_ += advancePerRead_;
        return now_;
    }
    void Sleep(uint32_t ms, WakeSignal&) override {
        std::unique_lock<std::mutex> hold(lock_);
        sleeps_.push_back(ms);
        changed_.notify_all();
        changed_.wait(hold, [this] { return free_ || permits_ > 0; });
        if (!free_) --permits_;
    }

    void SetNow(int64_t now) {
        std::lock_guard<std::mutex> hold(lock_);
        now_ = now;
    }
    void AdvanceOnEveryRead(int64_t seconds) {
        std::lock_guard<std::mutex> hold(lock_);
        advancePerRead_ = seconds;
    }
    // Lets the sleeping pass go on and waits until the loop has slept count times in all.
    bool RunUntilSleeps(size_t count) {
        std::unique_lock<std::mutex> hold(lock_);
        if (count > sleeps_.size()) permits_ += static_cast<int>(count - sleeps_.size());
        changed_.notify_all();
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] { return sleeps_.size() >= count; });
    }
    // Waits, without letting any pass go on, until the loop has slept count times.
    bool WaitForSleeps(size_t count) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] { return sleeps_.size() >= count; });
    }
    void LetGo() {
        std::lock_guard<std::mutex> hold(lock_);
        free_ = true;
        changed_.notify_all();
    }
    std::vector<uint32_t> Sleeps() {
        std::lock_guard<std::mutex> hold(lock_);
        return sleeps_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int64_t now_ = 1000;
    int64_t advancePerRead_ = 0;
    int permits_ = 0;
    bool free_ = false;
    std::vector<uint32_t> sleeps_;
};

// The network thread's parts for tests of the main loop: no router, no gateway, and a time that never
// comes to a master-server contact.
WorkerNetwork NoRouter() {
    static networkfakes::ManualClock clock;
    static networkfakes::FakeGateway gateway;
    static boost::shared_ptr<networkfakes::FakeRouter> router(new networkfakes::FakeRouter());
    router->present = false;
    gateway.present = false;
    WorkerNetwork parts;
    parts.clock = &clock;
    parts.upnp = router;
    parts.natPmp = &gateway;
    return parts;
}

class CountingEvents : public IEvents {
public:
    uint64_t CheckClientTimeouts() override {
        ++checks;
        if (failing) throw std::runtime_error("timeouts went wrong");
        return expire.exchange(0);
    }
    void ClientAnnounced(const std::wstring&, const std::wstring&) override {}
    bool Unauthorize(uint64_t) override { return true; }
    void SetClientEventCallback(ClientEventCallback, void*) override {}
    void FireClientEvent(uint64_t) override {}
    bool SubmitPin(uint32_t, uint64_t) override { return false; }

    std::atomic<int> checks{0};
    std::atomic<bool> failing{false};
    std::atomic<uint64_t> expire{0};  // the session the next check finds silent
};

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_ISOLATED_NETWORK(); }  // the worker broadcasts its presence
    void TearDown() override {
        clock.LetGo();
        worker.reset();
    }
    void Start() {
        worker = Worker::GetInstance(store.state.get(), &events, nullptr, &clock, NoRouter());
        ASSERT_TRUE(worker);
        ASSERT_TRUE(clock.WaitForSleeps(1));
    }

    statetest::TempStore store;
    CountingEvents events;
    SteppedClock clock;
    boost::shared_ptr<Worker> worker;
};

TEST_F(WorkerTest, TimedStepComesOnlyWhenMoreThanTenSecondsHavePassed) {
    clock.SetNow(1000);
    Start();
    const struct {
        int64_t now;
        int checks;
    } passes[] = {
        {1010, 0},  // exactly ten seconds: not yet
        {1011, 1},  // eleven: the step runs and restarts the count
        {1011, 1},
        {1021, 1},
        {1022, 2},
        {900, 2},   // a clock that went back does not count
    };
    size_t sleeps = 1;
    for (const auto& pass : passes) {
        clock.SetNow(pass.now);
        ASSERT_TRUE(clock.RunUntilSleeps(++sleeps));
        EXPECT_EQ(events.checks, pass.checks) << "at " << pass.now;
    }
}

TEST_F(WorkerTest, AnIdlePassSleeps250MsWhileNoSegmenterExists) {
    Start();
    ASSERT_TRUE(clock.RunUntilSleeps(3));
    for (uint32_t ms : clock.Sleeps()) EXPECT_EQ(ms, 250u);
}

TEST_F(WorkerTest, AFailingPassIsLoggedAndTheLoopGoesOnWithoutSleepingFirst) {
    Start();
    events.failing = true;
    clock.SetNow(2000);
    ASSERT_TRUE(clock.RunUntilSleeps(2));
    // The failed pass did not sleep; the next one (no timed step due) slept as an idle pass does.
    EXPECT_EQ(events.checks, 1);
    EXPECT_EQ(clock.Sleeps(), (std::vector<uint32_t>{250, 250}));
    EXPECT_NE(testsupport::ReadFile(kivm::ToUTF8Ex(GetLogFilePath())).find("Exception in Worker Loop : timeouts went wrong"),
              std::string::npos);
}

TEST_F(WorkerTest, APassThatKeepsFailingBacksOff) {
    Start();
    events.failing = true;
    clock.AdvanceOnEveryRead(11);  // every pass makes the timed step, and every one fails
    ASSERT_TRUE(clock.RunUntilSleeps(8));
    const std::vector<uint32_t> sleeps = clock.Sleeps();
    EXPECT_EQ(std::vector<uint32_t>(sleeps.begin() + 1, sleeps.end()),
              (std::vector<uint32_t>{250, 500, 1000, 2000, 4000, 5000, 5000}));
}

TEST(WorkerBackOffTest, NoneForAFirstFailureThenDoublingToFiveSeconds) {
    EXPECT_EQ(WorkerBackOffMs(0), 0u);
    EXPECT_EQ(WorkerBackOffMs(1), 0u);
    EXPECT_EQ(WorkerBackOffMs(2), 250u);
    EXPECT_EQ(WorkerBackOffMs(3), 500u);
    EXPECT_EQ(WorkerBackOffMs(6), 4000u);
    EXPECT_EQ(WorkerBackOffMs(7), 5000u);
    EXPECT_EQ(WorkerBackOffMs(1000), 5000u);
}

TEST(WorkerStartTest, WithoutStateOrEventsTheWorkerDoesNotStart) {
    CountingEvents events;
    EXPECT_FALSE(Worker::GetInstance(nullptr, &events, nullptr));
}

// Sleeps as the real clock does, only for long: nothing but a wake ends a sleep soon.
class LongSleepClock : public IWorkerClock {
public:
    int64_t NowSeconds() override { return 1000; }
    void Sleep(uint32_t, WakeSignal& wake) override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++sleeps_;
            changed_.notify_all();
        }
        wake.Wait(60000);
    }
    bool WaitForSleeps(size_t count) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(20), [&] { return sleeps_ >= count; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    size_t sleeps_ = 0;
};

// The worker gives the stream registry its waker: a segment request ends the idle sleep, and so does
// the stop (else the release would wait out the whole sleep).
TEST(WorkerWake, AStreamRequestAndTheStopEndTheSleep) {
    REQUIRE_ISOLATED_NETWORK();
    statetest::TempStore store;
    CountingEvents events;
    LongSleepClock clock;
    boost::shared_ptr<Worker> worker = Worker::GetInstance(store.state.get(), &events, nullptr, &clock, NoRouter());
    ASSERT_TRUE(worker);
    ASSERT_TRUE(clock.WaitForSleeps(1));
    WakeStreamWorker();
    EXPECT_TRUE(clock.WaitForSleeps(2));
    const auto stopping = std::chrono::steady_clock::now();
    worker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(30));
}

// Now in seconds as the test sets it; sleeps as the real clock does.
class SettableClock : public IWorkerClock {
public:
    int64_t NowSeconds() override { return now; }
    void Sleep(uint32_t ms, WakeSignal& wake) override { wake.Wait(ms); }
    std::atomic<int64_t> now{1000};
};

// The programs among this process's children, by name.
size_t ChildrenNamed(const std::string& name) {
    size_t count = 0;
    for (pid_t child : testsupport::ChildrenOf(getpid())) {
        std::string comm = testsupport::ReadFile("/proc/" + std::to_string(child) + "/comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        if (comm == name) ++count;
    }
    return count;
}

using networkfakes::Within;

// A device goes away mid-stream: when the time-out step finds its session silent, that session's
// stream ends with its ffmpeg and segmenter; another device's stream plays on.
TEST(WorkerStreams, TheStreamsOfASilentClientEndWithTheirPrograms) {
    REQUIRE_ISOLATED_NETWORK();
    statetest::TempStore store;
    CountingEvents events;
    SettableClock clock;
    boost::shared_ptr<IFileMaker> files = FileMaker::GetInstance();
    boost::shared_ptr<IMetadataFactory> metadata = MetadataFactory::GetInstance();
    const std::wstring video = kivm::FromUTF8ExW(mediatest::MakeTsClip("worker-streams.ts", 30));
    const uint64_t gone = 0x1111, staying = 0x2222;
    std::map<uint64_t, std::wstring> streams;
    for (uint64_t session : {gone, staying}) {
        boost::shared_ptr<IStreamManagerSafe> h =
            CreateStream(video, session, store.state.get(), L"http://127.0.0.1:8683/video/stream/", 320, 240,
                         metadata.get(), files.get(), nullptr, nullptr, 1200, 1300, -1, -1, 0, 1);
        ASSERT_TRUE(h);
        streams[session] = h->GetStreamManager()->GetStreamId();
        h->GetStreamManager()->RequestSegment(L"segment-1.ts");  // starts its transcoder and segmenter
    }
    boost::shared_ptr<Worker> worker = Worker::GetInstance(store.state.get(), &events, nullptr, &clock, NoRouter());
    ASSERT_TRUE(worker);
    ASSERT_TRUE(Within(std::chrono::seconds(60), [] { return ChildrenNamed("ffmpeg") == 2 && ChildrenNamed("Segmenter") == 2; }))
        << ChildrenNamed("ffmpeg") << " ffmpeg, " << ChildrenNamed("Segmenter") << " segmenters";
    EXPECT_EQ(2u, GetStreamCount());

    events.expire = gone;
    clock.now = 2000;  // the next pass makes the timed step
    EXPECT_TRUE(Within(std::chrono::seconds(60), [] { return GetStreamCount() == 1; }));
    EXPECT_FALSE(FindStream(streams[gone])) << "the silent client's stream is still there";
    EXPECT_TRUE(FindStream(streams[staying]));
    EXPECT_TRUE(Within(std::chrono::seconds(30), [] { return ChildrenNamed("ffmpeg") <= 1 && ChildrenNamed("Segmenter") <= 1; }))
        << ChildrenNamed("ffmpeg") << " ffmpeg, " << ChildrenNamed("Segmenter") << " segmenters";
    EXPECT_EQ(0u, events.expire.load());

    worker.reset();
    RemoveAllStreams();
    EXPECT_TRUE(Within(std::chrono::seconds(30), [] { return ChildrenNamed("ffmpeg") + ChildrenNamed("Segmenter") == 0; }));
}

// Real time for the worker's sleeps, counted; or, once long, every sleep 100 s whatever it asks for, so
// that only a wake can end one soon.
class CountingSleepClock : public IWorkerClock {
public:
    int64_t NowSeconds() override { return 1000; }  // no timed step
    void Sleep(uint32_t ms, WakeSignal& wake) override {
        ++sleeps;
        wake.Wait(long_ ? 100000 : ms);
    }
    std::atomic<size_t> sleeps{0};
    std::atomic<bool> long_{false};
};

// As the segment route: the request, its status looked at every 5 ms, the delivery when asked.
bool FetchSegment(const std::wstring& id, uint32_t index, std::chrono::seconds within, bool deliver = true) {
    const std::wstring name = L"segment-" + std::to_wstring(index) + L".ts";
    uint32_t request = 0;
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        if (!h) return false;
        request = h->GetStreamManager()->RequestSegment(name);
    }
    SegmentRequestStatus status = SegmentPending;
    const auto start = std::chrono::steady_clock::now();
    while (status == SegmentPending && std::chrono::steady_clock::now() - start < within) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        if (!h) return false;
        status = h->GetStreamManager()->GetRequestStatus(request);
        if (status == SegmentReady && deliver) h->GetStreamManager()->SegmentFinished(name);
    }
    return status == SegmentReady;
}

// A player that has its segment and three more made waits; so does the worker: a held stream costs it a
// few passes a second, not one a millisecond. The next request, and the next delivery (after which
// production goes on), wake it at once.
TEST(WorkerWake, AHeldStreamsWorkerSleepsAndARequestOrADeliveryWakesItAtOnce) {
    REQUIRE_ISOLATED_NETWORK();
    statetest::TempStore store;
    CountingEvents events;
    CountingSleepClock clock;
    boost::shared_ptr<IFileMaker> files = FileMaker::GetInstance();
    boost::shared_ptr<IMetadataFactory> metadata = MetadataFactory::GetInstance();
    const std::wstring video = kivm::FromUTF8ExW(mediatest::MakeTsClip("worker-held.ts", 60));
    std::wstring id;
    {
        boost::shared_ptr<IStreamManagerSafe> h =
            CreateStream(video, 0x3333, store.state.get(), L"http://127.0.0.1:8683/video/stream/", 320, 240,
                         metadata.get(), files.get(), nullptr, nullptr, 1200, 1300, -1, -1, 0, 1);
        ASSERT_TRUE(h);
        id = h->GetStreamManager()->GetStreamId();
    }
    const std::string folder = kivm::str_conv(store.state->GetCacheFolder() + L"/" + id);
    // A failed assertion leaves early: the session must not outlive the store and services it was given.
    struct StreamsGone {
        ~StreamsGone() { RemoveAllStreams(); }
    } streamsGone;
    boost::shared_ptr<Worker> worker = Worker::GetInstance(store.state.get(), &events, nullptr, &clock, NoRouter());
    ASSERT_TRUE(worker);

    ASSERT_TRUE(FetchSegment(id, 1, std::chrono::seconds(60)));
    // Segments 2 to 4 made (the segmenter has begun the fifth once it closed the fourth); then a moment
    // for the transcoder to fill its pipe, which it does in a few writes.
    ASSERT_TRUE(Within(std::chrono::seconds(60), [&] { return testsupport::PathExists(folder + "/segment-5.ts"); }));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const size_t before = clock.sleeps;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const size_t passes = clock.sleeps - before;
    // 250 ms sleeps give 4; a load of 30 gives fewer, not more. Sleeps of 1 ms gave hundreds.
    EXPECT_LE(passes, 20u) << "the worker does not sleep while the stream is held";
    EXPECT_FALSE(testsupport::PathExists(folder + "/segment-6.ts")) << "production went beyond three ahead";

    // From now on a sleep lasts 100 s unless something wakes it.
    clock.long_ = true;
    const size_t asleep = clock.sleeps + 1;
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] { return clock.sleeps >= asleep; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(FetchSegment(id, 2, std::chrono::seconds(60), false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << "the request did not wake the worker";

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    start = std::chrono::steady_clock::now();
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        ASSERT_TRUE(h);
        h->GetStreamManager()->SegmentFinished(L"segment-2.ts");
    }
    // Two delivered: production goes on to segment 5, and the segmenter begins the sixth.
    EXPECT_TRUE(Within(std::chrono::seconds(60), [&] { return testsupport::PathExists(folder + "/segment-6.ts"); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << "the delivery did not wake the worker";

    worker.reset();
    RemoveAllStreams();
}

}  // namespace
