#include "api/RequestPathValidator.h"

#include "kivlib/kiv_text.h"

namespace {
bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool HasControlByte(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

bool StartsAbsolute(const std::string& text) {
    if (!text.empty() && IsSeparator(text[0])) return true;
    // A drive name ("C:", "C:\x") makes a joined Windows path absolute; refuse it everywhere alike.
    const bool driveLetter = text.size() >= 2 && ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
    return driveLetter && text[1] == ':' && (text.size() == 2 || IsSeparator(text[2]));
}

bool HasParentComponent(const std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = start;
        while (end < text.size() && !IsSeparator(text[end])) ++end;
        if (text.compare(start, end - start, "..") == 0 && end - start == 2) return true;
        start = end + 1;
    }
    return false;
}
}  // namespace

bool IsSafeRelativePath(const std::string& relative) {
    return kivm::IsValidUtf8(relative) && !HasControlByte(relative) && !StartsAbsolute(relative) &&
           !HasParentComponent(relative);
}

bool JoinRequestPath(const std::wstring& folder, const std::string& relative, std::wstring& joined) {
    if (!IsSafeRelativePath(relative)) return false;
    joined = folder + L"/" + kivm::FromUTF8ExW(relative);
    return true;
}

std::vector<std::string> SharePathComponents(const std::string& relative) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        if (end > start) components.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

bool JoinSharePath(const std::wstring& folder, const std::string& relative, std::wstring& joined) {
    std::string compact;
    for (const std::string& component : SharePathComponents(relative)) {
        if (!compact.empty()) compact += '/';
        compact += component;
    }
    return JoinRequestPath(folder, compact, joined);
}
