#include "media/MediaRunSlot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// CALVORO_MEDIA_RUN_LIMIT_MS as a user may write it: only a plain number of milliseconds from 1 to
// 600000 is taken; anything else leaves the limit as it is.
TEST(MediaRunSlotTest, ARunLimitIsAPlainNumberFromOneTo600000) {
    struct Case {
        std::string text;
        bool taken;
        uint32_t ms;
    };
    const std::vector<Case> cases = {
        {"1", true, 1},         {"5000", true, 5000}, {"600000", true, 600000}, {"060000", true, 60000},
        {"0", false, 0},        {"600001", false, 0}, {"99999999999", false, 0}, {"abc", false, 0},
        {"", false, 0},         {"-1", false, 0},     {"+5", false, 0},          {" 5", false, 0},
        {"5 ", false, 0},       {"5s", false, 0},     {"1e3", false, 0},         {"0x10", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t ms = 12345;
        EXPECT_EQ(c.taken, MediaRunSlot::ParseTimeLimitMs(c.text, ms)) << "\"" << c.text << "\"";
        EXPECT_EQ(c.taken ? c.ms : 12345u, ms) << "\"" << c.text << "\"";
    }
}

}  // namespace
