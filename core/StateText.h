// How texts enter the state store: only what state.xml can hold and give back unchanged.
#pragma once

#include <string>

namespace statetext {
// XML holds neither U+0000 nor what is not a Unicode scalar value (surrogates, above U+10FFFF); each
// becomes U+FFFD, so that what the store keeps is exactly what state.xml gives back.
std::wstring Stored(const std::wstring& text);
// The same for UTF-8 text: U+0000 and invalid sequences become U+FFFD.
std::string Stored(const std::string& text);
}  // namespace statetext
