#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "FakeHttpd.h"
#include "api/HttpListener.h"
#include "kivlib/kiv_text.h"

namespace {

using apitest::FakeHttpd;

// Bytes that differ from one offset to the next, so a shifted or repeated block shows.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return bytes;
}

class FileSender : public ::testing::Test {
protected:
    void SetUp() override {
        content = Pattern(1000000);
        testsupport::WriteFile(services.temp.file("film.avi"), content);
        path = kivm::FromUTF8ExW(services.temp.file("film.avi"));
    }

    apitest::Services services;
    FakeHttpd fake{&services.context};
    HttpListener listener{&fake};
    std::string content;
    std::wstring path;
};

TEST_F(FileSender, RangesGiveTheFilesOwnBytesWithTheirHead) {
    const struct {
        uint64_t from, to;
        int status;
        uint64_t first, length;
        const char* contentRange;
    } cases[] = {
        {0, 0, 200, 0, 1000000, "bytes 0-999999/1000000"},
        {100, 199, 206, 100, 100, "bytes 100-199/1000000"},
        {0, 9999, 206, 0, 10000, "bytes 0-9999/1000000"},
        {999999, 999999, 206, 999999, 1, "bytes 999999-999999/1000000"},
        {123457, 654320, 206, 123457, 530864, "bytes 123457-654320/1000000"},
        {999000, 5000000, 206, 999000, 1000, "bytes 999000-999999/1000000"},  // clamped
    };
    for (const auto& c : cases) {
        apitest::Services s;
        FakeHttpd f(&s.context);
        HttpListener l(&f);
        l.SendFileRange("film.avi", path, nullptr, c.from, c.to);
        ASSERT_EQ(1u, f.replies.size());
        const apitest::FakeReply& reply = f.Only();
        EXPECT_EQ(c.status, reply.head.StatusCode) << c.contentRange;
        EXPECT_EQ("OK", reply.head.StatusText);
        EXPECT_EQ("application/octet-stream", reply.head.ContentType);
        EXPECT_EQ(c.length, reply.head.ContentLength) << c.contentRange;
        EXPECT_EQ(c.contentRange, reply.head.Headers.at("Content-Range"));
        EXPECT_EQ("bytes", reply.head.Headers.at("Accept-Ranges"));
        EXPECT_TRUE(reply.body == content.substr(c.first, c.length)) << c.contentRange;
        EXPECT_FALSE(l.ConnectionMustClose());
    }
}

TEST_F(FileSender, UnsatisfiableRangesGet416WithTheSize) {
    for (const auto& range : {std::make_pair<uint64_t, uint64_t>(1000000, 1000005),
                              std::make_pair<uint64_t, uint64_t>(500, 100)}) {
        apitest::Services s;
        FakeHttpd f(&s.context);
        HttpListener l(&f);
        l.SendFileRange("film.avi", path, nullptr, range.first, range.second);
        ASSERT_EQ(1u, f.replies.size());
        EXPECT_EQ(416, f.Only().head.StatusCode);
        EXPECT_EQ(0u, f.Only().head.ContentLength);
        EXPECT_EQ("bytes */1000000", f.Only().head.Headers.at("Content-Range"));
        EXPECT_TRUE(f.Only().body.empty());
        EXPECT_FALSE(l.ConnectionMustClose());
    }
}

TEST_F(FileSender, AnEmptyFileIsSentWholeWithoutContentRange) {
    testsupport::WriteFile(services.temp.file("empty.avi"), "");
    listener.SendFile("empty.avi", kivm::FromUTF8ExW(services.temp.file("empty.avi")));
    const apitest::FakeReply& reply = fake.Only();
    EXPECT_EQ(200, reply.head.StatusCode);
    EXPECT_EQ(0u, reply.head.ContentLength);
    EXPECT_EQ(0u, reply.head.Headers.count("Content-Range"));
    EXPECT_TRUE(fake.sendLengths.empty());
}

TEST_F(FileSender, ExtraHeadersStandBesideTheRangeHeaders) {
    HttpListener::HeaderMap extra{{"Duration", "61"}, {"Accept-Ranges", "none"}};
    listener.SendFileWithHeaders("film.avi", path, extra);
    const HttpListener::HeaderMap& headers = fake.Only().head.Headers;
    EXPECT_EQ("61", headers.at("Duration"));
    EXPECT_EQ("bytes", headers.at("Accept-Ranges"));  // ours wins over a caller's copy
    EXPECT_EQ("bytes 0-999999/1000000", headers.at("Content-Range"));
}

TEST_F(FileSender, AMissingFileThrowsBeforeAnyHead) {
    try {
        listener.SendFile("gone.avi", kivm::FromUTF8ExW(services.temp.file("gone.avi")));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Cannot open gone.avi", e.what());
    }
    EXPECT_EQ(0, fake.setHeadersCalls);
    EXPECT_FALSE(listener.ConnectionMustClose());
}

TEST_F(FileSender, AClientThatLeavesMidFileEndsTheConnectionWithoutASecondHead) {
    fake.clientTakes = 300000;
    try {
        listener.SendFile("film.avi", path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Client disconnected in the middle of sending file", e.what());
    }
    EXPECT_TRUE(listener.ConnectionMustClose());
    // The route's error reply that follows must not put a second head on the wire.
    EXPECT_FALSE(listener.SendErrorMsg("Client disconnected in the middle of sending file", 404));
    EXPECT_EQ(1u, fake.replies.size());
    EXPECT_TRUE(fake.Only().body == content.substr(0, 300000));
}

TEST_F(FileSender, ASendErrorNamesTheLibraryError) {
    fake.sendFailure = NET_ERROR;
    try {
        listener.SendFile("film.avi", path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Error sending body: fake failure", e.what());
    }
    EXPECT_TRUE(listener.ConnectionMustClose());
}

TEST_F(FileSender, AFileShorterThanAnnouncedEndsTheConnection) {
    // The plan is made from the size at open; the file shrinks before the body is read.
    struct Shrinking : FakeHttpd {
        using FakeHttpd::FakeHttpd;
        std::string file;
        net_result SendHeaders(uint32_t ms) override {
            testsupport::WriteFile(file, "tiny");
            return FakeHttpd::SendHeaders(ms);
        }
    } shrinking(&services.context);
    shrinking.file = services.temp.file("film.avi");
    HttpListener l(&shrinking);
    EXPECT_THROW(l.SendFile("film.avi", path), std::runtime_error);
    EXPECT_EQ(1000000u, shrinking.Only().head.ContentLength);
    EXPECT_EQ("tiny", shrinking.Only().body);
    EXPECT_TRUE(l.ConnectionMustClose());
}

TEST_F(FileSender, AShutdownStopsTheBodyQuietly) {
    const std::string large = Pattern(8 * 1024 * 1024 + 5);  // more than one send block
    testsupport::WriteFile(services.temp.file("large.avi"), large);
    fake.shutdownAfterSends = 1;
    EXPECT_NO_THROW(listener.SendFile("large.avi", kivm::FromUTF8ExW(services.temp.file("large.avi"))));
    EXPECT_EQ(1u, fake.sendLengths.size());
    EXPECT_EQ(large.size(), fake.Only().head.ContentLength);
    EXPECT_LT(fake.Only().body.size(), large.size());
    EXPECT_TRUE(fake.Only().body == large.substr(0, fake.Only().body.size()));
    EXPECT_TRUE(listener.ConnectionMustClose());
}

TEST_F(FileSender, TheHeadFailuresThrowTheirTexts) {
    fake.setHeadersResult = false;
    try {
        listener.SendFile("film.avi", path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("SetHeaders failed", e.what());
    }
    apitest::Services s;
    FakeHttpd f(&s.context);
    f.sendHeadersResult = NET_ERROR;
    HttpListener l(&f);
    try {
        l.SendFile("film.avi", path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("SendHeaders failed", e.what());
    }
    EXPECT_TRUE(l.ConnectionMustClose());
}

}  // namespace
