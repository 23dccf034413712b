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

RangePlan Unsatisfiable(uint64_t size) {
    RangePlan plan;
    plan.kind = RangePlan::NotSatisfiable;
    plan.contentRange = "bytes */" + Decimal(size);
    return plan;
}

RangePlan Partial(uint64_t from, uint64_t to, uint64_t size) {
    RangePlan plan;
    plan.kind = RangePlan::Partial;
    plan.from = from;
    plan.to = to;
    plan.length = to - from + 1;
    plan.contentRange = "bytes " + Decimal(from) + "-" + Decimal(to) + "/" + Decimal(size);
    return plan;
}
}  // namespace

ByteRange ParseRange(const std::string& value) {
    // Either side may be empty, but not both: "N-M", "N-" and "-N".
    static const boost::regex kRange("bytes=([0-9]*)-([0-9]*)", boost::regex::perl);
    ByteRange range;
    boost::smatch match;
    if (!boost::regex_search(value, match, kRange)) return range;
    const std::string first = match[1].str();
    const std::string last = match[2].str();
    uint64_t a = 0;
    uint64_t b = 0;
    if (!ReadOffset(first, a) || !ReadOffset(last, b)) return range;
    if (!first.empty() && !last.empty()) {
        range.kind = ByteRange::Closed;
    } else if (!first.empty()) {
        range.kind = ByteRange::Open;
    } else if (!last.empty()) {
        range.kind = ByteRange::Suffix;
    } else {
        return range;
    }
    range.first = a;
    range.last = b;
    return range;
}

RangePlan PlanRange(const ByteRange& range, uint64_t size) {
    switch (range.kind) {
        case ByteRange::None: {
            RangePlan plan;
            plan.length = size;
            if (size > 0) {
                plan.to = size - 1;
                plan.contentRange = "bytes 0-" + Decimal(plan.to) + "/" + Decimal(size);
            }
            return plan;
        }
        case ByteRange::Closed:
            if (range.first >= size || range.first > range.last) return Unsatisfiable(size);
            return Partial(range.first, range.last < size ? range.last : size - 1, size);
        case ByteRange::Open:
            if (range.first >= size) return Unsatisfiable(size);
            return Partial(range.first, size - 1, size);
        case ByteRange::Suffix:
            if (range.last == 0 || size == 0) return Unsatisfiable(size);
            return Partial(range.last < size ? size - range.last : 0, size - 1, size);
    }
    return Unsatisfiable(size);
}

RangePlan PlanRange(uint64_t from, uint64_t to, uint64_t size) {
    ByteRange range;
    if (from != 0 || to != 0) {
        range.kind = ByteRange::Closed;
        range.first = from;
        range.last = to;
    }
    return PlanRange(range, size);
}
