// Facts about the machine for the system report, read from the kernel and the usual files under
// /etc and /proc. The Parse* functions take the text of those files, so they can be tested alone.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sysfacts {

struct SystemInfo {
    std::string machine;        // uname machine
    std::string architecture;   // the processor architecture the kernel runs
    std::string description;    // os-release PRETTY_NAME
    std::string name;           // uname sysname
    std::string version;        // uname release
    std::string vendor;         // os-release NAME
    std::string vendorName;     // os-release ID
    std::string vendorVersion;  // os-release VERSION_ID
};

struct NetworkInfo {
    std::string hostName;
    std::string gateway;           // dotted IPv4 of the default route; empty with none
    std::string gatewayInterface;  // the interface of the default route
    std::string primaryDns;
    std::string secondaryDns;
};

struct InterfaceInfo {
    std::string name;
    std::string type;         // "Ethernet", "Local Loopback", "Wireless", ...
    std::string description;  // driver or kind of device; the name when nothing better is known
    std::string address;      // dotted IPv4; empty when it has none
    std::string broadcast;    // dotted IPv4; empty when the interface has none
    std::string netmask;
    unsigned flags = 0;       // IFF_* of the interface
};

struct MemoryInfo {
    uint64_t totalBytes = 0;
    uint64_t usedBytes = 0;
    uint64_t freeBytes = 0;  // what programs can still get without swapping (MemAvailable)
};

struct LoadInfo {
    double one = 0, five = 0, fifteen = 0;
};

struct CpuInfo {
    int mhz = 0;
    std::string vendor;
    std::string model;
};

struct MountEntry {
    std::string device;
    std::string folder;
    std::string sysType;  // the kernel's file system type, e.g. "ext4"
};

struct FileSystemInfo {
    std::string folder;
    std::string type;     // "local", "network", "cdrom"
    std::string sysType;
    uint64_t totalKiB = 0, freeKiB = 0, usedKiB = 0, availableKiB = 0;
};

struct SystemFacts {
    SystemInfo system;
    NetworkInfo network;
    bool hasPrimary = false;
    InterfaceInfo primary;
    std::vector<InterfaceInfo> interfaces;
    MemoryInfo memory;
    LoadInfo load;
    std::vector<CpuInfo> cpus;
    std::vector<FileSystemInfo> fileSystems;
};

// Reads everything; false when not even the kernel's own identity could be read.
bool ReadSystemFacts(SystemFacts& facts);

// KEY=value lines, values unquoted ("..." or '...', with backslash escapes in double quotes).
std::map<std::string, std::string> ParseOsRelease(const std::string& text);
// The default IPv4 route of /proc/net/route (lowest metric); false when there is none.
bool ParseDefaultRoute(const std::string& text, std::string& gateway, std::string& interfaceName);
// The "nameserver" addresses of resolv.conf, in order.
std::vector<std::string> ParseNameServers(const std::string& text);
MemoryInfo ParseMemInfo(const std::string& text);
LoadInfo ParseLoadAverage(const std::string& text);
// One entry per "processor" block of /proc/cpuinfo.
std::vector<CpuInfo> ParseCpuInfo(const std::string& text);
// The lines of /proc/mounts, with the octal escapes (\040 for a blank, ...) undone.
std::vector<MountEntry> ParseMounts(const std::string& text);
// Kernel interfaces and memory-backed file systems, which hold no files of the user's.
bool IsPseudoFileSystem(const MountEntry& mount);
// "network", "cdrom" or "local" for a kernel file system type.
std::string FileSystemTypeName(const std::string& sysType);
// IFF_* flags as words, e.g. "UP BROADCAST RUNNING MULTICAST".
std::string InterfaceFlagsText(unsigned flags);
// The interface of the default route, else the first non-loopback one with an address, else the first
// non-loopback one; null when there is none.
const InterfaceInfo* PickPrimaryInterface(const std::vector<InterfaceInfo>& interfaces,
                                          const std::string& gatewayInterface);

// The broadcast address of a subnet (the address with every host bit set), dotted; empty for a /31 or
// /32, which have none, and for text that is no IPv4 address or mask.
std::string DirectedBroadcast(const std::string& address, const std::string& netmask);
// An interface's broadcast address from what getifaddrs reported: where the address was set without a
// broadcast address the system reports the interface's own address, and the subnet's is derived.
std::string InterfaceBroadcast(const std::string& address, const std::string& netmask, const std::string& reported);

// The primary interface alone (the presence broadcast needs its broadcast address); false with none.
bool ReadPrimaryInterface(InterfaceInfo& primary);

}  // namespace sysfacts
