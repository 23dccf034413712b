// state.xml: loading it at start-up and rewriting it, atomically, whenever something durable changes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "core/Log.h"
#include "core/State.h"
#include "core/StateText.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"

// Log entries name the component, the state store, whichever of its files writes them.
#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "State"

namespace {

const size_t kReadBlock = 320;

std::string Number(uint64_t value) { return numstr::ToStr(value, 10, 0); }
std::string Flag(bool value) { return value ? "1" : "0"; }

// The text of the named child, when there is one. A file written by an earlier version may hold
// characters XML 1.0 forbids (our parser reads them); they are read as U+FFFD, as a save writes them.
bool ChildText(const xml_element& parent, const char* name, std::string& text) {
    const xml_element* child = kiv_xml::find_child(parent, name, true);
    if (!child) return false;
    text = statetext::Stored(child->text);
    return true;
}

void ReadNumber(const xml_element& parent, const char* name, uint32_t& value) {
    std::string text;
    if (ChildText(parent, name, text)) value = numstr::ToUint32(text, 10);
}

void ReadFlag(const xml_element& parent, const char* name, bool& value) {
    std::string text;
    if (ChildText(parent, name, text)) value = numstr::ToUint32(text, 10) != 0;
}

std::string Trimmed(const std::string& text) {
    const char* const blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The whole file, read in blocks; false when it cannot be opened.
bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    boost::shared_ptr<IBlockingStream> stream = KivFileStream::GetInstance(path, OPEN_READ);
    if (!stream || !stream->Seek(0)) return false;
    char block[kReadBlock];
    size_t got = 0;
    do {
        got = stream->Read(block, sizeof block);
        bytes.append(block, got);
    } while (got == sizeof block);
    return true;
}

// Makes a rename inside the folder durable; a failure here only weakens durability, never the content.
void SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Writes bytes to a temporary file beside path, syncs it and renames it over path: a reader, or a
// start after a crash, finds the old file or the new one, never a part of either.
bool ReplaceFile(const std::wstring& path, const std::string& bytes) {
    const std::wstring temporary = path + L".tmp";
    boost::shared_ptr<IBlockingStream> stream = KivFileStream::GetInstance(temporary, OPEN_CREATE);
    if (!stream) {
        KIV_LOG("Save() could not create output XML file");
        return false;
    }
    const bool written = stream->Write(bytes.data(), bytes.size()) && stream->Sync();
    stream.reset();
    if (!written) {
        KIV_LOG("Save() could not write " + kivm::ToUTF8Ex(temporary) + "; the state file was left as it was");
        kiv_delete(temporary);
        return false;
    }
    const std::string target = kivm::str_conv(path);
    if (std::rename(kivm::str_conv(temporary).c_str(), target.c_str()) != 0) {
        KIV_LOG("Save() could not replace " + target + "; the state file was left as it was");
        kiv_delete(temporary);
        return false;
    }
    SyncFolderOf(target);
    return true;
}

bool PathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The first of "state.xml.corrupt", "state.xml.corrupt-2", "state.xml.corrupt-3", ... that is free, so
// that a second bad start keeps what the first one kept.
std::string FreeKeepName(const std::string& from) {
    const std::string first = from + ".corrupt";
    if (!PathExists(first)) return first;
    for (uint32_t n = 2;; ++n) {
        const std::string name = first + "-" + numstr::ToStr(n, 10, 0);
        if (!PathExists(name)) return name;
    }
}

// A file that cannot be read or does not parse is kept for the user instead of being overwritten by
// the next save. problem says which: "read" or "parse".
void KeepAside(const std::wstring& path, const std::string& problem) {
    const std::string from = kivm::str_conv(path);
    const std::string to = FreeKeepName(from);
    if (std::rename(from.c_str(), to.c_str()) == 0)
        KIV_LOG("WARNING: Load() could not " + problem + " " + from + "; it was kept as " + to +
                " and the defaults are used");
    else
        KIV_LOG("WARNING: Load() could not " + problem + " " + from + " nor keep it as " + to);
}

}  // namespace

bool State::Load() { return Load(GetDataFolder() + L"/state.xml"); }

bool State::Save() { return Save(GetDataFolder() + L"/state.xml"); }

bool State::Load(const std::wstring& path) {
    CountProcessors();
    std::string bytes;
    bool opened = false;
    try {
        opened = ReadWholeFile(path, bytes);
    } catch (const std::exception& e) {
        KIV_LOG(e.what());
    }
    if (!opened) {
        KIV_LOG("Load() could not open output XML file");
        // Only a missing file means a first start; one that is there but unreadable is the user's.
        if (PathExists(kivm::str_conv(path))) KeepAside(path, "read");
        return false;
    }
    kiv_xml parser;
    std::string error;
    if (!parser.parse(bytes.data(), bytes.size(), error) || !parser.get_parsed_element()) {
        KIV_LOG("Load() failed to parse file");
        KIV_LOG(error);
        KeepAside(path, "parse");
        return false;
    }
    KivLock lock(*mutex_);
    try {
        ReadStateElement(*parser.get_parsed_element());
    } catch (const std::exception& e) {
        KIV_LOG(e.what());
    } catch (...) {
    }
    return true;
}

void State::ReadStateElement(const xml_element& root) {
    folders_.clear();
    if (const xml_element* folders = kiv_xml::find_child(root, "VideoFolders", true)) {
        for (const xml_element& child : folders->children) {
            if (child.name != "Folder") {
                KIV_LOG("WARNING: Load() encountered VideoFolder element which was not named Folder.  It was named:");
                KIV_LOG(child.name);
                continue;
            }
            std::string path, alias;
            if (!ChildText(child, "Path", path)) {
                KIV_LOG("WARNING: Load() encounter VideoFolder/Folder element which did not contain Path, so this "
                        "element will be ignored.");
                continue;
            }
            if (!ChildText(child, "Alias", alias)) {
                KIV_LOG("WARNING: Load() encounter VideoFolder/Folder element which did not contain Alias, so "
                        "this element will be ignored.");
                continue;
            }
            FolderEntry entry;
            entry.Path = kivm::FromUTF8ExW(path);
            entry.Alias = kivm::FromUTF8ExW(alias);
            InsertFolder(entry);
        }
    }

    authorizedIds_.clear();
    if (const xml_element* authorized = kiv_xml::find_child(root, "Authorized", true)) {
        for (const xml_element& child : authorized->children) {
            if (child.name == "UniqueID") authorizedIds_.insert(kivm::FromUTF8ExW(statetext::Stored(child.text)));
        }
    }

    // A load replaces the list rather than adding to what an earlier load left.
    if (const xml_element* finished = kiv_xml::find_child(root, "FinishedConv", true)) {
        finishedConversions_.clear();
        for (const xml_element& child : finished->children) {
            FinishedConversion conversion;
            std::string text;
            if (ChildText(child, "DstVirtualPath", text)) conversion.DstVirtualPath = text;
            if (ChildText(child, "SrcVirtualPath", text)) conversion.SrcVirtualPath = text;
            if (ChildText(child, "TotalBytes", text)) conversion.TotalBytes = numstr::ToUint64(text, 10);
            if (ChildText(child, "FilePath", text)) conversion.FilePath = kivm::FromUTF8ExW(text);
            if (ChildText(child, "ClientIdentifier", text)) conversion.ClientIdentifier = kivm::FromUTF8ExW(text);
            AppendFinishedConversion(conversion);
        }
    }

    ReadHttpPort(root);
    sdCorePercent_ = 50;
    ReadNumber(root, "SDCorePercent", sdCorePercent_);
    hdCorePercent_ = 100;
    ReadNumber(root, "HDCorePercent", hdCorePercent_);
    cCorePercent_ = 100;
    ReadNumber(root, "CCorePercent", cCorePercent_);
    std::string cacheFolder;
    if (ChildText(root, "CacheFolder", cacheFolder)) {
        try {
            ApplyCacheFolder(kivm::FromUTF8ExW(cacheFolder));
        } catch (const std::exception& e) {
            KIV_LOG(e.what());
        }
    }
    doNotShowBonjourLink_ = false;
    ReadFlag(root, "DoNotShowBonjourLink", doNotShowBonjourLink_);
    ReadFlag(root, "ExternalAccess", externalAccess_);
    std::string lookupName;
    if (ChildText(root, "LookupName", lookupName)) lookupName_ = kivm::FromUTF8ExW(lookupName);
    ReadFlag(root, "UpnpEnabled", upnpEnabled_);
    ReadFlag(root, "StartAtLogin", startAtLogin_);
    ReadFlag(root, "ShowAllConversions", showAllConversions_);
}

void State::ReadHttpPort(const xml_element& root) {
    std::string text;
    if (!ChildText(root, "HttpPort", text)) return;
    const std::string digits = Trimmed(text);
    const bool allDigits = !digits.empty() && digits.size() <= 5 &&
                           digits.find_first_not_of("0123456789") == std::string::npos;
    const uint32_t port = allDigits ? numstr::ToUint32(digits, 10) : 0;
    if (port == 0 || port > 65535) {
        KIV_LOG("WARNING: Load() ignored HttpPort \"" + text + "\", which is not a port number; the port stays " +
                Number(httpPort_));
        return;
    }
    httpPort_ = port;
}

std::string State::BuildStateText() {
    xml_element root("CalvoroState");
    {
        xml_element& folders = root.add_child("VideoFolders");
        for (const auto& folder : folders_) {
            xml_element& entry = folders.add_child("Folder");
            entry.add_child("Path", kivm::ToUTF8Ex(folder.second.Path));
            entry.add_child("Alias", kivm::ToUTF8Ex(folder.second.Alias));
        }
    }
    {
        xml_element& authorized = root.add_child("Authorized");
        for (const std::wstring& id : authorizedIds_) authorized.add_child("UniqueID", kivm::ToUTF8Ex(id));
    }
    {
        xml_element& finished = root.add_child("FinishedConv");
        for (const FinishedConversion& conversion : finishedConversions_) {
            xml_element& entry = finished.add_child("Entry");
            entry.add_child("DstVirtualPath", conversion.DstVirtualPath);
            entry.add_child("SrcVirtualPath", conversion.SrcVirtualPath);
            entry.add_child("TotalBytes", Number(conversion.TotalBytes));
            entry.add_child("FilePath", kivm::ToUTF8Ex(conversion.FilePath));
            entry.add_child("ClientIdentifier", kivm::ToUTF8Ex(conversion.ClientIdentifier));
        }
    }
    root.add_child("HttpPort", Number(httpPort_));
    root.add_child("CacheFolder", kivm::ToUTF8Ex(cacheFolder_));
    root.add_child("ExternalAccess", Flag(externalAccess_));
    root.add_child("LookupName", kivm::ToUTF8Ex(lookupName_));
    root.add_child("UpnpEnabled", Flag(upnpEnabled_));
    root.add_child("StartAtLogin", Flag(startAtLogin_));
    root.add_child("DoNotShowBonjourLink", Flag(doNotShowBonjourLink_));
    root.add_child("SDCorePercent", Number(sdCorePercent_));
    root.add_child("HDCorePercent", Number(hdCorePercent_));
    root.add_child("CCorePercent", Number(cCorePercent_));
    root.add_child("ShowAllConversions", Flag(showAllConversions_));
    return kiv_xml::dump_xml(root, 0);
}

bool State::Save(const std::wstring& path) {
    // One save at a time, so a later save never loses to an earlier one that wrote more slowly.
    KivLock saveLock(*saveMutex_);
    std::string text;
    try {
        KivLock lock(*mutex_);
        text = BuildStateText();
    } catch (const std::exception& e) {
        KIV_LOG("Save() could not build the state: " + std::string(e.what()));
        return false;
    }
    return ReplaceFile(path, text);
}
