// XML parse and dump over pugixml.
//
// Parsing never expands anything: pugixml knows only the five predefined entities and character
// references, and a document that carries a DOCTYPE at all is refused, so no entity declaration is ever
// even looked at. Nesting is bounded while the pugixml tree is copied into xml_element.
//
// Dumping escapes texts here rather than in pugixml (which is told format_no_escapes), because
// pugixml's own escaping writes a carriage return raw, and the parser's end-of-line handling would turn
// it into a line feed. pugixml still builds the document and lays out the indentation.
#include "kivlib/kiv_xml.h"

#include <pugixml.hpp>

#include <algorithm>
#include <string>

#include "kivlib/kiv_text.h"

xml_element& xml_element::add_child(const std::string& childName, const std::string& childText) {
    children.emplace_back(childName, childText);
    return children.back();
}

namespace {

// parse_doctype only makes a DOCTYPE visible as a node so that it can be refused; nothing in it is used.
const unsigned int kParseOptions =
    pugi::parse_default | pugi::parse_ws_pcdata_single | pugi::parse_cdata | pugi::parse_doctype;

const char kDtdRefused[] = "DTD not allowed";

bool CopyElement(const pugi::xml_node& node, xml_element& out, int depth, std::string& error) {
    if (depth > kiv_xml::kMaxDepth) {
        error = "elements nested deeper than " + std::to_string(kiv_xml::kMaxDepth) + " levels";
        return false;
    }
    out.name = node.name();
    for (const pugi::xml_attribute& attribute : node.attributes()) {
        out.attributes.emplace_back(attribute.name(), attribute.value());
    }
    for (const pugi::xml_node& child : node.children()) {
        switch (child.type()) {
            case pugi::node_element:
                out.children.emplace_back();
                if (!CopyElement(child, out.children.back(), depth + 1, error)) return false;
                break;
            case pugi::node_pcdata:
            case pugi::node_cdata:
                out.text += child.value();
                break;
            case pugi::node_doctype:
                error = kDtdRefused;
                return false;
            default:  // comments and processing instructions carry nothing for us
                break;
        }
    }
    return true;
}

void AppendReference(std::string& out, unsigned char c) { out += "&#" + std::to_string(static_cast<unsigned>(c)) + ";"; }

// Appends text, escaped for an attribute value or character data, so that the parser reads back
// exactly text. XML 1.0 cannot carry U+0000, the other control characters but tab, line feed and
// carriage return (not even as references), U+FFFE, U+FFFF, nor bytes that are not UTF-8 (a file name
// that is not, as wide text carries it); each is written as U+FFFD, so the document stays well-formed
// for every parser.
void AppendEscaped(std::string& out, std::string_view raw, bool attribute) {
    std::string repaired;
    std::string_view text = raw;
    const bool plain = std::all_of(raw.begin(), raw.end(), [](char c) {
        const unsigned char b = static_cast<unsigned char>(c);
        return b < 0x80 && (b >= 0x20 || b == '\t' || b == '\n' || b == '\r');
    });
    if (!plain) {
        repaired = kivm::ToXmlText(std::string(raw));
        text = repaired;
    }
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;  // also keeps "]]>" out of character data
            case '"':
                if (attribute) out += "&quot;"; else out.push_back(ch);
                break;
            case '\t':
            case '\n':
                // Attribute values have their blanks turned into spaces by the parser unless referenced.
                if (attribute) AppendReference(out, c); else out.push_back(ch);
                break;
            case '\r': AppendReference(out, c); break;  // end-of-line handling would change it
            default: out.push_back(ch);
        }
    }
}

std::string Escape(const std::string& raw, bool attribute) {
    std::string out;
    out.reserve(raw.size() + raw.size() / 8);
    AppendEscaped(out, raw, attribute);
    return out;
}

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t\n\r") == std::string::npos; }

void BuildNode(const xml_element& element, pugi::xml_node parent) {
    pugi::xml_node node = parent.append_child(pugi::node_element);
    node.set_name(element.name.c_str());
    for (const auto& attribute : element.attributes) {
        node.append_attribute(attribute.first.c_str()).set_value(Escape(attribute.second, true).c_str());
    }
    if (!element.text.empty()) {
        std::string text;
        // The parser drops blank character data beside child elements (that is how it ignores the
        // indentation), so a blank text there starts with a character reference instead.
        if (!element.children.empty() && IsBlank(element.text)) {
            AppendReference(text, static_cast<unsigned char>(element.text[0]));
            text += Escape(element.text.substr(1), false);
        } else {
            text = Escape(element.text, false);
        }
        node.append_child(pugi::node_pcdata).set_value(text.c_str());
    }
    for (const xml_element& child : element.children) BuildNode(child, node);
}

class StringWriter final : public pugi::xml_writer {
public:
    explicit StringWriter(std::string& out) : out_(out) {}
    void write(const void* data, size_t size) override { out_.append(static_cast<const char*>(data), size); }

private:
    std::string& out_;
};

}  // namespace

bool kiv_xml::parse(const char* bytes, size_t length, std::string& error) {
    root_.reset();
    error.clear();
    if (!bytes && length != 0) {
        error = "no input";
        return false;
    }
    pugi::xml_document document;
    pugi::xml_parse_result result = document.load_buffer(bytes ? bytes : "", length, kParseOptions, pugi::encoding_auto);
    if (!result) {
        error = std::string(result.description()) + " at offset " + std::to_string(result.offset);
        return false;
    }
    pugi::xml_node top;
    for (const pugi::xml_node& node : document.children()) {
        if (node.type() == pugi::node_doctype) {
            error = kDtdRefused;
            return false;
        }
        if (node.type() != pugi::node_element) continue;
        if (top) {
            error = "more than one document element";
            return false;
        }
        top = node;
    }
    if (!top) {
        error = "no document element";
        return false;
    }
    boost::shared_ptr<xml_element> root(new xml_element);
    if (!CopyElement(top, *root, 1, error)) return false;
    root_ = root;
    return true;
}

const xml_element* kiv_xml::find_child(const xml_element& parent, const std::string& name, bool /*flag*/) {
    for (const xml_element& child : parent.children) {
        if (child.name == name) return &child;
    }
    return nullptr;
}

namespace {
const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
}  // namespace

std::string kiv_xml::dump_xml(const xml_element& root, int /*flags*/) {
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");
    BuildNode(root, document);

    std::string out;
    StringWriter writer(out);
    document.save(writer, "\t", pugi::format_indent | pugi::format_no_escapes, pugi::encoding_utf8);
    return out;
}

kiv_xml_writer::kiv_xml_writer(IByteSink& out) : out_(out) { out_.Write(kDeclaration, sizeof(kDeclaration) - 1); }

void kiv_xml_writer::indent(size_t depth) { line_.append(depth, '\t'); }

// The parent's start tag ends only now that it is known to have a child.
void kiv_xml_writer::start_child() {
    if (startTagOpen_) out_.Write(">\n", 2);
    startTagOpen_ = false;
}

void kiv_xml_writer::open(const std::string& name) {
    start_child();
    line_.clear();
    indent(open_.size());
    line_ += '<';
    line_ += name;
    out_.Write(line_.data(), line_.size());
    open_.push_back(name);
    startTagOpen_ = true;
}

void kiv_xml_writer::text_element(const std::string& name, std::string_view text) {
    start_child();
    line_.clear();
    indent(open_.size());
    line_ += '<';
    line_ += name;
    if (text.empty()) {
        line_ += " />\n";
    } else {
        line_ += '>';
        AppendEscaped(line_, text, false);
        line_ += "</";
        line_ += name;
        line_ += ">\n";
    }
    out_.Write(line_.data(), line_.size());
}

void kiv_xml_writer::close() {
    if (open_.empty()) return;
    if (startTagOpen_) {
        out_.Write(" />\n", 4);
        startTagOpen_ = false;
    } else {
        line_.clear();
        indent(open_.size() - 1);
        line_ += "</";
        line_ += open_.back();
        line_ += ">\n";
        out_.Write(line_.data(), line_.size());
    }
    open_.pop_back();
}
