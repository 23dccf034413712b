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

// Appended bytes keep their lines, each marked so that none passes for an entry, with control bytes
// escaped; an entry after bytes that did not end their line begins a line of its own.
TEST(Log, AppendsToAnExistingFileAndBufferLinesAreMarked) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("log.txt"), "earlier run\n");
    boost::shared_ptr<ThreadSafeLog> log = Open(dir.file("log.txt"));
    ASSERT_TRUE(log);
    const std::string raw = std::string("raw\0", 4) + "bytes\n2026-01-01 00:00:00.000 [1] .\\main(1): forged\rno line feed";
    log->LogBuffer(raw.data(), raw.size());
    log->Log("after", "x.cpp", 1);
    std::string text = testsupport::ReadFile(dir.file("log.txt"));
    const std::string marked = "| raw\\x00bytes\n| 2026-01-01 00:00:00.000 [1] .\\main(1): forged\\rno line feed\n";
    ASSERT_EQ(0u, text.find("earlier run\n" + marked)) << text;
    EXPECT_TRUE(std::regex_match(text.substr(12 + marked.size()), std::regex(R"(\d{4}-[^\n]* x\.cpp\(1\): after\n)")))
        << text;
}

// Text from outside in a message never ends its entry early nor writes a line of its own, and the
// file stays valid UTF-8 whatever bytes came.
TEST(Log, AMessageIsOneLineOfValidUtf8WhateverItHolds) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"K\nFAKE LOG LINE: Shutdown Event Detected", "K\\nFAKE LOG LINE: Shutdown Event Detected"},
        {std::string("a\r\0b\x1b[2J\x7f", 9), "a\\r\\x00b\\x1B[2J\\x7F"},
        {"bad \xff\xc3 utf-8 \xed\xa0\x80", "bad \xEF\xBF\xBD\xEF\xBF\xBD utf-8 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"caf\xc3\xa9 \xc2\x85next\xe2\x80\xa8line\ttab", "caf\xc3\xa9 \\u0085next\\u2028line\\ttab"},
        {"ends its line\n", "ends its line"},
        {"two\n\n", "two\\n"},
        {"back\\slash", "back\\slash"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.second);
        testsupport::TempDir dir;
        boost::shared_ptr<ThreadSafeLog> log = Open(dir.file("log.txt"));
        ASSERT_TRUE(log);
        log->Log(item.first, "x.cpp", 7);
        const std::string text = testsupport::ReadFile(dir.file("log.txt"));
        EXPECT_TRUE(kivm::IsValidUtf8(text));
        ASSERT_EQ(1u, Lines(text).size()) << text;
        EXPECT_EQ(text.size() - 1, text.find('\n'));
        const std::string tail = "x.cpp(7): " + item.second + "\n";
        ASSERT_GE(text.size(), tail.size());
        EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
    }
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
    std::regex entry(R"(^(\| raw |\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] src\.cpp\((\d)\): )([a-h]+)$)");
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
