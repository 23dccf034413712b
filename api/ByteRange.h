// Byte ranges of file replies: reading the Range header and fitting the range to the file.
#pragma once

#include <cstdint>
#include <string>

// The byte range a request asks for, in one of the forms of a "bytes=" Range value.
struct ByteRange {
    enum Kind {
        None,    // no range: the whole file
        Closed,  // "bytes=FIRST-LAST", both inclusive
        Open,    // "bytes=FIRST-": from FIRST to the end
        Suffix,  // "bytes=-COUNT": the last COUNT bytes
    };
    Kind kind = None;
    uint64_t first = 0;  // Closed, Open
    uint64_t last = 0;   // Closed: the last byte; Suffix: the count
};

// The first range of the first "bytes=" in a Range header value (decimal digits). None for no header,
// other units, junk, and digits whose value does not fit in 64 bits; only the first range of a list
// counts.
ByteRange ParseRange(const std::string& value);

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

// A last byte past the end is clamped to size - 1; a suffix longer than the file is the whole file
// (still 206). A first byte at or beyond the end, a last byte before the first, or a suffix of 0
// bytes cannot be satisfied.
RangePlan PlanRange(const ByteRange& range, uint64_t size);
// from and to both 0: the whole file; otherwise the closed range from..to.
RangePlan PlanRange(uint64_t from, uint64_t to, uint64_t size);
