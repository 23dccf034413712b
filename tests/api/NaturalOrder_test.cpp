#include "api/NaturalOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

}  // namespace
