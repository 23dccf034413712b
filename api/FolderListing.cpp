// The folder listings under "/video/files/": every shared folder with a preview, or one folder in full.
#include <mutex>
#include <stdexcept>
#include <utility>

#include <boost/shared_ptr.hpp>

#include "api/HttpListener.h"
#include "api/NaturalOrder.h"
#include "api/RequestPathValidator.h"
#include "core/FileMaker.h"
#include "core/Log.h"
#include "core/State.h"
#include "core/Util.h"
#include "kivlib/KivFileFinder.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"

namespace {
// How many videos and how many folders a preview ("subItems") shows.
const size_t kPreviewItems = 3;

void AddIfVideoFile(std::list<std::wstring>& files, const std::wstring& name, const std::set<std::wstring>& extensions) {
    if (IsVideoFile(name, extensions)) files.push_back(name);
}

// A name that a listing can show and a client can ask for again: UTF-8, and no character that XML 1.0
// cannot hold (control characters, U+FFFE, U+FFFF). Other names would make the whole listing unreadable
// or reach the client changed.
bool ListableName(const std::wstring& name) {
    const std::string utf8 = kivm::ToUTF8Ex(name);
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

std::string Serialise(xml_element&& files) {
    xml_element root("calvoro");
    root.children.push_back(std::move(files));
    return kiv_xml::dump_xml(root, 0);
}
}  // namespace

bool HttpListener::IsSubtitleFolder(const std::wstring& name) {
    const std::string lower = kivm::str_tolower(kivm::ToUTF8Ex(name));
    return lower == "subtitles" || lower == "subs";
}

void HttpListener::ScanFolder(const std::wstring& path, std::list<std::wstring>& files,
                              std::list<std::wstring>& folders, const std::set<std::wstring>& extensions) {
    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    if (!finder) throw std::runtime_error("Unable to list folder " + kivm::ToUTF8Ex(path));
    bool leftOut = false;
    for (boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(path); entry; entry = finder->ContinueFileFind()) {
        const std::wstring name = entry->GetName();
        if (!ListableName(name)) {
            leftOut = true;
        } else if (entry->IsDirectory()) {
            if (!IsSubtitleFolder(name)) folders.push_back(name);
        } else if (entry->IsRegularFile()) {  // never a named pipe, socket or device
            AddIfVideoFile(files, name, extensions);
        }
    }
    if (leftOut) NoteUnlistableNames(path);
    // The file system's own order is its hash order: show names as a file manager does.
    files.sort(NaturalNameLess);
    folders.sort(NaturalNameLess);
}

void HttpListener::AddVideoElements(const std::wstring& path, const std::list<std::wstring>& files,
                                    xml_element& parent, int depth) {
    size_t added = 0;
    for (const std::wstring& name : files) {
        if (depth >= 1 && added == kPreviewItems) break;
        xml_element& video = parent.add_child("video");
        video.add_child("filename", kivm::ToUTF8Ex(name));
        video.add_child("date", fileMaker_->GetModifiedTime(path + L"/" + name));
        ++added;
    }
}

void HttpListener::AddFolderElements(const std::wstring& path, const std::list<std::wstring>& folders,
                                     xml_element& parent, const std::set<std::wstring>& extensions, int depth) {
    size_t added = 0;
    for (const std::wstring& name : folders) {
        if (depth >= 1 && added == kPreviewItems) break;
        const std::string utf8 = kivm::ToUTF8Ex(name);
        if (!utf8.empty() && utf8[0] == '.') continue;  // hidden folders are neither listed nor counted
        const std::wstring folderPath = path + L"/" + name;
        xml_element folder("folder");
        folder.add_child("filename", utf8);
        folder.add_child("date", fileMaker_->GetModifiedTime(folderPath));
        if (depth < 1) {
            xml_element& subItems = folder.add_child("subItems");
            std::list<std::wstring> subFiles;
            std::list<std::wstring> subFolders;
            ScanFolder(folderPath, subFiles, subFolders, extensions);
            AddVideoElements(folderPath, subFiles, subItems, depth + 1);
            AddFolderElements(folderPath, subFolders, subItems, extensions, depth + 1);
        }
        parent.children.push_back(std::move(folder));
        ++added;
    }
}

void HttpListener::ListSharedFolders() {
    std::list<FolderEntry> shared;
    state_->GetFolders(shared);
    std::set<std::wstring> extensions;
    State::GetVideoExtensions(extensions);

    xml_element files("files");
    for (const FolderEntry& entry : shared) {
        xml_element& folder = files.add_child("folder");
        folder.add_child("filename", kivm::ToUTF8Ex(entry.Alias));
        folder.add_child("date", fileMaker_->GetModifiedTime(entry.Path));
        xml_element& subItems = folder.add_child("subItems");
        std::list<std::wstring> videos;
        std::list<std::wstring> folders;
        ScanFolder(entry.Path, videos, folders, extensions);
        AddVideoElements(entry.Path, videos, subItems, 1);
        AddFolderElements(entry.Path, folders, subItems, extensions, 1);
    }
    SendText(Serialise(std::move(files)), 200);
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
        if (subPath.size() > 1 && !JoinSharePath(found->Path, subPath.substr(1), directory))
            throw std::runtime_error("Unknown folder: " + rest);

        std::list<std::wstring> videos;
        std::list<std::wstring> folders;
        ScanFolder(directory, videos, folders, extensions);
        xml_element files("files");
        AddVideoElements(directory, videos, files, 0);
        AddFolderElements(directory, folders, files, extensions, 0);
        SendText(Serialise(std::move(files)), 200);
    } catch (const std::exception& e) {
        SendText(e.what(), 404);
    }
}
