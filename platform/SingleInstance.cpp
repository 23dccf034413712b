#include "platform/SingleInstance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "kivlib/kiv_text.h"

bool SingleInstance::Acquire(const std::wstring& folder, const std::wstring& name) {
    if (fd_ >= 0) return true;
    heldElsewhere_ = false;
    const std::string path = kivm::ToUTF8Ex(folder + L"/" + name + L".lock");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        heldElsewhere_ = errno == EWOULDBLOCK;
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) close(fd_);
}
