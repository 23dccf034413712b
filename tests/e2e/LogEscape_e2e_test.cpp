// Text from outside in the real server's log and standard output: a register reply that holds line
// breaks, NUL and bytes that are not UTF-8 comes out as one escaped line, and a request with a 15 KB
// Range header writes a bounded, escaped couple of lines to standard output.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/HttpTestClient.h"
#include "e2e/E2eServer.h"
#include "kivlib/kiv_text.h"
#include "support/FakeMasterServer.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::FakeMasterServer;
using testsupport::MasterReply;
using testsupport::MasterRequest;

const char kDeviceId[] = "log-escape-device";
const std::string kForgedReply = std::string("K\nFAKE LOG LINE: Shutdown Event Detected\r") + '\0' + "\xff\xc3 end";
const char kForgedShown[] = "K\\nFAKE LOG LINE: Shutdown Event Detected\\r\\x00\xef\xbf\xbd\xef\xbf\xbd end";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Each line that holds needle; every other line is left out.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> found;
    for (const std::string& line : Lines(text)) {
        if (line.find(needle) != std::string::npos) found.push_back(line);
    }
    return found;
}

class LogEscapeE2e : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        master_.reset(new FakeMasterServer([](const MasterRequest&) { return MasterReply::Ok(kForgedReply); }));
        movies_ = home_.path() + "/share";
        std::filesystem::create_directories(movies_);
        testsupport::WriteFile(movies_ + "/clip.mp4", std::string(4000, 'v'));
        port_ = testsupport::FreePort();
        e2etest::SeedState(home_.path(), {{movies_, "Movies"}}, kDeviceId, port_);
        server_.reset(new testsupport::ServerProcess(home_.path()));
        server_->SetEnvironment("CALVORO_MASTER_HOST", master_->Address());
        ASSERT_TRUE(e2etest::StartServing(*server_, port_)) << server_->LogText();
        session_ = e2etest::PairedSession(port_, kDeviceId);
        ASSERT_FALSE(session_.empty());
    }

    testsupport::TempDir home_;
    std::unique_ptr<FakeMasterServer> master_;
    std::unique_ptr<testsupport::ServerProcess> server_;
    std::string movies_;
    int port_ = 0;
    std::string session_;
};

TEST_F(LogEscapeE2e, ARegisterReplyThatForgesALineIsOneEscapedLineAndTheLogStaysUtf8) {
    ASSERT_TRUE(master_->WaitForRequests(1, 60s)) << server_->LogText();
    ASSERT_TRUE(server_->WaitForLog("External data service returned no valid key", 20s)) << server_->LogText();
    const std::string log = server_->LogText();
    EXPECT_TRUE(kivm::IsValidUtf8(log));
    const std::vector<std::string> shown = LinesWith(log, "New Announce key ");
    ASSERT_EQ(1u, shown.size()) << log;
    EXPECT_NE(std::string::npos, shown[0].find(std::string("New Announce key ") + kForgedShown)) << shown[0];
    for (const std::string& line : Lines(log)) {
        EXPECT_NE(0u, line.find("FAKE LOG LINE")) << "a line of the reply's own";
        EXPECT_EQ(std::string::npos, line.find('\r'));
        EXPECT_EQ(std::string::npos, line.find('\0'));
    }
    // Standard output carries no text of the reply, and stays valid text too.
    EXPECT_TRUE(kivm::IsValidUtf8(server_->Stdout()));
    EXPECT_TRUE(LinesWith(server_->Stdout(), "FAKE LOG LINE").empty());
    EXPECT_TRUE(server_->Stdout().find('\0') == std::string::npos);
}

// A 15 KB Range header with a tab and bytes that are not UTF-8: the two console lines that quote it are
// escaped, cut at 1 KiB with its length noted, and the request writes at most 4 KiB to standard output.
TEST_F(LogEscapeE2e, ARequestWithAFifteenKilobyteHeaderWritesAtMostFourKibibytesToStandardOutput) {
    std::string range = "bytes=0-9,";
    while (range.size() < 15000) range += "1-2,\t\xff\xfe,";
    const std::string before = server_->Stdout();
    {
        httptest::Connection client(port_);
        const httptest::Reply reply = client.Request(
            httptest::Get("/video/direct/Movies/clip.mp4?SessionID=" + session_, "Range: " + range + "\r\n"), 20000);
        ASSERT_TRUE(reply.ok);
    }
    // Standard output is a pipe, written in blocks: what the request wrote is all there once the program ended.
    server_->Signal(SIGTERM);
    ASSERT_TRUE(server_->WaitExit(15s));
    const std::string after = server_->Stdout();
    ASSERT_GE(after.size(), before.size());
    const std::string added = after.substr(before.size());
    EXPECT_LE(added.size(), 4096u) << added.size() << " bytes";
    std::cout << "standard output of the request: " << added.size() << " bytes\n";
    EXPECT_TRUE(kivm::IsValidUtf8(added));
    const std::string note = " [... cut, " + std::to_string(range.size()) + " bytes in all]";
    const std::vector<std::string> quoted = LinesWith(added, "bytes=0-9,1-2,\\t\xef\xbf\xbd\xef\xbf\xbd,");
    ASSERT_EQ(2u, quoted.size()) << added.substr(0, 300);
    EXPECT_EQ(0u, quoted[0].find("/video/direct/ RANGE = bytes=0-9,"));
    EXPECT_EQ(0u, quoted[1].find("Sending direct file (range bytes=0-9,"));
    for (const std::string& line : quoted) {
        EXPECT_NE(std::string::npos, line.find(note)) << line.substr(0, 80);
        EXPECT_EQ(std::string::npos, line.find('\t'));
    }
}

}  // namespace
