// The HTTP interface: one HttpListener per connection, serving its requests one after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kivlib/kiv_net.h"

class IHttpdConnection;
class IHttpdRequest;
class IState;
class State;
class IOfflineTranscode;
class IFileMaker;
class IEvents;
class IMetadataFactory;
class IByteSink;
class NameList;
struct ListingTree;
struct ListingItem;
struct HttpResponseHeaders;
class IBlockingStream;
struct ByteRange;

// The connection entry handed to kiv_httpd_listener: runs the request loop on the connection's own
// thread; the user data of the connection is the application's HttpListenerContext.
void* HttpListenerThread(void* connection);
// The HTTP server's counted notices (connections closed at its cap or cut for the bytes they held):
// one log line each.
void HttpListenerNotice(const std::string& text);

// The session id of a request: the hexadecimal digits after the first "SessionID=" of the query; 0
// (which no session has) when the query carries none.
uint64_t ParseSessionId(const std::string& query);
// The query with the value of every "SessionID=" (in any letter case) replaced, so that a client's
// credential never reaches the log.
std::string RedactSessionId(const std::string& query);
// An announce body with the text of every "<Name>...</Name>" (the shortest text between the tags, line
// breaks included) wrapped in CDATA, so that any device name parses; the rest is copied unchanged.
std::string WrapNamesInCdata(const std::string& body);

// The per-connection request loop and the route handlers of the client interface. Built on the
// connection thread's stack; holds nothing it must release.
class HttpListener {
public:
    typedef std::map<std::string, std::string> HeaderMap;

    explicit HttpListener(IHttpdConnection* connection);

    // Serves requests until the client closes, the head cannot be read, or the listener shuts down.
    // Throws nothing.
    void Run();

    // ---- reply writers: true when the reply went out whole; failures are logged, never thrown
    bool SendResponse(const std::string& body, int status, const std::string& contentType);
    // A body written as it is produced, never held whole: produce runs twice and must write the same
    // bytes both times, once to count them for the head and once to send them.
    typedef std::function<void(IByteSink&)> BodyProducer;
    bool SendProducedResponse(const BodyProducer& produce, int status, const std::string& contentType);
    bool SendText(const std::string& body, int status);
    bool SendProducedText(const BodyProducer& produce, int status);
    bool SendXml(const std::string& body, int status);
    bool SendSuccessMsg(const std::string& text, int status);
    bool SendErrorMsg(const std::string& text, int status);
    bool SendStreamError(const std::string& text);
    bool SendStreamUrl(const std::string& url);

    // ---- file sending (throws std::runtime_error). The range is fitted to the file: a last byte past
    // the end is clamped, a first byte past the end or after the last gets 416.
    void SendFile(const std::string& name, const std::wstring& path);
    void SendFileWithHeaders(const std::string& name, const std::wstring& path, const HeaderMap& headers);
    // from and to inclusive; both 0 send the whole file.
    void SendFileRange(const std::string& name, const std::wstring& path, const HeaderMap* headers, uint64_t from,
                       uint64_t to);
    // The range as a Range header asks for it: closed, open ("bytes=N-"), suffix ("bytes=-N") or none.
    void SendFileRange(const std::string& name, const std::wstring& path, const HeaderMap* headers,
                       const ByteRange& range);

    // ---- request body and path resolution (throw std::runtime_error)
    std::string ReadPostBody();
    // The existing file or folder that rest (alias, "/", path below that shared folder) names.
    std::wstring ResolvePath(const std::string& rest);
    // The rule of every route that opens a video under a share (direct, thumbnail, subtitle, play,
    // convert), checked before any program starts: ResolvePath, then only what a listing shows, and a
    // regular file (never a named pipe, socket or device, also not through a link). Anything else
    // fails as a missing file does ("Cannot open " + rest).
    std::wstring ResolveSharedVideo(const std::string& rest);
    // The same for the folder thumbnail route: a folder a listing shows.
    std::wstring ResolveSharedFolder(const std::string& rest);

    // ---- folder listings
    void ListSharedFolders();
    void ListFolder(const std::string& rest);
    // The videos and folders of one directory, in natural order.
    void ScanFolder(const std::wstring& path, NameList& files, NameList& folders,
                    const std::set<std::wstring>& extensions);
    static bool IsSubtitleFolder(const std::wstring& name);
    // What a listing shows, for a path below a shared folder (empty components skipped): a folder path
    // whose every folder a listing shows (no name beginning with ".", no subtitle folder), and a video
    // path that is such a folder path followed by a name with a video extension.
    static bool IsListedFolderPath(const std::string& relative);
    static bool IsListedVideoPath(const std::string& relative, const std::set<std::wstring>& extensions);
    // Items for parent (the tree's items or its previews); from depth 1 on, three at most.
    void AddVideoElements(const std::wstring& path, const NameList& files, ListingTree& tree,
                          std::vector<ListingItem>& parent, int depth);
    void AddFolderElements(const std::wstring& path, const NameList& folders, ListingTree& tree,
                           std::vector<ListingItem>& parent, const std::set<std::wstring>& extensions, int depth);

    // ---- pairing
    void Announce(const std::string& body);

    // ---- play and stream routes
    void RequestStream(const std::string& rest, const std::string& body, uint64_t& sessionId);
    void GetStreamData(const std::string& rest, uint64_t& sessionId);
    void GetLastRequestedSeekTime(const std::string& rest, uint64_t& sessionId);
    void StopStreamVideo(const std::string& rest, uint64_t& sessionId);
    // The longest a segment request waits for the worker to make its segment: 30 s unless set.
    void SetSegmentWaitLimitMs(uint32_t ms) { segmentWaitLimitMs_ = ms; }

    // ---- direct and cached file routes
    void SendDirectFile(const std::string& rest, const std::string& range);
    void SendCachedFile(const std::string& rest, const std::string& range);
    void PlayCached(const std::string& rest, uint64_t& sessionId);

    // ---- thumbnail route: a box-sized JPEG; a video's reply carries its media facts
    void SendThumbnail(const std::string& rest, const std::string& body, bool folder);
    // folderPath + folder/thumb/thumbnail + .jpg/.png, the first that exists.
    static bool FindFolderImage(const std::wstring& folderPath, std::wstring& imagePath);
    // The video's path with its extension replaced by .jpg, then .png, the first that exists.
    static bool FindSidecarImage(const std::wstring& videoPath, std::wstring& imagePath);

    // ---- subtitle route: an embedded track or a subtitle file, answered as SubRip
    void SendSubtitle(const std::string& rest, const std::string& body);

    // ---- conversion routes
    void RequestConversion(const std::string& rest, const std::string& body);
    void GetConversionStatus();
    // The status document: every row of the queue's list; urlBase is "http://" and the Host value.
    static std::string BuildConversionStatusXml(IOfflineTranscode* queue, const std::string& urlBase,
                                                IFileMaker* files, bool showAll);
    void CancelConversion(const std::string& rest);
    void DeleteConversion(const std::string& rest);

    // True, with its value, when the current request has the header; false with the value empty.
    bool GetRequestHeader(const std::string& name, std::string& value) const;

    // True once this request can no longer be answered cleanly (a reply head went out and the reply
    // failed or was cut short, or a body was left half read): the loop then ends the connection.
    bool ConnectionMustClose() const { return closeConnection_; }

private:
    // One turn of the loop; false when the connection is to end.
    bool ServeOneRequest();
    void Dispatch(const std::string& method, const std::string& path, uint64_t& sessionId);
    void DispatchGet(const std::string& path, uint64_t& sessionId);
    void DispatchPost(const std::string& path, const std::string& body, uint64_t& sessionId);
    void RequireAuthorizedSession(uint64_t sessionId);

    // Hands the head to the library and sends it; from the send on the head counts as gone, whatever
    // its result. A second head for one request throws and ends the connection.
    enum class HeadResult { Sent, Refused, Failed };
    HeadResult PutReplyHead(const HttpResponseHeaders& headers);
    // One send call, repeated while the library reports no progress. The library ends a send that
    // stalls for too long itself; the bound here only keeps the loop finite whatever it answers.
    net_result SendSome(const char* bytes, size_t length, size_t& sent);
    void SendRangeNotSatisfiable(uint64_t size);
    void SendFileBody(IBlockingStream& file, const std::string& name, uint64_t from, uint64_t length);
    void SendFileBodyFromFile(int fd, uint64_t from, uint64_t length);
    void AddPreview(const std::wstring& path, ListingTree& tree, ListingItem& folder,
                    const std::set<std::wstring>& extensions);
    void SendListing(const ListingTree& tree);

    // The play route's work up to the playlist URL, done while no other play request runs.
    std::string StartStream(const std::string& rest, const std::string& body, uint64_t sessionId);
    // The segment route: waits for the worker to make the segment, sends it, reports it delivered.
    void SendSegment(const std::string& rest, const std::wstring& streamId, const std::wstring& fileName);

    IHttpdConnection* connection_;
    IHttpdRequest* request_;
    State* state_;
    IOfflineTranscode* offlineTranscode_;
    IFileMaker* fileMaker_;
    IEvents* events_;
    IMetadataFactory* metadataFactory_;

    uint32_t segmentWaitLimitMs_ = 30000;

    // Per request.
    bool replyHeadSent_ = false;
    bool closeConnection_ = false;
};
