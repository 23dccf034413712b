// How texts enter the state store: only what state.xml can hold and give back unchanged.
#pragma once

#include <string>

namespace statetext {
// What XML 1.0 cannot carry (control characters but tab, line feed and carriage return, U+FFFE, U+FFFF,
// what is not a Unicode scalar value) becomes U+FFFD, so that what the store keeps is exactly what
// state.xml gives back.
std::wstring Stored(const std::wstring& text);
// The same for UTF-8 text: those characters and invalid sequences become U+FFFD.
std::string Stored(const std::string& text);
}  // namespace statetext
