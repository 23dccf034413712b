// Segment files on disk and the segmenter's own playlist file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TsCutter.h"

namespace tscut {

// Writes segment n to prefix + "-" + n + ".ts". A file is created only after the one before it has been
// closed. Once a file has been written and closed whole, the line "closed <n>" goes to reportFd (when it
// is not -1): the reader's word that the file is complete. A file that could not be written whole is
// removed and never reported.
class FileSegmentSink : public ISegmentSink {
public:
    explicit FileSegmentSink(std::string prefix, int reportFd = -1);
    ~FileSegmentSink() override;
    FileSegmentSink(const FileSegmentSink&) = delete;
    FileSegmentSink& operator=(const FileSegmentSink&) = delete;

    void Open(uint32_t number) override;
    void Write(const uint8_t* bytes, size_t length) override;
    void Close() override;

    std::string PathOf(uint32_t number) const;

private:
    void Flush();
    void Report(uint32_t number);

    std::string prefix_;
    int reportFd_;
    int fd_ = -1;
    uint32_t number_ = 0;
    std::string path_;
    std::vector<uint8_t> buffer_;
};

// Replaces the file at path with text (written beside it, then renamed). Throws std::runtime_error.
void WriteFileAtomically(const std::string& path, const std::string& text);

// The part of a path after its last "/".
std::string BaseName(const std::string& path);

}  // namespace tscut
