// Files sent as they are: shared videos played directly, and converted files from the cache folder.
#include <stdio.h>

#include <stdexcept>

#include "api/ByteRange.h"
#include "api/HttpListener.h"
#include "api/RequestPathValidator.h"
#include "core/Log.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"

// Log entries name the component, the HTTP interface, whichever of its files writes them.
#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "HttpListener"

namespace {
// The two URL forms of a converted file: the conversion status hands out "offline/" + its name, the
// play route its name + ".mp4".
const char kStatusPrefix[] = "offline/";
const char kPlaySuffix[] = ".mp4";

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The cache file that rest names, chosen by the form of the URL alone; false for text that is neither
// form or that would leave the cache folder.
bool CachedFilePath(const std::wstring& cacheFolder, const std::string& rest, std::wstring& path) {
    const std::string status(kStatusPrefix);
    if (rest.compare(0, status.size(), status) == 0)
        return rest.size() > status.size() && JoinRequestPath(cacheFolder, rest, path);
    const std::string suffix(kPlaySuffix);
    if (rest.size() <= suffix.size() || !EndsWith(rest, suffix)) return false;
    return JoinRequestPath(cacheFolder + L"/offline", rest.substr(0, rest.size() - suffix.size()), path);
}

// Only what the state lists as finished is served: never the output of a conversion still running, nor
// the ffmpeg logs beside it, nor anything else that lies in the folder.
bool IsFinishedConversion(IState& state, const std::wstring& path) {
    const std::wstring wanted = kivm::standardize_path(path);
    for (const FinishedConversion& conversion : state.GetFinishedConversions()) {
        if (kivm::standardize_path(conversion.FilePath) == wanted) return true;
    }
    return false;
}

std::string Decimal(uint64_t value) { return numstr::ToStr(value, 10, 0); }

// The range for the log: "FIRST-LAST" as before, "FIRST-" and "-COUNT" for the open forms, "0-0" for none.
std::string RangeText(const ByteRange& range) {
    switch (range.kind) {
        case ByteRange::Closed: return Decimal(range.first) + "-" + Decimal(range.last);
        case ByteRange::Open: return Decimal(range.first) + "-";
        case ByteRange::Suffix: return "-" + Decimal(range.last);
        case ByteRange::None: break;
    }
    return "0-0";
}
}  // namespace

void HttpListener::SendDirectFile(const std::string& rest, const std::string& range) {
    try {
        const std::wstring path = ResolveSharedVideo(rest);
        const ByteRange wanted = ParseRange(range);
        printf("Sending direct file (range %s)\n", ConsoleExcerpt(range).c_str());
        KIV_LOG("Sending direct file (range " + RangeText(wanted) + ": " + kivm::str_conv(path));
        SendFileRange(std::string(), path, nullptr, wanted);
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 404);
    }
}

void HttpListener::SendCachedFile(const std::string& rest, const std::string& range) {
    try {
        std::wstring path;
        if (!CachedFilePath(state_->GetCacheFolder(), rest, path) || !IsFinishedConversion(*state_, path))
            throw std::runtime_error("Cannot open " + rest);
        const ByteRange wanted = ParseRange(range);
        KIV_LOG("Sending cached file (range " + RangeText(wanted) + ": " + kivm::str_conv(path));
        SendFileRange(rest, path, nullptr, wanted);
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 404);
    }
}

void HttpListener::PlayCached(const std::string& rest, uint64_t& sessionId) {
    try {
        std::string host;
        if (!GetRequestHeader("Host", host)) throw std::runtime_error("Host not provided in HTTP request");
        SendStreamUrl("http://" + host + "/video/cache/" + rest + kPlaySuffix + "?SessionID=" +
                      numstr::ToStr(sessionId, 16, 0));
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 404);
    }
}
