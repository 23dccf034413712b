// "/video/direct/", "/video/cache/" and "/video/playcached/" through the request loop on loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "RouteTestSupport.h"
#include "kivlib/kiv_text.h"

namespace {

using routetest::ErrorMsg;
using routetest::StreamUrl;

const size_t kFileSize = 10000;

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(((i + seed) * 2654435761u) >> 13);
    return bytes;
}

class FileRoutes : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        movies = server.services.Share("share/Videos", "Movies");
        film = Pattern(kFileSize, 1);
        testsupport::WriteFile(movies + "/film.avi", film);
        testsupport::WriteFile(server.services.temp.file("share/secret.bin"), "secret");
        cache = kivm::ToUTF8Ex(server.services.state->GetCacheFolder());
        std::filesystem::create_directories(cache + "/offline");
        std::filesystem::create_directories(cache + "/0123abcd");
        converted = Pattern(kFileSize, 2);
        testsupport::WriteFile(cache + "/offline/film.avi", converted);
        FinishedConversion finished;  // the cache route serves what the state lists as finished
        finished.FilePath = server.services.state->GetCacheFolder() + L"/offline/film.avi";
        finished.DstVirtualPath = "/video/cache/offline/film.avi";
        server.services.state->AddFinishedConversion(finished);
        testsupport::WriteFile(cache + "/0123abcd/segment-1.ts", "segment");
        testsupport::WriteFile(cache + "/temp-1.subtitle", "temporary");
        ASSERT_TRUE(server.Start());
        session = server.Pair(L"files-device");
    }

    routetest::Server server;
    std::string movies;
    std::string cache;
    std::string film;
    std::string converted;
    uint64_t session = 0;
};

struct RangeCase {
    std::string range;  // the Range header's value; empty for none
    int status;
    size_t from, to;    // the bytes expected, inclusive
};

const RangeCase kRangeCases[] = {
    {"", 200, 0, kFileSize - 1},
    {"bytes=100-199", 206, 100, 199},
    {"bytes=100-", 206, 100, kFileSize - 1},   // an open range runs to the end
    {"bytes=-500", 206, kFileSize - 500, kFileSize - 1},  // a suffix range is the last bytes
    {"bytes=0-0", 206, 0, 0},                  // the first byte
    {"items=1-2", 200, 0, kFileSize - 1},
    {"bytes=9000-20000", 206, 9000, kFileSize - 1},  // the end is fitted to the file
    {"bytes=5-5, 10-20", 206, 5, 5},           // only the first range of a list
};

std::string RangeHeader(const std::string& range) { return range.empty() ? "" : "Range: " + range + "\r\n"; }

void ExpectBytes(const httptest::Reply& reply, const RangeCase& c, const std::string& file, const std::string& label) {
    ASSERT_TRUE(reply.ok) << label;
    EXPECT_EQ(c.status, reply.status) << label << ": " << reply.body.substr(0, 200);
    EXPECT_EQ("application/octet-stream", reply.Header("content-type")) << label;
    EXPECT_EQ("bytes " + std::to_string(c.from) + "-" + std::to_string(c.to) + "/" + std::to_string(file.size()),
              reply.Header("content-range"))
        << label;
    EXPECT_TRUE(reply.body == file.substr(c.from, c.to - c.from + 1)) << label << ": " << reply.body.size() << " bytes";
}

TEST_F(FileRoutes, DirectPlayServesTheFilesOwnBytes) {
    for (const RangeCase& c : kRangeCases) {
        ExpectBytes(server.Get("/video/direct/Movies/film.avi", session, RangeHeader(c.range)), c, film, "direct " + c.range);
    }
}

TEST_F(FileRoutes, DirectPlayFailuresAnswerNotFound) {
    std::filesystem::create_directories(movies + "/Season 1");
    const struct {
        std::string rest;
        std::string text;
    } cases[] = {
        {"Movies/gone.avi", "Cannot open Movies/gone.avi"},
        {"Nope/film.avi", "Unable to find root folder Nope"},
        {"Movies", "Unable to find root folder in Movies"},
        {"Movies/../secret.bin", "Cannot open Movies/../secret.bin"},
        {"Movies/Season 1", "Cannot open Movies/Season 1"},  // a folder is no video file
    };
    for (const auto& c : cases) {
        const httptest::Reply reply = server.Get("/video/direct/" + c.rest, session);
        ASSERT_TRUE(reply.ok) << c.rest;
        EXPECT_EQ(404, reply.status) << c.rest;
        EXPECT_EQ(ErrorMsg(c.text), reply.body) << c.rest;
    }
    // A file that was shared and has gone since.
    std::filesystem::remove(movies + "/film.avi");
    EXPECT_EQ(ErrorMsg("Cannot open Movies/film.avi"), server.Get("/video/direct/Movies/film.avi", session).body);
}

// Both URL forms reach the converted file with and without a Range header: the form of the URL decides.
TEST_F(FileRoutes, TheCacheRouteChoosesTheFileByTheUrlsForm) {
    for (const std::string& rest : {std::string("film.avi.mp4"), std::string("offline/film.avi")}) {
        for (const RangeCase& c : kRangeCases) {
            ExpectBytes(server.Get("/video/cache/" + rest, session, RangeHeader(c.range)), c, converted,
                        rest + " " + c.range);
        }
    }
}

TEST_F(FileRoutes, TheCacheRouteServesOnlyConvertedFiles) {
    for (const std::string& rest :
         std::vector<std::string>{"film.avi", "offline/", ".mp4", "offline/missing.avi", "missing.avi.mp4",
                                  "0123abcd/segment-1.ts", "temp-1.subtitle", "offline/../temp-1.subtitle",
                                  "../offline/film.avi.mp4", "../share/Videos/film.avi.mp4", "offline/../../share/secret.bin",
                                  "offline//etc/passwd", "offline/..\\..\\share\\secret.bin"}) {
        for (const std::string& range : {std::string(), std::string("bytes=0-3")}) {
            const httptest::Reply reply = server.Get("/video/cache/" + rest, session, RangeHeader(range));
            ASSERT_TRUE(reply.ok) << rest;
            EXPECT_EQ(404, reply.status) << rest << " " << range;
            EXPECT_EQ(ErrorMsg("Cannot open " + rest), reply.body) << rest << " " << range;
        }
    }
}

// A file of the offline folder that the state does not list as finished (the output of a conversion
// still running, or one a crash left) and ffmpeg's logs beside it are never served, in either form.
TEST_F(FileRoutes, TheCacheRouteServesOnlyWhatTheStateListsAsFinished) {
    testsupport::WriteFile(cache + "/offline/running.mp4", "partial output");
    testsupport::WriteFile(cache + "/offline/running.mp4123456.stderr.txt", "ffmpeg log with paths");
    testsupport::WriteFile(cache + "/offline/film.avi987.stderr.txt", "ffmpeg log with paths");
    for (const std::string& rest :
         std::vector<std::string>{"offline/running.mp4", "running.mp4.mp4", "offline/running.mp4123456.stderr.txt",
                                  "running.mp4123456.stderr.txt.mp4", "offline/film.avi987.stderr.txt",
                                  "film.avi987.stderr.txt.mp4"}) {
        for (const std::string& range : {std::string(), std::string("bytes=0-3")}) {
            const httptest::Reply reply = server.Get("/video/cache/" + rest, session, RangeHeader(range));
            ASSERT_TRUE(reply.ok) << rest;
            EXPECT_EQ(404, reply.status) << rest << " " << range;
            EXPECT_EQ(ErrorMsg("Cannot open " + rest), reply.body) << rest << " " << range;
        }
    }
    // Once listed as finished, the same file is served.
    FinishedConversion finished;
    finished.FilePath = server.services.state->GetCacheFolder() + L"/offline/running.mp4";
    server.services.state->AddFinishedConversion(finished);
    EXPECT_EQ("partial output", server.Get("/video/cache/offline/running.mp4", session).body);
}

TEST_F(FileRoutes, PlayCachedAnswersTheUrlThatServesTheConvertedFile) {
    const httptest::Reply reply =
        server.Request("POST", "/video/playcached/film.avi", session, "Host: media.example:8683\r\n", "<Ignored/>");
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(200, reply.status);
    const std::string url = "http://media.example:8683/video/cache/film.avi.mp4?SessionID=" + routetest::Hex(session);
    EXPECT_EQ(StreamUrl(url), reply.body);

    // The URL's path, fetched as a client would (with or without a range), gives the converted file.
    const std::string target = url.substr(url.find("/video/"));
    httptest::Connection client(server.Port());
    const httptest::Reply whole = client.Request("GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(200, whole.status);
    EXPECT_TRUE(whole.body == converted);
    const httptest::Reply part = client.Request("GET " + target + " HTTP/1.1\r\nHost: h\r\nRange: bytes=7-9\r\n\r\n");
    EXPECT_EQ(206, part.status);
    EXPECT_EQ(converted.substr(7, 3), part.body);

    // The file is not looked at.
    EXPECT_EQ(StreamUrl("http://h/video/cache/none.mkv.mp4?SessionID=" + routetest::Hex(session)),
              server.Request("POST", "/video/playcached/none.mkv", session, "Host: h\r\n").body);
}

TEST_F(FileRoutes, PlayCachedWithoutAHostHeaderIsRefused) {
    httptest::Connection client(server.Port());
    const std::string body = "<x/>";
    const httptest::Reply reply = client.Request("POST /video/playcached/film.avi?SessionID=" + routetest::Hex(session) +
                                                 " HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                                                 "\r\n\r\n" + body);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(404, reply.status);
    EXPECT_EQ(ErrorMsg("Host not provided in HTTP request"), reply.body);
}

TEST_F(FileRoutes, FileRoutesNeedAnAuthorisedSession) {
    for (const std::string& target : {std::string("/video/direct/Movies/film.avi"), std::string("/video/cache/film.avi.mp4")}) {
        const httptest::Reply reply = server.Get(target, 0x1234);
        EXPECT_EQ(500, reply.status) << target;
        EXPECT_EQ(ErrorMsg("Session is not authorized"), reply.body) << target;
    }
    EXPECT_EQ(ErrorMsg("Session is not authorized"),
              server.Request("POST", "/video/playcached/film.avi", 0x1234, "Host: h\r\n").body);
}

}  // namespace
