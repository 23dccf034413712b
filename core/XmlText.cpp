#include "core/XmlText.h"

#include "kivlib/kiv_text.h"

std::string EscapeXmlText(const std::string& raw) {
    const std::string text = kivm::ToXmlText(raw);
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\r': out += "&#13;"; break;
            default: out += c;
        }
    }
    return out;
}
