#include <gtest/gtest.h>

#include <string>

#include "FakeHttpd.h"
#include "api/HttpListener.h"
#include "kivlib/ByteSink.h"
#include "kivlib/kiv_xml.h"

namespace {

using apitest::FakeHttpd;

class ReplyWriters : public ::testing::Test {
protected:
    apitest::Services services;
    FakeHttpd fake{&services.context};
    HttpListener listener{&fake};
};

TEST_F(ReplyWriters, HeadReplyIsAnEmptyPlainTextOk) {
    EXPECT_TRUE(listener.SendResponse("", 200, "text/plain; charset=UTF8"));
    const apitest::FakeReply& reply = fake.Only();
    EXPECT_EQ(200, reply.head.StatusCode);
    EXPECT_EQ("OK", reply.head.StatusText);
    EXPECT_EQ("text/plain; charset=UTF8", reply.head.ContentType);
    EXPECT_EQ(0u, reply.head.ContentLength);
    EXPECT_EQ((HttpListener::HeaderMap{{"Accept-Ranges", "bytes"}}), reply.head.Headers);
    EXPECT_TRUE(fake.sendLengths.empty());
}

TEST_F(ReplyWriters, TemplatesGiveTheExactBytesTypesAndStatuses) {
    struct Case {
        bool (*write)(HttpListener&);
        int status;
        const char* statusText;
        const char* contentType;
        const char* body;
    };
    const Case cases[] = {
        {[](HttpListener& l) { return l.SendSuccessMsg("Success", 200); }, 200, "OK", "text/xml; charset=UTF8",
         "<Calvoro>\n\t<SuccessMsg>Success</SuccessMsg>\n</Calvoro>\n"},
        {[](HttpListener& l) { return l.SendErrorMsg("Unknown GET URI", 404); }, 404, "ERR", "text/xml; charset=UTF8",
         "<Calvoro>\n\t<ErrorMsg>Unknown GET URI</ErrorMsg>\n</Calvoro>\n"},
        {[](HttpListener& l) { return l.SendStreamError("No stream"); }, 500, "ERR", "text/xml; charset=UTF8",
         "<Calvoro>\n\t<StreamRequestResponse>\n\t\t<ErrorMsg>No stream</ErrorMsg>\n\t</StreamRequestResponse>\n"
         "</Calvoro>\n"},
        {[](HttpListener& l) { return l.SendStreamUrl("http://h:1/video/x?SessionID=1f"); }, 200, "OK",
         "text/xml; charset=UTF8",
         "<Calvoro>\n\t<StreamRequestResponse>\n\t\t<URL>http://h:1/video/x?SessionID=1f</URL>\n"
         "\t</StreamRequestResponse>\n</Calvoro>\n"},
        {[](HttpListener& l) { return l.SendText("plain", 404); }, 404, "ERR", "text/plain; charset=UTF8", "plain"},
        {[](HttpListener& l) { return l.SendXml("<a/>", 401); }, 401, "ERR", "text/xml; charset=UTF8", "<a/>"},
    };
    for (const Case& c : cases) {
        apitest::Services services;
        FakeHttpd fake(&services.context);
        HttpListener listener(&fake);
        EXPECT_TRUE(c.write(listener)) << c.body;
        ASSERT_EQ(1u, fake.replies.size()) << c.body;
        const apitest::FakeReply& reply = fake.Only();
        EXPECT_EQ(c.status, reply.head.StatusCode) << c.body;
        EXPECT_EQ(c.statusText, reply.head.StatusText) << c.body;
        EXPECT_EQ(c.contentType, reply.head.ContentType) << c.body;
        EXPECT_EQ(c.body, reply.body);
        EXPECT_EQ(reply.body.size(), reply.head.ContentLength) << c.body;
        EXPECT_EQ("bytes", reply.head.Headers.at("Accept-Ranges")) << c.body;
    }
}

TEST_F(ReplyWriters, InsertedTextIsEscapedSoEveryReplyParses) {
    ASSERT_TRUE(listener.SendErrorMsg("Cannot open Tom & Jerry <2>.avi", 404));
    const std::string& body = fake.Only().body;
    EXPECT_EQ("<Calvoro>\n\t<ErrorMsg>Cannot open Tom &amp; Jerry &lt;2&gt;.avi</ErrorMsg>\n</Calvoro>\n", body);
    kiv_xml parser;
    std::string error;
    ASSERT_TRUE(parser.parse(body.data(), body.size(), error)) << error;
    const xml_element* message = kiv_xml::find_child(*parser.get_parsed_element(), "ErrorMsg", true);
    ASSERT_NE(nullptr, message);
    EXPECT_EQ("Cannot open Tom & Jerry <2>.avi", message->text);
}

TEST_F(ReplyWriters, ARetriedSendGoesOnWhereItWas) {
    fake.wouldBlockBeforeEachSend = 2;
    EXPECT_TRUE(listener.SendText(std::string(10000, 'x'), 200));
    EXPECT_EQ(std::string(10000, 'x'), fake.Only().body);
    EXPECT_FALSE(listener.ConnectionMustClose());
}

TEST_F(ReplyWriters, AClientThatClosesHalfWayGivesFalseAndEndsTheConnection) {
    fake.clientTakes = 4000;
    EXPECT_FALSE(listener.SendText(std::string(10000, 'x'), 200));
    EXPECT_EQ(4000u, fake.Only().body.size());
    EXPECT_TRUE(listener.ConnectionMustClose());
}

// A produced body goes out in pieces as it is written, exactly as long as its head says; a producer
// that writes other bytes the second time never makes the reply longer than announced.
TEST_F(ReplyWriters, AProducedBodyGoesOutInPiecesAndNeverPastItsLength) {
    std::string expected;
    EXPECT_TRUE(listener.SendProducedText(
        [&expected](IByteSink& out) {
            expected.clear();
            for (int i = 0; i < 20000; ++i) {
                const std::string line = "line " + std::to_string(i) + "\n";
                out.Write(line.data(), line.size());
                expected += line;
            }
            const std::string large(200 * 1024, 'L');
            out.Write(large.data(), large.size());
            expected += large;
        },
        200));
    EXPECT_EQ(expected.size(), fake.Only().head.ContentLength);
    EXPECT_EQ(expected, fake.Only().body);
    EXPECT_EQ("text/plain; charset=UTF8", fake.Only().head.ContentType);
    EXPECT_GT(fake.sendLengths.size(), 3u);
    for (size_t i = 0; i + 1 < fake.sendLengths.size(); ++i) EXPECT_LE(fake.sendLengths[i], 64u * 1024) << i;

    for (const size_t second : {size_t(50), size_t(150)}) {
        apitest::Services s;
        FakeHttpd f(&s.context);
        HttpListener l(&f);
        int run = 0;
        EXPECT_FALSE(l.SendProducedText(
            [&run, second](IByteSink& out) {
                const std::string body(run++ == 0 ? 100 : second, 'x');
                out.Write(body.data(), body.size());
            },
            200));
        EXPECT_EQ(100u, f.Only().head.ContentLength);
        EXPECT_LE(f.Only().body.size(), 100u);
        EXPECT_TRUE(l.ConnectionMustClose()) << second;
    }
}

TEST_F(ReplyWriters, FailuresAreReportedNotThrown) {
    {
        apitest::Services s;
        FakeHttpd f(&s.context);
        f.setHeadersResult = false;
        HttpListener l(&f);
        EXPECT_FALSE(l.SendSuccessMsg("x", 200));
        EXPECT_TRUE(f.replies.empty());
        EXPECT_FALSE(l.ConnectionMustClose());  // nothing went out, the connection is still sound
    }
    {
        apitest::Services s;
        FakeHttpd f(&s.context);
        f.sendHeadersResult = NET_ERROR;
        HttpListener l(&f);
        EXPECT_FALSE(l.SendSuccessMsg("x", 200));
        EXPECT_TRUE(l.ConnectionMustClose());
    }
    {
        apitest::Services s;
        FakeHttpd f(&s.context);
        f.sendFailure = NET_ERROR;
        HttpListener l(&f);
        EXPECT_FALSE(l.SendSuccessMsg("x", 200));
        EXPECT_TRUE(l.ConnectionMustClose());
    }
}

TEST_F(ReplyWriters, AClientThatNeverReadsIsGivenUp) {
    fake.wouldBlockBeforeEachSend = 1000000;
    EXPECT_FALSE(listener.SendText("abc", 200));
    EXPECT_TRUE(listener.ConnectionMustClose());
}

TEST_F(ReplyWriters, OneRequestGetsOneReplyHeadAtMost) {
    EXPECT_TRUE(listener.SendText("first", 200));
    EXPECT_FALSE(listener.SendErrorMsg("second", 500));
    EXPECT_EQ(1u, fake.replies.size());
    EXPECT_EQ(1, fake.setHeadersCalls);
    EXPECT_TRUE(listener.ConnectionMustClose());
}

}  // namespace
