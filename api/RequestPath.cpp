// The POST body and the resolution of "alias/path" request text to a file in a shared folder.
#include <algorithm>
#include <list>
#include <set>
#include <stdexcept>

#include "api/HttpListener.h"
#include "api/RequestPathValidator.h"
#include "core/FileMaker.h"
#include "core/Log.h"
#include "core/State.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_text.h"

// Log entries name the component, the HTTP interface, whichever of its files writes them.
#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "HttpListener"

namespace {
const uint32_t kReadBodyMs = 5000;

// A string doubles its room as it grows, so a body held while it trickles in could take twice its
// size; growing by a quarter keeps the room close to what the server counts as held.
void AppendGrowingByAQuarter(std::string& text, const char* bytes, size_t count) {
    if (text.size() + count > text.capacity()) {
        std::string grown;
        grown.reserve(std::max(text.size() + count, text.size() + text.size() / 4));
        grown.append(text);
        text.swap(grown);
    }
    text.append(bytes, count);
}
}  // namespace

std::string HttpListener::ReadPostBody() {
    // The library caps the body's size; this loop only gathers what it hands over.
    std::string body;
    char buffer[4096];
    net_result result = NET_OK;
    while (result == NET_OK && !connection_->ShutdownRequested()) {
        size_t count = 0;
        result = request_->ReadBody(buffer, sizeof(buffer), count, kReadBodyMs);
        if (result == NET_OK) AppendGrowingByAQuarter(body, buffer, count);
        if (result == NET_ERROR) throw std::runtime_error("Error reading POST data (in loop)");
    }
    if (result != NET_DONE) throw std::runtime_error("Error reading POST data");
    return body;
}

std::wstring HttpListener::ResolvePath(const std::string& rest) {
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) throw std::runtime_error("Unable to find root folder in " + rest);
    const std::wstring alias = kivm::FromUTF8ExW(rest.substr(0, slash));

    std::list<FolderEntry> folders;
    state_->GetFolders(folders);
    const FolderEntry* folder = nullptr;
    for (const FolderEntry& entry : folders) {
        if (entry.Alias == alias) {
            folder = &entry;
            break;
        }
    }
    if (!folder) throw std::runtime_error("Unable to find root folder " + rest.substr(0, slash));

    std::wstring path;
    if (!JoinSharePath(folder->Path, rest.substr(slash + 1), path)) {
        // Text that would leave the shared folder is answered like a file that is not there.
        KIV_LOG("File can't be opened at " + kivm::ToUTF8Ex(folder->Path) + " (refused request path)");
        throw std::runtime_error("Cannot open " + rest);
    }
    KIV_LOG(LogExcerpt("----- FULL PATH = " + kivm::ToUTF8Ex(path)));
    if (!fileMaker_->Exists(path)) {
        KIV_LOG(LogExcerpt("File can't be opened at " + kivm::str_conv(path)));
        throw std::runtime_error("Cannot open " + rest);
    }
    return path;
}

namespace {
std::string BelowShare(const std::string& rest) { return rest.substr(rest.find('/') + 1); }
}  // namespace

std::wstring HttpListener::ResolveSharedVideo(const std::string& rest) {
    const std::wstring path = ResolvePath(rest);
    std::set<std::wstring> extensions;
    State::GetVideoExtensions(extensions);
    if (!IsListedVideoPath(BelowShare(rest), extensions) || !kiv_is_regular_file(path)) {
        KIV_LOG(LogExcerpt("File can't be opened at " + kivm::str_conv(path) + " (not a shared video)"));
        throw std::runtime_error("Cannot open " + rest);
    }
    return path;
}

std::wstring HttpListener::ResolveSharedFolder(const std::string& rest) {
    const std::wstring path = ResolvePath(rest);
    if (!IsListedFolderPath(BelowShare(rest)) || !kiv_is_directory(path)) {
        KIV_LOG(LogExcerpt("File can't be opened at " + kivm::str_conv(path) + " (not a shared folder)"));
        throw std::runtime_error("Cannot open " + rest);
    }
    return path;
}
