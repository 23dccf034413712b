// Text and number conversions, paths, MD5 and the per-user data folder.
#pragma once

#include <cstdint>
#include <string>

namespace numstr {
// Integer in base 2..36 (lower-case digits), zero-padded on the left to at least minDigits digits.
std::string ToStr(int64_t value, int base = 10, int minDigits = 0);
std::string ToStr(uint64_t value, int base = 10, int minDigits = 0);
std::string ToStr(int32_t value, int base = 10, int minDigits = 0);
std::string ToStr(uint32_t value, int base = 10, int minDigits = 0);
// Decimal text independent of the locale: at least minDecimals and at most maxDecimals digits after the
// point (trailing zeros beyond minDecimals dropped, no point when none remain), padded with blanks on the
// left to width characters. Rounding is half away from zero on the shortest decimal form of the value,
// so 12.345 with two decimals gives "12.35"; "-" is dropped when nothing but zeros remains.
std::string ToStr(double value, int width, int minDecimals, int maxDecimals);

// The digits (of the base) after an optional "-" at the start, up to the first other character; 0 when
// there are none. A value that overflows gives the type's maximum. The "-" is skipped, not applied.
uint32_t ToUint32(const std::string& text, int base = 10);
uint64_t ToUint64(const std::string& text, int base = 10);
// A decimal number with "." as the point, independent of the locale; 0 when the text starts with none
// (leading blanks and one "+" are skipped). Out of range gives the signed infinity or 0.
double ToDouble(const std::string& text);
}  // namespace numstr

namespace kivm {
// Wide and narrow text: the narrow side is UTF-8 on this platform. Narrow to wide is lossless: each
// byte of an ill-formed sequence becomes the lone surrogate U+DC80..U+DCFF (U+DC00 + the byte), and
// wide to narrow turns those back into the single byte, so any file name survives the round trip.
// Wide to narrow writes every other surrogate and anything above U+10FFFF as U+FFFD. The narrow
// result is therefore not always valid UTF-8: text for XML or a peer goes through ToValidUtf8.
std::string str_conv(const std::wstring& text);
std::wstring str_conv(const std::string& text);
std::string ToUTF8Ex(const std::wstring& text);
std::wstring FromUTF8ExW(const std::string& text);
// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
// Appends code point c to out as UTF-8. A surrogate that stands for a byte (U+DC80 to U+DCFF, as the
// wide conversions keep bytes that are not UTF-8) appends that byte; any other surrogate, or a value
// past U+10FFFF, appends U+FFFD.
void AppendUtf8(std::string& out, char32_t c);
bool IsValidUtf8(const std::string& text);
// text with each ill-formed sequence (its maximal valid prefix, at least one byte) replaced by U+FFFD.
std::string ToValidUtf8(const std::string& text);
// Text from outside as a log or console line shows it: valid UTF-8 with no control character, so it
// can neither end the line nor make one of its own. CR, LF and tab become "\r", "\n" and "\t", other
// bytes below 0x20 and 0x7F "\xHH", the C1 controls and the line and paragraph separators "\uHHHH",
// ill-formed UTF-8 U+FFFD; everything else (a backslash too) stays. keepLineFeeds leaves LF as it is.
// At most maxBytes come out, never part of a character or an escape; used (when given) is set to the
// bytes of text taken.
std::string EscapeForLog(const std::string& text, bool keepLineFeeds = false, size_t maxBytes = std::string::npos,
                         size_t* used = nullptr);
// How many of the first length bytes end on a character boundary: an incomplete UTF-8 sequence at
// the end (the rest of it may follow) is left out.
size_t Utf8WholePrefix(const char* bytes, size_t length);
// True for a character that an XML 1.0 document can carry: tab, line feed, carriage return, U+0020 to
// U+D7FF, U+E000 to U+FFFD and U+10000 to U+10FFFF.
bool IsXmlChar(char32_t code);
// text as XML 1.0 can carry it: each ill-formed sequence and each character IsXmlChar refuses (U+0000,
// the other control characters below U+0020, U+FFFE, U+FFFF) replaced by U+FFFD. Valid UTF-8.
std::string ToXmlText(const std::string& text);
// The same for wide text; the lone surrogates that stand for bytes that are not UTF-8 become U+FFFD.
std::wstring ToXmlText(const std::wstring& text);

std::string str_tolower(const std::string& text);  // ASCII letters only
bool str_case_eq(const std::string& a, const std::string& b);
bool str_case_eq(const std::wstring& a, const std::wstring& b);

// No doubled "/", no trailing "/" except for the root itself. "/" is the only separator: "\" is an
// ordinary character in a name and is kept.
std::wstring standardize_path(const std::wstring& path);
std::string standardize_path(const std::string& path);
// The last component of a path (after the last "/").
std::wstring get_file_from_path(const std::wstring& path);
std::string get_file_from_path(const std::string& path);

// The home folder: $HOME when it is an absolute path, else the password database; empty when neither.
std::string HomeFolder();
// Makes path and every missing folder above it, mode 0700; false with errno set when it cannot.
bool MakeFolders(const std::string& path);

// Finds or makes the per-user data folder named name ($XDG_DATA_HOME/name, by default
// ~/.local/share/name); false when it cannot be made. The same path on every call.
bool create_user_data_folder(std::wstring& path, const std::wstring& name);

// MD5 of the bytes as 32 lower-case hexadecimal digits.
std::string compute_md5(const std::string& bytes);
}  // namespace kivm
