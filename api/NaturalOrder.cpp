#include "api/NaturalOrder.h"

namespace {
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Upper to lower case for the scripts of most file names (Latin with Latin-1, Greek, Cyrillic); the
// process locale plays no part.
wchar_t Folded(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

// Compares the digit runs starting at i and j by value and moves both past them: <0, 0 or >0.
int CompareNumbers(const std::wstring& a, size_t& i, const std::wstring& b, size_t& j) {
    while (i < a.size() && a[i] == L'0' && i + 1 < a.size() && IsDigit(a[i + 1])) ++i;
    while (j < b.size() && b[j] == L'0' && j + 1 < b.size() && IsDigit(b[j + 1])) ++j;
    size_t endA = i;
    size_t endB = j;
    while (endA < a.size() && IsDigit(a[endA])) ++endA;
    while (endB < b.size() && IsDigit(b[endB])) ++endB;
    int result = 0;
    if (endA - i != endB - j) {
        result = endA - i < endB - j ? -1 : 1;  // more significant digits: larger
    } else {
        const int digits = a.compare(i, endA - i, b, j, endB - j);
        result = digits < 0 ? -1 : digits > 0 ? 1 : 0;
    }
    i = endA;
    j = endB;
    return result;
}
}  // namespace

bool NaturalNameLess(const std::wstring& a, const std::wstring& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const int numbers = CompareNumbers(a, i, b, j);
            if (numbers != 0) return numbers < 0;
            continue;
        }
        const wchar_t x = Folded(a[i]);
        const wchar_t y = Folded(b[j]);
        if (x != y) return x < y;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return j < b.size();  // the shorter one first
    return a < b;
}
