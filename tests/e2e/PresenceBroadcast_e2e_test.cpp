// The real server on a network of the test's own: a private namespace holding a veth pair, in which a
// listener on UDP port 4756 must receive the presence packet every five seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/ServerProcess.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Runs an ip(8) command given as arguments; true on success.
bool Ip(const std::vector<std::string>& arguments) {
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>("ip")};
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp("ip", argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Two ends of one veth pair, both in this namespace, on a subnet that exists only here; the default
// route makes the first end the server's primary interface, whose address is set with the subnet's
// broadcast address or without one.
bool MakeTestNetwork(bool withBroadcast) {
    std::vector<std::string> serverAddress = {"addr", "add", "10.213.0.1/24", "dev", "cv0"};
    if (withBroadcast) serverAddress.insert(serverAddress.begin() + 3, {"brd", "+"});
    return Ip({"link", "set", "lo", "up"}) && Ip({"link", "add", "cv0", "type", "veth", "peer", "name", "cv1"}) &&
           Ip(serverAddress) && Ip({"addr", "add", "10.213.0.2/24", "brd", "+", "dev", "cv1"}) &&
           Ip({"link", "set", "cv0", "up"}) && Ip({"link", "set", "cv1", "up"}) &&
           Ip({"route", "add", "default", "via", "10.213.0.2", "dev", "cv0"});
}

int BindPresenceListener() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(4756);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return -1;
    // Each datagram's destination address comes with it.
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &yes, sizeof(yes));
    return fd;
}

// One datagram and the address it was sent to (dotted; empty when the system did not say).
std::string ReceiveWithDestination(int fd, std::string& destination) {
    char buffer[2048];
    char control[256];
    iovec data = {buffer, sizeof(buffer)};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(fd, &message, 0);
    destination.clear();
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level != IPPROTO_IP || item->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        memcpy(&info, CMSG_DATA(item), sizeof(info));
        char text[INET_ADDRSTRLEN] = {0};
        if (inet_ntop(AF_INET, &info.ipi_addr, text, sizeof(text))) destination = text;
    }
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

// The child's part: everything happens in a network namespace of its own, so the veth pair and its
// route never reach the other tests. Writes its findings to out and exits 0 when all held.
int RunInOwnNetwork(FILE* out, bool withBroadcast) {
    if (unshare(CLONE_NEWNET) != 0) return fprintf(out, "unshare failed\n"), 1;
    if (!MakeTestNetwork(withBroadcast)) return fprintf(out, "could not make the test network\n"), 1;
    const int listener = BindPresenceListener();
    if (listener < 0) return fprintf(out, "could not bind port 4756\n"), 1;

    testsupport::TempDir home;
    mkdir((home.path() + "/Calvoro").c_str(), 0700);
    testsupport::WriteFile(home.path() + "/Calvoro/state.xml", testsupport::StateXmlWithPort(8683));
    testsupport::ServerProcess server(home.path());
    if (!server.Start({"-s"})) return fprintf(out, "server did not start\n"), 1;

    char host[320] = {0};
    gethostname(host, sizeof(host) - 1);
    const std::string expected = "<Calvoro>\n<ServerName>" + std::string(host) +
                                 "</ServerName>\n<HttpPort>8683</HttpPort>\n</Calvoro>\n";
    // Arrival times of distinct sends (a copy may arrive on both ends of the pair at once).
    std::vector<Clock::time_point> sends;
    const auto deadline = Clock::now() + 30s;
    int failures = 0;
    while (sends.size() < 3 && Clock::now() < deadline) {
        pollfd wait = {listener, POLLIN, 0};
        if (poll(&wait, 1, 200) <= 0) continue;
        std::string destination;
        const std::string payload = ReceiveWithDestination(listener, destination);
        if (payload != expected) {
            fprintf(out, "unexpected payload: [%s]\n", payload.c_str());
            ++failures;
            continue;
        }
        if (destination != "10.213.0.255") {
            fprintf(out, "sent to [%s], not to the subnet's broadcast address\n", destination.c_str());
            ++failures;
        }
        if (sends.empty() || Clock::now() - sends.back() > 1s) sends.push_back(Clock::now());
    }
    if (sends.size() < 3) return fprintf(out, "%zu packets in 30 s\n", sends.size()), 1;
    for (size_t i = 1; i < sends.size(); ++i) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(sends[i] - sends[i - 1]).count();
        // Every 5 s; a loaded machine delays a send or its receipt by a second or so either way.
        if (gap < 3500 || gap > 7500) {
            fprintf(out, "packets %lld ms apart\n", static_cast<long long>(gap));
            ++failures;
        }
    }
    if (server.LogText().find("UdpBroadcaster: Init 10.213.0.255:4756") == std::string::npos) {
        fprintf(out, "log does not name the interface's broadcast address:\n%s\n", server.LogText().c_str());
        ++failures;
    }
    server.Signal(SIGTERM);
    server.WaitExit(5s);
    return failures == 0 ? 0 : 1;
}

// Also where the server's address was set without a broadcast address (the system then reports the
// interface's own address in its place): the packet goes to the subnet's broadcast address.
TEST(PresenceBroadcastE2eTest, AListenerOnTheLocalNetworkHearsThePacketEveryFiveSeconds) {
    REQUIRE_ISOLATED_NETWORK();
    for (bool withBroadcast : {true, false}) {
        SCOPED_TRACE(withBroadcast ? "address set with its broadcast address" : "address set without one");
        FILE* findings = tmpfile();
        ASSERT_NE(findings, nullptr);
        fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            const int result = RunInOwnNetwork(findings, withBroadcast);
            fflush(findings);
            _exit(result);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        rewind(findings);
        std::string text;
        char line[4096];
        while (fgets(line, sizeof(line), findings)) text += line;
        fclose(findings);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    }
}

}  // namespace
