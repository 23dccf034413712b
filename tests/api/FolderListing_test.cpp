#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "FakeHttpd.h"
#include "api/HttpListener.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"

namespace {

using apitest::FakeHttpd;

struct Item {
    std::string kind;  // "video" or "folder"
    std::string filename;
    std::string date;
    const xml_element* subItems;
};

std::vector<Item> Items(const xml_element& parent) {
    std::vector<Item> items;
    for (const xml_element& child : parent.children) {
        const xml_element* name = kiv_xml::find_child(child, "filename", true);
        const xml_element* date = kiv_xml::find_child(child, "date", true);
        items.push_back(Item{child.name, name ? name->text : "?", date ? date->text : "?",
                             kiv_xml::find_child(child, "subItems", true)});
    }
    return items;
}

std::set<std::string> Names(const std::vector<Item>& items, const std::string& kind) {
    std::set<std::string> names;
    for (const Item& item : items)
        if (item.kind == kind) names.insert(item.filename);
    return names;
}

bool VideosComeFirst(const std::vector<Item>& items) {
    return std::is_partitioned(items.begin(), items.end(), [](const Item& i) { return i.kind == "video"; });
}

bool IsSubsetOf(const std::set<std::string>& part, const std::set<std::string>& whole) {
    return std::includes(whole.begin(), whole.end(), part.begin(), part.end());
}

class FolderListing : public ::testing::Test {
protected:
    void SetUp() override {
        movies = services.Share("Videos", "Movies");
        for (const char* video : {"a.avi", "b.mkv", "C.MP4", "d.wmv", "e.mov", "Tom & Jerry <1>.avi"})
            testsupport::WriteFile(movies + "/" + video, "v");
        for (const char* other : {"notes.txt", "cover.jpg", "noextension"})
            testsupport::WriteFile(movies + "/" + other, "x");
        for (const char* folder : {".thumbs", "Subs", "SUBTITLES", "subtitles2", "S1", "S2", "S3", "Caf\xC3\xA9"})
            std::filesystem::create_directories(movies + "/" + folder);
        testsupport::WriteFile(movies + "/S1/.intro.mp4", "v");
        for (const char* video : {"e1.mkv", "e2.mkv", "e3.mkv", "e4.mkv"}) testsupport::WriteFile(movies + "/S2/" + video, "v");
        for (const char* folder : {"x1", "x2", "x3", "x4", ".hidden"}) std::filesystem::create_directories(movies + "/S2/" + folder);
        std::filesystem::create_directories(movies + "/S2/x1/deep");
    }

    // Sends one listing and gives its "files" element.
    const xml_element& Files(void (*list)(HttpListener&)) {
        list(listener);
        EXPECT_EQ(1u, fake.replies.size());
        const apitest::FakeReply& reply = fake.Only();
        EXPECT_EQ(200, reply.head.StatusCode);
        EXPECT_EQ("text/plain; charset=UTF8", reply.head.ContentType);
        std::string error;
        EXPECT_TRUE(parser.parse(reply.body.data(), reply.body.size(), error)) << error << reply.body;
        static const xml_element kNone;
        if (!parser.get_parsed_element()) return kNone;
        EXPECT_EQ("calvoro", parser.get_parsed_element()->name);
        const xml_element* files = kiv_xml::find_child(*parser.get_parsed_element(), "files", true);
        return files ? *files : kNone;
    }

    apitest::Services services;
    FakeHttpd fake{&services.context};
    HttpListener listener{&fake};
    kiv_xml parser;
    std::string movies;
};

const std::set<std::string> kMovieVideos{"a.avi", "b.mkv", "C.MP4", "d.wmv", "e.mov", "Tom & Jerry <1>.avi"};
const std::set<std::string> kMovieFolders{"subtitles2", "S1", "S2", "S3", "Caf\xC3\xA9"};

TEST_F(FolderListing, SharedFoldersShowThreeOfEachWithoutHiddenOrSubtitleFolders) {
    services.Share("Empty", "Other");
    const std::vector<Item> shared = Items(Files([](HttpListener& l) { l.ListSharedFolders(); }));
    ASSERT_EQ(2u, shared.size());
    EXPECT_EQ("Movies", shared[0].filename);  // alias order
    EXPECT_EQ("Other", shared[1].filename);
    EXPECT_EQ(19u, shared[0].date.size()) << shared[0].date;  // YYYY-MM-DD HH:MM:SS

    ASSERT_NE(nullptr, shared[0].subItems);
    const std::vector<Item> preview = Items(*shared[0].subItems);
    EXPECT_TRUE(VideosComeFirst(preview));
    EXPECT_EQ(3u, Names(preview, "video").size());
    EXPECT_TRUE(IsSubsetOf(Names(preview, "video"), kMovieVideos));
    EXPECT_EQ(3u, Names(preview, "folder").size());
    EXPECT_TRUE(IsSubsetOf(Names(preview, "folder"), kMovieFolders));
    for (const Item& item : preview) EXPECT_EQ(nullptr, item.subItems) << item.filename;

    ASSERT_NE(nullptr, shared[1].subItems);
    EXPECT_TRUE(shared[1].subItems->children.empty());
}

TEST_F(FolderListing, OneFolderListsEverythingWithPreviewsOfItsFolders) {
    const std::vector<Item> items = Items(Files([](HttpListener& l) { l.ListFolder("Movies/"); }));
    EXPECT_TRUE(VideosComeFirst(items));
    EXPECT_EQ(kMovieVideos, Names(items, "video"));
    EXPECT_EQ(kMovieFolders, Names(items, "folder"));
    for (const Item& item : items) {
        EXPECT_EQ(19u, item.date.size()) << item.filename;
        EXPECT_EQ(item.kind == "folder", item.subItems != nullptr) << item.filename;
        if (item.filename == "S1") {
            EXPECT_EQ(std::set<std::string>{".intro.mp4"}, Names(Items(*item.subItems), "video"));
        }
        if (item.filename == "S2") {
            const std::vector<Item> preview = Items(*item.subItems);
            EXPECT_EQ(3u, Names(preview, "video").size());
            EXPECT_EQ(3u, Names(preview, "folder").size());
            EXPECT_EQ(0u, Names(preview, "folder").count(".hidden"));
            for (const Item& inner : preview) EXPECT_EQ(nullptr, inner.subItems);
        }
    }
}

TEST_F(FolderListing, ASubFolderAndAMissingOneAreListed) {
    const std::vector<Item> s2 = Items(Files([](HttpListener& l) { l.ListFolder("Movies/S2"); }));
    EXPECT_EQ((std::set<std::string>{"e1.mkv", "e2.mkv", "e3.mkv", "e4.mkv"}), Names(s2, "video"));
    EXPECT_EQ((std::set<std::string>{"x1", "x2", "x3", "x4"}), Names(s2, "folder"));

    apitest::Services s;
    FakeHttpd f(&s.context);
    HttpListener l(&f);
    s.Share("Videos", "Movies");
    l.ListFolder("Movies/no such folder");
    EXPECT_EQ(200, f.Only().head.StatusCode);
    EXPECT_NE(std::string::npos, f.Only().body.find("<files")) << f.Only().body;
    EXPECT_EQ(std::string::npos, f.Only().body.find("<folder")) << f.Only().body;
}

TEST_F(FolderListing, UnknownAliasesAndEscapingPathsArePlainText404) {
    const struct {
        const char* rest;
        const char* text;
    } cases[] = {
        {"Nope/", "Unknown folder: Nope"},
        {"movies/", "Unknown folder: movies"},
        {"Movies/..", "Unknown folder: Movies/.."},
        {"Movies/../..", "Unknown folder: Movies/../.."},
        {"Movies/S2/../../../etc", "Unknown folder: Movies/S2/../../../etc"},
        {"Movies/S1\x01", "Unknown folder: Movies/S1\x01"},
    };
    for (const auto& c : cases) {
        apitest::Services s;
        s.Share("Videos", "Movies");
        FakeHttpd f(&s.context);
        HttpListener l(&f);
        l.ListFolder(c.rest);
        ASSERT_EQ(1u, f.replies.size()) << c.rest;
        EXPECT_EQ(404, f.Only().head.StatusCode) << c.rest;
        EXPECT_EQ("ERR", f.Only().head.StatusText);
        EXPECT_EQ("text/plain; charset=UTF8", f.Only().head.ContentType);
        EXPECT_EQ(c.text, f.Only().body);
    }
}

// A name that is not UTF-8 (here Latin-1) would reach the client changed (U+FFFD) and could not be asked
// for again; a control character makes a strict XML parser refuse the whole listing. Such names are left
// out, and the rest of the folder lists as ever.
TEST(FolderListingNames, NamesThatXmlCannotCarryAreLeftOut) {
    apitest::Services s;
    const std::string latin = s.Share("Latin", "Latin");
    for (const char* name : {"caf\xE9.mkv", "bell\x07.mp4", "tab\there.mp4", "del\x7f.avi", "fine \xC3\xA9t\xC3\xA9.mkv"})
        testsupport::WriteFile(latin + "/" + name, "v");
    for (const char* name : {"\xC0 voir", "line\nbreak", "Good"}) std::filesystem::create_directories(latin + "/" + name);
    testsupport::WriteFile(latin + "/Good/\xFF.mp4", "v");
    testsupport::WriteFile(latin + "/Good/ok.mp4", "v");
    FakeHttpd f(&s.context);
    HttpListener l(&f);
    l.ListFolder("Latin/");
    ASSERT_EQ(1u, f.replies.size());
    const std::string& body = f.Only().body;
    EXPECT_TRUE(kivm::IsValidUtf8(body)) << body;
    EXPECT_EQ(std::string::npos, body.find("&#")) << body;
    EXPECT_EQ(std::string::npos, body.find("\xEF\xBF\xBD")) << body;
    kiv_xml parser;
    std::string error;
    ASSERT_TRUE(parser.parse(body.data(), body.size(), error)) << error;
    const xml_element* files = kiv_xml::find_child(*parser.get_parsed_element(), "files", true);
    ASSERT_NE(nullptr, files);
    const std::vector<Item> items = Items(*files);
    EXPECT_EQ(std::set<std::string>{"fine \xC3\xA9t\xC3\xA9.mkv"}, Names(items, "video"));
    EXPECT_EQ(std::set<std::string>{"Good"}, Names(items, "folder"));
    for (const Item& item : items) EXPECT_EQ(19u, item.date.size()) << item.filename;
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ((std::set<std::string>{"ok.mp4"}), Names(Items(*items[1].subItems), "video"));
}

// The order of a file manager: letters without regard to case, digit runs by value, ties by the name
// itself; folders as files. Named pipes and other non-files are never listed.
TEST(FolderListingNames, ListsInNaturalOrderAndOnlyFilesAndFolders) {
    apitest::Services s;
    const std::string season = s.Share("Season", "Season");
    const std::vector<std::string> order = {"a.mkv", "A2.mkv", "a10.mkv", "B 1.mkv", "b 01.mkv", "Episode 2.mkv",
                                            "episode 10.mkv", "Z.mkv", "\xC3\xA9t\xC3\xA9.mkv"};
    for (auto it = order.rbegin(); it != order.rend(); ++it) testsupport::WriteFile(season + "/" + *it, "v");
    for (const char* folder : {"Disc 10", "disc 9", "Disc 1"}) std::filesystem::create_directories(season + "/" + folder);
    ASSERT_EQ(0, mkfifo((season + "/pipe.mp4").c_str(), 0600));
    FakeHttpd f(&s.context);
    HttpListener l(&f);
    l.ListFolder("Season/");
    ASSERT_EQ(1u, f.replies.size());
    kiv_xml parser;
    std::string error;
    ASSERT_TRUE(parser.parse(f.Only().body.data(), f.Only().body.size(), error)) << error;
    std::vector<std::string> videos;
    std::vector<std::string> folders;
    for (const Item& item : Items(*kiv_xml::find_child(*parser.get_parsed_element(), "files", true)))
        (item.kind == "video" ? videos : folders).push_back(item.filename);
    EXPECT_EQ(order, videos);
    EXPECT_EQ((std::vector<std::string>{"Disc 1", "disc 9", "Disc 10"}), folders);
}

TEST_F(FolderListing, ARestWithoutSlashIsLeftToTheRequestLoop) {
    EXPECT_THROW(listener.ListFolder("Movies"), std::out_of_range);
    EXPECT_TRUE(fake.replies.empty());
}

TEST(FolderListingNames, SubtitleFoldersAreKnownInAnyLetterCase) {
    for (const wchar_t* name : {L"subtitles", L"SUBTITLES", L"Subs", L"subs"}) EXPECT_TRUE(HttpListener::IsSubtitleFolder(name));
    for (const wchar_t* name : {L"subtitles2", L"sub", L"my subs", L""}) EXPECT_FALSE(HttpListener::IsSubtitleFolder(name));
}

}  // namespace
