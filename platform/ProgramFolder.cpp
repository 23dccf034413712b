#include "platform/ProgramFolder.h"

#include <limits.h>
#include <unistd.h>

std::string ProgramFolder() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return std::string();
    const std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}
