#include "api/NaturalOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kivlib/kiv_text.h"

namespace {

TEST(NaturalOrder, SortsAsAFileManagerShows) {
    const std::vector<std::wstring> sorted = {
        L"", L"01", L"1", L"2", L"10", L"18446744073709551616", L"99999999999999999999999", L"a", L"A1", L"a1",
        L"a01b", L"a1b", L"a2", L"A10", L"Episode 2", L"episode 10", L"S01E09", L"S01E10", L"s01e11",
        L"\u00c9t\u00e9", L"\u00e9t\u00e9 2",
    };
    for (size_t i = 0; i < sorted.size(); ++i) {
        EXPECT_FALSE(NaturalNameLess(sorted[i], sorted[i]));
        for (size_t j = i + 1; j < sorted.size(); ++j) {
            EXPECT_TRUE(NaturalNameLess(sorted[i], sorted[j])) << i << " before " << j;
            EXPECT_FALSE(NaturalNameLess(sorted[j], sorted[i])) << j << " after " << i;
        }
    }
    std::vector<std::wstring> shuffled(sorted.rbegin(), sorted.rend());
    std::sort(shuffled.begin(), shuffled.end(), NaturalNameLess);
    EXPECT_EQ(sorted, shuffled);
}

// Listings sort names as UTF-8: every pair of names compares as it does in wide text.
TEST(NaturalOrder, Utf8NamesSortAsTheirWideForms) {
    const std::vector<std::wstring> names = {
        L"", L"0", L"007", L"7", L"a", L"A", L"a7b", L"a07b", L"Z", L"z9", L"~", L"\u00e9", L"\u00c9", L"e",
        L"\u00e99", L"\u00e910", L"\u03a3\u03b1", L"\u03c3\u03b1", L"\u0416", L"\u0436", L"\u0401", L"\u0451",
        L"\u00d7", L"\u00f7", L"\u65e5\u672c 2", L"\u65e5\u672c 10", L"\U0001F3AC", L"\U0001F3AC1", L"\uFFFD",
        L"x\u00a0y", L"x y", L"caf\u00e9 \u2014 \U0001F3AC.mov", L"Episode 2.mkv", L"episode 10.mkv",
    };
    for (const std::wstring& a : names) {
        for (const std::wstring& b : names) {
            EXPECT_EQ(NaturalNameLess(a, b), NaturalNameLessUtf8(kivm::ToUTF8Ex(a), kivm::ToUTF8Ex(b)))
                << kivm::ToUTF8Ex(a) << " | " << kivm::ToUTF8Ex(b);
        }
    }
}

}  // namespace
