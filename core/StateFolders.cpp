// The shared folders of the state store: aliases, sharing and removal, and the UI's folder tree.
#include <stdexcept>

#include "core/Log.h"
#include "core/State.h"
#include "core/StateText.h"
#include "core/Util.h"
#include "kivlib/KivFileFinder.h"
#include "kivlib/kiv_text.h"

// Log entries name the component, the state store, whichever of its files writes them.
#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "State"

namespace {

// The name a folder is offered under before it is made unique: the last component of its standard form.
// "/" is the only separator here, so there are no drive roots: the root folder itself, whose standard
// form ends in "/", has no last component and is numbered like an empty path.
std::wstring BaseAlias(const std::wstring& path, size_t folderCount) {
    std::wstring name = kivm::get_file_from_path(kivm::standardize_path(path));
    if (name.empty()) name = L"folder" + kivm::str_conv(numstr::ToStr(static_cast<uint64_t>(folderCount), 10, 0));
    return name;
}

}  // namespace

void State::GetVideoExtensions(std::set<std::wstring>& extensions) {
    static const wchar_t* const kVideoExtensions[] = {
        L"mpg", L"avi", L"wmv", L"mp4",  L"m2v", L"m1v",    L"ts",  L"mpeg", L"mov",  L"flv", L"mkv",  L"ogg", L"iso",
        L"vob", L"m4v", L"rmvb", L"rm", L"dvr-ms", L"wtv", L"divx", L"asf", L"m2ts", L"m2t", L"mpe", L"3gp"};
    extensions.clear();
    for (const wchar_t* extension : kVideoExtensions) extensions.insert(extension);
}

bool State::InsertFolder(const FolderEntry& entry) {
    FolderEntry stored;
    stored.Alias = statetext::Stored(entry.Alias);
    if (folders_.count(stored.Alias) != 0) return false;
    // Absolute paths here already begin with "/", so the standard form is stored as it is.
    stored.Path = kivm::standardize_path(statetext::Stored(entry.Path));
    KIV_LOG("Sharing folder " + kivm::ToUTF8Ex(stored.Path));
    folders_[stored.Alias] = stored;
    return true;
}

std::string State::FolderPathProblem(const std::wstring& path) {
    if (statetext::Stored(path) == path) return std::string();
    return "Cannot share " + kivm::ToValidUtf8(kivm::ToUTF8Ex(path)) +
           ": its name holds bytes that are not UTF-8 (or a NUL), which the state file cannot keep";
}

bool State::AddFolder(const FolderEntry& entry) {
    // Stored under a different path, the folder would be shared as one that does not exist.
    const std::string problem = FolderPathProblem(entry.Path);
    if (!problem.empty()) {
        KIV_LOG(problem);
        return false;
    }
    bool inserted = false;
    {
        KivLock lock(*mutex_);
        inserted = InsertFolder(entry);
    }
    Save();
    return inserted;
}

bool State::ShareFolder(const std::wstring& path) {
    FolderEntry entry;
    {
        KivLock lock(*mutex_);
        entry.Path = path;
        // Aliases are made of stored text, so the alias keys compare with what state.xml gives back.
        const std::wstring base = statetext::Stored(BaseAlias(path, folders_.size()));
        entry.Alias = base;
        for (uint64_t n = 0; folders_.count(entry.Alias) != 0; ++n)
            entry.Alias = base + kivm::str_conv(numstr::ToStr(n, 10, 0));
    }
    return AddFolder(entry);
}

bool State::ShareExistingFolder(const std::wstring& path) {
    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    if (!finder || !finder->StartFileFind(path)) return false;
    const bool shared = ShareFolder(path);
    Save();
    return shared;
}

bool State::RemoveFolder(const std::wstring& alias) {
    bool found = false;
    {
        KivLock lock(*mutex_);
        found = folders_.erase(alias) != 0;
    }
    if (!found) {
        KIV_LOG("Alias not found: " + kivm::str_conv(alias));
        throw std::runtime_error("Alias not found to be removed");
    }
    return Save();
}

void State::GetFolders(std::list<FolderEntry>& folders) {
    folders.clear();
    KivLock lock(*mutex_);
    for (const auto& folder : folders_) folders.push_back(folder.second);
}

int State::GetFolderCount() {
    KivLock lock(*mutex_);
    return static_cast<int>(folders_.size());
}

void State::ToggleFolderExpanded(const std::wstring& path) {
    KivLock lock(*mutex_);
    const std::wstring standard = kivm::standardize_path(path);
    if (expandedPaths_.erase(standard) == 0) expandedPaths_.insert(standard);
}

void State::GetFolderTree(std::list<FolderTreeRow>& rows) {
    std::set<std::wstring> extensions;
    GetVideoExtensions(extensions);
    rows.clear();
    KivLock lock(*mutex_);
    for (const auto& folder : folders_) {
        FolderTreeRow row;
        row.IsFolder = true;
        row.Expanded = expandedPaths_.count(folder.second.Path) != 0;
        row.Depth = 0;
        row.Path = folder.second.Path;
        row.Name = kivm::get_file_from_path(folder.second.Path);
        row.Alias = folder.second.Alias;
        rows.push_back(row);
        if (row.Expanded) AppendFolderContents(row.Path, 1, extensions, rows);
    }
}

void State::AppendFolderContents(const std::wstring& folder, int depth, const std::set<std::wstring>& extensions,
                                 std::list<FolderTreeRow>& rows) {
    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    if (!finder) return;
    for (boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(folder); entry;
         entry = finder->ContinueFileFind()) {
        FolderTreeRow row;
        row.Depth = depth;
        row.Path = kivm::standardize_path(folder + L"/" + entry->GetName());
        row.Name = kivm::get_file_from_path(row.Path);
        row.IsFolder = entry->IsDirectory();
        if (row.IsFolder) {
            row.Expanded = expandedPaths_.count(row.Path) != 0;
        } else if (!IsVideoFile(row.Path, extensions)) {
            continue;
        }
        rows.push_back(row);
        if (row.Expanded) AppendFolderContents(row.Path, depth + 1, extensions, rows);
    }
}
