// The media run slots: their queue's order, waits that are given up, the stop, and the probes that take
// slots and are shared by the requests for one file. Real ffmpeg runs on small lavfi clips; a grab from a
// named pipe stands for a run that never ends by itself.
#include "media/MediaRunSlot.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "MediaTestSupport.h"
#include "SlotHolders.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/Subtitle.h"
#include "media/Thumbnail.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::TempDir;
using mediatest::SlotHolders;
using mediatest::Within;

std::string SmallClip() {
    return mediatest::MakeClip("slots.mp4", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=2", "-c:v",
                                             "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
}

class MediaRunSlotTest : public ::testing::Test {
protected:
    void SetUp() override { ClearMetadataCache(); }
    void TearDown() override {
        MediaRunSlot::Resume();
        EXPECT_EQ(0u, MediaRunSlot::Taken());
        EXPECT_EQ(0u, MediaRunSlot::Waiting());
    }
    std::wstring W(const std::string& path) const { return kivm::FromUTF8ExW(path); }
    TempDir dir;
};

TEST_F(MediaRunSlotTest, RequestsTakeTheirTurnInOrderAndTheWorkerGoesFirst) {
    // One slot goes round: each waiter takes it, notes its turn and hands it on.
    SlotHolders others(MediaRunSlot::Limit() - 1);
    std::unique_ptr<MediaRunSlot> last(new MediaRunSlot);
    std::mutex lock;
    std::vector<std::string> order;
    std::vector<std::thread> waiters;
    auto wait = [&](const std::string& name, bool request) {
        waiters.emplace_back([&, name, request] {
            std::unique_ptr<MediaRunWatch> watch;
            if (request) watch.reset(new MediaRunWatch([] { return false; }));
            MediaRunSlot slot;
            std::lock_guard<std::mutex> guard(lock);
            order.push_back(name + (slot.Held() ? "" : " (not held)"));
        });
        const uint32_t queued = static_cast<uint32_t>(waiters.size());
        EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return MediaRunSlot::Waiting() == queued; })) << name;
    };
    wait("first request", true);
    wait("second request", true);
    wait("third request", true);
    wait("worker", false);
    last.reset();
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ((std::vector<std::string>{"worker", "first request", "second request", "third request"}), order);
}

TEST_F(MediaRunSlotTest, ARunInsideARunSharesItsSlot) {
    SlotHolders holders(MediaRunSlot::Limit() - 1);
    MediaRunSlot outer;
    ASSERT_TRUE(outer.Held());
    MediaRunSlot inner;  // would wait for itself forever if it counted
    EXPECT_TRUE(inner.Held());
    EXPECT_EQ(MediaRunSlot::Limit(), MediaRunSlot::Taken());
}

TEST_F(MediaRunSlotTest, AWaitForAnAbandonedRequestLeavesTheQueue) {
    SlotHolders holders(MediaRunSlot::Limit());
    const int kWaiters = 6;
    std::atomic<bool> gone[kWaiters];
    std::atomic<int> held{0}, givenUp{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        gone[i] = false;
        waiters.emplace_back([&, i] {
            MediaRunWatch watch([&, i] { return gone[i].load(); });
            MediaRunSlot slot;
            ++(slot.Held() ? held : givenUp);
        });
    }
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] { return MediaRunSlot::Waiting() == uint32_t(kWaiters); }));
    for (int i = 0; i < kWaiters; i += 2) gone[i] = true;
    EXPECT_TRUE(Within(std::chrono::seconds(3), [&] { return givenUp == kWaiters / 2; }));
    EXPECT_EQ(uint32_t(kWaiters / 2), MediaRunSlot::Waiting());
    EXPECT_EQ(0, held.load());
    holders.Release();
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(kWaiters / 2, held.load());
}

TEST_F(MediaRunSlotTest, TheStopEndsEveryWaitAndKillsEveryRun) {
    // A grab from a named pipe nobody writes runs until it is killed: one per slot, and more waiting,
    // grabs and probes alike.
    MediaRunSlot::SetTimeLimitMs(120000);
    const std::string clip = dir.file("waiting.mp4");
    std::filesystem::copy_file(SmallClip(), clip);
    boost::shared_ptr<IMetadataFactory> metadata = MetadataFactory::GetInstance();
    const uint32_t running = MediaRunSlot::Limit();
    const uint32_t waiting = 12;
    std::atomic<int> failed{0};
    std::vector<std::thread> runs;
    auto start = [&](uint32_t i) {
        const std::string fifo = dir.file("pipe" + std::to_string(i) + ".mp4");
        EXPECT_EQ(0, mkfifo(fifo.c_str(), 0600));
        const bool probe = i >= running && i % 2 == 0;
        runs.emplace_back([&, fifo, probe, i] {
            MediaRunWatch watch([] { return false; });
            bool made = false;
            if (probe) {
                made = static_cast<bool>(metadata->GetMetadata(W(clip)));
            } else {
                made = Thumbnail::GetInstance(metadata.get())->CreateJPEG(W(dir.file("t" + std::to_string(i) + ".jpg")),
                                                                         W(fifo), 320, 240, 1);
            }
            if (!made) ++failed;
        });
    };
    for (uint32_t i = 0; i < running; ++i) start(i);
    EXPECT_TRUE(Within(std::chrono::seconds(30), [&] { return mediatest::ProcessesNaming(dir.path()).size() == running; }));
    for (uint32_t i = running; i < running + waiting; ++i) start(i);
    // The grabs wait in the queue; of the probes of one file, one waits there and the others wait for it.
    EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return MediaRunSlot::Waiting() == waiting / 2 + 1; }));

    const auto stop = Clock::now();
    MediaRunSlot::StopAll();
    for (std::thread& t : runs) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - stop).count();
    MediaRunSlot::SetTimeLimitMs(60000);
    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(int(running + waiting), failed.load());
    EXPECT_TRUE(mediatest::ProcessesNaming(dir.path()).empty());
    // Stopped, nothing runs; resumed (tests only), runs go again.
    EXPECT_FALSE(MediaRunSlot().Held());
    MediaRunSlot::Resume();
    EXPECT_TRUE(MediaRunSlot().Held());
    EXPECT_TRUE(metadata->GetMetadata(W(clip)));
}

TEST_F(MediaRunSlotTest, RequestsForOneFileShareOneProbe) {
    const std::string clip = dir.file("shared.mp4");
    std::filesystem::copy_file(SmallClip(), clip);
    boost::shared_ptr<IMetadataFactory> metadata = MetadataFactory::GetInstance();
    const int kRequests = 40;
    std::vector<boost::shared_ptr<IMetadata>> results(kRequests);
    std::vector<std::thread> requests;
    {
        mediatest::PeakProcesses ffmpeg(clip);
        for (int i = 0; i < kRequests; ++i)
            requests.emplace_back([&, i] { results[i] = metadata->GetMetadata(W(clip)); });
        for (std::thread& t : requests) t.join();
        EXPECT_LE(ffmpeg.Stop(), 1u);  // a short run may fall between two samples
    }
    ASSERT_TRUE(results[0]);
    EXPECT_EQ(160, results[0]->GetWidth());
    // Each probe makes a new record: one record for all means one probe.
    for (int i = 1; i < kRequests; ++i) EXPECT_EQ(results[0].get(), results[i].get()) << i;
}

TEST_F(MediaRunSlotTest, ProbesTakeSlotsAndTheirWaitIsNotTheirLimit) {
    // Every slot taken for longer than a probe may run: the probes wait without a process, then all
    // succeed, never more of them at once than the two slots given back.
    if (MediaRunSlot::Limit() < 2) GTEST_SKIP() << "needs two cores";
    const uint32_t files = 6;
    for (uint32_t i = 0; i < files; ++i) std::filesystem::copy_file(SmallClip(), dir.file("p" + std::to_string(i) + ".mp4"));
    boost::shared_ptr<IMetadataFactory> metadata = MetadataFactory::GetInstance();
    std::atomic<uint32_t> probed{0};
    std::vector<std::thread> requests;
    SlotHolders kept(MediaRunSlot::Limit() - 2);
    mediatest::PeakProcesses ffmpeg(dir.path());
    {
        SlotHolders freed(2);
        for (uint32_t i = 0; i < files; ++i) {
            requests.emplace_back([&, i] {
                MediaRunWatch watch([] { return false; });
                if (metadata->GetMetadata(W(dir.file("p" + std::to_string(i) + ".mp4")))) ++probed;
            });
        }
        EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return MediaRunSlot::Waiting() == files; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(MetadataFactory::kProbeTimeoutMs + 500));
        EXPECT_EQ(0u, ffmpeg.Peak()) << "a probe ran without a slot";
    }
    for (std::thread& t : requests) t.join();
    EXPECT_EQ(files, probed.load());
    EXPECT_LE(ffmpeg.Stop(), 2u);
}

// A running grab (from a named pipe nobody writes) and a running extraction (of a 20 GB file whose
// limit is over 400 s) whose request's client goes are killed within a second, and the slot goes to the
// request that waited for it. The bound has room for a loaded machine; the runs' own limits are minutes.
TEST_F(MediaRunSlotTest, ARunningRunWhoseClientWentIsKilledAndItsSlotGoesOn) {
    MediaRunSlot::SetTimeLimitMs(120000);
    const std::string huge = dir.file("huge.mkv");
    mediatest::MakeHugeSubtitledVideo(huge);
    const std::string fifo = dir.file("pipe.mp4");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    boost::shared_ptr<IMetadataFactory> metadata = MetadataFactory::GetInstance();
    const struct {
        const char* kind;
        std::string names;  // what the run's command line names
        std::function<bool()> run;
    } cases[] = {
        {"grab", fifo,
         [&] { return Thumbnail::GetInstance(metadata.get())->CreateJPEG(W(dir.file("t.jpg")), W(fifo), 320, 240, 1); }},
        {"extraction", huge, [&] { return Subtitle::GetInstance(metadata.get())->ExtractStream(W(dir.file("s.srt")), W(huge), 2); }},
    };
    for (const auto& c : cases) {
        SlotHolders others(MediaRunSlot::Limit() - 1);
        std::atomic<bool> gone{false}, ended{false}, made{true}, nextHeld{false};
        std::thread request([&] {
            MediaRunWatch watch([&] { return gone.load(); });
            made = c.run();
            ended = true;
        });
        ASSERT_TRUE(Within(std::chrono::seconds(30), [&] { return mediatest::ProcessesNaming(c.names).size() == 1; }))
            << c.kind;
        std::thread next([&] {
            MediaRunWatch watch([] { return false; });
            MediaRunSlot slot;
            nextHeld = slot.Held();
        });
        ASSERT_TRUE(Within(std::chrono::seconds(10), [] { return MediaRunSlot::Waiting() == 1; })) << c.kind;
        const auto left = Clock::now();
        gone = true;
        EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return ended && nextHeld; })) << c.kind;
        const double seconds = std::chrono::duration<double>(Clock::now() - left).count();
        request.join();
        next.join();
        EXPECT_FALSE(made) << c.kind;
        EXPECT_TRUE(nextHeld) << c.kind;
        EXPECT_TRUE(mediatest::ProcessesNaming(c.names).empty()) << c.kind;
        RecordProperty(std::string(c.kind) + "EndSeconds", std::to_string(seconds));
    }
    MediaRunSlot::SetTimeLimitMs(60000);
}

// A probe goes on while another request for the file still waits for it, though the request that
// started it has gone; once every request has gone it is killed. The stand-in for ffmpeg (first on PATH)
// notes each start, takes 3 s, describes a 160x120 video and notes its end.
TEST_F(MediaRunSlotTest, AProbeGoesOnWhileARequestStillWaitsForIt) {
    const std::string runs = dir.file("runs.txt");
    const std::string fake = dir.file("ffmpeg");
    testsupport::WriteFile(fake, "#!/bin/sh\necho run >> '" + runs +
                                     "'\nsleep 3\necho 'Input #0, mov, from x:' >&2\n"
                                     "echo '  Duration: 00:00:02.00, start: 0.000000, bitrate: 100 kb/s' >&2\n"
                                     "echo '  Stream #0:0: Video: h264, yuv420p, 160x120, 25 fps' >&2\necho done >> '" +
                                     runs + "'\nexit 1\n");
    ASSERT_EQ(0, chmod(fake.c_str(), 0755));
    const char* oldPath = getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    setenv("PATH", (dir.path() + ":" + saved).c_str(), 1);
    boost::shared_ptr<IMetadataFactory> metadata = MetadataFactory::GetInstance();
    for (const bool otherStays : {true, false}) {
        ClearMetadataCache();
        const std::string clip = dir.file(otherStays ? "awaited.mp4" : "abandoned.mp4");
        testsupport::WriteFile(clip, "a video");
        testsupport::WriteFile(runs, "");
        std::atomic<bool> firstGone{false}, otherGone{false}, firstAnswered{false}, otherAnswered{false};
        auto request = [&](std::atomic<bool>& gone, std::atomic<bool>& answered) {
            MediaRunWatch watch([&gone] { return gone.load(); });
            answered = static_cast<bool>(metadata->GetMetadata(W(clip)));
        };
        std::thread first(request, std::ref(firstGone), std::ref(firstAnswered));
        ASSERT_TRUE(Within(std::chrono::seconds(30), [&] { return mediatest::ProcessesNaming(clip).size() == 1; }));
        std::thread other(request, std::ref(otherGone), std::ref(otherAnswered));
        ASSERT_TRUE(Within(std::chrono::seconds(10), [] { return MetadataFactory::AwaitingProbes() == 1; }));
        firstGone = true;
        if (!otherStays) otherGone = true;
        first.join();
        other.join();
        EXPECT_EQ(otherStays, otherAnswered.load());
        EXPECT_FALSE(firstAnswered && !otherStays);
        // One probe, never started again: run to its end for the request that stayed, else killed.
        EXPECT_EQ(otherStays ? "run\ndone\n" : "run\n", testsupport::ReadFile(runs)) << "other stays " << otherStays;
        EXPECT_TRUE(mediatest::ProcessesNaming(clip).empty());
    }
    setenv("PATH", saved.c_str(), 1);
}

// A probe waiting for a slot keeps its place in the queue while another request waits for it, though
// the request that asked for it has gone: the slot freed next goes to it, before a run queued later.
TEST_F(MediaRunSlotTest, AProbeThatIsAwaitedKeepsItsPlaceInTheQueue) {
    const std::string fake = dir.file("ffmpeg");
    testsupport::WriteFile(fake, "#!/bin/sh\nsleep 1\necho '  Duration: 00:00:02.00, bitrate: 100 kb/s' >&2\n"
                                 "echo '  Stream #0:0: Video: h264, yuv420p, 160x120, 25 fps' >&2\nexit 1\n");
    ASSERT_EQ(0, chmod(fake.c_str(), 0755));
    const char* oldPath = getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    setenv("PATH", (dir.path() + ":" + saved).c_str(), 1);
    const std::string clip = dir.file("queued.mp4");
    testsupport::WriteFile(clip, "a video");
    boost::shared_ptr<IMetadataFactory> metadata = MetadataFactory::GetInstance();
    {
        SlotHolders others(MediaRunSlot::Limit() - 1);
        std::unique_ptr<MediaRunSlot> last(new MediaRunSlot);
        std::atomic<bool> firstGone{false}, otherAnswered{false}, laterHeld{false};
        std::thread first([&] {
            MediaRunWatch watch([&] { return firstGone.load(); });
            metadata->GetMetadata(W(clip));
        });
        ASSERT_TRUE(Within(std::chrono::seconds(10), [] { return MediaRunSlot::Waiting() == 1; }));
        std::thread other([&] {
            MediaRunWatch watch([] { return false; });
            otherAnswered = static_cast<bool>(metadata->GetMetadata(W(clip)));
        });
        ASSERT_TRUE(Within(std::chrono::seconds(10), [] { return MetadataFactory::AwaitingProbes() == 1; }));
        std::thread later([&] {
            MediaRunWatch watch([] { return false; });
            MediaRunSlot slot;
            laterHeld = slot.Held();
        });
        ASSERT_TRUE(Within(std::chrono::seconds(10), [] { return MediaRunSlot::Waiting() == 2; }));
        firstGone = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * MediaRunWatch::kAskEveryMs));  // time to leave, were it to
        EXPECT_EQ(2u, MediaRunSlot::Waiting()) << "the probe left the queue";
        last.reset();
        EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return mediatest::ProcessesNaming(clip).size() == 1; }));
        EXPECT_FALSE(laterHeld.load()) << "the run queued later went first";
        first.join();
        other.join();
        EXPECT_TRUE(otherAnswered.load());
        others.Release();
        later.join();
        EXPECT_TRUE(laterHeld.load());
    }
    setenv("PATH", saved.c_str(), 1);
}

// CALVORO_MEDIA_RUN_LIMIT_MS as a user may write it: only a plain number of milliseconds from 1 to
// 600000 is taken; anything else leaves the limit as it is.
TEST_F(MediaRunSlotTest, ARunLimitIsAPlainNumberFromOneTo600000) {
    struct Case {
        std::string text;
        bool taken;
        uint32_t ms;
    };
    const std::vector<Case> cases = {
        {"1", true, 1},         {"5000", true, 5000}, {"600000", true, 600000}, {"060000", true, 60000},
        {"0", false, 0},        {"600001", false, 0}, {"99999999999", false, 0}, {"abc", false, 0},
        {"", false, 0},         {"-1", false, 0},     {"+5", false, 0},          {" 5", false, 0},
        {"5 ", false, 0},       {"5s", false, 0},     {"1e3", false, 0},         {"0x10", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t ms = 12345;
        EXPECT_EQ(c.taken, MediaRunSlot::ParseTimeLimitMs(c.text, ms)) << "\"" << c.text << "\"";
        EXPECT_EQ(c.taken ? c.ms : 12345u, ms) << "\"" << c.text << "\"";
    }
}

}  // namespace
