#include "core/XmlText.h"

#include "kivlib/kiv_text.h"

namespace {
const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// U+FFFE and U+FFFF: not characters, refused by every XML parser.
bool IsNonCharacterAt(const std::string& text, size_t i) {
    return i + 2 < text.size() && static_cast<unsigned char>(text[i]) == 0xEF &&
           static_cast<unsigned char>(text[i + 1]) == 0xBF &&
           (static_cast<unsigned char>(text[i + 2]) == 0xBE || static_cast<unsigned char>(text[i + 2]) == 0xBF);
}
}  // namespace

std::string EscapeXmlText(const std::string& raw) {
    const std::string text = kivm::ToValidUtf8(raw);
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\r': out += "&#13;"; break;
            case '\t':
            case '\n': out += static_cast<char>(c); break;
            default:
                if (c < 0x20) {
                    out += kReplacement;
                } else if (IsNonCharacterAt(text, i)) {
                    out += kReplacement;
                    i += 2;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}
