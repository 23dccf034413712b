#include "core/Log.h"

#include <fcntl.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <list>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "core/LogReport.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"
#include "platform/SystemFacts.h"
#include "support/TestSupport.h"

namespace {

// The log is process-wide and made on first use, so its data folder is chosen before main: a private
// temporary folder, never the user's own.
class LogDataHome {
public:
    LogDataHome() {
        char pattern[] = "/tmp/calvoro-log-test-XXXXXX";
        if (!mkdtemp(pattern)) return;
        made_ = pattern;
        setenv("XDG_DATA_HOME", pattern, 1);
    }
    ~LogDataHome() {
        std::error_code ignored;
        if (!made_.empty()) std::filesystem::remove_all(made_, ignored);
    }
    const std::string& path() const { return made_; }

private:
    std::string made_;
};
LogDataHome logDataHome;

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_) setenv(name_, old_.c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

// What this process writes to standard error while the object lives.
class StderrCapture {
public:
    StderrCapture() {
        fflush(stderr);
        saved_ = dup(2);
        const int fd = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { Restore(); }
    std::string Text() {
        Restore();
        return testsupport::ReadFile(dir_.file("stderr"));
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    testsupport::TempDir dir_;
    int saved_ = -1;
};

class CaptureLog : public ThreadSafeLog {
public:
    void Log(const std::string& message, const char* sourceFile, int) override {
        messages.push_back(message);
        sources.push_back(sourceFile ? sourceFile : "");
    }
    void LogBuffer(const char* bytes, size_t length) override { buffers.append(bytes, length); }

    std::vector<std::string> messages;
    std::vector<std::string> sources;
    std::string buffers;
};

// The report's layout, written out without printf: label right-aligned in 30, a blank, value left in 30.
std::string Field(const std::string& label, const std::string& value) {
    std::string line = std::string(label.size() < 30 ? 30 - label.size() : 0, ' ') + label + " " + value;
    if (value.size() < 30) line += std::string(30 - value.size(), ' ');
    return line;
}

std::vector<std::string> Header(const std::string& title) { return {"", title, "--"}; }

void Append(std::vector<std::string>& lines, const std::vector<std::string>& more) {
    lines.insert(lines.end(), more.begin(), more.end());
}

// The messages of the log file's entries ("<time> [<thread>] <source>(<line>): <message>").
std::vector<std::string> Messages(const std::string& text) {
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t head = line.find("): ");
        messages.push_back(head == std::string::npos ? line : line.substr(head + 3));
        start = end + 1;
    }
    return messages;
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& line, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i] == line) return i;
    }
    return lines.size();
}

std::string LogFile() { return kivm::ToUTF8Ex(GetLogFilePath()); }

// ---- the process log

TEST(GetLog, WritesToTheDataFolderBeforeAnyStateExists) {
    ASSERT_FALSE(logDataHome.path().empty());
    ThreadSafeLog* log = GetLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(GetLog(), log);
    EXPECT_EQ(LogFile(), logDataHome.path() + "/Calvoro/CalvoroLog.txt");

    const int line = __LINE__ + 1;
    KIV_LOG("first words of the log test");
    const std::string text = testsupport::ReadFile(LogFile());
    EXPECT_NE(text.find(".\\Log_test(" + std::to_string(line) + "): first words of the log test\n"),
              std::string::npos)
        << text;
}

TEST(LogSourceName, IsADotABackslashAndTheBareName) {
    struct Case {
        const char* file;
        const char* name;
    };
    const Case cases[] = {
        {"/work/main/core/Worker.cpp", ".\\Worker"},
        {"core\\Events.cpp", ".\\Events"},
        {"main.cpp", ".\\main"},
        {"/src/my.project/network/Upnp.cpp", ".\\Upnp"},
        {"/src/ui/CalvoroForm", ".\\CalvoroForm"},
        {"/src/.hidden", ".\\.hidden"},
    };
    for (const Case& c : cases) EXPECT_STREQ(LogSourceName(c.file), c.name) << c.file;
    EXPECT_EQ(LogSourceName("/a/Worker.cpp"), LogSourceName("/b/Worker.cpp"));  // one copy, kept for good
}

TEST(LogExcerpt, KeepsOneKibibyteAndNotesTheFullLength) {
    const std::string kib(kLogExcerptBytes, 'a');
    EXPECT_EQ("", LogExcerpt(""));
    EXPECT_EQ(kib, LogExcerpt(kib));
    EXPECT_EQ(kib + " [... cut, 1025 bytes in all]", LogExcerpt(kib + "b"));
    EXPECT_EQ(kib + " [... cut, 65536 bytes in all]", LogExcerpt(kib + std::string(65536 - 1024, 'b')));
    // A character that straddles the cut is left out whole: here a three-byte one at bytes 1023-1025.
    const std::string straddling = std::string(1023, 'a') + "\xe2\x82\xac" + "tail";
    EXPECT_EQ(std::string(1023, 'a') + " [... cut, 1030 bytes in all]", LogExcerpt(straddling));
}

TEST(OpenProcessLog, FallsBackToStandardErrorWithoutADataFolder) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("plain"), "");
    ScopedEnv home("XDG_DATA_HOME", dir.file("plain"));  // a file: no folder can be made below it
    std::wstring path = L"stale";
    boost::shared_ptr<ThreadSafeLog> log = OpenProcessLog(path);
    ASSERT_TRUE(log);
    EXPECT_EQ(path, L"");
    StderrCapture capture;
    log->Log("to standard error", ".\\Worker", 42);
    EXPECT_NE(capture.Text().find(".\\Worker(42): to standard error\n"), std::string::npos);
}

TEST(OpenProcessLog, FallsBackToStandardErrorWhenTheFileCannotBeOpened) {
    testsupport::TempDir dir;
    ASSERT_EQ(std::filesystem::create_directories(dir.file("Calvoro/CalvoroLog.txt")), true);
    ScopedEnv home("XDG_DATA_HOME", dir.path());
    std::wstring path;
    boost::shared_ptr<ThreadSafeLog> log = OpenProcessLog(path);
    ASSERT_TRUE(log);
    EXPECT_EQ(kivm::ToUTF8Ex(path), dir.file("Calvoro/CalvoroLog.txt"));
    StderrCapture capture;
    log->Log("still somewhere", ".\\State", 7);
    log->LogBuffer("raw bytes", 9);
    const std::string text = capture.Text();
    EXPECT_NE(text.find(".\\State(7): still somewhere\n"), std::string::npos) << text;
    EXPECT_NE(text.find("raw bytes"), std::string::npos) << text;
}

// ---- the report's line helpers

TEST(LogField, AlignsLabelAndValueIn30Columns) {
    CaptureLog log;
    LogField(log, "HTTP Port", "x");
    LogIntField(log, "HTTP Port", 8683);
    LogIntField(log, "  |_ SID: ", -123456);
    LogFloatField(log, "15", 0.5);
    LogFloatField(log, "1", 12.346);
    LogField(log, std::string(35, 'L'), "v");
    LogField(log, "Long", std::string(6000, 'v'));
    ASSERT_EQ(log.messages.size(), 7u);
    EXPECT_EQ(log.messages[0], std::string(21, ' ') + "HTTP Port x" + std::string(29, ' '));
    EXPECT_EQ(log.messages[1], std::string(21, ' ') + "HTTP Port 8683" + std::string(26, ' '));
    EXPECT_EQ(log.messages[2], std::string(20, ' ') + "  |_ SID:  -123456" + std::string(23, ' '));
    EXPECT_EQ(log.messages[3], std::string(28, ' ') + "15 0.50" + std::string(26, ' '));
    EXPECT_EQ(log.messages[4], std::string(29, ' ') + "1 12.35" + std::string(25, ' '));
    EXPECT_EQ(log.messages[5], std::string(35, 'L') + " v" + std::string(29, ' '));
    EXPECT_EQ(log.messages[6].size(), 4999u);  // one line is at most 5000 bytes with its end
    EXPECT_EQ(log.sources[0], ".\\Log");
}

TEST(LogSectionHeader, IsThreeEntries) {
    CaptureLog log;
    LogSectionHeader(log, "Memory");
    LogSectionHeader(log, "");
    EXPECT_EQ(log.messages, (std::vector<std::string>{"", "Memory", "--", "", "", "--"}));
}

// ---- the report

sysfacts::InterfaceInfo Interface(const std::string& name, const std::string& type, const std::string& address,
                                  unsigned flags) {
    sysfacts::InterfaceInfo info;
    info.name = name;
    info.type = type;
    info.description = name + " device";
    info.address = address;
    info.broadcast = address.empty() ? "" : "192.168.1.255";
    info.netmask = address.empty() ? "" : "255.255.255.0";
    info.flags = flags;
    return info;
}

sysfacts::SystemFacts TwoInterfaceMachine() {
    sysfacts::SystemFacts facts;
    facts.system = {"x86_64", "x86_64", "Debian GNU/Linux 12 (bookworm)", "Linux", "6.1.0-18-amd64",
                    "Debian GNU/Linux", "debian", "12"};
    facts.network = {"mediabox", "192.168.1.1", "eth0", "192.168.1.1", "9.9.9.9"};
    facts.interfaces = {Interface("lo", "Local Loopback", "127.0.0.1", IFF_UP | IFF_LOOPBACK | IFF_RUNNING),
                        Interface("eth0", "Ethernet", "192.168.1.7",
                                  IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST)};
    facts.interfaces[0].broadcast = "";
    facts.interfaces[0].netmask = "255.0.0.0";
    facts.hasPrimary = true;
    facts.primary = facts.interfaces[1];
    facts.memory.totalBytes = 8ull << 30;
    facts.memory.freeBytes = 3ull << 30;
    facts.memory.usedBytes = 5ull << 30;
    facts.load = {0.25, 1.5, 2.125};
    sysfacts::CpuInfo cpu;
    cpu.mhz = 2893;
    cpu.vendor = "Intel";
    cpu.model = "Core i7";
    facts.cpus = {cpu, cpu};
    sysfacts::FileSystemInfo disk;
    disk.folder = "/";
    disk.type = "local";
    disk.sysType = "ext4";
    disk.totalKiB = 4000ull << 20;  // 4000 GiB: more KiB than a signed 32-bit number holds
    disk.freeKiB = 1000ull << 20;
    disk.usedKiB = 3000ull << 20;
    disk.availableKiB = 900ull << 20;
    facts.fileSystems = {disk};
    return facts;
}

TEST(WriteSystemReport, WritesEverySectionInOrder) {
    CaptureLog log;
    WriteSystemReport(log, TwoInterfaceMachine(), nullptr);

    std::vector<std::string> expected;
    Append(expected, Header("System"));
    Append(expected, {Field("Machine", "x86_64"), Field("Architecture", "x86_64"),
                      Field("Description", "Debian GNU/Linux 12 (bookworm)"), Field("Name", "Linux"),
                      Field("Version", "6.1.0-18-amd64"), Field("Vendor", "Debian GNU/Linux"),
                      Field("Vendor Name", "debian"), Field("Vendor Version", "12")});
    Append(expected, Header("Network"));
    Append(expected, {Field("Host", "mediabox"), Field("Gateway", "192.168.1.1"), Field("DNS 1", "192.168.1.1"),
                      Field("DNS 2", "9.9.9.9")});
    Append(expected, Header(""));
    Append(expected, {Field("Interface", "Primary"), Field("Type", "Ethernet"), Field("Description", "eth0 device"),
                      Field("Address", "192.168.1.7"), Field("Broadcast", "192.168.1.255"),
                      Field("Netmask", "255.255.255.0")});
    Append(expected, Header(""));
    Append(expected, {Field("Interface", "lo"), Field("Type", "Local Loopback"), Field("Description", "lo device"),
                      Field("Address", "127.0.0.1"), Field("Broadcast", ""), Field("Netmask", "255.0.0.0"),
                      Field("Flags", "UP LOOPBACK RUNNING")});
    Append(expected, Header(""));
    Append(expected, {Field("Interface", "eth0"), Field("Type", "Ethernet"), Field("Description", "eth0 device"),
                      Field("Address", "192.168.1.7"), Field("Broadcast", "192.168.1.255"),
                      Field("Netmask", "255.255.255.0"), Field("Flags", "UP BROADCAST RUNNING MULTICAST")});
    Append(expected, Header("Memory"));
    Append(expected, {Field("Total", "8388608"), Field("Used", "5242880"), Field("Free", "3145728")});
    Append(expected, Header("Load Average"));
    Append(expected, {Field("1", "0.25"), Field("5", "1.50"), Field("15", "2.12")});
    Append(expected, Header("CPU"));
    Append(expected, {Field("CPU", "0"), Field("MHZ", "2893"), Field("Vendor", "Intel"), Field("Model", "Core i7"),
                      Field("CPU", "1"), Field("MHZ", "2893"), Field("Vendor", "Intel"), Field("Model", "Core i7")});
    Append(expected, Header("File System"));
    Append(expected, {Field("Disk", "/"), Field("Type", "local"), Field("Sys Type", "ext4"),
                      Field("Total", "4096000"), Field("Free", "1024000"), Field("Used", "3072000"),
                      Field("Available", "921600")});
    Append(expected, Header(""));
    Append(expected, Header("State"));
    EXPECT_EQ(log.messages, expected);
}

TEST(WriteSystemReport, KeepsThePrimaryBlockWhenThereIsNoPrimaryInterface) {
    sysfacts::SystemFacts facts = TwoInterfaceMachine();
    facts.hasPrimary = false;
    facts.interfaces.resize(1);
    CaptureLog log;
    WriteSystemReport(log, facts, nullptr);
    const size_t primary = IndexOf(log.messages, Field("Interface", "Primary"));
    ASSERT_LT(primary + 6, log.messages.size());
    EXPECT_EQ(log.messages[primary + 1], Field("Type", ""));
    EXPECT_EQ(log.messages[primary + 4], Field("Broadcast", ""));
    EXPECT_EQ(log.messages[primary + 6], "");
    EXPECT_EQ(log.messages[primary + 8], "--");
    EXPECT_EQ(log.messages[primary + 9], Field("Interface", "lo"));
}


TEST(LogStateSection, ListsFoldersSessionsAndPreferences) {
    testsupport::TempDir dir;
    boost::shared_ptr<State> store = State::GetInstance(dir.wpath() + L"/data");
    ASSERT_TRUE(store);
    ASSERT_EQ(mkdir(dir.file("Films").c_str(), 0755), 0);
    ASSERT_TRUE(store->ShareFolder(kivm::FromUTF8ExW(dir.file("Films"))));
    const ClientSession ann = store->GetOrCreateSession(L"Ann\u2019s iPhone", L"UDID-ANN");
    const ClientSession bob = store->GetOrCreateSession(L"Bob", L"UDID-BOB");
    ASSERT_TRUE(store->AuthorizeClient(ann.SessionId));
    store->SetDeviceType(ann.SessionId, L"iPhone");
    store->SetDeviceVersion(ann.SessionId, L"2.1");

    CaptureLog log;
    LogStateSection(log, store.get());
    const std::vector<std::string>& lines = log.messages;

    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], Field("Folder:", dir.file("Films")));
    const size_t annAt = IndexOf(lines, Field("Client     ", "Ann\xe2\x80\x99s iPhone"));
    ASSERT_LT(annAt + 5, lines.size());
    EXPECT_EQ(lines[annAt + 1], Field("  |_ SID: ", "(hidden)"));
    EXPECT_EQ(lines[annAt + 2], Field("  |_ Auth:", "1"));
    EXPECT_EQ(lines[annAt + 3], Field("  |_ UDID:", "(hidden)"));
    EXPECT_EQ(lines[annAt + 4], Field("  |_ DVer:", "2.1"));
    EXPECT_EQ(lines[annAt + 5], Field("  |_ Type:", "iPhone"));
    const size_t bobAt = IndexOf(lines, Field("Client     ", "Bob"));
    ASSERT_LT(bobAt + 5, lines.size());
    EXPECT_EQ(lines[bobAt + 1], Field("  |_ SID: ", "(hidden)"));
    EXPECT_EQ(lines[bobAt + 2], Field("  |_ Auth:", "0"));
    EXPECT_EQ(lines[bobAt + 4], Field("  |_ DVer:", "Unknown Version"));
    EXPECT_EQ(lines[bobAt + 5], Field("  |_ Type:", "Unknown Device"));
    // No credential in any form: the unique ids, the session ids, nor their low 32 bits.
    for (const ClientSession& s : {ann, bob}) {
        const std::string forms[] = {kivm::ToUTF8Ex(s.UniqueId), numstr::ToStr(s.SessionId, 16, 0),
                                     std::to_string(s.SessionId), std::to_string(int32_t(uint32_t(s.SessionId)))};
        for (const std::string& line : lines)
            for (const std::string& form : forms) EXPECT_EQ(std::string::npos, line.find(form)) << line;
    }

    const std::vector<std::string> tail = {
        std::string(21, ' ') + "HTTP Port 8683" + std::string(26, ' '),
        Field("External Access Enabled", "0"),
        Field("UPNP Enabled", "1"),
        Field("Client Timeout ms", "300000"),
        Field("Lookup Name", ""),
        Field("Home Folder", dir.file("data")),
        Field("Cache Folder", kivm::ToUTF8Ex(store->GetCacheFolder())),
    };
    ASSERT_EQ(lines.size(), 1 + 12 + tail.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()), tail);
}

TEST(LogStateSection, WritesNothingWithoutAState) {
    CaptureLog log;
    LogStateSection(log, nullptr);
    EXPECT_TRUE(log.messages.empty());
}

TEST(LogSystemInformation, WritesTheReportOfThisMachineIntoTheLogFile) {
    testsupport::TempDir dir;
    boost::shared_ptr<State> store = State::GetInstance(dir.wpath() + L"/data");
    ASSERT_TRUE(store);
    const std::string before = testsupport::ReadFile(LogFile());
    SetLogState(store.get());
    LogSystemInformation();
    SetLogState(nullptr);
    const std::vector<std::string> lines = Messages(testsupport::ReadFile(LogFile()).substr(before.size()));

    size_t at = 0;
    for (const char* title : {"System", "Network", "Memory", "Load Average", "CPU", "File System", "State"}) {
        const size_t found = IndexOf(lines, title, at);
        ASSERT_LT(found, lines.size()) << title;
        EXPECT_EQ(lines[found - 1], "") << title;
        EXPECT_EQ(lines[found + 1], "--") << title;
        at = found;
    }
    EXPECT_LT(IndexOf(lines, Field("Interface", "Primary")), lines.size());
    const size_t lo = IndexOf(lines, Field("Interface", "lo"));
    ASSERT_LT(lo + 6, lines.size());
    EXPECT_EQ(lines[lo + 1], Field("Type", "Local Loopback"));
    EXPECT_NE(lines[lo + 6].find("LOOPBACK"), std::string::npos) << lines[lo + 6];
    EXPECT_LT(IndexOf(lines, Field("Disk", "/")), lines.size());
    EXPECT_LT(IndexOf(lines, std::string(21, ' ') + "HTTP Port 8683" + std::string(26, ' '), at), lines.size());
    EXPECT_EQ(lines.back(), Field("Cache Folder", kivm::ToUTF8Ex(store->GetCacheFolder())));
}

}  // namespace
