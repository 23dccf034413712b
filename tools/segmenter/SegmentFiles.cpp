#include "SegmentFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <stdexcept>

namespace tscut {

namespace {

constexpr size_t kBufferBytes = 256 * 1024;

std::string ErrorText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + strerror(errno);
}

void WriteAll(int fd, const uint8_t* bytes, size_t length, const std::string& path) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(ErrorText("cannot write", path));
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
}

}  // namespace

FileSegmentSink::FileSegmentSink(std::string prefix, int reportFd) : prefix_(std::move(prefix)), reportFd_(reportFd) {
    buffer_.reserve(kBufferBytes);
}

FileSegmentSink::~FileSegmentSink() {
    // Still open here means the run failed part-way: a cut file must not pass for a segment.
    if (fd_ < 0) return;
    ::close(fd_);
    ::unlink(path_.c_str());
}

std::string FileSegmentSink::PathOf(uint32_t number) const { return prefix_ + "-" + std::to_string(number) + ".ts"; }

void FileSegmentSink::Open(uint32_t number) {
    if (fd_ >= 0) throw std::logic_error("segment opened while another is open");
    path_ = PathOf(number);
    number_ = number;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::runtime_error(ErrorText("cannot create", path_));
}

void FileSegmentSink::Write(const uint8_t* bytes, size_t length) {
    if (fd_ < 0) throw std::logic_error("segment written while none is open");
    if (buffer_.size() + length > kBufferBytes) Flush();
    if (length >= kBufferBytes) {
        WriteAll(fd_, bytes, length, path_);
        return;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + length);
}

void FileSegmentSink::Flush() {
    if (buffer_.empty()) return;
    WriteAll(fd_, buffer_.data(), buffer_.size(), path_);
    buffer_.clear();
}

void FileSegmentSink::Close() {
    if (fd_ < 0) return;
    Flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        const std::string message = ErrorText("cannot close", path_);
        ::unlink(path_.c_str());
        throw std::runtime_error(message);
    }
    Report(number_);
}

void FileSegmentSink::Report(uint32_t number) {
    if (reportFd_ < 0) return;
    const std::string line = "closed " + std::to_string(number) + "\n";
    // One short write: a line this small reaches a pipe whole. A reader that has gone is no failure of ours.
    while (::write(reportFd_, line.data(), line.size()) < 0 && errno == EINTR) {
    }
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error(ErrorText("cannot create", temporary));
    try {
        WriteAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size(), temporary);
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string message = ErrorText("cannot replace", path);
        ::unlink(temporary.c_str());
        throw std::runtime_error(message);
    }
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace tscut
