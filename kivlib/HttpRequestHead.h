// One HTTP/1.x request head, parsed: request line, header fields and the framing they imply.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kivhttp {

struct HttpRequestHead {
    std::string Method;
    std::string Target;  // as it arrived
    std::string Path;    // the target up to "?", not percent-decoded
    std::string Query;   // after the first "?"; empty when there is none
    int MinorVersion = 1;
    std::vector<std::pair<std::string, std::string>> Headers;  // in order; values trimmed
    uint64_t ContentLength = 0;
    bool KeepAlive = true;  // false: the connection ends after the reply
    bool ExpectsContinue = false;  // "Expect: 100-continue": the client waits for a 100 before its body

    // The first field of that name (names compare without regard to ASCII case).
    bool FindHeader(const std::string& name, std::string& value) const;
};

// head: the bytes before the blank line that ends a head (lines separated by CR LF). False with a
// reason in error for anything malformed, and in status the reply it calls for (400, or 411 for a
// Transfer-Encoding). Chunked or any other Transfer-Encoding is refused: the clients send bodies with a
// Content-Length only, and a body we cannot frame cannot be skipped.
bool ParseRequestHead(const std::string& head, HttpRequestHead& out, std::string& error, int* status = nullptr);

bool EqualsIgnoreCase(const std::string& a, const std::string& b);
// RFC 9110 token: the characters allowed in methods and header names.
bool IsToken(const std::string& text);
// No CR, LF, NUL or other control byte but tab: safe inside a header line.
bool IsFieldValue(const std::string& text);

}  // namespace kivhttp
