#include "api/ByteRange.h"

#include <gtest/gtest.h>

namespace {

struct ParseCase {
    const char* value;
    ByteRange::Kind kind;
    uint64_t first;
    uint64_t last;
};

TEST(ParseRange, ReadsTheFirstRangeInEachOfItsThreeForms) {
    const ParseCase cases[] = {
        {"bytes=100-199", ByteRange::Closed, 100, 199},
        {"bytes=0-0", ByteRange::Closed, 0, 0},
        {"bytes=5000000000-5000000099", ByteRange::Closed, 5000000000ull, 5000000099ull},
        {"bytes=18446744073709551615-18446744073709551615", ByteRange::Closed, 18446744073709551615ull,
         18446744073709551615ull},
        // Searched anywhere in the value; only the first range of a list counts.
        {"  bytes=7-9, 20-30", ByteRange::Closed, 7, 9},
        {"x bytes=1-2 bytes=3-4", ByteRange::Closed, 1, 2},
        {"bytes=00012-00034", ByteRange::Closed, 12, 34},
        // The open and the suffix forms.
        {"bytes=500-", ByteRange::Open, 500, 0},
        {"bytes=0-", ByteRange::Open, 0, 0},
        {"bytes=-500", ByteRange::Suffix, 0, 500},
        {"bytes=-0", ByteRange::Suffix, 0, 0},
        {"bytes=-5, 0-1", ByteRange::Suffix, 0, 5},
        // Empty forms, other units and junk: no range.
        {"bytes=-", ByteRange::None, 0, 0},
        {"", ByteRange::None, 0, 0},
        {"items=1-2", ByteRange::None, 0, 0},
        {"bytes = 1-2", ByteRange::None, 0, 0},
        {"bytes=a-b", ByteRange::None, 0, 0},
        // Digits that overflow 64 bits are no range at all, not a clamped one.
        {"bytes=18446744073709551616-18446744073709551617", ByteRange::None, 0, 0},
        {"bytes=1-99999999999999999999999", ByteRange::None, 0, 0},
        {"bytes=-99999999999999999999999", ByteRange::None, 0, 0},
    };
    for (const ParseCase& c : cases) {
        const ByteRange range = ParseRange(c.value);
        EXPECT_EQ(c.kind, range.kind) << c.value;
        EXPECT_EQ(c.first, range.first) << c.value;
        EXPECT_EQ(c.last, range.last) << c.value;
    }
}

struct PlanCase {
    uint64_t from;
    uint64_t to;
    uint64_t size;
    RangePlan::Kind kind;
    uint64_t planFrom;
    uint64_t length;
    const char* contentRange;
};

TEST(PlanRange, FitsTheRangeToTheFile) {
    const uint64_t big = 6ull * 1024 * 1024 * 1024;  // beyond 32-bit offsets
    const PlanCase cases[] = {
        {0, 0, 1000, RangePlan::Whole, 0, 1000, "bytes 0-999/1000"},
        {100, 199, 1000, RangePlan::Partial, 100, 100, "bytes 100-199/1000"},
        {999, 999, 1000, RangePlan::Partial, 999, 1, "bytes 999-999/1000"},
        {0, 1, 1000, RangePlan::Partial, 0, 2, "bytes 0-1/1000"},
        // A last byte past the end is clamped.
        {900, 5000, 1000, RangePlan::Partial, 900, 100, "bytes 900-999/1000"},
        {1, 18446744073709551615ull, 1000, RangePlan::Partial, 1, 999, "bytes 1-999/1000"},
        // A first byte at or past the end, or after the last byte: not satisfiable.
        {1000, 1001, 1000, RangePlan::NotSatisfiable, 0, 0, "bytes */1000"},
        {5000, 6000, 1000, RangePlan::NotSatisfiable, 0, 0, "bytes */1000"},
        {200, 100, 1000, RangePlan::NotSatisfiable, 0, 0, "bytes */1000"},
        // An empty file: whole with no Content-Range; any range cannot be satisfied.
        {0, 0, 0, RangePlan::Whole, 0, 0, ""},
        {0, 10, 0, RangePlan::NotSatisfiable, 0, 0, "bytes */0"},
        // Offsets beyond 4 GiB.
        {big - 100, big + 100, big, RangePlan::Partial, big - 100, 100, "bytes 6442450844-6442450943/6442450944"},
        {5000000000ull, 5000000099ull, big, RangePlan::Partial, 5000000000ull, 100,
         "bytes 5000000000-5000000099/6442450944"},
    };
    for (const PlanCase& c : cases) {
        const RangePlan plan = PlanRange(c.from, c.to, c.size);
        const std::string label = std::to_string(c.from) + "-" + std::to_string(c.to) + "/" + std::to_string(c.size);
        EXPECT_EQ(c.kind, plan.kind) << label;
        EXPECT_EQ(c.length, plan.length) << label;
        EXPECT_EQ(c.contentRange, plan.contentRange) << label;
        if (c.kind != RangePlan::NotSatisfiable) {
            EXPECT_EQ(c.planFrom, plan.from) << label;
            if (c.length > 0) {
                EXPECT_EQ(plan.from + plan.length - 1, plan.to) << label;
            }
        }
    }
}

struct FormCase {
    const char* value;
    uint64_t size;
    RangePlan::Kind kind;
    uint64_t from;
    uint64_t length;
    const char* contentRange;
};

TEST(PlanRange, OpenAndSuffixFormsGetTheirPartOfTheFile) {
    const uint64_t big = 6ull * 1024 * 1024 * 1024;
    const FormCase cases[] = {
        {"bytes=100-", 1000, RangePlan::Partial, 100, 900, "bytes 100-999/1000"},
        {"bytes=0-", 1000, RangePlan::Partial, 0, 1000, "bytes 0-999/1000"},
        {"bytes=999-", 1000, RangePlan::Partial, 999, 1, "bytes 999-999/1000"},
        {"bytes=1000-", 1000, RangePlan::NotSatisfiable, 0, 0, "bytes */1000"},
        {"bytes=-100", 1000, RangePlan::Partial, 900, 100, "bytes 900-999/1000"},
        {"bytes=-1", 1000, RangePlan::Partial, 999, 1, "bytes 999-999/1000"},
        // A suffix longer than the file is the whole file, still as a range.
        {"bytes=-5000", 1000, RangePlan::Partial, 0, 1000, "bytes 0-999/1000"},
        {"bytes=-0", 1000, RangePlan::NotSatisfiable, 0, 0, "bytes */1000"},
        {"bytes=-10", 0, RangePlan::NotSatisfiable, 0, 0, "bytes */0"},
        {"bytes=0-", 0, RangePlan::NotSatisfiable, 0, 0, "bytes */0"},
        // A closed range from 0 to 0 is the first byte.
        {"bytes=0-0", 1000, RangePlan::Partial, 0, 1, "bytes 0-0/1000"},
        {"bytes=5000000000-", big, RangePlan::Partial, 5000000000ull, big - 5000000000ull,
         "bytes 5000000000-6442450943/6442450944"},
        {"bytes=-100", big, RangePlan::Partial, big - 100, 100, "bytes 6442450844-6442450943/6442450944"},
        {"", 1000, RangePlan::Whole, 0, 1000, "bytes 0-999/1000"},
    };
    for (const FormCase& c : cases) {
        const RangePlan plan = PlanRange(ParseRange(c.value), c.size);
        const std::string label = std::string(c.value) + " of " + std::to_string(c.size);
        EXPECT_EQ(c.kind, plan.kind) << label;
        EXPECT_EQ(c.length, plan.length) << label;
        EXPECT_EQ(c.contentRange, plan.contentRange) << label;
        if (c.kind != RangePlan::NotSatisfiable) {
            EXPECT_EQ(c.from, plan.from) << label;
        }
    }
}

}  // namespace
