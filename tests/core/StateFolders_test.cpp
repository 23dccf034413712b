// Shared folders: aliases, sharing, removal and the folder tree of the UI.
#include <filesystem>
#include <list>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StateTestSupport.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

using statetest::TempStore;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

std::vector<std::wstring> Aliases(State& state) {
    std::list<FolderEntry> folders;
    state.GetFolders(folders);
    std::vector<std::wstring> aliases;
    for (const FolderEntry& f : folders) aliases.push_back(f.Alias);
    return aliases;
}

std::wstring PathOf(State& state, const std::wstring& alias) {
    std::list<FolderEntry> folders;
    state.GetFolders(folders);
    for (const FolderEntry& f : folders)
        if (f.Alias == alias) return f.Path;
    return L"<none>";
}

}  // namespace

struct AliasCase {
    std::vector<std::wstring> paths;  // shared in this order
    std::vector<std::wstring> aliases;  // in alias order afterwards
};

class AliasRules : public ::testing::TestWithParam<AliasCase> {};

TEST_P(AliasRules, SharingChoosesTheAlias) {
    TempStore store;
    for (const std::wstring& path : GetParam().paths) EXPECT_TRUE(store.state->ShareFolder(path));
    EXPECT_EQ(GetParam().aliases, Aliases(*store.state));
}

INSTANTIATE_TEST_SUITE_P(
    State, AliasRules,
    ::testing::Values(AliasCase{{L"/home/u/Videos"}, {L"Videos"}},
                      AliasCase{{L"/a/Videos", L"/b/Videos", L"/c/Videos/"}, {L"Videos", L"Videos0", L"Videos1"}},
                      AliasCase{{L"/x/Videos0", L"/a/Videos", L"/b/Videos"}, {L"Videos", L"Videos0", L"Videos1"}},
                      // "/" is the only separator: no drive roots, and "\\" belongs to the name.
                      AliasCase{{L"D:/"}, {L"D:"}},
                      AliasCase{{L"/mnt/D:/"}, {L"D:"}},
                      AliasCase{{L"C:\\Users\\me\\Movies"}, {L"C:\\Users\\me\\Movies"}},
                      AliasCase{{L"/media/My\\Videos"}, {L"My\\Videos"}},
                      AliasCase{{L"/data/films//"}, {L"films"}},
                      AliasCase{{L"/a/One", L"/b/Two", L"/"}, {L"One", L"Two", L"folder2"}},
                      AliasCase{{L"relative"}, {L"relative"}},
                      AliasCase{{L"/m/Filme \u00c4rger \u65e5\u672c"}, {L"Filme \u00c4rger \u65e5\u672c"}},
                      AliasCase{{L"/m/b", L"/m/B", L"/m/a"}, {L"B", L"a", L"b"}}));

TEST(StateFolders, SharingStoresTheStandardFormAndSaves) {
    TempStore store;
    ASSERT_TRUE(store.state->ShareFolder(L"/srv//media/films/"));
    EXPECT_EQ(L"/srv/media/films", PathOf(*store.state, L"films")) << "no extra \"/\" before an absolute path";
    const xml_element root = statetest::ParseXml(ReadFile(store.File()));
    const xml_element* folders = kiv_xml::find_child(root, "VideoFolders", true);
    ASSERT_TRUE(folders);
    ASSERT_EQ(1u, folders->children.size());
    EXPECT_EQ("/srv/media/films", statetest::ChildText(folders->children[0], "Path"));
    EXPECT_EQ("films", statetest::ChildText(folders->children[0], "Alias"));
    EXPECT_EQ(1, store.state->GetFolderCount());
}

// A backslash is part of a folder's name on this platform: it survives sharing, saving and loading.
TEST(StateFolders, BackslashInAFolderNameSurvivesSaveAndLoad) {
    TempStore store;
    ASSERT_TRUE(store.state->ShareFolder(L"/media/My\\Videos/"));
    EXPECT_EQ(L"/media/My\\Videos", PathOf(*store.state, L"My\\Videos"));
    boost::shared_ptr<State> loaded = State::GetInstance(store.state->GetDataFolder());
    ASSERT_TRUE(loaded->Load());
    EXPECT_EQ(L"/media/My\\Videos", PathOf(*loaded, L"My\\Videos"));
}

TEST(StateFolders, TakenAliasIsRefusedButStillSaved) {
    TempStore store;
    ASSERT_TRUE(store.state->AddFolder(FolderEntry{L"/a/first", L"Same"}));
    std::filesystem::remove(store.File());
    EXPECT_FALSE(store.state->AddFolder(FolderEntry{L"/b/second", L"Same"}));
    EXPECT_EQ(L"/a/first", PathOf(*store.state, L"Same"));
    EXPECT_EQ(1, store.state->GetFolderCount());
    EXPECT_TRUE(PathExists(store.File()));
}

TEST(StateFolders, ShareExistingFolderNeedsAnEntry) {
    TempStore store;
    testsupport::TempDir media;
    std::filesystem::create_directory(media.file("empty"));
    EXPECT_FALSE(store.state->ShareExistingFolder(media.wpath() + L"/missing"));
    EXPECT_FALSE(store.state->ShareExistingFolder(media.wpath() + L"/empty"));
    EXPECT_FALSE(PathExists(store.File())) << "nothing shared, nothing saved";
    EXPECT_EQ(0, store.state->GetFolderCount());

    WriteFile(media.file("clip.mp4"), "v");
    EXPECT_TRUE(store.state->ShareExistingFolder(media.wpath()));
    EXPECT_EQ(1, store.state->GetFolderCount());
    EXPECT_NE(std::string::npos, ReadFile(store.File()).find(media.path()));
}

TEST(StateFolders, RemovingAnUnknownAliasThrowsAndLeavesTheFile) {
    TempStore store;
    ASSERT_TRUE(store.state->ShareFolder(L"/a/Videos"));
    const std::string before = ReadFile(store.File());
    statetest::LogCapture log;
    try {
        store.state->RemoveFolder(L"Nope");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Alias not found to be removed", e.what());
    }
    EXPECT_TRUE(log.Contains("Alias not found: Nope"));
    EXPECT_EQ(before, ReadFile(store.File()));
    EXPECT_EQ(1, store.state->GetFolderCount());

    EXPECT_TRUE(store.state->RemoveFolder(L"Videos"));
    EXPECT_EQ(0, store.state->GetFolderCount());
    EXPECT_EQ(std::string::npos, ReadFile(store.File()).find("Videos"));
}

TEST(StateFolders, VideoExtensionsAreTheTwentyFive) {
    std::set<std::wstring> extensions{L"stale"};
    State::GetVideoExtensions(extensions);
    const std::set<std::wstring> expected{L"mpg", L"avi", L"wmv",  L"mp4", L"m2v",    L"m1v", L"ts",   L"mpeg", L"mov",
                                          L"flv", L"mkv", L"ogg",  L"iso", L"vob",    L"m4v", L"rmvb", L"rm",   L"dvr-ms",
                                          L"wtv", L"divx", L"asf", L"m2ts", L"m2t", L"mpe", L"3gp"};
    EXPECT_EQ(expected, extensions);
}

class FolderTree : public ::testing::Test {
protected:
    void SetUp() override {
        root = media.wpath() + L"/Library";
        std::filesystem::create_directories(media.file("Library/sub/deeper"));
        std::filesystem::create_directories(media.file("Library/novideo"));
        WriteFile(media.file("Library/CLIP.AVI"), "v");
        WriteFile(media.file("Library/notes.txt"), "t");
        WriteFile(media.file("Library/noextension"), "t");
        WriteFile(media.file("Library/sub/a.mkv"), "v");
        WriteFile(media.file("Library/sub/x\\y.mkv"), "v");  // one name: a backslash separates nothing
        WriteFile(media.file("Library/sub/deeper/b.m2ts"), "v");
        std::filesystem::create_directories(media.file("Other"));
        ASSERT_TRUE(store.state->ShareFolder(root));
        ASSERT_TRUE(store.state->ShareFolder(media.wpath() + L"/Other"));
    }
    std::list<FolderTreeRow> Tree() {
        std::list<FolderTreeRow> rows{FolderTreeRow()};
        store.state->GetFolderTree(rows);
        return rows;
    }
    std::set<std::wstring> Paths(const std::list<FolderTreeRow>& rows) {
        std::set<std::wstring> paths;
        for (const FolderTreeRow& r : rows) paths.insert(r.Path);
        return paths;
    }
    // Every row below depth 0 comes after its own folder, inside that folder's run of rows.
    void ExpectPreOrder(const std::list<FolderTreeRow>& rows) {
        std::vector<const FolderTreeRow*> open;  // the chain of folders above the current row
        for (const FolderTreeRow& r : rows) {
            open.resize(static_cast<size_t>(r.Depth));
            if (r.Depth > 0) {
                ASSERT_FALSE(open.empty() || !open.back());
                EXPECT_EQ(open.back()->Path + L"/" + r.Name, r.Path);
                EXPECT_TRUE(open.back()->Expanded);
                EXPECT_EQ(L"", r.Alias);
            }
            open.push_back(&r);
        }
    }
    testsupport::TempDir media;
    TempStore store;
    std::wstring root;
};

TEST_F(FolderTree, ClosedTreeListsTheSharedFoldersOnly) {
    const std::list<FolderTreeRow> rows = Tree();
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(L"Library", rows.front().Alias);
    EXPECT_EQ(L"Library", rows.front().Name);
    EXPECT_EQ(root, rows.front().Path);
    EXPECT_EQ(L"Other", rows.back().Alias);
    for (const FolderTreeRow& r : rows) {
        EXPECT_TRUE(r.IsFolder);
        EXPECT_FALSE(r.Expanded);
        EXPECT_EQ(0, r.Depth);
    }
}

TEST_F(FolderTree, OpenFoldersShowFoldersAndVideosInPreOrder) {
    store.state->ToggleFolderExpanded(root);
    std::list<FolderTreeRow> rows = Tree();
    EXPECT_EQ((std::set<std::wstring>{root, root + L"/sub", root + L"/novideo", root + L"/CLIP.AVI",
                                      media.wpath() + L"/Other"}),
              Paths(rows));
    ExpectPreOrder(rows);
    for (const FolderTreeRow& r : rows) {
        if (r.Path == root + L"/CLIP.AVI") {
            EXPECT_FALSE(r.IsFolder);
            EXPECT_EQ(1, r.Depth);
        }
    }

    store.state->ToggleFolderExpanded(root + L"//sub/");  // acts on the standard form
    store.state->ToggleFolderExpanded(root + L"/sub/deeper/");
    rows = Tree();
    EXPECT_EQ(9u, rows.size());
    EXPECT_EQ(1u, Paths(rows).count(root + L"/sub/deeper/b.m2ts"));
    for (const FolderTreeRow& r : rows) {
        if (r.Path == root + L"/sub/x\\y.mkv") {
            EXPECT_EQ(L"x\\y.mkv", r.Name);
            EXPECT_EQ(2, r.Depth);
        }
    }
    EXPECT_EQ(1u, Paths(rows).count(root + L"/sub/x\\y.mkv"));
    ExpectPreOrder(rows);
    EXPECT_EQ(L"Other", rows.back().Alias) << "the second shared folder follows the whole first tree";

    store.state->ToggleFolderExpanded(root + L"/sub");
    rows = Tree();
    EXPECT_EQ(0u, Paths(rows).count(root + L"/sub/a.mkv"));
    EXPECT_EQ(5u, rows.size()) << "closing sub hides deeper too, though deeper stays open";
}

TEST_F(FolderTree, VanishedFolderKeepsItsRowWithNothingBelow) {
    store.state->ToggleFolderExpanded(root);
    std::filesystem::remove_all(media.file("Library"));
    const std::list<FolderTreeRow> rows = Tree();
    ASSERT_EQ(2u, rows.size());
    EXPECT_TRUE(rows.front().Expanded);
}
