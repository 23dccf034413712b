// Byte ranges of file replies: reading the Range header and fitting the range to the file.
#pragma once

#include <cstdint>
#include <string>

// The first "bytes=FROM-TO" (decimal digits on both sides) anywhere in a Range header value, both
// offsets inclusive. False, with both 0, when there is none: no header, an open or suffix range,
// anything else, and digits whose value does not fit in 64 bits. Both 0 stand for "no range".
bool ParseRange(const std::string& value, uint64_t& from, uint64_t& to);

// What a file reply sends for a requested range of a file of size bytes.
struct RangePlan {
    enum Kind {
        Whole,           // 200, the whole file
        Partial,         // 206, bytes from..to
        NotSatisfiable,  // 416, "Content-Range: bytes */size", no body
    };
    Kind kind = Whole;
    uint64_t from = 0;
    uint64_t to = 0;      // inclusive; meaningless when length is 0
    uint64_t length = 0;  // body bytes
    // "bytes FROM-TO/SIZE", "bytes */SIZE", or empty when the reply carries no Content-Range (an empty
    // file sent whole).
    std::string contentRange;
};

// from and to both 0: the whole file. Otherwise a last byte past the end is clamped to size - 1, and a
// first byte at or beyond the end, or after the last byte, cannot be satisfied.
RangePlan PlanRange(uint64_t from, uint64_t to, uint64_t size);
