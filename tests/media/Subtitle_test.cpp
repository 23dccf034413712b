// Subtitle detection and conversion on small files, and extraction by real ffmpeg runs.
#include "media/Subtitle.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MediaTestSupport.h"
#include "kivlib/kiv_text.h"
#include "media/MediaRunSlot.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

std::wstring W(const std::string& path) { return kivm::FromUTF8ExW(path); }

const char kSrt[] = "1\n00:00:00,500 --> 00:00:01,500\nFirst line\n\n2\n00:00:02,000 --> 00:00:03,000\nSecond line\n";
const char kAss[] =
    "[Script Info]\nScriptType: v4.00+\n\n[V4+ Styles]\n"
    "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, "
    "Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, "
    "MarginR, MarginV, Encoding\n"
    "Style: Default,Arial,20,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,1\n\n"
    "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
    "Dialogue: 0,0:00:00.50,0:00:01.50,Default,,0,0,0,,First line\n"
    "Dialogue: 0,0:00:02.00,0:00:03.00,Default,,0,0,0,,Second line\n";

// A 4 s video with one subtitle track as stream 1, from the text given in the track's own format.
std::string ClipWithTrack(const std::string& name, const std::string& text, const std::string& extension,
                          const std::string& codec) {
    const std::string source = mediatest::ClipFolder() + "/" + name + "." + extension;
    WriteFile(source, text);
    return mediatest::MakeClip(name, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=4", "-i", source,
                                      "-map", "0", "-map", "1", "-c:v", "libx264", "-preset", "ultrafast", "-c:s", codec});
}

TEST(SubtitleDetectLine, EachProbeInItsOrder) {
    struct Case {
        const char* line;
        SubtitleType type;
    } cases[] = {
        {"<sami>", 7},
        {"{10}{20}Hello", 0},
        {"{10}{}Hello", 0},
        {"00:00:01,000 --> 00:00:02,000", 1},
        {"00:00:01.000 --> 00:00:02.000", 2},
        {"!: This is a Sub Station Alpha v1 script.", 3},
        {"ScriptType: v4.00+", 5},
        {"scripttype: V4.00", 4},
        {"Dialogue: Marked=0,0:00:01.50,0:00:03.00,Default,,0000,0000,0000,,Hi", 4},
        {"Dialogue: 0,0:00:01.50,0:00:03.00,Default,,0,0,0,,Hi", 5},
        {"alogue: 0,0:00:01.50", 5},
        {"[INFORMATION]", 8},
        {"0:00:01.50 0:00:03.00 text", 14},
        {"@100 @200", 14},
        {"00:00:01:Hello", 6},
        {"00:00:01 Hello", 6},
        {"{T 00:00:01:50", 9},
        {"[00:00:01]x", 17},
        {"a *** START SCRIPT here", 18},
        {"[10][20]Hello", 10},
        {"[10][]Hello", 10},
        {"FORMAT=25", 13},
        {"FORMAT=TIME", 13},
        {"FORMAT=TIMX", -1},
        {"-->> 12", 11},
        {"12,34,text", 12},
        {"{00:00:01}", 0},  // "{%d}{}" converts its one field first: the PSB probe is never reached
        {"<TIME", 16},
        {"1", -1},
        {"", -1},
        {"Hello, world", -1},
    };
    for (const Case& c : cases) EXPECT_EQ(c.type, Subtitle::DetectLine(c.line)) << c.line;
}

TEST(SubtitleDetectType, TheFirstRecognisedLineDecides) {
    TempDir dir;
    boost::shared_ptr<Subtitle> subtitle = Subtitle::GetInstance(nullptr);
    struct Case {
        std::string text;
        SubtitleType type;
    } cases[] = {
        {kSrt, 1},
        {"1\r\n00:00:01,000 --> 00:00:02,000\r\nHi\r\n", 1},
        {"1\n00:00:01.000 --> 00:00:02.000\nHi\n", 2},
        {kAss, 5},
        {"[Script Info]\nScriptType: v4.00\n", 4},
        {"[Events]\nDialogue: Marked=0,0:00:01.50,0:00:03.00,Default,,0000,0000,0000,,Hi\n", 4},
        {"{10}{20}MicroDVD\n", 0},
        {"", -1},
        // A line longer than the line limit counts as several lines; what follows is still found.
        {std::string(5000, 'x') + "\n00:00:01,000 --> 00:00:02,000\n", 1},
    };
    for (const Case& c : cases) {
        WriteFile(dir.file("s.txt"), c.text);
        EXPECT_EQ(c.type, subtitle->DetectType(W(dir.file("s.txt")))) << c.text.substr(0, 60);
    }
    EXPECT_EQ(-1, subtitle->DetectType(W(dir.file("missing.srt"))));
}

TEST(SubtitleDetectType, ReadsNoMoreThan256Lines) {
    TempDir dir;
    boost::shared_ptr<Subtitle> subtitle = Subtitle::GetInstance(nullptr);
    std::string text;
    for (int i = 1; i <= 300; ++i) text += (i == 280 ? "00:00:01,000 --> 00:00:02,000" : "text") + std::string("\n");
    WriteFile(dir.file("late.srt"), text);
    EXPECT_EQ(-1, subtitle->DetectType(W(dir.file("late.srt"))));
    // Without line ends the limit is 256 pieces of 4 KiB: a time line 2 MiB in is never reached.
    WriteFile(dir.file("flat.srt"), std::string(2 << 20, 'x') + "00:00:01,000 --> 00:00:02,000");
    EXPECT_EQ(-1, subtitle->DetectType(W(dir.file("flat.srt"))));
}

TEST(SubtitleConvert, SubStationDialogueBecomesNumberedEntries) {
    TempDir dir;
    boost::shared_ptr<Subtitle> subtitle = Subtitle::GetInstance(nullptr);
    WriteFile(dir.file("a.ass"),
              "[Events]\r\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\r\n"
              "Dialogue: 0,0:00:01.50,0:00:03.00,Default,,0000,0000,0000,,Hello, world\\Nagain\r\n"
              "Dialogue: 0,0:00:04.00,broken line\r\n"
              "Comment: 0,0:00:05.00,0:00:06.00,Default,,0,0,0,,not shown\r\n"
              "DIALOGUE: 0,0:00:07.00,0:00:08.00,Default,,0,0,0,,last\\none\r\n");
    ASSERT_TRUE(subtitle->ConvertToSubRip(5, W(dir.file("a.ass")), W(dir.file("out.srt"))));
    EXPECT_EQ("1\n0:00:01.50 --> 0:00:03.00\nHello, world\nagain\n2\n0:00:07.00 --> 0:00:08.00\nlast\none\n",
              ReadFile(dir.file("out.srt")));
}

TEST(SubtitleConvert, SubRipIsCopiedLineByLineAndMayOverwriteItsSource) {
    TempDir dir;
    boost::shared_ptr<Subtitle> subtitle = Subtitle::GetInstance(nullptr);
    WriteFile(dir.file("s.srt"), "1\r\n00:00:01,000 --> 00:00:02,000\r\nHi\r\n");
    ASSERT_TRUE(subtitle->ConvertToSubRip(1, W(dir.file("s.srt")), W(dir.file("s.srt"))));
    EXPECT_EQ("1\n00:00:01,000 --> 00:00:02,000\nHi\n", ReadFile(dir.file("s.srt")));
}

TEST(SubtitleConvert, RefusesWhatItCannotDo) {
    TempDir dir;
    boost::shared_ptr<Subtitle> subtitle = Subtitle::GetInstance(nullptr);
    WriteFile(dir.file("s.srt"), kSrt);
    for (SubtitleType type : {-1, 0, 2, 6, 18}) {
        EXPECT_FALSE(subtitle->ConvertToSubRip(type, W(dir.file("s.srt")), W(dir.file("o.srt")))) << type;
    }
    EXPECT_FALSE(testsupport::PathExists(dir.file("o.srt")));
    EXPECT_FALSE(subtitle->ConvertToSubRip(1, W(dir.file("missing.srt")), W(dir.file("o.srt"))));
    EXPECT_FALSE(subtitle->ConvertToSubRip(1, W(dir.file("s.srt")), W(dir.file("no/folder/o.srt"))));
    WriteFile(dir.file("huge.srt"), std::string(Subtitle::kMaxConvertBytes + 1, '\n'));
    EXPECT_FALSE(subtitle->ConvertToSubRip(1, W(dir.file("huge.srt")), W(dir.file("o.srt"))));
    EXPECT_FALSE(testsupport::PathExists(dir.file("o.srt")));
}

TEST(SubtitleNames, TypeNamesAndConvertibleTypes) {
    EXPECT_EQ("SubView1", Subtitle::GetTypeName(18));
    EXPECT_EQ("MicroDVD", Subtitle::GetTypeName(0));
    EXPECT_EQ("Unknown", Subtitle::GetTypeName(-1));
    EXPECT_EQ("?wtf?", Subtitle::GetTypeName(19));
    EXPECT_EQ("?wtf?", Subtitle::GetTypeName(-2));
    for (SubtitleType type = -2; type < 20; ++type) {
        EXPECT_EQ(type == 1 || type == 3 || type == 4 || type == 5, Subtitle::IsConvertible(type)) << type;
    }
}

TEST(SubtitleExtract, ArgumentsAndTimeLimit) {
    EXPECT_EQ((std::vector<std::string>{"-y", "-i", "file:/v/a.mkv", "-an", "-vn", "-map", "0:3", "-c:s", "srt", "-f",
                                        "srt", "file:/c/temp-9.subtitle"}),
              Subtitle::ExtractArguments(L"/c/temp-9.subtitle", L"/v/a.mkv", 3));
    const uint32_t limit = MediaRunSlot::TimeLimitMs();
    MediaRunSlot::SetTimeLimitMs(5000);
    EXPECT_EQ(5000u, Subtitle::ExtractTimeoutMs(0));
    EXPECT_EQ(5000u, Subtitle::ExtractTimeoutMs(49999999));
    EXPECT_EQ(7000u, Subtitle::ExtractTimeoutMs(100000000));
    MediaRunSlot::SetTimeLimitMs(limit);
}

TEST(SubtitleExtract, TextTracksComeOutAsSubRipWithTheirTimes) {
    struct Case {
        std::string clip;
    } cases[] = {
        {ClipWithTrack("sub-srt.mkv", kSrt, "srt", "srt")},
        {ClipWithTrack("sub-movtext.mp4", kSrt, "srt", "mov_text")},
        {ClipWithTrack("sub-ass.mkv", kAss, "ass", "ass")},
    };
    TempDir dir;
    boost::shared_ptr<Subtitle> subtitle = Subtitle::GetInstance(nullptr);
    for (const Case& c : cases) {
        const std::wstring out = W(dir.file("track.subtitle"));
        ASSERT_TRUE(subtitle->ExtractStream(out, W(c.clip), 1)) << c.clip;
        EXPECT_EQ(1, subtitle->DetectType(out)) << c.clip;
        const std::string text = ReadFile(dir.file("track.subtitle"));
        EXPECT_NE(std::string::npos, text.find("00:00:00,500 --> 00:00:01,500")) << text;
        EXPECT_NE(std::string::npos, text.find("Second line")) << text;
    }
}

TEST(SubtitleExtract, BitmapTracksAndOtherStreamsFail) {
    TempDir dir;
    WriteFile(mediatest::ClipFolder() + "/pgs.sup", mediatest::PgsSubtitleStream());
    const std::string pgs = mediatest::MakeClip(
        "sub-pgs.mkv", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=10:duration=4", "-i",
                        mediatest::ClipFolder() + "/pgs.sup", "-map", "0", "-map", "1", "-c:v", "libx264", "-preset",
                        "ultrafast", "-c:s", "copy"});
    boost::shared_ptr<Subtitle> subtitle = Subtitle::GetInstance(nullptr);
    const std::wstring out = W(dir.file("track.subtitle"));
    EXPECT_FALSE(subtitle->ExtractStream(out, W(pgs), 1));   // a bitmap track
    EXPECT_FALSE(subtitle->ExtractStream(out, W(pgs), 0));   // the video
    EXPECT_FALSE(subtitle->ExtractStream(out, W(pgs), 7));   // no such stream
    EXPECT_FALSE(subtitle->ExtractStream(out, W(dir.file("missing.mkv")), 1));
    EXPECT_EQ(L"", subtitle->GetLastError());
    EXPECT_EQ(-1, subtitle->DetectType(out));
}

}  // namespace
