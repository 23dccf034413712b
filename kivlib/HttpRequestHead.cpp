#include "HttpRequestHead.h"

#include <cstring>

namespace kivhttp {

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsTokenChar(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

std::string TrimBlanks(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> SplitLines(const std::string& head) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(head.substr(start));
            return lines;
        }
        lines.push_back(head.substr(start, end - start));
        start = end + 2;
    }
}

// "http://host:port/p?q" (absolute form, allowed by HTTP/1.1) names the same resource as "/p?q".
std::string OriginForm(const std::string& target) {
    for (const char* scheme : {"http://", "https://"}) {
        size_t n = std::strlen(scheme);
        if (target.size() >= n && EqualsIgnoreCase(target.substr(0, n), scheme)) {
            size_t slash = target.find_first_of("/?", n);
            if (slash == std::string::npos) return "/";
            return target[slash] == '/' ? target.substr(slash) : "/" + target.substr(slash);
        }
    }
    return target;
}

bool ParseRequestLine(const std::string& line, HttpRequestHead& out, std::string& error) {
    // The target runs from the first blank to the last one: clients send names as they are, blanks
    // included, and the target is taken without any decoding.
    size_t sp1 = line.find(' ');
    size_t sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1 || line[sp1 + 1] == ' ' || line[sp2 - 1] == ' ') {
        error = "Malformed request line";
        return false;
    }
    out.Method = line.substr(0, sp1);
    out.Target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string version = line.substr(sp2 + 1);
    if (!IsToken(out.Method)) {
        error = "Malformed request method";
        return false;
    }
    if (out.Target.empty()) {
        error = "Empty request target";
        return false;
    }
    for (unsigned char c : out.Target) {
        if (c < 0x20 || c == 0x7f) {
            error = "Control character in request target";
            return false;
        }
    }
    if (version.size() != 8 || version.compare(0, 7, "HTTP/1.") != 0 || version[7] < '0' || version[7] > '9') {
        error = "Unsupported HTTP version";
        return false;
    }
    out.MinorVersion = version[7] - '0';
    std::string origin = OriginForm(out.Target);
    size_t question = origin.find('?');
    out.Path = origin.substr(0, question);
    out.Query = question == std::string::npos ? std::string() : origin.substr(question + 1);
    return true;
}

bool ParseHeaderLine(const std::string& line, HttpRequestHead& out, std::string& error) {
    if (line[0] == ' ' || line[0] == '\t') {
        error = "Folded header line";
        return false;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
        error = "Header line without a colon";
        return false;
    }
    std::string name = line.substr(0, colon);
    std::string value = TrimBlanks(line.substr(colon + 1));
    if (!IsToken(name)) {
        error = "Malformed header name";
        return false;
    }
    if (!IsFieldValue(value)) {
        error = "Control character in header " + name;
        return false;
    }
    out.Headers.emplace_back(name, value);
    return true;
}

bool ParseDecimal(const std::string& text, uint64_t& value) {
    if (text.empty()) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// Every Content-Length field must carry the same number: differing ones are a framing attack.
bool ResolveFraming(HttpRequestHead& out, std::string& error, int& status) {
    bool seen = false;
    for (const auto& field : out.Headers) {
        if (EqualsIgnoreCase(field.first, "Transfer-Encoding")) {
            error = "Transfer-Encoding is not supported";
            status = 411;  // a body is taken with a Content-Length only
            return false;
        }
        if (EqualsIgnoreCase(field.first, "Expect") && EqualsIgnoreCase(field.second, "100-continue"))
            out.ExpectsContinue = out.MinorVersion >= 1;
        if (!EqualsIgnoreCase(field.first, "Content-Length")) continue;
        uint64_t length = 0;
        if (!ParseDecimal(field.second, length) || (seen && length != out.ContentLength)) {
            error = "Bad Content-Length";
            return false;
        }
        out.ContentLength = length;
        seen = true;
    }
    return true;
}

void ResolveKeepAlive(HttpRequestHead& out) {
    out.KeepAlive = out.MinorVersion >= 1;
    for (const auto& field : out.Headers) {
        if (!EqualsIgnoreCase(field.first, "Connection")) continue;
        size_t start = 0;
        while (start <= field.second.size()) {
            size_t comma = field.second.find(',', start);
            if (comma == std::string::npos) comma = field.second.size();
            std::string option = TrimBlanks(field.second.substr(start, comma - start));
            if (EqualsIgnoreCase(option, "close")) {
                out.KeepAlive = false;
                return;
            }
            if (EqualsIgnoreCase(option, "keep-alive")) out.KeepAlive = true;
            start = comma + 1;
        }
    }
}

bool ParseHead(const std::string& head, HttpRequestHead& out, std::string& error, int& status) {
    out = HttpRequestHead();
    std::vector<std::string> lines = SplitLines(head);
    if (!ParseRequestLine(lines[0], out, error)) return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty()) {
            error = "Empty header line";
            return false;
        }
        if (!ParseHeaderLine(lines[i], out, error)) return false;
    }
    if (!ResolveFraming(out, error, status)) return false;
    ResolveKeepAlive(out);
    return true;
}
}  // namespace

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

bool IsToken(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (!IsTokenChar(c)) return false;
    }
    return true;
}

bool IsFieldValue(const std::string& text) {
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
    }
    return true;
}

bool HttpRequestHead::FindHeader(const std::string& name, std::string& value) const {
    for (const auto& field : Headers) {
        if (EqualsIgnoreCase(field.first, name)) {
            value = field.second;
            return true;
        }
    }
    value.clear();
    return false;
}

bool ParseRequestHead(const std::string& head, HttpRequestHead& out, std::string& error, int* status) {
    int refusal = 400;
    const bool parsed = ParseHead(head, out, error, refusal);
    if (status) *status = parsed ? 0 : refusal;
    return parsed;
}

}  // namespace kivhttp
