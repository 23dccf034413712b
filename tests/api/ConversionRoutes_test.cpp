// "/video/convert/", "/video/convertstatus/", "/video/convertcancel/" and "/video/convertdelete/" through
// the request loop on loopback, with a queue that records what it is asked and lists set rows.
#include <gtest/gtest.h>

#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include "RouteTestSupport.h"
#include "api/StreamRequest.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"
#include "media/FfmpegMetadataParser.h"
#include "media/IOfflineTranscode.h"

namespace {

using routetest::ErrorMsg;
using routetest::SuccessMsg;

class RecordingQueue : public IOfflineTranscode {
public:
    bool Enqueue(const std::string& src, const std::string& dst, const TranscodeParams& params) override {
        if (refuse) return false;
        jobs.push_back(OfflineJob{params, src, dst});
        return true;
    }
    bool Pump() override { return false; }
    std::list<ConversionStatus> GetConversions() override { return rows; }
    void Cancel(const std::wstring& src) override { cancelled.push_back(src); }

    bool refuse = false;
    std::vector<OfflineJob> jobs;
    std::list<ConversionStatus> rows;
    std::vector<std::wstring> cancelled;
};

// The texts of one element's children by name, for each convertVideo row.
std::vector<std::map<std::string, std::string>> StatusRows(const std::string& xml) {
    kiv_xml parser;
    std::string error;
    EXPECT_TRUE(parser.parse(xml.data(), xml.size(), error)) << error << xml;
    std::vector<std::map<std::string, std::string>> rows;
    const boost::shared_ptr<xml_element> root = parser.get_parsed_element();
    if (!root) return rows;
    EXPECT_EQ("Calvoro", root->name);
    const xml_element* files = kiv_xml::find_child(*root, "files", false);
    EXPECT_TRUE(files) << xml;
    if (!files) return rows;
    for (const xml_element& row : files->children) {
        EXPECT_EQ("convertVideo", row.name);
        std::map<std::string, std::string> fields;
        std::string order;
        for (const xml_element& child : row.children) {
            fields[child.name] = child.text;
            order += child.name + ",";
        }
        fields["(order)"] = order;
        rows.push_back(fields);
    }
    return rows;
}

class ConversionRoutes : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ISOLATED_NETWORK();
        server.services.context.OfflineTranscode = &queue;
        movies = server.ShareMoviesWithRealProbe();
        testsupport::WriteFile(movies + "/film.avi", "not really a video");
        cache = kivm::ToUTF8Ex(server.services.state->GetCacheFolder());
        ASSERT_TRUE(server.Start());
        session = server.Pair(L"convert-device");
    }
    httptest::Reply Convert(const std::string& rest, const std::string& body) {
        return server.Request("POST", "/video/convert/" + rest, session, "Host: 127.0.0.1\r\n", body);
    }
    httptest::Reply Status() { return server.Get("/video/convertstatus/", session, ""); }

    RecordingQueue queue;
    routetest::Server server;
    std::string movies, cache;
    uint64_t session = 0;
};

TEST_F(ConversionRoutes, AConversionIsQueuedWithItsPathsAndThreadShare) {
    server.services.state->SetCCorePercent(25);
    const httptest::Reply reply =
        Convert("Movies/film.avi", "<Convert><ClientIdentifier>pad-7</ClientIdentifier><Streams Video=\"0\" Audio=\"1\"/>"
                                   "<Resolution width=\"480\" height=\"360\" aspect=\"1.5\"/></Convert>");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ(SuccessMsg("Success"), reply.body);
    ASSERT_EQ(1u, queue.jobs.size());
    const OfflineJob& job = queue.jobs[0];
    EXPECT_EQ("Movies/film.avi", job.SrcVirtualPath);
    EXPECT_EQ("/video/cache/offline/film.avi", job.DstVirtualPath);
    EXPECT_EQ(kivm::FromUTF8ExW(cache + "/offline/film.avi"), job.Params.OutputPath);
    EXPECT_EQ(kivm::FromUTF8ExW(movies + "/film.avi"), job.Params.InputPath);
    EXPECT_EQ(L"pad-7", job.Params.ClientIdentifier);
    EXPECT_EQ(480, job.Params.Width);
    EXPECT_EQ(1, job.Params.AudioIndex);
    EXPECT_EQ(ThreadsForShare(25, server.services.state->GetCpuCount()), job.Params.Threads);
    EXPECT_TRUE(std::filesystem::is_directory(cache + "/offline"));
}

TEST_F(ConversionRoutes, ConversionsItRefuses) {
    // Tracks left open on a file that is no video: its facts cannot be had.
    httptest::Reply reply = Convert("Movies/film.avi", "<Convert/>");
    EXPECT_EQ(404, reply.status);
    EXPECT_EQ(ErrorMsg("Cannot instantiate metaData - corrupt file?"), reply.body);
    queue.refuse = true;
    reply = Convert("Movies/film.avi", "<Convert><Streams Video=\"0\" Audio=\"1\"/><Resolution aspect=\"1\"/></Convert>");
    EXPECT_EQ(404, reply.status);
    EXPECT_EQ(ErrorMsg("Attempting to start offline conversion failed"), reply.body);
    reply = Convert("Movies/missing.avi", "<Convert/>");
    EXPECT_EQ(404, reply.status);
    EXPECT_EQ(ErrorMsg("Cannot open Movies/missing.avi"), reply.body);
    EXPECT_TRUE(queue.jobs.empty());
}

TEST_F(ConversionRoutes, TheStatusListsEveryRow) {
    EXPECT_TRUE(StatusRows(Status().body).empty());

    testsupport::WriteFile(cache + "/done.avi", std::string(1234, 'x'));
    ConversionStatus active;
    active.SrcVirtualPath = L"Movies/a.avi";
    active.ClientIdentifier = L"pad";
    active.state = Active;
    active.elapsedSeconds = 2.5;
    active.percentComplete = 40.96;
    ConversionStatus queued;
    queued.SrcVirtualPath = L"Movies/b.avi";
    queued.ClientIdentifier = L"phone";
    ConversionStatus finished;
    finished.SrcVirtualPath = L"Movies/done.avi";
    finished.FilePath = kivm::FromUTF8ExW(cache + "/done.avi");
    finished.DstVirtualPath = "/video/cache/offline/done.avi";
    finished.ClientIdentifier = L"pad";
    finished.state = Finished;
    finished.TotalBytes = 1234;
    queue.rows = {active, queued, finished};

    const httptest::Reply reply = server.Request("GET", "/video/convertstatus/", session, "Host: media.test:8683\r\n");
    ASSERT_EQ(200, reply.status) << reply.body;
    const auto rows = StatusRows(reply.body);
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("filename,date,clientIdentifier,status,elapsedSeconds,percentComplete,", rows[0].at("(order)"));
    EXPECT_EQ("/Movies/a.avi", rows[0].at("filename"));
    EXPECT_EQ("", rows[0].at("date"));
    EXPECT_EQ("Active", rows[0].at("status"));
    EXPECT_EQ("2.50", rows[0].at("elapsedSeconds"));
    EXPECT_EQ("40.96", rows[0].at("percentComplete"));
    EXPECT_EQ("filename,date,clientIdentifier,status,", rows[1].at("(order)"));
    EXPECT_EQ("Queued", rows[1].at("status"));
    EXPECT_EQ("phone", rows[1].at("clientIdentifier"));
    EXPECT_EQ("filename,date,clientIdentifier,status,URL,TotalBytes,", rows[2].at("(order)"));
    EXPECT_EQ("Finished", rows[2].at("status"));
    EXPECT_EQ("http://media.test:8683/video/cache/offline/done.avi", rows[2].at("URL"));
    EXPECT_EQ("1234", rows[2].at("TotalBytes"));
    EXPECT_EQ(server.services.fileMaker->GetModifiedTime(finished.FilePath), rows[2].at("date"));
    EXPECT_EQ(19u, rows[2].at("date").size());

    server.services.state->SetShowAllConversions(true);
    for (const auto& row : StatusRows(Status().body)) EXPECT_EQ("*", row.at("clientIdentifier"));
}

TEST_F(ConversionRoutes, TheStatusNeedsAHostAndItsWholePath) {
    httptest::Reply reply = server.Request("GET", "/video/convertstatus/", session, "");
    EXPECT_EQ(500, reply.status);
    EXPECT_EQ(ErrorMsg("Host not provided in HTTP request"), reply.body);
    reply = server.Get("/video/convertstatus/x", session);
    EXPECT_EQ(404, reply.status);
    EXPECT_EQ(ErrorMsg("Unknown GET URI"), reply.body);
}

TEST_F(ConversionRoutes, CancelNamesAConversionByItsSource) {
    ConversionStatus row;
    row.SrcVirtualPath = L"Movies/a b.avi";
    queue.rows = {row};
    httptest::Reply reply = server.Get("/video/convertcancel/Movies/a b.avi", session);
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("Deleted", reply.body);
    EXPECT_EQ(std::vector<std::wstring>{L"Movies/a b.avi"}, queue.cancelled);
    reply = server.Get("/video/convertcancel/Movies/other.avi", session);
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("Not found [Movies/other.avi]", reply.body);
    EXPECT_EQ(1u, queue.cancelled.size());
}

TEST_F(ConversionRoutes, DeleteRemovesTheFileAndTheEntryAndSaves) {
    std::filesystem::create_directories(cache + "/offline");
    testsupport::WriteFile(cache + "/offline/film.avi", "converted");
    FinishedConversion done;
    done.FilePath = kivm::FromUTF8ExW(cache + "/offline/film.avi");
    done.SrcVirtualPath = "Movies/film.avi";
    done.DstVirtualPath = "/video/cache/offline/film.avi";
    done.TotalBytes = 9;
    server.services.state->AddFinishedConversion(done);

    httptest::Reply reply = server.Get("/video/convertdelete//video/cache/offline/film.avi", session);
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("Deleted", reply.body);
    EXPECT_FALSE(testsupport::PathExists(cache + "/offline/film.avi"));
    EXPECT_TRUE(server.services.state->GetFinishedConversions().empty());
    const std::string saved = testsupport::ReadFile(kivm::ToUTF8Ex(server.services.DataFolder()) + "/state.xml");
    EXPECT_NE(std::string::npos, saved.find("CalvoroState"));
    EXPECT_EQ(std::string::npos, saved.find("film.avi"));

    reply = server.Get("/video/convertdelete//video/cache/offline/film.avi", session);
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("Not found [/video/cache/offline/film.avi]", reply.body);
}

}  // namespace
