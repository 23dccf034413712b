// Serves one file with byte ranges exactly as the file routes do (ParseRange, then
// HttpListener::SendFileRange) on the support library's HTTP listener, for the side-by-side
// benchmark until the file routes themselves are in the server.
//   range_server PORT FILE     (ends on SIGINT or SIGTERM)
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "api/HttpListenerContext.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_net.h"
#include "kivlib/kiv_text.h"
#include "tests/api/RangeRoute.h"

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
    httptest::g_rangeFile = kivm::FromUTF8ExW(argv[2]);
    static HttpListenerContext context;
    {
        boost::shared_ptr<kiv_httpd_listener> listener =
            kiv_httpd_listener::GetInstance(static_cast<uint16_t>(atoi(argv[1])), httptest::RangeEntry, &context);
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
