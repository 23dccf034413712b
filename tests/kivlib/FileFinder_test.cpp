#include "kivlib/KivFileFinder.h"
#include "kivlib/KivFileStream.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

namespace {

struct Kind {
    bool directory;
    bool link;
    bool regular;
    bool operator==(const Kind& other) const {
        return directory == other.directory && link == other.link && regular == other.regular;
    }
};

std::ostream& operator<<(std::ostream& out, const Kind& kind) {
    return out << (kind.directory ? "folder" : kind.regular ? "file" : "other") << (kind.link ? " link" : "");
}

std::map<std::wstring, Kind> List(IKivFileFinder& finder, const std::string& folder) {
    std::map<std::wstring, Kind> entries;
    for (boost::shared_ptr<IFileFindEntry> entry = finder.StartFileFind(kivm::FromUTF8ExW(folder)); entry;
         entry = finder.ContinueFileFind()) {
        EXPECT_EQ(0u, entries.count(entry->GetName())) << "listed twice";
        entries[entry->GetName()] = Kind{entry->IsDirectory(), entry->IsLink(), entry->IsRegularFile()};
    }
    return entries;
}

TEST(FileFinder, ListsEveryEntryWithItsKindButNotDotEntries) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("movie.mkv"), "x");
    testsupport::WriteFile(dir.file("\xC3\xA9t\xC3\xA9.avi"), "x");
    ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.file(".hidden").c_str(), 0755));
    ASSERT_EQ(0, symlink("sub", dir.file("to-folder").c_str()));
    ASSERT_EQ(0, symlink("movie.mkv", dir.file("to-file").c_str()));
    ASSERT_EQ(0, symlink("nowhere", dir.file("dangling").c_str()));
    ASSERT_EQ(0, mkfifo(dir.file("pipe.mp4").c_str(), 0600));
    ASSERT_EQ(0, symlink("pipe.mp4", dir.file("to-pipe.mp4").c_str()));

    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    ASSERT_TRUE(finder);
    std::map<std::wstring, Kind> expected = {
        {L"movie.mkv", {false, false, true}}, {L"\u00e9t\u00e9.avi", {false, false, true}},
        {L"sub", {true, false, false}},       {L".hidden", {true, false, false}},
        {L"to-folder", {true, true, false}},  {L"to-file", {false, true, true}},
        {L"dangling", {false, true, false}},  {L"pipe.mp4", {false, false, false}},
        {L"to-pipe.mp4", {false, true, false}},
    };
    EXPECT_EQ(expected, List(*finder, dir.path()));
}

// Names are bytes on this platform: one that is not UTF-8 (here Latin-1) must still name its file once it
// has been through wide text.
TEST(FileFinder, NameThatIsNotUtf8OpensByThePathBuiltFromIt) {
    testsupport::TempDir dir;
    const std::string latin1 = "caf\xE9 \xC0 la carte.mkv";
    testsupport::WriteFile(dir.file(latin1), "latin-1 contents");
    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(kivm::FromUTF8ExW(dir.path()));
    ASSERT_TRUE(entry);
    EXPECT_FALSE(finder->ContinueFileFind());
    const std::wstring path = kivm::FromUTF8ExW(dir.path()) + L"/" + entry->GetName();
    EXPECT_EQ(dir.file(latin1), kivm::ToUTF8Ex(path));

    boost::shared_ptr<IBlockingStream> stream = KivFileStream::GetInstance(path, OPEN_READ);
    ASSERT_TRUE(stream) << "the path built from the listed name does not open";
    char buffer[64];
    EXPECT_EQ("latin-1 contents", std::string(buffer, stream->Read(buffer, sizeof buffer)));
}

TEST(FileFinder, EmptyAndMissingFoldersGiveNothing) {
    testsupport::TempDir dir;
    ASSERT_EQ(0, mkdir(dir.file("empty").c_str(), 0755));
    testsupport::WriteFile(dir.file("file"), "x");
    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    EXPECT_FALSE(finder->StartFileFind(kivm::FromUTF8ExW(dir.file("empty"))));
    EXPECT_FALSE(finder->ContinueFileFind());
    EXPECT_FALSE(finder->StartFileFind(kivm::FromUTF8ExW(dir.file("missing"))));
    EXPECT_FALSE(finder->StartFileFind(kivm::FromUTF8ExW(dir.file("file"))));
    EXPECT_FALSE(finder->ContinueFileFind());
}

TEST(FileFinder, StartingAgainListsAfresh) {
    testsupport::TempDir dir;
    for (const char* name : {"a", "b", "c"}) testsupport::WriteFile(dir.file(name), "x");
    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    ASSERT_TRUE(finder->StartFileFind(kivm::FromUTF8ExW(dir.path())));  // abandoned after one entry
    EXPECT_EQ(3u, List(*finder, dir.path() + "/").size());
    EXPECT_FALSE(finder->ContinueFileFind()) << "stays at the end";
}

}  // namespace
