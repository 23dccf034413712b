// "/video/play/", "/video/stream/", "/video/lastseektime/" and "/video/stop/" through the request loop on
// loopback, over the real state store, media probe, transcoder and segmenter.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RouteTestSupport.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/MediaFakes.h"
#include "media/MediaTestSupport.h"
#include "media/StreamManager.h"
#include "media/StreamRegistry.h"
#include "support/ServerProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using routetest::ErrorMsg;
using routetest::Hex;
using routetest::StreamError;
using routetest::StreamUrl;
using routetest::SuccessMsg;

const char kHost[] = "stream.test:8683";

// 12 s: playlist entries of 5, 5 and 2 s.
std::string Clip() {
    return mediatest::MakeClip("routes-clip.mp4", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi",
                                                   "-i", "sine", "-t", "12", "-c:v", "libx264", "-preset", "ultrafast",
                                                   "-c:a", "aac"});
}

// A connection entry whose segment requests give up after g_waitLimitMs.
std::atomic<uint32_t> g_waitLimitMs{30000};
void* LimitedWaitEntry(void* connection) {
    HttpListener listener(static_cast<IHttpdConnection*>(connection));
    listener.SetSegmentWaitLimitMs(g_waitLimitMs);
    listener.Run();
    return nullptr;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class StreamRoutes : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        movies = server.ShareMoviesWithRealProbe();
        const std::string clip = Clip();
        std::filesystem::copy_file(clip, movies + "/clip.mp4");
        std::filesystem::copy_file(clip, movies + "/other.mp4");
        // A probe has its 5 s, and on a machine at load 30 one ffmpeg start can take longer: the clips are
        // probed here, again if need be, so the routes find them in the process's cache.
        for (const char* name : {"clip.mp4", "other.mp4"}) {
            for (int attempt = 0; attempt < 3 && !MetadataFactory::GetInstance()->GetMetadata(PathOf(name)); ++attempt) {
            }
        }
        cache = kivm::ToUTF8Ex(server.services.state->GetCacheFolder());
        session = server.Pair(L"stream-device");
        otherSession = server.Pair(L"other-device");
    }
    void StartServer(uint32_t waitLimitMs = 30000) {
        g_waitLimitMs = waitLimitMs;
        ASSERT_TRUE(server.Start(LimitedWaitEntry));
    }
    ~StreamRoutes() override {
        pump.reset();
        server.Stop();
        RemoveAllStreams();
    }

    std::wstring PathOf(const std::string& name) const { return kivm::FromUTF8ExW(movies + "/" + name); }
    std::string IdOf(const std::string& name, uint64_t sessionId) const {
        return kivm::ToUTF8Ex(MakeStreamId(PathOf(name), sessionId));
    }

    httptest::Reply Play(const std::string& rest, uint64_t sessionId, const std::string& body = "<Play/>",
                         const std::string& headers = std::string("Host: ") + kHost + "\r\n") {
        return server.Request("POST", "/video/play/" + rest, sessionId, headers, body);
    }
    // Plays a file and returns its stream id.
    std::string Started(const std::string& name, uint64_t sessionId) {
        const httptest::Reply reply = Play("Movies/" + name, sessionId);
        EXPECT_EQ(200, reply.status) << reply.body;
        const std::string id = IdOf(name, sessionId);
        EXPECT_EQ(StreamUrl(std::string("http://") + kHost + "/video/stream/" + id + "/index.m3u8?SessionID=" + Hex(sessionId)),
                  reply.body);
        return id;
    }
    httptest::Reply Segment(const std::string& id, const std::string& name, uint64_t sessionId) {
        return server.Get("/video/stream/" + id + "/" + name, sessionId);
    }
    std::string LastSeekTime(const std::string& id) {
        return server.Get("/video/lastseektime/" + id + "/x", session).body;
    }

    routetest::Server server;
    std::unique_ptr<mediatest::StreamPump> pump;
    std::string movies;
    std::string cache;
    uint64_t session = 0;
    uint64_t otherSession = 0;
};

TEST_F(StreamRoutes, PlayAnswersThePlaylistUrlOfANewSession) {
    StartServer();
    const std::string id = Started("clip.mp4", session);
    EXPECT_EQ(1u, GetStreamCount());
    EXPECT_TRUE(std::filesystem::is_directory(cache + "/" + id));
    // A session with no segment asked for yet reports second 0.
    EXPECT_EQ(SuccessMsg("0"), LastSeekTime(id));
}

TEST_F(StreamRoutes, APlayRequestEndsEveryStreamFirstWhateverBecomesOfIt) {
    StartServer();
    const std::string directUrl = std::string("http://") + kHost + "/video/direct/Movies/clip.mp4?SessionID=" + Hex(session);
    const struct {
        const char* label;
        std::string rest, body, headers;
        int status;
        std::string reply;
        size_t sessionsAfter;
    } cases[] = {
        {"another client plays", "Movies/clip.mp4", "<Play/>", std::string("Host: ") + kHost + "\r\n", 200,
         StreamUrl(std::string("http://") + kHost + "/video/stream/" + IdOf("clip.mp4", session) +
                   "/index.m3u8?SessionID=" + Hex(session)),
         1},
        {"direct play", "Movies/clip.mp4", "<Play><PlayWithoutConversion/></Play>", std::string("Host: ") + kHost + "\r\n",
         200, StreamUrl(directUrl), 0},
        {"no Host header", "Movies/clip.mp4", "<Play/>", "", 500, StreamError("Host not provided in HTTP request"), 0},
        {"unknown alias", "Nope/clip.mp4", "<Play/>", "Host: h\r\n", 500, StreamError("Unable to find root folder Nope"), 0},
        {"missing file", "Movies/gone.mp4", "<Play/>", "Host: h\r\n", 500, StreamError("Cannot open Movies/gone.mp4"), 0},
        {"not a video", "Movies/", "<Play/>", "Host: h\r\n", 500, StreamError("Cannot open Movies/"), 0},
    };
    for (const auto& c : cases) {
        const std::string earlier = Started("other.mp4", otherSession);
        ASSERT_TRUE(FindStream(kivm::FromUTF8ExW(earlier)));  // the handle goes at once
        const httptest::Reply reply = Play(c.rest, session, c.body, c.headers);
        ASSERT_TRUE(reply.ok) << c.label;
        EXPECT_EQ(c.status, reply.status) << c.label;
        EXPECT_EQ(c.reply, reply.body) << c.label;
        EXPECT_FALSE(FindStream(kivm::FromUTF8ExW(earlier))) << c.label;
        EXPECT_EQ(c.sessionsAfter, GetStreamCount()) << c.label;
        EXPECT_FALSE(std::filesystem::exists(cache + "/" + earlier)) << c.label;
    }
}

TEST_F(StreamRoutes, ThePlaylistCoversTheClipWithTheAskersSessionInEveryAddress) {
    StartServer();
    const std::string id = Started("clip.mp4", session);
    for (uint64_t asker : {session, otherSession}) {
        const httptest::Reply reply = Segment(id, "index.m3u8", asker);
        ASSERT_TRUE(reply.ok);
        EXPECT_EQ(200, reply.status);
        EXPECT_EQ("application/vnd.apple.mpegurl", reply.Header("content-type"));
        const std::string base = std::string("http://") + kHost + "/video/stream/" + id + "/segment-";
        const std::string query = ".ts?SessionID=" + Hex(asker) + "\r\n";
        EXPECT_EQ("#EXTM3U\r\n#EXT-X-TARGETDURATION:5\r\n#EXT-X-MEDIA-SEQUENCE:0\r\n"
                  "#EXTINF:5, no desc\r\n" + base + "1" + query + "#EXTINF:5, no desc\r\n" + base + "2" + query +
                      "#EXTINF:2, no desc\r\n" + base + "3" + query + "#EXT-X-ENDLIST\r\n",
                  reply.body);
    }
}

TEST_F(StreamRoutes, SegmentsAreServedAsTheWorkerMakesThem) {
    StartServer();
    const std::string id = Started("clip.mp4", session);
    pump.reset(new mediatest::StreamPump);
    std::string all;
    httptest::Connection client(server.Port());  // one keep-alive connection, as players use
    for (int i = 1; i <= 3; ++i) {
        const std::string name = "segment-" + std::to_string(i) + ".ts";
        const httptest::Reply reply =
            client.Request(httptest::Get("/video/stream/" + id + "/" + name + "?SessionID=" + Hex(session)), 60000);
        ASSERT_TRUE(reply.ok) << name;
        ASSERT_EQ(200, reply.status) << name << ": " << reply.body;
        EXPECT_EQ("application/octet-stream", reply.Header("content-type"));
        ASSERT_GE(reply.body.size(), 188u);
        EXPECT_EQ(0u, reply.body.size() % 188) << name;
        EXPECT_EQ('\x47', reply.body[0]);
        EXPECT_TRUE(mediatest::SameBytes(reply.body, testsupport::ReadFile(cache + "/" + id + "/" + name))) << name;
        all += reply.body;
        EXPECT_EQ(SuccessMsg(std::to_string((i - 1) * 5)), LastSeekTime(id));
    }
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("all.ts"), all);
    const double duration =
        std::stod(mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", dir.file("all.ts")}));
    EXPECT_NEAR(12.0, duration, 0.6);
}

TEST_F(StreamRoutes, SegmentsOutsideThePlaylistFailOnlyThemselves) {
    StartServer();
    const std::string id = Started("clip.mp4", session);
    pump.reset(new mediatest::StreamPump);
    ASSERT_EQ(200, Segment(id, "segment-1.ts", session).status);
    for (const char* name : {"segment-0.ts", "segment-4.ts", "segment-4294967295.ts"}) {
        const httptest::Reply reply = Segment(id, name, session);
        EXPECT_EQ(404, reply.status) << name;
        EXPECT_EQ(ErrorMsg(std::string("File request for ") + name + " was aborted"), reply.body);
    }
    // The run that began at segment 1 goes on: no seek was made for them.
    EXPECT_EQ(200, Segment(id, "segment-2.ts", session).status);
    boost::shared_ptr<IStreamManagerSafe> handle = FindStream(kivm::FromUTF8ExW(id));
    ASSERT_TRUE(handle);
    EXPECT_EQ(1u, handle->GetStreamManager()->GetFirstSegmentIdx());
}

TEST_F(StreamRoutes, NamesThatAreNoSegmentsAreRefusedBeforeAnythingIsQueued) {
    StartServer();
    const std::string id = Started("clip.mp4", session);
    testsupport::WriteFile(server.services.temp.file("secret.ts"), "secret");
    for (const std::string& name :
         std::vector<std::string>{"segment-01.ts", "stream.m3u8", ".calvoro-stream", "segment-.ts", "segment-2.tsx",
                                  "x-2.ts", "segment-2", "segment-12345678901.ts", "INDEX.M3U8", "segment-2.ts/../x",
                                  "../../../secret.ts", "segment-2.ts/../../../../secret.ts"}) {
        const httptest::Reply reply = Segment(id, name, session);
        EXPECT_EQ(404, reply.status) << name;
        EXPECT_EQ(ErrorMsg("Not a segment of this stream: " + id + "/" + name), reply.body) << name;
    }
    EXPECT_EQ(SuccessMsg("0"), LastSeekTime(id));  // no request reached the session
}

TEST_F(StreamRoutes, UnknownStreamsAndMalformedPathsAnswerNotFound) {
    StartServer();
    const struct {
        std::string target, text;
    } cases[] = {
        {"/video/stream/noslash", "malformed URI (does not have '/' character)"},
        {"/video/stream/", "malformed URI (does not have '/' character)"},
        {"/video/stream/ffff/index.m3u8",
         "GetStreamData: Unable to find instance of stream manager that matches the unique ID from the URL ffff/index.m3u8"},
        {"/video/stream/ffff/segment-1.ts",
         "GetStreamData: Unable to find instance of stream manager that matches the unique ID from the URL ffff/segment-1.ts"},
        {"/video/lastseektime/noslash", "GetLastRequestedSeekTime: malformed URI (does not have '/' character)"},
        {"/video/lastseektime/ffff/",
         "GetLastRequestedSeekTime: Unable to find instance of stream manager that matches the unique ID from the URL ffff/"},
        {"/video/stop/Movies/clip.mp4",
         "StopStreamVideo: Unable to find instance of stream manager that matches " + movies + "/clip.mp4"},
        {"/video/stop/Movies/gone.mp4", "Cannot open Movies/gone.mp4"},
    };
    for (const auto& c : cases) {
        const httptest::Reply reply = server.Get(c.target, session);
        ASSERT_TRUE(reply.ok) << c.target;
        EXPECT_EQ(404, reply.status) << c.target;
        EXPECT_EQ(ErrorMsg(c.text), reply.body) << c.target;
    }
}

TEST_F(StreamRoutes, TheSegmentWaitHasAnUpperBound) {
    StartServer(800);
    const std::string id = Started("clip.mp4", session);  // no worker: the segment is never made
    const auto start = Clock::now();
    const httptest::Reply reply = Segment(id, "segment-1.ts", session);
    const double waited = Seconds(Clock::now() - start);
    EXPECT_EQ(404, reply.status);
    EXPECT_EQ(ErrorMsg("File request for segment-1.ts was aborted"), reply.body);
    // The server counts whole milliseconds from a reading that drops the part of a millisecond already
    // gone, so its 800 can be up to 1 ms short of the time that passed.
    EXPECT_GE(waited, 0.799);
    EXPECT_LT(waited, 2.5);
}

TEST_F(StreamRoutes, TheRegistryIsFreeWhileASegmentWaits) {
    StartServer(2500);
    const std::string id = Started("clip.mp4", session);
    auto waiting = std::async(std::launch::async, [&] { return Segment(id, "segment-1.ts", session); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double longest = 0;
    for (int i = 0; i < 40; ++i) {
        const auto before = Clock::now();
        { boost::shared_ptr<IStreamManagerSafe> handle = FindStream(kivm::FromUTF8ExW(id)); }
        longest = std::max(longest, Seconds(Clock::now() - before));
        std::this_thread::sleep_for(std::chrono::milliseconds(37));
    }
    EXPECT_LT(longest, 0.1) << "the waiting request held the registry lock";
    EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(0)))
        << "the request was still waiting while the registry was taken";
    const httptest::Reply reply = waiting.get();
    EXPECT_EQ(ErrorMsg("File request for segment-1.ts was aborted"), reply.body);
}

// A waiting segment request ends with the not-found reply as soon as its session is gone or replaced,
// also by a session with the same stream id (the same device playing the same file again).
TEST_F(StreamRoutes, AWaitingSegmentRequestEndsWhenItsSessionGoes) {
    StartServer();
    const struct {
        const char* label;
        std::function<void()> end;
    } cases[] = {
        {"same device plays the same file", [this] { Started("clip.mp4", session); }},
        {"another device plays", [this] { Started("other.mp4", otherSession); }},
        {"the device stops",
         [this] { EXPECT_EQ(SuccessMsg("Stream closed"), server.Get("/video/stop/Movies/clip.mp4", session).body); }},
    };
    for (const auto& c : cases) {
        const std::string id = Started("clip.mp4", session);  // no worker: the segment is never made
        auto waiting = std::async(std::launch::async, [&] {
            const auto start = Clock::now();
            const httptest::Reply reply = Segment(id, "segment-1.ts", session);
            return std::make_pair(reply, Seconds(Clock::now() - start));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        ASSERT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(0))) << c.label;
        c.end();
        const auto done = waiting.get();
        EXPECT_EQ(404, done.first.status) << c.label;
        EXPECT_EQ(ErrorMsg("GetStreamData: StreamManager instance was aborted, probably because another process "
                           "requested a new video. URL is " + id + "/segment-1.ts"),
                  done.first.body)
            << c.label;
        EXPECT_LT(done.second, 5.0) << c.label;
    }
}

TEST_F(StreamRoutes, StopEndsTheDevicesSessionOfTheFileAndItsPrograms) {
    StartServer();
    const std::string id = Started("clip.mp4", session);
    pump.reset(new mediatest::StreamPump);
    ASSERT_EQ(200, Segment(id, "segment-1.ts", session).status);

    // Only the device that plays it can stop it.
    const std::string notFound = "StopStreamVideo: Unable to find instance of stream manager that matches " + movies + "/clip.mp4";
    EXPECT_EQ(ErrorMsg(notFound), server.Get("/video/stop/Movies/clip.mp4", otherSession).body);
    EXPECT_EQ(1u, GetStreamCount());

    const httptest::Reply stopped = server.Get("/video/stop/Movies/clip.mp4", session);
    EXPECT_EQ(200, stopped.status);
    EXPECT_EQ(SuccessMsg("Stream closed"), stopped.body);
    EXPECT_EQ(0u, GetStreamCount());
    EXPECT_FALSE(std::filesystem::exists(cache + "/" + id));
    // The killed transcoder is waited for in the background: it may outlive the reply by a moment.
    const auto stoppedAt = std::chrono::steady_clock::now();
    while (!testsupport::ChildrenOf(getpid()).empty() && std::chrono::steady_clock::now() - stoppedAt < std::chrono::seconds(20))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(testsupport::ChildrenOf(getpid()).empty());
    EXPECT_EQ(404, Segment(id, "index.m3u8", session).status);
    EXPECT_EQ(ErrorMsg(notFound), server.Get("/video/stop/Movies/clip.mp4", session).body);
}

TEST_F(StreamRoutes, AListenerShutdownEndsAWaitingSegmentRequest) {
    StartServer();
    const std::string id = Started("clip.mp4", session);
    auto waiting = std::async(std::launch::async, [&] { return Segment(id, "segment-1.ts", session); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    server.Stop();  // returns once every connection has ended
    EXPECT_LT(Seconds(Clock::now() - start), 10.0);  // not the 30 s segment wait; holds at load 30
    // The request ended: with its not-found reply, or with the connection when the listener no longer sends.
    const httptest::Reply reply = waiting.get();
    if (reply.ok) {
        EXPECT_EQ(ErrorMsg("File request for segment-1.ts was aborted"), reply.body);
    }
}

}  // namespace
