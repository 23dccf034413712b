// Text and number conversions, paths, MD5 and the per-user data folder.
//
// Everything here is independent of the process locale: numbers go through <charconv> (or the C locale
// object), and UTF-8 is coded by hand, so setlocale() anywhere in the process changes nothing.
#include "kivlib/kiv_text.h"

#include <errno.h>
#include <locale.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

namespace {

const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";

bool ValidBase(int base) { return base >= 2 && base <= 36; }

// Digits of magnitude in base, at least minDigits of them.
std::string UnsignedDigits(uint64_t magnitude, int base, int minDigits) {
    if (!ValidBase(base)) base = 10;
    char buffer[64];
    size_t length = 0;
    do {
        buffer[length++] = kDigits[magnitude % static_cast<unsigned>(base)];
        magnitude /= static_cast<unsigned>(base);
    } while (magnitude != 0);
    std::string text;
    if (minDigits > 0 && static_cast<size_t>(minDigits) > length) text.assign(static_cast<size_t>(minDigits) - length, '0');
    while (length > 0) text.push_back(buffer[--length]);
    return text;
}

std::string SignedDigits(int64_t value, int base, int minDigits) {
    if (value >= 0) return UnsignedDigits(static_cast<uint64_t>(value), base, minDigits);
    // Negate in unsigned arithmetic so INT64_MIN has a magnitude too.
    uint64_t magnitude = 0 - static_cast<uint64_t>(value);
    return "-" + UnsignedDigits(magnitude, base, minDigits);
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

template <typename T>
T ParseUnsigned(const std::string& text, int base) {
    if (!ValidBase(base)) return 0;
    const T maximum = std::numeric_limits<T>::max();
    size_t i = (!text.empty() && text[0] == '-') ? 1 : 0;
    T value = 0;
    for (; i < text.size(); ++i) {
        int digit = DigitValue(text[i]);
        if (digit >= base) break;
        T d = static_cast<T>(digit);
        T b = static_cast<T>(base);
        if (value > (maximum - d) / b) return maximum;
        value = static_cast<T>(value * b + d);
    }
    return value;
}

// Rounds the decimal digits "int.frac" to keep decimals digits after the point, half away from zero.
void RoundDecimal(std::string& intPart, std::string& fracPart, size_t decimals) {
    if (fracPart.size() <= decimals) return;
    bool up = fracPart[decimals] >= '5';
    fracPart.resize(decimals);
    if (!up) return;
    for (size_t i = fracPart.size(); i-- > 0;) {
        if (fracPart[i] != '9') {
            ++fracPart[i];
            return;
        }
        fracPart[i] = '0';
    }
    for (size_t i = intPart.size(); i-- > 0;) {
        if (intPart[i] != '9') {
            ++intPart[i];
            return;
        }
        intPart[i] = '0';
    }
    intPart.insert(intPart.begin(), '1');
}

std::string PadLeft(std::string text, int width) {
    if (width > 0 && text.size() < static_cast<size_t>(width)) text.insert(0, static_cast<size_t>(width) - text.size(), ' ');
    return text;
}

locale_t CLocale() {
    static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return c;
}

const char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at text[i]. Returns the code point, or kReplacement for an ill-formed
// sequence; consumed is set to the bytes used (for ill-formed input: the maximal valid prefix, at least
// one byte, so each broken sequence gives exactly one U+FFFD).
char32_t DecodeOne(const std::string& text, size_t i, size_t& consumed, bool& valid) {
    const unsigned char b0 = static_cast<unsigned char>(text[i]);
    consumed = 1;
    valid = true;
    if (b0 < 0x80) return b0;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    char32_t code;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        code = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        code = b0 & 0x0F;
        if (b0 == 0xE0) low = 0xA0;   // no overlong forms
        if (b0 == 0xED) high = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        code = b0 & 0x07;
        if (b0 == 0xF0) low = 0x90;   // no overlong forms
        if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        valid = false;
        return kReplacement;
    }
    for (size_t k = 1; k < length; ++k) {
        if (i + k >= text.size()) {
            consumed = k;
            valid = false;
            return kReplacement;
        }
        unsigned char b = static_cast<unsigned char>(text[i + k]);
        unsigned char lo = (k == 1) ? low : 0x80;
        unsigned char hi = (k == 1) ? high : 0xBF;
        if (b < lo || b > hi) {
            consumed = k;
            valid = false;
            return kReplacement;
        }
        code = (code << 6) | (b & 0x3F);
    }
    consumed = length;
    return code;
}

// Bytes that are not UTF-8 (file names are any bytes on this platform) travel in wide text as the lone
// surrogates U+DC80..U+DCFF, one per byte, so that the narrow text comes back unchanged.
const char32_t kEscapeBase = 0xDC00;
bool IsEscapedByte(char32_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

template <typename Char>
Char AsciiLower(Char c) {
    return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <typename String>
bool CaseEqual(const String& a, const String& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

template <typename String>
String StandardizePath(const String& path) {
    using Char = typename String::value_type;
    String out;
    out.reserve(path.size());
    // "/" is the only separator on this platform; a backslash is an ordinary character in a name.
    for (Char c : path) {
        if (c == Char('/') && !out.empty() && out.back() == Char('/')) continue;
        out.push_back(c);
    }
    if (out.size() > 1 && out.back() == Char('/')) out.pop_back();
    return out;
}

template <typename String>
String FileFromPath(const String& path) {
    using Char = typename String::value_type;
    size_t last = path.rfind(Char('/'));
    return last == String::npos ? path : path.substr(last + 1);
}

}  // namespace

namespace numstr {

std::string ToStr(int64_t value, int base, int minDigits) { return SignedDigits(value, base, minDigits); }
std::string ToStr(uint64_t value, int base, int minDigits) { return UnsignedDigits(value, base, minDigits); }
std::string ToStr(int32_t value, int base, int minDigits) { return SignedDigits(value, base, minDigits); }
std::string ToStr(uint32_t value, int base, int minDigits) { return UnsignedDigits(value, base, minDigits); }

// Rounding is decimal, half away from zero, applied to the shortest text that reads back as the same
// double: 12.345 gives "12.35" with two decimals, as a reader of the number expects, although the
// binary value nearest to 12.345 lies a little below it.
std::string ToStr(double value, int width, int minDecimals, int maxDecimals) {
    if (!std::isfinite(value)) return PadLeft(std::isnan(value) ? "nan" : (value < 0 ? "-inf" : "inf"), width);
    maxDecimals = std::clamp(maxDecimals, 0, 400);
    minDecimals = std::clamp(minDecimals, 0, 400);
    if (maxDecimals < minDecimals) maxDecimals = minDecimals;

    char buffer[512];
    std::to_chars_result written = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed);
    if (written.ec != std::errc()) return PadLeft("0", width);  // cannot happen: 330 characters cover any double
    std::string shortest(buffer, written.ptr);
    bool negative = !shortest.empty() && shortest[0] == '-';
    if (negative) shortest.erase(0, 1);
    size_t point = shortest.find('.');
    std::string intPart = shortest.substr(0, point);
    std::string fracPart = point == std::string::npos ? std::string() : shortest.substr(point + 1);

    RoundDecimal(intPart, fracPart, static_cast<size_t>(maxDecimals));
    while (fracPart.size() > static_cast<size_t>(minDecimals) && fracPart.back() == '0') fracPart.pop_back();
    if (fracPart.size() < static_cast<size_t>(minDecimals)) fracPart.append(static_cast<size_t>(minDecimals) - fracPart.size(), '0');

    bool zero = intPart.find_first_not_of('0') == std::string::npos && fracPart.find_first_not_of('0') == std::string::npos;
    std::string text = (negative && !zero) ? "-" : "";
    text += intPart;
    if (!fracPart.empty()) text += "." + fracPart;
    return PadLeft(text, width);
}

uint32_t ToUint32(const std::string& text, int base) { return ParseUnsigned<uint32_t>(text, base); }
uint64_t ToUint64(const std::string& text, int base) { return ParseUnsigned<uint64_t>(text, base); }

double ToDouble(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin != end && (*begin == ' ' || *begin == '\t')) ++begin;
    if (begin != end && *begin == '+' && begin + 1 != end && *(begin + 1) != '-') ++begin;
    double value = 0;
    std::from_chars_result parsed = std::from_chars(begin, end, value, std::chars_format::general);
    if (parsed.ec == std::errc::result_out_of_range) {
        // from_chars leaves value alone here; the C library gives the signed infinity or zero.
        std::string number(begin, parsed.ptr);
        return CLocale() ? strtod_l(number.c_str(), nullptr, CLocale()) : 0.0;
    }
    return parsed.ec == std::errc() ? value : 0.0;
}

}  // namespace numstr

namespace kivm {

void AppendUtf8(std::string& out, char32_t c) {
    if (IsEscapedByte(c)) {
        out.push_back(static_cast<char>(c - kEscapeBase));
        return;
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// The home folder: $HOME when it is an absolute path, else the password database.
std::string HomeFolder() {
    const char* home = getenv("HOME");
    if (home && home[0] == '/') return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return std::string();
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes path and every missing folder above it, private to the user (0700); on failure errno says why.
bool MakeFolders(const std::string& path) {
    for (size_t next = 1; next <= path.size(); ++next) {
        if (next != path.size() && path[next] != '/') continue;
        std::string part = path.substr(0, next);
        if (mkdir(part.c_str(), 0700) != 0 && !(errno == EEXIST && IsFolder(part))) {
            if (errno == EEXIST) errno = ENOTDIR;
            return false;
        }
    }
    if (IsFolder(path)) return true;
    errno = ENOTDIR;
    return false;
}

std::string ToUTF8Ex(const std::wstring& text) {
    static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32 on this platform");
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) AppendUtf8(out, static_cast<char32_t>(static_cast<uint32_t>(c)));
    return out;
}

std::wstring FromUTF8ExW(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t consumed;
        bool valid;
        const char32_t code = DecodeOne(text, i, consumed, valid);
        if (valid) {
            out.push_back(static_cast<wchar_t>(code));
        } else {
            // Every byte of an ill-formed sequence is 0x80 or above.
            for (size_t k = 0; k < consumed; ++k)
                out.push_back(static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(text[i + k])));
        }
        i += consumed;
    }
    return out;
}

bool IsXmlChar(char32_t code) {
    if (code < 0x20) return code == 0x09 || code == 0x0A || code == 0x0D;
    if (code >= 0xD800 && code <= 0xDFFF) return false;
    if (code == 0xFFFE || code == 0xFFFF) return false;
    return code <= 0x10FFFF;
}

namespace {
// text with each ill-formed sequence, and each character that keep refuses, written as U+FFFD.
template <class Keep>
std::string ReplacedUtf8(const std::string& text, Keep keep) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t consumed;
        bool valid;
        const char32_t code = DecodeOne(text, i, consumed, valid);
        if (valid && keep(code)) out.append(text, i, consumed);
        else AppendUtf8(out, kReplacement);
        i += consumed;
    }
    return out;
}
}  // namespace

std::string ToValidUtf8(const std::string& text) {
    return ReplacedUtf8(text, [](char32_t) { return true; });
}

std::string ToXmlText(const std::string& text) { return ReplacedUtf8(text, IsXmlChar); }

std::wstring ToXmlText(const std::wstring& text) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        if (!IsXmlChar(static_cast<char32_t>(c))) c = static_cast<wchar_t>(kReplacement);
    }
    return out;
}

namespace {

// The escape of one code point as a log line shows it; empty when it stands for itself.
std::string LogEscape(char32_t code, bool keepLineFeeds) {
    static const char digits[] = "0123456789ABCDEF";
    if (code == '\n') return keepLineFeeds ? std::string() : "\\n";
    if (code == '\r') return "\\r";
    if (code == '\t') return "\\t";
    if (code < 0x20 || code == 0x7F) return std::string("\\x") + digits[code >> 4] + digits[code & 15];
    if ((code >= 0x80 && code <= 0x9F) || code == 0x2028 || code == 0x2029) {
        std::string out = "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out += digits[(code >> shift) & 15];
        return out;
    }
    return std::string();
}

}  // namespace

std::string EscapeForLog(const std::string& text, bool keepLineFeeds, size_t maxBytes, size_t* used) {
    std::string out;
    out.reserve(std::min(text.size(), maxBytes));
    size_t i = 0;
    while (i < text.size()) {
        // Printable ASCII, nearly every byte the log sees, stays as it is.
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            if (out.size() + 1 > maxBytes) break;
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t consumed;
        bool valid;
        const char32_t code = DecodeOne(text, i, consumed, valid);
        const std::string escape = valid ? LogEscape(code, keepLineFeeds) : std::string();
        std::string piece;
        if (!escape.empty()) piece = escape;
        else if (valid) piece.assign(text, i, consumed);
        else AppendUtf8(piece, kReplacement);
        if (out.size() + piece.size() > maxBytes) break;
        out += piece;
        i += consumed;
    }
    if (used) *used = i;
    return out;
}

size_t Utf8WholePrefix(const char* bytes, size_t length) {
    // A sequence is at most four bytes: look at the last three for a lead byte whose sequence runs past the end.
    for (size_t back = 1; back <= 3 && back <= length; ++back) {
        const unsigned char b = static_cast<unsigned char>(bytes[length - back]);
        if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        return need > back ? length - back : length;
    }
    return length;
}

std::string str_conv(const std::wstring& text) { return ToUTF8Ex(text); }
std::wstring str_conv(const std::string& text) { return FromUTF8ExW(text); }

bool IsValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        size_t consumed;
        bool valid;
        DecodeOne(text, i, consumed, valid);
        if (!valid) return false;
        i += consumed;
    }
    return true;
}

std::string str_tolower(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

bool str_case_eq(const std::string& a, const std::string& b) { return CaseEqual(a, b); }
bool str_case_eq(const std::wstring& a, const std::wstring& b) { return CaseEqual(a, b); }

std::wstring standardize_path(const std::wstring& path) { return StandardizePath(path); }
std::string standardize_path(const std::string& path) { return StandardizePath(path); }
std::wstring get_file_from_path(const std::wstring& path) { return FileFromPath(path); }
std::string get_file_from_path(const std::string& path) { return FileFromPath(path); }

bool create_user_data_folder(std::wstring& path, const std::wstring& name) {
    path.clear();
    if (name.empty()) return false;
    std::string base;
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        std::string home = HomeFolder();
        if (home.empty()) return false;
        base = home + "/.local/share";
    }
    std::string folder = standardize_path(base + "/" + ToUTF8Ex(name));
    if (!MakeFolders(folder)) return false;
    path = FromUTF8ExW(folder);
    return true;
}

std::string compute_md5(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) return std::string();
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kDigits[digest[i] >> 4]);
        hex.push_back(kDigits[digest[i] & 0x0F]);
    }
    return hex;
}

}  // namespace kivm
