// The real server over a seeded state.xml: what it loads it writes back at shutdown, and a kill at any
// moment of a save leaves a state.xml that parses.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/HttpTestClient.h"
#include "e2e/E2eServer.h"
#include "kivlib/kiv_xml.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::ServerProcess;
using testsupport::TempDir;

namespace {

// Element names and texts in document order, one line each: layout and escaping aside, two files with
// the same flattening hold the same state.
void Flatten(const xml_element& element, int depth, std::string& out) {
    out += std::string(static_cast<size_t>(depth), ' ') + element.name + "=" + element.text + "\n";
    for (const auto& child : element.children) Flatten(child, depth + 1, out);
}

bool ParseState(const std::string& text, std::string& flat, std::string& error) {
    kiv_xml parser;
    if (!parser.parse(text.data(), text.size(), error)) return false;
    flat.clear();
    Flatten(*parser.get_parsed_element(), 0, flat);
    return true;
}

std::string SeededState(const std::string& moviesFolder, const std::string& showsFolder, const std::string& cache,
                        int port) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\"?>\n<CalvoroState>\n"
        << "  <VideoFolders>\n"
        << "    <Folder><Path>" << moviesFolder << "</Path><Alias>Filme &amp; Serien</Alias></Folder>\n"
        << "    <Folder><Path>" << showsFolder << "</Path><Alias>Shows</Alias></Folder>\n"
        << "  </VideoFolders>\n"
        << "  <Authorized><UniqueID>device-0042-\xc3\xa9</UniqueID></Authorized>\n"
        << "  <FinishedConv>\n    <Entry><DstVirtualPath>/video/cache/a.mp4</DstVirtualPath>"
        << "<SrcVirtualPath>Shows/a.mkv</SrcVirtualPath><TotalBytes>6000000000</TotalBytes>"
        << "<FilePath>" << cache << "/offline/a.mp4</FilePath><ClientIdentifier>c1</ClientIdentifier></Entry>\n"
        << "  </FinishedConv>\n"
        << "  <HttpPort>" << port << "</HttpPort>\n"
        << "  <CacheFolder>" << cache << "</CacheFolder>\n"
        << "  <ExternalAccess>1</ExternalAccess>\n"
        << "  <LookupName>lookup-key-7</LookupName>\n"
        << "  <UpnpEnabled>0</UpnpEnabled>\n"
        << "  <StartAtLogin>1</StartAtLogin>\n"
        << "  <DoNotShowBonjourLink>1</DoNotShowBonjourLink>\n"
        << "  <SDCorePercent>30</SDCorePercent>\n"
        << "  <HDCorePercent>60</HDCorePercent>\n"
        << "  <CCorePercent>90</CCorePercent>\n"
        << "  <ShowAllConversions>1</ShowAllConversions>\n"
        << "</CalvoroState>\n";
    return xml.str();
}

class StateFileE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        mkdir(data().c_str(), 0700);
        for (const char* name : {"/Filme", "/Shows", "/cache"}) mkdir((media.path() + name).c_str(), 0700);
    }
    std::string data() const { return home.path() + "/Calvoro"; }
    TempDir home;
    TempDir media;
};

TEST_F(StateFileE2eTest, ServerWritesBackTheStateItLoaded) {
    const std::string seeded = SeededState(media.path() + "/Filme", media.path() + "/Shows", media.path() + "/cache",
                                           testsupport::FreePort());
    testsupport::WriteFile(data() + "/state.xml", seeded);

    ServerProcess server(home.path());
    ASSERT_TRUE(server.Start({"-s"}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 30s)) << server.LogText();
    server.Signal(SIGTERM);
    ASSERT_TRUE(server.WaitExit(30s));

    std::string expected, written, error;
    ASSERT_TRUE(ParseState(seeded, expected, error)) << error;
    ASSERT_TRUE(ParseState(testsupport::ReadFile(data() + "/state.xml"), written, error)) << error;
    EXPECT_EQ(written, expected);
}

// A state big enough that writing it takes a while, so some of the kills land inside a save.
std::string LargeState(const std::string& cache, int port) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\"?>\n<CalvoroState><VideoFolders/><Authorized>";
    for (int i = 0; i < 20000; ++i) xml << "<UniqueID>device-" << i << "-&lt;&amp;&gt;-\xe2\x82\xac</UniqueID>";
    xml << "</Authorized><FinishedConv>";
    for (int i = 0; i < 20000; ++i)
        xml << "<Entry><DstVirtualPath>/video/cache/" << i << ".mp4</DstVirtualPath><SrcVirtualPath>S/" << i
            << ".mkv</SrcVirtualPath><TotalBytes>" << (5000000000ull + static_cast<unsigned long long>(i))
            << "</TotalBytes><FilePath>" << cache << "/offline/" << i << ".mp4</FilePath>"
            << "<ClientIdentifier>c</ClientIdentifier></Entry>";
    xml << "</FinishedConv><HttpPort>" << port << "</HttpPort><CacheFolder>" << cache
        << "</CacheFolder></CalvoroState>\n";
    return xml.str();
}

TEST_F(StateFileE2eTest, KillDuringTheShutdownSaveLeavesAParseableStateFile) {
    const std::string seeded = LargeState(media.path() + "/cache", testsupport::FreePort());
    testsupport::WriteFile(data() + "/state.xml", seeded);
    {
        // One clean run first, so the file on disk is the server's own writing of this state: every
        // later save writes the same content again.
        ServerProcess server(home.path());
        ASSERT_TRUE(server.Start({"-s"}));
        ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 20s)) << server.LogText();
        server.Signal(SIGTERM);
        ASSERT_TRUE(server.WaitExit(30s));
    }
    std::string expected, error;
    ASSERT_TRUE(ParseState(testsupport::ReadFile(data() + "/state.xml"), expected, error)) << error;
    ASSERT_NE(expected.find("device-19999-"), std::string::npos);

    // SIGTERM starts the shutdown, which saves twice; SIGKILL follows after a delay that sweeps the
    // span of those saves.
    for (int delayMs = 0; delayMs <= 360; delayMs += 20) {
        ServerProcess server(home.path());
        ASSERT_TRUE(server.Start({"-s"}));
        ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 20s)) << server.LogText();
        server.Signal(SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        server.Signal(SIGKILL);
        ASSERT_TRUE(server.WaitExit(5s));

        std::string flat;
        ASSERT_TRUE(ParseState(testsupport::ReadFile(data() + "/state.xml"), flat, error))
            << "state.xml does not parse after a kill " << delayMs << " ms into the shutdown: " << error;
        EXPECT_TRUE(flat == expected) << "content changed after a kill " << delayMs << " ms into the shutdown";
        std::remove((data() + "/CalvoroLog.txt").c_str());
    }
}

// A state.xml written by an earlier version may hold what XML 1.0 forbids (references to control
// characters, raw ones, U+FFFF, U+FFFE). The server reads it, and every reply built from it and the
// state.xml it writes back are read by a standard parser.
TEST_F(StateFileE2eTest, AStoredStateHoldingWhatXmlForbidsGivesCleanRepliesAndFile) {
    const std::string bad = "a&#1;b&#x7f;c&#xFFFF;d\x02" "e\xEF\xBF\xBE";
    const std::string clean = "a\xEF\xBF\xBD" "b\x7f" "c\xEF\xBF\xBD" "d\xEF\xBF\xBD" "e\xEF\xBF\xBD";
    const std::string cache = media.path() + "/cache";
    const int port = testsupport::FreePort();
    mkdir((cache + "/offline").c_str(), 0700);
    testsupport::WriteFile(cache + "/offline/x.mp4", "converted");  // the finished conversion's file
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\"?>\n<CalvoroState>\n"
        << "<VideoFolders><Folder><Path>" << media.path() << "/Filme</Path><Alias>Filme</Alias></Folder></VideoFolders>\n"
        << "<Authorized><UniqueID>plain-device</UniqueID><UniqueID>dev" << bad << "</UniqueID></Authorized>\n"
        << "<FinishedConv><Entry><DstVirtualPath>/video/cache/offline/x.mp4</DstVirtualPath>"
        << "<SrcVirtualPath>Filme/x" << bad << ".mp4</SrcVirtualPath><TotalBytes>9</TotalBytes>"
        << "<FilePath>" << cache << "/offline/x.mp4</FilePath><ClientIdentifier>" << bad
        << "</ClientIdentifier></Entry></FinishedConv>\n"
        << "<HttpPort>" << port << "</HttpPort><CacheFolder>" << cache << "</CacheFolder><LookupName>" << bad
        << "</LookupName><UpnpEnabled>0</UpnpEnabled>\n</CalvoroState>\n";
    testsupport::WriteFile(data() + "/state.xml", xml.str());
    ASSERT_NE("", testsupport::XmlLintComplaint(xml.str())) << "the seeded file holds what XML forbids";

    ServerProcess server(home.path());
    ASSERT_TRUE(e2etest::StartServing(server, port)) << server.LogText();
    const std::string session = e2etest::PairedSession(port, "plain-device");
    ASSERT_FALSE(session.empty());
    for (const std::string target : {"/video/convertstatus/", "/video/files/"}) {
        httptest::Connection client(port);
        const httptest::Reply reply = client.Request("GET " + target + "?SessionID=" + session +
                                                     " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
        ASSERT_EQ(200, reply.status) << target;
        EXPECT_EQ("", testsupport::XmlLintComplaint(reply.body)) << target << ": " << reply.body;
        if (target == "/video/convertstatus/") {
            EXPECT_NE(std::string::npos, reply.body.find("<clientIdentifier>" + clean + "</clientIdentifier>")) << reply.body;
        }
    }
    server.Signal(SIGTERM);
    ASSERT_TRUE(server.WaitExit(30s));

    const std::string written = testsupport::ReadFile(data() + "/state.xml");
    EXPECT_EQ("", testsupport::XmlLintComplaint(written)) << written;
    EXPECT_NE(std::string::npos, written.find("<LookupName>" + clean + "</LookupName>")) << written;
    EXPECT_NE(std::string::npos, written.find("<ClientIdentifier>" + clean + "</ClientIdentifier>")) << written;
    EXPECT_NE(std::string::npos, written.find("<UniqueID>dev" + clean + "</UniqueID>")) << written;
}

// A state file that cannot be read names no finished conversion, so the start-up clean-up of the offline
// folder must not take the user's converted videos for leftovers.
TEST_F(StateFileE2eTest, AnUnreadableStateFileLeavesTheConvertedVideosInPlace) {
    testsupport::WriteFile(data() + "/state.xml", "<CalvoroState><VideoFolders>");
    mkdir((data() + "/cache").c_str(), 0700);
    mkdir((data() + "/cache/offline").c_str(), 0700);
    testsupport::WriteFile(data() + "/cache/offline/converted.mp4", "a converted video");

    ServerProcess server(home.path());
    ASSERT_TRUE(server.Start({"-s"}));
    ASSERT_TRUE(server.WaitForLog("Bonjour Check Complete", 30s)) << server.LogText();
    EXPECT_TRUE(testsupport::PathExists(data() + "/cache/offline/converted.mp4")) << server.LogText();
    server.Signal(SIGTERM);
    ASSERT_TRUE(server.WaitExit(30s));
}

}  // namespace
