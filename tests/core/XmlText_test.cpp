#include "core/XmlText.h"

#include <gtest/gtest.h>

#include <string>

#include "kivlib/kiv_xml.h"

namespace {

// The text inside <T>...</T> as a parser reads it back; fails the test when it does not parse.
std::string RoundTrip(const std::string& text) {
    const std::string document = "<T>" + EscapeXmlText(text) + "</T>";
    kiv_xml parser;
    std::string error;
    EXPECT_TRUE(parser.parse(document.data(), document.size(), error)) << error << " in " << document;
    return parser.get_parsed_element() ? parser.get_parsed_element()->text : std::string();
}

TEST(EscapeXmlText, ReservedCharactersBecomeReferences) {
    EXPECT_EQ("Tom &amp; Jerry &lt;1&gt; \"x\" 'y' ]]&gt;", EscapeXmlText("Tom & Jerry <1> \"x\" 'y' ]]>"));
    EXPECT_EQ("plain text", EscapeXmlText("plain text"));
}

TEST(EscapeXmlText, AnyInputGivesWellFormedXmlThatKeepsWhatXmlCanCarry) {
    const struct {
        std::string input;
        std::string readBack;
    } cases[] = {
        {"Tom & Jerry.avi", "Tom & Jerry.avi"},
        {"]]><x>&amp;", "]]><x>&amp;"},
        {"line1\nline2\ttab\rcr", "line1\nline2\ttab\rcr"},
        {"Caf\xC3\xA9 \xF0\x9F\x8E\xAC", "Caf\xC3\xA9 \xF0\x9F\x8E\xAC"},
        {std::string("nul\0bell\x07", 9), "nul\xEF\xBF\xBD" "bell\xEF\xBF\xBD"},
        {"bad \xFF\xFE utf8", "bad \xEF\xBF\xBD\xEF\xBF\xBD utf8"},
        {"non\xEF\xBF\xBE" "char", "non\xEF\xBF\xBD" "char"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.readBack, RoundTrip(c.input)) << c.input;
}

}  // namespace
