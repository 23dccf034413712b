#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeHttpd.h"
#include "api/HttpListener.h"
#include "kivlib/kiv_text.h"

namespace {

using apitest::FakeHttpd;
using apitest::FakeRequest;

class RequestPath : public ::testing::Test {
protected:
    // Makes the fake hold one request with these body chunks, read so ReadBody works on it.
    void Body(std::vector<std::string> chunks, net_result end = NET_DONE) {
        FakeRequest request;
        request.method = "POST";
        request.bodyChunks = std::move(chunks);
        request.bodyEnd = end;
        fake.script.push_back(request);
        fake.ReadRequest(0);
    }

    std::string Thrown(const std::string& rest) {
        try {
            listener.ResolvePath(rest);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(nothing thrown)";
    }

    apitest::Services services;
    FakeHttpd fake{&services.context};
    HttpListener listener{&fake};
};

TEST_F(RequestPath, ABodyInChunksOfAnySizeComesBackWhole) {
    std::string expected;
    std::vector<std::string> chunks;
    for (size_t size : {1u, 4096u, 4097u, 17u, 883u}) {
        chunks.push_back(std::string(size, static_cast<char>('a' + chunks.size())));
        expected += chunks.back();
    }
    chunks.push_back(std::string("\0\xff\r\n", 4));  // binary-safe
    expected += chunks.back();
    Body(chunks);
    EXPECT_EQ(expected, listener.ReadPostBody());
}

TEST_F(RequestPath, AnEmptyBodyIsEmpty) {
    Body({});
    EXPECT_EQ("", listener.ReadPostBody());
}

TEST_F(RequestPath, BodyFailuresThrowTheirTexts) {
    const struct {
        net_result end;
        bool shutdown;
        const char* text;
    } cases[] = {
        {NET_ERROR, false, "Error reading POST data (in loop)"},
        {NET_WOULDBLOCK, false, "Error reading POST data"},
        {NET_DONE, true, "Error reading POST data"},
    };
    for (const auto& c : cases) {
        apitest::Services s;
        FakeHttpd f(&s.context);
        HttpListener l(&f);
        FakeRequest request;
        request.bodyChunks = {"partial"};
        request.bodyEnd = c.end;
        f.script.push_back(request);
        f.ReadRequest(0);
        f.shutdown = c.shutdown;
        try {
            l.ReadPostBody();
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(c.text, e.what());
        }
    }
}

TEST_F(RequestPath, ResolvesAliasAndSubPathToAnExistingPath) {
    const std::string movies = services.Share("Videos", "Movies");
    std::filesystem::create_directories(movies + "/Season 1");
    testsupport::WriteFile(movies + "/Season 1/ep1.mkv", "x");
    EXPECT_EQ(kivm::FromUTF8ExW(movies + "/Season 1/ep1.mkv"), listener.ResolvePath("Movies/Season 1/ep1.mkv"));
    EXPECT_EQ(kivm::FromUTF8ExW(movies + "/"), listener.ResolvePath("Movies/"));
    // Clients join "listing path + / + name": a doubled "/" names the same file anywhere in the rest.
    testsupport::WriteFile(movies + "/clip.mp4", "x");
    EXPECT_EQ(kivm::FromUTF8ExW(movies + "/clip.mp4"), listener.ResolvePath("Movies//clip.mp4"));
    EXPECT_EQ(kivm::FromUTF8ExW(movies + "/Season 1/ep1.mkv"), listener.ResolvePath("Movies/Season 1//ep1.mkv"));
    EXPECT_EQ(kivm::FromUTF8ExW(movies + "/Season 1/ep1.mkv"), listener.ResolvePath("Movies///Season 1/ep1.mkv"));
}

TEST_F(RequestPath, UnknownOrMissingPathsThrowTheirTexts) {
    const std::string movies = services.Share("Videos", "Movies");
    EXPECT_EQ("Unable to find root folder in Movies", Thrown("Movies"));
    EXPECT_EQ("Unable to find root folder Nope", Thrown("Nope/a.mkv"));
    EXPECT_EQ("Unable to find root folder movies", Thrown("movies/a.mkv"));
    EXPECT_EQ("Cannot open Movies/missing.mkv", Thrown("Movies/missing.mkv"));
}

TEST_F(RequestPath, TraversalIsRefusedLikeAMissingFileEvenWhenTheTargetExists) {
    const std::string movies = services.Share("share/Videos", "Movies");
    testsupport::WriteFile(services.temp.file("secret.txt"), "secret");
    testsupport::WriteFile(services.temp.file("share/outside.mkv"), "x");
    for (const std::string& rest : std::vector<std::string>{"Movies/../../secret.txt", "Movies/../outside.mkv", "Movies/..",
                                   "Movies/a/../../outside.mkv", "Movies/..\\outside.mkv",
                                   std::string("Movies//") + services.temp.file("secret.txt"),
                                   std::string("Movies/x\0/../../secret.txt", 26), "Movies/\xC0\xAE\xC0\xAE/secret.txt"}) {
        EXPECT_EQ(std::string(("Cannot open " + rest).c_str()), Thrown(rest)) << rest;  // what() ends at a NUL
    }
}

TEST_F(RequestPath, SymbolicLinksInsideASharedFolderAreFollowed) {
    const std::string movies = services.Share("Videos", "Movies");
    std::filesystem::create_directories(services.temp.file("elsewhere"));
    testsupport::WriteFile(services.temp.file("elsewhere/clip.mp4"), "x");
    ASSERT_EQ(0, symlink(services.temp.file("elsewhere").c_str(), (movies + "/linked").c_str()));
    EXPECT_EQ(kivm::FromUTF8ExW(movies + "/linked/clip.mp4"), listener.ResolvePath("Movies/linked/clip.mp4"));
}

}  // namespace
