// Playing videos from the real server (calvoro -s, seeded state.xml): HTTP Live Streaming to ffmpeg and
// ffprobe as clients, seeks, the end of a stream, direct play and converted files from the cache folder.
#include <sched.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/HttpTestClient.h"
#include "e2e/E2eServer.h"
#include "kivlib/kiv_text.h"
#include "media/MediaTestSupport.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using httptest::Connection;
using httptest::Reply;

const char kAuthorisedId[] = "e2e-streaming-device";

std::string ErrorMsg(const std::string& text) { return "<Calvoro>\n\t<ErrorMsg>" + text + "</ErrorMsg>\n</Calvoro>\n"; }
std::string SuccessMsg(const std::string& text) {
    return "<Calvoro>\n\t<SuccessMsg>" + text + "</SuccessMsg>\n</Calvoro>\n";
}

// 12 s of test picture and tone: playlist entries of 5, 5 and 2 s. Its index lies at the front.
std::string ShortClip() {
    return mediatest::MakeClip("e2e-short.mp4", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi",
                                                 "-i", "sine", "-t", "12", "-c:v", "libx264", "-preset", "ultrafast",
                                                 "-c:a", "aac", "-movflags", "+faststart"});
}

// 60 s whose picture brightness tells the time (luma 4 x seconds), so a frame shows where it lies. Its
// index lies at the end, so a player must ask for ranges to open it.
std::string ClockClip() {
    return mediatest::MakeClip(
        "e2e-clock.mp4", {"-f", "lavfi", "-i",
                          "color=c=black:size=64x36:rate=25:duration=60,format=gray,geq=lum='4*T',scale=320:240,"
                          "format=yuv420p",
                          "-f", "lavfi", "-i", "sine=duration=60", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25",
                          "-c:a", "aac"});
}

// The mean brightness of the first picture that ffmpeg decodes from input after the given input options.
double FirstPictureLuma(const std::string& input, const std::vector<std::string>& inputOptions) {
    std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin"};
    argv.insert(argv.end(), inputOptions.begin(), inputOptions.end());
    argv.insert(argv.end(), {"-i", input, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
    const mediatest::RunResult r = mediatest::Run(argv, "", 120000);
    if (r.exitCode != 0 || r.out.empty()) throw std::runtime_error("cannot decode " + input + ": " + r.err);
    double sum = 0;
    for (unsigned char c : r.out) sum += c;
    return sum / double(r.out.size());
}

// The last "time=HH:MM:SS.xx" of an ffmpeg run's progress, in seconds; -1 when there is none.
double LastProgressTime(const std::string& err) {
    const size_t at = err.rfind("time=");
    if (at == std::string::npos) return -1;
    const std::string t = err.substr(at + 5, 11);
    return std::stod(t.substr(0, 2)) * 3600 + std::stod(t.substr(3, 2)) * 60 + std::stod(t.substr(6));
}

// Names of the living child programs of pid.
std::vector<std::string> ChildPrograms(pid_t pid) {
    std::vector<std::string> names;
    for (pid_t child : testsupport::ChildrenOf(pid)) {
        std::string comm = testsupport::ReadFile("/proc/" + std::to_string(child) + "/comm");
        while (!comm.empty() && comm.back() == '\n') comm.pop_back();
        if (!comm.empty()) names.push_back(comm);
    }
    return names;
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names) {
        if (n == name) return true;
    }
    return false;
}

struct Server {
    testsupport::TempDir home;
    std::unique_ptr<testsupport::ServerProcess> process;
    int port = 0;
    std::string clips;
    std::string cache;
    std::string sessionHex;
    // Conversions the state lists as finished, each a copy of short.mp4 in the offline folder.
    std::vector<std::string> finished;

    bool Start() {
        clips = home.path() + "/share/Clips";
        std::filesystem::create_directories(clips);
        std::filesystem::copy_file(ShortClip(), clips + "/short.mp4");
        std::filesystem::copy_file(ClockClip(), clips + "/clock.mp4");
        port = testsupport::FreePort();
        e2etest::SeedState(home.path(), {{clips, "Clips"}}, kAuthorisedId, port, finished);
        cache = home.path() + "/Calvoro/cache";
        for (const std::string& name : finished) {
            std::filesystem::create_directories(cache + "/offline");
            std::filesystem::copy_file(clips + "/short.mp4", cache + "/offline/" + name);
        }
        process.reset(new testsupport::ServerProcess(home.path()));
        if (!e2etest::StartServing(*process, port)) return false;
        sessionHex = e2etest::PairedSession(port, kAuthorisedId);
        return !sessionHex.empty();
    }

    std::string Host() const { return "127.0.0.1:" + std::to_string(port); }
    std::string Base() const { return "http://" + Host(); }
};

// The cache route serves only finished conversions: the shared server's state lists one.
struct ServerWithConversion : Server {
    ServerWithConversion() { finished = {"converted.mkv"}; }
};

class StreamingE2e : public e2etest::SharedServerTest<ServerWithConversion> {
protected:
    void TearDown() override {
        if (server) server->process->Stdout();  // keeps its standard output from filling up
    }

    std::string WithSession(const std::string& target) const {
        return target + (target.find('?') == std::string::npos ? "?" : "&") + "SessionID=" + server->sessionHex;
    }
    Reply Get(const std::string& target, const std::string& extraHeaders = "", int ms = 30000) const {
        Connection client(server->port);
        return client.Request("GET " + WithSession(target) + " HTTP/1.1\r\nHost: " + server->Host() + "\r\n" +
                                  extraHeaders + "\r\n",
                              ms);
    }
    Reply Post(const std::string& target, const std::string& body) const {
        Connection client(server->port);
        return client.Request("POST " + WithSession(target) + " HTTP/1.1\r\nHost: " + server->Host() +
                              "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    // The URL that a play request answers; empty (with a failure) when it answers none.
    std::string PlayUrl(const std::string& rest, const std::string& body = "<Play/>") const {
        const Reply reply = Post("/video/play/" + rest, body);
        EXPECT_EQ(200, reply.status) << reply.body;
        const size_t at = reply.body.find("<URL>");
        const size_t end = reply.body.find("</URL>");
        if (at == std::string::npos || end == std::string::npos) {
            ADD_FAILURE() << reply.body;
            return std::string();
        }
        return reply.body.substr(at + 5, end - at - 5);
    }
    static std::string StreamIdOf(const std::string& url) {
        const size_t at = url.find("/video/stream/") + 14;
        return url.substr(at, url.find('/', at) - at);
    }
    static std::string PathOf(const std::string& url) { return url.substr(url.find("/video/")); }

    // Waits until the server runs both programs of a stream run.
    bool RunStarted() const {
        for (int i = 0; i < 250; ++i) {
            const std::vector<std::string> programs = ChildPrograms(server->process->Pid());
            if (Has(programs, "ffmpeg") && Has(programs, "Segmenter")) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool NoRunLeft() const {
        for (int i = 0; i < 100; ++i) {
            const std::vector<std::string> programs = ChildPrograms(server->process->Pid());
            if (!Has(programs, "ffmpeg") && !Has(programs, "Segmenter")) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

TEST_F(StreamingE2e, AnHlsClientPlaysTheWholeStream) {
    const std::string url = PlayUrl("Clips/short.mp4");
    ASSERT_EQ(server->Base() + "/video/stream/", url.substr(0, server->Base().size() + 14));
    ASSERT_NE(std::string::npos, url.find("/index.m3u8?SessionID=" + server->sessionHex)) << url;

    const size_t logStart = server->process->LogText().size();
    const mediatest::RunResult copy = mediatest::Run({"ffmpeg", "-nostdin", "-i", url, "-c", "copy", "-f", "null", "-"}, "", 120000);
    ASSERT_EQ(0, copy.exitCode) << copy.err;
    EXPECT_NEAR(12.0, LastProgressTime(copy.err), 0.6) << copy.err;
    for (int i = 1; i <= 3; ++i) {
        EXPECT_NE(std::string::npos, server->process->LogText().substr(logStart).find("Index " + std::to_string(i) + " finished"))
            << i;
    }

    // Decoded, the stream lasts as long as the clip and has each of its pictures.
    const mediatest::RunResult decode = mediatest::Run({"ffmpeg", "-nostdin", "-i", url, "-f", "null", "-"}, "", 120000);
    ASSERT_EQ(0, decode.exitCode) << decode.err;
    EXPECT_NEAR(12.0, LastProgressTime(decode.err), 0.6) << decode.err;
    const auto frames = [](const std::string& input) {
        return std::stoi(mediatest::Probe({"-count_frames", "-select_streams", "v", "-show_entries",
                                           "stream=nb_read_frames", "-of", "csv=p=0", input}));
    };
    EXPECT_NEAR(frames(server->clips + "/short.mp4"), frames(url), 2);

    // ffprobe reads the playlist.
    const std::string duration = mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", url});
    EXPECT_NEAR(12.0, std::stod(duration), 0.6);

    // A whole stream later the log still shows the client's session id nowhere, in either form.
    const std::string log = server->process->LogText();
    EXPECT_EQ(std::string::npos, log.find(server->sessionHex)) << "hexadecimal session id in the log";
    const std::string decimal = std::to_string(std::stoull(server->sessionHex, nullptr, 16));
    EXPECT_EQ(std::string::npos, log.find(decimal)) << "decimal session id in the log";

    // Every entry names its component (start-up, state store, HTTP interface, probe, stream session,
    // transcoder, worker ...), never one of the files a component is made of.
    const std::set<std::string> components = {"main", "State", "Events", "Worker", "Log", "Util", "StreamManager",
                                              "Transcode", "FfmpegMetadataParser", "HttpListener", "UdpBroadcaster",
                                              "Upnp", "ExternalDataService"};
    static const std::regex entry(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] \.\\([A-Za-z]+)\(\d+\): )");
    std::set<std::string> seen;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, entry)) seen.insert(match[1].str());
    }
    for (const std::string& name : seen) EXPECT_EQ(1u, components.count(name)) << name;
    for (const char* name : {"main", "State", "HttpListener", "StreamManager", "Transcode"})
        EXPECT_EQ(1u, seen.count(name)) << name;
}

TEST_F(StreamingE2e, EveryPlaylistEntryIsAtMostTheTargetDuration) {
    for (const char* clip : {"Clips/short.mp4", "Clips/clock.mp4"}) {
        const std::string url = PlayUrl(clip);
        const Reply reply = Get(PathOf(url));
        ASSERT_EQ(200, reply.status) << clip;
        EXPECT_EQ("application/vnd.apple.mpegurl", reply.Header("content-type"));
        const std::string& text = reply.body;
        ASSERT_EQ(0u, text.find("#EXTM3U\r\n")) << text;
        const size_t target = text.find("#EXT-X-TARGETDURATION:");
        ASSERT_NE(std::string::npos, target);
        const double targetSeconds = std::stod(text.substr(target + 22));
        double total = 0;
        int entries = 0;
        for (size_t at = text.find("#EXTINF:"); at != std::string::npos; at = text.find("#EXTINF:", at + 1)) {
            const double seconds = std::stod(text.substr(at + 8));
            EXPECT_LE(std::lround(seconds), targetSeconds) << clip << " entry " << entries;
            total += seconds;
            ++entries;
        }
        EXPECT_GT(entries, 0);
        const std::string probed = mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0",
                                                     server->clips + "/" + std::string(clip).substr(6)});
        EXPECT_NEAR(std::stod(probed), total, 1.0) << clip;
        EXPECT_NE(std::string::npos, text.find("#EXT-X-ENDLIST\r\n"));
    }
}

// A video shorter than a segment, and one whose last second follows a whole segment: the playlist
// covers the whole video, the last entry's segment is made and served, also when it is asked for first
// (a seek to its start), and an HLS client plays to the end.
TEST_F(StreamingE2e, ShortVideosAndShortEndsArePlayedToTheirEnd) {
    const struct {
        const char* name;
        const char* seconds;
        size_t entries;
    } cases[] = {{"tiny.mp4", "0.8", 1}, {"six.mp4", "6", 2}};
    for (const auto& c : cases) {
        const std::string path = server->clips + "/" + c.name;
        if (!std::filesystem::exists(path)) {
            std::filesystem::copy_file(
                mediatest::MakeClip(std::string("e2e-") + c.name,
                                    {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi", "-i", "sine", "-t",
                                     c.seconds, "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}),
                path);
        }
        const double duration =
            std::stod(mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", path}));
        const std::string rest = std::string("Clips/") + c.name;

        const std::string url = PlayUrl(rest);
        const Reply playlist = Get(PathOf(url));
        ASSERT_EQ(200, playlist.status) << c.name;
        std::vector<double> entries;
        std::vector<std::string> segments;
        std::istringstream lines(playlist.body);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("#EXTINF:", 0) == 0) entries.push_back(std::stod(line.substr(8)));
            if (line.find("/segment-") != std::string::npos) segments.push_back(line);
        }
        ASSERT_EQ(c.entries, entries.size()) << playlist.body;
        ASSERT_EQ(c.entries, segments.size()) << playlist.body;
        double total = 0;
        for (double e : entries) total += e;
        EXPECT_NEAR(duration, total, 0.5) << playlist.body;

        // The last segment first: a seek to its start second, served with what lies there.
        const Reply last = Get(PathOf(segments.back()), "", 60000);
        ASSERT_EQ(200, last.status) << c.name << " " << last.body;
        testsupport::TempDir scratch;
        const std::string file = scratch.file(std::string("last-") + c.name + ".ts");
        testsupport::WriteFile(file, last.body);
        const double lastSeconds =
            std::stod(mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", file}));
        const double expected = duration - 5.0 * double(c.entries - 1);
        EXPECT_NEAR(expected, lastSeconds, 0.3) << c.name;

        // A player from the start reaches the end.
        const std::string fresh = PlayUrl(rest);
        const mediatest::RunResult copy =
            mediatest::Run({"ffmpeg", "-nostdin", "-i", fresh, "-c", "copy", "-f", "null", "-"}, "", 120000);
        ASSERT_EQ(0, copy.exitCode) << copy.err;
        EXPECT_NEAR(duration, LastProgressTime(copy.err), 0.3) << c.name << copy.err;
    }
}

// The first segment a client asks for after its probe of segment 1 (and maybe 2); 0 when there is none.
uint32_t FirstSeekTarget(const std::string& log) {
    for (size_t at = log.find("Index "); at != std::string::npos; at = log.find("Index ", at + 1)) {
        const uint32_t index = numstr::ToUint32(log.substr(at + 6), 10);
        if (index > 3 && log.compare(at + 6 + std::to_string(index).size(), 10, " requested") == 0) return index;
    }
    return 0;
}

TEST_F(StreamingE2e, AClientSeekRestartsTheTranscoderAtItsSegment) {
    // Where the source shows a brightness: its own pictures at 30 s and 40 s give the scale.
    const double at30 = FirstPictureLuma(server->clips + "/clock.mp4", {"-ss", "30"});
    const double at40 = FirstPictureLuma(server->clips + "/clock.mp4", {"-ss", "40"});
    ASSERT_GT(at40 - at30, 20.0);
    const struct {
        int seconds;
        std::vector<uint32_t> segments;  // the segment the client may seek to
    } cases[] = {
        // 40 s is where segment 9 begins; the client's own arithmetic may land a hair before it, in 8.
        {40, {9, 8}},
        {42, {9}},
    };
    for (const auto& c : cases) {
        const std::string url = PlayUrl("Clips/clock.mp4");
        const size_t logStart = server->process->LogText().size();
        const double streamed = FirstPictureLuma(url, {"-ss", std::to_string(c.seconds)});
        const double second = 40.0 + (streamed - at40) / ((at40 - at30) / 10.0);
        EXPECT_NEAR(c.seconds, second, 1.0) << "luma " << streamed << ", source " << at30 << " / " << at40;

        const std::string log = server->process->LogText().substr(logStart);
        const uint32_t target = FirstSeekTarget(log);
        EXPECT_NE(c.segments.end(), std::find(c.segments.begin(), c.segments.end(), target))
            << "-ss " << c.seconds << " asked segment " << target;
        EXPECT_NE(std::string::npos, log.find("Seeking to segment " + std::to_string(target))) << log.substr(0, 20000);
        EXPECT_NE(std::string::npos,
                  log.find("FFMPEG Command Line [ffmpeg.exe -ss " + std::to_string((target - 1) * 5) + " -i "));
    }
}

TEST_F(StreamingE2e, A25FpsClipStreamsAt25FpsWithALevelThatFitsItsSize) {
    const std::string url = PlayUrl("Clips/short.mp4", "<Play><Resolution width=\"640\" height=\"360\"/></Play>");
    const Reply segment = Get("/video/stream/" + StreamIdOf(url) + "/segment-1.ts", "", 60000);
    ASSERT_EQ(200, segment.status) << segment.body.substr(0, 200);
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("segment-1.ts"), segment.body);
    const mediatest::VideoFacts video = mediatest::ProbeVideo(dir.file("segment-1.ts"));
    EXPECT_EQ("25/1", video.rate);
    EXPECT_EQ("25/1", video.averageRate);
    EXPECT_NEAR(125, video.frames, 1);  // five seconds, no picture added or dropped
    EXPECT_EQ(640, video.width);
    EXPECT_EQ(360, video.height);
    EXPECT_TRUE(mediatest::H264LevelFits(video.level, video.width, video.height, 25))
        << "level " << video.level << " for " << video.width << "x" << video.height;
}

TEST_F(StreamingE2e, LastSeekTimeTellsWhereTheLastRequestedSegmentStarts) {
    const std::string url = PlayUrl("Clips/short.mp4");
    const std::string id = StreamIdOf(url);
    EXPECT_EQ(SuccessMsg("0"), Get("/video/lastseektime/" + id + "/").body);
    ASSERT_EQ(200, Get("/video/stream/" + id + "/segment-1.ts").status);
    EXPECT_EQ(SuccessMsg("0"), Get("/video/lastseektime/" + id + "/x").body);
    ASSERT_EQ(200, Get("/video/stream/" + id + "/segment-3.ts").status);
    EXPECT_EQ(SuccessMsg("10"), Get("/video/lastseektime/" + id + "/anything").body);
    const Reply malformed = Get("/video/lastseektime/" + id);
    EXPECT_EQ(404, malformed.status);
    EXPECT_EQ(ErrorMsg("GetLastRequestedSeekTime: malformed URI (does not have '/' character)"), malformed.body);
}

// A picture size that takes the transcoder many seconds per segment holds a segment request waiting.
const char kSlowPlay[] = "<Play><Resolution width=\"3840\" height=\"2160\"/></Play>";

TEST_F(StreamingE2e, ASecondPlayEndsTheFirstStreamAndItsWaitingRequest) {
    const std::string first = StreamIdOf(PlayUrl("Clips/clock.mp4", kSlowPlay));
    Clock::time_point answered;
    auto waiting = std::async(std::launch::async, [&] {
        Reply reply = Get("/video/stream/" + first + "/segment-1.ts", "", 60000);
        answered = Clock::now();
        return reply;
    });
    ASSERT_TRUE(RunStarted());
    ASSERT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(0))) << "segment 1 came too soon";

    const std::string second = StreamIdOf(PlayUrl("Clips/short.mp4"));
    const auto played = Clock::now();
    const Reply aborted = waiting.get();
    // The abort itself is told by the reply below; the second play's own probe and start, which a loaded
    // machine may stretch, are not timed. The waiting request looks at its stream every 125 ms, and the
    // bound leaves a loaded machine some 8 s more to notice: a request held until its segment was made
    // or its client gave up would not come back as aborted at all.
    EXPECT_LT(answered - played, std::chrono::seconds(8))
        << std::chrono::duration_cast<std::chrono::milliseconds>(answered - played).count() << " ms after the play";
    EXPECT_EQ(404, aborted.status);
    EXPECT_EQ(ErrorMsg("GetStreamData: StreamManager instance was aborted, probably because another process requested "
                       "a new video. URL is " + first + "/segment-1.ts"),
              aborted.body);
    EXPECT_TRUE(NoRunLeft());
    EXPECT_FALSE(std::filesystem::exists(server->cache + "/" + first));
    EXPECT_EQ(404, Get("/video/stream/" + first + "/index.m3u8").status);
    EXPECT_EQ(200, Get("/video/stream/" + second + "/index.m3u8").status);
}

TEST_F(StreamingE2e, StopEndsTheStreamAndLeavesNoProgramRunning) {
    const std::string id = StreamIdOf(PlayUrl("Clips/clock.mp4", kSlowPlay));
    auto waiting = std::async(std::launch::async, [&] { return Get("/video/stream/" + id + "/segment-1.ts", "", 60000); });
    ASSERT_TRUE(RunStarted());

    const Reply stopped = Get("/video/stop/Clips/clock.mp4");
    EXPECT_EQ(200, stopped.status);
    EXPECT_EQ(SuccessMsg("Stream closed"), stopped.body);
    EXPECT_EQ(404, waiting.get().status);
    EXPECT_TRUE(NoRunLeft()) << "left: " << ChildPrograms(server->process->Pid()).size();
    EXPECT_FALSE(std::filesystem::exists(server->cache + "/" + id));
    const Reply again = Get("/video/stop/Clips/clock.mp4");
    EXPECT_EQ(404, again.status);
    EXPECT_EQ(ErrorMsg("StopStreamVideo: Unable to find instance of stream manager that matches " + server->clips +
                       "/clock.mp4"),
              again.body);
}

TEST_F(StreamingE2e, DirectPlayServesTheFilesOwnByteRanges) {
    const std::string url = PlayUrl("Clips/short.mp4", "<Play><PlayWithoutConversion/></Play>");
    EXPECT_EQ(server->Base() + "/video/direct/Clips/short.mp4?SessionID=" + server->sessionHex, url);
    const std::string file = testsupport::ReadFile(server->clips + "/short.mp4");
    ASSERT_GT(file.size(), 20000u);
    const std::string size = std::to_string(file.size());
    const struct {
        std::string range;
        int status;
        size_t from, to;
    } cases[] = {
        {"", 200, 0, file.size() - 1},
        {"bytes=100-199", 206, 100, 199},
        {"bytes=0-0", 206, 0, 0},
        {"bytes=1000-", 206, 1000, file.size() - 1},
        {"bytes=-500", 206, file.size() - 500, file.size() - 1},
        {"bytes=" + std::to_string(file.size() - 10) + "-" + std::to_string(file.size() + 1000), 206, file.size() - 10,
         file.size() - 1},
    };
    for (const auto& c : cases) {
        Connection client(server->port);
        const Reply reply = client.Request("GET " + PathOf(url) + " HTTP/1.1\r\nHost: h\r\n" +
                                           (c.range.empty() ? "" : "Range: " + c.range + "\r\n") + "\r\n");
        ASSERT_TRUE(reply.ok) << c.range;
        EXPECT_EQ(c.status, reply.status) << c.range;
        EXPECT_EQ("bytes " + std::to_string(c.from) + "-" + std::to_string(c.to) + "/" + size, reply.Header("content-range"));
        EXPECT_TRUE(mediatest::SameBytes(reply.body, file.substr(c.from, c.to - c.from + 1))) << c.range;
    }
    // A player reads it through the direct URL.
    EXPECT_NEAR(12.0, std::stod(mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", url})), 0.6);
    EXPECT_EQ(404, Get("/video/direct/Clips/none.mp4").status);
}

// Players ask for "bytes=N-" and "bytes=-N": with them ffprobe and ffmpeg open a file whose index is at
// its end and seek in it over the direct route.
TEST_F(StreamingE2e, PlayersOpenAndSeekAFileWithItsIndexAtTheEndOverTheDirectRoute) {
    const std::string url = server->Base() + "/video/direct/Clips/clock.mp4?SessionID=" + server->sessionHex;
    EXPECT_NEAR(60.0, std::stod(mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", url})), 0.6);
    // ffprobe seeks to 40 s and shows the first frame it reads there.
    const std::string frame = mediatest::Probe({"-select_streams", "v", "-read_intervals", "40%+#1", "-show_entries",
                                                "frame=pts_time", "-of", "csv=p=0", url});
    ASSERT_FALSE(frame.empty());
    EXPECT_NEAR(40.0, std::stod(frame), 1.1) << frame;
    // ffmpeg seeks to 40 s and decodes the picture there: luma 4 x 40.
    EXPECT_NEAR(160.0, FirstPictureLuma(url, {"-ss", "40"}), 8.0);
}

TEST_F(StreamingE2e, PlayCachedAndTheCacheRouteServeAConvertedFile) {
    std::filesystem::create_directories(server->cache + "/offline");
    std::filesystem::copy_file(server->clips + "/short.mp4", server->cache + "/offline/converted.mkv",
                               std::filesystem::copy_options::overwrite_existing);
    const std::string file = testsupport::ReadFile(server->cache + "/offline/converted.mkv");

    const Reply play = Post("/video/playcached/converted.mkv", "");
    ASSERT_EQ(200, play.status) << play.body;
    const std::string url = server->Base() + "/video/cache/converted.mkv.mp4?SessionID=" + server->sessionHex;
    EXPECT_NE(std::string::npos, play.body.find("<URL>" + url + "</URL>")) << play.body;

    // The play URL and the conversion status's URL, each with and without a range.
    for (const std::string& path : {PathOf(url), WithSession("/video/cache/offline/converted.mkv")}) {
        for (const std::string& range : {std::string(), std::string("bytes=500-1499")}) {
            Connection client(server->port);
            const Reply reply = client.Request("GET " + path + " HTTP/1.1\r\nHost: h\r\n" +
                                               (range.empty() ? "" : "Range: " + range + "\r\n") + "\r\n");
            ASSERT_TRUE(reply.ok) << path << " " << range;
            EXPECT_EQ(range.empty() ? 200 : 206, reply.status) << path << " " << range;
            EXPECT_TRUE(mediatest::SameBytes(reply.body, range.empty() ? file : file.substr(500, 1000))) << path << " " << range;
        }
    }
    EXPECT_NEAR(12.0, std::stod(mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", url})), 0.6);
}

}  // namespace

namespace {

// A cache folder on a file system of its own, too small for the stream: a tmpfs mounted in a mount
// namespace of the test's thread (the server, forked from it, sees it; nothing outside does).
class SmallCacheFolder {
public:
    SmallCacheFolder(const std::string& path, size_t bytes) : path_(path) {
        std::filesystem::create_directories(path);
        if (unshare(CLONE_NEWNS) != 0) return;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
        mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0;
    }
    ~SmallCacheFolder() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

}  // namespace

// A full cache folder: every segment the server answers with 200 is whole (the right length of
// picture, whole transport packets); a segment that could not be written fails with the route's error,
// and the log says why. The stream's 5 s segments take about 290 KB each, its last one (2 s) 115 KB:
// in 200 KiB only the last fits; in 64 KiB none does, and the last one, which the segmenter holds whole
// in its buffer until the end of its input, is cut only when it is written out at the end.
TEST(StreamingFullDiskE2e, NoCutSegmentIsEverServed) {
    REQUIRE_ISOLATED_NETWORK();
    for (const size_t kib : {64, 200}) {
        SCOPED_TRACE(std::to_string(kib) + " KiB");
        Server server;
        SmallCacheFolder cache(server.home.path() + "/Calvoro/cache", kib * 1024);
        ASSERT_TRUE(cache.Mounted()) << "needs root: " << strerror(errno);
        ASSERT_TRUE(server.Start()) << server.process->LogText();

        Connection client(server.port);
        const std::string query = "?SessionID=" + server.sessionHex;
        const std::string host = "\r\nHost: " + server.Host() + "\r\n";
        const Reply play = client.Request("POST /video/play/Clips/short.mp4" + query + " HTTP/1.1" + host +
                                          "Content-Length: 7\r\n\r\n<Play/>");
        ASSERT_EQ(200, play.status) << play.body;
        const size_t at = play.body.find("/video/stream/") + 14;
        const std::string id = play.body.substr(at, play.body.find('/', at) - at);

        const double seconds[] = {5, 5, 2};
        int failed = 0;
        for (int n = 1; n <= 3; ++n) {
            const std::string name = "segment-" + std::to_string(n) + ".ts";
            const Reply reply =
                client.Request("GET /video/stream/" + id + "/" + name + query + " HTTP/1.1" + host + "\r\n", 60000);
            if (reply.status != 200) {
                EXPECT_EQ(404, reply.status);
                EXPECT_EQ(ErrorMsg("File request for " + name + " was aborted"), reply.body);
                ++failed;
                continue;
            }
            EXPECT_EQ(0u, reply.body.size() % 188) << name << ": " << reply.body.size() << " bytes";
            testsupport::TempDir keep;
            testsupport::WriteFile(keep.file(name), reply.body);
            const std::string duration =
                mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", keep.file(name)});
            EXPECT_NEAR(seconds[n - 1], std::stod(duration), 0.6) << name << ", " << reply.body.size() << " bytes";
        }
        EXPECT_GE(failed, 1) << "the cache folder was not full enough to show anything";
        std::string log = server.process->LogText();
        std::transform(log.begin(), log.end(), log.begin(), ::tolower);
        EXPECT_NE(std::string::npos, log.find("no space left on device")) << server.process->LogText();
    }
}
