// The offline conversion queue driven step by step, with stand-in transcoders whose behaviour each test
// sets, over real files in a temporary folder.
#include "media/OfflineTranscode.h"

#include <filesystem>
#include <list>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MediaFakes.h"
#include "MediaTestSupport.h"
#include "kivlib/kiv_text.h"

namespace {

using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// The state store's finished conversions and its saves.
class RecordingState : public mediatest::FakeState {
public:
    RecordingState() : FakeState(L"/nonexistent") {}
    std::list<FinishedConversion> GetFinishedConversions() override { return finished; }
    void AddFinishedConversion(const FinishedConversion& c) override { finished.push_back(c); }
    bool Save() override {
        ++saves;
        return true;
    }
    std::list<FinishedConversion> finished;
    int saves = 0;
};

// Writes what it is fed into the output file, as ffmpeg would write its conversion.
class FakeStdinRun : public ITranscodeFromStdin {
public:
    explicit FakeStdinRun(const TranscodeParams& p) : params(p) {}
    bool IsRunning() override { return running; }
    bool HasFailed() override { return failed; }
    void Write(const std::string& bytes) override {
        if (writeThrows) throw std::runtime_error("ffmpeg has gone away");
        fed += bytes;
        written += bytes.size();
        if (endAfterWrite) running = false;
    }
    uint32_t GetElapsedMs() override { return 2500; }
    void Finish() override {
        ++finishes;
        running = false;
        if (finishThrows) throw std::runtime_error("ffmpeg returned exit code: 1");
        if (makesOutput) WriteFile(kivm::ToUTF8Ex(params.OutputPath), fed);
    }
    uint64_t GetBytesWritten() override { return written; }

    TranscodeParams params;
    std::string fed;
    uint64_t written = 0;
    bool running = true, failed = false;
    bool writeThrows = false, finishThrows = false, endAfterWrite = false, makesOutput = true;
    int finishes = 0;
};

class FakeFileRun : public ITranscodeFileToFile {
public:
    explicit FakeFileRun(const TranscodeParams& p) : params(p) {
        WriteFile(kivm::ToUTF8Ex(params.OutputPath), "partial");
    }
    bool IsRunning() override { return running; }
    bool HasFailed() override { return failed; }
    void Poll() override {
        ++polls;
        if (polls >= pollsToEnd) running = false;
    }
    uint32_t GetElapsedMs() override { return 1500; }
    double GetProgress() override { return progress; }

    TranscodeParams params;
    bool running = true, failed = false;
    int polls = 0, pollsToEnd = 3;
    double progress = 0;
};

class FakeFactory : public ITranscodeFactory {
public:
    boost::shared_ptr<ITranscode> CreateTranscode(const TranscodeParams&, IState*) override {
        return boost::shared_ptr<ITranscode>();
    }
    boost::shared_ptr<ITranscodeFromStdin> CreateTranscodeFromStdin(const TranscodeParams& p) override {
        if (refuse) return boost::shared_ptr<ITranscodeFromStdin>();
        stdinRuns.push_back(boost::shared_ptr<FakeStdinRun>(new FakeStdinRun(p)));
        if (setUp) setUp(*stdinRuns.back());
        return stdinRuns.back();
    }
    boost::shared_ptr<ITranscodeFileToFile> CreateTranscodeFileToFile(const TranscodeParams& p) override {
        if (refuse) return boost::shared_ptr<ITranscodeFileToFile>();
        fileRuns.push_back(boost::shared_ptr<FakeFileRun>(new FakeFileRun(p)));
        return fileRuns.back();
    }
    bool refuse = false;
    std::function<void(FakeStdinRun&)> setUp;
    std::vector<boost::shared_ptr<FakeStdinRun>> stdinRuns;
    std::vector<boost::shared_ptr<FakeFileRun>> fileRuns;
};

class OfflineQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("offline"));
        queue = OfflineTranscode::GetInstance(&state, &factory, &files);
        ASSERT_TRUE(queue);
    }
    // A source file of the given size and a job for it; its output is offline/<name>.
    bool Add(const std::string& name, size_t bytes = 10000, const std::string& client = "pad") {
        WriteFile(dir.file(name), std::string(bytes, 'v'));
        TranscodeParams params;
        params.InputPath = W(dir.file(name));
        params.OutputPath = W(Output(name));
        params.ClientIdentifier = kivm::FromUTF8ExW(client);
        return queue->Enqueue("Clips/" + name, "/video/cache/offline/" + name, params);
    }
    std::string Output(const std::string& name) const { return dir.file("offline/" + name); }
    static std::wstring W(const std::string& s) { return kivm::FromUTF8ExW(s); }
    // Steps until the queue is empty (bounded); the number of steps.
    int RunAll() {
        int steps = 0;
        while (!queue->GetConversions().empty() && queue->GetConversions().front().state != Finished && steps < 10000) {
            queue->Pump();
            ++steps;
        }
        return steps;
    }
    std::vector<ConversionState> States() {
        std::vector<ConversionState> states;
        for (const ConversionStatus& row : queue->GetConversions()) states.push_back(row.state);
        return states;
    }

    TempDir dir;
    RecordingState state;
    FakeFactory factory;
    mediatest::FlakyFiles files;
    boost::shared_ptr<IOfflineTranscode> queue;
};

TEST(OfflineTranscodeMode, QuickTimeFamilyFilesRunFileToFile) {
    for (const wchar_t* path : {L"/v/a.MP4", L"/v/a.mov", L"/v/a.m4v", L"/v/a.3gp", L"/v/a.3G2"})
        EXPECT_TRUE(OfflineTranscode::RunsFileToFile(path)) << kivm::ToUTF8Ex(path);
    for (const wchar_t* path : {L"/v/a.avi", L"/v/a.mkv", L"/v/mp4", L"/v.mp4/a.ts"})
        EXPECT_FALSE(OfflineTranscode::RunsFileToFile(path)) << kivm::ToUTF8Ex(path);
}

TEST_F(OfflineQueueTest, AStdinJobIsFedBlockByBlockAndRecorded) {
    ASSERT_TRUE(Add("a.avi", 10000));
    EXPECT_EQ(std::vector<ConversionState>{Active}, States());
    EXPECT_EQ(0.0, queue->GetConversions().front().percentComplete);
    EXPECT_TRUE(queue->Pump());  // start
    EXPECT_TRUE(queue->Pump());  // 4096 bytes
    ConversionStatus active = queue->GetConversions().front();
    EXPECT_EQ(Active, active.state);
    EXPECT_DOUBLE_EQ(40.96, active.percentComplete);
    EXPECT_DOUBLE_EQ(2.5, active.elapsedSeconds);
    EXPECT_EQ(L"Clips/a.avi", active.SrcVirtualPath);
    EXPECT_EQ(L"pad", active.ClientIdentifier);
    EXPECT_TRUE(queue->Pump());   // 8192
    EXPECT_TRUE(queue->Pump());   // 10000
    EXPECT_FALSE(queue->Pump());  // end of input: finished
    ASSERT_EQ(1u, factory.stdinRuns.size());
    EXPECT_EQ(std::string(10000, 'v'), factory.stdinRuns[0]->fed);

    ASSERT_EQ(1u, state.finished.size());
    const FinishedConversion& done = state.finished.front();
    EXPECT_EQ(W(Output("a.avi")), done.FilePath);
    EXPECT_EQ("Clips/a.avi", done.SrcVirtualPath);
    EXPECT_EQ("/video/cache/offline/a.avi", done.DstVirtualPath);
    EXPECT_EQ(L"pad", done.ClientIdentifier);
    EXPECT_EQ(10000u, done.TotalBytes);
    EXPECT_EQ(1, state.saves);
    const std::list<ConversionStatus> rows = queue->GetConversions();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(Finished, rows.front().state);
    EXPECT_EQ(10000u, rows.front().TotalBytes);
    EXPECT_EQ("/video/cache/offline/a.avi", rows.front().DstVirtualPath);
    EXPECT_FALSE(queue->Pump());  // nothing left
}

TEST_F(OfflineQueueTest, AFileToFileJobIsPolledUntilItEnds) {
    ASSERT_TRUE(Add("b.MP4"));
    EXPECT_TRUE(queue->Pump());
    ASSERT_EQ(1u, factory.fileRuns.size());
    EXPECT_TRUE(factory.stdinRuns.empty());
    factory.fileRuns[0]->progress = 37.5;
    EXPECT_FALSE(queue->Pump());
    EXPECT_DOUBLE_EQ(37.5, queue->GetConversions().front().percentComplete);
    EXPECT_DOUBLE_EQ(1.5, queue->GetConversions().front().elapsedSeconds);
    factory.fileRuns[0]->progress = 180;  // a duration that was read too short
    EXPECT_DOUBLE_EQ(100.0, queue->GetConversions().front().percentComplete);
    factory.fileRuns[0]->progress = -3;
    EXPECT_DOUBLE_EQ(0.0, queue->GetConversions().front().percentComplete);
    EXPECT_FALSE(queue->Pump());
    EXPECT_FALSE(queue->Pump());  // third poll: ended
    ASSERT_EQ(1u, state.finished.size());
    EXPECT_EQ(7u, state.finished.front().TotalBytes);  // "partial"
}

TEST_F(OfflineQueueTest, ANameClashIsSettledWhenTheJobStarts) {
    ASSERT_TRUE(Add("c.mp4"));
    WriteFile(Output("c.mp4"), "older");
    WriteFile(Output("c.mp4.1"), "older");
    EXPECT_TRUE(queue->Pump());
    ASSERT_EQ(1u, factory.fileRuns.size());
    EXPECT_EQ(W(Output("c.mp4.2")), factory.fileRuns[0]->params.OutputPath);
    RunAll();
    ASSERT_EQ(1u, state.finished.size());
    EXPECT_EQ("/video/cache/offline/c.mp4.2", state.finished.front().DstVirtualPath);
    EXPECT_EQ("older", ReadFile(Output("c.mp4")));
}

TEST_F(OfflineQueueTest, CancelRemovesAQueuedJobAndStopsTheRunningOne) {
    ASSERT_TRUE(Add("d.avi"));
    ASSERT_TRUE(Add("e.avi"));
    ASSERT_TRUE(Add("e.avi"));  // the same source twice
    queue->Cancel(L"Clips/nothing.avi");
    EXPECT_EQ((std::vector<ConversionState>{Active, Queued, Queued}), States());
    queue->Cancel(L"Clips/e.avi");  // only the first of the two
    EXPECT_EQ((std::vector<ConversionState>{Active, Queued}), States());

    EXPECT_TRUE(queue->Pump());
    EXPECT_TRUE(queue->Pump());
    queue->Cancel(L"Clips/d.avi");
    EXPECT_FALSE(queue->Pump());  // stops at the next step
    EXPECT_EQ(1, factory.stdinRuns[0]->finishes);
    EXPECT_FALSE(PathExists(Output("d.avi")));
    EXPECT_TRUE(state.finished.empty());
    EXPECT_EQ(0, state.saves);

    // The next job is not touched by the earlier cancel.
    RunAll();
    ASSERT_EQ(1u, state.finished.size());
    EXPECT_EQ("Clips/e.avi", state.finished.front().SrcVirtualPath);
}

TEST_F(OfflineQueueTest, AFrontJobCancelledBeforeItsStartEndsAfterIt) {
    ASSERT_TRUE(Add("f.mov"));
    queue->Cancel(L"Clips/f.mov");
    EXPECT_TRUE(queue->Pump());  // starts regardless
    EXPECT_FALSE(queue->Pump());
    EXPECT_TRUE(queue->GetConversions().empty());
    EXPECT_FALSE(PathExists(Output("f.mov")));
    EXPECT_TRUE(state.finished.empty());
}

TEST_F(OfflineQueueTest, FailuresLeaveTheQueueAndDeleteTheOutput) {
    struct Case {
        const char* name;
        std::function<void(FakeStdinRun&)> setUp;
    } cases[] = {
        {"write.avi", [](FakeStdinRun& r) { r.writeThrows = true; }},
        {"finish.avi", [](FakeStdinRun& r) { r.finishThrows = true; }},
        {"gone.avi", [](FakeStdinRun& r) { r.endAfterWrite = true; }},
    };
    for (const Case& c : cases) {
        // ffmpeg has begun its output when the failure comes.
        factory.setUp = [&c](FakeStdinRun& r) {
            c.setUp(r);
            WriteFile(kivm::ToUTF8Ex(r.params.OutputPath), "partial output");
        };
        ASSERT_TRUE(Add(c.name));
        RunAll();
        EXPECT_TRUE(queue->GetConversions().empty()) << c.name;
        EXPECT_FALSE(PathExists(Output(c.name))) << c.name;
    }
    EXPECT_TRUE(state.finished.empty());
}

TEST_F(OfflineQueueTest, AJobThatCannotStartDoesNotBlockTheNext) {
    factory.refuse = true;
    ASSERT_TRUE(Add("g.avi"));
    ASSERT_TRUE(Add("h.avi"));
    files.undeletable.insert(L"g.avi");  // its deletion fails and is only logged
    EXPECT_FALSE(queue->Pump());
    EXPECT_EQ(std::vector<ConversionState>{Active}, States());
    factory.refuse = false;
    RunAll();
    ASSERT_EQ(1u, state.finished.size());
    EXPECT_EQ("Clips/h.avi", state.finished.front().SrcVirtualPath);
}

TEST_F(OfflineQueueTest, AnUnreadableSourceFailsTheJob) {
    TranscodeParams params;
    params.InputPath = W(dir.file("missing.avi"));
    params.OutputPath = W(Output("missing.avi"));
    ASSERT_TRUE(queue->Enqueue("Clips/missing.avi", "/video/cache/offline/missing.avi", params));
    EXPECT_FALSE(queue->Pump());
    EXPECT_TRUE(queue->GetConversions().empty());

    // A source whose reading fails half way (a folder cannot be read as a file).
    std::filesystem::create_directories(dir.file("folder.avi"));
    params.InputPath = W(dir.file("folder.avi"));
    ASSERT_TRUE(queue->Enqueue("Clips/folder.avi", "/video/cache/offline/folder.avi", params));
    EXPECT_LT(RunAll(), 5);
    EXPECT_TRUE(queue->GetConversions().empty());
    EXPECT_TRUE(state.finished.empty());
}

TEST_F(OfflineQueueTest, AnEmptySourceEndsAtItsFirstFeedingStep) {
    ASSERT_TRUE(Add("empty.avi", 0));
    EXPECT_TRUE(queue->Pump());
    EXPECT_EQ(0.0, queue->GetConversions().front().percentComplete);
    EXPECT_FALSE(queue->Pump());
    ASSERT_EQ(1u, state.finished.size());
    EXPECT_EQ(0u, state.finished.front().TotalBytes);
}

TEST_F(OfflineQueueTest, AnOutputThatCannotBeOpenedIsRecordedWithZeroBytes) {
    factory.setUp = [](FakeStdinRun& r) { r.makesOutput = false; };
    ASSERT_TRUE(Add("i.avi", 100));
    RunAll();
    ASSERT_EQ(1u, state.finished.size());
    EXPECT_EQ(0u, state.finished.front().TotalBytes);
}

TEST_F(OfflineQueueTest, TheQueueHoldsAtMostAHundredJobs) {
    for (size_t i = 0; i < OfflineTranscode::kMaxJobs; ++i) ASSERT_TRUE(Add("j.avi", 1)) << i;
    EXPECT_FALSE(Add("j.avi", 1));
    EXPECT_EQ(OfflineTranscode::kMaxJobs, queue->GetConversions().size());
}

TEST_F(OfflineQueueTest, FinishedRowsFollowTheQueuedOnes) {
    FinishedConversion done;
    done.FilePath = L"/c/offline/old.avi";
    done.SrcVirtualPath = "Clips/old.avi";
    done.DstVirtualPath = "/video/cache/offline/old.avi";
    done.ClientIdentifier = L"phone";
    done.TotalBytes = 1234;
    state.finished.push_back(done);
    ASSERT_TRUE(Add("k.avi"));
    ASSERT_TRUE(Add("l.avi"));
    const std::list<ConversionStatus> list = queue->GetConversions();
    const std::vector<ConversionStatus> rows(list.begin(), list.end());
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ(Active, rows[0].state);
    EXPECT_EQ(Queued, rows[1].state);
    EXPECT_EQ(L"Clips/l.avi", rows[1].SrcVirtualPath);
    EXPECT_EQ(Finished, rows[2].state);
    EXPECT_EQ(L"/c/offline/old.avi", rows[2].FilePath);
    EXPECT_EQ(L"phone", rows[2].ClientIdentifier);
    EXPECT_EQ(1234u, rows[2].TotalBytes);
}

TEST_F(OfflineQueueTest, ReleasingTheQueueRemovesTheRunningConversionsPartialOutput) {
    ASSERT_TRUE(Add("m.mp4"));
    EXPECT_TRUE(queue->Pump());
    ASSERT_TRUE(PathExists(Output("m.mp4")));
    queue.reset();
    EXPECT_FALSE(PathExists(Output("m.mp4")));
    EXPECT_TRUE(state.finished.empty());
}

}  // namespace
