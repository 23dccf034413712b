// The master-server client against a stand-in master server on loopback: register and announce with
// their key rules, the connection e-mail's request, the issue report's body byte for byte, and the
// time bounds of a server that stops answering.
#include "network/ExternalDataServiceManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <stdexcept>
#include <thread>

#include "core/Log.h"
#include "core/State.h"
#include "kivlib/kiv_http.h"
#include "kivlib/kiv_text.h"
#include "support/FakeMasterServer.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::FakeMasterServer;
using testsupport::MasterReply;
using testsupport::MasterRequest;
using Clock = std::chrono::steady_clock;

const char* const kUnknownKey = "0, No server found for key";

std::string LogText() { return testsupport::ReadFile(kivm::ToUTF8Ex(GetLogFilePath())); }

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class MasterClient : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = State::GetInstance(dir_.wpath());
        ASSERT_TRUE(state_);
        state_->SetHttpPort(8683);
    }

    // Starts the stand-in and points the client at it.
    void Serve(FakeMasterServer::Handler handler, int receiveBuffer = 0, int readPauseMs = 0) {
        address_.reset();  // the old value comes back first, then the new one is set
        master_.reset(new FakeMasterServer(std::move(handler), receiveBuffer, readPauseMs));
        address_.reset(new testsupport::ScopedEnvironment("CALVORO_MASTER_HOST", master_->Address()));
    }

    boost::shared_ptr<ExternalDataServiceManager> Manager() {
        return ExternalDataServiceManager::GetInstance(state_.get(), &connections_, &services_);
    }

    std::string Key() { return kivm::ToUTF8Ex(state_->GetLookupName()); }

    testsupport::TempDir dir_;
    boost::shared_ptr<State> state_;
    ExternalDataConnectionFactory connections_;
    ExternalDataServiceFactory services_;
    std::unique_ptr<FakeMasterServer> master_;
    std::unique_ptr<testsupport::ScopedEnvironment> address_;
};

TEST_F(MasterClient, FirstContactRegistersAndStoresTheKey) {
    REQUIRE_ISOLATED_NETWORK();
    Serve([](const MasterRequest&) { return MasterReply::Ok("K7x-42"); });
    Manager()->CheckExternalAccess();

    EXPECT_EQ("K7x-42", Key());
    const std::vector<MasterRequest> requests = master_->Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET /server/register/?enabled=0&port=8683 HTTP/1.1\r\nHost: 127.0.0.1:" +
                  std::to_string(master_->Port()) + "\r\nUser-Agent: Calvoro",
              requests[0].head);
    EXPECT_NE(std::string::npos, LogText().find("New Announce key K7x-42"));
}

TEST_F(MasterClient, UnknownKeyRegistersAnewOnTheSameConnection) {
    REQUIRE_ISOLATED_NETWORK();
    state_->SetLookupName(L"old-key");
    state_->SetExternalAccess(true);
    state_->SetExternalPort(40123);  // a mapped port is what the server is told
    Serve([](const MasterRequest& request) {
        return MasterReply::Ok(request.target.find("old-key") != std::string::npos ? kUnknownKey : "new-key");
    });
    Manager()->CheckExternalAccess();

    EXPECT_EQ("new-key", Key());
    const std::vector<MasterRequest> requests = master_->Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("/server/register/old-key?enabled=1&port=40123", requests[0].target);
    EXPECT_EQ("/server/register/?enabled=1&port=40123", requests[1].target);
    EXPECT_EQ(1, requests[0].connection);
    EXPECT_EQ(1, requests[1].connection);
}

TEST_F(MasterClient, KnownKeyIsAnnouncedAndKept) {
    REQUIRE_ISOLATED_NETWORK();
    state_->SetLookupName(L"abc");
    Serve([](const MasterRequest&) { return MasterReply::Ok("abc"); });
    Manager()->CheckExternalAccess();
    EXPECT_EQ("abc", Key());
    ASSERT_EQ(1u, master_->Requests().size());
    EXPECT_EQ("/server/register/abc?enabled=0&port=8683", master_->Requests()[0].target);
}

TEST_F(MasterClient, FailedAnnounceKeepsTheKeyAndDoesNotRegister) {
    REQUIRE_ISOLATED_NETWORK();
    const std::vector<std::pair<MasterReply, std::string>> cases = {
        {MasterReply::Status(500, "oops"), "Error announcing to server Unexpected result code: 500"},
        {MasterReply::Ok("something else"), "Error announcing to server Unknown server response: something else"},
        {MasterReply::Hangup(), "Error announcing to server Error getting HTTP headers"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.second);
        state_->SetLookupName(L"abc");
        Serve([&](const MasterRequest&) { return item.first; });
        Manager()->CheckExternalAccess();
        EXPECT_EQ("abc", Key());
        EXPECT_EQ(1u, master_->Requests().size());
        EXPECT_NE(std::string::npos, LogText().find(item.second));
    }
}

TEST_F(MasterClient, RegisterReplyThatIsNoKeyLeavesTheOldKey) {
    REQUIRE_ISOLATED_NETWORK();
    const std::vector<std::string> replies = {
        "", "two words", "a/b", "a?b", "a#b", "50%", "x&y", std::string(65, 'k'), "caf\xc3\xa9", "tab\there",
    };
    for (const std::string& reply : replies) {
        SCOPED_TRACE(reply);
        state_->SetLookupName(L"old");
        Serve([&](const MasterRequest& request) {
            return MasterReply::Ok(request.target.find("/old?") != std::string::npos ? kUnknownKey : reply);
        });
        Manager()->CheckExternalAccess();
        EXPECT_EQ("old", Key());
        EXPECT_EQ(2u, master_->Requests().size());
    }
    // The longest key that is one is stored.
    state_->SetLookupName(L"");
    Serve([](const MasterRequest&) { return MasterReply::Ok(std::string(64, 'k')); });
    Manager()->CheckExternalAccess();
    EXPECT_EQ(std::string(64, 'k'), Key());
}

TEST_F(MasterClient, ConnectionEmailQueryIsEncodedExceptTheAmpersand) {
    REQUIRE_ISOLATED_NETWORK();
    Serve([](const MasterRequest&) { return MasterReply::Ok("queued"); });
    Manager()->SendConnectionAssistEmail("192.168.1.20", "8683", "Ann O'Neil+tv&home@example.com\r\nX: y#f%");
    ASSERT_EQ(1u, master_->Requests().size());
    EXPECT_EQ("GET /server/send_manual_connect_email?ip=192.168.1.20&port=8683"
              "&email=Ann%20O%27Neil%2Btv&home@example.com%0D%0AX%3A%20y%23f%25 HTTP/1.1\r\nHost: 127.0.0.1:" +
                  std::to_string(master_->Port()) + "\r\nUser-Agent: Calvoro",
              master_->Requests()[0].head);
    EXPECT_NE(std::string::npos, LogText().find("Sending Connection Assist Email"));
}

TEST_F(MasterClient, ConnectionEmailFailuresAreThrownWithTheirText) {
    REQUIRE_ISOLATED_NETWORK();
    Serve([](const MasterRequest&) { return MasterReply::Status(404, "no"); });
    try {
        Manager()->SendConnectionAssistEmail("Unknown", "8683", "a@b.c");
        FAIL() << "no failure";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("Unexpected result code: 404", error.what());
    }
    // No server at all: the connection cannot be made.
    master_.reset();
    address_.reset();
    address_.reset(new testsupport::ScopedEnvironment("CALVORO_MASTER_HOST",
                                                      "127.0.0.1:" + std::to_string(testsupport::FreePort())));
    try {
        Manager()->SendConnectionAssistEmail("Unknown", "8683", "a@b.c");
        FAIL() << "no failure";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("OpenConnection failed", error.what());
    }
}

// A server that accepts and then says nothing, or stops half way through its body, holds the caller
// no longer than the head wait (5 s) or the body wait (5 s); the upper margin allows for a loaded machine.
TEST_F(MasterClient, SilentServerFailsWithinTheBounds) {
    REQUIRE_ISOLATED_NETWORK();
    const std::vector<std::pair<MasterReply, std::string>> cases = {
        {MasterReply::NoReply(), "Error getting HTTP headers"},
        {MasterReply::Raw("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"), "Error trying to get 'server code'"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.second);
        Serve([&](const MasterRequest&) { return item.first; });
        const Clock::time_point start = Clock::now();
        try {
            Manager()->SendConnectionAssistEmail("10.0.0.2", "8683", "a@b.c");
            FAIL() << "no failure";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(item.second, error.what());
        }
        const double seconds = SecondsSince(start);
        EXPECT_GE(seconds, 4.9);
        EXPECT_LT(seconds, 20.0);
    }
}

// A server that never stops sending (trailer lines after a key, or interim replies) is cut off at the
// client's caps at once: the contact fails as any broken reply does, no key is stored, and the memory
// holds no more than the caps.
TEST_F(MasterClient, AServerThatNeverStopsSendingIsCutOffAtTheCaps) {
    REQUIRE_ISOLATED_NETWORK();
    const std::vector<std::pair<MasterReply, std::string>> cases = {
        {MasterReply::Flood("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nKEY\r\n0\r\n", "X-T: v\r\n"),
         "Error trying to get 'server code'"},
        {MasterReply::Flood("", "HTTP/1.1 100 Continue\r\n\r\n"), "Error getting HTTP headers"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.second);
        Serve([&](const MasterRequest&) { return item.first; });
        const long before = testsupport::ResidentKiB();
        Clock::time_point start = Clock::now();
        Manager()->CheckExternalAccess();
        EXPECT_LT(SecondsSince(start), 3.0);
        EXPECT_EQ("", Key());
        EXPECT_NE(std::string::npos, LogText().find("Register threw exception: " + item.second));
        // The panels' calls go through the same client.
        start = Clock::now();
        try {
            Manager()->SendConnectionAssistEmail("10.0.0.2", "8683", "a@b.c");
            FAIL() << "no failure";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(item.second, error.what());
        }
        EXPECT_LT(SecondsSince(start), 3.0);
        EXPECT_LT(testsupport::ResidentKiB() - before, 16 * 1024);
        EXPECT_LT(master_->FloodedBytes(), 64ull << 20);
    }
}

// The same streams paced so that no cap is reached: the head wait (interim replies included) and the
// body wait still end at their 5 s, and the worker's stop flag ends a contact within a fraction of that.
TEST_F(MasterClient, AServerThatKeepsSendingIsHeldToTheWaitsAndTheStop) {
    REQUIRE_ISOLATED_NETWORK();
    const std::vector<std::pair<MasterReply, std::string>> cases = {
        {MasterReply::Flood("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nKEY\r\n0\r\n", "X-T: v\r\n", 5),
         "Error trying to get 'server code'"},
        {MasterReply::Flood("", "HTTP/1.1 100 Continue\r\n\r\n", 10), "Error getting HTTP headers"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.second);
        Serve([&](const MasterRequest&) { return item.first; });
        Clock::time_point start = Clock::now();
        try {
            Manager()->SendConnectionAssistEmail("10.0.0.2", "8683", "a@b.c");
            FAIL() << "no failure";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(item.second, error.what());
        }
        double seconds = SecondsSince(start);
        EXPECT_GE(seconds, 4.9);
        EXPECT_LT(seconds, 20.0);

        boost::shared_ptr<ExternalDataServiceManager> manager = Manager();
        std::atomic<bool> stop{false};
        manager->SetStopFlag(&stop);
        std::thread stopper([&] {
            std::this_thread::sleep_for(500ms);
            stop = true;
        });
        start = Clock::now();
        manager->CheckExternalAccess();
        seconds = SecondsSince(start);
        stopper.join();
        EXPECT_LT(seconds, 2.5);
        EXPECT_EQ("", Key());
        EXPECT_NE(std::string::npos, LogText().find("Register threw exception: " + item.second));
    }
}

TEST_F(MasterClient, OversizedReplyBodyIsRefused) {
    REQUIRE_ISOLATED_NETWORK();
    Serve([](const MasterRequest&) { return MasterReply::Ok(std::string(kiv_http::MaxBodyBytes + 1, 'k')); });
    state_->SetLookupName(L"abc");
    Manager()->CheckExternalAccess();
    EXPECT_EQ("abc", Key());
    EXPECT_NE(std::string::npos, LogText().find("Error announcing to server Error trying to get 'server code'"));
}

// Checks one report as the server received it: the announced length is N + d + e + 229 and the body
// is the three parts, the first N bytes of the log as it is now, and the closing delimiter.
void ExpectReportBody(const MasterRequest& request, const std::string& description, const std::string& email) {
    const ReportBody parts = BuildReportBody(description, email);
    EXPECT_EQ("POST /server/issue/ HTTP/1.1", request.head.substr(0, request.head.find("\r\n")));
    EXPECT_EQ("multipart/form-data; boundary=0xKhTmLbOuNdArY", request.Header("Content-Type"));
    const uint64_t length = std::stoull(request.Header("Content-Length"));
    ASSERT_EQ(length, request.body.size());
    ASSERT_GT(length, description.size() + email.size() + 229);
    const size_t fileSize = length - description.size() - email.size() - 229;
    const std::string log = LogText();
    ASSERT_GE(log.size(), fileSize);
    EXPECT_TRUE(request.body == parts.p1 + parts.p2 + parts.p3 + log.substr(0, fileSize) + "--0xKhTmLbOuNdArY\r\n");
    // The file sent ends with the system report and the line that announces the sending.
    EXPECT_NE(std::string::npos, log.substr(0, fileSize).rfind("Sending Report"));
}

TEST_F(MasterClient, ReportBodyIsExactlyTheAnnouncedBytesWhileTheLogGrows) {
    REQUIRE_ISOLATED_NETWORK();
    // A log of about 2 MB, read slowly by the server through a small buffer, so the upload takes a
    // while and its writes are partial; another thread keeps logging all the time.
    const std::string line(200, 'x');
    for (int i = 0; i < 10000; ++i) KIV_LOG(line);
    Serve([](const MasterRequest&) { return MasterReply::Ok(""); }, 16 * 1024, 1);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        while (!done) {
            KIV_LOG("a later line");
            std::this_thread::sleep_for(1ms);
        }
    });
    // A failed assertion below returns early: the writer must still be stopped and joined.
    struct StopWriter {
        std::atomic<bool>& done;
        std::thread& writer;
        ~StopWriter() {
            done = true;
            if (writer.joinable()) writer.join();
        }
    } stopWriter{done, writer};
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Streams stop after a minute", "Ann <ann@example.com>"}, {"", ""}, {"caf\xc3\xa9\r\n--0x", "x&y"}};
    for (size_t i = 0; i < cases.size(); ++i) {
        Manager()->SendReport(cases[i].first, cases[i].second);
        ASSERT_EQ(i + 1, master_->Requests().size());
    }
    done = true;
    writer.join();
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectReportBody(master_->Requests()[i], cases[i].first, cases[i].second);
    }
}

TEST_F(MasterClient, ReportAnsweredWithAnErrorStatusFails) {
    REQUIRE_ISOLATED_NETWORK();
    Serve([](const MasterRequest&) { return MasterReply::Status(500, "down"); });
    try {
        Manager()->SendReport("d", "e");
        FAIL() << "no failure";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("Unexpected result code: 500", error.what());
    }
    ASSERT_EQ(1u, master_->Requests().size());
    ExpectReportBody(master_->Requests()[0], "d", "e");
}

// A stream that takes at most `most` bytes per write, or nothing at all, and answers with a canned reply.
class ScriptedStream : public INonblockingStream {
public:
    explicit ScriptedStream(size_t most) : most_(most) {}
    net_result Read(void* buffer, size_t capacity, size_t& count, uint32_t) override {
        count = std::min(capacity, reply.size());
        if (count == 0) return NET_WOULDBLOCK;
        reply.copy(static_cast<char*>(buffer), count);
        reply.erase(0, count);
        return NET_OK;
    }
    net_result Write(const void* bytes, size_t length, size_t& written, uint32_t) override {
        written = std::min(length, most_);
        if (written == 0) return NET_WOULDBLOCK;
        sent.append(static_cast<const char*>(bytes), written);
        ++writes;
        return NET_OK;
    }
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    std::string sent;
    int writes = 0;

private:
    size_t most_;
};

TEST(MasterReport, PartialWritesContinueWithTheRestOfTheBlock) {
    testsupport::TempDir dir;
    std::string file;
    for (int i = 0; i < 3000; ++i) file += static_cast<char>('a' + i % 26);  // not a multiple of a block
    testsupport::WriteFile(dir.file("log.txt"), file);
    ScriptedStream stream(1000);
    boost::shared_ptr<kiv_http> http = kiv_http::GetInstance(&stream, "Calvoro");
    boost::shared_ptr<IExternalDataService> service = ExternalDataService::GetInstance(http.get());
    // The system report goes into the process log, not into this file, so the file is sent as it is.
    service->SendReport(dir.file("log.txt"), "desc", "mail");

    const size_t headEnd = stream.sent.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, headEnd);
    const ReportBody parts = BuildReportBody("desc", "mail");
    EXPECT_EQ(parts.p1 + parts.p2 + parts.p3 + file + parts.delimiter, stream.sent.substr(headEnd + 4));
    EXPECT_NE(std::string::npos, stream.sent.find("\r\nContent-Length: " + std::to_string(3000 + 4 + 4 + 229) + "\r\n"));
    EXPECT_GT(stream.writes, 6);
}

TEST(MasterReport, AWriteThatTakesNothingFailsTheReport) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("log.txt"), "line\n");
    ScriptedStream stream(0);
    boost::shared_ptr<kiv_http> http = kiv_http::GetInstance(&stream, "Calvoro");
    boost::shared_ptr<IExternalDataService> service = ExternalDataService::GetInstance(http.get());
    EXPECT_THROW(service->SendReport(dir.file("log.txt"), "d", "e"), std::runtime_error);
    try {
        service->SendReport(dir.file("missing.txt"), "d", "e");
        FAIL() << "no failure";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ("Cannot open " + dir.file("missing.txt"), error.what());
    }
}

TEST(MasterAddress, OverrideTakesHostAndPort) {
    struct Case {
        std::string text;
        bool ok;
        std::string host;
        int port;
        std::string header;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1:8080", true, "127.0.0.1", 8080, "127.0.0.1:8080"},
        {"master.example", true, "master.example", 80, "master.example"},
        {"[::1]:81", true, "::1", 81, "[::1]:81"},
        {"host:0", false, "", 80, ""},
        {"host:65536", false, "", 80, ""},
        {"host:", false, "", 80, ""},
        {"host:12x", false, "", 80, ""},
        {"a b:80", false, "", 80, ""},
        {"", false, "", 80, ""},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.text);
        MasterServerAddress address;
        EXPECT_EQ(item.ok, ParseMasterServerAddress(item.text, address));
        EXPECT_EQ(item.host, address.host);
        if (item.ok) {
            EXPECT_EQ(item.port, address.port);
            EXPECT_EQ(item.header, address.HostHeader());
        }
    }
    // A malformed override contacts nothing rather than the built-in host (were that to regress, only
    // inside a namespace of loopback alone).
    REQUIRE_ISOLATED_NETWORK();
    testsupport::ScopedEnvironment bad("CALVORO_MASTER_HOST", "not a host");
    EXPECT_TRUE(GetMasterServerAddress().host.empty());
    ExternalDataConnectionFactory connections;
    EXPECT_FALSE(connections.OpenConnection());
}

TEST(MasterManager, NeedsAllThreeParts) {
    ExternalDataConnectionFactory connections;
    ExternalDataServiceFactory services;
    testsupport::TempDir dir;
    boost::shared_ptr<State> state = State::GetInstance(dir.wpath());
    EXPECT_FALSE(ExternalDataServiceManager::GetInstance(nullptr, &connections, &services));
    EXPECT_FALSE(ExternalDataServiceManager::GetInstance(state.get(), nullptr, &services));
    EXPECT_FALSE(ExternalDataServiceManager::GetInstance(state.get(), &connections, nullptr));
    EXPECT_TRUE(ExternalDataServiceManager::GetInstance(state.get(), &connections, &services));
}

}  // namespace
