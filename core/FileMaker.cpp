#include "core/FileMaker.h"

#include <sys/stat.h>
#include <time.h>

#include <stdexcept>

#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"

boost::shared_ptr<IFileMaker> FileMaker::GetInstance() {
    return boost::shared_ptr<IFileMaker>(new FileMaker(), KivDeleter::deleter());
}

boost::shared_ptr<IBlockingStream> FileMaker::OpenForWrite(const std::wstring& path) {
    return KivFileStream::GetInstance(path, OPEN_CREATE);
}

boost::shared_ptr<IBlockingStream> FileMaker::OpenForRead(const std::wstring& path) {
    return KivFileStream::GetInstance(path, OPEN_READ);
}

bool FileMaker::Exists(const std::wstring& path) {
    struct stat status;
    return stat(kivm::str_conv(path).c_str(), &status) == 0;
}

std::string FileMaker::GetModifiedTime(const std::wstring& path) {
    struct stat status;
    if (stat(kivm::str_conv(path).c_str(), &status) != 0) return std::string();
    struct tm local;
    if (!localtime_r(&status.st_mtime, &local)) return std::string();
    return FormatFileTime(local);
}

uint64_t FileMaker::GetFileSize(const std::wstring& path) {
    boost::shared_ptr<IBlockingStream> stream = OpenForRead(path);
    if (!stream) throw std::runtime_error("File could not be opened");
    return stream->GetSize();
}

bool FileMaker::DeleteFile(const std::wstring& path) {
    if (!kiv_delete(path)) throw std::runtime_error("Deletion failed for file: " + kivm::str_conv(path));
    return true;
}

void FileMaker::MakeDirectory(const std::wstring& path) {
    const std::string narrow = kivm::str_conv(path);
    if (!kiv_mkdir(narrow)) throw std::runtime_error("Creation failed for directory: " + narrow);
}

void FileMaker::RemoveDirectory(const std::wstring& path) {
    const std::string narrow = kivm::str_conv(path);
    if (!kiv_rmdir(narrow)) throw std::runtime_error("Removal failed for directory: " + narrow);
}

std::string FormatFileTime(const struct tm& time) {
    return numstr::ToStr(time.tm_year + 1900, 10, 4) + "-" + numstr::ToStr(time.tm_mon + 1, 10, 2) + "-" +
           numstr::ToStr(time.tm_mday, 10, 2) + " " + numstr::ToStr(time.tm_hour, 10, 2) + ":" +
           numstr::ToStr(time.tm_min, 10, 2) + ":" + numstr::ToStr(time.tm_sec, 10, 2);
}

boost::shared_ptr<IKivFileFinder> KivFileFinderFactory::CreateFinder() { return KivFileFinder::GetInstance(); }
