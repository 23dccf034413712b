#include "support/TestSupport.h"

#include <stdlib.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "kivlib/kiv_text.h"

namespace testsupport {

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) {
        had_ = true;
        old_ = old;
    }
    if (value) setenv(name, value, 1);
    else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (had_) setenv(name_, old_.c_str(), 1);
    else unsetenv(name_);
}

std::string XmlLintComplaint(const std::string& document) {
    TempDir dir;
    const std::string file = dir.file("document.xml");
    WriteFile(file, document);
    FILE* lint = popen(("xmllint --noout '" + file + "' 2>&1").c_str(), "r");
    if (!lint) return "xmllint could not be started";
    std::string said;
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, lint)) > 0;) said.append(block, n);
    const int status = pclose(lint);
    if (status == 0) return std::string();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return "xmllint is missing (Debian package libxml2-utils)";
    return said.empty() ? "xmllint refused the document" : said;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/calvoro-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::wstring TempDir::wpath() const { return kivm::FromUTF8ExW(path_); }

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool NetworkIsIsolated() {
    // /proc/self/net/dev lists the interfaces of this process's own network namespace.
    std::ifstream dev("/proc/self/net/dev");
    if (!dev) return false;
    std::string line;
    int lines = 0;
    while (std::getline(dev, line)) {
        if (++lines <= 2) continue;  // two heading lines
        std::string name = line.substr(0, line.find(':'));
        name.erase(0, name.find_first_not_of(' '));
        if (name != "lo") return false;
    }
    return true;
}

std::string BinDir() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return ".";
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

}  // namespace testsupport

#include <netinet/in.h>
#include <sys/socket.h>

namespace testsupport {

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

std::string StateXmlWithPort(int port) {
    return "<?xml version=\"1.0\"?>\n<CalvoroState>\n  <VideoFolders/>\n  <Authorized/>\n  <FinishedConv/>\n"
           "  <HttpPort>" + std::to_string(port) + "</HttpPort>\n</CalvoroState>\n";
}

}  // namespace testsupport

namespace {
// Test programs never write into the user's own data folder: unless the caller chose one, the log and
// any state go to a folder of this process's own, removed at exit.
std::string g_privateDataHome;

void RemovePrivateDataHome() {
    std::error_code ignored;
    std::filesystem::remove_all(g_privateDataHome, ignored);
}

const bool kPrivateDataHome = [] {
    if (getenv("XDG_DATA_HOME")) return false;
    char pattern[] = "/tmp/calvoro-test-data-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    g_privateDataHome = pattern;
    setenv("XDG_DATA_HOME", pattern, 0);
    atexit(RemovePrivateDataHome);
    return true;
}();
}  // namespace

namespace testsupport {

long ResidentKiB(int pid) {
    std::ifstream status(pid > 0 ? "/proc/" + std::to_string(pid) + "/status" : std::string("/proc/self/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

}  // namespace testsupport
