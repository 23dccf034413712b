// Production held to what the reader of the segments allows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TsCutter.h"

namespace tscut {

// Passes everything on to another sink, but once it has opened each file after the first it takes one
// byte from creditFd before anything goes into the file, waiting for it: whoever writes the bytes
// decides how far ahead the files are made, and while it waits the program reads no input, so its
// writer waits as well. The wait ends without a byte once stopFd becomes readable (a stop request; left
// for the caller to read) or the credits end (their writer closed its end): from then on no file waits.
// creditFd -1 means no file ever waits.
class PacedSink : public ISegmentSink {
public:
    PacedSink(ISegmentSink& files, int creditFd, int stopFd) : files_(files), creditFd_(creditFd), stopFd_(stopFd) {}

    void Open(uint32_t number) override;
    void Write(const uint8_t* bytes, size_t length) override { files_.Write(bytes, length); }
    void Close() override { files_.Close(); }

    // The input has ended: the last file is cut without waiting.
    void Finishing() { creditFd_ = -1; }

private:
    void TakeCredit();

    ISegmentSink& files_;
    int creditFd_;
    int stopFd_;
    bool first_ = true;
};

}  // namespace tscut
