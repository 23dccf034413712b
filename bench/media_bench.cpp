// Media pipeline benchmark, run by hand through bench/media_bench.sh:
//   media_bench <clip> <work folder> [steady seconds]
// 1. Time to first segment: from creating a stream session to segment 1 complete, against ffmpeg alone
//    writing the same output through its own segment muxer until its first 5 s segment is closed.
// 2. Seek: from a request 8 segments ahead to that segment complete.
// 3. Steady state: a reader that takes one segment every 5 s; how far production stays ahead of it,
//    and the transcoder's speed over the whole clip.
// Each figure is the median of several runs, ours and ffmpeg's interleaved in the same run.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/FileMaker.h"
#include "core/IState.h"
#include "kivlib/KivProcess.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/StreamManager.h"
#include "media/StreamRegistry.h"
#include "media/TranscodeParams.h"
#include "tests/media/MediaFakes.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The stream route's wait: request, then look every few milliseconds with the lock let go.
bool Fetch(const std::wstring& id, uint32_t index, uint32_t pollMs = 5) {
    const std::wstring name = L"segment-" + std::to_wstring(index) + L".ts";
    uint32_t request = 0;
    {
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        if (!h) return false;
        request = h->GetStreamManager()->RequestSegment(name);
    }
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
        boost::shared_ptr<IStreamManagerSafe> h = FindStream(id);
        if (!h) return false;
        const SegmentRequestStatus s = h->GetStreamManager()->GetRequestStatus(request);
        if (s == SegmentPending) continue;
        if (s == SegmentReady) h->GetStreamManager()->SegmentFinished(name);
        return s == SegmentReady;
    }
}

// The stream transcoder's own argument list with its output handed to ffmpeg's segment muxer.
std::vector<std::string> BaselineArgs(const std::string& clip, const std::string& folder) {
    TranscodeParams p;
    p.InputPath = kivm::FromUTF8ExW(clip);
    p.Threads = 2;
    std::vector<std::wstring> wide;
    BuildFfmpegArgs(wide, p, TranscodeToStdout);
    std::vector<std::string> args;
    for (size_t i = 1; i + 1 < wide.size(); ++i) {
        const std::string a = kivm::str_conv(wide[i]);
        if (a == "mpegts" && !args.empty() && args.back() == "-f") {
            args.back() = "-f";
            args.push_back("segment");
            args.insert(args.end(), {"-segment_time", "5", "-segment_format", "mpegts"});
            continue;
        }
        args.push_back(a);
    }
    args.push_back(folder + "/base-%03d.ts");
    return args;
}

// ffmpeg alone: seconds from its start to its first segment closed (the second file exists).
double BaselineFirstSegment(const std::string& clip, const std::string& folder) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::vector<std::string> args = BaselineArgs(clip, folder);
    std::vector<char*> argv = {const_cast<char*>("ffmpeg"), const_cast<char*>("-v"), const_cast<char*>("error"),
                               const_cast<char*>("-nostdin")};
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execvp("ffmpeg", argv.data());
        _exit(127);
    }
    while (!Exists(folder + "/base-001.ts")) std::this_thread::sleep_for(std::chrono::microseconds(500));
    const double seconds = Since(start);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return seconds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <clip> <work folder> [steady seconds]\n", argv[0]);
        return 2;
    }
    const std::string clip = argv[1];
    const std::string work = argv[2];
    const int steadySeconds = argc > 3 ? atoi(argv[3]) : 30;
    const int runs = 5;
    std::filesystem::create_directories(work + "/cache");
    mediatest::FakeState state(kivm::FromUTF8ExW(work + "/cache"));
    boost::shared_ptr<IFileMaker> files = FileMaker::GetInstance();
    boost::shared_ptr<IMetadataFactory> metadata = MetadataFactory::GetInstance();

    std::vector<double> baseline, firstCold, firstWarm, seek, stop;
    {
        mediatest::StreamPump worker;
        for (int run = 0; run < runs; ++run) {
            baseline.push_back(BaselineFirstSegment(clip, work + "/baseline"));
            if (run == 0) ClearMetadataCache();
            const auto start = Clock::now();
            boost::shared_ptr<IStreamManagerSafe> h =
                CreateStream(kivm::FromUTF8ExW(clip), 100 + run, &state, L"http://127.0.0.1:8683/video/stream/", 320, 240,
                             metadata.get(), files.get(), nullptr, nullptr, 1200, 1300, -1, -1, 0, 2);
            if (!h) {
                fprintf(stderr, "CreateStream failed\n");
                return 1;
            }
            const std::wstring id = h->GetStreamManager()->GetStreamId();
            h.reset();
            if (!Fetch(id, 1)) return 1;
            (run == 0 ? firstCold : firstWarm).push_back(Since(start));
            const auto seekStart = Clock::now();
            if (!Fetch(id, 9)) return 1;
            seek.push_back(Since(seekStart));
            const auto stopStart = Clock::now();
            RemoveAllStreams();  // stops a run in full production, as a seek does
            stop.push_back(Since(stopStart));
        }
    }
    const double base = Median(baseline), warm = Median(firstWarm), seekMedian = Median(seek);
    printf("time to first segment: ffmpeg alone %.3f s; ours %.3f s (ratio %.2f), first run with the probe %.3f s\n",
           base, warm, warm / base, firstCold[0]);
    printf("seek 8 ahead: %.3f s (%.2f x our time to first segment)\n", seekMedian, seekMedian / warm);
    printf("stopping a running session (its transcoder and segmenter): %.3f s\n", Median(stop));
    printf("  all runs: baseline");
    for (double v : baseline) printf(" %.3f", v);
    printf("; ours");
    for (double v : firstWarm) printf(" %.3f", v);
    printf("; seek");
    for (double v : seek) printf(" %.3f", v);
    printf("\n");

    // Steady state: one segment every 5 s, as a player does once its buffer is full.
    {
        mediatest::StreamPump worker;
        boost::shared_ptr<IStreamManagerSafe> h =
            CreateStream(kivm::FromUTF8ExW(clip), 200, &state, L"http://127.0.0.1:8683/video/stream/", 320, 240,
                         metadata.get(), files.get(), nullptr, nullptr, 1200, 1300, -1, -1, 0, 2);
        const std::wstring id = h->GetStreamManager()->GetStreamId();
        h.reset();
        const std::string folder = work + "/cache/" + kivm::str_conv(id);
        int leastAhead = 1000;
        for (uint32_t i = 1; i <= uint32_t(steadySeconds / 5); ++i) {
            if (!Fetch(id, i)) return 1;
            std::this_thread::sleep_for(std::chrono::seconds(5));
            int ahead = 0;  // complete segments beyond the one just taken (a file is complete when the next exists)
            while (Exists(folder + "/segment-" + std::to_string(i + ahead + 2) + ".ts")) ++ahead;
            leastAhead = std::min(leastAhead, ahead);
        }
        printf("steady state over %d s: production at least %d segments ahead of the reader\n", steadySeconds, leastAhead);
        RemoveAllStreams();
    }

    // The transcoder's speed over the whole clip at 320x240.
    {
        TranscodeParams p;
        p.InputPath = kivm::FromUTF8ExW(clip);
        p.Threads = 2;
        std::vector<std::wstring> wide;
        BuildFfmpegArgs(wide, p, TranscodeToStdout);
        std::vector<std::string> args;
        for (size_t i = 1; i < wide.size(); ++i) args.push_back(kivm::str_conv(wide[i]));
        boost::shared_ptr<KivProcess> process = KivProcess::GetInstance();
        const auto start = Clock::now();
        process->Start("ffmpeg.exe", args, true, false, false);
        uint64_t bytes = 0;
        int code = 0;
        while (process->Wait(code, 10) == KivProcess::WAIT_RUNNING) bytes += process->ReadStdout(false).size();
        bytes += process->ReadStdout(true).size();
        const double seconds = Since(start);
        boost::shared_ptr<IMetadata> m = metadata->GetMetadata(kivm::FromUTF8ExW(clip));
        printf("transcoding at 320x240: %.1f s of video in %.2f s = %.1f x real time (%llu bytes)\n", m->GetDuration(),
               seconds, m->GetDuration() / seconds, (unsigned long long)bytes);
    }
    return 0;
}
