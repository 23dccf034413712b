// Serves one file with byte ranges exactly as the file routes do (ParseRange, then
// HttpListener::SendFileRange) on the support library's HTTP listener, for the side-by-side
// benchmark until the file routes themselves are in the server.
//   range_server PORT FILE     (ends on SIGINT or SIGTERM)
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <exception>
#include <string>

#include "api/ByteRange.h"
#include "api/HttpListener.h"
#include "api/HttpListenerContext.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_net.h"
#include "kivlib/kiv_text.h"

namespace {
std::wstring g_file;

void* RangeEntry(void* opaque) {
    IHttpdConnection* connection = static_cast<IHttpdConnection*>(opaque);
    IHttpdRequest* request = connection->GetRequest();
    while (!connection->ShutdownRequested()) {
        const net_result read = request->ReadRequest(1000);
        if (read == NET_WOULDBLOCK) continue;
        if (read != NET_OK || !request->ParseRequest()) break;
        HttpListener listener(connection);
        std::string range;
        request->GetHeader(range, "Range");
        uint64_t from = 0;
        uint64_t to = 0;
        ParseRange(range, from, to);
        try {
            listener.SendFileRange("file", g_file, nullptr, from, to);
        } catch (const std::exception& e) {
            listener.SendErrorMsg(e.what(), 404);
        }
        if (listener.ConnectionMustClose()) break;
    }
    return nullptr;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: range_server PORT FILE\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // The per-range Content-Range line on standard output is noise here.
    if (!freopen("/dev/null", "w", stdout)) return 1;

    net_init();
    g_file = kivm::FromUTF8ExW(argv[2]);
    static HttpListenerContext context;
    {
        boost::shared_ptr<kiv_httpd_listener> listener =
            kiv_httpd_listener::GetInstance(static_cast<uint16_t>(atoi(argv[1])), RangeEntry, &context);
        if (!listener) {
            fprintf(stderr, "%s\n", kiv_httpd_listener::GetLastGetInstanceError().c_str());
            return 1;
        }
        int signal = 0;
        sigwait(&stop, &signal);
    }
    net_shutdown();
    return 0;
}
