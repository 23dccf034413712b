// Helpers of the state-store and events tests.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"
#include "support/TestSupport.h"

namespace statetest {

// The test program never touches the user's own data folder: before main, XDG_DATA_HOME is pointed at a
// private temporary folder, unless whoever started the program (or another test file) set it already.
class DataHome {
public:
    DataHome() {
        if (getenv("XDG_DATA_HOME")) return;
        char pattern[] = "/tmp/calvoro-test-data-XXXXXX";
        if (!mkdtemp(pattern)) return;
        made_ = pattern;
        setenv("XDG_DATA_HOME", pattern, 0);
    }
    ~DataHome() {
        std::error_code ignored;
        if (!made_.empty()) std::filesystem::remove_all(made_, ignored);
    }

private:
    std::string made_;
};
inline DataHome dataHome;

// What the log received since the object was made.
class LogCapture {
public:
    LogCapture() : path_(kivm::ToUTF8Ex(GetLogFilePath())), start_(Size()) {}
    std::string Text() const {
        const std::string all = testsupport::ReadFile(path_);
        return all.size() > start_ ? all.substr(start_) : std::string();
    }
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }

private:
    uintmax_t Size() const {
        std::error_code error;
        const uintmax_t size = std::filesystem::file_size(path_, error);
        return error ? 0 : size;
    }
    std::string path_;
    uintmax_t start_;
};

// A store whose data folder is a fresh temporary folder.
struct TempStore {
    testsupport::TempDir dir;
    boost::shared_ptr<State> state = State::GetInstance(dir.wpath() + L"/data");
    std::string File(const std::string& name = "state.xml") const { return dir.path() + "/data/" + name; }
    std::wstring WFile(const std::string& name = "state.xml") const { return kivm::FromUTF8ExW(File(name)); }
};

// The parsed document, or a test failure.
inline xml_element ParseXml(const std::string& bytes) {
    kiv_xml parser;
    std::string error;
    if (!parser.parse(bytes.data(), bytes.size(), error) || !parser.get_parsed_element()) {
        ADD_FAILURE() << "does not parse: " << error << "\n" << bytes;
        return xml_element();
    }
    return *parser.get_parsed_element();
}

inline std::vector<std::string> ChildNames(const xml_element& element) {
    std::vector<std::string> names;
    for (const xml_element& child : element.children) names.push_back(child.name);
    return names;
}

inline std::string ChildText(const xml_element& element, const std::string& name) {
    const xml_element* child = kiv_xml::find_child(element, name, true);
    return child ? child->text : std::string("<missing>");
}

// A state.xml whose root holds the given children.
inline std::string StateXml(const std::string& children, const std::string& root = "CalvoroState") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + root + ">" + children + "</" + root + ">\n";
}

}  // namespace statetest
