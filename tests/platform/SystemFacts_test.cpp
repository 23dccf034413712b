#include "platform/SystemFacts.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace sysfacts {
namespace {

// An address as /proc/net/route prints it: the stored 32-bit word in hexadecimal.
std::string RouteHex(const char* dotted) {
    struct in_addr address;
    EXPECT_EQ(inet_pton(AF_INET, dotted, &address), 1);
    char hex[16];
    snprintf(hex, sizeof(hex), "%08X", static_cast<unsigned>(address.s_addr));
    return hex;
}

std::string RouteLine(const std::string& name, const char* destination, const char* gateway, const char* flags,
                      int metric, const char* mask) {
    return name + "\t" + RouteHex(destination) + "\t" + RouteHex(gateway) + "\t" + flags + "\t0\t0\t" +
           std::to_string(metric) + "\t" + RouteHex(mask) + "\t0\t0\t0\n";
}

const char* kRouteHead = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(ParseDefaultRoute, TakesTheDefaultRouteWithTheLowestMetric) {
    const std::string text = std::string(kRouteHead) +
                             RouteLine("wlan0", "0.0.0.0", "10.0.0.1", "0003", 600, "0.0.0.0") +
                             RouteLine("eth0", "192.168.1.0", "0.0.0.0", "0001", 0, "255.255.255.0") +
                             RouteLine("eth0", "0.0.0.0", "192.168.1.254", "0003", 100, "0.0.0.0") +
                             RouteLine("tun0", "0.0.0.0", "172.16.0.1", "0002", 1, "0.0.0.0");  // not up
    std::string gateway, name;
    ASSERT_TRUE(ParseDefaultRoute(text, gateway, name));
    EXPECT_EQ(gateway, "192.168.1.254");
    EXPECT_EQ(name, "eth0");
}

TEST(ParseDefaultRoute, FalseWithoutADefaultRoute) {
    std::string gateway, name;
    EXPECT_FALSE(ParseDefaultRoute(kRouteHead, gateway, name));
    EXPECT_FALSE(ParseDefaultRoute(std::string(kRouteHead) +
                                       RouteLine("eth0", "192.168.1.0", "0.0.0.0", "0001", 0, "255.255.255.0"),
                                   gateway, name));
    EXPECT_FALSE(ParseDefaultRoute("", gateway, name));
    EXPECT_EQ(gateway, "");
}

TEST(ParseOsRelease, UnquotesValuesAndSkipsComments) {
    const auto values = ParseOsRelease(
        "# a comment\n"
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
        "ID=debian\n"
        "VERSION_ID='12'\n"
        "NAME=\"Say \\\"hi\\\" \\\\ bye\"\n"
        "\n"
        "BROKEN LINE\n");
    EXPECT_EQ(values.at("PRETTY_NAME"), "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(values.at("ID"), "debian");
    EXPECT_EQ(values.at("VERSION_ID"), "12");
    EXPECT_EQ(values.at("NAME"), "Say \"hi\" \\ bye");
    EXPECT_EQ(values.size(), 4u);
}

TEST(ParseNameServers, ListsTheServersInOrder) {
    EXPECT_EQ(ParseNameServers("# generated\nsearch lan\nnameserver 192.168.1.1\n; old\n"
                               "nameserver   fe80::1%eth0\n#nameserver 9.9.9.9\nnameserver 8.8.8.8\n"),
              (std::vector<std::string>{"192.168.1.1", "fe80::1%eth0", "8.8.8.8"}));
    EXPECT_TRUE(ParseNameServers("").empty());
}

TEST(ParseMemInfo, GivesBytesWithWhatIsAvailableAsFree) {
    MemoryInfo memory = ParseMemInfo("MemTotal:       16318192 kB\nMemFree:          812340 kB\n"
                                     "MemAvailable:    8000000 kB\nBuffers:          100 kB\n");
    EXPECT_EQ(memory.totalBytes, 16318192ull * 1024);
    EXPECT_EQ(memory.freeBytes, 8000000ull * 1024);
    EXPECT_EQ(memory.usedBytes, (16318192ull - 8000000ull) * 1024);

    memory = ParseMemInfo("MemTotal: 2048 kB\nMemFree: 1024 kB\n");  // kernels before 3.14
    EXPECT_EQ(memory.freeBytes, 1024ull * 1024);
    EXPECT_EQ(memory.usedBytes, 1024ull * 1024);
    memory = ParseMemInfo("");
    EXPECT_EQ(memory.totalBytes, 0u);
    EXPECT_EQ(memory.usedBytes, 0u);
}

TEST(ParseLoadAverage, ReadsTheThreeAverages) {
    const LoadInfo load = ParseLoadAverage("0.52 1.58 12.59 1/523 12345\n");
    EXPECT_DOUBLE_EQ(load.one, 0.52);
    EXPECT_DOUBLE_EQ(load.five, 1.58);
    EXPECT_DOUBLE_EQ(load.fifteen, 12.59);
    EXPECT_DOUBLE_EQ(ParseLoadAverage("").one, 0.0);
}

TEST(ParseCpuInfo, OneEntryPerProcessor) {
    const std::vector<CpuInfo> cpus = ParseCpuInfo(
        "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i7\ncpu MHz\t\t: 2893.456\n\n"
        "processor\t: 1\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD EPYC\ncpu MHz\t\t: 2596.140\n\n"
        "processor\t: 2\nCPU implementer\t: 0x41\ncpu model\t: Cortex\n");
    ASSERT_EQ(cpus.size(), 3u);
    EXPECT_EQ(cpus[0].vendor, "Intel");
    EXPECT_EQ(cpus[0].model, "Intel(R) Core(TM) i7");
    EXPECT_EQ(cpus[0].mhz, 2893);
    EXPECT_EQ(cpus[1].vendor, "AMD");
    EXPECT_EQ(cpus[1].mhz, 2596);
    EXPECT_EQ(cpus[2].vendor, "0x41");
    EXPECT_EQ(cpus[2].model, "Cortex");
    EXPECT_EQ(cpus[2].mhz, 0);
}

TEST(ParseMounts, UndoesTheKernelsEscapes) {
    const std::vector<MountEntry> mounts =
        ParseMounts("/dev/sda1 / ext4 rw,relatime 0 0\n"
                    "/dev/sdb1 /media/My\\040Films vfat rw 0 0\n"
                    "//nas/share /mnt/back\\134slash\\011tab cifs rw 0 0\n"
                    "short line\n");
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[0].folder, "/");
    EXPECT_EQ(mounts[0].sysType, "ext4");
    EXPECT_EQ(mounts[1].device, "/dev/sdb1");
    EXPECT_EQ(mounts[1].folder, "/media/My Films");
    EXPECT_EQ(mounts[2].folder, "/mnt/back\\slash\ttab");
}

TEST(IsPseudoFileSystem, KeepsOnlyFileSystemsThatHoldFiles) {
    struct Case {
        MountEntry mount;
        bool pseudo;
    };
    const Case cases[] = {
        {{"/dev/sda1", "/", "ext4"}, false},
        {{"overlay", "/", "overlay"}, false},  // the root of a container
        {{"/dev/sdb1", "/media/usb", "vfat"}, false},
        {{"/dev/sdc1", "/run/media/ann/USB", "exfat"}, false},
        {{"server:/films", "/mnt/films", "nfs4"}, false},
        {{"proc", "/proc", "proc"}, true},
        {{"sysfs", "/sys", "sysfs"}, true},
        {{"tmpfs", "/dev/shm", "tmpfs"}, true},
        {{"tmpfs", "/tmp", "tmpfs"}, true},
        {{"cgroup2", "/sys/fs/cgroup", "cgroup2"}, true},
        {{"/dev/loop3", "/snap/core/1", "squashfs"}, true},
        {{"binfmt_misc", "/proc/sys/fs/binfmt_misc", "ext4"}, true},  // whatever is mounted in /proc
        {{"/dev/sda2", "/procfiles", "ext4"}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsPseudoFileSystem(c.mount), c.pseudo) << c.mount.folder;
}

TEST(FileSystemTypeName, NamesTheKindOfFileSystem) {
    EXPECT_EQ(FileSystemTypeName("ext4"), "local");
    EXPECT_EQ(FileSystemTypeName("btrfs"), "local");
    EXPECT_EQ(FileSystemTypeName("nfs4"), "network");
    EXPECT_EQ(FileSystemTypeName("cifs"), "network");
    EXPECT_EQ(FileSystemTypeName("iso9660"), "cdrom");
}

TEST(InterfaceFlagsText, NamesTheFlagsInTheUsualOrder) {
    EXPECT_EQ(InterfaceFlagsText(IFF_MULTICAST | IFF_RUNNING | IFF_BROADCAST | IFF_UP),
              "UP BROADCAST RUNNING MULTICAST");
    EXPECT_EQ(InterfaceFlagsText(IFF_UP | IFF_LOOPBACK | IFF_RUNNING), "UP LOOPBACK RUNNING");
    EXPECT_EQ(InterfaceFlagsText(IFF_POINTOPOINT | IFF_NOARP | IFF_PROMISC), "POINTOPOINT NOARP PROMISC");
    EXPECT_EQ(InterfaceFlagsText(0), "");
}

InterfaceInfo Interface(const std::string& name, unsigned flags, const std::string& address) {
    InterfaceInfo info;
    info.name = name;
    info.flags = flags;
    info.address = address;
    return info;
}

TEST(PickPrimaryInterface, PrefersTheDefaultRouteThenAnAddress) {
    const std::vector<InterfaceInfo> interfaces = {
        Interface("lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1"), Interface("docker0", IFF_UP, ""),
        Interface("eth0", IFF_UP, "192.168.1.7"), Interface("wlan0", IFF_UP, "10.0.0.7")};
    EXPECT_EQ(PickPrimaryInterface(interfaces, "wlan0")->name, "wlan0");
    EXPECT_EQ(PickPrimaryInterface(interfaces, "")->name, "eth0");
    EXPECT_EQ(PickPrimaryInterface(interfaces, "gone0")->name, "eth0");

    const std::vector<InterfaceInfo> noAddress = {Interface("lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1"),
                                                  Interface("eth0", 0, "")};
    EXPECT_EQ(PickPrimaryInterface(noAddress, "")->name, "eth0");
    EXPECT_EQ(PickPrimaryInterface({Interface("lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1")}, ""), nullptr);
    EXPECT_EQ(PickPrimaryInterface({}, ""), nullptr);
}

TEST(InterfaceBroadcast, DerivesTheSubnetsWhereTheSystemReportsTheOwnAddress) {
    struct Case {
        const char* address;
        const char* netmask;
        const char* reported;
        const char* broadcast;
    };
    const Case cases[] = {
        {"192.168.77.2", "255.255.255.0", "192.168.77.2", "192.168.77.255"},  // set without a broadcast
        {"192.168.77.2", "255.255.255.0", "", "192.168.77.255"},
        {"192.168.77.2", "255.255.255.0", "192.168.77.255", "192.168.77.255"},
        {"192.168.77.2", "255.255.255.0", "192.168.77.127", "192.168.77.127"},  // one set by hand stays
        {"10.1.2.3", "255.0.0.0", "10.1.2.3", "10.255.255.255"},
        {"172.16.5.9", "255.255.240.0", "172.16.5.9", "172.16.15.255"},
        {"192.168.77.2", "255.255.255.252", "192.168.77.2", "192.168.77.3"},
        {"192.168.77.2", "255.255.255.254", "192.168.77.2", ""},  // a /31 has none
        {"192.168.77.2", "255.255.255.255", "192.168.77.2", ""},  // nor has a /32
        {"", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + "/" + c.netmask + " reported " + c.reported);
        EXPECT_EQ(c.broadcast, InterfaceBroadcast(c.address, c.netmask, c.reported));
    }
}

// Runs the ip(8) commands inside a network namespace of a child's own (an interface pair whose
// addresses exist only there) and gives back the primary interface it reads: "address broadcast".
std::string PrimaryInOwnNetwork(const std::string& commands) {
    int out[2];
    if (pipe(out) != 0) return "no pipe";
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        std::string found = "no namespace";
        if (unshare(CLONE_NEWNET) == 0) {
            InterfaceInfo primary;
            if (system(("{ " + commands + "; } >/dev/null 2>&1").c_str()) != 0) found = "ip failed";
            else if (!ReadPrimaryInterface(primary)) found = "no primary interface";
            else found = primary.name + " " + primary.address + " " + primary.broadcast;
        }
        const ssize_t written = write(out[1], found.data(), found.size());
        _exit(written == static_cast<ssize_t>(found.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string found;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) found.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return found;
}

TEST(ReadPrimaryInterface, GivesTheSubnetsBroadcastAddressAlsoWhereNoneWasSet) {
    REQUIRE_ISOLATED_NETWORK();
    const std::string pair = "ip link set lo up && ip link add cv0 type veth peer name cv1 && ";
    const std::string up = " && ip link set cv0 up && ip link set cv1 up && ip route add default via ";
    struct Case {
        const char* name;
        std::string commands;
        std::string primary;
    };
    const Case cases[] = {
        {"without a broadcast address", pair + "ip addr add 192.168.77.2/24 dev cv0" + up + "192.168.77.1",
         "cv0 192.168.77.2 192.168.77.255"},
        {"with the subnet's", pair + "ip addr add 192.168.77.2/24 brd + dev cv0" + up + "192.168.77.1",
         "cv0 192.168.77.2 192.168.77.255"},
        {"a /16 without", pair + "ip addr add 10.213.4.2/16 dev cv0" + up + "10.213.0.1",
         "cv0 10.213.4.2 10.213.255.255"},
        {"a /32, which has none", pair + "ip addr add 192.168.77.2/32 dev cv0" + up + "192.168.77.1 dev cv0 onlink",
         "cv0 192.168.77.2 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string found = PrimaryInOwnNetwork(c.commands);
        if (found == "no namespace") GTEST_SKIP() << "no network namespace can be made here";
        EXPECT_EQ(c.primary, found);
    }
}

TEST(ReadSystemFacts, DescribesThisMachine) {
    SystemFacts facts;
    ASSERT_TRUE(ReadSystemFacts(facts));
    EXPECT_EQ(facts.system.name, "Linux");
    EXPECT_FALSE(facts.system.version.empty());
    EXPECT_FALSE(facts.system.machine.empty());
    EXPECT_FALSE(facts.network.hostName.empty());

    auto lo = std::find_if(facts.interfaces.begin(), facts.interfaces.end(),
                           [](const InterfaceInfo& info) { return info.name == "lo"; });
    ASSERT_NE(lo, facts.interfaces.end());
    EXPECT_EQ(lo->type, "Local Loopback");
    EXPECT_TRUE(lo->flags & IFF_LOOPBACK);
    if (lo->flags & IFF_UP) {
        EXPECT_EQ(lo->address, "127.0.0.1");
        EXPECT_EQ(lo->netmask, "255.0.0.0");
    }
    if (facts.hasPrimary) {
        EXPECT_FALSE(facts.primary.flags & IFF_LOOPBACK);
    }

    EXPECT_GT(facts.memory.totalBytes, 0u);
    EXPECT_LE(facts.memory.freeBytes, facts.memory.totalBytes);
    EXPECT_EQ(facts.memory.usedBytes + facts.memory.freeBytes, facts.memory.totalBytes);
    EXPECT_GE(facts.load.one, 0.0);
    EXPECT_EQ(static_cast<long>(facts.cpus.size()), sysconf(_SC_NPROCESSORS_ONLN));

    auto root = std::find_if(facts.fileSystems.begin(), facts.fileSystems.end(),
                             [](const FileSystemInfo& info) { return info.folder == "/"; });
    ASSERT_NE(root, facts.fileSystems.end());
    EXPECT_GT(root->totalKiB, 0u);
    EXPECT_LE(root->availableKiB, root->freeKiB);
    EXPECT_EQ(root->usedKiB + root->freeKiB, root->totalKiB);
    for (const FileSystemInfo& info : facts.fileSystems) {
        EXPECT_FALSE(IsPseudoFileSystem(MountEntry{"", info.folder, info.sysType})) << info.folder;
    }
}

}  // namespace
}  // namespace sysfacts
