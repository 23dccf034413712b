// The play and stream routes: start a stream session, serve its playlist and segments, tell the last
// seek point, stop it.
#include <algorithm>
#include <limits>
#include <stdexcept>

#include <boost/shared_ptr.hpp>

#include "api/HttpListener.h"
#include "api/RequestPathValidator.h"
#include "api/StreamRequest.h"
#include "core/Log.h"
#include "core/State.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_thread.h"
#include "media/StreamRegistry.h"
#include "media/TranscodeParams.h"

// Log entries name the component, the HTTP interface, whichever of its files writes them.
#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "HttpListener"

namespace {
// A waiting segment request wakes as soon as a step answers a request or a session ends; it looks on its
// own only this often, for the listener's shutdown.
const uint32_t kShutdownLookMs = 100;
const char kPlaylistType[] = "application/vnd.apple.mpegurl";

std::string Hex(uint64_t value) { return numstr::ToStr(value, 16, 0); }

// "segment-N.ts" with N in plain decimal: the only names a session's playlist hands out, and the names
// its segment files have.
bool IsSegmentName(const std::wstring& name) {
    static const std::wstring kPrefix = L"segment-";
    static const std::wstring kSuffix = L".ts";
    if (name.size() <= kPrefix.size() + kSuffix.size()) return false;
    if (name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    if (name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) return false;
    const std::wstring digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    if (digits.size() > 10 || (digits.size() > 1 && digits[0] == L'0')) return false;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return false;
    }
    return true;
}

std::runtime_error SessionEnded(const std::string& rest) {
    return std::runtime_error(
        "GetStreamData: StreamManager instance was aborted, probably because another process requested a new video. "
        "URL is " +
        rest);
}

IStreamManager* SessionOf(const boost::shared_ptr<IStreamManagerSafe>& handle, const std::string& rest) {
    if (!handle) throw SessionEnded(rest);
    IStreamManager* session = handle->GetStreamManager();
    if (!session) throw std::runtime_error("GetStreamData: StreamManagerSafe contained a NULL Record, this should never happen.");
    return session;
}

// The session a stream URL names, for the first look-up of a route: route names the route in the
// not-found texts.
IStreamManager* FoundSession(const boost::shared_ptr<IStreamManagerSafe>& handle, const std::string& route,
                             const std::string& rest) {
    if (!handle)
        throw std::runtime_error(route + ": Unable to find instance of stream manager that matches the unique ID from the URL " +
                                 rest);
    IStreamManager* session = handle->GetStreamManager();
    if (!session) throw std::runtime_error(route + ": StreamManagerSafe instance was empty for URL " + rest);
    return session;
}

std::runtime_error Aborted(const std::wstring& fileName) {
    return std::runtime_error("File request for " + kivm::str_conv(fileName) + " was aborted");
}

uint32_t WholeSeconds(double seconds) {
    if (!(seconds > 0)) return 0;
    if (seconds >= static_cast<double>(std::numeric_limits<uint32_t>::max())) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(seconds);
}
}  // namespace

bool HttpListener::GetRequestHeader(const std::string& name, std::string& value) const {
    return request_->GetHeader(value, name);
}

void HttpListener::RequestStream(const std::string& rest, const std::string& body, uint64_t& sessionId) {
    std::string url;
    std::string failure;
    bool failed = false;
    {
        // One play at a time; every earlier session ends here.
        PlayTurn play;
        try {
            url = StartStream(rest, body, sessionId);
        } catch (const std::exception& e) {
            failure = e.what();
            failed = true;
        }
    }
    // The reply goes out after the play lock has gone, so a slow client holds up no other play.
    if (failed) {
        KIV_LOG(LogExcerpt("Listener Exception: " + failure));
        SendStreamError(failure);
        return;
    }
    SendStreamUrl(url);
}

std::string HttpListener::StartStream(const std::string& rest, const std::string& body, uint64_t sessionId) {
    const std::wstring path = ResolveSharedVideo(rest);
    std::string host;
    if (!GetRequestHeader("Host", host)) throw std::runtime_error("Host not provided in HTTP request");
    std::string url = "http://" + host;

    TranscodeParams params;
    ParseStreamRequest(params, body);
    if (params.PlayWithoutConversion) {
        url += "/video/direct/" + rest;
        // The session id is the device's credential: it stays out of the log.
        KIV_LOG("Direct streaming requested for file " + url + "?" + RedactSessionId("SessionID=" + Hex(sessionId)));
        return url + "?SessionID=" + Hex(sessionId);
    }

    url += "/video/stream/";
    const uint32_t share =
        StreamCoreShare(params.Width, params.Height, state_->GetSDCorePercent(), state_->GetHDCorePercent());
    params.Threads = ThreadsForShare(share, state_->GetCpuCount());
    ChooseTracksAndAspect(params, path, metadataFactory_);

    boost::shared_ptr<IStreamManagerSafe> handle =
        CreateStream(path, sessionId, state_, kivm::FromUTF8ExW(url), params.Width, params.Height, metadataFactory_,
                     fileMaker_, nullptr, nullptr, params.TargetBitrate, params.BitrateTolerance, params.VideoIndex,
                     params.AudioIndex, params.Aspect, params.Threads);
    if (!handle) throw std::runtime_error("Cannot instantiate stream manager class");
    IStreamManager* session = handle->GetStreamManager();
    if (!session)
        throw std::runtime_error(
            "Cannot instantiate stream manager class, safe instance contained a NULL pointer (this should never happen)");
    url += kivm::ToUTF8Ex(session->GetStreamId());
    handle.reset();  // the registry lock goes before anything is sent
    return url + "/index.m3u8?SessionID=" + Hex(sessionId);
}

void HttpListener::GetStreamData(const std::string& rest, uint64_t& sessionId) {
    try {
        const std::wstring wideRest = kivm::FromUTF8ExW(rest);
        const size_t slash = wideRest.find(L'/');
        if (slash == std::wstring::npos) throw std::runtime_error("malformed URI (does not have '/' character)");
        const std::wstring streamId = wideRest.substr(0, slash);
        const std::wstring fileName = wideRest.substr(slash + 1);
        if (fileName != L"index.m3u8") {
            SendSegment(rest, streamId, fileName);
            return;
        }
        boost::shared_ptr<IStreamManagerSafe> handle = FindStream(streamId);
        IStreamManager* session = FoundSession(handle, "GetStreamData", rest);
        const std::string playlist = session->GetPlaylist(sessionId);
        handle.reset();
        SendResponse(playlist, 200, kPlaylistType);
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 404);
    }
}

void HttpListener::SendSegment(const std::string& rest, const std::wstring& streamId, const std::wstring& fileName) {
    // The name is checked before anything is queued: a name that is no segment must not start a seek.
    std::wstring file;
    if (!IsSegmentName(fileName) || !JoinRequestPath(state_->GetCacheFolder(), rest, file))
        throw std::runtime_error("Not a segment of this stream: " + rest);

    boost::shared_ptr<IStreamManagerSafe> handle = FindStream(streamId);
    IStreamManager* session = FoundSession(handle, "GetStreamData", rest);
    const uint64_t generation = handle->GetPlayGeneration();
    const uint32_t requestId = session->RequestSegment(fileName);

    // The registry lock is held only for one status read at a time: the worker makes the segment under it.
    const uint32_t started = refresh_timer();
    SegmentRequestStatus status = SegmentPending;
    while (!connection_->ShutdownRequested()) {
        // Read before the status: an answer given after the read below moves it, so the wait cannot miss it.
        const uint64_t answers = GetSegmentAnswerCount();
        status = session->GetRequestStatus(requestId);
        if (status != SegmentPending) break;
        handle.reset();
        const uint32_t waited = get_elapsed_ms(started);
        if (waited >= segmentWaitLimitMs_) {
            KIV_LOG("Gave up waiting for " + kivm::str_conv(fileName) + " after " +
                    numstr::ToStr(segmentWaitLimitMs_) + " ms");
            break;
        }
        WaitForSegmentAnswer(answers, std::min(segmentWaitLimitMs_ - waited, kShutdownLookMs));
        handle = FindStream(streamId);
        session = SessionOf(handle, rest);
        // A newer play replaced the session: the request id means nothing to the new one.
        if (handle->GetPlayGeneration() != generation) throw SessionEnded(rest);
    }
    handle.reset();
    if (status != SegmentReady) throw Aborted(fileName);

    SendFile(rest, file);

    // Delivered: only the session that made the segment hears of it. A session that went meanwhile
    // needs no report, and the client, which has its whole segment, gets nothing more on this request.
    handle = FindStream(streamId);
    if (handle && handle->GetStreamManager() && handle->GetPlayGeneration() == generation) {
        handle->GetStreamManager()->SegmentFinished(fileName);
    } else {
        KIV_LOG("Segment " + kivm::str_conv(fileName) + " was sent after its stream had ended");
    }
}

void HttpListener::GetLastRequestedSeekTime(const std::string& rest, uint64_t&) {
    try {
        const std::wstring wideRest = kivm::FromUTF8ExW(rest);
        const size_t slash = wideRest.find(L'/');
        if (slash == std::wstring::npos)
            throw std::runtime_error("GetLastRequestedSeekTime: malformed URI (does not have '/' character)");
        boost::shared_ptr<IStreamManagerSafe> handle = FindStream(wideRest.substr(0, slash));
        IStreamManager* session = FoundSession(handle, "GetLastRequestedSeekTime", rest);
        const uint32_t seconds = WholeSeconds(session->GetLastRequestedSeconds());
        handle.reset();  // never hold the registry while a client takes its reply
        SendSuccessMsg(numstr::ToStr(seconds, 10, 0), 200);
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 404);
    }
}

void HttpListener::StopStreamVideo(const std::string& rest, uint64_t& sessionId) {
    try {
        const std::wstring path = ResolvePath(rest);
        if (!StopStream(path, sessionId))
            throw std::runtime_error("StopStreamVideo: Unable to find instance of stream manager that matches " +
                                     kivm::str_conv(path));
        SendSuccessMsg("Stream closed", 200);
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 404);
    }
}
