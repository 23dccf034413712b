// The folder listings under "/video/files/": every shared folder with a preview, or one folder in full.
#include <stdexcept>
#include <utility>

#include <boost/shared_ptr.hpp>

#include "api/HttpListener.h"
#include "api/RequestPathValidator.h"
#include "core/FileMaker.h"
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
    for (boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(path); entry; entry = finder->ContinueFileFind()) {
        const std::wstring name = entry->GetName();
        if (entry->IsDirectory()) {
            if (!IsSubtitleFolder(name)) folders.push_back(name);
        } else {
            AddIfVideoFile(files, name, extensions);
        }
    }
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
        if (subPath.size() > 1 && !JoinRequestPath(found->Path, subPath.substr(1), directory))
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
