// The one rule of every route that opens a video under a share (direct, thumbnail, subtitle, play,
// convert): only what a listing shows, and only regular files, refused before any program starts; and
// the sidecar search (subtitle files, pictures) that skips dot-folders and what is not a regular file.
// Every ffmpeg the server starts is counted by a stand-in found first on PATH that notes its run and
// then runs the real one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/image.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "RouteTestSupport.h"
#include "kivlib/KivProcess.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/IOfflineTranscode.h"
#include "media/MediaTestSupport.h"
#include "media/StreamRegistry.h"
#include "media/ThumbnailEnvironment.h"
#include "support/TestSupport.h"

namespace {

using routetest::ErrorMsg;

::testing::Environment* const g_images =
    ::testing::AddGlobalTestEnvironment(new mediatest::ThumbnailEnvironment);

const char kNotSupported[] = "CALVORO_SUBTITLE_FORMAT_NOT_SUPPORTED";
const char kSrt[] = "1\n00:00:00,500 --> 00:00:01,500\nHello\n";

// Video 0, audio 1, a SubRip track 2.
std::string Clip() { return mediatest::MakeSubtitledClip("shared-video-rule.mkv", kSrt); }

// A queue that only counts what it is given.
class CountingQueue : public IOfflineTranscode {
public:
    bool Enqueue(const std::string&, const std::string&, const TranscodeParams&) override {
        ++queued;
        return true;
    }
    bool Pump() override { return false; }
    std::list<ConversionStatus> GetConversions() override { return {}; }
    void Cancel(const std::wstring&) override {}
    int queued = 0;
};

class SharedVideoRule : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        ClearMetadataCache();
        RemoveAllStreams();
        const std::string clip = Clip();  // made before the stand-in counts
        // The stand-in notes each run in runs.txt; the real ffmpeg does the work.
        const std::string ffmpeg = kiv_resolve_program("ffmpeg");
        ASSERT_FALSE(ffmpeg.empty());
        runs = programs.file("runs.txt");
        testsupport::WriteFile(programs.file("ffmpeg"),
                               "#!/bin/sh\necho \"$*\" >> '" + runs + "'\nexec '" + ffmpeg + "' \"$@\"\n");
        ASSERT_EQ(0, chmod(programs.file("ffmpeg").c_str(), 0755));
        path.reset(new testsupport::ScopedEnv("PATH", (programs.path() + ":" + getenv("PATH")).c_str()));

        server.services.context.OfflineTranscode = &queue;
        movies = server.ShareMoviesWithRealProbe();
        for (const char* folder : {".hidden", "Subs", "Season", "clip.mkv.d", ".hidden/inner"})
            std::filesystem::create_directories(movies + "/" + std::string(folder));
        for (const char* name : {"film.mkv", ".intro.mkv", ".hidden/h.mkv", ".hidden/inner/i.mkv", "Subs/s.mkv",
                                        "Season/e1.mkv", "film.txt"})
            std::filesystem::copy_file(clip, movies + "/" + std::string(name));
        ASSERT_EQ(0, mkfifo((movies + "/pipe.mkv").c_str(), 0644));
        std::filesystem::create_symlink("/dev/zero", movies + "/zero.mkv");
        std::filesystem::create_directories(movies + "/folder.mkv");
        ASSERT_TRUE(server.Start());
        session = server.Pair(L"rule-device");
    }
    void TearDown() override {
        server.Stop();
        RemoveAllStreams();
    }

    httptest::Reply Post(const std::string& target, const std::string& body) const {
        return server.Request("POST", target, session, "Host: 127.0.0.1\r\n", body);
    }
    // The ffmpeg runs noted so far.
    std::vector<std::string> Runs() const {
        std::vector<std::string> lines;
        std::istringstream text(testsupport::ReadFile(runs));
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        return lines;
    }

    testsupport::TempDir programs;
    std::string runs;
    std::unique_ptr<testsupport::ScopedEnv> path;
    CountingQueue queue;
    routetest::Server server;
    std::string movies;
    uint64_t session = 0;
};

struct Route {
    const char* name;
    int status;  // the route's answer to a path it refuses
    std::function<httptest::Reply(const std::string&)> ask;
};

TEST_F(SharedVideoRule, WhatNoListingShowsIsRefusedOnEveryRouteBeforeAnyProgramStarts) {
    const std::string thumbnail = "<T><resolution/><timeoffset seconds=\"1\"/></T>";
    const std::vector<Route> routes = {
        {"direct", 404, [this](const std::string& rest) { return server.Get("/video/direct/" + rest, session); }},
        {"thumbnail", 404, [&](const std::string& rest) { return Post("/video/thumbnails/" + rest, thumbnail); }},
        {"subtitle", 500, [this](const std::string& rest) { return Post("/video/subtitle/" + rest, "<S><ID>2</ID></S>"); }},
        {"play", 500, [this](const std::string& rest) { return Post("/video/play/" + rest, "<Play/>"); }},
        {"convert", 404, [this](const std::string& rest) { return Post("/video/convert/" + rest, "<Convert/>"); }},
    };
    const std::vector<std::string> refused = {
        "Movies/./film.mkv",         // a dot-name the listing hides
        "Movies/.hidden/h.mkv",      // a file in a dot-folder
        "Movies/.hidden/inner/i.mkv",
        "Movies/Subs/s.mkv",         // a file in a subtitle folder, which no listing shows
        "Movies/pipe.mkv",           // a named pipe
        "Movies/zero.mkv",           // a link to a device
        "Movies/folder.mkv",         // a folder with a video's name
        "Movies/film.txt",           // a video under another extension
        "Movies/clip.mkv.d/",
        "Movies/",
    };
    for (const Route& route : routes) {
        for (const std::string& rest : refused) {
            const httptest::Reply reply = route.ask(rest);
            ASSERT_TRUE(reply.ok) << route.name << " " << rest;
            EXPECT_EQ(route.status, reply.status) << route.name << " " << rest;
            EXPECT_NE(std::string::npos, reply.body.find("Cannot open " + rest)) << route.name << " " << rest << ": "
                                                                                 << reply.body;
        }
    }
    EXPECT_EQ(std::vector<std::string>(), Runs());
    EXPECT_EQ(0, queue.queued);
    EXPECT_EQ(0u, GetStreamCount());

    // What a listing shows is served, a file whose own name begins with "." included: every route
    // starts its program for it, so the stand-in is seen.
    for (const char* rest : {"Movies/.intro.mkv", "Movies/Season/e1.mkv", "Movies//film.mkv"}) {
        for (const Route& route : routes) {
            const httptest::Reply reply = route.ask(rest);
            EXPECT_EQ(200, reply.status) << route.name << " " << rest << ": " << reply.body.substr(0, 300);
        }
        RemoveAllStreams();
    }
    EXPECT_FALSE(Runs().empty());
    EXPECT_EQ(3, queue.queued);
}

TEST_F(SharedVideoRule, TheSidecarSearchSkipsDotFoldersAndWhatIsNotARegularFile) {
    // Subtitle files: one in a dot-folder, one that is a named pipe, one that is a folder; a good one.
    std::filesystem::create_directories(movies + "/.subs");
    testsupport::WriteFile(movies + "/.subs/film.srt", kSrt);
    std::filesystem::create_directories(movies + "/subs/.old");
    testsupport::WriteFile(movies + "/subs/.old/film.srt", kSrt);
    ASSERT_EQ(0, mkfifo((movies + "/film.en.srt").c_str(), 0644));
    std::filesystem::create_directories(movies + "/film.fr.srt");
    testsupport::WriteFile(movies + "/subs/film.de.srt", kSrt);
    testsupport::WriteFile(movies + "/film.notes", kSrt);  // SubRip text, but no subtitle extension

    for (const std::string id : {".subs/film.srt", "/.subs/film.srt", "subs/.old/film.srt", "film.en.srt",
                                  "film.fr.srt", "film.notes", "./film.srt"}) {
        const httptest::Reply reply = Post("/video/subtitle/Movies/film.mkv", "<S><ID>" + id + "</ID></S>");
        EXPECT_EQ(404, reply.status) << id;
        EXPECT_EQ(ErrorMsg(kNotSupported), reply.body) << id;
    }
    const httptest::Reply good = Post("/video/subtitle/Movies/film.mkv", "<S><ID>/subs/film.de.srt</ID></S>");
    EXPECT_EQ(200, good.status) << good.body;
    EXPECT_EQ("1\n00:00:00,500 --> 00:00:01,500\nHello\n", good.body);

    // The probe lists the embedded track and the one regular subtitle file only. A picture beside the
    // video that is a named pipe is not opened: the frame of the video serves.
    ASSERT_EQ(0, mkfifo((movies + "/film.jpg").c_str(), 0644));
    const httptest::Reply thumbnail = Post("/video/thumbnails/Movies/film.mkv", "<T><resolution/><timeoffset/></T>");
    ASSERT_EQ(200, thumbnail.status) << thumbnail.body;
    EXPECT_EQ("2", thumbnail.Header("ca-subtitlestreamcount"));
    EXPECT_EQ("/subs/film.de.srt", thumbnail.Header("ca-subtitlestream.1.id"));

    // A folder picture that is a named pipe is passed over for the next name.
    ASSERT_EQ(0, mkfifo((movies + "/Season/folder.jpg").c_str(), 0644));
    mediatest::Run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=red:size=64x48", "-frames:v", "1",
                    movies + "/Season/thumb.png"});
    const httptest::Reply folder = Post("/video/folder/thumbnail/Movies/Season/", "<T><resolution/><timeoffset/></T>");
    EXPECT_EQ(200, folder.status) << folder.body;
    // A folder no listing shows has no thumbnail.
    for (const std::string rest : {"Movies/.hidden/", "Movies/Subs/", "Movies/film.mkv"}) {
        const httptest::Reply refused = Post("/video/folder/thumbnail/" + rest, "<T><resolution/><timeoffset/></T>");
        EXPECT_EQ(404, refused.status) << rest;
        EXPECT_EQ(ErrorMsg("Cannot open " + rest), refused.body) << rest;
    }
}

}  // namespace
