// Text placed inside the XML replies that are built as text rather than through the XML library.
#pragma once

#include <string>

// text as XML character data: "&", "<", ">" and carriage returns as references (quotes need none
// outside attributes, so message texts keep them as they are); bytes that
// are not well-formed UTF-8 and characters that XML cannot carry (other control characters, U+FFFE,
// U+FFFF) as U+FFFD. The result is always well-formed XML content.
std::string EscapeXmlText(const std::string& text);
