#include "core/Log.h"

#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>

#include "core/LogReport.h"
#include "kivlib/kiv_text.h"
#include "platform/SystemFacts.h"

namespace {

// Where entries go when there is no log file: standard error, one write per entry.
class StandardErrorLog : public ThreadSafeLog {
public:
    void Log(const std::string& message, const char* sourceFile, int line) override {
        char stamp[32] = {0};
        time_t now = time(nullptr);
        struct tm local;
        if (localtime_r(&now, &local)) strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
        const std::string entry = std::string(stamp) + " [" + std::to_string(syscall(SYS_gettid)) + "] " +
                                  (sourceFile ? sourceFile : "") + "(" + std::to_string(line) + "): " +
                                  LogEntryMessage(message) + "\n";
        std::lock_guard<std::mutex> hold(mutex_);
        if (!atLineStart_) fputc('\n', stderr);
        fwrite(entry.data(), 1, entry.size(), stderr);
        atLineStart_ = true;
    }
    void LogBuffer(const char* bytes, size_t length) override {
        if (!bytes || !length) return;
        std::lock_guard<std::mutex> hold(mutex_);
        const std::string text = LogBufferText(bytes, length, atLineStart_);
        fwrite(text.data(), 1, text.size(), stderr);
    }

private:
    std::mutex mutex_;
    bool atLineStart_ = true;
};

// Made on first use and never destroyed: threads may still log while the process ends.
struct LogHolder {
    std::wstring path;  // first: the constructor fills it while opening the log
    boost::shared_ptr<ThreadSafeLog> owner;
    ThreadSafeLog* log = nullptr;

    LogHolder() : owner(OpenProcessLog(path)), log(owner.get()) {}
};

LogHolder& Holder() {
    static LogHolder* holder = new LogHolder();
    return *holder;
}

std::atomic<IState*> g_reportState{nullptr};

std::string FormatLine(const char* format, const std::string& label, const char* value) {
    char line[5000];
    snprintf(line, sizeof(line), format, label.c_str(), value);
    return line;
}

void WriteInterfaceBlock(ThreadSafeLog& log, const std::string& title, const sysfacts::InterfaceInfo& info) {
    LogSectionHeader(log, "");
    LogField(log, "Interface", title);
    LogField(log, "Type", info.type);
    LogField(log, "Description", info.description);
    LogField(log, "Address", info.address);
    LogField(log, "Broadcast", info.broadcast);
    LogField(log, "Netmask", info.netmask);
}

// The report prints sizes as signed 32-bit numbers.
int32_t Kilo(uint64_t value) { return static_cast<int32_t>(value / 1024); }

}  // namespace

boost::shared_ptr<ThreadSafeLog> OpenProcessLog(std::wstring& path) {
    // Only the data folder is needed: no state store, no log line, so this cannot re-enter itself.
    boost::shared_ptr<ThreadSafeLog> log;
    std::wstring folder;
    path.clear();
    if (kivm::create_user_data_folder(folder, L"Calvoro")) {
        path = folder + L"/CalvoroLog.txt";
        log = ThreadSafeLog::GetInstance(path);
    }
    if (!log) log.reset(new StandardErrorLog());
    return log;
}

ThreadSafeLog* GetLog() { return Holder().log; }

std::wstring GetLogFilePath() { return Holder().path; }

void SetLogState(IState* state) { g_reportState.store(state); }

std::string LogExcerpt(const std::string& text) {
    if (text.size() <= kLogExcerptBytes) return text;
    size_t cut = kLogExcerptBytes;
    // Back over UTF-8 continuation bytes (at most three) so no character is split.
    for (int i = 0; i < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++i) --cut;
    return text.substr(0, cut) + " [... cut, " + std::to_string(text.size()) + " bytes in all]";
}

std::string ConsoleExcerpt(const std::string& text) {
    size_t used = 0;
    std::string line = kivm::EscapeForLog(text, false, kLogExcerptBytes, &used);
    if (used < text.size()) line += " [... cut, " + std::to_string(text.size()) + " bytes in all]";
    return line;
}

const char* LogSourceName(const char* filePath) {
    // Log calls pass __FILE__ every time: keep one copy of each name, never freed.
    static std::mutex* guard = new std::mutex();
    static std::set<std::string>* names = new std::set<std::string>();
    std::string name = filePath ? filePath : "";
    const std::string::size_type slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    const std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    std::lock_guard<std::mutex> lock(*guard);
    return names->insert(".\\" + name).first->c_str();
}

void LogSectionHeader(ThreadSafeLog& log, const std::string& title) {
    log.Log("", LogSourceName(__FILE__), __LINE__);
    log.Log(title, LogSourceName(__FILE__), __LINE__);
    log.Log("--", LogSourceName(__FILE__), __LINE__);
}

void LogField(ThreadSafeLog& log, const std::string& label, const std::string& text) {
    log.Log(FormatLine("%30s %-30s", label, text.c_str()), LogSourceName(__FILE__), __LINE__);
}

void LogIntField(ThreadSafeLog& log, const std::string& label, int32_t value) {
    char line[5000];
    snprintf(line, sizeof(line), "%30s %-30i", label.c_str(), static_cast<int>(value));
    log.Log(line, LogSourceName(__FILE__), __LINE__);
}

void LogFloatField(ThreadSafeLog& log, const std::string& label, double value) {
    char line[5000];
    snprintf(line, sizeof(line), "%30s %-30.2f", label.c_str(), value);
    log.Log(line, LogSourceName(__FILE__), __LINE__);
}

void WriteSystemReport(ThreadSafeLog& log, const sysfacts::SystemFacts& facts, IState* state) {
    LogSectionHeader(log, "System");
    LogField(log, "Machine", facts.system.machine);
    LogField(log, "Architecture", facts.system.architecture);
    LogField(log, "Description", facts.system.description);
    LogField(log, "Name", facts.system.name);
    LogField(log, "Version", facts.system.version);
    LogField(log, "Vendor", facts.system.vendor);
    LogField(log, "Vendor Name", facts.system.vendorName);
    LogField(log, "Vendor Version", facts.system.vendorVersion);

    LogSectionHeader(log, "Network");
    LogField(log, "Host", facts.network.hostName);
    LogField(log, "Gateway", facts.network.gateway);
    LogField(log, "DNS 1", facts.network.primaryDns);
    LogField(log, "DNS 2", facts.network.secondaryDns);

    // With no interface but loopback the primary block stays, with empty values.
    WriteInterfaceBlock(log, "Primary", facts.hasPrimary ? facts.primary : sysfacts::InterfaceInfo());
    for (const sysfacts::InterfaceInfo& info : facts.interfaces) {
        WriteInterfaceBlock(log, info.name, info);
        LogField(log, "Flags", sysfacts::InterfaceFlagsText(info.flags));
    }

    LogSectionHeader(log, "Memory");
    LogIntField(log, "Total", Kilo(facts.memory.totalBytes));
    LogIntField(log, "Used", Kilo(facts.memory.usedBytes));
    LogIntField(log, "Free", Kilo(facts.memory.freeBytes));

    LogSectionHeader(log, "Load Average");
    LogFloatField(log, "1", facts.load.one);
    LogFloatField(log, "5", facts.load.five);
    LogFloatField(log, "15", facts.load.fifteen);

    LogSectionHeader(log, "CPU");
    for (size_t i = 0; i < facts.cpus.size(); ++i) {
        LogIntField(log, "CPU", static_cast<int32_t>(i));
        LogIntField(log, "MHZ", facts.cpus[i].mhz);
        LogField(log, "Vendor", facts.cpus[i].vendor);
        LogField(log, "Model", facts.cpus[i].model);
    }

    LogSectionHeader(log, "File System");
    for (const sysfacts::FileSystemInfo& fileSystem : facts.fileSystems) {
        LogField(log, "Disk", fileSystem.folder);
        LogField(log, "Type", fileSystem.type);
        LogField(log, "Sys Type", fileSystem.sysType);
        LogIntField(log, "Total", Kilo(fileSystem.totalKiB));
        LogIntField(log, "Free", Kilo(fileSystem.freeKiB));
        LogIntField(log, "Used", Kilo(fileSystem.usedKiB));
        LogIntField(log, "Available", Kilo(fileSystem.availableKiB));
        LogSectionHeader(log, "");
    }

    LogSectionHeader(log, "State");
    LogStateSection(log, state);
}

void LogSystemInformation() {
    ThreadSafeLog& log = *GetLog();
    sysfacts::SystemFacts facts;
    if (!sysfacts::ReadSystemFacts(facts)) {
        log.Log("Error getting system info", LogSourceName(__FILE__), __LINE__);
        return;
    }
    WriteSystemReport(log, facts, g_reportState.load());
}
