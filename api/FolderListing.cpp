// The folder listings under "/video/files/": every shared folder with a preview, or one folder in full.
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "api/HttpListener.h"
#include "api/ListingTree.h"
#include "api/RequestPathValidator.h"
#include "core/FileMaker.h"
#include "core/Log.h"
#include "core/State.h"
#include "core/Util.h"
#include "kivlib/KivFileFinder.h"
#include "kivlib/kiv_text.h"

namespace {
// How many videos and how many folders a preview ("subItems") shows.
const size_t kPreviewItems = 3;
// "2012-08-09 14:05:00"
const size_t kDateBytes = 19;

void AddIfVideoFile(NameList& files, const std::wstring& name, const std::string& utf8,
                    const std::set<std::wstring>& extensions) {
    if (IsVideoFile(name, extensions)) files.Add(utf8);
}

// A name that a listing can show and a client can ask for again: UTF-8, and no character that XML 1.0
// cannot hold (control characters, U+FFFE, U+FFFF). Other names would make the whole listing unreadable
// or reach the client changed.
bool ListableName(const std::wstring& name, const std::string& utf8) {
    if (!kivm::IsValidUtf8(utf8)) return false;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7f || c == 0xFFFE || c == 0xFFFF) return false;
    }
    return true;
}

// Each folder that holds such names is logged once for the life of the process, not on every listing.
void NoteUnlistableNames(const std::wstring& folder) {
    static std::mutex lock;
    static std::set<std::wstring> noted;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (noted.size() >= 4096) noted.clear();  // bounded; a folder may then be logged again
        if (!noted.insert(folder).second) return;
    }
    KIV_LOG("Names that XML cannot carry (control characters, or bytes that are not UTF-8) are left out of the "
            "listing of " + kivm::ToValidUtf8(kivm::ToUTF8Ex(folder)));
}

}  // namespace

bool HttpListener::IsListedFolderPath(const std::string& relative) {
    for (const std::string& name : SharePathComponents(relative)) {
        const std::wstring wide = kivm::FromUTF8ExW(name);
        if (name[0] == '.' || IsSubtitleFolder(wide) || !ListableName(wide, name)) return false;
    }
    return true;
}

bool HttpListener::IsListedVideoPath(const std::string& relative, const std::set<std::wstring>& extensions) {
    std::vector<std::string> parts = SharePathComponents(relative);
    if (parts.empty()) return false;
    const std::string file = parts.back();
    parts.pop_back();
    std::string folders;
    for (const std::string& part : parts) folders += part + "/";
    // A file's own name may begin with "." (".intro.mp4" is listed), but not be "." or "..".
    const std::wstring name = kivm::FromUTF8ExW(file);
    return IsListedFolderPath(folders) && file != "." && file != ".." && ListableName(name, file) &&
           IsVideoFile(name, extensions);
}

bool HttpListener::IsSubtitleFolder(const std::wstring& name) {
    const std::string lower = kivm::str_tolower(kivm::ToUTF8Ex(name));
    return lower == "subtitles" || lower == "subs";
}

void HttpListener::ScanFolder(const std::wstring& path, NameList& files, NameList& folders,
                              const std::set<std::wstring>& extensions) {
    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    if (!finder) throw std::runtime_error("Unable to list folder " + kivm::ToUTF8Ex(path));
    bool leftOut = false;
    for (boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(path); entry; entry = finder->ContinueFileFind()) {
        const std::wstring name = entry->GetName();
        const std::string utf8 = kivm::ToUTF8Ex(name);
        if (!ListableName(name, utf8)) {
            leftOut = true;
        } else if (entry->IsDirectory()) {
            if (!IsSubtitleFolder(name)) folders.Add(utf8);
        } else if (entry->IsRegularFile()) {  // never a named pipe, socket or device
            AddIfVideoFile(files, name, utf8, extensions);
        }
    }
    if (leftOut) NoteUnlistableNames(path);
    // The file system's own order is its hash order: show names as a file manager does.
    files.SortNatural();
    folders.SortNatural();
}

void HttpListener::AddVideoElements(const std::wstring& path, const NameList& files, ListingTree& tree,
                                    std::vector<ListingItem>& parent, int depth) {
    for (size_t i = 0; i < files.size(); ++i) {
        if (depth >= 1 && i == kPreviewItems) break;
        ListingItem video;
        video.name = tree.Keep(files, i);
        video.date = tree.texts.Add(fileMaker_->GetModifiedTime(path + L"/" + kivm::FromUTF8ExW(std::string(files.Name(i)))));
        parent.push_back(video);
    }
}

void HttpListener::AddFolderElements(const std::wstring& path, const NameList& folders, ListingTree& tree,
                                     std::vector<ListingItem>& parent, const std::set<std::wstring>& extensions,
                                     int depth) {
    size_t added = 0;
    for (size_t i = 0; i < folders.size(); ++i) {
        if (depth >= 1 && added == kPreviewItems) break;
        const std::string_view name = folders.Name(i);
        if (!name.empty() && name[0] == '.') continue;  // hidden folders are neither listed nor counted
        const std::wstring folderPath = path + L"/" + kivm::FromUTF8ExW(std::string(name));
        ListingItem folder;
        folder.folder = true;
        folder.name = tree.Keep(folders, i);
        folder.date = tree.texts.Add(fileMaker_->GetModifiedTime(folderPath));
        if (depth < 1) AddPreview(folderPath, tree, folder, extensions);
        parent.push_back(folder);
        ++added;
    }
}

// A folder's "subItems": the first videos and folders of its own scan, whose names are kept in the
// tree only when shown.
void HttpListener::AddPreview(const std::wstring& path, ListingTree& tree, ListingItem& folder,
                              const std::set<std::wstring>& extensions) {
    TextPool scanned;
    NameList files(scanned);
    NameList folders(scanned);
    ScanFolder(path, files, folders, extensions);
    folder.hasPreview = true;
    folder.previewFirst = static_cast<uint32_t>(tree.previews.size());
    AddVideoElements(path, files, tree, tree.previews, 1);
    AddFolderElements(path, folders, tree, tree.previews, extensions, 1);
    folder.previewCount = static_cast<uint8_t>(tree.previews.size() - folder.previewFirst);
}

void HttpListener::SendListing(const ListingTree& tree) {
    SendProducedText([&tree](IByteSink& out) { WriteListing(tree, out); }, 200);
}

void HttpListener::ListSharedFolders() {
    std::list<FolderEntry> shared;
    state_->GetFolders(shared);
    std::set<std::wstring> extensions;
    State::GetVideoExtensions(extensions);

    ListingTree tree;
    for (const FolderEntry& entry : shared) {
        ListingItem folder;
        folder.folder = true;
        folder.name = tree.texts.Add(kivm::ToUTF8Ex(entry.Alias));
        folder.date = tree.texts.Add(fileMaker_->GetModifiedTime(entry.Path));
        AddPreview(entry.Path, tree, folder, extensions);
        tree.items.push_back(folder);
    }
    SendListing(tree);
}

void HttpListener::ListFolder(const std::string& rest) {
    std::set<std::wstring> extensions;
    State::GetVideoExtensions(extensions);
    // A rest without "/" throws std::out_of_range here, which the request loop answers.
    const size_t slash = rest.find('/');
    const std::string subPath = rest.substr(slash);
    const std::string aliasText = rest.substr(0, slash);

    std::list<FolderEntry> shared;
    state_->GetFolders(shared);
    try {
        const std::wstring alias = kivm::FromUTF8ExW(aliasText);
        const FolderEntry* found = nullptr;
        for (const FolderEntry& entry : shared) {
            if (entry.Alias == alias) {
                found = &entry;
                break;
            }
        }
        if (!found) throw std::runtime_error("Unknown folder: " + aliasText);

        std::wstring directory = found->Path;
        // A folder no listing shows (a dot-folder, a subtitle folder) is not listed when asked for by name.
        if (subPath.size() > 1 && (!IsListedFolderPath(subPath.substr(1)) ||
                                   !JoinSharePath(found->Path, subPath.substr(1), directory)))
            throw std::runtime_error("Unknown folder: " + rest);

        // The scan's names go straight into the tree's pool; the dates follow them there.
        ListingTree tree;
        NameList videos(tree.texts);
        NameList folders(tree.texts);
        ScanFolder(directory, videos, folders, extensions);
        tree.items.reserve(videos.size() + folders.size());
        tree.texts.Reserve((videos.size() + folders.size()) * kDateBytes);
        AddVideoElements(directory, videos, tree, tree.items, 0);
        AddFolderElements(directory, folders, tree, tree.items, extensions, 0);
        SendListing(tree);
    } catch (const std::exception& e) {
        SendText(e.what(), 404);
    }
}
