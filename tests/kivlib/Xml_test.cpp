#include "kivlib/kiv_xml.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

namespace {

// Names the first difference between two trees, or gives an empty text when they are equal.
std::string Difference(const xml_element& a, const xml_element& b, const std::string& where = "") {
    std::string here = where + "/" + a.name;
    if (a.name != b.name) return here + ": name " + b.name;
    if (a.text != b.text) return here + ": text [" + b.text + "] instead of [" + a.text + "]";
    if (a.attributes != b.attributes) return here + ": attributes differ";
    if (a.children.size() != b.children.size()) return here + ": child count differs";
    for (size_t i = 0; i < a.children.size(); ++i) {
        std::string inner = Difference(a.children[i], b.children[i], here);
        if (!inner.empty()) return inner;
    }
    return std::string();
}

boost::shared_ptr<xml_element> Parse(const std::string& document, std::string* error = nullptr) {
    kiv_xml parser;
    std::string text;
    if (!parser.parse(document.data(), document.size(), text)) {
        if (error) *error = text;
        EXPECT_FALSE(parser.get_parsed_element()) << "a failed parse leaves no element";
        return boost::shared_ptr<xml_element>();
    }
    return parser.get_parsed_element();
}

boost::shared_ptr<xml_element> RoundTrip(const xml_element& root) {
    std::string document = kiv_xml::dump_xml(root, 0);
    std::string error;
    boost::shared_ptr<xml_element> back = Parse(document, &error);
    EXPECT_TRUE(back) << error << "\n" << document;
    return back;
}

std::string Nested(int depth) {
    std::string document;
    for (int i = 0; i < depth; ++i) document += "<e>";
    for (int i = 0; i < depth; ++i) document += "</e>";
    return document;
}

const char* const kHardTexts[] = {
    "plain",
    "\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xAC",  // 2-, 3- and 4-byte UTF-8
    "& < > \" ' &amp; &#65;",
    "]]> <![CDATA[x]]>",
    "\x7f\xC2\x80\xC2\x9F\xEF\xBF\xBD",  // U+007F, C1 controls and U+FFFD are XML 1.0 characters
    "line\rfeed\r\nmix\n",
    "\r",
    "\t",
    "  leading and trailing  ",
    " ",
    " \t\r\n ",
    "\n\n",
};

TEST(Xml, EveryHardTextSurvivesDumpAndParseAsTextAttributeAndMixedContent) {
    for (const char* text : kHardTexts) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        xml_element root("CalvoroState");
        root.add_child("Alone", text);
        xml_element& mixed = root.add_child("Mixed", text);
        mixed.add_child("Inner", "x");
        mixed.add_child("Empty");
        xml_element& attributes = root.add_child("Attr");
        attributes.attributes.emplace_back("value", text);
        attributes.attributes.emplace_back("second", "2");

        boost::shared_ptr<xml_element> back = RoundTrip(root);
        ASSERT_TRUE(back);
        EXPECT_EQ("", Difference(root, *back));
    }
}

TEST(Xml, AllHardTextsInOneDeepTreeSurviveTogether) {
    xml_element root("calvoro");
    xml_element* parent = &root;
    for (const char* text : kHardTexts) {
        xml_element& level = parent->add_child("level", text);
        level.add_child("leaf", text);
        parent = &level;  // nothing is appended to this level's own vector any more, so it stays put
    }
    boost::shared_ptr<xml_element> back = RoundTrip(root);
    ASSERT_TRUE(back);
    EXPECT_EQ("", Difference(root, *back));
}

TEST(Xml, NulCannotBeCarriedAndBecomesReplacementCharacter) {
    xml_element root("a", std::string("x\0y", 3));
    boost::shared_ptr<xml_element> back = RoundTrip(root);
    ASSERT_TRUE(back);
    EXPECT_EQ("x\xEF\xBF\xBDy", back->text);
}

// A file name that is not UTF-8 reaches XML as raw bytes (wide text gives them back unchanged); the
// document must stay UTF-8, which strict readers (clients, other parsers) insist on.
TEST(Xml, BytesThatAreNotUtf8AreWrittenAsReplacementCharacters) {
    xml_element root("a", "caf\xE9 \xC3\xA9");
    root.attributes.emplace_back("name", "\xFF\xFEx");
    root.add_child("b", kivm::ToUTF8Ex(kivm::FromUTF8ExW("\xE2\x82 & \xF0\x9F\x8E\xAC")));
    const std::string dumped = kiv_xml::dump_xml(root, 0);
    EXPECT_TRUE(kivm::IsValidUtf8(dumped)) << dumped;
    boost::shared_ptr<xml_element> back = RoundTrip(root);
    ASSERT_TRUE(back);
    EXPECT_EQ("caf\xEF\xBF\xBD \xC3\xA9", back->text);
    ASSERT_EQ(1u, back->attributes.size());
    EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBDx", back->attributes[0].second);
    ASSERT_EQ(1u, back->children.size());
    EXPECT_EQ("\xEF\xBF\xBD & \xF0\x9F\x8E\xAC", back->children[0].text);
}

TEST(Xml, DumpHasDeclarationAndIndentsChildren) {
    xml_element root("calvoro");
    xml_element& files = root.add_child("files");
    files.add_child("video").add_child("filename", "a.mkv");
    std::string document = kiv_xml::dump_xml(root, 0);
    EXPECT_EQ(0u, document.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n")) << document;
    EXPECT_NE(std::string::npos, document.find("\n\t<files>")) << document;
    EXPECT_NE(std::string::npos, document.find("\n\t\t\t<filename>a.mkv</filename>\n")) << document;
}

TEST(Xml, TextIsOwnCharacterDataAndCdataConcatenated) {
    boost::shared_ptr<xml_element> root =
        Parse("<a>one <![CDATA[<two> & ]]>three<b>inner</b> four<!-- note --><?pi x?></a>");
    ASSERT_TRUE(root);
    EXPECT_EQ("one <two> & three four", root->text);
    ASSERT_EQ(1u, root->children.size());
    EXPECT_EQ("inner", root->children[0].text);
}

TEST(Xml, IndentationIsNotTextButABlankOnlyChildTextIs) {
    boost::shared_ptr<xml_element> root = Parse("<a>\n  <b>  </b>\n  <c/>\n</a>");
    ASSERT_TRUE(root);
    EXPECT_EQ("", root->text);
    ASSERT_EQ(2u, root->children.size());
    EXPECT_EQ("  ", root->children[0].text);
    EXPECT_EQ("", root->children[1].text);
}

TEST(Xml, AttributesKeepTheirOrder) {
    boost::shared_ptr<xml_element> root = Parse("<a z=\"1\" b='2' m=\"&lt;&amp;&quot;\"/>");
    ASSERT_TRUE(root);
    std::vector<std::pair<std::string, std::string>> expected = {{"z", "1"}, {"b", "2"}, {"m", "<&\""}};
    EXPECT_EQ(expected, root->attributes);
}

TEST(Xml, DeclaredLatin1IsReadAsUtf8) {
    boost::shared_ptr<xml_element> root = Parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xE9</a>");
    ASSERT_TRUE(root);
    EXPECT_EQ("caf\xC3\xA9", root->text);
}

TEST(Xml, AnyDoctypeIsRefused) {
    const char* const documents[] = {
        "<!DOCTYPE a><a/>",
        "<?xml version=\"1.0\"?>\n<!DOCTYPE a SYSTEM \"file:///etc/passwd\"><a>x</a>",
        "<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>&x;</a>",
        "<!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
        "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
        "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">]><lolz>&lol4;</lolz>",
        "<a/><!DOCTYPE a>",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        std::string error;
        EXPECT_FALSE(Parse(document, &error));
        EXPECT_EQ("DTD not allowed", error);
    }
}

TEST(Xml, UndeclaredEntityStaysLiteral) {
    boost::shared_ptr<xml_element> root = Parse("<a>&lol; &amp; &#x41;</a>");
    ASSERT_TRUE(root);
    EXPECT_EQ("&lol; & A", root->text);
}

TEST(Xml, NestingIsBoundedAtTheLimit) {
    EXPECT_TRUE(Parse(Nested(kiv_xml::kMaxDepth)));
    for (int depth : {kiv_xml::kMaxDepth + 1, 200000}) {
        std::string error;
        EXPECT_FALSE(Parse(Nested(depth), &error)) << depth;
        EXPECT_NE(std::string::npos, error.find("nested")) << error;
    }
}

TEST(Xml, MalformedDocumentsFailWithReadableError) {
    const char* const documents[] = {"", "   ", "<a>", "<a></b>", "<a x=1/>", "text only", "<a/><b/>", "<!ENTITY x \"y\"><a/>"};
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        std::string error;
        EXPECT_FALSE(Parse(document, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(Xml, FailedParseClearsEarlierResult) {
    kiv_xml parser;
    std::string error;
    ASSERT_TRUE(parser.parse("<a/>", 4, error));
    ASSERT_TRUE(parser.get_parsed_element());
    EXPECT_FALSE(parser.parse("<a>", 3, error));
    EXPECT_FALSE(parser.get_parsed_element());
}

TEST(Xml, FindChildGivesFirstDirectChildOfExactName) {
    boost::shared_ptr<xml_element> root =
        Parse("<r><Deep><Path>deep</Path></Deep><path>lower</path><Path>first</Path><Path>second</Path></r>");
    ASSERT_TRUE(root);
    for (bool flag : {true, false}) {
        const xml_element* found = kiv_xml::find_child(*root, "Path", flag);
        ASSERT_NE(nullptr, found);
        EXPECT_EQ("first", found->text);
        EXPECT_EQ(nullptr, kiv_xml::find_child(*root, "Missing", flag));
        EXPECT_EQ(nullptr, kiv_xml::find_child(*root, "Pat", flag));
    }
}

TEST(Xml, AddChildAppendsInOrderAndReturnsTheChild) {
    xml_element root("r");
    xml_element& first = root.add_child("one", "1");
    first.add_child("inner");
    root.add_child("two");
    ASSERT_EQ(2u, root.children.size());
    EXPECT_EQ("one", root.children[0].name);
    EXPECT_EQ("1", root.children[0].text);
    EXPECT_EQ(1u, root.children[0].children.size());
    EXPECT_EQ("two", root.children[1].name);
}

}  // namespace

namespace {
class StringSink : public IByteSink {
public:
    void Write(const char* bytes, size_t length) override {
        text.append(bytes, length);
        ++writes;
    }
    std::string text;
    int writes = 0;
};

// Writes a tree of elements that hold text or children (what the writer takes) through the writer.
void WriteTree(const xml_element& element, kiv_xml_writer& writer) {
    if (element.children.empty()) {
        writer.text_element(element.name, element.text);
        return;
    }
    writer.open(element.name);
    for (const xml_element& child : element.children) WriteTree(child, writer);
    writer.close();
}

std::string Written(const xml_element& root) {
    StringSink sink;
    kiv_xml_writer writer(sink);
    if (root.children.empty() && root.text.empty()) {
        writer.open(root.name);  // an element opened for children that never come
        writer.close();
    } else {
        WriteTree(root, writer);
    }
    return sink.text;
}
// XML 1.0 carries no control character below U+0020 but tab, line feed and carriage return, not even
// as a reference, and neither U+FFFE nor U+FFFF: each is written as U+FFFD, in texts and attributes, by
// dump_xml and by the streaming writer, so that every standard parser reads the document.
TEST(Xml, CharactersXml10ForbidsAreWrittenAsReplacementCharacters) {
    const std::string text = std::string("a\x01" "b\x08\x0b\x0c\x1b\x1f" "c\x7f" "d\xEF\xBF\xBE" "e\xEF\xBF\xBF" "f\xED\xA0\x80" "g") +
                             '\0' + "\t\r\n";
    const std::string clean = "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "c\x7f"
                              "d\xEF\xBF\xBD" "e\xEF\xBF\xBD" "f\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "g\xEF\xBF\xBD\t\r\n";
    EXPECT_EQ(clean, kivm::ToXmlText(text));

    xml_element root("root", text);
    root.attributes.emplace_back("value", text);
    root.add_child("child", text);
    const std::string dumped = kiv_xml::dump_xml(root, 0);
    EXPECT_EQ("", testsupport::XmlLintComplaint(dumped)) << dumped;
    boost::shared_ptr<xml_element> back = Parse(dumped);
    ASSERT_TRUE(back);
    EXPECT_EQ(clean, back->attributes.at(0).second);
    ASSERT_EQ(1u, back->children.size());
    EXPECT_EQ(clean, back->children[0].text);

    StringSink sink;
    {
        kiv_xml_writer writer(sink);
        writer.open("root");
        writer.text_element("child", text);
        writer.close();
    }
    EXPECT_EQ("", testsupport::XmlLintComplaint(sink.text)) << sink.text;
    back = Parse(sink.text);
    ASSERT_TRUE(back);
    EXPECT_EQ(clean, back->children.at(0).text);
}

}  // namespace

// The writer's document is dump_xml's, byte for byte, for every hard text, empty texts, elements whose
// children never come, and deep nesting.
TEST(XmlWriter, WritesWhatDumpWritesForTheSameTree) {
    std::vector<xml_element> trees;
    trees.emplace_back("calvoro");
    trees.emplace_back("only", "text");
    for (const char* text : kHardTexts) {
        xml_element root("calvoro");
        xml_element& files = root.add_child("files");
        xml_element& video = files.add_child("video");
        video.add_child("filename", text);
        video.add_child("date", "");
        xml_element& folder = files.add_child("folder");
        folder.add_child("filename", std::string("a\0b\xFF\xC3", 5) + text);
        folder.add_child("subItems").add_child("empty");
        trees.push_back(root);
    }
    xml_element deep("d0");
    xml_element* level = &deep;
    for (int i = 1; i < 12; ++i) level = &level->add_child("d" + std::to_string(i));
    level->text = "bottom";
    trees.push_back(deep);

    for (const xml_element& tree : trees) {
        const std::string expected = kiv_xml::dump_xml(tree, 0);
        EXPECT_EQ(expected, Written(tree));
    }
}

TEST(XmlWriter, HandsOverTheDocumentPieceByPiece) {
    StringSink sink;
    kiv_xml_writer writer(sink);
    writer.open("files");
    for (int i = 0; i < 100; ++i) writer.text_element("filename", "name " + std::to_string(i));
    const int writesBeforeClose = sink.writes;
    writer.close();
    EXPECT_GE(writesBeforeClose, 101);  // the declaration, the start tag and each element as it comes
    EXPECT_EQ(0u, sink.text.rfind("<?xml", 0));
    EXPECT_NE(std::string::npos, sink.text.find("\t<filename>name 99</filename>\n</files>\n"));
}
