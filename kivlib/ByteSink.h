// Where a producer of bytes writes them: a reply on its way out, a counter, a buffer.
#pragma once

#include <cstddef>

class IByteSink {
public:
    virtual void Write(const char* bytes, size_t length) = 0;

protected:
    ~IByteSink() = default;
};
