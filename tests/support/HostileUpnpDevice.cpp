#include "support/HostileUpnpDevice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "support/ServerProcess.h"

namespace routertest {

namespace {

const int kHttpPort = 5555;
const auto kDripPause = std::chrono::milliseconds(20);

const char kDescription[] =
    "<?xml version=\"1.0\"?>\r\n"
    "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major><minor>0</minor></specVersion>"
    "<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
    "<friendlyName>Router</friendlyName><UDN>uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07c</UDN>"
    "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
    "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId><controlURL>/ctl/CmnIfCfg</controlURL>"
    "<eventSubURL>/evt/CmnIfCfg</eventSubURL><SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList>"
    "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
    "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId><controlURL>/ctl/IPConn</controlURL>"
    "<eventSubURL>/evt/IPConn</eventSubURL><SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList>"
    "</device></deviceList></device></deviceList></device></root>\r\n";

std::string Envelope(const std::string& body) {
    return "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>" +
           body + "</s:Body></s:Envelope>\r\n";
}

std::string Reply(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nConnection: close\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Answer(const std::string& action, const std::string& fields) {
    return Reply("200 OK", Envelope("<u:" + action + "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" +
                                    fields + "</u:" + action + "Response>"));
}

std::string Fault(int code, const std::string& description) {
    return Reply("500 Internal Server Error",
                 Envelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
                          "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
                          std::to_string(code) + "</errorCode><errorDescription>" + description +
                          "</errorDescription></UPnPError></detail></s:Fault>"));
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The value of a header line (name in lower case) in a request head; empty when absent.
std::string Header(const std::string& head, const std::string& name) {
    std::istringstream in(head);
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos || Lower(line.substr(0, colon)) != name) continue;
        std::string value = line.substr(colon + 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        return value;
    }
    return std::string();
}

bool SendAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Reads a request head and the body its Content-Length announces (bounded); false when the peer went.
bool ReadRequest(int fd, std::string& head, std::string& body) {
    std::string data;
    char buffer[4096];
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > 65536) return false;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        data.append(buffer, static_cast<size_t>(n));
    }
    head = data.substr(0, end + 2);
    body = data.substr(end + 4);
    const size_t wanted = static_cast<size_t>(std::atol(Header(head, "content-length").c_str()));
    while (body.size() < wanted && body.size() < 65536) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        body.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

int BoundSocket(int type, int port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    // SSDP listens on every address (the search comes to the multicast group), HTTP on the router's.
    address.sin_addr.s_addr = type == SOCK_DGRAM ? htonl(INADDR_ANY) : inet_addr(kRouterLan);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && listen(fd, 16) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Waits up to 50 ms for fd to be readable.
bool Readable(int fd) {
    struct pollfd ready = {fd, POLLIN, 0};
    return poll(&ready, 1, 50) > 0;
}

}  // namespace

const char* HostilityName(Hostility how) {
    switch (how) {
    case Hostility::EndlessChunkedDescription: return "EndlessChunkedDescription";
    case Hostility::HugeDescription: return "HugeDescription";
    case Hostility::DrippedDescription: return "DrippedDescription";
    case Hostility::DrippedSoap: return "DrippedSoap";
    case Hostility::DrippedDeletion: return "DrippedDeletion";
    }
    return "";
}

HostileUpnpDevice::HostileUpnpDevice(const Namespace& router, Hostility how) : how_(how) {
    Inside inside(router);
    if (!inside.Entered()) return;
    ssdp_ = BoundSocket(SOCK_DGRAM, 1900);
    http_ = BoundSocket(SOCK_STREAM, kHttpPort);
    if (ssdp_ >= 0) {
        ip_mreq group{};
        group.imr_multiaddr.s_addr = inet_addr("239.255.255.250");
        group.imr_interface.s_addr = inet_addr(kRouterLan);
        if (setsockopt(ssdp_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
            close(ssdp_);
            ssdp_ = -1;
        }
    }
    if (!Listening()) return;
    discovery_ = std::thread([this] { AnswerDiscovery(); });
    acceptor_ = std::thread([this] { Accept(); });
}

HostileUpnpDevice::~HostileUpnpDevice() {
    stop_ = true;
    if (discovery_.joinable()) discovery_.join();
    // Connection threads are added by the accepting thread, which ends first.
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& thread : connections_) thread.join();
    if (ssdp_ >= 0) close(ssdp_);
    if (http_ >= 0) close(http_);
}

bool HostileUpnpDevice::WaitForHostility(std::chrono::milliseconds timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!hostile_) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::string> HostileUpnpDevice::Actions() {
    std::lock_guard<std::mutex> hold(lock_);
    return actions_;
}

void HostileUpnpDevice::AnswerDiscovery() {
    while (!stop_) {
        if (!Readable(ssdp_)) continue;
        char buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(ssdp_, buffer, sizeof buffer - 1, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n <= 0) continue;
        const std::string search(buffer, static_cast<size_t>(n));
        if (search.rfind("M-SEARCH", 0) != 0) continue;
        const std::string st = Header(search, "st");
        const std::string reply = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + st +
                                  "\r\nUSN: uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07c::" + st +
                                  "\r\nEXT:\r\nSERVER: Linux UPnP/1.1 Router/1.0\r\nLOCATION: http://" + kRouterLan +
                                  ":" + std::to_string(kHttpPort) + "/rootDesc.xml\r\n\r\n";
        sendto(ssdp_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
}

void HostileUpnpDevice::Accept() {
    while (!stop_) {
        if (!Readable(http_)) continue;
        const int connection = accept4(http_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        connections_.emplace_back([this, connection] {
            Serve(connection);
            close(connection);
        });
    }
}

void HostileUpnpDevice::Serve(int connection) {
    // A send to a reader that stopped reading must not hold the device's end.
    timeval tick{1, 0};
    setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof tick);
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    std::string head, body;
    if (!ReadRequest(connection, head, body)) return;
    if (head.rfind("GET ", 0) == 0) return SendDescription(connection);
    std::string action = Header(head, "soapaction");
    const size_t hash = action.find('#');
    action = hash == std::string::npos ? action : action.substr(hash + 1);
    action.erase(std::remove(action.begin(), action.end(), '"'), action.end());
    {
        std::lock_guard<std::mutex> hold(lock_);
        actions_.push_back(action);
    }
    SendSoap(connection, action);
}

void HostileUpnpDevice::SendDescription(int connection) {
    switch (how_) {
    case Hostility::EndlessChunkedDescription: return Flood(connection, true);
    case Hostility::HugeDescription: return Flood(connection, false);
    case Hostility::DrippedDescription:
        hostile_ = true;
        Drip(connection, Reply("200 OK", kDescription));
        return;
    case Hostility::DrippedSoap:
    case Hostility::DrippedDeletion: {
        const std::string reply = Reply("200 OK", kDescription);
        SendAll(connection, reply.data(), reply.size());
    }
    }
}

void HostileUpnpDevice::SendSoap(int connection, const std::string& action) {
    std::string reply;
    if (action == "GetStatusInfo") {
        reply = Answer(action, "<NewConnectionStatus>Connected</NewConnectionStatus><NewLastConnectionError>ERROR_NONE"
                               "</NewLastConnectionError><NewUptime>100</NewUptime>");
    } else if (action == "GetExternalIPAddress") {
        reply = Answer(action, "<NewExternalIPAddress>11.0.0.2</NewExternalIPAddress>");
    } else if (action == "AddPortMapping" && how_ == Hostility::DrippedDeletion) {
        reply = Answer(action, "");
    } else if (action == "AddPortMapping") {
        hostile_ = true;
        Drip(connection, Fault(718, "ConflictInMappingEntry"));
        return;
    } else if (action == "DeletePortMapping" && how_ == Hostility::DrippedDeletion) {
        hostile_ = true;
        Drip(connection, Answer(action, ""));
        return;
    } else {
        reply = Fault(714, "NoSuchEntryInArray");
    }
    SendAll(connection, reply.data(), reply.size());
}

bool HostileUpnpDevice::Drip(int connection, const std::string& bytes) {
    for (char byte : bytes) {
        if (stop_ || !SendAll(connection, &byte, 1)) return false;
        std::this_thread::sleep_for(kDripPause);
    }
    return true;
}

void HostileUpnpDevice::Flood(int connection, bool chunked) {
    hostile_ = true;
    const std::string head = chunked ? "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n"
                                     : "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 400000000\r\n\r\n";
    if (!SendAll(connection, head.data(), head.size())) return;
    const std::string data(64 * 1024, 'x');
    const std::string chunk = chunked ? "10000\r\n" + data + "\r\n" : data;
    for (uint64_t sent = 0; !stop_ && sent < kFloodCapBytes; sent += data.size())
        if (!SendAll(connection, chunk.data(), chunk.size())) return;
}

long ResidentKiBWithChildren(int pid) {
    long kib = testsupport::ResidentKiB(pid);
    for (pid_t child : testsupport::ChildrenOf(pid)) kib += ResidentKiBWithChildren(child);
    return kib;
}

}  // namespace routertest
