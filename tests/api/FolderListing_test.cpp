#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
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
        // What no listing shows is not listed when asked for by name.
        {"Movies/.hidden", "Unknown folder: Movies/.hidden"},
        {"Movies/S1/Subs", "Unknown folder: Movies/S1/Subs"},
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

// A large folder's reply is written as it goes out, in pieces, and is whole and in order.
TEST(FolderListingNames, ALargeFolderGoesOutInPiecesWhole) {
    apitest::Services s;
    const std::string big = s.Share("Big", "Big");
    const int count = 3000;
    for (int i = 0; i < count; ++i) {
        const std::string name = "clip " + std::to_string(i) + ".mp4";
        std::ofstream(big + "/" + name).put('v');
    }
    FakeHttpd f(&s.context);
    HttpListener l(&f);
    l.ListFolder("Big/");
    ASSERT_EQ(1u, f.replies.size());
    EXPECT_EQ(f.Only().head.ContentLength, f.Only().body.size());
    EXPECT_GT(f.sendLengths.size(), 2u);
    for (size_t length : f.sendLengths) EXPECT_LE(length, 64u * 1024);
    kiv_xml parser;
    std::string error;
    ASSERT_TRUE(parser.parse(f.Only().body.data(), f.Only().body.size(), error)) << error;
    const std::vector<Item> items = Items(*kiv_xml::find_child(*parser.get_parsed_element(), "files", true));
    ASSERT_EQ(static_cast<size_t>(count), items.size());
    for (int i = 0; i < count; ++i) EXPECT_EQ("clip " + std::to_string(i) + ".mp4", items[i].filename);
}

TEST_F(FolderListing, ARestWithoutSlashIsLeftToTheRequestLoop) {
    EXPECT_THROW(listener.ListFolder("Movies"), std::out_of_range);
    EXPECT_TRUE(fake.replies.empty());
}

TEST(FolderListingNames, SubtitleFoldersAreKnownInAnyLetterCase) {
    for (const wchar_t* name : {L"subtitles", L"SUBTITLES", L"Subs", L"subs"}) EXPECT_TRUE(HttpListener::IsSubtitleFolder(name));
    for (const wchar_t* name : {L"subtitles2", L"sub", L"my subs", L""}) EXPECT_FALSE(HttpListener::IsSubtitleFolder(name));
}

// Byte for byte what the listings have always sent for awkward names: markup characters, quotes,
// leading blanks, characters beyond ASCII, previews cut at three, empty folders. The dates are fixed
// (modification times set, the clock read in UTC), so the whole reply is known.
class FolderListingBytes : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        if (tz) savedTz_ = tz;
        hadTz_ = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
        root = services.Share("Awkward", "Films & <Series> \"1\"");
        times_.emplace_back(root, 1690000000);
        const char* videos[] = {"Tom & Jerry <1>.avi", "quote \"it's\".mkv", "a]]>b.mp4", " leading space.mp4",
                                "back\\slash.MP4", "Episode 10.mkv", "episode 2.mkv", ".intro.mp4",
                                "caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x8E\xAC.mov", "&amp;.wmv", "notes.txt"};
        const char* folders[] = {"A & B", "<dir>", "Empty", "Deep", ".hidden", "Subs", "x\"y'z", "\xC3\x89t\xC3\xA9 2"};
        int step = 0;
        for (const char* name : videos) Make(root + "/" + name, false, step++);
        for (const char* name : folders) Make(root + "/" + name, true, step++);
        for (const char* name : {"d4.mkv", "d1.mkv", "d3.mkv", "d2 <x>.mkv"}) Make(root + "/Deep/" + name, false, step++);
        for (const char* name : {"F4", "F1", "F3", ".f0", "F2 & co"}) Make(root + "/Deep/" + name, true, step++);
        Make(root + "/A & B/in \"A\".mp4", false, step++);
        // Times last, so that making entries inside a folder leaves its own time as set.
        for (const auto& [path, when] : times_) SetTime(path, when);
    }
    void TearDown() override {
        if (hadTz_) setenv("TZ", savedTz_.c_str(), 1); else unsetenv("TZ");
        tzset();
    }

    void Make(const std::string& path, bool folder, int step) {
        if (folder) std::filesystem::create_directories(path); else testsupport::WriteFile(path, "v");
        times_.emplace_back(path, 1700000000 + step * 90061);  // a day, an hour, a minute and a second apart
    }
    static void SetTime(const std::string& path, time_t when) {
        const timespec both[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), both, 0)) << path;
    }
    std::string Body(void (*list)(HttpListener&)) {
        FakeHttpd f(&services.context);
        HttpListener l(&f);
        list(l);
        EXPECT_EQ(1u, f.replies.size());
        if (f.replies.empty()) return std::string();
        EXPECT_EQ(200, f.Only().head.StatusCode);
        EXPECT_EQ(f.Only().body.size(), f.Only().head.ContentLength);
        return f.Only().body;
    }

    apitest::Services services;
    std::string root;

private:
    std::vector<std::pair<std::string, time_t>> times_;
    std::string savedTz_;
    bool hadTz_ = false;
};

TEST_F(FolderListingBytes, OneFolderInFull) {
    EXPECT_EQ(R"(<?xml version="1.0" encoding="UTF-8"?>
<calvoro>
	<files>
		<video>
			<filename> leading space.mp4</filename>
			<date>2023-11-18 01:16:23</date>
		</video>
		<video>
			<filename>&amp;amp;.wmv</filename>
			<date>2023-11-24 07:22:29</date>
		</video>
		<video>
			<filename>.intro.mp4</filename>
			<date>2023-11-22 05:20:27</date>
		</video>
		<video>
			<filename>a]]&gt;b.mp4</filename>
			<date>2023-11-17 00:15:22</date>
		</video>
		<video>
			<filename>back\slash.MP4</filename>
			<date>2023-11-19 02:17:24</date>
		</video>
		<video>
			<filename>café — 🎬.mov</filename>
			<date>2023-11-23 06:21:28</date>
		</video>
		<video>
			<filename>episode 2.mkv</filename>
			<date>2023-11-21 04:19:26</date>
		</video>
		<video>
			<filename>Episode 10.mkv</filename>
			<date>2023-11-20 03:18:25</date>
		</video>
		<video>
			<filename>quote "it's".mkv</filename>
			<date>2023-11-15 23:14:21</date>
		</video>
		<video>
			<filename>Tom &amp; Jerry &lt;1&gt;.avi</filename>
			<date>2023-11-14 22:13:20</date>
		</video>
		<folder>
			<filename>&lt;dir&gt;</filename>
			<date>2023-11-27 10:25:32</date>
			<subItems />
		</folder>
		<folder>
			<filename>A &amp; B</filename>
			<date>2023-11-26 09:24:31</date>
			<subItems>
				<video>
					<filename>in "A".mp4</filename>
					<date>2023-12-14 02:41:48</date>
				</video>
			</subItems>
		</folder>
		<folder>
			<filename>Deep</filename>
			<date>2023-11-29 12:27:34</date>
			<subItems>
				<video>
					<filename>d1.mkv</filename>
					<date>2023-12-05 18:33:40</date>
				</video>
				<video>
					<filename>d2 &lt;x&gt;.mkv</filename>
					<date>2023-12-07 20:35:42</date>
				</video>
				<video>
					<filename>d3.mkv</filename>
					<date>2023-12-06 19:34:41</date>
				</video>
				<folder>
					<filename>F1</filename>
					<date>2023-12-09 22:37:44</date>
				</folder>
				<folder>
					<filename>F2 &amp; co</filename>
					<date>2023-12-13 01:40:47</date>
				</folder>
				<folder>
					<filename>F3</filename>
					<date>2023-12-10 23:38:45</date>
				</folder>
			</subItems>
		</folder>
		<folder>
			<filename>Empty</filename>
			<date>2023-11-28 11:26:33</date>
			<subItems />
		</folder>
		<folder>
			<filename>x"y'z</filename>
			<date>2023-12-02 15:30:37</date>
			<subItems />
		</folder>
		<folder>
			<filename>Été 2</filename>
			<date>2023-12-03 16:31:38</date>
			<subItems />
		</folder>
	</files>
</calvoro>
)", Body([](HttpListener& l) { l.ListFolder("Films & <Series> \"1\"/"); }));
}

TEST_F(FolderListingBytes, SharedFoldersAndAnEmptyOne) {
    SetTime(services.Share("Nothing", "Empty share"), 1680000000);
    EXPECT_EQ(R"(<?xml version="1.0" encoding="UTF-8"?>
<calvoro>
	<files>
		<folder>
			<filename>Empty share</filename>
			<date>2023-03-28 10:40:00</date>
			<subItems />
		</folder>
		<folder>
			<filename>Films &amp; &lt;Series&gt; "1"</filename>
			<date>2023-07-22 04:26:40</date>
			<subItems>
				<video>
					<filename> leading space.mp4</filename>
					<date>2023-11-18 01:16:23</date>
				</video>
				<video>
					<filename>&amp;amp;.wmv</filename>
					<date>2023-11-24 07:22:29</date>
				</video>
				<video>
					<filename>.intro.mp4</filename>
					<date>2023-11-22 05:20:27</date>
				</video>
				<folder>
					<filename>&lt;dir&gt;</filename>
					<date>2023-11-27 10:25:32</date>
				</folder>
				<folder>
					<filename>A &amp; B</filename>
					<date>2023-11-26 09:24:31</date>
				</folder>
				<folder>
					<filename>Deep</filename>
					<date>2023-11-29 12:27:34</date>
				</folder>
			</subItems>
		</folder>
	</files>
</calvoro>
)", Body([](HttpListener& l) { l.ListSharedFolders(); }));
    EXPECT_EQ(R"(<?xml version="1.0" encoding="UTF-8"?>
<calvoro>
	<files />
</calvoro>
)", Body([](HttpListener& l) { l.ListFolder("Empty share/"); }));
}

}  // namespace
