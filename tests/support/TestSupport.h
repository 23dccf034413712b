// Helpers shared by the test programs.
#pragma once

#include <string>

namespace testsupport {

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::wstring wpath() const;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// An environment variable set (or, with value null, unset) for the life of the object, then as it was.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);  // empty when it cannot be read
bool PathExists(const std::string& path);

// What a standard XML 1.0 parser (libxml2's xmllint) says of the document: empty when it reads it as
// well-formed, else its complaint (also when xmllint cannot be run).
std::string XmlLintComplaint(const std::string& document);

// True when this process's network namespace has no interface but loopback. Every test that starts
// the server or sends a datagram requires it (scripts/test runs the suite inside such a namespace).
bool NetworkIsIsolated();

// Folder of the built programs (calvoro and the programs it starts).
std::string BinDir();

}  // namespace testsupport

// Ends the test with a failure unless the network is isolated.
#define REQUIRE_ISOLATED_NETWORK()                                                              \
    do {                                                                                        \
        if (!testsupport::NetworkIsIsolated()) {                                                \
            FAIL() << "this test sends on the network: run it inside a private network "        \
                      "namespace (scripts/test does: unshare -rn, then ip link set lo up)";     \
        }                                                                                       \
    } while (0)

namespace testsupport {
// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();
// A state.xml that sets only the HTTP port (everything else takes its default).
std::string StateXmlWithPort(int port);
// The resident set of a process (0: this one) in KiB, from /proc; 0 when it cannot be read.
long ResidentKiB(int pid = 0);
}  // namespace testsupport
