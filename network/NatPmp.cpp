#include "network/NatPmp.h"

#include <errno.h>
#include <natpmp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// The stop is looked at this often while the gateway is silent.
const long long kStopSliceMs = 50;
// A mapping answer (RFC 6886): version 0, opcode 128 + 2 (TCP), result, epoch, private port, public
// port, lifetime.
const size_t kAnswerBytes = 16;
const unsigned char kTcpMappingAnswer = 0x82;
// Datagrams passed over in one look, before the deadline and the stop are looked at again.
const int kDropsPerLook = 64;

uint16_t Be16(const unsigned char* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

// 0 when the datagram at the head of the socket is the answer for internalPort (a refusal counts: it
// grants nothing), else why it is none. NATPMP_TRYAGAIN when nothing waits; a receive error as the
// library would report it.
int LookAtNext(int socket, uint16_t internalPort) {
    unsigned char bytes[kAnswerBytes];
    ssize_t n;
    do n = recv(socket, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return NATPMP_TRYAGAIN;
        return errno == ECONNREFUSED ? NATPMP_ERR_NOGATEWAYSUPPORT : NATPMP_ERR_RECVFROM;
    }
    if (static_cast<size_t>(n) < kAnswerBytes || bytes[0] != 0 || bytes[1] != kTcpMappingAnswer)
        return kNatPmpWrongReply;
    const bool granted = Be16(bytes + 2) == 0;
    if (granted && Be16(bytes + 8) != internalPort) return kNatPmpOtherPort;
    return 0;
}

bool IsNoAnswer(int look) { return look == kNatPmpWrongReply || look == kNatPmpOtherPort; }

bool IsOurs(const natpmpresp_t& reply, uint16_t internalPort) {
    return reply.type == NATPMP_RESPTYPE_TCPPORTMAPPING && reply.pnu.newportmapping.privateport == internalPort;
}

// Takes the datagram at the head of the socket away unread.
void Drop(int socket) {
    unsigned char byte;
    while (recv(socket, &byte, 1, MSG_DONTWAIT) < 0 && errno == EINTR) {
    }
}

// Waits for the pending request's answer, letting the library resend on its schedule, until the
// deadline. What came that was no answer is the result when nothing better came.
int AwaitReply(natpmp_t& session, natpmpresp_t& reply, uint16_t internalPort, uint16_t externalPort,
               uint32_t lifetime, Clock::time_point deadline, const std::atomic<bool>* stop) {
    const bool deletion = lifetime == 0;
    int passedOver = kNatPmpTimedOut;
    bool graceGiven = false;
    for (;;) {
        if (stop && *stop) {
            if (!deletion) return kNatPmpStopped;
            if (!graceGiven) deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(kNatPmpStopGraceMs));
            graceGiven = true;
        }
        struct timeval retry;
        if (getnatpmprequesttimeout(&session, &retry) < 0) return kNatPmpWrongReply;
        const Clock::duration remaining = deadline - Clock::now();
        if (remaining <= Clock::duration::zero()) return passedOver;
        // Rounded up, so the wait never ends short of the deadline.
        const long long left = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
        long long wait = static_cast<long long>(retry.tv_sec) * 1000 + retry.tv_usec / 1000;
        wait = std::max(0LL, std::min({wait, left, kStopSliceMs}));
        // poll, not select: the server's descriptors may lie above FD_SETSIZE.
        struct pollfd socketReady = {session.s, POLLIN, 0};
        poll(&socketReady, 1, static_cast<int>(wait));
        // A flood of them cannot keep the deadline from being looked at.
        int next = LookAtNext(session.s, internalPort);
        for (int dropped = 0; IsNoAnswer(next) && dropped < kDropsPerLook; ++dropped) {
            passedOver = next;
            Drop(session.s);
            next = LookAtNext(session.s, internalPort);
        }
        if (IsNoAnswer(next)) continue;
        if (next != 0 && next != NATPMP_TRYAGAIN) return next;
        // The answer, or nothing (then the library resends when its time has come).
        const int result = readnatpmpresponseorretry(&session, &reply);
        if (result == NATPMP_TRYAGAIN) continue;
        if (result != 0 || IsOurs(reply, internalPort)) return result;
        // One that came between our look and the library's read, and was none: ask again.
        passedOver = kNatPmpOtherPort;
        if (sendnewportmappingrequest(&session, NATPMP_PROTOCOL_TCP, internalPort, externalPort, lifetime) < 0)
            return passedOver;
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
        result.error = AwaitReply(session, reply, internalPort, externalPort, lifetime, deadline, stop_);
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
    case kNatPmpOtherPort: return "an answer for another private port";
    case kNatPmpStopped: return "ended, the server is stopping";
    case NATPMP_ERR_INVALIDARGS: return "invalid arguments";
    case NATPMP_ERR_CLOSEERR: return "closing the socket failed";
    case NATPMP_ERR_NOPENDINGREQ: return "no request pending";
    case NATPMP_ERR_WRONGPACKETSOURCE: return "an answer from another address than the gateway";
    case NATPMP_ERR_FCNTLERROR: return "the socket could not be set up";
    case NATPMP_ERR_GETTIMEOFDAYERR: return "no clock";
    case NATPMP_ERR_UNDEFINEDERROR: return "the gateway answered with a result code NAT-PMP does not define";
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
