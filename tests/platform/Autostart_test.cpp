#include "platform/Autostart.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/TestSupport.h"

namespace {

using testsupport::ScopedEnv;

// desktop-file-validate's verdict on the entry; its complaints go to the test's output.
int Validate(const std::string& file) {
    const std::string command = "desktop-file-validate '" + file + "'";
    return system(command.c_str());
}

TEST(Autostart, QuotesThePathAsOneExecArgument) {
    const struct {
        const char* path;
        const char* exec;
    } table[] = {
        {"/usr/bin/calvoro", R"("/usr/bin/calvoro")"},
        {"/opt/my apps/calvoro", R"("/opt/my apps/calvoro")"},
        {R"(/opt/say "hi"/calvoro)", R"("/opt/say \\"hi\\"/calvoro")"},
        {"/opt/$HOME/`id`/calvoro", R"("/opt/\\$HOME/\\`id\\`/calvoro")"},
        {R"(/opt/back\slash/calvoro)", R"("/opt/back\\\\slash/calvoro")"},
        {"/opt/100%/calvoro", R"("/opt/100%%/calvoro")"},
        {"/opt/it's & <that>; (x)|y*?#~/calvoro", R"("/opt/it's & <that>; (x)|y*?#~/calvoro")"},
    };
    for (const auto& row : table) EXPECT_EQ(row.exec, Autostart::QuoteExecArgument(row.path)) << row.path;
}

TEST(Autostart, WritesAValidEntryUnderXdgConfigHomeAndRemovesIt) {
    testsupport::TempDir base;
    // Neither folder exists yet; both hold blanks.
    const std::string config = base.path() + "/my config";
    const ScopedEnv configHome("XDG_CONFIG_HOME", config.c_str());
    const std::string entry = config + "/autostart/calvoro.desktop";
    ASSERT_EQ(entry, Autostart::EntryPath());

    for (const std::string& program :
         {base.path() + "/Calvoro Server/calvoro", base.path() + "/odd \"$name\" `x` back\\slash/calvoro"}) {
        ASSERT_EQ("", Autostart::Enable(program)) << program;
        EXPECT_EQ("[Desktop Entry]\nType=Application\nName=Calvoro\nExec=" + Autostart::QuoteExecArgument(program) +
                      "\n",
                  testsupport::ReadFile(entry));
        EXPECT_EQ(0, Validate(entry)) << testsupport::ReadFile(entry);
        struct stat info;
        ASSERT_EQ(0, stat(entry.c_str(), &info));
        EXPECT_EQ(0644u, info.st_mode & 0777u);
    }
    // Written again in place: one entry, no temporary file left beside it.
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(config + "/autostart"),
                               std::filesystem::directory_iterator()));

    EXPECT_EQ("", Autostart::Disable());
    EXPECT_FALSE(testsupport::PathExists(entry));
    // Nothing there to remove is no failure.
    EXPECT_EQ("", Autostart::Disable());
}

TEST(Autostart, WithoutAnAbsoluteXdgConfigHomeTheEntryGoesUnderHome) {
    testsupport::TempDir home;
    const ScopedEnv homeVariable("HOME", home.path().c_str());
    for (const char* config : {static_cast<const char*>(nullptr), "", "relative/config"}) {
        const ScopedEnv configHome("XDG_CONFIG_HOME", config);
        EXPECT_EQ(home.path() + "/.config/autostart/calvoro.desktop", Autostart::EntryPath());
    }
}

TEST(Autostart, RefusesPathsThatNoLauncherCanRun) {
    testsupport::TempDir base;
    const std::string config = base.path() + "/config";
    const ScopedEnv configHome("XDG_CONFIG_HOME", config.c_str());
    const struct {
        std::string path;
        std::string because;
    } table[] = {
        {"/opt/100%/calvoro", "it holds a \"%\""},
        {"/opt/line\nbreak/calvoro", "control character"},
        {"/opt/caf\xE9/calvoro", "not UTF-8"},
        {"", "could not be read"},
        {"relative/calvoro", "could not be read"},
    };
    for (const auto& row : table) {
        const std::string problem = Autostart::Enable(row.path);
        EXPECT_NE(std::string::npos, problem.find(row.because)) << problem;
        EXPECT_FALSE(testsupport::PathExists(config + "/autostart/calvoro.desktop")) << row.path;
    }
}

TEST(Autostart, FailuresSayWhatCouldNotBeDone) {
    testsupport::TempDir base;
    // The configuration folder is a file: the autostart folder cannot be made under it.
    testsupport::WriteFile(base.path() + "/file", "");
    {
        const ScopedEnv configHome("XDG_CONFIG_HOME", (base.path() + "/file").c_str());
        EXPECT_EQ("Start at login: could not make the folder " + base.path() + "/file/autostart: Not a directory",
                  Autostart::Enable("/usr/bin/calvoro"));
    }
    // The entry's name is taken by a folder that holds something: it can be neither replaced nor
    // removed.
    const ScopedEnv configHome("XDG_CONFIG_HOME", base.path().c_str());
    std::filesystem::create_directories(base.path() + "/autostart/calvoro.desktop/inside");
    EXPECT_NE(std::string::npos, Autostart::Enable("/usr/bin/calvoro").find("Start at login: could not write "));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(base.path() + "/autostart"),
                               std::filesystem::directory_iterator()));
    EXPECT_EQ("Start at login: could not remove " + base.path() + "/autostart/calvoro.desktop: Is a directory",
              Autostart::Disable());
}

}  // namespace
