// XML parse and dump over pugixml. DTDs and entity declarations are never expanded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "kivlib/ByteSink.h"

// One element: name, attributes and children in document order, and its text (UTF-8; character data
// and CDATA sections of the element itself, concatenated).
struct xml_element {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<xml_element> children;
    std::string text;

    xml_element() = default;
    explicit xml_element(std::string elementName, std::string elementText = std::string())
        : name(std::move(elementName)), text(std::move(elementText)) {}

    // Appends a child and returns it.
    xml_element& add_child(const std::string& childName, const std::string& childText = std::string());
};

class kiv_xml {
public:
    // Deepest element nesting that parse accepts.
    static const int kMaxDepth = 64;

    // Parses a whole document; false with a readable error text on failure.
    bool parse(const char* bytes, size_t length, std::string& error);
    // The document's top element after a successful parse; empty otherwise.
    boost::shared_ptr<xml_element> get_parsed_element() const { return root_; }

    // First child of parent named exactly name, or null. The flag is kept for callers; both values
    // find a child of exactly that name.
    static const xml_element* find_child(const xml_element& parent, const std::string& name, bool flag);

    // The element tree as an XML 1.0 document (declaration, indented elements, reserved characters and
    // carriage returns escaped). Every name and text survives dump then parse unchanged, given names that
    // are XML names and texts that are UTF-8 of characters XML carries; what no XML 1.0 document can
    // carry (U+0000 and the other control characters but tab, line feed and carriage return, U+FFFE,
    // U+FFFF, each ill-formed UTF-8 sequence) is written as U+FFFD (kivm::ToXmlText).
    static std::string dump_xml(const xml_element& root, int flags);

private:
    boost::shared_ptr<xml_element> root_;
};

// Writes a document as it is produced, byte for byte as dump_xml lays out the same tree (declaration,
// one tab per level, an element without children or text as "<name />", texts escaped alike), so a
// long document never has to be held whole. Elements hold either text or children, never both.
class kiv_xml_writer {
public:
    // Writes the declaration.
    explicit kiv_xml_writer(IByteSink& out);
    kiv_xml_writer(const kiv_xml_writer&) = delete;
    kiv_xml_writer& operator=(const kiv_xml_writer&) = delete;

    // Starts an element whose children follow; close ends it.
    void open(const std::string& name);
    // A whole element holding text (UTF-8; what XML cannot carry is written as U+FFFD, as dump_xml does).
    void text_element(const std::string& name, std::string_view text);
    // Ends the innermost element that open started.
    void close();

private:
    void start_child();
    void indent(size_t depth);

    IByteSink& out_;
    std::vector<std::string> open_;
    bool startTagOpen_ = false;  // the innermost element's start tag still lacks its ">"
    std::string line_;
};
