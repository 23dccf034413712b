// A temporary file of one request in the cache folder: "temp-" and 64 random bits in decimal, so
// simultaneous requests never share one. It is deleted however the request ends, exceptions of any
// type included.
#pragma once

#include <string>

#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_thread.h"

class RequestTempFile {
public:
    // extension without the point, e.g. "jpg".
    RequestTempFile(const std::wstring& cacheFolder, const char* extension)
        : path_(cacheFolder + L"/temp-" + kivm::str_conv(numstr::ToStr(get_rand_num64())) + L"." +
                kivm::str_conv(std::string(extension))) {}
    ~RequestTempFile() { kiv_delete(path_); }
    RequestTempFile(const RequestTempFile&) = delete;
    RequestTempFile& operator=(const RequestTempFile&) = delete;

    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};
