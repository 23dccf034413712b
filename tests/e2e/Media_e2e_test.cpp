// Thumbnails, subtitles and offline conversions from the real server (calvoro -s, seeded state.xml), with
// clips made by ffmpeg's lavfi sources and ffprobe as the judge of what comes back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <map>
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

using httptest::Connection;
using httptest::Reply;
using mediatest::MakeClip;

const char kDevice[] = "e2e-media-device";
const char kNotSupported[] = "<Calvoro>\n\t<ErrorMsg>CALVORO_SUBTITLE_FORMAT_NOT_SUPPORTED</ErrorMsg>\n</Calvoro>\n";
const char kSrt[] = "1\n00:00:00,500 --> 00:00:01,500\nHello\n\n2\n00:00:02,000 --> 00:00:03,000\nAgain\n";
const char kAss[] =
    "[Script Info]\nScriptType: v4.00+\n\n[V4+ Styles]\n"
    "Format: Name, Fontname, Fontsize, PrimaryColour, Bold, Italic, Alignment, MarginL, MarginR, MarginV, Encoding\n"
    "Style: Default,Arial,20,&H00FFFFFF,0,0,2,10,10,10,1\n\n"
    "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
    "Dialogue: 0,0:00:00.50,0:00:01.50,Default,,0,0,0,,Hello\n"
    "Dialogue: 0,0:00:02.00,0:00:03.00,Default,,0,0,0,,Again\\Nand again\n";

std::string Source(const std::string& name, const std::string& text) {
    const std::string path = mediatest::ClipFolder() + "/" + name;
    testsupport::WriteFile(path, text);
    return path;
}

// 6 s of 640x360 with an English audio track and four subtitle tracks: SubRip 2, ASS 3, PGS 4, dvdsub 5.
std::string TrackClip() {
    const std::string srt = Source("e2e.srt", kSrt), ass = Source("e2e.ass", kAss),
                      sup = Source("e2e.sup", mediatest::PgsSubtitleStream());
    return MakeClip("e2e-tracks.mkv",
                    {"-f", "lavfi", "-i", "testsrc=size=640x360:rate=25:duration=6", "-f", "lavfi", "-i",
                     "sine=duration=6", "-i", srt, "-i", ass, "-i", sup, "-i", sup, "-map", "0", "-map", "1", "-map", "2",
                     "-map", "3", "-map", "4", "-map", "5", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                     "-c:s:0", "srt", "-c:s:1", "ass", "-c:s:2", "copy", "-c:s:3", "dvdsub", "-metadata:s:v", "language=eng",
                     "-metadata:s:a", "language=eng", "-metadata:s:a", "title=Stereo mix", "-metadata:s:s:0",
                     "language=eng", "-metadata:s:s:0", "title=Plain", "-metadata:s:s:1", "language=fre",
                     "-metadata:s:s:2", "language=ger", "-metadata:s:s:3", "language=spa"});
}
std::string MovTextClip() {
    return MakeClip("e2e-movtext.mp4", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=4", "-i",
                                        Source("e2e-mt.srt", kSrt), "-map", "0", "-map", "1", "-c:v", "libx264",
                                        "-preset", "ultrafast", "-c:s", "mov_text"});
}
std::string ShortClip() {  // 2 s: shorter than the default offset
    return MakeClip("e2e-2s.mp4", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=2", "-c:v", "libx264",
                                   "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
}
// Conversion sources: picture and tone in the three containers the queue treats differently.
std::string ConvertClip(const std::string& name, int seconds, const std::vector<std::string>& codecs) {
    std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=" + std::to_string(seconds),
                                     "-f", "lavfi", "-i", "sine=duration=" + std::to_string(seconds)};
    args.insert(args.end(), codecs.begin(), codecs.end());
    return MakeClip(name, args);
}

struct Server {
    testsupport::TempDir home;
    std::unique_ptr<testsupport::ServerProcess> process;
    int port = 0;
    std::string clips, cache, sessionHex;

    bool Start() {
        // At the load of a shared CI machine a grab alone can take the server's 5 s: the server of these
        // tests gives its runs a minute (the limit itself is tested by the media tests).
        setenv("CALVORO_MEDIA_RUN_LIMIT_MS", "60000", 1);
        clips = home.path() + "/share/Clips";
        std::filesystem::create_directories(clips);
        port = testsupport::FreePort();
        e2etest::SeedState(home.path(), {{clips, "Clips"}}, kDevice, port);
        cache = home.path() + "/Calvoro/cache";
        return Run();
    }
    // Starts the server on what the data folder holds now.
    bool Run() {
        process.reset(new testsupport::ServerProcess(home.path()));
        if (!e2etest::StartServing(*process, port)) return false;
        sessionHex = e2etest::PairedSession(port, kDevice);
        return !sessionHex.empty();
    }
    bool Stop() {
        process->Signal(SIGTERM);
        return process->WaitExit(std::chrono::seconds(30));
    }
    std::string Host() const { return "127.0.0.1:" + std::to_string(port); }
    std::string Query() const { return "?SessionID=" + sessionHex; }
    Reply Get(const std::string& target) const {
        Connection client(port);
        return client.Request("GET " + target + Query() + " HTTP/1.1\r\nHost: " + Host() + "\r\n\r\n", 60000);
    }
    Reply Post(const std::string& target, const std::string& body) const {
        Connection client(port);
        return client.Request("POST " + target + Query() + " HTTP/1.1\r\nHost: " + Host() +
                                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                              60000);
    }
    // Files the requests left in the cache folder ("offline" aside).
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> left;
        for (int i = 0; i < 250; ++i) {
            left.clear();
            for (const auto& e : std::filesystem::directory_iterator(cache))
                if (e.path().filename() != "offline") left.push_back(e.path().filename());
            if (left.empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return left;
    }
};

class MediaE2e : public e2etest::SharedServerTest<Server> {
protected:
    void TearDown() override {
        if (server) server->process->Stdout();
    }
    void Share(const std::string& clip, const std::string& name) const {
        if (!std::filesystem::exists(server->clips + "/" + name))
            std::filesystem::copy_file(clip, server->clips + "/" + name);
    }
    Reply Thumbnail(const std::string& rest, const std::string& attributes = "", bool folder = false) const {
        return server->Post(std::string(folder ? "/video/folder/thumbnail/" : "/video/thumbnails/") + rest,
                            "<Thumbnail><resolution " + attributes + "/><timeoffset/></Thumbnail>");
    }
    Reply Subtitle(const std::string& rest, const std::string& id) const {
        return server->Post("/video/subtitle/" + rest, "<Subtitle><ID>" + id + "</ID></Subtitle>");
    }
    // The server's log lines about its ffmpeg runs, for a failure's message.
    std::string FfmpegNotes() const {
        std::string notes;
        std::istringstream log(server->process->LogText());
        for (std::string line; std::getline(log, line);)
            if (line.find("ffmpeg") != std::string::npos) notes += "\n" + line;
        return notes;
    }
    // width x height of a JPEG reply, from ffprobe.
    std::string JpegSize(const std::string& body) const {
        const std::string path = scratch.file("reply.jpg");
        testsupport::WriteFile(path, body);
        return mediatest::Probe({"-show_entries", "stream=codec_name,width,height", "-of", "csv=p=0", path});
    }

    testsupport::TempDir scratch;
};

TEST_F(MediaE2e, AVideoThumbnailCarriesTheFactsFfprobeSees) {
    Share(TrackClip(), "movie.mkv");
    testsupport::WriteFile(server->clips + "/movie.en.srt", kSrt);
    const Reply reply = Thumbnail("Clips/movie.mkv", "width=\"200\" height=\"150\"");
    ASSERT_EQ(200, reply.status) << reply.body;
    EXPECT_EQ("mjpeg,200,150\n", JpegSize(reply.body));

    const std::string movie = server->clips + "/movie.mkv";
    const double duration = std::stod(mediatest::Probe({"-show_entries", "format=duration", "-of", "csv=p=0", movie}));
    EXPECT_NEAR(duration, std::stod(reply.Header("ca-durationseconds")), 0.011);
    EXPECT_EQ("640", reply.Header("ca-width"));
    EXPECT_EQ("360", reply.Header("ca-height"));

    // Every stream as ffprobe lists it: index, kind, language, title.
    const std::string streams = mediatest::Probe({"-show_entries", "stream=index,codec_type:stream_tags=language,title",
                                                  "-of", "compact=p=0:nk=1", movie});
    std::map<std::string, int> counts;
    std::istringstream lines(streams);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '|');) f.push_back(field);
        ASSERT_GE(f.size(), 3u) << line;
        const std::string prefix = f[1] == "video" ? "ca-calvoro." : f[1] == "audio" ? "ca-audiostream." : "ca-subtitlestream.";
        const std::string key = prefix + std::to_string(counts[f[1]]++);
        EXPECT_EQ(f[0], reply.Header(key + ".id")) << line;
        EXPECT_EQ(f[2], reply.Header(key + ".locale")) << line;
        EXPECT_EQ(f.size() > 3 ? f[3] : "", reply.Header(key + ".descr")) << line;
    }
    EXPECT_EQ("1", reply.Header("ca-calvorocount"));
    EXPECT_EQ("1", reply.Header("ca-audiostreamcount"));
    EXPECT_NE(std::string::npos, reply.Header("ca-audiostream.0.techdescr").find("aac"));
    // Four embedded subtitle tracks and the file beside the video.
    EXPECT_EQ("5", reply.Header("ca-subtitlestreamcount"));
    EXPECT_EQ("movie.en.srt", reply.Header("ca-subtitlestream.4.id"));
    EXPECT_EQ("external file", reply.Header("ca-subtitlestream.4.techdescr"));
    EXPECT_TRUE(server->Leftovers().empty());
}

TEST_F(MediaE2e, FolderPicturesSidecarPicturesAndShortClips) {
    const std::string stills = server->clips + "/Stills";
    std::filesystem::create_directories(stills);
    mediatest::Run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=red:size=200x100", "-frames:v", "1",
                    stills + "/folder.jpg"});
    Reply reply = Thumbnail("Clips/Stills/", "", true);
    ASSERT_EQ(200, reply.status) << reply.body;
    EXPECT_EQ("mjpeg,320,240\n", JpegSize(reply.body));

    Share(ShortClip(), "two.mp4");
    mediatest::Run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=blue:size=90x160", "-frames:v", "1",
                    server->clips + "/two.png"});
    reply = Thumbnail("Clips/two.mp4");
    ASSERT_EQ(200, reply.status) << reply.body;
    EXPECT_EQ("mjpeg,320,240\n", JpegSize(reply.body));
    EXPECT_EQ("320", reply.Header("ca-width"));

    // The 2 s clip has no frame at the default 4 s: its first one serves.
    Share(ShortClip(), "short.mp4");
    reply = Thumbnail("Clips/short.mp4");
    ASSERT_EQ(200, reply.status) << reply.body;
    EXPECT_EQ("mjpeg,320,240\n", JpegSize(reply.body));
    EXPECT_TRUE(server->Leftovers().empty());
}

TEST_F(MediaE2e, SixteenThumbnailsAtOnce) {
    // A small clip: each grab must end within the server's 5 s even while the suite loads the machine.
    Share(MakeClip("e2e-small.mp4", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=6", "-c:v", "libx264",
                                     "-preset", "ultrafast", "-pix_fmt", "yuv420p"}),
          "small.mp4");
    // One request first, again if the machine was too busy for its 5 s: the server then knows the clip, and
    // the sixteen grabs below do not each start a probe of it too.
    for (int attempt = 0; attempt < 3 && Thumbnail("Clips/small.mp4").status != 200; ++attempt) {
    }
    std::vector<std::future<Reply>> replies;
    for (int i = 0; i < 16; ++i) {
        replies.push_back(std::async(std::launch::async, [this, i] {
            return server->Post("/video/thumbnails/Clips/small.mp4",
                                "<Thumbnail><resolution width=\"" + std::to_string(100 + i) +
                                    "\" height=\"80\"/><timeoffset seconds=\"1\"/></Thumbnail>");
        }));
    }
    for (int i = 0; i < 16; ++i) {
        const Reply reply = replies[i].get();
        ASSERT_EQ(200, reply.status) << i << " " << reply.body << FfmpegNotes();
        EXPECT_EQ("mjpeg," + std::to_string(100 + i) + ",80\n", JpegSize(reply.body));
    }
    EXPECT_TRUE(server->Leftovers().empty());
}

TEST_F(MediaE2e, TextSubtitlesComeBackAsSubRipWithTheirTimes) {
    Share(TrackClip(), "movie.mkv");
    Share(MovTextClip(), "phone.mp4");
    testsupport::WriteFile(server->clips + "/movie.en.srt", kSrt);
    testsupport::WriteFile(server->clips + "/movie.fr.ass", kAss);
    struct Case {
        std::string rest, id;
    } cases[] = {{"Clips/movie.mkv", "2"}, {"Clips/movie.mkv", "3"}, {"Clips/phone.mp4", "1"},
                 {"Clips/movie.mkv", "movie.en.srt"}};
    const std::regex times("00:00:00,5\\d\\d --> 00:00:01,5\\d\\d\n(<font[^>]*>)?Hello");
    for (const Case& c : cases) {
        const Reply reply = Subtitle(c.rest, c.id);
        ASSERT_EQ(200, reply.status) << c.rest << " " << c.id << " " << reply.body;
        EXPECT_TRUE(std::regex_search(reply.body, times)) << c.id << ":\n" << reply.body;
        EXPECT_NE(std::string::npos, reply.body.find("00:00:02,0")) << c.id << ":\n" << reply.body;
    }
    const Reply ass = Subtitle("Clips/movie.mkv", "movie.fr.ass");
    ASSERT_EQ(200, ass.status) << ass.body;
    EXPECT_EQ("1\n0:00:00.50 --> 0:00:01.50\nHello\n2\n0:00:02.00 --> 0:00:03.00\nAgain\nand again\n", ass.body);
    EXPECT_TRUE(server->Leftovers().empty());
}

TEST_F(MediaE2e, SubtitlesThatCannotBeServedAreRefused) {
    Share(TrackClip(), "movie.mkv");
    testsupport::WriteFile(server->clips + "/movie.sub", "{10}{20}MicroDVD line\n");
    testsupport::WriteFile(server->home.path() + "/share/outside.srt", kSrt);
    for (const std::string id : {"4", "5", "1", "0", "movie.sub", "../outside.srt", "missing.srt"}) {
        const Reply reply = Subtitle("Clips/movie.mkv", id);
        EXPECT_EQ(404, reply.status) << id;
        EXPECT_EQ(kNotSupported, reply.body) << id;
    }
    EXPECT_TRUE(server->Leftovers().empty());
}

// The status rows as (file name, status, percent) triples.
struct Row {
    std::string filename, status, url, bytes;
    double percent = -1;
};
std::vector<Row> Rows(const std::string& xml) {
    std::vector<Row> rows;
    auto text = [](const std::string& block, const std::string& name) {
        const size_t at = block.find("<" + name + ">");
        if (at == std::string::npos) return std::string();
        const size_t start = at + name.size() + 2;
        return block.substr(start, block.find("</" + name + ">", start) - start);
    };
    for (size_t at = xml.find("<convertVideo>"); at != std::string::npos; at = xml.find("<convertVideo>", at + 1)) {
        const std::string block = xml.substr(at, xml.find("</convertVideo>", at) - at);
        Row row{text(block, "filename"), text(block, "status"), text(block, "URL"), text(block, "TotalBytes")};
        const std::string percent = text(block, "percentComplete");
        if (!percent.empty()) row.percent = std::stod(percent);
        rows.push_back(row);
    }
    return rows;
}

TEST_F(MediaE2e, ConversionsQueueRunFinishAndStayListed) {
    // The first is long enough to be still running while the others are queued behind it.
    Share(ConvertClip("e2e-conv.mp4", 40, {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}), "first.mp4");
    Share(ConvertClip("e2e-conv.avi", 12, {"-c:v", "mpeg4", "-c:a", "mp3"}), "second.avi");
    Share(ConvertClip("e2e-conv.3gp", 6, {"-c:v", "libx264", "-preset", "ultrafast", "-s", "176x144", "-c:a", "aac",
                                          "-ar", "16000", "-ac", "1"}),
          "third.3gp");
    // Every row's states as the status shows them, in the order they were seen.
    std::map<std::string, std::vector<std::string>> seen;
    double bestPercent = 0;
    std::vector<Row> rows;
    auto look = [&]() {
        const Reply status = server->Get("/video/convertstatus/");
        EXPECT_EQ(200, status.status) << status.body;
        rows = Rows(status.body);
        size_t finished = 0;
        for (const Row& row : rows) {
            std::vector<std::string>& states = seen[row.filename];
            if (states.empty() || states.back() != row.status) states.push_back(row.status);
            if (row.status == "Active") bestPercent = std::max(bestPercent, row.percent);
            if (row.status == "Finished") ++finished;
        }
        return finished;
    };
    const std::string body = "<Convert><ClientIdentifier>pad</ClientIdentifier></Convert>";
    for (const char* name : {"first.mp4", "second.avi", "third.3gp"}) {
        const Reply reply = server->Post(std::string("/video/convert/Clips/") + name, body);
        ASSERT_EQ(200, reply.status) << name << reply.body;
        look();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (look() < 3) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // The first runs at once; the others wait their turn behind it; each goes only forward.
    EXPECT_EQ((std::vector<std::string>{"Active", "Finished"}), seen["/Clips/first.mp4"]);
    for (const char* name : {"/Clips/second.avi", "/Clips/third.3gp"}) {
        const std::vector<std::string>& states = seen[name];
        ASSERT_FALSE(states.empty()) << name;
        EXPECT_EQ("Queued", states.front()) << name;
        EXPECT_EQ("Finished", states.back()) << name;
        EXPECT_LE(states.size(), 3u) << name;
    }
    EXPECT_GT(bestPercent, 0.0);
    // The MP4 and the 3GP were read by ffmpeg itself, the AVI fed on its standard input.
    const std::string log = server->process->LogText();
    for (const char* name : {"first.mp4", "third.3gp"})
        EXPECT_NE(std::string::npos, log.find("-i file:" + server->clips + "/" + name + " ")) << name;
    EXPECT_EQ(std::string::npos, log.find("-i file:" + server->clips + "/second.avi"));
    EXPECT_NE(std::string::npos, log.find("-i - ")) << log;
    for (const Row& row : rows) {
        const std::string file = server->cache + "/offline/" + row.filename.substr(7);
        EXPECT_EQ("http://" + server->Host() + "/video/cache/offline/" + row.filename.substr(7), row.url);
        EXPECT_EQ(std::to_string(std::filesystem::file_size(file)), row.bytes);
        // Playable: ffprobe finds the picture and the sound, as long as the source.
        const std::string probe = mediatest::Probe({"-show_entries", "stream=codec_type:format=duration", "-of",
                                                    "default=nw=1", file});
        EXPECT_NE(std::string::npos, probe.find("codec_type=video")) << probe;
        EXPECT_NE(std::string::npos, probe.find("codec_type=audio")) << probe;
        // And served whole by the cached-file route.
        const Reply served = server->Get(row.url.substr(row.url.find("/video/")));
        EXPECT_EQ(200, served.status);
        EXPECT_EQ(testsupport::ReadFile(file), served.body);
    }

    // The same source again: the name is taken, so the output gets ".1".
    ASSERT_EQ(200, server->Post("/video/convert/Clips/third.3gp", body).status);
    for (int i = 0; i < 1200; ++i) {
        rows = Rows(server->Get("/video/convertstatus/").body);
        if (rows.size() == 4 && rows.front().status == "Finished" && rows.back().status == "Finished") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(4u, rows.size());
    EXPECT_EQ("http://" + server->Host() + "/video/cache/offline/third.3gp.1", rows.back().url);
    EXPECT_NE(std::string::npos, mediatest::Probe({"-show_entries", "stream=codec_type", "-of", "csv=p=0",
                                                   server->cache + "/offline/third.3gp.1"}).find("video"));

    // Deleted: the file and the row go; a second delete finds nothing.
    Reply reply = server->Get("/video/convertdelete//video/cache/offline/third.3gp.1");
    EXPECT_EQ("Deleted", reply.body);
    EXPECT_FALSE(testsupport::PathExists(server->cache + "/offline/third.3gp.1"));
    reply = server->Get("/video/convertdelete//video/cache/offline/third.3gp.1");
    EXPECT_EQ("Not found [/video/cache/offline/third.3gp.1]", reply.body);

    // A restart keeps the finished conversions.
    ASSERT_TRUE(server->Stop());
    ASSERT_TRUE(server->Run()) << server->process->LogText();
    rows = Rows(server->Get("/video/convertstatus/").body);
    ASSERT_EQ(3u, rows.size());
    for (const Row& row : rows) EXPECT_EQ("Finished", row.status);
}

TEST_F(MediaE2e, CancelAndShutdownLeaveNoPartialOutput) {
    Share(ConvertClip("e2e-long.avi", 120, {"-c:v", "mpeg4", "-c:a", "mp3"}), "long.avi");
    Share(ConvertClip("e2e-long.mp4", 120, {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}), "long.mp4");
    const std::string body = "<Convert><ClientIdentifier>pad</ClientIdentifier></Convert>";
    auto waitActive = [this](const std::string& output) {
        for (int i = 0; i < 600; ++i) {
            if (testsupport::PathExists(output) && std::filesystem::file_size(output) > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };

    ASSERT_EQ(200, server->Post("/video/convert/Clips/long.avi", body).status);
    const std::string output = server->cache + "/offline/long.avi";
    ASSERT_TRUE(waitActive(output));
    EXPECT_EQ("Not found [Clips/other.avi]", server->Get("/video/convertcancel/Clips/other.avi").body);
    EXPECT_EQ("Deleted", server->Get("/video/convertcancel/Clips/long.avi").body);
    bool gone = false;
    for (int i = 0; i < 300 && !gone; ++i) {
        // One reading of the list: the row may go between two.
        const std::vector<Row> rows = Rows(server->Get("/video/convertstatus/").body);
        gone = rows.empty() || rows.front().filename != "/Clips/long.avi";
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(gone);
    EXPECT_FALSE(testsupport::PathExists(output));
    EXPECT_TRUE(server->process->WaitForLog("Offline conversion was canceled.", std::chrono::seconds(10)));

    // A conversion still running at shutdown takes its partial output with it.
    ASSERT_EQ(200, server->Post("/video/convert/Clips/long.mp4", body).status);
    const std::string running = server->cache + "/offline/long.mp4";
    ASSERT_TRUE(waitActive(running));
    ASSERT_TRUE(server->Stop());
    EXPECT_FALSE(testsupport::PathExists(running));
    ASSERT_TRUE(server->Run()) << server->process->LogText();
    for (const Row& row : Rows(server->Get("/video/convertstatus/").body)) EXPECT_NE("/Clips/long.mp4", row.filename);
}

// Requests that came together for one video nobody asked about yet: one probe serves them all, within
// the run slots. The thumbnails have a picture beside the video, so the probe is their only ffmpeg run.
TEST(MediaBurstE2e, OneProbePerFileWithinTheRunSlots) {
    REQUIRE_ISOLATED_NETWORK();
    Server server;
    ASSERT_TRUE(server.Start()) << server.process->LogText();
    const std::string video = server.clips + "/burst.mp4";
    std::filesystem::copy_file(ConvertClip("e2e-burst.mp4", 3, {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}),
                               video);
    mediatest::Run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=green:size=64x48", "-frames:v", "1",
                    server.clips + "/burst.jpg"});
    std::filesystem::copy_file(ConvertClip("e2e-burst-conv.mp4", 2, {"-c:v", "libx264", "-preset", "ultrafast", "-s",
                                                                      "160x120", "-c:a", "aac"}),
                               server.clips + "/convert.mp4");
    const size_t slots = static_cast<size_t>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));

    mediatest::PeakProcesses ffmpeg(server.clips);
    std::vector<std::future<Reply>> thumbnails, conversions;
    for (int i = 0; i < 100; ++i) {
        thumbnails.push_back(std::async(std::launch::async, [&server] {
            return server.Post("/video/thumbnails/Clips/burst.mp4", "<Thumbnail><resolution/><timeoffset/></Thumbnail>");
        }));
        if (i < 30) {
            conversions.push_back(std::async(std::launch::async, [&server] {
                return server.Post("/video/convert/Clips/convert.mp4",
                                   "<Convert><ClientIdentifier>pad</ClientIdentifier></Convert>");
            }));
        }
    }
    size_t served = 0, queued = 0;
    for (std::future<Reply>& future : thumbnails) {
        const Reply reply = future.get();
        EXPECT_EQ(200, reply.status) << reply.body;
        EXPECT_EQ("320", reply.Header("ca-width")) << reply.body;
        if (reply.status == 200) ++served;
    }
    for (std::future<Reply>& future : conversions) {
        const Reply reply = future.get();
        EXPECT_EQ(200, reply.status) << reply.body;
        if (reply.body.find("<SuccessMsg>Success</SuccessMsg>") != std::string::npos) ++queued;
    }
    EXPECT_EQ(100u, served);
    EXPECT_EQ(30u, queued);
    // The queue's first conversion runs beside the requests' runs and comes out whole.
    bool finished = false;
    for (int i = 0; i < 1200 && !finished; ++i) {
        finished = server.Get("/video/convertstatus/").body.find("<status>Finished</status>") != std::string::npos;
        if (!finished) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(finished);
    const size_t peak = ffmpeg.Stop();
    EXPECT_LE(peak, slots + 1) << "ffmpeg at once, with " << slots << " run slots and one conversion";
    EXPECT_GE(peak, 1u);
    RecordProperty("PeakFfmpeg", std::to_string(peak));
    EXPECT_EQ(std::string::npos, server.process->LogText().find("corrupt"));
    EXPECT_TRUE(server.Stop());
}

// Conversion requests for many videos nobody asked about yet, all at once: each needs a probe of its
// own, and the probes wait for the run slots instead of starting together.
TEST(MediaBurstE2e, ProbesOfManyFilesKeepToTheRunSlots) {
    REQUIRE_ISOLATED_NETWORK();
    Server server;
    ASSERT_TRUE(server.Start()) << server.process->LogText();
    const std::string clip =
        ConvertClip("e2e-burst-conv.mp4", 2, {"-c:v", "libx264", "-preset", "ultrafast", "-s", "160x120", "-c:a", "aac"});
    const int kFiles = 40;
    for (int i = 0; i < kFiles; ++i) std::filesystem::copy_file(clip, server.clips + "/many" + std::to_string(i) + ".mp4");
    const size_t slots = static_cast<size_t>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));

    mediatest::PeakProcesses ffmpeg(server.clips);
    std::vector<std::future<Reply>> conversions;
    for (int i = 0; i < kFiles; ++i) {
        conversions.push_back(std::async(std::launch::async, [&server, i] {
            return server.Post("/video/convert/Clips/many" + std::to_string(i) + ".mp4",
                               "<Convert><ClientIdentifier>pad</ClientIdentifier></Convert>");
        }));
    }
    size_t queued = 0;
    for (std::future<Reply>& future : conversions) {
        const Reply reply = future.get();
        EXPECT_EQ(200, reply.status) << reply.body;
        if (reply.body.find("<SuccessMsg>Success</SuccessMsg>") != std::string::npos) ++queued;
    }
    const size_t peak = ffmpeg.Stop();
    EXPECT_EQ(size_t(kFiles), queued);
    EXPECT_LE(peak, slots + 1) << "ffmpeg at once, with " << slots << " run slots and one conversion";
    EXPECT_GE(peak, 1u);
    ::testing::Test::RecordProperty("PeakFfmpeg", std::to_string(peak));
    EXPECT_TRUE(server.Stop());
}

// How often the server's log holds text.
size_t LogCount(Server& server, const std::string& text) {
    const std::string log = server.process->LogText();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

// Opens one connection per request, each sending a thumbnail request for a 720p clip with no picture
// beside it (so every request's grab is a run of ffmpeg), and returns once every one has reached its
// handler: the slots are all taken and the rest wait for one.
std::vector<std::unique_ptr<Connection>> FloodWithThumbnails(Server& server, int requests) {
    std::filesystem::copy_file(MakeClip("e2e-flood.mp4", {"-f", "lavfi", "-i", "testsrc=size=1280x720:rate=25:duration=8",
                                                          "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"}),
                               server.clips + "/flood.mp4");
    const std::string body = "<Thumbnail><resolution/><timeoffset seconds=\"3\"/></Thumbnail>";
    const std::string request = "POST /video/thumbnails/Clips/flood.mp4" + server.Query() + " HTTP/1.1\r\nHost: " +
                                server.Host() + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::vector<std::unique_ptr<Connection>> clients;
    for (int i = 0; i < requests; ++i) {
        clients.emplace_back(new Connection(server.port));
        EXPECT_TRUE(clients.back()->Write(request)) << i;
    }
    const std::string logged = "Path [/video/thumbnails/Clips/flood.mp4]";
    for (int i = 0; i < 600 && LogCount(server, logged) < size_t(requests); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(size_t(requests), LogCount(server, logged));
    return clients;
}

// The server promises to end within 3 s of a SIGTERM; at a load of 30 that may take several times as
// long. What ends the runs is judged by the processes and the log; the bound only guards against a hang.
const auto kStopGuard = std::chrono::seconds(3 + 8);

// The runs of ffmpeg started while the server stops: every process naming text that was not there when
// the stop was asked for, sampled until Stop.
class RunsStartedAfter {
public:
    explicit RunsStartedAfter(std::string text)
        : text_(std::move(text)), before_(Pids()), sampler_([this] { Sample(); }) {}
    ~RunsStartedAfter() { Stop(); }
    size_t Stop() {
        going_ = false;
        if (sampler_.joinable()) sampler_.join();
        return started_.size();
    }

private:
    std::set<int> Pids() const {
        const std::vector<int> pids = mediatest::ProcessesNaming(text_);
        return std::set<int>(pids.begin(), pids.end());
    }
    void Sample() {
        while (going_) {
            for (int pid : Pids())
                if (!before_.count(pid)) started_.insert(pid);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    const std::string text_;
    const std::set<int> before_;
    std::set<int> started_;
    std::atomic<bool> going_{true};
    std::thread sampler_;
};

// SIGTERM ends the server, and its runs of ffmpeg go with it: no request waiting for a slot gets one
// (a grab granted just as the stop came may start, at most one per slot), the waits are given up, and,
// when runsGoing, the grabs under way are killed rather than waited out.
void ExpectPromptStop(Server& server, const std::string& what, bool runsGoing) {
    const size_t slots = static_cast<size_t>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    RunsStartedAfter started(server.clips);
    const auto start = std::chrono::steady_clock::now();
    server.process->Signal(SIGTERM);
    const bool ended = server.process->WaitExit(kStopGuard);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(ended) << "SIGTERM with " << what << " not ended after " << seconds << " s";
    if (!ended) server.process->WaitExit(std::chrono::seconds(600));
    const size_t newRuns = started.Stop();
    EXPECT_LE(newRuns, slots) << "ffmpeg runs started after the SIGTERM with " << what;
    EXPECT_TRUE(mediatest::ProcessesNaming(server.clips).empty()) << "ffmpeg left after the server";
    const std::string log = server.process->LogText();
    const size_t stop = log.find("Shutdown Event Detected");
    ASSERT_NE(std::string::npos, stop) << "SIGTERM with " << what;
    if (runsGoing) {
        EXPECT_NE(std::string::npos, log.find("ffmpeg stopped creating thumbnail: the server stops", stop))
            << "no grab was ended by the stop";
        EXPECT_NE(std::string::npos, log.find("Thumbnail not made: the server stops or the request was abandoned", stop))
            << "no wait for a slot was given up at the stop";
    }
    ::testing::Test::RecordProperty("ShutdownSeconds", std::to_string(seconds));
    ::testing::Test::RecordProperty("RunsStartedAfterSigterm", std::to_string(newRuns));
}

// A flood of thumbnail requests waiting for their turn does not hold the shutdown, and the runs go with
// the server.
TEST(MediaShutdownE2e, AThousandQueuedThumbnailsThenSigtermEndsWithinThreeSeconds) {
    REQUIRE_ISOLATED_NETWORK();
    const int kRequests = 1000;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlimit saved = files;
    if (files.rlim_max != RLIM_INFINITY && files.rlim_max < rlim_t(kRequests + 500))
        GTEST_SKIP() << "needs " << kRequests + 500 << " descriptors here";
    if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < rlim_t(kRequests + 500)) {
        files.rlim_cur = rlim_t(kRequests + 500);
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &files));
    }
    Server server;
    ASSERT_TRUE(server.Start()) << server.process->LogText();
    std::vector<std::unique_ptr<Connection>> clients = FloodWithThumbnails(server, kRequests);
    ASSERT_FALSE(HasFailure());
    ASSERT_FALSE(mediatest::ProcessesNaming(server.clips).empty()) << "the grabs are still going";
    ExpectPromptStop(server, std::to_string(kRequests) + " thumbnails queued", true);
    clients.clear();
    setrlimit(RLIMIT_NOFILE, &saved);
}

// Requests whose clients have gone give up their wait for a slot, so their grabs never run; the stop
// after them is as prompt.
TEST(MediaShutdownE2e, ThumbnailRequestsWhoseClientsWentNeverRunTheirGrabs) {
    REQUIRE_ISOLATED_NETWORK();
    const int kRequests = 200;
    Server server;
    ASSERT_TRUE(server.Start()) << server.process->LogText();
    std::vector<std::unique_ptr<Connection>> clients = FloodWithThumbnails(server, kRequests);
    ASSERT_FALSE(HasFailure());
    clients.clear();
    // Each request either gives up its wait or runs its grab, at most one per slot at a time. Had they
    // all kept waiting, the grabs would run one round of slots after another; half of them giving up
    // leaves a margin for a machine so loaded that a grab ends before a wait notices its client went.
    const std::string givenUp = "Thumbnail not made: the server stops or the request was abandoned";
    for (int i = 0; i < 600 && LogCount(server, givenUp) < size_t(kRequests / 2); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_GE(LogCount(server, givenUp), size_t(kRequests / 2));
    ExpectPromptStop(server, std::to_string(kRequests) + " abandoned thumbnail requests", false);
}

// A POST of body to target on a connection of its own, left open and never read.
std::unique_ptr<Connection> SendAndKeep(Server& server, const std::string& target, const std::string& body) {
    std::unique_ptr<Connection> client(new Connection(server.port));
    EXPECT_TRUE(client->Write("POST " + target + server.Query() + " HTTP/1.1\r\nHost: " + server.Host() +
                              "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
    return client;
}

// Extractions of a 20 GB file's subtitle track, one per run slot, whose clients close while they run:
// each is killed within a second (the bound has room for a loaded machine; the extraction's own limit
// is over 400 s), and a thumbnail asked for afterwards gets a slot and its answer.
TEST(MediaAbandonE2e, ExtractionsWhoseClientsLeftEndAndTheNextRequestIsServed) {
    REQUIRE_ISOLATED_NETWORK();
    Server server;
    ASSERT_TRUE(server.Start()) << server.process->LogText();
    const std::string huge = server.clips + "/huge.mkv";
    mediatest::MakeHugeSubtitledVideo(huge);
    std::filesystem::copy_file(ShortClip(), server.clips + "/after.mp4");
    const size_t slots = static_cast<size_t>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));

    std::vector<std::unique_ptr<Connection>> clients;
    for (size_t i = 0; i < slots; ++i)
        clients.push_back(SendAndKeep(server, "/video/subtitle/Clips/huge.mkv", "<Subtitle><ID>2</ID></Subtitle>"));
    bool running = false;
    for (int i = 0; i < 600 && !running; ++i) {
        running = mediatest::ProcessesNaming(huge).size() == slots;
        if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(running) << mediatest::ProcessesNaming(huge).size() << " extractions of " << slots;

    const auto left = std::chrono::steady_clock::now();
    clients.clear();
    EXPECT_TRUE(mediatest::NoProcessNamingWithin(huge, std::chrono::seconds(10)))
        << mediatest::ProcessesNaming(huge).size() << " extractions still run";
    const double ended = std::chrono::duration<double>(std::chrono::steady_clock::now() - left).count();
    const std::string killed = "ffmpeg stopped extracting subtitle: its client has gone";
    for (int i = 0; i < 100 && LogCount(server, killed) < slots; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(slots, LogCount(server, killed));

    const auto asked = std::chrono::steady_clock::now();
    const Reply thumbnail =
        server.Post("/video/thumbnails/Clips/after.mp4", "<Thumbnail><resolution/><timeoffset/></Thumbnail>");
    const double answered = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_EQ(200, thumbnail.status) << thumbnail.body;
    EXPECT_LT(answered, 30.0);
    ::testing::Test::RecordProperty("ExtractionsEndedSeconds", std::to_string(ended));
    ::testing::Test::RecordProperty("ThumbnailSeconds", std::to_string(answered));
    EXPECT_TRUE(server.Stop());
}

// A stop in the middle of a burst of thumbnail, subtitle and conversion requests for good files: the
// runs it ends are said to be ended by the stop, and no file is called corrupt or its track unsupported.
TEST(MediaShutdownE2e, AStopDuringABurstCallsNoGoodFileCorrupt) {
    REQUIRE_ISOLATED_NETWORK();
    Server server;
    ASSERT_TRUE(server.Start()) << server.process->LogText();
    std::filesystem::copy_file(MakeClip("e2e-flood.mp4", {"-f", "lavfi", "-i", "testsrc=size=1280x720:rate=25:duration=8",
                                                          "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"}),
                               server.clips + "/flood.mp4");
    std::filesystem::copy_file(TrackClip(), server.clips + "/tracks.mkv");
    const std::string clip =
        ConvertClip("e2e-burst-conv.mp4", 2, {"-c:v", "libx264", "-preset", "ultrafast", "-s", "160x120", "-c:a", "aac"});
    const int kThumbnails = 100, kSubtitles = 40, kConversions = 40;
    for (int i = 0; i < kConversions; ++i)
        std::filesystem::copy_file(clip, server.clips + "/c" + std::to_string(i) + ".mp4");

    // The grabs go first and take every slot; the extractions and the conversions' probes queue behind them.
    std::vector<std::unique_ptr<Connection>> clients;
    for (int i = 0; i < kThumbnails; ++i)
        clients.push_back(SendAndKeep(server, "/video/thumbnails/Clips/flood.mp4",
                                      "<Thumbnail><resolution/><timeoffset seconds=\"3\"/></Thumbnail>"));
    for (int i = 0; i < kSubtitles; ++i)
        clients.push_back(SendAndKeep(server, "/video/subtitle/Clips/tracks.mkv", "<Subtitle><ID>2</ID></Subtitle>"));
    for (int i = 0; i < kConversions; ++i)
        clients.push_back(SendAndKeep(server, "/video/convert/Clips/c" + std::to_string(i) + ".mp4",
                                      "<Convert><ClientIdentifier>pad</ClientIdentifier></Convert>"));
    const size_t all = kThumbnails + kSubtitles + kConversions;
    const auto reached = [&server] {
        return LogCount(server, "Path [/video/thumbnails/") + LogCount(server, "Path [/video/subtitle/") +
               LogCount(server, "Path [/video/convert/");
    };
    for (int i = 0; i < 600 && reached() < all; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(all, reached());
    ASSERT_FALSE(mediatest::ProcessesNaming(server.clips).empty()) << "the runs are still going";

    ASSERT_TRUE(server.Stop());
    const std::string log = server.process->LogText();
    const size_t stop = log.find("Shutdown Event Detected");
    ASSERT_NE(std::string::npos, stop);
    const std::string after = log.substr(stop);
    EXPECT_EQ(std::string::npos, after.find("corrupt")) << after.substr(0, 20000);
    EXPECT_EQ(std::string::npos, after.find("UNSUPPORTED subtitle type")) << after.substr(0, 20000);
    // The stop did end runs, and said so.
    EXPECT_NE(std::string::npos, after.find("Media run given up: the server stops or the request was abandoned"));
    clients.clear();
}

// A client identifier holding what XML 1.0 forbids gives a status reply and a state.xml that a standard
// parser reads; the cache route serves neither a running conversion's output nor ffmpeg's logs; and a
// kill -9 in the middle of a conversion leaves nothing behind once the server starts again.
TEST_F(MediaE2e, HostileTextsRunningOutputAndAKilledConversion) {
    Share(ConvertClip("e2e-conv-4s.mp4", 4, {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}), "hostile.mp4");
    Share(ConvertClip("e2e-long.mp4", 120, {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}), "killed.mp4");
    const std::string offline = server->cache + "/offline";
    ASSERT_EQ(200, server->Post("/video/convert/Clips/hostile.mp4",
                                "<Convert><ClientIdentifier>a&#1;b&#x7f;c&#xFFFF;d\x02</ClientIdentifier></Convert>")
                       .status);
    bool finished = false;
    for (int i = 0; i < 1200 && !finished; ++i) {
        for (const Row& row : Rows(server->Get("/video/convertstatus/").body))
            finished = finished || (row.filename == "/Clips/hostile.mp4" && row.status == "Finished");
        if (!finished) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(finished);
    const Reply status = server->Get("/video/convertstatus/");
    EXPECT_EQ("", testsupport::XmlLintComplaint(status.body)) << status.body;
    EXPECT_NE(std::string::npos,
              status.body.find("<clientIdentifier>a\xEF\xBF\xBD" "b\x7f" "c\xEF\xBF\xBD" "d\xEF\xBF\xBD</clientIdentifier>"))
        << status.body;
    const std::string stateFile = server->home.path() + "/Calvoro/state.xml";
    EXPECT_EQ("", testsupport::XmlLintComplaint(testsupport::ReadFile(stateFile))) << testsupport::ReadFile(stateFile);

    // While it runs, neither its output nor any ffmpeg log is served, in either URL form.
    ASSERT_EQ(200, server->Post("/video/convert/Clips/killed.mp4", "<Convert/>").status);
    const std::string output = offline + "/killed.mp4";
    for (int i = 0; i < 600 && !(testsupport::PathExists(output) && std::filesystem::file_size(output) > 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(testsupport::PathExists(output));
    std::vector<std::string> logs;
    for (const auto& e : std::filesystem::directory_iterator(offline)) {
        const std::string name = e.path().filename();
        if (name.size() > 11 && name.compare(name.size() - 11, 11, ".stderr.txt") == 0) logs.push_back(name);
    }
    ASSERT_FALSE(logs.empty()) << "the running conversion's log";
    for (const std::string& name : std::vector<std::string>{"killed.mp4", logs.front()}) {
        EXPECT_EQ(404, server->Get("/video/cache/offline/" + name).status) << name;
        Connection client(server->port);
        const Reply ranged = client.Request("GET /video/cache/" + name + ".mp4" + server->Query() +
                                            " HTTP/1.1\r\nHost: " + server->Host() + "\r\nRange: bytes=0-99\r\n\r\n");
        EXPECT_EQ(404, ranged.status) << name;
    }
    EXPECT_EQ(200, server->Get("/video/cache/offline/hostile.mp4").status);

    // kill -9 mid-conversion: the partial output and its log stay, until the next start removes them.
    const std::vector<pid_t> children = testsupport::ChildrenOf(server->process->Pid());
    server->process->Signal(SIGKILL);
    ASSERT_TRUE(server->process->WaitExit(std::chrono::seconds(30)));
    for (pid_t child : children) kill(child, SIGKILL);  // the orphaned ffmpeg
    ASSERT_TRUE(testsupport::PathExists(output));
    ASSERT_TRUE(testsupport::PathExists(offline + "/" + logs.front()));
    ASSERT_TRUE(server->Run()) << server->process->LogText();
    std::set<std::string> named;
    for (const Row& row : Rows(server->Get("/video/convertstatus/").body))
        if (row.status == "Finished") named.insert(row.url.substr(row.url.rfind('/') + 1));
    EXPECT_EQ(1u, named.count("hostile.mp4"));
    for (const auto& e : std::filesystem::directory_iterator(offline))
        EXPECT_EQ(1u, named.count(e.path().filename())) << e.path().filename() << " is no finished conversion";
    EXPECT_FALSE(testsupport::PathExists(output));
    EXPECT_EQ(200, server->Get("/video/cache/offline/hostile.mp4").status);
    // The same source again gets its own name back, not killed.mp4.1.
    ASSERT_EQ(200, server->Post("/video/convert/Clips/killed.mp4", "<Convert/>").status);
    for (int i = 0; i < 600 && !testsupport::PathExists(output); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(testsupport::PathExists(output));
    EXPECT_FALSE(testsupport::PathExists(output + ".1"));
    EXPECT_EQ("Deleted", server->Get("/video/convertcancel/Clips/killed.mp4").body);
}

}  // namespace
