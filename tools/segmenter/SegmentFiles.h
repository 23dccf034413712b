// Segment files on disk and the segmenter's own playlist file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TsCutter.h"

namespace tscut {

// Writes segment n to prefix + "-" + n + ".ts". A file is created only after the one before it has been
// closed, so a reader may take a file as complete once the next one exists.
class FileSegmentSink : public ISegmentSink {
public:
    explicit FileSegmentSink(std::string prefix);
    ~FileSegmentSink() override;
    FileSegmentSink(const FileSegmentSink&) = delete;
    FileSegmentSink& operator=(const FileSegmentSink&) = delete;

    void Open(uint32_t number) override;
    void Write(const uint8_t* bytes, size_t length) override;
    void Close() override;

    std::string PathOf(uint32_t number) const;

private:
    void Flush();

    std::string prefix_;
    int fd_ = -1;
    std::string path_;
    std::vector<uint8_t> buffer_;
};

// Replaces the file at path with text (written beside it, then renamed). Throws std::runtime_error.
void WriteFileAtomically(const std::string& path, const std::string& text);

// The part of a path after its last "/".
std::string BaseName(const std::string& path);

}  // namespace tscut
