// A real home router for end-to-end tests, made of network namespaces of the test's own: the router's
// namespace holds a bridge (br0, 192.168.77.1) and a WAN side that is a veth pair of its own (11.0.0.2;
// the address exists only in that namespace, and no route leads out of it); the client's namespace is
// joined to the bridge by a veth (192.168.77.2, default route through the router). miniupnpd runs in the
// router's namespace with nftables rules of that namespace alone. Everything is made inside the test's
// own private namespace and goes when the test ends.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace routertest {

constexpr const char* kRouterLan = "192.168.77.1";
constexpr const char* kClientAddress = "192.168.77.2";

// A process that only holds a fresh network namespace, with its loopback up.
class Namespace {
public:
    Namespace() {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            const bool made = unshare(CLONE_NEWNET) == 0;
            if (write(ready[1], made ? "1" : "0", 1) != 1) _exit(1);
            close(ready[1]);
            if (!made) _exit(1);
            for (;;) pause();
        }
        close(ready[1]);
        char made = '0';
        if (pid_ < 0 || read(ready[0], &made, 1) != 1 || made != '1') pid_ = -1;
        close(ready[0]);
    }
    ~Namespace() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;

    bool Made() const { return pid_ > 0; }
    std::string Path() const { return "/proc/" + std::to_string(pid_) + "/ns/net"; }
    // A shell command run inside; true when it succeeded.
    bool Run(const std::string& command) const {
        return system(("nsenter --net=" + Path() + " sh -c '" + command + "' >/dev/null 2>&1").c_str()) == 0;
    }
    std::string Output(const std::string& command) const {
        std::string out;
        FILE* pipe = popen(("nsenter --net=" + Path() + " sh -c '" + command + "' 2>&1").c_str(), "r");
        if (!pipe) return out;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
        return out;
    }

private:
    pid_t pid_ = -1;
};

// This thread works inside the namespace while the object lives (a child it starts is born there).
class Inside {
public:
    explicit Inside(const Namespace& ns) {
        own_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(ns.Path().c_str(), O_RDONLY | O_CLOEXEC);
        entered_ = own_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) close(target);
    }
    ~Inside() {
        if (entered_) setns(own_, CLONE_NEWNET);
        if (own_ >= 0) close(own_);
    }
    bool Entered() const { return entered_; }

private:
    int own_ = -1;
    bool entered_ = false;
};

struct RouterOptions {
    bool upnp = true;
    bool natPmp = true;
};

class TestRouter {
public:
    // Builds the namespaces and links; Start runs miniupnpd.
    bool Build() {
        if (!router.Made() || !client.Made()) return Fail("no namespaces");
        const std::string clientNs = client.Path();
        if (!router.Run("ip link set lo up") || !client.Run("ip link set lo up")) return Fail("loopback");
        const char* steps[] = {
            "ip link add br0 type bridge && ip addr add 192.168.77.1/24 dev br0 && ip link set br0 up",
            "ip link add wan0 type veth peer name wan1 && ip addr add 11.0.0.2/24 dev wan0 && "
            "ip link set wan0 up && ip link set wan1 up && ip route add default via 11.0.0.1",
        };
        for (const char* step : steps)
            if (!router.Run(step)) return Fail(step);
        if (!router.Run("ip link add lanr type veth peer name lanc netns " + clientNs +
                        " && ip link set lanr master br0 && ip link set lanr up"))
            return Fail("the client's veth");
        if (!client.Run("ip addr add 192.168.77.2/24 dev lanc && ip link set lanc up && "
                        "ip route add default via 192.168.77.1"))
            return Fail("the client's address");
        testsupport::WriteFile(dir.file("nft.conf"),
                               "table inet filter {\n"
                               "  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }\n"
                               "  chain miniupnpd { }\n"
                               "  chain prerouting { type nat hook prerouting priority -100; policy accept; "
                               "jump prerouting_miniupnpd; }\n"
                               "  chain postrouting { type nat hook postrouting priority 100; policy accept; "
                               "jump postrouting_miniupnpd; }\n"
                               "  chain prerouting_miniupnpd { }\n"
                               "  chain postrouting_miniupnpd { }\n"
                               "}\n");
        if (!router.Run("nft -f " + dir.file("nft.conf"))) return Fail("the nftables rules");
        return true;
    }

    bool Start(const RouterOptions& options) {
        testsupport::WriteFile(dir.file("miniupnpd.conf"),
                               std::string("ext_ifname=wan0\nlistening_ip=br0\nhttp_port=5555\n") +
                                   "enable_upnp=" + (options.upnp ? "yes" : "no") + "\n" +
                                   "enable_natpmp=" + (options.natPmp ? "yes" : "no") + "\n" +
                                   "secure_mode=no\nsystem_uptime=yes\n"
                                   "uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b\n"
                                   "lease_file=" + dir.file("leases") + "\n"
                                   "allow 1024-65535 192.168.77.0/24 1024-65535\n"
                                   "deny 0-65535 0.0.0.0/0 0-65535\n");
        daemon_ = fork();
        if (daemon_ == 0) {
            Inside inside(router);
            const int log = open(dir.file("miniupnpd.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (!inside.Entered() || log < 0) _exit(127);
            dup2(log, 1);
            dup2(log, 2);
            execlp("miniupnpd", "miniupnpd", "-f", dir.file("miniupnpd.conf").c_str(), "-d", "-P",
                   dir.file("miniupnpd.pid").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (daemon_ < 0) return Fail("fork");
        const std::string ready = options.natPmp ? "Listening for NAT-PMP" : "HTTP listening on port";
        for (int i = 0; i < 200; ++i) {
            if (DaemonLog().find(ready) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return Fail("miniupnpd did not start: " + DaemonLog());
    }

    ~TestRouter() {
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            waitpid(daemon_, nullptr, 0);
        }
    }

    std::string DaemonLog() const { return testsupport::ReadFile(dir.file("miniupnpd.log")); }
    // The router's mappings, one "PROTO:EXT:CLIENT:INT:EXPIRY:DESCRIPTION" line each.
    std::vector<std::string> Leases() const {
        std::vector<std::string> lines;
        std::istringstream in(testsupport::ReadFile(dir.file("leases")));
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(line);
        return lines;
    }
    // The lease line that begins with prefix ("TCP:8683:192.168.77.2:8683:"); empty when none.
    std::string Lease(const std::string& prefix) const {
        for (const std::string& line : Leases())
            if (line.rfind(prefix, 0) == 0) return line;
        return std::string();
    }
    // The forwarding rules miniupnpd put into the router's nftables.
    std::string Forwards() const { return router.Output("nft list chain inet filter prerouting_miniupnpd"); }

    const std::string& Error() const { return error_; }

    testsupport::TempDir dir;
    Namespace router;
    Namespace client;

private:
    bool Fail(const std::string& what) {
        error_ = what;
        return false;
    }
    pid_t daemon_ = -1;
    std::string error_;
};

}  // namespace routertest
