// "/video/thumbnails/" and "/video/folder/thumbnail/" through the request loop on loopback, over the
// real state store, media probe, ffmpeg and image operations.
#include <gtest/gtest.h>
#include <wx/image.h>
#include <wx/init.h>

#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RouteTestSupport.h"
#include "api/MediaFactHeaders.h"
#include "core/Util.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/MediaRunSlot.h"
#include "media/MediaTestSupport.h"
#include "media/SlotHolders.h"
#include "media/ThumbnailEnvironment.h"
#include "media/Thumbnail.h"

namespace {

using routetest::ErrorMsg;

::testing::Environment* const g_images =
    ::testing::AddGlobalTestEnvironment(new mediatest::ThumbnailEnvironment);

// 16:9, 6 s, one video and two audio tracks (English with a title, French).
std::string Clip() {
    return mediatest::MakeClip(
        "thumb-route.mkv", {"-f", "lavfi", "-i", "testsrc=size=640x360:rate=25:duration=6", "-f", "lavfi", "-i",
                            "sine=duration=6", "-f", "lavfi", "-i", "sine=frequency=220:duration=6", "-map", "0", "-map",
                            "1", "-map", "2", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                            "-metadata:s:a:0", "language=eng", "-metadata:s:a:0", "title=Main", "-metadata:s:a:1",
                            "language=fre"});
}

// A one-colour picture of the given size.
void Picture(const std::string& path, const std::string& colour, const std::string& size) {
    mediatest::Run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=" + colour + ":size=" + size, "-frames:v",
                    "1", path});
}

struct Image {
    int width = 0, height = 0;
    double red = 0, blue = 0;  // mean of the middle row's channels
};

Image Decode(const std::string& bytes, const testsupport::TempDir& dir) {
    const std::string path = dir.file("reply.jpg");
    testsupport::WriteFile(path, bytes);
    Image image;
    const std::string size = mediatest::Probe({"-show_entries", "stream=width,height", "-of", "csv=p=0", path});
    sscanf(size.c_str(), "%d,%d", &image.width, &image.height);
    const std::string rgb = mediatest::Run({"ffmpeg", "-v", "error", "-i", path, "-vf", "crop=iw:2:0:ih/2", "-f",
                                            "rawvideo", "-pix_fmt", "rgb24", "-"}).out;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
        image.red += static_cast<unsigned char>(rgb[i]);
        image.blue += static_cast<unsigned char>(rgb[i + 2]);
    }
    if (!rgb.empty()) {
        image.red /= double(rgb.size() / 3);
        image.blue /= double(rgb.size() / 3);
    }
    return image;
}

std::string Body(const std::string& resolution, const std::string& offset) {
    return "<Thumbnail><resolution " + resolution + "/><timeoffset " + offset + "/></Thumbnail>";
}

class ThumbnailRoute : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        ClearMetadataCache();
        movies = server.ShareMoviesWithRealProbe();
        std::filesystem::copy_file(Clip(), movies + "/film.mkv");
        ASSERT_TRUE(server.Start());
        session = server.Pair(L"thumb-device");
    }
    httptest::Reply Post(const std::string& target, const std::string& body) {
        return server.Request("POST", target, session, "Host: 127.0.0.1\r\n", body);
    }
    // What is left in the cache folder once the handler is done.
    std::vector<std::string> TempFiles() const { return server.CacheLeftovers(); }

    routetest::Server server;
    std::string movies;
    uint64_t session = 0;
    testsupport::TempDir scratch;
};

TEST_F(ThumbnailRoute, AVideoFrameInTheBoxWithTheVideosFacts) {
    const httptest::Reply reply = Post("/video/thumbnails/Movies/film.mkv", Body("", ""));
    ASSERT_EQ(200, reply.status) << reply.body;
    EXPECT_EQ("application/octet-stream", reply.Header("content-type"));
    const Image image = Decode(reply.body, scratch);
    EXPECT_EQ(320, image.width);
    EXPECT_EQ(240, image.height);

    const double duration = std::stod(reply.Header("ca-durationseconds"));
    EXPECT_GT(duration, 5.9);
    EXPECT_LT(duration, 6.2);
    EXPECT_EQ("640", reply.Header("ca-width"));
    EXPECT_EQ("360", reply.Header("ca-height"));
    EXPECT_EQ("1", reply.Header("ca-calvorocount"));
    EXPECT_EQ("2", reply.Header("ca-audiostreamcount"));
    EXPECT_EQ("0", reply.Header("ca-subtitlestreamcount"));
    EXPECT_EQ("0", reply.Header("ca-calvoro.0.id"));
    EXPECT_EQ("1", reply.Header("ca-audiostream.0.id"));
    EXPECT_EQ("eng", reply.Header("ca-audiostream.0.locale"));
    EXPECT_EQ("Main", reply.Header("ca-audiostream.0.descr"));
    EXPECT_EQ("fre", reply.Header("ca-audiostream.1.locale"));
    EXPECT_EQ("2", reply.Header("ca-audiostream.1.id"));
    EXPECT_NE(std::string::npos, reply.Header("ca-audiostream.1.techdescr").find("aac"));
    for (const auto& header : reply.headers) EXPECT_EQ(std::string::npos, header.first.find("ca-subtitlestream."));
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(ThumbnailRoute, AttributeNamesInAnyCaseAndUnknownOnesIgnored) {
    const httptest::Reply reply =
        Post("/video/thumbnails/Movies/film.mkv", Body("WIDTH=\"160\" Height=\"90\" aspect=\"2\"", "SECONDS=\"1\""));
    ASSERT_EQ(200, reply.status) << reply.body;
    const Image image = Decode(reply.body, scratch);
    EXPECT_EQ(160, image.width);
    EXPECT_EQ(90, image.height);
}

TEST_F(ThumbnailRoute, RequestsItRefuses) {
    struct Case {
        std::string target, body, error;
    } cases[] = {
        {"/video/thumbnails/Movies/film.mkv", "<T><resolution/></T>", "Can't find 'TimeOffset' element"},
        {"/video/thumbnails/Movies/film.mkv", "<T><timeoffset/></T>", "Can't find 'resolution' element"},
        {"/video/thumbnails/Movies/film.mkv", Body("width=\"0\"", ""), "Thumbnail size must be 1 to 4096 on each side"},
        {"/video/thumbnails/Movies/film.mkv", Body("height=\"4097\"", ""),
         "Thumbnail size must be 1 to 4096 on each side"},
        {"/video/thumbnails/Elsewhere/film.mp4", Body("", ""), "Unable to find root folder Elsewhere"},
        {"/video/thumbnails/Movies/../film.mp4", Body("", ""), "Cannot open Movies/../film.mp4"},
    };
    for (const Case& c : cases) {
        const httptest::Reply reply = Post(c.target, c.body);
        EXPECT_EQ(404, reply.status) << c.target << " " << c.body;
        EXPECT_EQ(ErrorMsg(c.error), reply.body);
    }
    const httptest::Reply notXml = Post("/video/thumbnails/Movies/film.mkv", "no xml");
    EXPECT_EQ(404, notXml.status);
    EXPECT_EQ(std::string::npos, notXml.body.find("<SuccessMsg>"));
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(ThumbnailRoute, AFailedGrabIsRefusedAndLeavesNoTemporaryFile) {
    testsupport::WriteFile(movies + "/notes.avi", "not a video");
    const httptest::Reply reply = Post("/video/thumbnails/Movies/notes.avi", Body("", ""));
    EXPECT_EQ(404, reply.status);
    EXPECT_EQ(ErrorMsg("CreateJPEG failed: "), reply.body);
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(ThumbnailRoute, APictureBesideTheVideoIsUsedWithTheVideosFacts) {
    Picture(movies + "/film.jpg", "red", "100x100");
    const httptest::Reply reply = Post("/video/thumbnails/Movies/film.mkv", Body("", ""));
    ASSERT_EQ(200, reply.status) << reply.body;
    const Image image = Decode(reply.body, scratch);
    EXPECT_EQ(320, image.width);
    EXPECT_EQ(240, image.height);
    EXPECT_GT(image.red, 120.0);  // 240 of the 320 columns are red, the rest black
    EXPECT_EQ("640", reply.Header("ca-width"));

    // The point of a folder's name is no extension: a video named without one has no such picture. No
    // listing shows such a file, so the route refuses it before looking for a picture.
    std::filesystem::create_directories(movies + "/the.series");
    std::filesystem::copy_file(Clip(), movies + "/the.series/pilot");
    Picture(movies + "/the.jpg", "red", "100x100");
    std::wstring picture;
    EXPECT_FALSE(HttpListener::FindSidecarImage(kivm::FromUTF8ExW(movies + "/the.series/pilot"), picture)) << kivm::ToUTF8Ex(picture);
    const httptest::Reply plain = Post("/video/thumbnails/Movies/the.series/pilot", Body("", ""));
    EXPECT_EQ(404, plain.status);
    EXPECT_EQ(ErrorMsg("Cannot open Movies/the.series/pilot"), plain.body);
}

TEST_F(ThumbnailRoute, AFolderPictureByItsNamesInTheirOrder) {
    const std::string stills = movies + "/Stills";
    std::filesystem::create_directories(stills);
    Picture(stills + "/thumb.jpg", "blue", "64x48");
    Picture(stills + "/folder.png", "red", "64x48");
    const httptest::Reply reply = Post("/video/folder/thumbnail/Movies/Stills/", Body("", ""));
    ASSERT_EQ(200, reply.status) << reply.body;
    const Image image = Decode(reply.body, scratch);
    EXPECT_EQ(320, image.width);
    EXPECT_GT(image.red, 200.0);
    EXPECT_LT(image.blue, 60.0);
    EXPECT_TRUE(reply.Header("ca-width").empty());

    // Without the final "/" the names are looked for beside the folder.
    Picture(movies + "/Stillsthumb.jpg", "blue", "64x48");
    const httptest::Reply beside = Post("/video/folder/thumbnail/Movies/Stills", Body("", ""));
    ASSERT_EQ(200, beside.status) << beside.body;
    EXPECT_GT(Decode(beside.body, scratch).blue, 200.0);
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(ThumbnailRoute, WaitingGrabsLeaveWhenTheirClientsGoAndAtTheListenersStop) {
    // Every slot is taken, so each request's grab waits in the queue.
    mediatest::SlotHolders holders(MediaRunSlot::Limit());
    const std::string body = Body("", "seconds=\"1\"");
    const std::string raw = "POST /video/thumbnails/Movies/film.mkv?SessionID=" + routetest::Hex(session) +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body;
    const uint32_t kRequests = 10;
    auto send = [&](std::vector<std::unique_ptr<httptest::Connection>>& clients) {
        for (uint32_t i = 0; i < kRequests; ++i) {
            clients.emplace_back(new httptest::Connection(server.Port()));
            EXPECT_TRUE(clients.back()->Write(raw));
        }
        return mediatest::Within(std::chrono::seconds(20), [&] { return MediaRunSlot::Waiting() == kRequests; });
    };

    std::vector<std::unique_ptr<httptest::Connection>> clients;
    ASSERT_TRUE(send(clients));
    clients.clear();  // the clients go before their answers
    EXPECT_TRUE(mediatest::Within(std::chrono::seconds(5), [] { return MediaRunSlot::Waiting() == 0; }));

    ASSERT_TRUE(send(clients));
    // The listener's release waits for every connection thread: the waiting grabs must not hold it.
    std::future<void> stopped = std::async(std::launch::async, [this] { server.Stop(); });
    const bool prompt = stopped.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(prompt) << "the listener's release waited for the queue";
    EXPECT_EQ(0u, MediaRunSlot::Waiting());
    holders.Release();
    stopped.get();
    // No grab ever ran.
    EXPECT_TRUE(mediatest::ProcessesNaming(movies).empty());
    EXPECT_TRUE(TempFiles().empty());
}

// A box of a pixel or two on a side: the fitted picture keeps at least one pixel a side, from a video frame
// and from a picture alike, and the reply is a JPEG of exactly the box. A side written negative is refused.
TEST_F(ThumbnailRoute, ThinBoxesGiveJpegsOfTheirSizeAndNegativeSidesAreRefused) {
    std::filesystem::create_directories(movies + "/Stills");
    Picture(movies + "/Stills/folder.png", "red", "64x48");
    for (const std::string& target : {std::string("/video/thumbnails/Movies/film.mkv"),
                                      std::string("/video/folder/thumbnail/Movies/Stills/")}) {
        for (const auto& box : std::vector<std::pair<int, int>>{{1, 1}, {1, 100}, {100, 1}}) {
            const std::string size = "width=\"" + std::to_string(box.first) + "\" height=\"" + std::to_string(box.second) + "\"";
            const httptest::Reply reply = Post(target, Body(size, "seconds=\"1\""));
            ASSERT_EQ(200, reply.status) << target << " " << size << ": " << reply.body;
            ASSERT_EQ(0u, reply.body.rfind("\xFF\xD8\xFF", 0)) << "a JPEG";
            const Image image = Decode(reply.body, scratch);
            EXPECT_EQ(box.first, image.width) << target << " " << size;
            EXPECT_EQ(box.second, image.height) << target << " " << size;
        }
    }
    for (const std::string size : {"width=\"-1\"", "height=\"-240\"", "WIDTH=\"-5\" height=\"10\""}) {
        const httptest::Reply reply = Post("/video/thumbnails/Movies/film.mkv", Body(size, ""));
        EXPECT_EQ(404, reply.status) << size;
        EXPECT_EQ(ErrorMsg("Thumbnail size must be 1 to 4096 on each side"), reply.body) << size;
    }
    EXPECT_TRUE(TempFiles().empty());
}

TEST(MediaFactHeaders, ValuesNeverCarryControlBytes) {
    Metadata::Facts facts;
    facts.duration = 12.5;
    facts.width = 1280;
    facts.height = 720;
    facts.video.push_back(StreamInfo{"", "h264", "und", "0"});
    facts.subtitles.push_back(StreamInfo{"en\r\nX-Injected: 1", "external file", "", "film.en\r\nX-Injected: 1.srt"});
    boost::shared_ptr<IMetadata> metadata = Metadata::GetInstance(facts);
    const std::map<std::string, std::string> headers = MediaFactHeaders(*metadata);
    EXPECT_EQ("12.5", headers.at("CA-DurationSeconds"));
    EXPECT_EQ("1", headers.at("CA-SubtitleStreamCount"));
    EXPECT_EQ("0", headers.at("CA-AudioStreamCount"));
    EXPECT_EQ("film.en??X-Injected: 1.srt", headers.at("CA-SubtitleStream.0.id"));
    EXPECT_EQ("en??X-Injected: 1", headers.at("CA-SubtitleStream.0.descr"));
    EXPECT_EQ("h264", headers.at("CA-Calvoro.0.techDescr"));
    EXPECT_EQ(6u + 4u + 4u, headers.size());
}

}  // namespace
