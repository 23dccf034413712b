// A connection entry that does what a file route does, over one file: the Range header, then the file
// or an error reply. A fresh HttpListener per request, as the request loop starts each request afresh.
// Shared by the socket tests and the byte-range benchmark's server, so the two measure the same route.
#pragma once

#include <exception>
#include <string>

#include "api/ByteRange.h"
#include "api/HttpListener.h"
#include "kivlib/kiv_httpd_listener.h"

namespace httptest {

// The file every connection serves; set before the listener starts.
inline std::wstring g_rangeFile;

inline void* RangeEntry(void* opaque) {
    IHttpdConnection* connection = static_cast<IHttpdConnection*>(opaque);
    IHttpdRequest* request = connection->GetRequest();
    while (!connection->ShutdownRequested()) {
        const net_result read = request->ReadRequest(1000);
        if (read == NET_WOULDBLOCK) continue;
        if (read != NET_OK || !request->ParseRequest()) break;
        HttpListener listener(connection);
        std::string range;
        request->GetHeader(range, "Range");
        const ByteRange wanted = ParseRange(range);
        try {
            listener.SendFileRange("film", g_rangeFile, nullptr, wanted);
        } catch (const std::exception& e) {
            listener.SendErrorMsg(e.what(), 404);
        }
        if (listener.ConnectionMustClose()) break;
    }
    return nullptr;
}

}  // namespace httptest
