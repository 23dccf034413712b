#include "kivlib/ThreadSafeLog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OpenFiles.h"
#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

namespace {

boost::shared_ptr<ThreadSafeLog> Open(const std::string& path) { return ThreadSafeLog::GetInstance(kivm::FromUTF8ExW(path)); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Log, EntryHasTimeThreadSourceLineAndMessage) {
    testsupport::TempDir dir;
    boost::shared_ptr<ThreadSafeLog> log = Open(dir.file("log.txt"));
    ASSERT_TRUE(log);
    log->Log("Starting Calvoro", ".\\MyApp.cpp", 42);
    std::string text = testsupport::ReadFile(dir.file("log.txt"));
    std::regex entry(R"(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) \[(\d+)\] \.\\MyApp\.cpp\(42\): Starting Calvoro\n$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, entry)) << text;
    EXPECT_EQ(std::to_string(gettid()), match[8].str());
    int month = std::stoi(match[2].str());
    EXPECT_TRUE(month >= 1 && month <= 12) << text;
    EXPECT_LE(std::stoi(match[4].str()), 23);
}

TEST(Log, AppendsToAnExistingFileAndBufferGoesInRaw) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("log.txt"), "earlier run\n");
    boost::shared_ptr<ThreadSafeLog> log = Open(dir.file("log.txt"));
    ASSERT_TRUE(log);
    const std::string raw("raw\0bytes, no line feed", 23);
    log->LogBuffer(raw.data(), raw.size());
    log->Log("after", "x.cpp", 1);
    std::string text = testsupport::ReadFile(dir.file("log.txt"));
    ASSERT_EQ(0u, text.find("earlier run\n" + raw)) << text;
    EXPECT_NE(std::string::npos, text.find("x.cpp(1): after\n", 12 + raw.size()));
}

TEST(Log, CannotOpenGivesNoLog) {
    testsupport::TempDir dir;
    EXPECT_FALSE(Open(dir.file("missing/log.txt")));
    EXPECT_FALSE(Open(dir.path()));
}

TEST(Log, DescriptorIsCloseOnExec) {
    testsupport::TempDir dir;
    boost::shared_ptr<ThreadSafeLog> log = Open(dir.file("log.txt"));
    ASSERT_TRUE(log);
    long flags = openfiles::FlagsOfDescriptorOn(dir.file("log.txt"));
    ASSERT_NE(-1, flags);
    EXPECT_TRUE(flags & O_CLOEXEC);
    EXPECT_TRUE(flags & O_APPEND);
}

// Entries from many threads, through two log objects on the same file, each stay whole.
TEST(Log, EntriesFromManyThreadsNeverInterleave) {
    testsupport::TempDir dir;
    boost::shared_ptr<ThreadSafeLog> logs[2] = {Open(dir.file("log.txt")), Open(dir.file("log.txt"))};
    ASSERT_TRUE(logs[0] && logs[1]);
    const int threadCount = 8, entries = 300;
    const size_t length = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            const std::string message(length, static_cast<char>('a' + t));
            for (int i = 0; i < entries; ++i) {
                if (i % 3 == 0) {
                    std::string raw = "raw " + message + "\n";
                    logs[t % 2]->LogBuffer(raw.data(), raw.size());
                } else {
                    logs[t % 2]->Log(message, "src.cpp", t);
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::vector<std::string> lines = Lines(testsupport::ReadFile(dir.file("log.txt")));
    ASSERT_EQ(static_cast<size_t>(threadCount * entries), lines.size());
    std::regex entry(R"(^(raw |\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] src\.cpp\((\d)\): )([a-h]+)$)");
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, entry)) << line.substr(0, 80);
        const std::string body = match[3].str();
        ASSERT_EQ(length, body.size());
        ASSERT_EQ(std::string::npos, body.find_first_not_of(body[0])) << "two entries mixed";
        if (match[2].matched) {
            ASSERT_EQ(body[0], 'a' + std::stoi(match[2].str()));
        }
    }
}

// Entries from several threads, 12 MiB in all: the full file moves aside once, an older one goes, and
// between the two files every entry is there, whole, the older ones in the moved file.
TEST(Log, AFullFileMovesAsideAndANewOneBegins) {
    testsupport::TempDir dir;
    const std::string path = dir.file("log.txt");
    testsupport::WriteFile(path + ".1", "from a run long ago\n");
    boost::shared_ptr<ThreadSafeLog> log = Open(path);
    ASSERT_TRUE(log);
    const int threadCount = 4, entries = 800;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < entries; ++i)
                log->Log(std::to_string(i) + " " + std::string(4000, static_cast<char>('a' + t)), "src.cpp", t);
        });
    }
    for (std::thread& thread : threads) thread.join();

    const std::string older = testsupport::ReadFile(path + ".1");
    const std::string newer = testsupport::ReadFile(path);
    EXPECT_LE(older.size(), ThreadSafeLog::kRotateAtBytes);
    EXPECT_GT(older.size(), ThreadSafeLog::kRotateAtBytes - 8192);  // moved only when nearly full
    EXPECT_LE(newer.size(), ThreadSafeLog::kRotateAtBytes);
    EXPECT_GT(newer.size(), 0u);
    EXPECT_EQ(std::string::npos, older.find("long ago"));

    std::regex entry(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] src\.cpp\((\d)\): (\d+) ([a-d]+)$)");
    std::map<int, std::vector<int>> seen;  // per thread, its entry numbers, the older file first
    for (const std::string* text : {&older, &newer}) {
        for (const std::string& line : Lines(*text)) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, entry)) << line.substr(0, 80);
            const int t = std::stoi(match[1].str());
            ASSERT_EQ(4000u, match[3].length());
            ASSERT_EQ(std::string::npos, match[3].str().find_first_not_of(char('a' + t)));
            seen[t].push_back(std::stoi(match[2].str()));
        }
    }
    for (int t = 0; t < threadCount; ++t) {
        ASSERT_EQ(size_t(entries), seen[t].size()) << "thread " << t;
        for (int i = 0; i < entries; ++i) ASSERT_EQ(i, seen[t][i]) << "thread " << t;
    }

    // Two writers of one file: the second follows the first to the new file instead of moving it aside
    // over the older one.
    log.reset();
    testsupport::WriteFile(path, std::string(ThreadSafeLog::kRotateAtBytes - 10, 'x'));
    boost::shared_ptr<ThreadSafeLog> one = Open(path), two = Open(path);
    one->Log("moves the full file aside", "src.cpp", 1);
    two->Log("follows it", "src.cpp", 2);
    EXPECT_EQ(ThreadSafeLog::kRotateAtBytes - 10, testsupport::ReadFile(path + ".1").size());
    const std::string both = testsupport::ReadFile(path);
    EXPECT_NE(std::string::npos, both.find("moves the full file aside"));
    EXPECT_NE(std::string::npos, both.find("follows it"));
    one.reset();
    two.reset();

    // A log opened on a full file moves it aside before its first entry.
    testsupport::WriteFile(path, std::string(ThreadSafeLog::kRotateAtBytes, 'x'));
    log = Open(path);
    log->Log("first of the new file", "src.cpp", 1);
    EXPECT_EQ(ThreadSafeLog::kRotateAtBytes, testsupport::ReadFile(path + ".1").size());
    EXPECT_NE(std::string::npos, testsupport::ReadFile(path).find("first of the new file"));
    EXPECT_LT(testsupport::ReadFile(path).size(), 200u);
}

}  // namespace
