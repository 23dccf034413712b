#include "platform/ProgramFolder.h"

#include <limits.h>
#include <unistd.h>

std::string ProgramPath() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return std::string();
    return std::string(self, static_cast<size_t>(n));
}

std::string ProgramFolder() {
    const std::string path = ProgramPath();
    return path.substr(0, path.rfind('/'));
}
