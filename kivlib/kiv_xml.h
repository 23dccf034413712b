// XML parse and dump over pugixml. DTDs and entity declarations are never expanded.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

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

    // The element tree as an XML document (declaration, indented elements, reserved and control
    // characters escaped). Every name and text survives dump then parse unchanged, given names that are
    // XML names and texts that are UTF-8; U+0000 and each ill-formed UTF-8 sequence, which no XML
    // document can carry, are written as U+FFFD.
    static std::string dump_xml(const xml_element& root, int flags);

private:
    boost::shared_ptr<xml_element> root_;
};
