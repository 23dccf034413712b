// The HTTP interface of the real server: calvoro -s with a seeded state.xml, driven over loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/HttpTestClient.h"
#include "e2e/E2eServer.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

namespace {

using httptest::Connection;
using httptest::Reply;

const char kAuthorisedId[] = "e2e-authorised-device";
const char kSecret[] = "TOP-SECRET-OUTSIDE-THE-SHARE";

std::string ErrorMsg(const std::string& text) { return "<Calvoro>\n\t<ErrorMsg>" + text + "</ErrorMsg>\n</Calvoro>\n"; }

std::string AnnounceBody(const std::string& name, const std::string& uniqueId) {
    return "<?xml version=\"1.0\"?><Device><Announce><Name>" + name + "</Name><UniqueID>" + uniqueId +
           "</UniqueID><DeviceType>iPad</DeviceType></Announce></Device>";
}

void Touch(const std::string& path) { testsupport::WriteFile(path, "v"); }

// One server for the whole suite: its data folder, its shared tree and its port.
struct Server {
    testsupport::TempDir home;
    std::unique_ptr<testsupport::ServerProcess> process;
    int port = 0;
    std::string movies;
    std::string sessionHex;  // of the device authorised in state.xml

    bool Start() {
        movies = home.path() + "/share/Videos";
        MakeTree();
        port = testsupport::FreePort();
        e2etest::SeedState(home.path(), {{movies, "Movies"}, {home.path() + "/share/Empty", "Tom &amp; Jerry"}},
                           kAuthorisedId, port);
        process.reset(new testsupport::ServerProcess(home.path()));
        return e2etest::StartServing(*process, port);
    }

    void MakeTree() {
        namespace fs = std::filesystem;
        for (const char* folder : {"", "/.thumbs", "/Subs", "/subtitles", "/Season1", "/Season2", "/Season3",
                                   "/Season 4", "/Extras", "/Season1/Deep"})
            fs::create_directories(movies + folder);
        fs::create_directories(home.path() + "/share/Empty");
        for (const char* file : {"/a.avi", "/b.mkv", "/c.mp4", "/d.wmv", "/Tom & Jerry.avi", "/notes.txt",
                                 "/Season1/e1.mkv", "/Season1/e2.mkv", "/Season1/e3.mkv", "/Season1/e4.mkv",
                                 "/Season1/cover.jpg", "/Season 4/e1.mkv", "/Subs/a.srt"})
            Touch(movies + file);
        testsupport::WriteFile(home.path() + "/share/secret.mkv", kSecret);
        testsupport::WriteFile(home.path() + "/secret.txt", kSecret);
    }
};

class HttpE2e : public e2etest::SharedServerTest<Server> {
protected:
    void FirstStarted(Server& started) override {
        Connection client(started.port);
        const Reply reply = client.Request(httptest::Post("/video/announce/", AnnounceBody("Seeded", kAuthorisedId)));
        ASSERT_EQ(200, reply.status) << reply.body;
        const size_t at = reply.body.find("<SessionID>");
        ASSERT_NE(std::string::npos, at);
        started.sessionHex = reply.body.substr(at + 11, reply.body.find('<', at + 11) - at - 11);
    }

    Reply Get(const std::string& target, bool withSession = true) {
        Connection client(server->port);
        const std::string query = target.find('?') == std::string::npos ? "?" : "&";
        return client.Request(httptest::Get(withSession ? target + query + "SessionID=" + server->sessionHex : target));
    }
    Reply Post(const std::string& target, const std::string& body) {
        Connection client(server->port);
        return client.Request(httptest::Post(target, body));
    }
    // A second client gets its answer while something else goes on.
    void ExpectServed() {
        Connection other(server->port);
        const Reply reply = other.Request("HEAD /any HTTP/1.1\r\nHost: h\r\n\r\n", 10000);
        EXPECT_TRUE(reply.ok);
        EXPECT_EQ(200, reply.status);
    }
};

TEST_F(HttpE2e, HeadIsAnEmptyOkOnAnyPathWithoutASession) {
    for (const char* path : {"/", "/video/files/", "/no/such/thing?x=1", "/video/announce/"}) {
        Connection client(server->port);
        const Reply reply = client.Request(std::string("HEAD ") + path + " HTTP/1.1\r\nHost: h\r\n\r\n");
        ASSERT_TRUE(reply.ok) << path;
        EXPECT_EQ(200, reply.status) << path;
        EXPECT_EQ("OK", reply.statusText);
        EXPECT_EQ("0", reply.Header("content-length"));
        EXPECT_EQ("text/plain; charset=UTF8", reply.Header("content-type"));
        EXPECT_EQ("bytes", reply.Header("accept-ranges"));
    }
}

TEST_F(HttpE2e, RequestsWithoutAGoodSessionAreRefused) {
    for (const std::string& target : std::vector<std::string>{"/video/files/", "/video/files/?SessionID=0", "/video/files/?SessionID=123abc",
                                     "/video/files/?sessionid=" + server->sessionHex, "/video/files/?SessionID=zz"}) {
        const Reply reply = Get(target, false);
        ASSERT_TRUE(reply.ok) << target;
        EXPECT_EQ(500, reply.status) << target;
        EXPECT_EQ("ERR", reply.statusText);
        EXPECT_EQ("text/xml; charset=UTF8", reply.Header("content-type"));
        EXPECT_EQ(ErrorMsg("Session is not authorized"), reply.body) << target;
    }
    const Reply post = Post("/video/play/Movies/a.avi", "<Play/>");
    EXPECT_EQ(500, post.status);
    EXPECT_EQ(ErrorMsg("Session is not authorized"), post.body);
}

TEST_F(HttpE2e, UnknownRoutesAndMethods) {
    const Reply files = Get("/video/files");
    EXPECT_EQ(404, files.status);
    EXPECT_EQ(ErrorMsg("Unknown GET URI"), files.body);
    EXPECT_EQ(404, Get("/elsewhere/").status);

    Connection client(server->port);
    const Reply post = client.Request(httptest::Post("/video/nothing/?SessionID=" + server->sessionHex, "x"));
    EXPECT_EQ(404, post.status);
    EXPECT_EQ(ErrorMsg("Unknown POST URI"), post.body);
    for (const char* method : {"PUT", "get", "DELETE"}) {
        const Reply reply = client.Request(std::string(method) + " /video/files/?SessionID=" + server->sessionHex +
                                           " HTTP/1.1\r\nHost: h\r\n\r\n");
        ASSERT_TRUE(reply.ok) << method;
        EXPECT_EQ(500, reply.status) << method;
        EXPECT_EQ(ErrorMsg(std::string("Unknown method: ") + method), reply.body);
    }
}

TEST_F(HttpE2e, PairingGivesAPinThenTheSessionOnceAuthorised) {
    const std::string body = AnnounceBody("Kim's <Phone> & Co", "e2e-new-device");
    const auto start = std::chrono::steady_clock::now();
    const Reply first = Post("/video/announce/", body);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(401, first.status);
    EXPECT_EQ("ERR", first.statusText);
    const size_t pinAt = first.body.find("<PIN>");
    ASSERT_NE(std::string::npos, pinAt) << first.body;
    const uint32_t pin = numstr::ToUint32(first.body.substr(pinAt + 5), 10);
    EXPECT_GE(pin, 1000u);
    EXPECT_LE(pin, 9999u);
    EXPECT_EQ("<Calvoro>\n\t<ErrorMsg>Unauthorized</ErrorMsg>\n\t<PIN>" + std::to_string(pin) + "</PIN>\n</Calvoro>\n",
              first.body);
    EXPECT_EQ(first.body, Post("/video/announce/more/after/the/prefix", body).body);

    // The device authorised in state.xml, with a name holding "&" and "<".
    const Reply admitted = Post("/video/announce/", AnnounceBody("Pad & <Co>", kAuthorisedId));
    ASSERT_EQ(200, admitted.status) << admitted.body;
    EXPECT_EQ("OK", admitted.statusText);
    EXPECT_EQ("<Calvoro>\n\t<SessionID>" + server->sessionHex + "</SessionID>\n<LookupName></LookupName>\n"
              "<VideoSegmentLength>5</VideoSegmentLength>\n<ServerVersion>1.0.3.3</ServerVersion>\n</Calvoro>\n",
              admitted.body);
}

TEST_F(HttpE2e, BadAnnounceBodiesGetTheirErrorTexts) {
    const struct {
        std::string body;
        std::string text;
    } cases[] = {
        {"<Device/>", "Unable to find 'Announce' element"},
        {"<Device><Announce><UniqueID>u</UniqueID></Announce></Device>", "Unable to find 'Name' element"},
        {"<Device><Announce><Name>n</Name></Announce></Device>", "Unable to find 'UniqueID' element"},
    };
    for (const auto& c : cases) {
        const Reply reply = Post("/video/announce/", c.body);
        EXPECT_EQ(500, reply.status);
        EXPECT_EQ(ErrorMsg(c.text), reply.body);
    }
    const Reply junk = Post("/video/announce/", "not <xml & at all");
    EXPECT_EQ(500, junk.status);
    kiv_xml parser;
    std::string error;
    ASSERT_TRUE(parser.parse(junk.body.data(), junk.body.size(), error)) << error << junk.body;
    const xml_element* message = kiv_xml::find_child(*parser.get_parsed_element(), "ErrorMsg", true);
    ASSERT_NE(nullptr, message);
    EXPECT_NE(std::string::npos, message->text.find(" - post data = not <xml & at all")) << message->text;
}

TEST_F(HttpE2e, ABodyThatDoesNotParseTakesAKibibyteOfLog) {
    // Bodies that fail to parse come back in the error text; the log keeps only their first KiB.
    const std::string logFile = server->process->DataFolder() + "/CalvoroLog.txt";
    const uintmax_t before = std::filesystem::file_size(logFile);
    std::string body = "<Device><Announce><Name>";
    while (body.size() < 60000) body += "<Name>";
    for (int i = 0; i < 8; ++i) {
        const Reply reply = Post("/video/announce/", body);
        ASSERT_EQ(500, reply.status);
        EXPECT_NE(std::string::npos, reply.body.find("&lt;Name&gt;&lt;Name&gt;"));  // the reply is not cut
    }
    ASSERT_TRUE(server->process->WaitForLog(" [... cut, 60" , std::chrono::seconds(5)));
    const uintmax_t grown = std::filesystem::file_size(logFile) - before;
    EXPECT_LT(grown, 8u * 3 * 1024) << "grew by " << grown;
    EXPECT_NE(std::string::npos, server->process->LogText().find(" bytes in all]"));
}

struct Listed {
    std::vector<std::string> videos;
    std::vector<std::string> folders;
    std::vector<const xml_element*> folderElements;
};

Listed Children(const xml_element& parent) {
    Listed listed;
    for (const xml_element& child : parent.children) {
        const xml_element* name = kiv_xml::find_child(child, "filename", true);
        EXPECT_NE(nullptr, kiv_xml::find_child(child, "date", true));
        if (child.name == "video") listed.videos.push_back(name ? name->text : "");
        if (child.name == "folder") {
            listed.folders.push_back(name ? name->text : "");
            listed.folderElements.push_back(&child);
        }
    }
    return listed;
}

const xml_element* ParseOrFail(const std::string& text, kiv_xml& parser) {
    std::string error;
    EXPECT_TRUE(parser.parse(text.data(), text.size(), error)) << error << text;
    static const xml_element kNone;
    return parser.get_parsed_element() ? parser.get_parsed_element().get() : &kNone;
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(HttpE2e, ListingsShowVideosAndFoldersWithPreviewsOfThree) {
    const Reply shared = Get("/video/files/");
    ASSERT_EQ(200, shared.status) << shared.body;
    EXPECT_EQ("text/plain; charset=UTF8", shared.Header("content-type"));
    kiv_xml parser;
    std::string error;
    ASSERT_TRUE(parser.parse(shared.body.data(), shared.body.size(), error)) << error;
    ASSERT_EQ("calvoro", parser.get_parsed_element()->name);
    const xml_element* files = kiv_xml::find_child(*parser.get_parsed_element(), "files", true);
    ASSERT_NE(nullptr, files);
    const Listed top = Children(*files);
    EXPECT_EQ((std::vector<std::string>{"Movies", "Tom & Jerry"}), top.folders);
    const Listed preview = Children(*kiv_xml::find_child(*top.folderElements[0], "subItems", true));
    EXPECT_EQ(3u, preview.videos.size());
    EXPECT_EQ(3u, preview.folders.size());
    for (const char* hidden : {".thumbs", "Subs", "subtitles"}) EXPECT_FALSE(Has(preview.folders, hidden));

    const Reply movies = Get("/video/files/Movies/");
    ASSERT_EQ(200, movies.status);
    kiv_xml full;
    ASSERT_TRUE(full.parse(movies.body.data(), movies.body.size(), error)) << error;
    const Listed all = Children(*kiv_xml::find_child(*full.get_parsed_element(), "files", true));
    EXPECT_EQ(5u, all.videos.size());
    EXPECT_TRUE(Has(all.videos, "Tom & Jerry.avi"));
    EXPECT_FALSE(Has(all.videos, "notes.txt"));
    EXPECT_EQ(5u, all.folders.size());  // Season1 to Season3, "Season 4" and Extras
    for (size_t i = 0; i < all.folders.size(); ++i) {
        const xml_element* sub = kiv_xml::find_child(*all.folderElements[i], "subItems", true);
        ASSERT_NE(nullptr, sub) << all.folders[i];
        if (all.folders[i] == "Season1") {
            const Listed season = Children(*sub);
            EXPECT_EQ(3u, season.videos.size());
            EXPECT_EQ((std::vector<std::string>{"Deep"}), season.folders);
        }
    }

    const Reply season = Get("/video/files/Movies/Season1");
    EXPECT_EQ(200, season.status);
    EXPECT_EQ(4u, Children(*kiv_xml::find_child(*ParseOrFail(season.body, full), "files", true)).videos.size());
    // The target is taken as it arrives: a blank names the folder "Season 4", while "%20" stays three
    // characters and names no folder.
    const Reply blank = Get("/video/files/Movies/Season 4");
    EXPECT_EQ(200, blank.status);
    EXPECT_NE(std::string::npos, blank.body.find("e1.mkv")) << blank.body;
    const Reply encoded = Get("/video/files/Movies/Season%204");
    EXPECT_EQ(200, encoded.status);
    EXPECT_EQ(std::string::npos, encoded.body.find("<video>"));
    const Reply unknown = Get("/video/files/Nope/");
    EXPECT_EQ(404, unknown.status);
    EXPECT_EQ("Unknown folder: Nope", unknown.body);
    EXPECT_EQ(500, Get("/video/files/Movies").status);
}

TEST_F(HttpE2e, EveryTraversalProbeIsRefusedOnEveryRoute) {
    const std::vector<std::string> probes = {
        "Movies/../secret.mkv",         "Movies/../../secret.txt",     "Movies/Season1/../../../secret.txt",
        "Movies/..",                    "Movies/../",                   "Movies/..%2f..%2fsecret.txt",
        "Movies/%2e%2e/%2e%2e/secret.txt", "Movies//" + server->home.path() + "/secret.txt",
        "Movies/..\\..\\secret.txt",    "Movies/\xC0\xAE\xC0\xAE/secret.txt", "../secret.txt",
        "../../" + server->home.path().substr(1) + "/secret.txt",
    };
    const std::vector<std::string> getRoutes = {"/video/files/", "/video/direct/", "/video/cache/"};
    const std::vector<std::string> postRoutes = {"/video/play/", "/video/thumbnails/", "/video/folder/thumbnail/",
                                                 "/video/subtitle/", "/video/convert/"};
    for (const std::string& probe : probes) {
        // Percent escapes are never decoded, and empty components are skipped ("Movies//tmp/..." names
        // tmp/... inside the share), so those probes only name files that do not exist; a listing of a
        // missing folder is an empty 200.
        const bool literal = probe.find('%') != std::string::npos || probe.compare(0, 8, "Movies//") == 0;
        for (const std::string& route : getRoutes) {
            const Reply reply = Get(route + probe);
            ASSERT_TRUE(reply.ok) << route << probe;
            if (!literal) {
                EXPECT_EQ(404, reply.status) << route << probe;
            }
            EXPECT_NE(206, reply.status) << route << probe;
            EXPECT_EQ(std::string::npos, reply.body.find(kSecret)) << route << probe;
            EXPECT_EQ(std::string::npos, reply.body.find("<folder>")) << route << probe;
            EXPECT_EQ(std::string::npos, reply.body.find("<video>")) << route << probe;
        }
        for (const std::string& route : postRoutes) {
            Connection client(server->port);
            const Reply reply = client.Request(httptest::Post(route + probe + "?SessionID=" + server->sessionHex, ""));
            ASSERT_TRUE(reply.ok) << route << probe;
            EXPECT_NE(200, reply.status) << route << probe;
            EXPECT_EQ(std::string::npos, reply.body.find(kSecret)) << route << probe;
        }
    }
}

TEST_F(HttpE2e, MalformedHeadsEndOnlyTheirConnection) {
    for (const std::string& head : {std::string("GARBAGE\r\n\r\n"), std::string("GET /x\r\n\r\n"),
                                   std::string("GET /x HTTP/1.1\r\nNo colon here\r\n\r\n"),
                                   std::string("GET /x HTTP/1.1\r\nX: ") + std::string(20000, 'a') + "\r\n\r\n",
                                   std::string("POST /video/announce/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")}) {
        Connection bad(server->port);
        ASSERT_TRUE(bad.Write(head));
        ExpectServed();
        EXPECT_TRUE(bad.ClosedWithin(5000)) << head.substr(0, 40);
    }
    ExpectServed();
}

TEST_F(HttpE2e, ASlowHeadIsCutOffWhileOthersAreServed) {
    Connection slow(server->port);
    const std::string head = "GET /video/files/?SessionID=" + server->sessionHex + " HTTP/1.1\r\nHost: h\r\n\r\n";
    const auto start = std::chrono::steady_clock::now();
    bool closed = false;
    for (size_t i = 0; i < head.size() && !closed; ++i) {
        if (!slow.Write(head.substr(i, 1))) break;
        if (i % 3 == 0) ExpectServed();
        closed = slow.ClosedWithin(1000);
    }
    EXPECT_TRUE(closed || slow.ClosedWithin(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    ExpectServed();
}

TEST_F(HttpE2e, AnOversizedBodyIsRefusedAndEndsItsConnection) {
    Connection big(server->port);
    const std::string body(1000000, 'x');
    big.Write("POST /video/announce/ HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    const Reply reply = big.ReadReply(10000);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(500, reply.status);
    EXPECT_EQ(ErrorMsg("Error reading POST data (in loop)"), reply.body);
    ExpectServed();
    big.Write(body.substr(0, 100000));  // whatever follows is never read as a request
    EXPECT_TRUE(big.ClosedWithin(5000));
    ExpectServed();
}

TEST_F(HttpE2e, TheLogNamesRequestsButNoSessionId) {
    Get("/video/files/?x=1");
    Post("/video/announce/", AnnounceBody("Pad", kAuthorisedId));
    ASSERT_TRUE(server->process->WaitForLog("Path [/video/files/] Query [x=1&SessionID=(hidden)]", std::chrono::seconds(5)))
        << server->process->LogText();
    const std::string log = server->process->LogText();
    const size_t at = log.find(server->sessionHex);
    EXPECT_EQ(std::string::npos, at) << log.substr(at == std::string::npos ? 0 : (at < 200 ? 0 : at - 200), 300);
}

}  // namespace
