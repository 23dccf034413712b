// Blocking file streams on a POSIX descriptor with 64-bit offsets.
#include "kivlib/KivFileStream.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <limits>
#include <stdexcept>

#include "kivlib/PosixFd.h"
#include "kivlib/kiv_text.h"

static_assert(sizeof(off_t) == 8, "file offsets must be 64 bits wide");

namespace {

class PosixFileStream final : public IBlockingStream {
public:
    explicit PosixFileStream(int fd) : fd_(fd) {}
    ~PosixFileStream() override { close(fd_); }
    PosixFileStream(const PosixFileStream&) = delete;
    PosixFileStream& operator=(const PosixFileStream&) = delete;

    size_t Read(void* buffer, size_t length) override {
        char* out = static_cast<char*>(buffer);
        size_t total = 0;
        // read() may return less than asked before the end (pipes, signals); only 0 means the end.
        while (total < length) {
            ssize_t got = read(fd_, out + total, length - total);
            if (got < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error("file read failed: " + kivposix::ErrnoText(errno));
            }
            if (got == 0) break;
            total += static_cast<size_t>(got);
        }
        return total;
    }

    bool Write(const void* bytes, size_t length) override {
        const char* in = static_cast<const char*>(bytes);
        while (length > 0) {
            ssize_t written = write(fd_, in, length);
            if (written < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (written == 0) return false;
            in += written;
            length -= static_cast<size_t>(written);
        }
        return true;
    }

    bool Seek(uint64_t offset) override {
        if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
        return lseek(fd_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
    }

    uint64_t GetSize() override {
        struct stat st;
        if (fstat(fd_, &st) != 0 || st.st_size < 0) return 0;
        return static_cast<uint64_t>(st.st_size);
    }

    bool Sync() override { return fsync(fd_) == 0; }

    int NativeHandle() const override { return fd_; }

private:
    int fd_;
};

}  // namespace

boost::shared_ptr<IBlockingStream> KivFileStream::GetInstance(const std::wstring& path, open_type type) {
    int flags;
    switch (type) {
        case OPEN_READ: flags = O_RDONLY; break;
        case OPEN_CREATE: flags = O_RDWR | O_CREAT | O_TRUNC; break;
        default: return boost::shared_ptr<IBlockingStream>();
    }
    std::string file = kivm::ToUTF8Ex(path);
    // Reading opens non-blocking, so that a named pipe (which would wait in open for a writer) or a
    // device opens at once and is turned away by the type check: only regular files are read.
    const bool reading = type == OPEN_READ;
    int fd = open(file.c_str(), flags | O_CLOEXEC | (reading ? O_NONBLOCK : 0), 0644);
    if (fd < 0) return boost::shared_ptr<IBlockingStream>();
    // A folder opens for reading on POSIX, but it is no file stream.
    struct stat st;
    const bool fits = fstat(fd, &st) == 0 && (reading ? S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode));
    const int status = fits && reading ? fcntl(fd, F_GETFL) : 0;
    if (!fits || status < 0 || (reading && fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)) {
        close(fd);
        return boost::shared_ptr<IBlockingStream>();
    }
    return boost::shared_ptr<IBlockingStream>(new PosixFileStream(fd));
}
