#include "platform/SystemFacts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if_arp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

namespace sysfacts {
namespace {

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

// The locale of the process (the GUI may set one) must not change how numbers are read.
double ToDouble(const std::string& text) {
    const std::string trimmed = Trim(text);
    double value = 0;
    std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
    return value;
}

uint64_t ToUnsigned(const std::string& text, int base = 10) {
    const std::string trimmed = Trim(text);
    uint64_t value = 0;
    std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value, base);
    return value;
}

std::string UnquoteOsReleaseValue(const std::string& raw) {
    const std::string value = Trim(raw);
    if (value.size() < 2) return value;
    const char quote = value.front();
    if ((quote != '"' && quote != '\'') || value.back() != quote) return value;
    std::string result;
    for (std::string::size_type i = 1; i + 1 < value.size(); ++i) {
        if (quote == '"' && value[i] == '\\' && i + 2 < value.size()) ++i;
        result += value[i];
    }
    return result;
}

bool IsOctalDigit(char c) { return c >= '0' && c <= '7'; }

std::string UnescapeMountField(const std::string& field) {
    std::string result;
    for (std::string::size_type i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctalDigit(field[i + 1]) && IsOctalDigit(field[i + 2]) &&
            IsOctalDigit(field[i + 3])) {
            result += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            result += field[i];
        }
    }
    return result;
}

std::string Ipv4Text(const struct sockaddr* address) {
    if (!address || address->sa_family != AF_INET) return std::string();
    char text[INET_ADDRSTRLEN] = {0};
    const struct sockaddr_in* ipv4 = reinterpret_cast<const struct sockaddr_in*>(address);
    if (!inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof(text))) return std::string();
    return text;
}

std::string CompiledArchitecture(const std::string& machine) {
#if defined(__x86_64__)
    (void)machine;
    return "x86_64";
#elif defined(__i386__)
    (void)machine;
    return "i386";
#elif defined(__aarch64__)
    (void)machine;
    return "aarch64";
#elif defined(__arm__)
    (void)machine;
    return "arm";
#else
    return machine;
#endif
}

void ReadOsRelease(SystemInfo& system) {
    std::string text = ReadTextFile("/etc/os-release");
    if (text.empty()) text = ReadTextFile("/usr/lib/os-release");
    std::map<std::string, std::string> release = ParseOsRelease(text);
    system.description = release["PRETTY_NAME"];
    system.vendor = release["NAME"];
    system.vendorName = release["ID"];
    system.vendorVersion = release.count("VERSION_ID") ? release["VERSION_ID"] : release["VERSION"];
}

void ReadNetwork(NetworkInfo& network) {
    char host[HOST_NAME_MAX + 1] = {0};
    if (gethostname(host, sizeof(host) - 1) == 0) network.hostName = host;
    ParseDefaultRoute(ReadTextFile("/proc/net/route"), network.gateway, network.gatewayInterface);
    const std::vector<std::string> servers = ParseNameServers(ReadTextFile("/etc/resolv.conf"));
    if (servers.size() > 0) network.primaryDns = servers[0];
    if (servers.size() > 1) network.secondaryDns = servers[1];
}

std::string HardwareTypeName(unsigned short hardwareType) {
    switch (hardwareType) {
        case ARPHRD_ETHER: return "Ethernet";
        case ARPHRD_LOOPBACK: return "Local Loopback";
        case ARPHRD_PPP: return "Point-to-Point Protocol";
        case ARPHRD_TUNNEL: return "IPIP Tunnel";
        case ARPHRD_SIT: return "IPv6-in-IPv4";
        case ARPHRD_INFINIBAND: return "InfiniBand";
        case ARPHRD_IEEE80211:
        case ARPHRD_IEEE80211_RADIOTAP: return "Wireless";
        case ARPHRD_NONE: return "None";
        default: return "UNSPEC";
    }
}

// What kind of device stands behind an interface: its driver, else the kind the kernel names.
std::string InterfaceDescription(const std::string& name) {
    const std::string base = "/sys/class/net/" + name;
    char target[PATH_MAX] = {0};
    const ssize_t length = readlink((base + "/device/driver").c_str(), target, sizeof(target) - 1);
    if (length > 0) {
        const std::string driver(target, static_cast<size_t>(length));
        return driver.substr(driver.rfind('/') + 1);
    }
    for (const std::string& line : Lines(ReadTextFile(base + "/uevent"))) {
        if (line.compare(0, 8, "DEVTYPE=") == 0) return line.substr(8);
    }
    return name;
}

InterfaceInfo& InterfaceNamed(std::vector<InterfaceInfo>& interfaces, const std::string& name) {
    for (InterfaceInfo& candidate : interfaces) {
        if (candidate.name == name) return candidate;
    }
    interfaces.push_back(InterfaceInfo());
    interfaces.back().name = name;
    return interfaces.back();
}

std::vector<InterfaceInfo> ReadInterfaces() {
    std::vector<InterfaceInfo> interfaces;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return interfaces;
    for (struct ifaddrs* item = list; item; item = item->ifa_next) {
        if (!item->ifa_name) continue;
        InterfaceInfo& info = InterfaceNamed(interfaces, item->ifa_name);
        info.flags = item->ifa_flags;
        if (!item->ifa_addr) continue;
        if (item->ifa_addr->sa_family == AF_PACKET) {
            const struct sockaddr_ll* link = reinterpret_cast<const struct sockaddr_ll*>(item->ifa_addr);
            info.type = HardwareTypeName(link->sll_hatype);
        } else if (item->ifa_addr->sa_family == AF_INET && info.address.empty()) {
            info.address = Ipv4Text(item->ifa_addr);
            info.netmask = Ipv4Text(item->ifa_netmask);
            if (item->ifa_flags & IFF_BROADCAST)
                info.broadcast = InterfaceBroadcast(info.address, info.netmask, Ipv4Text(item->ifa_broadaddr));
        }
    }
    freeifaddrs(list);
    for (InterfaceInfo& info : interfaces) {
        struct stat status;
        if (info.type == "Ethernet" && stat(("/sys/class/net/" + info.name + "/wireless").c_str(), &status) == 0) {
            info.type = "Wireless";
        }
        if (info.type.empty()) info.type = (info.flags & IFF_LOOPBACK) ? "Local Loopback" : "UNSPEC";
        info.description = InterfaceDescription(info.name);
    }
    return interfaces;
}

int CpuMhzFromSysfs(size_t index) {
    const uint64_t kHz = ToUnsigned(
        ReadTextFile("/sys/devices/system/cpu/cpu" + std::to_string(index) + "/cpufreq/scaling_cur_freq"));
    return static_cast<int>(kHz / 1000);
}

std::vector<FileSystemInfo> ReadFileSystems() {
    std::vector<FileSystemInfo> fileSystems;
    std::set<std::string> seen;
    for (const MountEntry& mount : ParseMounts(ReadTextFile("/proc/mounts"))) {
        if (IsPseudoFileSystem(mount) || !seen.insert(mount.folder).second) continue;
        struct statvfs usage;
        if (statvfs(mount.folder.c_str(), &usage) != 0 || usage.f_blocks == 0) continue;
        FileSystemInfo info;
        info.folder = mount.folder;
        info.sysType = mount.sysType;
        info.type = FileSystemTypeName(mount.sysType);
        const uint64_t unit = usage.f_frsize ? usage.f_frsize : usage.f_bsize;
        info.totalKiB = static_cast<uint64_t>(usage.f_blocks) * unit / 1024;
        info.freeKiB = static_cast<uint64_t>(usage.f_bfree) * unit / 1024;
        info.availableKiB = static_cast<uint64_t>(usage.f_bavail) * unit / 1024;
        info.usedKiB = info.totalKiB - std::min(info.totalKiB, info.freeKiB);
        fileSystems.push_back(info);
    }
    return fileSystems;
}

}  // namespace

std::string DirectedBroadcast(const std::string& address, const std::string& netmask) {
    struct in_addr ip, mask;
    if (inet_pton(AF_INET, address.c_str(), &ip) != 1 || inet_pton(AF_INET, netmask.c_str(), &mask) != 1)
        return std::string();
    const uint32_t hostBits = ~ntohl(mask.s_addr);
    // A /31 or /32 has no broadcast address of its own (RFC 3021).
    if (hostBits < 3) return std::string();
    struct in_addr broadcast;
    broadcast.s_addr = htonl(ntohl(ip.s_addr) | hostBits);
    char text[INET_ADDRSTRLEN] = {0};
    if (!inet_ntop(AF_INET, &broadcast, text, sizeof(text))) return std::string();
    return text;
}

std::string InterfaceBroadcast(const std::string& address, const std::string& netmask, const std::string& reported) {
    // An address set without a broadcast address is reported with itself in the broadcast field.
    if (reported.empty() || reported == address) return DirectedBroadcast(address, netmask);
    return reported;
}

std::map<std::string, std::string> ParseOsRelease(const std::string& text) {
    std::map<std::string, std::string> values;
    for (const std::string& raw : Lines(text)) {
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#') continue;
        const std::string::size_type equals = line.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        values[line.substr(0, equals)] = UnquoteOsReleaseValue(line.substr(equals + 1));
    }
    return values;
}

bool ParseDefaultRoute(const std::string& text, std::string& gateway, std::string& interfaceName) {
    const unsigned kRouteUp = 0x1;
    bool found = false;
    uint64_t bestMetric = std::numeric_limits<uint64_t>::max();
    const std::vector<std::string> lines = Lines(text);
    for (size_t i = 1; i < lines.size(); ++i) {  // the first line names the columns
        const std::vector<std::string> fields = Words(lines[i]);
        if (fields.size() < 8) continue;
        const uint64_t destination = ToUnsigned(fields[1], 16);
        const uint64_t flags = ToUnsigned(fields[3], 16);
        const uint64_t metric = ToUnsigned(fields[6]);
        const uint64_t mask = ToUnsigned(fields[7], 16);
        if (destination != 0 || mask != 0 || !(flags & kRouteUp) || metric >= bestMetric) continue;
        // The kernel prints the address as the 32-bit word it stores, i.e. in network byte order.
        struct in_addr address;
        address.s_addr = static_cast<in_addr_t>(ToUnsigned(fields[2], 16));
        char dotted[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &address, dotted, sizeof(dotted));
        gateway = dotted;
        interfaceName = fields[0];
        bestMetric = metric;
        found = true;
    }
    return found;
}

std::vector<std::string> ParseNameServers(const std::string& text) {
    std::vector<std::string> servers;
    for (const std::string& line : Lines(text)) {
        const std::vector<std::string> words = Words(line);
        if (words.size() >= 2 && words[0] == "nameserver") servers.push_back(words[1]);
    }
    return servers;
}

MemoryInfo ParseMemInfo(const std::string& text) {
    std::map<std::string, uint64_t> kiB;
    for (const std::string& line : Lines(text)) {
        const std::string::size_type colon = line.find(':');
        if (colon != std::string::npos) kiB[line.substr(0, colon)] = ToUnsigned(line.substr(colon + 1));
    }
    MemoryInfo memory;
    memory.totalBytes = kiB["MemTotal"] * 1024;
    memory.freeBytes = (kiB.count("MemAvailable") ? kiB["MemAvailable"] : kiB["MemFree"]) * 1024;
    memory.freeBytes = std::min(memory.freeBytes, memory.totalBytes);
    memory.usedBytes = memory.totalBytes - memory.freeBytes;
    return memory;
}

LoadInfo ParseLoadAverage(const std::string& text) {
    const std::vector<std::string> words = Words(text);
    LoadInfo load;
    if (words.size() >= 3) {
        load.one = ToDouble(words[0]);
        load.five = ToDouble(words[1]);
        load.fifteen = ToDouble(words[2]);
    }
    return load;
}

std::vector<CpuInfo> ParseCpuInfo(const std::string& text) {
    std::vector<CpuInfo> cpus;
    for (const std::string& line : Lines(text)) {
        const std::string::size_type colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = Trim(line.substr(0, colon));
        const std::string value = Trim(line.substr(colon + 1));
        if (key == "processor") {
            cpus.push_back(CpuInfo());
        } else if (cpus.empty()) {
            continue;
        } else if (key == "cpu MHz") {
            cpus.back().mhz = static_cast<int>(ToDouble(value));
        } else if (key == "vendor_id" || (key == "CPU implementer" && cpus.back().vendor.empty())) {
            cpus.back().vendor = value == "GenuineIntel" ? "Intel" : value == "AuthenticAMD" ? "AMD" : value;
        } else if (key == "model name" || (key == "cpu model" && cpus.back().model.empty())) {
            cpus.back().model = value;
        }
    }
    return cpus;
}

std::vector<MountEntry> ParseMounts(const std::string& text) {
    std::vector<MountEntry> mounts;
    for (const std::string& line : Lines(text)) {
        const std::vector<std::string> fields = Words(line);
        if (fields.size() < 3) continue;
        mounts.push_back(MountEntry{UnescapeMountField(fields[0]), UnescapeMountField(fields[1]), fields[2]});
    }
    return mounts;
}

bool IsPseudoFileSystem(const MountEntry& mount) {
    static const std::set<std::string> kPseudo = {
        "proc",      "sysfs",      "devtmpfs",   "devpts",      "tmpfs",     "ramfs",      "cgroup",
        "cgroup2",   "securityfs", "debugfs",    "tracefs",     "pstore",    "bpf",        "mqueue",
        "hugetlbfs", "configfs",   "fusectl",    "autofs",      "binfmt_misc", "rpc_pipefs", "nsfs",
        "efivarfs",  "selinuxfs",  "squashfs",   "nfsd",        "rootfs",    "fuse.lxcfs", "fuse.gvfsd-fuse",
        "fuse.portal", "xenfs",    "usbfs",      "devfs",       "swap"};
    if (kPseudo.count(mount.sysType)) return true;
    // The kernel's own trees never hold the user's files, whatever is mounted there.
    for (const char* tree : {"/proc", "/sys", "/dev"}) {
        const std::string prefix(tree);
        if (mount.folder == prefix || mount.folder.compare(0, prefix.size() + 1, prefix + "/") == 0) return true;
    }
    return false;
}

std::string FileSystemTypeName(const std::string& sysType) {
    static const std::set<std::string> kNetwork = {"nfs",  "nfs4",      "cifs",   "smb3",       "smbfs",
                                                   "ncpfs", "afs",      "9p",     "ceph",       "glusterfs",
                                                   "fuse.sshfs", "fuse.glusterfs", "davfs", "fuse.davfs2"};
    if (kNetwork.count(sysType)) return "network";
    if (sysType == "iso9660" || sysType == "udf") return "cdrom";
    return "local";
}

std::string InterfaceFlagsText(unsigned flags) {
    static const std::pair<unsigned, const char*> kNames[] = {
        {IFF_UP, "UP"},           {IFF_BROADCAST, "BROADCAST"}, {IFF_DEBUG, "DEBUG"},
        {IFF_LOOPBACK, "LOOPBACK"}, {IFF_POINTOPOINT, "POINTOPOINT"}, {IFF_NOTRAILERS, "NOTRAILERS"},
        {IFF_RUNNING, "RUNNING"}, {IFF_NOARP, "NOARP"},         {IFF_PROMISC, "PROMISC"},
        {IFF_ALLMULTI, "ALLMULTI"}, {IFF_MASTER, "MASTER"},     {IFF_SLAVE, "SLAVE"},
        {IFF_MULTICAST, "MULTICAST"}, {IFF_DYNAMIC, "DYNAMIC"}};
    std::string text;
    for (const auto& name : kNames) {
        if (!(flags & name.first)) continue;
        if (!text.empty()) text += ' ';
        text += name.second;
    }
    return text;
}

const InterfaceInfo* PickPrimaryInterface(const std::vector<InterfaceInfo>& interfaces,
                                          const std::string& gatewayInterface) {
    const InterfaceInfo* withAddress = nullptr;
    const InterfaceInfo* any = nullptr;
    for (const InterfaceInfo& info : interfaces) {
        if (!gatewayInterface.empty() && info.name == gatewayInterface) return &info;
        if (info.flags & IFF_LOOPBACK) continue;
        if (!withAddress && !info.address.empty()) withAddress = &info;
        if (!any) any = &info;
    }
    return withAddress ? withAddress : any;
}

bool ReadSystemFacts(SystemFacts& facts) {
    struct utsname identity;
    if (uname(&identity) != 0) return false;
    facts.system.machine = identity.machine;
    facts.system.architecture = CompiledArchitecture(identity.machine);
    facts.system.name = identity.sysname;
    facts.system.version = identity.release;
    ReadOsRelease(facts.system);

    ReadNetwork(facts.network);
    facts.interfaces = ReadInterfaces();
    const InterfaceInfo* primary = PickPrimaryInterface(facts.interfaces, facts.network.gatewayInterface);
    facts.hasPrimary = primary != nullptr;
    if (primary) facts.primary = *primary;

    facts.memory = ParseMemInfo(ReadTextFile("/proc/meminfo"));
    facts.load = ParseLoadAverage(ReadTextFile("/proc/loadavg"));
    facts.cpus = ParseCpuInfo(ReadTextFile("/proc/cpuinfo"));
    for (size_t i = 0; i < facts.cpus.size(); ++i) {
        if (facts.cpus[i].mhz == 0) facts.cpus[i].mhz = CpuMhzFromSysfs(i);
    }
    facts.fileSystems = ReadFileSystems();
    return true;
}

bool ReadPrimaryInterface(InterfaceInfo& primary) {
    std::string gateway, gatewayInterface;
    ParseDefaultRoute(ReadTextFile("/proc/net/route"), gateway, gatewayInterface);
    const std::vector<InterfaceInfo> interfaces = ReadInterfaces();
    const InterfaceInfo* picked = PickPrimaryInterface(interfaces, gatewayInterface);
    if (!picked) return false;
    primary = *picked;
    return true;
}

}  // namespace sysfacts
