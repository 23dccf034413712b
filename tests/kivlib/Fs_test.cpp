#include "kivlib/kiv_fs.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

namespace {

using testsupport::PathExists;

std::wstring W(const std::string& path) { return kivm::FromUTF8ExW(path); }

TEST(Fs, ExistsForFilesAndFoldersOnly) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("f"), "x");
    ASSERT_EQ(0, symlink("nowhere", dir.file("dangling").c_str()));
    EXPECT_TRUE(kiv_file_exists(W(dir.file("f"))));
    EXPECT_TRUE(kiv_file_exists(W(dir.path())));
    EXPECT_FALSE(kiv_file_exists(W(dir.file("missing"))));
    EXPECT_FALSE(kiv_file_exists(W(dir.file("dangling"))));
}

TEST(Fs, DeleteRemovesFilesAndLinksButNeverFolders) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("f"), "x");
    ASSERT_EQ(0, mkdir(dir.file("folder").c_str(), 0755));
    testsupport::WriteFile(dir.file("folder/inside"), "x");
    ASSERT_EQ(0, symlink("folder", dir.file("link").c_str()));

    EXPECT_TRUE(kiv_delete(W(dir.file("f"))));
    EXPECT_FALSE(PathExists(dir.file("f")));
    EXPECT_FALSE(kiv_delete(W(dir.file("f"))));
    EXPECT_FALSE(kiv_delete(W(dir.file("folder"))));
    EXPECT_TRUE(PathExists(dir.file("folder/inside")));
    EXPECT_TRUE(kiv_delete(W(dir.file("link"))));
    EXPECT_FALSE(PathExists(dir.file("link")));
    EXPECT_TRUE(PathExists(dir.file("folder/inside"))) << "the link's target stays";
}

TEST(Fs, MkdirAcceptsAnExistingFolderButNotAFile) {
    testsupport::TempDir dir;
    EXPECT_TRUE(kiv_mkdir(dir.file("new")));
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("new").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(kiv_mkdir(dir.file("new")));
    testsupport::WriteFile(dir.file("file"), "x");
    EXPECT_FALSE(kiv_mkdir(dir.file("file")));
    EXPECT_FALSE(kiv_mkdir(dir.file("missing/child")));
}

TEST(Fs, RmdirRemovesOnlyEmptyFolders) {
    testsupport::TempDir dir;
    ASSERT_TRUE(kiv_mkdir(dir.file("full")));
    testsupport::WriteFile(dir.file("full/f"), "x");
    ASSERT_TRUE(kiv_mkdir(dir.file("empty")));
    EXPECT_FALSE(kiv_rmdir(dir.file("full")));
    EXPECT_TRUE(PathExists(dir.file("full/f")));
    EXPECT_TRUE(kiv_rmdir(dir.file("empty")));
    EXPECT_FALSE(PathExists(dir.file("empty")));
    EXPECT_FALSE(kiv_rmdir(dir.file("full/f")));
}

}  // namespace
