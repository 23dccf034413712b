#include "api/ByteRange.h"

#include <limits>

#include <boost/regex.hpp>

#include "kivlib/kiv_text.h"

namespace {
// Decimal digits as a 64-bit value; false when the value does not fit.
bool ReadOffset(const std::string& digits, uint64_t& value) {
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    value = 0;
    for (char c : digits) {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

std::string Decimal(uint64_t value) { return numstr::ToStr(value, 10, 0); }
}  // namespace

bool ParseRange(const std::string& value, uint64_t& from, uint64_t& to) {
    from = 0;
    to = 0;
    static const boost::regex kRange("bytes=([0-9]+)-([0-9]+)", boost::regex::perl);
    boost::smatch match;
    if (!boost::regex_search(value, match, kRange)) return false;
    uint64_t first = 0;
    uint64_t last = 0;
    if (!ReadOffset(match[1].str(), first) || !ReadOffset(match[2].str(), last)) return false;
    from = first;
    to = last;
    return true;
}

RangePlan PlanRange(uint64_t from, uint64_t to, uint64_t size) {
    RangePlan plan;
    if (from == 0 && to == 0) {
        plan.kind = RangePlan::Whole;
        plan.length = size;
        if (size > 0) {
            plan.to = size - 1;
            plan.contentRange = "bytes 0-" + Decimal(plan.to) + "/" + Decimal(size);
        }
        return plan;
    }
    if (from >= size || from > to) {
        plan.kind = RangePlan::NotSatisfiable;
        plan.contentRange = "bytes */" + Decimal(size);
        return plan;
    }
    plan.kind = RangePlan::Partial;
    plan.from = from;
    plan.to = to < size ? to : size - 1;
    plan.length = plan.to - plan.from + 1;
    plan.contentRange = "bytes " + Decimal(plan.from) + "-" + Decimal(plan.to) + "/" + Decimal(size);
    return plan;
}
