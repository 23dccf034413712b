// Directory listing with opendir/readdir.
#include "kivlib/KivFileFinder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <utility>

#include "kivlib/kiv_text.h"

namespace {

class Entry final : public IFileFindEntry {
public:
    Entry(std::wstring name, bool directory, bool regular, bool link)
        : name_(std::move(name)), directory_(directory), regular_(regular), link_(link) {}
    std::wstring GetName() const override { return name_; }
    bool IsDirectory() const override { return directory_; }
    bool IsRegularFile() const override { return regular_; }
    bool IsLink() const override { return link_; }

private:
    std::wstring name_;
    bool directory_;
    bool regular_;
    bool link_;
};

class PosixFileFinder final : public IKivFileFinder {
public:
    ~PosixFileFinder() override { Close(); }

    boost::shared_ptr<IFileFindEntry> StartFileFind(const std::wstring& folder) override {
        Close();
        dir_ = opendir(kivm::ToUTF8Ex(folder).c_str());
        return ContinueFileFind();
    }

    boost::shared_ptr<IFileFindEntry> ContinueFileFind() override {
        if (!dir_) return boost::shared_ptr<IFileFindEntry>();
        while (struct dirent* found = readdir(dir_)) {
            if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
            return MakeEntry(*found);
        }
        Close();  // the end (or a read error, which ends the listing the same way)
        return boost::shared_ptr<IFileFindEntry>();
    }

private:
    // The entry's kind is settled now, while the folder is open, so that it stays right after the
    // listing moves on. d_type answers without a stat for most entries; links and file systems that do
    // not fill d_type need one.
    boost::shared_ptr<IFileFindEntry> MakeEntry(const struct dirent& found) {
        bool link = found.d_type == DT_LNK;
        bool directory = found.d_type == DT_DIR;
        bool regular = found.d_type == DT_REG;
        struct stat st;
        if (found.d_type == DT_UNKNOWN && fstatat(dirfd(dir_), found.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            link = S_ISLNK(st.st_mode);
            directory = S_ISDIR(st.st_mode);
            regular = S_ISREG(st.st_mode);
        }
        if (link) {
            const bool target = fstatat(dirfd(dir_), found.d_name, &st, 0) == 0;
            directory = target && S_ISDIR(st.st_mode);
            regular = target && S_ISREG(st.st_mode);
        }
        return boost::shared_ptr<IFileFindEntry>(
            new Entry(kivm::FromUTF8ExW(found.d_name), directory, regular, link));
    }

    void Close() {
        if (dir_) closedir(dir_);
        dir_ = nullptr;
    }

    DIR* dir_ = nullptr;
};

}  // namespace

boost::shared_ptr<IKivFileFinder> KivFileFinder::GetInstance() {
    return boost::shared_ptr<IKivFileFinder>(new PosixFileFinder);
}
