#include "platform/OpenFileLimit.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
// An unlimited hard limit cannot be the soft one: the kernel caps descriptors at fs.nr_open.
rlim_t KernelCeiling() {
    rlim_t ceiling = 1024 * 1024;
    const int fd = ::open("/proc/sys/fs/nr_open", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ceiling;
    char text[32] = {};
    const ssize_t n = ::read(fd, text, sizeof(text) - 1);
    ::close(fd);
    rlim_t value = 0;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
    return value > 0 ? value : ceiling;
}
}  // namespace

uint64_t RaiseOpenFileLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 0;
    const rlim_t wanted = files.rlim_max == RLIM_INFINITY ? KernelCeiling() : files.rlim_max;
    if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur >= wanted) return files.rlim_cur;
    rlimit raised = files;
    raised.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return raised.rlim_cur;
    return files.rlim_cur;
}
