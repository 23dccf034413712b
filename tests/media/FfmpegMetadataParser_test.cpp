// The media probe: ffmpeg's description of a file turned into its facts, checked against texts of both
// ffmpeg generations and against what ffprobe says of clips made here.
#include "media/FfmpegMetadataParser.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "MediaTestSupport.h"
#include "kivlib/kiv_text.h"

namespace {

// ffmpeg 5.1 describing an MP4 file: the codec tag "0x31637661" comes before the picture size.
const char* const kMp4Text =
    "Input #0, mov,mp4,m4a,3gp,3g2,mj2, from 'file:/v/b.mp4':\n"
    "  Metadata:\n"
    "    major_brand     : isom\n"
    "  Duration: 00:01:02.45, start: 0.000000, bitrate: 2643 kb/s\n"
    "  Stream #0:0[0x1](und): Video: h264 (Constrained Baseline) (avc1 / 0x31637661), yuv420p(progressive), "
    "720x480 [SAR 32:27 DAR 16:9], 2561 kb/s, 25 fps, 25 tbr, 12800 tbn (default)\n"
    "    Metadata:\n"
    "      handler_name    : VideoHandler\n"
    "  Stream #0:1[0x2](eng): Audio: aac (LC) (mp4a / 0x6134706D), 44100 Hz, stereo, fltp, 69 kb/s (default)\n"
    "    Metadata:\n"
    "      title           : Director's comments\n"
    "      handler_name    : SoundHandler\n"
    "At least one output file must be specified\n";

// An older ffmpeg: "Stream #0.N", "PAR" in place of "SAR", no brackets.
const char* const kOldText =
    "Input #0, avi, from 'movie.avi':\n"
    "  Duration: 00:00:10.5, start: 0.000000, bitrate: 1021 kb/s\n"
    "    Stream #0.0: Video: mpeg4, yuv420p, 720x576 [PAR 4:3 DAR 5:3], 25 tbr, 25 tbn, 25 tbc\n"
    "    Stream #0.1(fre): Audio: mp3, 48000 Hz, 2 channels, s16, 128 kb/s\n"
    "    Metadata:\n"
    "      title           : Francais\n"
    "    Stream #0.2(eng): Subtitle: subrip\n"
    "At least one output file must be specified\n";

Metadata::Facts Parse(const std::string& text, bool* ok = nullptr) {
    Metadata::Facts facts;
    const bool complete = MetadataParser::ParseText(text, facts);
    if (ok) *ok = complete;
    return facts;
}

TEST(FfmpegMetadataParser, CurrentFormReadsSizeAspectLanguageAndTitles) {
    bool ok = false;
    const Metadata::Facts f = Parse(kMp4Text, &ok);
    ASSERT_TRUE(ok);
    EXPECT_DOUBLE_EQ(f.duration, 62.45);
    EXPECT_EQ(f.bitrate, 2643u);
    EXPECT_EQ(f.width, 853);  // 720 x 32/27
    EXPECT_EQ(f.height, 480);
    EXPECT_EQ(f.parNum, 32);
    EXPECT_EQ(f.parDen, 27);
    EXPECT_EQ(f.darNum, 16);
    EXPECT_EQ(f.darDen, 9);
    ASSERT_EQ(f.video.size(), 1u);
    EXPECT_EQ(f.video[0].id, "0");
    EXPECT_EQ(f.video[0].locale, "und");
    EXPECT_EQ(f.video[0].descr, "");
    EXPECT_EQ(f.video[0].techDescr.substr(0, 30), "h264 (Constrained Baseline) (a");
    ASSERT_EQ(f.audio.size(), 1u);
    EXPECT_EQ(f.audio[0].id, "1");
    EXPECT_EQ(f.audio[0].locale, "eng");
    EXPECT_EQ(f.audio[0].descr, "Director's comments") << "the last stream keeps its title";
    EXPECT_EQ(f.audio[0].techDescr, "aac (LC) (mp4a / 0x6134706D), 44100 Hz, stereo, fltp, 69 kb/s (default)");
}

TEST(FfmpegMetadataParser, OldFormStillReads) {
    bool ok = false;
    const Metadata::Facts f = Parse(kOldText, &ok);
    ASSERT_TRUE(ok);
    EXPECT_DOUBLE_EQ(f.duration, 10.5);
    EXPECT_EQ(f.width, 960);  // 720 x 4/3
    EXPECT_EQ(f.height, 576);
    EXPECT_EQ(f.darNum, 5);
    ASSERT_EQ(f.audio.size(), 1u);
    EXPECT_EQ(f.audio[0].locale, "fre");
    EXPECT_EQ(f.audio[0].descr, "Francais");
    ASSERT_EQ(f.subtitles.size(), 1u);
    EXPECT_EQ(f.subtitles[0].id, "2");
    EXPECT_EQ(f.subtitles[0].locale, "eng");
    EXPECT_EQ(f.subtitles[0].techDescr, "");
    EXPECT_EQ(f.subtitles[0].descr, "");
}

struct TextCase {
    const char* name;
    std::string text;
    bool complete;
    double duration;
    int32_t width, height;
    size_t video, audio, subtitles;
};

std::string Wrap(const std::string& duration, const std::string& streams) {
    return "Input #0, matroska,webm, from 'x.mkv':\n  Duration: " + duration + ", start: 0.000000, bitrate: 800 kb/s\n" +
           streams + "At least one output file must be specified\n";
}

const std::string kVideo = "  Stream #0:0: Video: h264 (High), yuv420p(progressive), 640x360, 25 fps, 25 tbr, 1k tbn\n";
const std::string kAudio1 = "  Stream #0:1(eng): Audio: aac (LC), 44100 Hz, stereo, fltp\n";

class FfmpegMetadataTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(FfmpegMetadataTexts, Facts) {
    const TextCase& c = GetParam();
    bool ok = false;
    const Metadata::Facts f = Parse(c.text, &ok);
    EXPECT_EQ(ok, c.complete);
    if (!c.complete) return;
    EXPECT_NEAR(f.duration, c.duration, 1e-9);
    EXPECT_EQ(f.width, c.width);
    EXPECT_EQ(f.height, c.height);
    EXPECT_EQ(f.video.size(), c.video);
    EXPECT_EQ(f.audio.size(), c.audio);
    EXPECT_EQ(f.subtitles.size(), c.subtitles);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FfmpegMetadataTexts,
    ::testing::Values(
        TextCase{"hours", Wrap("01:02:03.45", kVideo), true, 3723.45, 640, 360, 1, 0, 0},
        TextCase{"one_decimal", Wrap("00:00:10.5", kVideo + kAudio1), true, 10.5, 640, 360, 1, 1, 0},
        TextCase{"no_duration", Wrap("N/A", kVideo), false, 0, 0, 0, 0, 0, 0},
        TextCase{"audio_only", Wrap("00:03:00.00", "  Stream #0:0: Audio: mp3, 44100 Hz, stereo, fltp, 128 kb/s\n"),
                 false, 0, 0, 0, 0, 0, 0},
        TextCase{"no_text", "", false, 0, 0, 0, 0, 0, 0},
        // A gap in the numbers ends the list: stream 2 is never reached.
        TextCase{"gap", Wrap("00:00:05.00", kVideo + "  Stream #0:2(eng): Audio: aac, 44100 Hz\n"), true, 5, 640, 360,
                 1, 0, 0},
        // Data and attachment streams add no track, but the numbering goes on past them.
        TextCase{"data_stream",
                 Wrap("00:00:05.00", kVideo + "  Stream #0:1: Data: bin_data (text / 0x74786574)\n" +
                                         "  Stream #0:2(jpn): Audio: aac, 44100 Hz\n"),
                 true, 5, 640, 360, 1, 1, 0},
        // The size of a TS video line follows a bracketed stream tag and a codec tag.
        TextCase{"ts",
                 Wrap("00:00:12.00", "  Program 1\n  Stream #0:0[0x100]: Video: h264 (High) ([27][0][0][0] / 0x001B), "
                                     "yuv420p(progressive), 320x240 [SAR 1:1 DAR 4:3], 29.97 fps\n"),
                 true, 12, 320, 240, 1, 0, 0},
        // The run of a frame grab also describes its output: those streams are not the file's.
        TextCase{"with_output",
                 Wrap("00:00:07.00", kVideo) + "Output #0, image2, to 'x.png':\n  Stream #0:0: Video: png, rgb24, 320x180\n"
                                               "  Stream #0:1: Audio: pcm\n",
                 true, 7, 640, 360, 1, 0, 0}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

TEST(FfmpegMetadataParser, StreamTenIsNotStreamOne) {
    std::string streams = kVideo;
    for (int n = 1; n <= 11; ++n) {
        streams += "  Stream #0:" + std::to_string(n) + "(a" + std::to_string(n % 10) + "x): Audio: aac, 44100 Hz\n";
    }
    const Metadata::Facts f = Parse(Wrap("00:00:05.00", streams));
    ASSERT_EQ(f.audio.size(), 11u);
    EXPECT_EQ(f.audio[0].id, "1");
    EXPECT_EQ(f.audio[0].locale, "a1x");
    EXPECT_EQ(f.audio[9].id, "10");
    EXPECT_EQ(f.audio[9].locale, "a0x");
}

TEST(FfmpegMetadataParser, LanguageOnlyFromTheParenthesesAfterTheNumber) {
    const Metadata::Facts f = Parse(Wrap("00:00:05.00", kVideo + kAudio1 + "  Stream #0:2(de): Audio: aac (HE), 48000 Hz\n"));
    ASSERT_EQ(f.video.size(), 1u);
    EXPECT_EQ(f.video[0].locale, "") << "a codec profile is no language";
    EXPECT_EQ(f.audio[0].locale, "eng");
    EXPECT_EQ(f.audio[1].locale, "de");
}

TEST(FfmpegMetadataParser, AspectCases) {
    struct Case {
        std::string aspect;
        int32_t width, parNum, parDen, darNum, darDen;
    };
    const Case cases[] = {
        {"", 640, 1, 1, 640, 360},                      // none: 1:1 and the size as DAR
        {" [SAR 1:1 DAR 16:9]", 640, 1, 1, 16, 9},      // square pixels keep the width
        {" [SAR 4:3 DAR 64:27]", 853, 4, 3, 64, 27},    // 640 x 4/3, truncated
        {" [SAR 8:0 DAR 0:0]", 640, 8, 0, 0, 0},        // no usable ratio: the width stays
    };
    for (const Case& c : cases) {
        const std::string line = "  Stream #0:0: Video: h264, yuv420p, 640x360" + c.aspect + ", 25 fps\n";
        bool ok = false;
        const Metadata::Facts f = Parse(Wrap("00:00:05.00", line), &ok);
        EXPECT_TRUE(ok) << c.aspect;
        EXPECT_EQ(f.width, c.width) << c.aspect;
        EXPECT_EQ(f.height, 360) << c.aspect;
        EXPECT_EQ(f.parNum, c.parNum) << c.aspect;
        EXPECT_EQ(f.parDen, c.parDen) << c.aspect;
        EXPECT_EQ(f.darNum, c.darNum) << c.aspect;
        EXPECT_EQ(f.darDen, c.darDen) << c.aspect;
    }
}

// Subtitle files beside the video, in "/subtitles/" and in "/subs/".
TEST(FfmpegMetadataParser, SubtitleFilesBesideTheVideo) {
    struct Case {
        std::vector<std::string> files;
        std::vector<std::pair<std::string, std::string>> found;  // id, descr
    };
    const std::vector<Case> cases = {
        {{"movie.en.srt", "movie.fr.srt"}, {{"movie.en.srt", "en"}, {"movie.fr.srt", "fr"}}},
        {{"movie.SRT"}, {{"movie.SRT", "movie"}}},
        {{"other.srt"}, {{"other.srt", "other"}}},  // the folder's only subtitle file
        {{"other.srt", "another.srt"}, {}},
        {{"movie.en.srt"}, {{"movie.en.srt", "en"}}},  // found once, not twice
        {{"movie.en.ass", "movie.txt", "movie.idx"}, {{"movie.en.ass", "en"}}},
        {{"subtitles/movie.de.ssa", "subs/movie.srt"}, {{"/subtitles/movie.de.ssa", "de"}, {"/subs/movie.srt", "/subs/movie"}}},
        {{"English.srt"}, {{"English.srt", "English"}}},
    };
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        mkdir(dir.file("subtitles").c_str(), 0755);
        mkdir(dir.file("subs").c_str(), 0755);
        mkdir(dir.file("movie.srt.d").c_str(), 0755);  // a folder with a subtitle-like name is no file
        for (const std::string& f : c.files) testsupport::WriteFile(dir.file(f), "1\n");
        const std::wstring video = dir.wpath() + L"/movie.avi";
        boost::shared_ptr<IMetadata> m = MetadataParser::GetInstance()->Parse(Wrap("00:00:05.00", kVideo), video);
        ASSERT_TRUE(m);
        std::vector<std::pair<std::string, std::string>> found;
        for (const StreamInfo& s : m->GetSubtitleTracks()) {
            EXPECT_EQ(s.techDescr, "external file");
            EXPECT_EQ(s.locale, "");
            found.emplace_back(s.id, s.descr);
        }
        std::sort(found.begin(), found.end());
        std::vector<std::pair<std::string, std::string>> wanted = c.found;
        std::sort(wanted.begin(), wanted.end());
        EXPECT_EQ(found, wanted) << c.files[0];
    }
}

// --- Real clips, compared with what ffprobe reports of them ---

using ProbeFacts = std::map<std::string, std::string>;

ProbeFacts Ffprobe(const std::string& path) {
    const std::string out = mediatest::Probe(
        {"-show_entries",
         "format=duration,bit_rate:stream=index,codec_type,width,height,sample_aspect_ratio,display_aspect_ratio:"
         "stream_tags=language,title",
         "-of", "flat", path});
    ProbeFacts facts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
        facts[line.substr(0, eq)] = value;
    }
    return facts;
}

std::string Get(const ProbeFacts& facts, const std::string& key) {
    auto found = facts.find(key);
    return found == facts.end() ? std::string() : found->second;
}

void ExpectSameAsFfprobe(const std::string& path, IMetadata& m) {
    const ProbeFacts p = Ffprobe(path);
    EXPECT_NEAR(m.GetDuration(), std::stod(Get(p, "format.duration")), 0.006) << path;
    EXPECT_NEAR(double(m.GetBitrate()), std::stod(Get(p, "format.bit_rate")) / 1000.0, 1.0) << path;
    std::vector<StreamInfo> video = m.GetVideoTracks(), audio = m.GetAudioTracks(), subs = m.GetSubtitleTracks();
    size_t v = 0, a = 0, s = 0;
    for (int i = 0;; ++i) {
        const std::string base = "streams.stream." + std::to_string(i) + ".";
        const std::string type = Get(p, base + "codec_type");
        if (type.empty()) break;
        const StreamInfo* track = nullptr;
        if (type == "video" && v < video.size()) track = &video[v++];
        if (type == "audio" && a < audio.size()) track = &audio[a++];
        if (type == "subtitle" && s < subs.size()) track = &subs[s++];
        ASSERT_TRUE(track) << path << ": stream " << i << " (" << type << ") missing";
        EXPECT_EQ(track->id, std::to_string(i)) << path;
        EXPECT_EQ(track->locale, Get(p, base + "tags.language").substr(0, 3)) << path << " stream " << i;
        EXPECT_EQ(track->descr, Get(p, base + "tags.title")) << path << " stream " << i;
        if (type == "video" && v == 1) {
            const std::string sar = Get(p, base + "sample_aspect_ratio"), dar = Get(p, base + "display_aspect_ratio");
            const int sarNum = std::stoi(sar), sarDen = std::stoi(sar.substr(sar.find(':') + 1));
            int32_t num = 0, den = 0;
            m.GetPAR(num, den);
            EXPECT_EQ(num, sarNum) << path;
            EXPECT_EQ(den, sarDen) << path;
            m.GetDAR(num, den);
            EXPECT_EQ(std::to_string(num) + ":" + std::to_string(den), dar) << path;
            EXPECT_EQ(m.GetWidth(), int32_t(std::stoi(Get(p, base + "width")) * sarNum / sarDen)) << path;
            EXPECT_EQ(m.GetHeight(), std::stoi(Get(p, base + "height"))) << path;
        }
    }
    EXPECT_EQ(v, video.size()) << path;
    EXPECT_EQ(a, audio.size()) << path;
    for (; s < subs.size(); ++s) EXPECT_EQ(subs[s].techDescr, "external file") << path;
}

class ProbeClips : public ::testing::Test {
protected:
    void SetUp() override { ClearMetadataCache(); }
};

TEST_F(ProbeClips, MkvWithLanguagesTitlesAndASubtitleTrack) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("in.srt"), "1\n00:00:00,000 --> 00:00:01,000\nHello\n");
    const std::string clip = mediatest::MakeClip(
        "probe.mkv",
        {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=2", "-f", "lavfi", "-i", "sine=duration=2",
         "-f", "lavfi", "-i", "sine=frequency=880:duration=2", "-i", dir.file("in.srt"), "-map", "0", "-map", "1",
         "-map", "2", "-map", "3", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-c:s", "srt",
         "-metadata:s:v:0", "title=The picture", "-metadata:s:a:0", "language=eng", "-metadata:s:a:0",
         "title=Main English", "-metadata:s:a:1", "language=fre", "-metadata:s:a:1", "title=Commentaire",
         "-metadata:s:s:0", "language=ger", "-metadata:s:s:0", "title=German subs"});
    boost::shared_ptr<IMetadata> m = MetadataFactory::GetInstance()->GetMetadata(kivm::FromUTF8ExW(clip));
    ASSERT_TRUE(m);
    ExpectSameAsFfprobe(clip, *m);
    EXPECT_EQ(m->GetAudioTracks().size(), 2u);
    EXPECT_EQ(m->GetSubtitleTracks().size(), 1u);
}

TEST_F(ProbeClips, Mp4WithNonSquarePixelsAndASubtitleFileBeside) {
    const std::string clip = mediatest::MakeClip(
        "sar.mp4", {"-f", "lavfi", "-i", "testsrc2=size=720x480:rate=25:duration=2", "-f", "lavfi", "-i",
                    "sine=duration=2", "-vf", "setsar=32/27", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                    "-metadata:s:a:0", "language=spa"});
    testsupport::TempDir dir;
    const std::string copy = dir.file("sar.mp4");
    testsupport::WriteFile(copy, mediatest::ReadAll(clip));
    testsupport::WriteFile(dir.file("sar.es.srt"), "1\n");
    boost::shared_ptr<IMetadata> m = MetadataFactory::GetInstance()->GetMetadata(kivm::FromUTF8ExW(copy));
    ASSERT_TRUE(m);
    ExpectSameAsFfprobe(clip, *m);
    EXPECT_EQ(m->GetWidth(), 853);
    ASSERT_EQ(m->GetSubtitleTracks().size(), 1u);
    EXPECT_EQ(m->GetSubtitleTracks()[0].id, "sar.es.srt");
    EXPECT_EQ(m->GetSubtitleTracks()[0].descr, "es");
}

TEST_F(ProbeClips, AviAndANameThatLooksLikeAnOption) {
    testsupport::TempDir dir;
    const std::string clip = mediatest::MakeClip(
        "probe.avi", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=2", "-f", "lavfi", "-i",
                      "sine=duration=2", "-c:v", "mpeg4", "-c:a", "libmp3lame"});
    // The same clip under names that ffmpeg would read as an option or a protocol if handed over bare.
    for (const std::string name : {"-i.avi", "concat:x.avi", "http:x.avi"}) {
        const std::string copy = dir.file(name);
        testsupport::WriteFile(copy, mediatest::ReadAll(clip));
        boost::shared_ptr<IMetadata> m = MetadataFactory::GetInstance()->GetMetadata(kivm::FromUTF8ExW(copy));
        ASSERT_TRUE(m) << name;
        ExpectSameAsFfprobe(clip, *m);
    }
}

TEST_F(ProbeClips, CachedPerNormalisedPathAndAFailureIsProbedAgain) {
    testsupport::TempDir dir;
    const std::string path = dir.file("later.mkv");
    boost::shared_ptr<IMetadataFactory> factory = MetadataFactory::GetInstance();
    EXPECT_FALSE(factory->GetMetadata(kivm::FromUTF8ExW(path))) << "no file yet";

    testsupport::WriteFile(path, mediatest::ReadAll(mediatest::MakeTsClip("cache.ts", 6)));
    boost::shared_ptr<IMetadata> first = factory->GetMetadata(kivm::FromUTF8ExW(path));
    ASSERT_TRUE(first) << "a failed probe is not cached";
    // With the file gone, only the cache can answer, and it answers for the same path however spelled.
    ASSERT_EQ(unlink(path.c_str()), 0);
    const std::wstring spelled = kivm::FromUTF8ExW(dir.path() + "//later.mkv");
    boost::shared_ptr<IMetadata> again = MetadataFactory::GetInstance()->GetMetadata(spelled);
    EXPECT_EQ(again.get(), first.get());
}

// A probe that does not end in time is stopped: ffmpeg opening a FIFO that nobody writes waits forever.
// ffmpeg would wait in open for the writer of a named pipe: such a file is never probed.
TEST_F(ProbeClips, ANamedPipeIsNotProbed) {
    testsupport::TempDir dir;
    const std::string fifo = dir.file("stuck.ts");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(MetadataFactory::GetInstance()->GetMetadata(kivm::FromUTF8ExW(fifo)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// An ffmpeg that never ends (here one that sleeps in its place, found first on PATH) is stopped.
TEST_F(ProbeClips, ProbeThatHangsIsStopped) {
    testsupport::TempDir dir;
    const std::string fake = dir.file("ffmpeg");
    testsupport::WriteFile(fake, "#!/bin/sh\nexec sleep 60\n");
    ASSERT_EQ(0, chmod(fake.c_str(), 0755));
    const std::string clip = dir.file("stuck-probe.ts");
    testsupport::WriteFile(clip, "not a video");
    const char* oldPath = getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    setenv("PATH", (dir.path() + ":" + saved).c_str(), 1);
    const auto start = std::chrono::steady_clock::now();
    const bool probed = static_cast<bool>(MetadataFactory::GetInstance()->GetMetadata(kivm::FromUTF8ExW(clip)));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    setenv("PATH", saved.c_str(), 1);
    EXPECT_FALSE(probed);
    EXPECT_GE(seconds, 4.9);
    EXPECT_LT(seconds, 20.0);  // the 5 s time-out and the stop, with room for a loaded machine
    // No process is left that names the file on its command line.
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string cmdline = mediatest::ReadAll(entry.path().string() + "/cmdline");
        EXPECT_EQ(cmdline.find(clip), std::string::npos) << "left running: " << entry.path();
    }
}

}  // namespace
