// What the process's open descriptors point at, read from /proc.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace openfiles {

// The flags of the descriptor open on path (from /proc/self/fdinfo), or -1 when none is.
inline long FlagsOfDescriptorOn(const std::string& path) {
    long flags = -1;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return flags;
    while (struct dirent* entry = readdir(dir)) {
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n <= 0 || std::string(target, static_cast<size_t>(n)) != path) continue;
        std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
        std::string key, value;
        while (info >> key >> value) {
            if (key == "flags:") flags = std::strtol(value.c_str(), nullptr, 8);
        }
    }
    closedir(dir);
    return flags;
}

}  // namespace openfiles
