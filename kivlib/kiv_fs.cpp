// File and folder tests, creation and deletion on POSIX.
#include "kivlib/kiv_fs.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kivlib/kiv_text.h"

bool kiv_delete(const std::wstring& path) {
    // unlink() never removes a folder; a symbolic link is removed itself, not what it points to.
    return unlink(kivm::ToUTF8Ex(path).c_str()) == 0;
}

bool kiv_file_exists(const std::wstring& path) {
    struct stat st;
    return stat(kivm::ToUTF8Ex(path).c_str(), &st) == 0;
}

bool kiv_is_regular_file(const std::wstring& path) {
    struct stat st;
    return stat(kivm::ToUTF8Ex(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool kiv_is_directory(const std::wstring& path) {
    struct stat st;
    return stat(kivm::ToUTF8Ex(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool kiv_mkdir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0) return true;
    struct stat st;
    return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool kiv_rmdir(const std::string& path) { return rmdir(path.c_str()) == 0; }
