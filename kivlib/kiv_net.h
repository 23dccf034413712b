// Networking start and stop, and the results of network operations.
#pragma once

enum net_result {
    NET_OK = 0,          // done
    NET_ERROR = 1,       // failure
    NET_WOULDBLOCK = 2,  // pending: nothing happened within the time-out
    NET_DONE = 3,        // complete, or the peer closed
};

// net_init first (ignores SIGPIPE, so a closed peer is an error result, not a signal), net_shutdown last.
// Both may be called more than once.
bool net_init();
void net_shutdown();
