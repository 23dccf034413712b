#include "platform/DnsSd.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>

DNSServiceErrorType DnsSdProcessResult(DNSServiceRef ref, int timeoutMs) {
    if (!ref) return kDNSServiceErr_BadReference;
    const int fd = DNSServiceRefSockFD(ref);
    if (fd < 0) return kDNSServiceErr_BadReference;
    struct pollfd waitFor = {fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&waitFor, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return kDnsSdTimeout;
    return DNSServiceProcessResult(ref);
}

DNSServiceErrorType DnsSdRegister(DNSServiceRef& ref, const char* serviceType, uint16_t port,
                                  DNSServiceRegisterReply onReply) {
    ref = nullptr;
    return DNSServiceRegister(&ref, 0, 0, nullptr, serviceType, nullptr, nullptr, htons(port), 0, nullptr, onReply,
                              nullptr);
}

void DnsSdQuietNotice() { setenv("AVAHI_COMPAT_NOWARN", "1", 0); }
