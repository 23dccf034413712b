#include "api/NaturalOrder.h"

#include <cstdint>

namespace {
template <class Unit>
bool IsDigit(Unit c) {
    return c >= Unit('0') && c <= Unit('9');
}

// Upper to lower case for the scripts of most file names (Latin with Latin-1, Greek, Cyrillic); the
// process locale plays no part.
uint32_t Folded(uint32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

// The character at i and the index after it. Wide text holds one character per unit.
size_t Next(const std::wstring& text, size_t i, uint32_t& c) {
    c = static_cast<uint32_t>(text[i]);
    return i + 1;
}

// UTF-8 is decoded; a byte that starts no well-formed sequence stands for itself, so any bytes
// still have an order.
size_t Next(std::string_view text, size_t i, uint32_t& c) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) length = 1;
    if (length == 1) {
        c = lead;
        return i + 1;
    }
    c = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            c = lead;
            return i + 1;
        }
        c = (c << 6) | (next & 0x3F);
    }
    return i + length;
}

// Compares the digit runs starting at i and j by value and moves both past them: <0, 0 or >0.
template <class Text>
int CompareNumbers(const Text& a, size_t& i, const Text& b, size_t& j) {
    while (i < a.size() && a[i] == '0' && i + 1 < a.size() && IsDigit(a[i + 1])) ++i;
    while (j < b.size() && b[j] == '0' && j + 1 < b.size() && IsDigit(b[j + 1])) ++j;
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

// Digits are single units in both encodings, and both compare whole texts in character order
// (UTF-8 bytes compared unsigned sort as their characters do), so one walk serves both.
template <class Text>
bool NaturalLess(const Text& a, const Text& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const int numbers = CompareNumbers(a, i, b, j);
            if (numbers != 0) return numbers < 0;
            continue;
        }
        uint32_t x = 0;
        uint32_t y = 0;
        const size_t nextI = Next(a, i, x);
        const size_t nextJ = Next(b, j, y);
        x = Folded(x);
        y = Folded(y);
        if (x != y) return x < y;
        i = nextI;
        j = nextJ;
    }
    if (i < a.size() || j < b.size()) return j < b.size();  // the shorter one first
    return a < b;
}
}  // namespace

bool NaturalNameLess(const std::wstring& a, const std::wstring& b) { return NaturalLess(a, b); }

bool NaturalNameLessUtf8(std::string_view a, std::string_view b) { return NaturalLess(a, b); }
