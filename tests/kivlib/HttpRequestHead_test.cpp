#include "kivlib/HttpRequestHead.h"

#include <gtest/gtest.h>

namespace {

using kivhttp::HttpRequestHead;
using kivhttp::ParseRequestHead;

struct TargetCase {
    std::string target;
    std::string path;
    std::string query;
};

TEST(HttpRequestHead, SplitsTargetWithoutDecoding) {
    const TargetCase cases[] = {
        {"/video/files/", "/video/files/", ""},
        {"/video/files/Movies%20A/?SessionID=1f&x=%41", "/video/files/Movies%20A/", "SessionID=1f&x=%41"},
        {"/a?b?c", "/a", "b?c"},
        {"/q?", "/q", ""},
        {"/caf\xC3\xA9/%2e%2e/x", "/caf\xC3\xA9/%2e%2e/x", ""},
        {"http://host:8683/abs/p?x=1", "/abs/p", "x=1"},
        {"HTTP://host?x=1", "/", "x=1"},
    };
    for (const auto& c : cases) {
        HttpRequestHead head;
        std::string error;
        ASSERT_TRUE(ParseRequestHead("GET " + c.target + " HTTP/1.1", head, error)) << c.target << ": " << error;
        EXPECT_EQ(head.Method, "GET");
        EXPECT_EQ(head.Target, c.target);
        EXPECT_EQ(head.Path, c.path) << c.target;
        EXPECT_EQ(head.Query, c.query) << c.target;
    }
}

TEST(HttpRequestHead, FindsHeadersWithoutRegardToCaseAndTrimsValues) {
    HttpRequestHead head;
    std::string error;
    ASSERT_TRUE(ParseRequestHead("GET / HTTP/1.1\r\nHost: a:1\r\nRANGE: \t bytes=0-9 \t\r\nX-Empty:\r\n"
                                 "X-Twice: first\r\nx-twice: second",
                                 head, error))
        << error;
    std::string value;
    EXPECT_TRUE(head.FindHeader("range", value));
    EXPECT_EQ(value, "bytes=0-9");
    EXPECT_TRUE(head.FindHeader("host", value));
    EXPECT_EQ(value, "a:1");
    EXPECT_TRUE(head.FindHeader("X-Empty", value));
    EXPECT_EQ(value, "");
    EXPECT_TRUE(head.FindHeader("X-TWICE", value));
    EXPECT_EQ(value, "first");
    value = "stale";
    EXPECT_FALSE(head.FindHeader("Cookie", value));
    EXPECT_EQ(value, "");
}

TEST(HttpRequestHead, TargetKeepsItsBlanksAsTheyCame) {
    HttpRequestHead head;
    std::string error;
    ASSERT_TRUE(ParseRequestHead("GET /video/files/Movies/Season 4/?SessionID=1f HTTP/1.1\r\nHost: x", head, error))
        << error;
    EXPECT_EQ(head.Path, "/video/files/Movies/Season 4/");
    EXPECT_EQ(head.Query, "SessionID=1f");
}

struct MalformedCase {
    const char* head;
    const char* error;
};

TEST(HttpRequestHead, RefusesMalformedHeads) {
    const MalformedCase cases[] = {
        {"", "Malformed request line"},
        {"GET /", "Malformed request line"},
        {"GET  / HTTP/1.1", "Malformed request line"},
        {"GET / HTTP/1.1 extra", "Unsupported HTTP version"},
        {"GET /a  HTTP/1.1", "Malformed request line"},
        {"G(T / HTTP/1.1", "Malformed request method"},
        {"GET / HTTP/2.0", "Unsupported HTTP version"},
        {"GET / http/1.1", "Unsupported HTTP version"},
        {"GET / HTTP/1.10", "Unsupported HTTP version"},
        {"GET /a\x01 HTTP/1.1", "Control character in request target"},
        {"GET / HTTP/1.1\r\nNoColon", "Header line without a colon"},
        {"GET / HTTP/1.1\r\nName : v", "Malformed header name"},
        {"GET / HTTP/1.1\r\n: v", "Malformed header name"},
        {"GET / HTTP/1.1\r\nA: b\r\n folded", "Folded header line"},
        {"GET / HTTP/1.1\r\nA: b\x7f", "Control character in header A"},
        {"GET / HTTP/1.1\r\nA: b\nB: c", "Control character in header A"},
        {"GET / HTTP/1.1\r\nContent-Length: abc", "Bad Content-Length"},
        {"GET / HTTP/1.1\r\nContent-Length: -1", "Bad Content-Length"},
        {"GET / HTTP/1.1\r\nContent-Length: ", "Bad Content-Length"},
        {"GET / HTTP/1.1\r\nContent-Length: 18446744073709551616", "Bad Content-Length"},
        {"GET / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6", "Bad Content-Length"},
        {"GET / HTTP/1.1\r\nContent-Length: 5, 5", "Bad Content-Length"},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked", "Transfer-Encoding is not supported"},
    };
    for (const auto& c : cases) {
        HttpRequestHead head;
        std::string error;
        int status = 0;
        EXPECT_FALSE(ParseRequestHead(c.head, head, error, &status)) << c.head;
        EXPECT_EQ(error, c.error) << c.head;
        // A body framed by Transfer-Encoding calls for 411, everything else for 400.
        EXPECT_EQ(std::string(c.error) == "Transfer-Encoding is not supported" ? 411 : 400, status) << c.head;
    }
}

TEST(HttpRequestHead, NotesAClientThatWaitsForContinue) {
    const struct {
        const char* head;
        bool expects;
    } cases[] = {
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5", true},
        {"POST / HTTP/1.1\r\nexpect: 100-Continue\r\nContent-Length: 5", true},
        {"POST / HTTP/1.1\r\nContent-Length: 5", false},
        {"POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 5", false},  // HTTP/1.0 has no 100
        {"POST / HTTP/1.1\r\nExpect: something-else\r\nContent-Length: 5", false},
    };
    for (const auto& c : cases) {
        HttpRequestHead head;
        std::string error;
        int status = -1;
        ASSERT_TRUE(ParseRequestHead(c.head, head, error, &status)) << c.head << ": " << error;
        EXPECT_EQ(0, status);
        EXPECT_EQ(c.expects, head.ExpectsContinue) << c.head;
    }
}

struct FramingCase {
    const char* head;
    uint64_t contentLength;
    bool keepAlive;
};

TEST(HttpRequestHead, WorksOutBodyLengthAndKeepAlive) {
    const FramingCase cases[] = {
        {"GET / HTTP/1.1", 0, true},
        {"POST / HTTP/1.1\r\nContent-Length: 0042", 42, true},
        {"POST / HTTP/1.1\r\nContent-Length: 7\r\ncontent-length: 7", 7, true},
        {"POST / HTTP/1.1\r\nContent-Length: 18446744073709551615", UINT64_MAX, true},
        {"GET / HTTP/1.1\r\nConnection: close", 0, false},
        {"GET / HTTP/1.1\r\nConnection: Upgrade, CLOSE", 0, false},
        {"GET / HTTP/1.0", 0, false},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive", 0, true},
        {"GET / HTTP/1.0\r\nConnection: keep-alive, close", 0, false},
    };
    for (const auto& c : cases) {
        HttpRequestHead head;
        std::string error;
        ASSERT_TRUE(ParseRequestHead(c.head, head, error)) << c.head << ": " << error;
        EXPECT_EQ(head.ContentLength, c.contentLength) << c.head;
        EXPECT_EQ(head.KeepAlive, c.keepAlive) << c.head;
    }
}

}  // namespace
