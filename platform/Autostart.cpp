#include "platform/Autostart.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "kivlib/kiv_text.h"

namespace Autostart {

namespace {

const char kFileName[] = "calvoro.desktop";

std::string ConfigHome() {
    // The base directory rules take only absolute paths; anything else counts as unset.
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return config;
    const std::string home = kivm::HomeFolder();
    return home.empty() ? home : home + "/.config";
}

std::string Failure(const std::string& what, const std::string& path, int error) {
    return "Start at login: could not " + what + " " + path + ": " + strerror(error);
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string EntryPath() {
    const std::string config = ConfigHome();
    return config.empty() ? config : config + "/autostart/" + kFileName;
}

std::string QuoteExecArgument(const std::string& path) {
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (const char c : quoted) {
        if (c == '\\') value += "\\\\";
        else if (c == '%') value += "%%";
        else value += c;
    }
    return value;
}

std::string ProgramPathProblem(const std::string& path) {
    if (path.empty() || path[0] != '/') return "Start at login: the program's own path could not be read";
    const std::string refusal = "Start at login cannot use the program's path " + path + ": ";
    if (path.find('%') != std::string::npos)
        return refusal + "it holds a \"%\", which desktop launchers refuse. Move the program to a folder "
                         "without one.";
    for (const char c : path) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return refusal + "it holds a control character.";
    }
    if (!kivm::IsValidUtf8(path)) return refusal + "it is not UTF-8 text.";
    return std::string();
}

std::string Enable(const std::string& programPath) {
    const std::string problem = ProgramPathProblem(programPath);
    if (!problem.empty()) return problem;
    const std::string entry = EntryPath();
    if (entry.empty()) return "Start at login: no home folder is known for the autostart entry";
    const std::string folder = entry.substr(0, entry.rfind('/'));
    int error = 0;
    if (!kivm::MakeFolders(folder)) return Failure("make the folder", folder, errno);

    const std::string text = "[Desktop Entry]\nType=Application\nName=Calvoro\nExec=" +
                             QuoteExecArgument(programPath) + "\n";
    const std::string pattern = entry + ".XXXXXX";
    std::vector<char> temporary(pattern.begin(), pattern.end());
    temporary.push_back('\0');
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return Failure("write", entry, errno);
    // A whole file or none: the entry is written aside, flushed and renamed over the old one.
    bool written = fchmod(fd, 0644) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    error = written ? 0 : errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && rename(temporary.data(), entry.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temporary.data());
        return Failure("write", entry, error);
    }
    return std::string();
}

std::string Disable() {
    const std::string entry = EntryPath();
    if (entry.empty()) return std::string();
    if (unlink(entry.c_str()) != 0 && errno != ENOENT) return Failure("remove", entry, errno);
    return std::string();
}

}  // namespace Autostart
