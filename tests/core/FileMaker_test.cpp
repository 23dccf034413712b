#include "core/FileMaker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

using testsupport::PathExists;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::wstring W(const std::string& path) { return kivm::FromUTF8ExW(path); }

struct tm LocalTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm time = {};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    time.tm_isdst = -1;
    return time;
}

// Runs f and gives the text of the std::runtime_error it throws; "" when it throws none.
template <typename F>
std::string ThrownText(F f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return std::string();
}

TEST(FormatFileTime, PadsEveryFieldWithZeros) {
    struct Case {
        struct tm time;
        const char* text;
    };
    const Case cases[] = {
        {LocalTime(2012, 3, 5, 7, 4, 9), "2012-03-05 07:04:09"},
        {LocalTime(1999, 12, 31, 23, 0, 0), "1999-12-31 23:00:00"},
        {LocalTime(2000, 1, 1, 0, 0, 0), "2000-01-01 00:00:00"},
        {LocalTime(987, 10, 10, 10, 10, 10), "0987-10-10 10:10:10"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatFileTime(c.time), c.text);
}

class FileMakerTest : public ::testing::Test {
protected:
    TempDir dir;
    boost::shared_ptr<IFileMaker> files = FileMaker::GetInstance();
};

TEST_F(FileMakerTest, GetModifiedTimeIsTheLocalTimeOfTheLastChange) {
    struct Case {
        struct tm time;
        const char* text;
    };
    const Case cases[] = {
        {LocalTime(2012, 3, 5, 7, 4, 9), "2012-03-05 07:04:09"},
        {LocalTime(1999, 12, 31, 23, 0, 0), "1999-12-31 23:00:00"},
    };
    const std::string path = dir.file("film.avi");
    WriteFile(path, "x");
    for (const Case& c : cases) {
        struct tm local = c.time;
        const time_t when = mktime(&local);
        const struct timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        EXPECT_EQ(files->GetModifiedTime(W(path)), c.text);
    }
}

TEST_F(FileMakerTest, GetModifiedTimeOfAMissingPathIsEmpty) {
    EXPECT_EQ(files->GetModifiedTime(W(dir.file("missing.avi"))), "");
    EXPECT_EQ(files->GetModifiedTime(L""), "");
    EXPECT_EQ(files->GetModifiedTime(dir.wpath()).size(), 19u);  // a folder has a time too
}

TEST_F(FileMakerTest, ExistsForFilesAndFoldersOnly) {
    WriteFile(dir.file("Fïlm ü.txt"), "x");
    ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
    EXPECT_TRUE(files->Exists(W(dir.file("Fïlm ü.txt"))));
    EXPECT_TRUE(files->Exists(dir.wpath()));
    EXPECT_FALSE(files->Exists(W(dir.file("missing"))));
    EXPECT_FALSE(files->Exists(W(dir.file("dangling"))));
    EXPECT_FALSE(files->Exists(L""));
}

TEST_F(FileMakerTest, OpenForWriteCreatesOrTruncates) {
    const std::wstring path = W(dir.file("out.bin"));
    WriteFile(dir.file("out.bin"), "a much longer old content");
    boost::shared_ptr<IBlockingStream> out = files->OpenForWrite(path);
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->Write("new", 3));
    out.reset();
    EXPECT_EQ(testsupport::ReadFile(dir.file("out.bin")), "new");

    boost::shared_ptr<IBlockingStream> in = files->OpenForRead(path);
    ASSERT_TRUE(in);
    char buffer[16] = {0};
    EXPECT_EQ(in->Read(buffer, sizeof(buffer)), 3u);
    EXPECT_EQ(std::string(buffer), "new");

    EXPECT_FALSE(files->OpenForRead(W(dir.file("missing"))));
    EXPECT_FALSE(files->OpenForWrite(W(dir.file("no/such/folder/out.bin"))));
}

TEST_F(FileMakerTest, GetFileSizeOrTheExactError) {
    WriteFile(dir.file("size.bin"), std::string(123457, 'z'));
    EXPECT_EQ(files->GetFileSize(W(dir.file("size.bin"))), 123457u);
    EXPECT_EQ(ThrownText([&] { files->GetFileSize(W(dir.file("missing"))); }), "File could not be opened");
}

TEST_F(FileMakerTest, DeleteFileRemovesAFileOrThrowsWithThePath) {
    WriteFile(dir.file("old.ts"), "x");
    EXPECT_TRUE(files->DeleteFile(W(dir.file("old.ts"))));
    EXPECT_FALSE(PathExists(dir.file("old.ts")));
    EXPECT_EQ(ThrownText([&] { files->DeleteFile(W(dir.file("old.ts"))); }),
              "Deletion failed for file: " + dir.file("old.ts"));
    EXPECT_EQ(ThrownText([&] { files->DeleteFile(dir.wpath()); }), "Deletion failed for file: " + dir.path());
    EXPECT_TRUE(PathExists(dir.path()));
}

TEST_F(FileMakerTest, MakeDirectoryAcceptsAnExistingFolder) {
    const std::string folder = dir.file("né");
    EXPECT_NO_THROW(files->MakeDirectory(W(folder)));
    struct stat status;
    ASSERT_EQ(stat(folder.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_NO_THROW(files->MakeDirectory(W(folder)));

    WriteFile(dir.file("plain"), "x");
    EXPECT_EQ(ThrownText([&] { files->MakeDirectory(W(dir.file("plain"))); }),
              "Creation failed for directory: " + dir.file("plain"));
    EXPECT_EQ(ThrownText([&] { files->MakeDirectory(W(dir.file("a/b"))); }),
              "Creation failed for directory: " + dir.file("a/b"));
}

TEST_F(FileMakerTest, RemoveDirectoryOnlyRemovesAnEmptyFolder) {
    const std::string folder = dir.file("segments");
    files->MakeDirectory(W(folder));
    WriteFile(folder + "/segment-1.ts", "x");
    EXPECT_EQ(ThrownText([&] { files->RemoveDirectory(W(folder)); }), "Removal failed for directory: " + folder);
    EXPECT_TRUE(PathExists(folder + "/segment-1.ts"));

    files->DeleteFile(W(folder + "/segment-1.ts"));
    EXPECT_NO_THROW(files->RemoveDirectory(W(folder)));
    EXPECT_FALSE(PathExists(folder));
    EXPECT_EQ(ThrownText([&] { files->RemoveDirectory(W(folder)); }), "Removal failed for directory: " + folder);
}

TEST(KivFileFinderFactory, EachFinderListsAFolder) {
    TempDir dir;
    WriteFile(dir.file("a.avi"), "a");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    KivFileFinderFactory factory;
    boost::shared_ptr<IKivFileFinder> finder = factory.CreateFinder();
    ASSERT_TRUE(finder);
    std::set<std::string> seen;
    for (boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(dir.wpath()); entry;
         entry = finder->ContinueFileFind()) {
        seen.insert(kivm::ToUTF8Ex(entry->GetName()) + (entry->IsDirectory() ? "/" : ""));
    }
    EXPECT_EQ(seen, (std::set<std::string>{"a.avi", "sub/"}));
    EXPECT_NE(factory.CreateFinder(), finder);
}

}  // namespace
