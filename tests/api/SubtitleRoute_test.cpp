// "/video/subtitle/" through the request loop on loopback: embedded tracks extracted by real ffmpeg
// runs and subtitle files beside the video, answered as SubRip.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "RouteTestSupport.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/MediaTestSupport.h"

namespace {

using routetest::ErrorMsg;

const char kNotSupported[] = "CALVORO_SUBTITLE_FORMAT_NOT_SUPPORTED";
const char kSrt[] = "1\n00:00:00,500 --> 00:00:01,500\nHello\n\n2\n00:00:02,000 --> 00:00:03,000\nAgain\n";

// Video 0, audio 1, a SubRip track 2.
std::string Clip() { return mediatest::MakeSubtitledClip("subtitle-route.mkv", kSrt); }

class SubtitleRoute : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        movies = server.ShareMoviesWithRealProbe();
        std::filesystem::copy_file(Clip(), movies + "/film.mkv");
        ASSERT_TRUE(server.Start());
        session = server.Pair(L"subtitle-device");
    }
    httptest::Reply Ask(const std::string& id, const std::string& video = "Movies/film.mkv") {
        return server.Request("POST", "/video/subtitle/" + video, session, "Host: 127.0.0.1\r\n",
                              "<Subtitle><ID>" + id + "</ID></Subtitle>");
    }
    // The handler deletes its file just after the last byte went out: a moment after the client has it.
    ::testing::AssertionResult NoTemporaryFile() const {
        const std::vector<std::string> left = server.CacheLeftovers();
        if (left.empty()) return ::testing::AssertionSuccess();
        ::testing::AssertionResult failure = ::testing::AssertionFailure() << "left in the cache folder:";
        for (const std::string& name : left) failure << " " << name;
        return failure;
    }

    routetest::Server server;
    std::string movies;
    uint64_t session = 0;
};

TEST_F(SubtitleRoute, AnEmbeddedTrackComesBackAsSubRip) {
    const httptest::Reply reply = Ask("2");
    ASSERT_EQ(200, reply.status) << reply.body;
    // The times follow the file's start (its audio begins a few milliseconds early).
    EXPECT_TRUE(std::regex_match(reply.body, std::regex("1\n00:00:00,5[0-4][0-9] --> 00:00:01,5[0-4][0-9]\nHello\n\n"
                                                        "2\n00:00:02,0[0-4][0-9] --> 00:00:03,0[0-4][0-9]\nAgain\n\n")))
        << reply.body;
    EXPECT_TRUE(NoTemporaryFile());
}

TEST_F(SubtitleRoute, SubtitleFilesBesideTheVideo) {
    testsupport::WriteFile(movies + "/film.en.srt", "1\r\n00:00:01,000 --> 00:00:02,000\r\nBeside\r\n");
    std::filesystem::create_directories(movies + "/subs");
    const std::string ass = "[Script Info]\nScriptType: v4.00+\n[Events]\n"
                            "Dialogue: 0,0:00:01.50,0:00:03.00,Default,,0000,0000,0000,,Hello, world\\Nagain\n";
    testsupport::WriteFile(movies + "/subs/film.ass", ass);
    const httptest::Reply srt = Ask("film.en.srt");
    ASSERT_EQ(200, srt.status) << srt.body;
    EXPECT_EQ("1\n00:00:01,000 --> 00:00:02,000\nBeside\n", srt.body);
    // The probe names a file in "subs" by "/subs/" and its name.
    const httptest::Reply converted = Ask("/subs/film.ass");
    ASSERT_EQ(200, converted.status) << converted.body;
    EXPECT_EQ("1\n0:00:01.50 --> 0:00:03.00\nHello, world\nagain\n", converted.body);
    EXPECT_EQ(ass, testsupport::ReadFile(movies + "/subs/film.ass"));  // the source stays as it was
    EXPECT_TRUE(NoTemporaryFile());
}

TEST_F(SubtitleRoute, WhatCannotBeServedIsRefused) {
    testsupport::WriteFile(movies + "/film.sub", "{10}{20}MicroDVD\n");
    testsupport::WriteFile(server.services.temp.file("share/secret.srt"), kSrt);
    for (const std::string id : {"film.sub", "missing.srt", "../secret.srt", "1", "0", "99"}) {
        const httptest::Reply reply = Ask(id);
        EXPECT_EQ(404, reply.status) << id;
        EXPECT_EQ(ErrorMsg(kNotSupported), reply.body) << id;
    }
    EXPECT_TRUE(NoTemporaryFile());
}

TEST_F(SubtitleRoute, BadRequests) {
    httptest::Reply reply = server.Request("POST", "/video/subtitle/Movies/film.mkv", session, "Host: 127.0.0.1\r\n",
                                           "<Subtitle><Id>2</Id></Subtitle>");
    EXPECT_EQ(404, reply.status);
    EXPECT_EQ(ErrorMsg("Can't find 'ID' element"), reply.body);
    reply = server.Request("POST", "/video/subtitle/Movies/film.mkv", session, "Host: 127.0.0.1\r\n", "no xml");
    EXPECT_EQ(404, reply.status);
    EXPECT_NE(std::string::npos, reply.body.find(" data is: \nno xml</ErrorMsg>")) << reply.body;
    // The video is resolved outside the route's own guard: the request loop answers it.
    reply = Ask("2", "Elsewhere/film.mkv");
    EXPECT_EQ(500, reply.status);
    EXPECT_EQ(ErrorMsg("Unable to find root folder Elsewhere"), reply.body);
    EXPECT_TRUE(NoTemporaryFile());
}

}  // namespace
