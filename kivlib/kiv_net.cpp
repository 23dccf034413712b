#include "kiv_net.h"

#include <signal.h>

// A peer that closes while we write must give EPIPE, not end the process. The sockets of this
// library pass MSG_NOSIGNAL as well; this covers pipes and every other writer in the program.
bool net_init() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

// POSIX sockets need no global clean-up; SIGPIPE stays ignored until the process ends, since
// threads still closing sockets may write after this.
void net_shutdown() {}
