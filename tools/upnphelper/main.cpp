// UpnpHelper: one request of the UPnP library, run for the server in a program of its own.
//
//   UpnpHelper discover
//   UpnpHelper add CONTROL-URL SERVICE-TYPE EXTERNAL-PORT INTERNAL-PORT LAN-ADDRESS DESCRIPTION PROTOCOL
//   UpnpHelper delete CONTROL-URL SERVICE-TYPE EXTERNAL-PORT PROTOCOL
//
// The library fetches a device's description and its SOAP replies with no limit of size or time, so
// whatever a device on the network answers, this program holds the memory it takes (its address space
// is capped here) and the server's deadline ends it. The outcome goes to standard output as lines
// "NAME VALUE": "devices N", then "igd N", "control URL", "service TYPE" and "lan ADDRESS" for a
// discovery; "result CODE" for a mapping or a deletion. Texts from the router are written with every
// byte outside printable ASCII, the blank and "%" as %XX, and are read back from the arguments in that
// form; a value is never empty ("-" stands for an empty text). Exit status 0 with an outcome, 2 for a
// command line that is not one of the above.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

namespace {

// The program itself takes about 6 MiB of address space; the rest is what the library may fill with a
// description and a reply (a real router's are a few KiB).
const rlim_t kAddressSpaceBytes = 32u << 20;
const int kDiscoveryDelayMs = 2000;

// Sanitizer runtimes reserve terabytes of address space: a cap would stop the program at its start.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kCapAddressSpace = false;
#else
const bool kCapAddressSpace = true;
#endif

void LimitMemory() {
    if (kCapAddressSpace) {
        const struct rlimit space = {kAddressSpaceBytes, kAddressSpaceBytes};
        setrlimit(RLIMIT_AS, &space);
    }
    // An allocation the cap refused may end the library in a crash: no core file for it.
    const struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
}

std::string Escaped(const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; ++c) {
        if (*c > ' ' && *c < 0x7f && *c != '%') {
            out += static_cast<char>(*c);
        } else {
            out += '%';
            out += kHex[*c >> 4];
            out += kHex[*c & 15];
        }
    }
    return out.empty() ? "-" : out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Unescaped(const char* text) {
    if (std::strcmp(text, "-") == 0) return std::string();
    std::string out;
    for (const char* c = text; *c; ++c) {
        const int high = *c == '%' ? HexDigit(c[1]) : -1;
        const int low = high >= 0 ? HexDigit(c[2]) : -1;
        if (low < 0) {
            out += *c;
            continue;
        }
        out += static_cast<char>(high * 16 + low);
        c += 2;
    }
    return out;
}

void Print(const char* name, const std::string& value) { std::printf("%s %s\n", name, value.c_str()); }

int Discover() {
    int error = 0;
    UPNPDev* devices = upnpDiscover(kDiscoveryDelayMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    int count = 0;
    for (UPNPDev* device = devices; device; device = device->pNext) ++count;
    Print("devices", std::to_string(count));
    if (!devices) return 0;
    UPNPUrls urls{};
    IGDdatas data{};
    char lanAddress[16] = {0};
    const int found = UPNP_GetValidIGD(devices, &urls, &data, lanAddress, sizeof lanAddress);
    Print("igd", std::to_string(found));
    if (found != 0) {
        Print("control", Escaped(urls.controlURL ? urls.controlURL : ""));
        Print("service", Escaped(data.first.servicetype));
        Print("lan", Escaped(lanAddress));
        FreeUPNPUrls(&urls);
    }
    freeUPNPDevlist(devices);
    return 0;
}

int Add(char** argv) {
    const std::string control = Unescaped(argv[0]), service = Unescaped(argv[1]), lan = Unescaped(argv[4]);
    const int result = UPNP_AddPortMapping(control.c_str(), service.c_str(), argv[2], argv[3], lan.c_str(), argv[5],
                                           argv[6], nullptr, nullptr);
    Print("result", std::to_string(result));
    return 0;
}

int Delete(char** argv) {
    const std::string control = Unescaped(argv[0]), service = Unescaped(argv[1]);
    const int result = UPNP_DeletePortMapping(control.c_str(), service.c_str(), argv[2], argv[3], nullptr);
    Print("result", std::to_string(result));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    LimitMemory();
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "discover" && argc == 2) return Discover();
    if (command == "add" && argc == 9) return Add(argv + 2);
    if (command == "delete" && argc == 6) return Delete(argv + 2);
    std::fprintf(stderr, "usage: UpnpHelper discover | add CONTROL SERVICE EXTERNAL INTERNAL LAN DESCRIPTION "
                         "PROTOCOL | delete CONTROL SERVICE EXTERNAL PROTOCOL\n");
    return 2;
}
