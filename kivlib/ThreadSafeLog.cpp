// The log writer: an append-only file shared by every thread.
//
// Each entry is handed to the kernel in one write() on an O_APPEND descriptor, under a mutex, so entries
// from different threads (and even from other processes appending to the same file) never interleave.
// An entry that would take the file past its size limit first moves the file aside to "<path>.1" (the
// one older file kept, replacing the one before) and starts a new one, so the log keeps its recent
// history in bounded space.
#include "kivlib/ThreadSafeLog.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "kivlib/kiv_text.h"

namespace {

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string TimeStamp() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char text[96];  // room for any int the fields could hold
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<long>(now.tv_nsec / 1000000L));
    return text;
}

int OpenForAppend(const std::string& file) { return open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); }

class FileLog final : public ThreadSafeLog {
public:
    FileLog(int fd, const std::string& file, uint64_t rotateAtBytes) : fd_(fd), file_(file), rotateAt_(rotateAtBytes) {}
    ~FileLog() override { close(fd_); }
    FileLog(const FileLog&) = delete;
    FileLog& operator=(const FileLog&) = delete;

    void Log(const std::string& message, const char* sourceFile, int line) override {
        std::string entry = TimeStamp();
        entry += " [" + std::to_string(static_cast<long>(gettid())) + "] ";
        entry += sourceFile ? sourceFile : "?";
        entry += "(" + std::to_string(line) + "): ";
        entry += LogEntryMessage(message);
        entry += '\n';
        std::lock_guard<std::mutex> hold(mutex_);
        // An entry always begins a line of its own, also after bytes that did not end theirs.
        if (!atLineStart_) entry.insert(0, 1, '\n');
        Append(entry.data(), entry.size());
        atLineStart_ = true;
    }

    void LogBuffer(const char* bytes, size_t length) override {
        if (!bytes || length == 0) return;
        std::lock_guard<std::mutex> hold(mutex_);
        const std::string text = LogBufferText(bytes, length, atLineStart_);
        Append(text.data(), text.size());
    }

private:
    // Called under the mutex.
    void Append(const char* bytes, size_t length) {
        RotateIfFull(length);
        // A regular file takes the whole buffer in one call; the loop only covers a short write (a full
        // disk), after which the rest is retried until write() reports the error.
        while (length > 0) {
            ssize_t written = write(fd_, bytes, length);
            if (written < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (written == 0) return;
            bytes += written;
            length -= static_cast<size_t>(written);
        }
    }

    // Called under the mutex. Any step that fails leaves the entry going to the file in hand: nothing
    // logged is lost, and the next entry tries again.
    void RotateIfFull(size_t adding) {
        struct stat now;
        if (fstat(fd_, &now) != 0 || now.st_size == 0) return;
        if (uint64_t(now.st_size) + adding <= rotateAt_) return;
        // When another writer of the same file has moved it aside already, only follow it to the new one.
        struct stat named;
        const bool movedAlready =
            stat(file_.c_str(), &named) == 0 && (named.st_ino != now.st_ino || named.st_dev != now.st_dev);
        if (!movedAlready && rename(file_.c_str(), (file_ + ".1").c_str()) != 0 && errno != ENOENT) return;
        const int fresh = OpenForAppend(file_);
        if (fresh < 0) return;
        close(fd_);
        fd_ = fresh;
    }

    int fd_;
    const std::string file_;
    const uint64_t rotateAt_;
    std::mutex mutex_;
    bool atLineStart_ = true;  // every entry ends its line; appended bytes may not
};

}  // namespace

const char* const kLogBufferLineMark = "| ";

std::string LogEntryMessage(const std::string& message) {
    const bool endsLine = !message.empty() && message.back() == '\n';
    return kivm::EscapeForLog(endsLine ? message.substr(0, message.size() - 1) : message);
}

std::string LogBufferText(const char* bytes, size_t length, bool& atLineStart) {
    const std::string escaped = kivm::EscapeForLog(std::string(bytes, length), true);
    std::string out;
    out.reserve(escaped.size() + escaped.size() / 32 + 2);
    for (char c : escaped) {
        if (atLineStart) out += kLogBufferLineMark;
        out += c;
        atLineStart = c == '\n';
    }
    return out;
}

boost::shared_ptr<ThreadSafeLog> ThreadSafeLog::GetInstance(const std::wstring& path) {
    std::string file = kivm::ToUTF8Ex(path);
    int fd = OpenForAppend(file);
    if (fd < 0) return boost::shared_ptr<ThreadSafeLog>();
    return boost::shared_ptr<ThreadSafeLog>(new FileLog(fd, file, kRotateAtBytes));
}
