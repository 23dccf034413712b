#include "network/NatPmp.h"

#include <natpmp.h>
#include <poll.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// Waits for the pending request's answer, letting the library resend on its schedule, until the deadline.
int AwaitReply(natpmp_t& session, natpmpresp_t& reply, Clock::time_point deadline) {
    for (;;) {
        struct timeval retry;
        if (getnatpmprequesttimeout(&session, &retry) < 0) return kNatPmpWrongReply;
        const Clock::duration remaining = deadline - Clock::now();
        if (remaining <= Clock::duration::zero()) return kNatPmpTimedOut;
        // Rounded up, so the wait never ends short of the deadline.
        const long long left = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
        long long wait = static_cast<long long>(retry.tv_sec) * 1000 + retry.tv_usec / 1000;
        if (wait < 0) wait = 0;
        if (wait > left) wait = left;
        // poll, not select: the server's descriptors may lie above FD_SETSIZE.
        struct pollfd socketReady = {session.s, POLLIN, 0};
        poll(&socketReady, 1, static_cast<int>(wait));
        const int result = readnatpmpresponseorretry(&session, &reply);
        if (result != NATPMP_TRYAGAIN) return result;
    }
}

}  // namespace

NatPmpResult NatPmpClient::MapTcpPort(uint16_t internalPort, uint16_t externalPort, uint32_t lifetime) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(deadlineMs_);
    NatPmpResult result;
    natpmp_t session;
    result.error = initnatpmp(&session, 0, 0);
    if (result.error < 0) return result;
    result.error = sendnewportmappingrequest(&session, NATPMP_PROTOCOL_TCP, internalPort, externalPort, lifetime);
    if (result.error >= 0) {
        result.sent = true;
        natpmpresp_t reply{};
        result.error = AwaitReply(session, reply, deadline);
        if (result.error == 0 && reply.type != NATPMP_RESPTYPE_TCPPORTMAPPING) result.error = kNatPmpWrongReply;
        if (result.error == 0) {
            result.internalPort = reply.pnu.newportmapping.privateport;
            result.externalPort = reply.pnu.newportmapping.mappedpublicport;
            result.lifetime = reply.pnu.newportmapping.lifetime;
        }
    }
    closenatpmp(&session);
    return result;
}

std::string NatPmpErrorText(int error) {
    switch (error) {
    case 0: return "success";
    case kNatPmpTimedOut: return "no answer in time";
    case kNatPmpWrongReply: return "an answer that was no TCP mapping";
    case NATPMP_ERR_CANNOTGETGATEWAY: return "no default gateway";
    case NATPMP_ERR_SOCKETERROR: return "no socket";
    case NATPMP_ERR_CONNECTERR: return "cannot reach the gateway";
    case NATPMP_ERR_SENDERR: return "send failed";
    case NATPMP_ERR_RECVFROM: return "receive failed";
    case NATPMP_ERR_NOGATEWAYSUPPORT: return "the gateway does not support NAT-PMP";
    case NATPMP_ERR_UNSUPPORTEDVERSION: return "unsupported NAT-PMP version";
    case NATPMP_ERR_UNSUPPORTEDOPCODE: return "unsupported request";
    case NATPMP_ERR_NOTAUTHORIZED: return "not authorised";
    case NATPMP_ERR_NETWORKFAILURE: return "network failure at the gateway";
    case NATPMP_ERR_OUTOFRESOURCES: return "the gateway is out of resources";
    default: return "error " + std::to_string(error);
    }
}
