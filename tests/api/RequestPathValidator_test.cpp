#include "api/RequestPathValidator.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    std::string relative;
    bool safe;
};

TEST(RequestPathValidator, RefusesEverythingThatCouldLeaveTheFolder) {
    const Case cases[] = {
        {"", true},
        {"ep1.mkv", true},
        {"Season 1/ep1.mkv", true},
        {"Season 1/", true},
        {"./ep1.mkv", true},
        {"..hidden/ep1.mkv", true},
        {"a../b", true},
        {"...", true},
        {"%2e%2e/%2e%2e/etc/passwd", true},  // never decoded, so only a strange name
        {"Caf\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC.mkv", true},
        {"Tom & Jerry.avi", true},
        {"C/x", true},
        {"..", false},
        {"../etc/passwd", false},
        {"Season 1/../../x", false},
        {"a/..", false},
        {"a/../b", false},
        {"a\\..\\..\\b", false},
        {"..\\x", false},
        {"/etc/passwd", false},
        {"\\etc\\passwd", false},
        {"C:", false},
        {"C:/Windows", false},
        {"c:\\Windows", false},
        {std::string("a\0b", 3), false},
        {"a\nb", false},
        {"a\tb", false},
        {"a\x7f" "b", false},
        {"bad\xC3(", false},          // truncated sequence
        {"\xC0\xAE\xC0\xAE/x", false},  // overlong dots
        {"\xED\xA0\x80", false},        // surrogate
        {"\xF4\x90\x80\x80", false},    // above U+10FFFF
    };
    for (const Case& c : cases) EXPECT_EQ(c.safe, IsSafeRelativePath(c.relative)) << c.relative;
}

TEST(RequestPathValidator, JoinsOnlySafeText) {
    std::wstring joined = L"untouched";
    EXPECT_FALSE(JoinRequestPath(L"/srv/videos", "../secret", joined));
    EXPECT_EQ(L"untouched", joined);
    ASSERT_TRUE(JoinRequestPath(L"/srv/videos", "Season 1/\xC3\xA9p.mkv", joined));
    EXPECT_EQ(L"/srv/videos/Season 1/\u00e9p.mkv", joined);
    ASSERT_TRUE(JoinRequestPath(L"/srv/videos", "", joined));
    EXPECT_EQ(L"/srv/videos/", joined);
}

// Share paths skip empty components wherever they are; the other checks hold as before.
TEST(RequestPathValidator, SharePathsSkipEmptyComponentsAndStaySafe) {
    const struct {
        const char* relative;
        bool joins;
        const wchar_t* joined;
    } cases[] = {
        {"clip.mp4", true, L"/srv/v/clip.mp4"},
        {"/clip.mp4", true, L"/srv/v/clip.mp4"},
        {"//clip.mp4", true, L"/srv/v/clip.mp4"},
        {"Sub Folder//b.mkv", true, L"/srv/v/Sub Folder/b.mkv"},
        {"Sub Folder/b.mkv/", true, L"/srv/v/Sub Folder/b.mkv"},
        {"", true, L"/srv/v/"},
        {"//", true, L"/srv/v/"},
        {"//etc/passwd", true, L"/srv/v/etc/passwd"},  // below the share, never the root
        {"a//../../x", false, L""},
        {"/..", false, L""},
        {"//C:/x", false, L""},
        {"a//b\\..\\..\\x", false, L""},
        {"a//\x01", false, L""},
    };
    for (const auto& c : cases) {
        std::wstring joined = L"untouched";
        EXPECT_EQ(c.joins, JoinSharePath(L"/srv/v", c.relative, joined)) << c.relative;
        EXPECT_EQ(c.joins ? std::wstring(c.joined) : std::wstring(L"untouched"), joined) << c.relative;
    }
}

}  // namespace
