#include "kivlib/kiv_text.h"

#include <gtest/gtest.h>

#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

// ---- numstr -------------------------------------------------------------------------------------

TEST(NumStr, IntegersInAnyBaseWithPadding) {
    EXPECT_EQ("0", numstr::ToStr(int64_t(0)));
    EXPECT_EQ("ff", numstr::ToStr(uint32_t(255), 16));
    EXPECT_EQ("005", numstr::ToStr(int32_t(5), 10, 3));
    EXPECT_EQ("12345", numstr::ToStr(int32_t(12345), 10, 3));
    EXPECT_EQ("-42", numstr::ToStr(int32_t(-42)));
    EXPECT_EQ("-007", numstr::ToStr(int64_t(-7), 10, 3));
    EXPECT_EQ("101", numstr::ToStr(uint32_t(5), 2));
    EXPECT_EQ("z", numstr::ToStr(uint32_t(35), 36));
    EXPECT_EQ("4294967295", numstr::ToStr(std::numeric_limits<uint32_t>::max()));
    EXPECT_EQ("-2147483648", numstr::ToStr(std::numeric_limits<int32_t>::min()));
    EXPECT_EQ("-9223372036854775808", numstr::ToStr(std::numeric_limits<int64_t>::min()));
    EXPECT_EQ("ffffffffffffffff", numstr::ToStr(std::numeric_limits<uint64_t>::max(), 16));
    EXPECT_EQ("0000000a", numstr::ToStr(uint64_t(10), 16, 8));
}

TEST(NumStr, SessionIdsAbove32BitsSurviveHexText) {
    for (uint64_t id : {uint64_t(0x100000000ull), uint64_t(0x1234567890abcdefull), std::numeric_limits<uint64_t>::max()}) {
        std::string text = numstr::ToStr(id, 16, 0);
        EXPECT_EQ(id, numstr::ToUint64(text, 16)) << text;
    }
    EXPECT_EQ(0xDEADBEEFCAFEull, numstr::ToUint64("DEADBEEFCAFE", 16));
}

struct ParseCase {
    const char* text;
    int base;
    uint64_t expected32;
    uint64_t expected64;
};

TEST(NumStr, UnsignedParseTakesDigitsAfterOptionalMinusAndSaturates) {
    const uint64_t max32 = std::numeric_limits<uint32_t>::max();
    const uint64_t max64 = std::numeric_limits<uint64_t>::max();
    const ParseCase cases[] = {
        {"17", 10, 17, 17},
        {"-17.ts", 10, 17, 17},  // the number after "segment" in "segment-17.ts"
        {"17.ts", 10, 17, 17},
        {"0042", 10, 42, 42},
        {"", 10, 0, 0},
        {"-", 10, 0, 0},
        {"--5", 10, 0, 0},
        {"abc", 10, 0, 0},
        {" 5", 10, 0, 0},
        {"4294967295", 10, max32, 4294967295ull},
        {"4294967296", 10, max32, 4294967296ull},
        {"18446744073709551615", 10, max32, max64},
        {"18446744073709551616", 10, max32, max64},
        {"999999999999999999999999", 10, max32, max64},
        {"ff", 16, 255, 255},
        {"FFg", 16, 255, 255},
        {"100000000", 16, max32, 0x100000000ull},
        {"777", 8, 511, 511},
        {"19", 8, 1, 1},
        {"12", 1, 0, 0},
        {"12", 37, 0, 0},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " base " + std::to_string(c.base));
        EXPECT_EQ(c.expected32, numstr::ToUint32(c.text, c.base));
        EXPECT_EQ(c.expected64, numstr::ToUint64(c.text, c.base));
    }
}

struct DoubleCase {
    double value;
    int width, minDecimals, maxDecimals;
    const char* expected;
};

// Rounding is half away from zero on the shortest decimal form of the double, so 12.345 -> "12.35".
const DoubleCase kDoubleCases[] = {
    {1.5, 0, 0, 5, "1.5"},
    {2.0, 0, 0, 5, "2"},
    {0.1, 0, 0, 5, "0.1"},
    {1.0 / 3.0, 0, 0, 5, "0.33333"},
    {12.345, 0, 2, 2, "12.35"},
    {2.675, 0, 2, 2, "2.68"},
    {1.005, 0, 0, 2, "1.01"},
    {12.344, 0, 2, 2, "12.34"},
    {2.0, 0, 2, 2, "2.00"},
    {2.5, 0, 2, 2, "2.50"},
    {9.999, 0, 0, 2, "10"},
    {99.96, 0, 1, 1, "100.0"},
    {0.5, 0, 0, 0, "1"},
    {0.4, 0, 0, 0, "0"},
    {-1.25, 0, 1, 1, "-1.3"},
    {-0.001, 0, 0, 2, "0"},
    {-0.0, 0, 0, 2, "0"},
    {3.14159, 8, 0, 2, "    3.14"},
    {123456.0, 3, 0, 2, "123456"},
    {1e21, 0, 0, 2, "1000000000000000000000"},
    {1e-7, 0, 0, 5, "0"},
    {4294967296.5, 0, 0, 1, "4294967296.5"},
};

TEST(NumStr, DoubleToTextRoundsAndTrimsDecimals) {
    for (const DoubleCase& c : kDoubleCases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(c.expected, numstr::ToStr(c.value, c.width, c.minDecimals, c.maxDecimals));
    }
    EXPECT_EQ("nan", numstr::ToStr(std::nan(""), 0, 0, 2));
    EXPECT_EQ("-inf", numstr::ToStr(-HUGE_VAL, 0, 0, 2));
}

TEST(NumStr, TextToDouble) {
    struct Case {
        const char* text;
        double expected;
    };
    const Case cases[] = {
        {"1.5", 1.5},  {"-2.25", -2.25}, {"  3", 3.0},     {"+4", 4.0},     {"23.976", 23.976},
        {"1e3", 1000}, {"2.5xyz", 2.5},  {"1,5", 1.0},     {".5", 0.5},     {"abc", 0.0},
        {"", 0.0},     {"-", 0.0},       {"1e-400", 0.0},  {"00012.50", 12.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_DOUBLE_EQ(c.expected, numstr::ToDouble(c.text));
    }
    EXPECT_EQ(HUGE_VAL, numstr::ToDouble("1e400"));
    EXPECT_EQ(-HUGE_VAL, numstr::ToDouble("-1e400"));
}

// ---- kivm: UTF-8 ---------------------------------------------------------------------------------

TEST(Utf8, ValidTextRoundTrips) {
    const std::wstring wide = L"a\u00e9\u65e5\U0001F3AC\u007f\U0010FFFF";
    const std::string narrow = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x8E\xAC\x7F\xF4\x8F\xBF\xBF";
    EXPECT_EQ(narrow, kivm::ToUTF8Ex(wide));
    EXPECT_EQ(wide, kivm::FromUTF8ExW(narrow));
    EXPECT_EQ(narrow, kivm::str_conv(wide));
    EXPECT_EQ(wide, kivm::str_conv(narrow));
    EXPECT_TRUE(kivm::IsValidUtf8(narrow));
    std::string withNul("a\0b", 3);
    EXPECT_EQ(withNul, kivm::ToUTF8Ex(kivm::FromUTF8ExW(withNul)));
}

// Each byte of an ill-formed sequence travels in wide text as U+DC00 + the byte, so the narrow text comes
// back unchanged; ToValidUtf8 instead replaces each ill-formed sequence by one U+FFFD.
TEST(Utf8, IllFormedBytesAreEscapedInWideTextAndComeBack) {
    struct Case {
        const char* name;
        std::string bytes;
        std::wstring wide;
        std::string valid;
    };
    auto E = [](unsigned byte) { return std::wstring(1, static_cast<wchar_t>(0xDC00 + byte)); };
    const std::string R = "\xEF\xBF\xBD";
    const std::vector<Case> cases = {
        {"lone continuation", "a\x80" "b", L"a" + E(0x80) + L"b", "a" + R + "b"},
        {"overlong slash", "\xC0\xAF", E(0xC0) + E(0xAF), R + R},
        {"overlong 3-byte", "\xE0\x80\xAF", E(0xE0) + E(0x80) + E(0xAF), R + R + R},
        {"surrogate", "\xED\xA0\x80", E(0xED) + E(0xA0) + E(0x80), R + R + R},
        {"above U+10FFFF", "\xF4\x90\x80\x80", E(0xF4) + E(0x90) + E(0x80) + E(0x80), R + R + R + R},
        {"F5 lead", "\xF5\x80", E(0xF5) + E(0x80), R + R},
        {"FF byte", "\xFF", E(0xFF), R},
        {"truncated 3-byte", "a\xE2\x82", L"a" + E(0xE2) + E(0x82), "a" + R},
        {"truncated 4-byte then ASCII", "\xF0\x9F\x8E" "x", E(0xF0) + E(0x9F) + E(0x8E) + L"x", R + "x"},
        {"lead then lead", "\xC3\xC3\xA9", E(0xC3) + L"\u00e9", R + "\xC3\xA9"},
        {"latin-1 text", "caf\xE9", L"caf" + E(0xE9), "caf" + R},
        {"latin-1 then UTF-8", "\xE9t\xC3\xA9", E(0xE9) + L"t\u00e9", R + "t\xC3\xA9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.wide, kivm::FromUTF8ExW(c.bytes));
        EXPECT_EQ(c.wide, kivm::str_conv(c.bytes));
        EXPECT_EQ(c.bytes, kivm::ToUTF8Ex(kivm::FromUTF8ExW(c.bytes)));
        EXPECT_EQ(c.bytes, kivm::str_conv(kivm::str_conv(c.bytes)));
        EXPECT_FALSE(kivm::IsValidUtf8(c.bytes));
        EXPECT_EQ(c.valid, kivm::ToValidUtf8(c.bytes));
        EXPECT_TRUE(kivm::IsValidUtf8(kivm::ToValidUtf8(c.bytes)));
    }
}

TEST(Utf8, ToValidUtf8KeepsValidText) {
    for (const std::string& text : {std::string(""), std::string("plain"), std::string("a\0b", 3),
                                    std::string("\xC3\xA9\xE6\x97\xA5\xF0\x9F\x8E\xAC\xF4\x8F\xBF\xBF")}) {
        EXPECT_EQ(text, kivm::ToValidUtf8(text));
    }
}

TEST(Utf8, WideValuesThatAreNoCharacterBecomeReplacement) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ("a" + replacement, kivm::ToUTF8Ex(std::wstring{L'a', static_cast<wchar_t>(0xD800)}));
    EXPECT_EQ(replacement, kivm::ToUTF8Ex(std::wstring(1, static_cast<wchar_t>(0x110000))));
    EXPECT_EQ(replacement, kivm::ToUTF8Ex(std::wstring(1, static_cast<wchar_t>(-1))));
    // Only U+DC80..U+DCFF stand for bytes; their neighbours are surrogates like any other.
    EXPECT_EQ(replacement, kivm::ToUTF8Ex(std::wstring(1, static_cast<wchar_t>(0xDC7F))));
    EXPECT_EQ(replacement, kivm::ToUTF8Ex(std::wstring(1, static_cast<wchar_t>(0xDD00))));
    EXPECT_EQ("\x80\xFF", kivm::ToUTF8Ex(std::wstring{static_cast<wchar_t>(0xDC80), static_cast<wchar_t>(0xDCFF)}));
}

// Runs every locale-sensitive conversion and gives the results as one text.
std::string LocaleSensitiveResults() {
    std::string out;
    out += kivm::ToUTF8Ex(L"\u00e9\u65e5\U0001F3AC") + "|";
    std::wstring wide = kivm::FromUTF8ExW("\xC3\xA9\xE6\x97\xA5");
    for (wchar_t c : wide) out += std::to_string(static_cast<long>(c)) + ",";
    out += "|" + numstr::ToStr(1234.5, 0, 0, 2) + "|" + numstr::ToStr(numstr::ToDouble("1234.75"), 0, 2, 2);
    out += "|" + std::string(kivm::IsValidUtf8("\xC3\xA9") ? "valid" : "invalid");
    return out;
}

TEST(Utf8, ProcessLocaleMakesNoDifference) {
    std::string saved = setlocale(LC_ALL, nullptr);
    ASSERT_NE(nullptr, setlocale(LC_ALL, "C"));
    std::string inC = LocaleSensitiveResults();
    bool haveUtf8 = setlocale(LC_ALL, "C.UTF-8") != nullptr;
    std::string inUtf8 = haveUtf8 ? LocaleSensitiveResults() : std::string();
    setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ("\xC3\xA9\xE6\x97\xA5\xF0\x9F\x8E\xAC|233,26085,|1234.5|1234.75|valid", inC);
    if (!haveUtf8) GTEST_SKIP() << "no C.UTF-8 locale on this machine";
    EXPECT_EQ(inC, inUtf8);
}

// ---- kivm: case and paths ------------------------------------------------------------------------

// A cut at the limit never splits a character or an escape, and says how much of the text it took.
TEST(Utf8, EscapeForLogCutsOnlyBetweenWholePieces) {
    struct Case {
        std::string text;
        bool keepLineFeeds;
        size_t most;
        std::string out;
        size_t used;
    };
    const std::vector<Case> cases = {
        {"ab\ncd", false, std::string::npos, "ab\\ncd", 5},
        {"ab\ncd", true, std::string::npos, "ab\ncd", 5},
        {"ab\x01", false, 5, "ab", 2},            // "\x01" needs four bytes, three are left
        {"ab\x01", false, 6, "ab\\x01", 3},
        {"a\xc3\xa9", false, 2, "a", 1},           // "é" is two bytes
        {"a\xff", false, 3, "a", 1},               // U+FFFD is three
        {"a\xff", false, 4, "a\xef\xbf\xbd", 2},
        {"", false, 0, "", 0},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.out);
        size_t used = 99;
        EXPECT_EQ(item.out, kivm::EscapeForLog(item.text, item.keepLineFeeds, item.most, &used));
        EXPECT_EQ(item.used, used);
        EXPECT_TRUE(kivm::IsValidUtf8(item.out));
    }
}

TEST(Utf8, WholePrefixLeavesOutOnlyACharacterThatRunsPastTheEnd) {
    const std::vector<std::pair<std::string, size_t>> cases = {
        {"abc", 3}, {"ab\xc3", 2}, {"ab\xc3\xa9", 4}, {"a\xe2\x82", 1}, {"a\xe2\x82\xac", 4},
        {"a\xf0\x9f\x98", 1}, {"a\xf0\x9f\x98\x80", 5}, {"\x80\x80", 2}, {"", 0},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.second);
        EXPECT_EQ(item.second, kivm::Utf8WholePrefix(item.first.data(), item.first.size()));
    }
}

TEST(Text, LowerCaseAndCaselessCompareTouchAsciiOnly) {
    EXPECT_EQ("abc.mkv 123 \xC3\x89", kivm::str_tolower("ABC.MkV 123 \xC3\x89"));
    EXPECT_TRUE(kivm::str_case_eq(std::string("Video.AVI"), std::string("video.avi")));
    EXPECT_FALSE(kivm::str_case_eq(std::string("video.avi"), std::string("video.av")));
    EXPECT_FALSE(kivm::str_case_eq(std::string("a[b"), std::string("a{b")));  // '[' and '{' are 32 apart
    EXPECT_TRUE(kivm::str_case_eq(std::wstring(L"C:/Movies"), std::wstring(L"c:/mOVIES")));
    EXPECT_FALSE(kivm::str_case_eq(std::wstring(L"abc"), std::wstring(L"abd")));
}

TEST(Text, StandardizePath) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        // A backslash is an ordinary character in a name here, never a separator.
        {"C:\\Movies\\Kids\\", "C:\\Movies\\Kids\\"},
        {"/media/My\\Videos/", "/media/My\\Videos"},
        {"/a\\//b\\", "/a\\/b\\"},
        {"\\\\server\\share", "\\\\server\\share"},
        {"\\", "\\"},
        {"/home//user///videos/", "/home/user/videos"},
        {"/", "/"},
        {"//", "/"},
        {"", ""},
        {"name", "name"},
        {"a/b", "a/b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(c.out, kivm::standardize_path(std::string(c.in)));
        EXPECT_EQ(kivm::FromUTF8ExW(c.out), kivm::standardize_path(kivm::FromUTF8ExW(c.in)));
    }
}

TEST(Text, FileFromPath) {
    EXPECT_EQ("c.mkv", kivm::get_file_from_path(std::string("/a/b/c.mkv")));
    EXPECT_EQ("z\\y.avi", kivm::get_file_from_path(std::string("c:\\x/z\\y.avi")));
    EXPECT_EQ("a\\b.mkv", kivm::get_file_from_path(std::string("/share/a\\b.mkv")));
    EXPECT_EQ(L"a\\b.mkv", kivm::get_file_from_path(std::wstring(L"/share/a\\b.mkv")));
    EXPECT_EQ("name", kivm::get_file_from_path(std::string("name")));
    EXPECT_EQ("", kivm::get_file_from_path(std::string("/a/")));
    EXPECT_EQ(L"\u00e9.mp4", kivm::get_file_from_path(std::wstring(L"/v/\u00e9.mp4")));
}

TEST(Text, Md5KnownDigests) {
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", kivm::compute_md5("abc"));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", kivm::compute_md5(""));
    EXPECT_EQ("9e107d9d372bb6826bd81d3542a419d6", kivm::compute_md5("The quick brown fox jumps over the lazy dog"));
    EXPECT_EQ("93b885adfe0da089cdf634904fd59f71", kivm::compute_md5(std::string(1, '\0')));
}

// ---- kivm: the per-user data folder --------------------------------------------------------------

class DataFolder : public testing::Test {
protected:
    void SetUp() override {
        Save("HOME", home_);
        Save("XDG_DATA_HOME", xdg_);
        setenv("HOME", (dir_.path() + "/home").c_str(), 1);
    }
    void TearDown() override {
        Restore("HOME", home_);
        Restore("XDG_DATA_HOME", xdg_);
    }

    static mode_t Mode(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? (st.st_mode & 07777) : 0;
    }

    testsupport::TempDir dir_;

private:
    struct Saved {
        bool set = false;
        std::string value;
    };
    static void Save(const char* name, Saved& saved) {
        const char* value = getenv(name);
        saved.set = value != nullptr;
        if (value) saved.value = value;
    }
    static void Restore(const char* name, const Saved& saved) {
        if (saved.set) setenv(name, saved.value.c_str(), 1); else unsetenv(name);
    }
    Saved home_, xdg_;
};

TEST_F(DataFolder, XdgDataHomeIsUsedAndMissingFoldersAreMadePrivate) {
    std::string xdg = dir_.path() + "/x/data";
    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    std::wstring path;
    ASSERT_TRUE(kivm::create_user_data_folder(path, L"Calvoro"));
    EXPECT_EQ(kivm::FromUTF8ExW(xdg + "/Calvoro"), path);
    EXPECT_EQ(0700u, Mode(xdg + "/Calvoro"));
    std::wstring again;
    ASSERT_TRUE(kivm::create_user_data_folder(again, L"Calvoro"));
    EXPECT_EQ(path, again);
}

TEST_F(DataFolder, HomeLocalShareWhenXdgIsUnsetEmptyOrRelative) {
    const std::string expected = dir_.path() + "/home/.local/share/Calvoro";
    for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/data"}) {
        SCOPED_TRACE(xdg ? xdg : "(unset)");
        if (xdg) setenv("XDG_DATA_HOME", xdg, 1); else unsetenv("XDG_DATA_HOME");
        std::wstring path;
        ASSERT_TRUE(kivm::create_user_data_folder(path, L"Calvoro"));
        EXPECT_EQ(kivm::FromUTF8ExW(expected), path);
        EXPECT_EQ(0700u, Mode(expected));
    }
}

TEST_F(DataFolder, FailsWhenTheFolderCannotBeMade) {
    std::string file = dir_.file("plain-file");
    testsupport::WriteFile(file, "x");
    setenv("XDG_DATA_HOME", file.c_str(), 1);
    std::wstring path;
    EXPECT_FALSE(kivm::create_user_data_folder(path, L"Calvoro"));
    testsupport::WriteFile(dir_.file("taken"), "x");
    setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
    EXPECT_FALSE(kivm::create_user_data_folder(path, L"taken"));
}

}  // namespace
