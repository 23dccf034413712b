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
// port, lifetime. A refusal may come as its first 8 bytes alone.
const size_t kAnswerBytes = 16;
const size_t kHeadBytes = 8;
const unsigned char kTcpMappingAnswer = 0x82;
// Datagrams read in one look, before the deadline and the stop are looked at again.
const int kReadsPerLook = 64;
// The request is sent again after 250 ms, then after twice the last wait each time (RFC 6886).
const long long kFirstResendMs = 250;

uint16_t Be16(const unsigned char* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }
uint32_t Be32(const unsigned char* bytes) { return static_cast<uint32_t>(Be16(bytes)) << 16 | Be16(bytes + 2); }

// The gateway's result code as libnatpmp names it.
int RefusalError(uint16_t resultCode) {
    switch (resultCode) {
    case 1: return NATPMP_ERR_UNSUPPORTEDVERSION;
    case 2: return NATPMP_ERR_NOTAUTHORIZED;
    case 3: return NATPMP_ERR_NETWORKFAILURE;
    case 4: return NATPMP_ERR_OUTOFRESOURCES;
    case 5: return NATPMP_ERR_UNSUPPORTEDOPCODE;
    default: return NATPMP_ERR_UNDEFINEDERROR;
    }
}

// What one datagram from the gateway is to the request for internalPort.
struct Reading {
    bool answer = false;  // the gateway's word on our private port: a grant or a refusal
    int error = 0;        // the refusal's code; for no answer, what it was instead
    NatPmpResult grant;
};

Reading Classify(const unsigned char* bytes, size_t length, uint16_t internalPort) {
    Reading reading;
    if (length < kHeadBytes || bytes[0] != 0 || bytes[1] != kTcpMappingAnswer) {
        reading.error = kNatPmpWrongReply;
        return reading;
    }
    const uint16_t resultCode = Be16(bytes + 2);
    if (length < kAnswerBytes) {
        // A refusal that names no port may be ours; it is remembered, not taken.
        reading.error = resultCode ? RefusalError(resultCode) : kNatPmpWrongReply;
        return reading;
    }
    if (Be16(bytes + 8) != internalPort) {
        reading.error = kNatPmpOtherPort;
        return reading;
    }
    reading.answer = true;
    if (resultCode) {
        reading.error = RefusalError(resultCode);
        return reading;
    }
    reading.grant.internalPort = internalPort;
    reading.grant.externalPort = Be16(bytes + 10);
    reading.grant.lifetime = Be32(bytes + 12);
    return reading;
}

// Reads the next datagram waiting on the socket. False when none waits (or the read failed, error set).
bool ReadNext(int socket, Reading& reading, uint16_t internalPort, int& error) {
    unsigned char bytes[kAnswerBytes];
    ssize_t n;
    do n = recv(socket, bytes, sizeof bytes, MSG_DONTWAIT | MSG_TRUNC);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            error = errno == ECONNREFUSED ? NATPMP_ERR_NOGATEWAYSUPPORT : NATPMP_ERR_RECVFROM;
        return false;
    }
    // MSG_TRUNC gives the datagram's own length; only what fits was read.
    reading = Classify(bytes, std::min(static_cast<size_t>(n), sizeof bytes), internalPort);
    return true;
}

// Waits for the answer to the request just sent, sending it again on the schedule, until the deadline.
// Everything the gateway sends that is no answer is read and passed over; what it was is the result
// when no answer came.
int AwaitReply(natpmp_t& session, NatPmpResult& grant, uint16_t internalPort, uint16_t externalPort,
               uint32_t lifetime, Clock::time_point deadline, const std::atomic<bool>* stop) {
    const bool deletion = lifetime == 0;
    int passedOver = kNatPmpTimedOut;
    bool graceGiven = false;
    long long resendAfterMs = kFirstResendMs;
    Clock::time_point resendAt = Clock::now() + std::chrono::milliseconds(resendAfterMs);
    for (;;) {
        if (stop && *stop) {
            if (!deletion) return kNatPmpStopped;
            if (!graceGiven) deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(kNatPmpStopGraceMs));
            graceGiven = true;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return passedOver;
        if (now >= resendAt) {
            if (sendnewportmappingrequest(&session, NATPMP_PROTOCOL_TCP, internalPort, externalPort, lifetime) < 0)
                return NATPMP_ERR_SENDERR;
            resendAfterMs *= 2;
            resendAt = now + std::chrono::milliseconds(resendAfterMs);
        }
        // Rounded up, so the wait never ends short of the deadline or the resend.
        const long long wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(deadline, resendAt) - now).count();
        // poll, not select: the server's descriptors may lie above FD_SETSIZE.
        struct pollfd socketReady = {session.s, POLLIN, 0};
        poll(&socketReady, 1, static_cast<int>(std::max(0LL, std::min(wait, kStopSliceMs))));
        // A flood cannot keep the deadline and the stop from being looked at.
        for (int reads = 0; reads < kReadsPerLook; ++reads) {
            Reading reading;
            int error = 0;
            if (!ReadNext(session.s, reading, internalPort, error)) {
                if (error != 0) return error;
                break;
            }
            if (reading.answer) {
                grant = reading.grant;
                return reading.error;
            }
            passedOver = reading.error;
        }
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
        NatPmpResult grant;
        result.error = AwaitReply(session, grant, internalPort, externalPort, lifetime, deadline, stop_);
        if (result.error == 0) {
            result.internalPort = grant.internalPort;
            result.externalPort = grant.externalPort;
            result.lifetime = grant.lifetime;
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
