#include "api/HttpListener.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "FakeHttpd.h"
#include "core/Log.h"

namespace {

using apitest::FakeHttpd;
using apitest::FakeRequest;

// The log of this test program goes to a folder of its own, so tests can read what was logged.
class LogFolder : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/calvoro-api-log-XXXXXX";
        folder_ = mkdtemp(pattern);
        setenv("XDG_DATA_HOME", folder_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

private:
    std::string folder_;
};
::testing::Environment* const kLogFolder = ::testing::AddGlobalTestEnvironment(new LogFolder);

TEST(ParseSessionId, ReadsHexAfterTheFirstKey) {
    const struct {
        const char* query;
        uint64_t id;
    } cases[] = {
        {"SessionID=1f", 31},
        {"SessionID=ffffffffffffffff", 18446744073709551615ull},
        {"SessionID=DEADBEEF", 0xdeadbeefull},
        {"a=1&SessionID=10&SessionID=20", 16},
        {"SessionID=1f&x=2", 31},
        {"sessionid=1f", 0},
        {"", 0},
        {"SessionID=", 0},
        {"SessionID=zz", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.id, ParseSessionId(c.query)) << c.query;
}

TEST(RedactSessionId, HidesEveryValueAndKeepsTheRest) {
    const struct {
        const char* query;
        const char* logged;
    } cases[] = {
        {"SessionID=1f2e3d", "SessionID=(hidden)"},
        {"a=1&SessionID=abc&b=2", "a=1&SessionID=(hidden)&b=2"},
        {"SessionID=1&SessionID=2", "SessionID=(hidden)&SessionID=(hidden)"},
        {"SessionID=", "SessionID="},
        {"sessionid=1f&SESSIONID=2e", "sessionid=(hidden)&SESSIONID=(hidden)"},
        {"Session=1f", "Session=1f"},
        {"", ""},
        {"x=SessionID=99", "x=SessionID=(hidden)"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.logged, RedactSessionId(c.query)) << c.query;
}

class RequestLoop : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::WriteFile(kivm::ToUTF8Ex(services.DataFolder()) + "/state.xml",
                               "<CalvoroState><Authorized><UniqueID>ok-device</UniqueID></Authorized></CalvoroState>");
        ASSERT_TRUE(services.state->Load());
        services.Share("Videos", "Movies");
        testsupport::WriteFile(services.temp.file("Videos/a.mkv"), "v");
        authorised = services.state->GetOrCreateSession(L"pad", L"ok-device").SessionId;
        unauthorised = services.state->GetOrCreateSession(L"phone", L"new-device").SessionId;
    }

    FakeRequest Req(const std::string& method, const std::string& path, uint64_t session = 0) {
        FakeRequest r;
        r.method = method;
        r.path = path;
        if (session) r.query = "SessionID=" + numstr::ToStr(session, 16, 0);
        return r;
    }

    // Runs the loop over the script; the replies it wrote.
    std::vector<apitest::FakeReply> Run(std::vector<FakeRequest> script) {
        FakeHttpd fake(&services.context);
        fake.script.assign(script.begin(), script.end());
        HttpListener listener(&fake);
        listener.Run();
        left = fake.script.size();
        return fake.replies;
    }

    std::string Error(const std::string& text) { return "<Calvoro>\n\t<ErrorMsg>" + text + "</ErrorMsg>\n</Calvoro>\n"; }

    apitest::Services services;
    uint64_t authorised = 0;
    uint64_t unauthorised = 0;
    size_t left = 0;  // scripted requests the loop never read
};

TEST_F(RequestLoop, RoutesAndRefusalsGetTheirStatusesAndTexts) {
    const struct {
        FakeRequest request;
        int status;
        std::string body;  // empty: not compared
    } cases[] = {
        {Req("HEAD", "/anything/at/all"), 200, ""},
        {Req("GET", "/video/files/"), 500, Error("Session is not authorized")},
        {Req("GET", "/video/files/", unauthorised), 500, Error("Session is not authorized")},
        {Req("GET", "/video/files/", 0x1234), 500, Error("Session is not authorized")},
        {Req("GET", "/video/files", authorised), 404, Error("Unknown GET URI")},
        {Req("GET", "/nothing", authorised), 404, Error("Unknown GET URI")},
        {Req("GET", "/video/files/", authorised), 200, ""},
        {Req("GET", "/video/files/Movies/", authorised), 200, ""},
        {Req("GET", "/video/files/Nope/", authorised), 404, "Unknown folder: Nope"},
        {Req("get", "/video/files/", authorised), 500, Error("Unknown method: get")},
        {Req("Get", "/video/files/", authorised), 500, Error("Unknown method: Get")},
        {Req("PUT", "/video/files/", authorised), 500, Error("Unknown method: PUT")},
        {Req("POST", "/video/play/x"), 500, Error("Session is not authorized")},
        {Req("POST", "/video/nothing/", authorised), 404, Error("Unknown POST URI")},
        {Req("POST", "/video/announce/and/more"), 500, ""},  // empty body: not XML
    };
    for (const auto& c : cases) {
        const std::vector<apitest::FakeReply> replies = Run({c.request});
        const std::string label = c.request.method + " " + c.request.path + "?" + c.request.query;
        ASSERT_EQ(1u, replies.size()) << label;
        EXPECT_EQ(c.status, replies[0].head.StatusCode) << label;
        EXPECT_EQ(c.status == 200 ? "OK" : "ERR", replies[0].head.StatusText) << label;
        if (!c.body.empty()) {
            EXPECT_EQ(c.body, replies[0].body) << label;
        }
    }
}

TEST_F(RequestLoop, AnUnauthorisedPostHasItsBodyReadFirst) {
    FakeHttpd fake(&services.context);
    FakeRequest post = Req("POST", "/video/play/Movies/a.mkv", unauthorised);
    post.bodyChunks = {"<Play/>"};
    fake.script.push_back(post);
    fake.script.push_back(Req("HEAD", "/"));
    HttpListener listener(&fake);
    listener.Run();
    ASSERT_EQ(2u, fake.replies.size());
    EXPECT_EQ(Error("Session is not authorized"), fake.replies[0].body);
    EXPECT_EQ(200, fake.replies[1].head.StatusCode);
}

TEST_F(RequestLoop, RequestsOnOneConnectionAreAnsweredInOrderAndIdleTurnsWait) {
    FakeRequest idle;
    idle.readResult = NET_WOULDBLOCK;
    const std::vector<apitest::FakeReply> replies =
        Run({Req("GET", "/nothing", authorised), idle, idle, Req("HEAD", "/"), Req("GET", "/video/files/", authorised)});
    ASSERT_EQ(3u, replies.size());
    EXPECT_EQ(404, replies[0].head.StatusCode);
    EXPECT_EQ(200, replies[1].head.StatusCode);
    EXPECT_EQ("<calvoro", replies[2].body.substr(replies[2].body.find("<calvoro"), 8));
}

TEST_F(RequestLoop, TheConnectionEndsWithoutAReplyOnReadErrorsBadHeadsAndShutdown) {
    FakeRequest error;
    error.readResult = NET_ERROR;
    FakeRequest malformed = Req("GET", "/");
    malformed.parses = false;
    for (const FakeRequest& ending : {error, malformed}) {
        EXPECT_TRUE(Run({ending, Req("HEAD", "/")}).empty());
        EXPECT_EQ(1u, left);  // the request after it was never read
    }
    FakeHttpd fake(&services.context);
    fake.script.push_back(Req("HEAD", "/"));
    fake.shutdown = true;
    HttpListener listener(&fake);
    listener.Run();
    EXPECT_TRUE(fake.replies.empty());
    EXPECT_EQ(1u, fake.script.size());
}

TEST_F(RequestLoop, AFailedBodyReadIsAnsweredAndEndsTheConnection) {
    FakeRequest post = Req("POST", "/video/announce/");
    post.bodyChunks = {"<Dev"};
    post.bodyEnd = NET_ERROR;  // e.g. the library's body limit
    const std::vector<apitest::FakeReply> replies = Run({post, Req("HEAD", "/")});
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ(500, replies[0].head.StatusCode);
    EXPECT_EQ(Error("Error reading POST data (in loop)"), replies[0].body);
    EXPECT_EQ(1u, left);
}

// A body the listener broke off (to make room, or for the bytes all connections hold) is counted in the
// listener's own summary lines: the connection ends with no answer and no line but the request's own.
TEST_F(RequestLoop, ABodyTheListenerBrokeOffEndsTheConnectionQuietly) {
    FakeHttpd fake(&services.context);
    FakeRequest post = Req("POST", "/video/announce/");
    post.bodyChunks = {"<Dev"};
    post.bodyEnd = NET_ERROR;
    fake.script = {post, Req("HEAD", "/")};
    fake.endedByListener = true;
    const std::string logPath = kivm::ToUTF8Ex(GetLogFilePath());
    const size_t before = testsupport::ReadFile(logPath).size();
    HttpListener listener(&fake);
    listener.Run();
    EXPECT_TRUE(fake.replies.empty());
    EXPECT_EQ(1u, fake.script.size());  // the request after it was never read
    const std::string log = testsupport::ReadFile(logPath).substr(before);
    EXPECT_NE(std::string::npos, log.find("HTTP Request Method [POST] Path [/video/announce/]")) << log;
    EXPECT_EQ(std::string::npos, log.find("Error reading POST data")) << log;
}

TEST_F(RequestLoop, TheLogShowsEveryRequestButNoSessionId) {
    FakeRequest request = Req("GET", "/video/files/", authorised);
    request.query += "&x=1";
    Run({request});
    const std::string log = testsupport::ReadFile(kivm::ToUTF8Ex(GetLogFilePath()));
    const std::string hex = numstr::ToStr(authorised, 16, 0);
    EXPECT_NE(std::string::npos, log.find("HTTP Request Method [GET] Path [/video/files/] Query [SessionID=(hidden)&x=1]"))
        << log;
    EXPECT_EQ(std::string::npos, log.find(hex));
}

}  // namespace
