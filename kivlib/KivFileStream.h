// Blocking file streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

enum open_type {
    OPEN_READ = 0,    // an existing file, for reading
    OPEN_CREATE = 2,  // create, or truncate an existing file, for writing
};

class IBlockingStream {
public:
    virtual ~IBlockingStream() = default;
    // Bytes read; fewer than asked only at the end of the file (0 there). Throws std::runtime_error on a read error.
    virtual size_t Read(void* buffer, size_t length) = 0;
    // Writes all bytes; false on failure.
    virtual bool Write(const void* bytes, size_t length) = 0;
    // Positions the stream at offset bytes from the start; false on failure.
    virtual bool Seek(uint64_t offset) = 0;
    virtual uint64_t GetSize() = 0;
    // Flushes to the disk (fsync); false on failure.
    virtual bool Sync() = 0;
    // The open file descriptor, for sending the file's bytes to a socket without a copy; -1 when the
    // stream has none. It stays the stream's own: valid while the stream lives, never to be closed.
    virtual int NativeHandle() const { return -1; }
};

class KivFileStream {
public:
    // Empty when the file cannot be opened. OPEN_READ opens regular files only (no folder, named pipe
    // or device) and never waits in open; OPEN_CREATE refuses folders.
    static boost::shared_ptr<IBlockingStream> GetInstance(const std::wstring& path, open_type type);
};
