// The MPEG-TS cutter on made-up streams (every case controlled) and on a real encoder's output.
#include "tools/segmenter/TsCutter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "MediaTestSupport.h"

namespace {

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x100;
constexpr uint16_t kAudioPid = 0x101;
constexpr uint64_t kHz = 90000;

// Builds a transport stream packet by packet.
class StreamBuilder {
public:
    explicit StreamBuilder(bool withVideo = true) : withVideo_(withVideo) {}

    void Packet(uint16_t pid, bool unitStart, bool randomAccess, const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> p(188, 0xFF);
        p[0] = 0x47;
        p[1] = uint8_t((unitStart ? 0x40 : 0) | (pid >> 8));
        p[2] = uint8_t(pid & 0xFF);
        uint8_t& counter = counters_[pid];
        const size_t room = 184;
        const bool adaptation = randomAccess || payload.size() < room;
        p[3] = uint8_t((adaptation ? 0x30 : 0x10) | (counter++ & 0x0F));
        size_t offset = 4;
        if (adaptation) {
            const size_t fieldLength = room - payload.size() - 1;  // fills the packet
            p[4] = uint8_t(fieldLength);
            if (fieldLength > 0) p[5] = randomAccess ? 0x40 : 0x00;
            offset = 5 + fieldLength;
        }
        std::copy(payload.begin(), payload.end(), p.begin() + long(offset));
        bytes.append(reinterpret_cast<const char*>(p.data()), p.size());
    }

    void Sdt() { Packet(0x11, true, false, {0x00, 0x42, 0xF0, 0x05, 0, 1, 0xC1, 0, 0}); }
    void Pat() { Packet(0, true, false, {0x00, 0x00, 0xB0, 0x0D, 0, 1, 0xC1, 0, 0, 0, 1, 0xF0, 0x00, 1, 2, 3, 4}); }
    void Pmt() {
        std::vector<uint8_t> s = {0x00, 0x02, 0xB0, 0, 0, 1, 0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0x00};
        if (withVideo_) s.insert(s.end(), {0x1B, 0xE1, 0x00, 0xF0, 0x00});
        s.insert(s.end(), {0x03, 0xE1, 0x01, 0xF0, 0x00});
        s[3] = uint8_t(s.size() - 4 + 4);  // section length: what follows the length field, with the CRC
        s.insert(s.end(), {1, 2, 3, 4});
        Packet(kPmtPid, true, false, s);
    }

    // A frame of `packets` packets whose first holds a PES header with pts.
    void Frame(uint16_t pid, uint64_t pts, bool key, size_t packets, bool flagKey = true) {
        std::vector<uint8_t> head = {0, 0, 1, uint8_t(pid == kVideoPid ? 0xE0 : 0xC0), 0, 0, 0x80, 0x80, 5};
        pts &= (uint64_t(1) << 33) - 1;
        head.push_back(uint8_t(0x21 | ((pts >> 29) & 0x0E)));
        head.push_back(uint8_t(pts >> 22));
        head.push_back(uint8_t(0x01 | ((pts >> 14) & 0xFE)));
        head.push_back(uint8_t(pts >> 7));
        head.push_back(uint8_t(0x01 | ((pts << 1) & 0xFE)));
        // An access unit delimiter and then an IDR or a non-IDR slice.
        head.insert(head.end(), {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, uint8_t(key ? 0x65 : 0x41), 0x88});
        head.resize(170, uint8_t(pts & 0x7F));
        Packet(pid, true, key && flagKey, head);
        for (size_t i = 1; i < packets; ++i) Packet(pid, false, false, std::vector<uint8_t>(184, uint8_t(i)));
    }

    std::string bytes;

private:
    bool withVideo_;
    std::map<uint16_t, uint8_t> counters_;
};

struct StreamShape {
    const char* name;
    double seconds;          // length of the stream
    double keyEvery;         // seconds between keyframes
    bool tablesBeforeKeys;   // PAT and PMT right before every keyframe (as ffmpeg's multiplexer does)
    bool sdtFirst;           // the SDT before the tables (the stream's start and every keyframe)
    bool flagKeys;           // random-access flag on keyframes; else only the picture type tells
    uint64_t firstPts;
    std::vector<double> starts;  // where the segments begin, seconds from the first frame
};

std::string MakeStream(const StreamShape& shape) {
    StreamBuilder b;
    if (shape.sdtFirst) b.Sdt();
    b.Pat();
    b.Pmt();
    const int frames = int(std::lround(shape.seconds * 30));
    const int keyInterval = int(std::lround(shape.keyEvery * 30));
    for (int f = 0; f < frames; ++f) {
        const uint64_t pts = shape.firstPts + uint64_t(f) * 3000;
        const bool key = f % keyInterval == 0;
        if (key && f > 0 && shape.tablesBeforeKeys) {
            if (shape.sdtFirst) b.Sdt();
            b.Pat();
            b.Pmt();
        }
        b.Frame(kVideoPid, pts, key, key ? 4 : 2, shape.flagKeys);
        if (f % 2 == 0) b.Frame(kAudioPid, pts, false, 1);
    }
    return b.bytes;
}

// Keeps every segment in memory and checks the order of calls.
class MemorySink : public tscut::ISegmentSink {
public:
    void Open(uint32_t number) override {
        ASSERT_FALSE(open_) << "segment " << number << " opened before the previous one was closed";
        open_ = true;
        numbers.push_back(number);
        files.emplace_back();
    }
    void Write(const uint8_t* bytes, size_t length) override {
        ASSERT_TRUE(open_);
        files.back().append(reinterpret_cast<const char*>(bytes), length);
    }
    void Close() override {
        ASSERT_TRUE(open_);
        open_ = false;
    }
    bool open() const { return open_; }

    std::vector<uint32_t> numbers;
    std::vector<std::string> files;

private:
    bool open_ = false;
};

struct CutResult {
    MemorySink sink;
    std::vector<tscut::SegmentInfo> segments;
};

void Cut(CutResult& result, const std::string& stream, size_t chunk, double seconds = 5, uint32_t first = 1) {
    tscut::TsCutter cutter(result.sink, seconds, first);
    for (size_t i = 0; i < stream.size(); i += chunk) {
        const size_t n = std::min(chunk, stream.size() - i);
        cutter.Feed(reinterpret_cast<const uint8_t*>(stream.data()) + i, n);
    }
    cutter.Finish();
    result.segments = cutter.Segments();
}

// The segments without their injected table copies, one after the other.
std::string Payload(const CutResult& r) {
    std::string all;
    for (size_t i = 0; i < r.sink.files.size(); ++i) all += r.sink.files[i].substr(r.segments[i].injectedBytes);
    return all;
}

// The presentation time of the first video frame of a segment, and whether it is a keyframe.
bool FirstVideoFrame(const std::string& file, uint64_t& pts, bool& key) {
    for (size_t i = 0; i + 188 <= file.size(); i += 188) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(file.data()) + i;
        const mediatest::TsPacket t = mediatest::ParsePacket(p);
        if (t.pid != kVideoPid || !t.unitStart) continue;
        const uint8_t* pes = p + t.payload;
        pts = (uint64_t((pes[9] >> 1) & 7) << 30) | (uint64_t(pes[10]) << 22) | (uint64_t(pes[11] >> 1) << 15) |
              (uint64_t(pes[12]) << 7) | (pes[13] >> 1);
        key = (pes[9 + 5 + 10] & 0x1F) == 5;
        return true;
    }
    return false;
}

void ExpectStartsWithTables(const std::string& file, const std::string& what) {
    ASSERT_GE(file.size(), 2u * 188) << what;
    const auto packets = mediatest::Packets(file.substr(0, 2 * 188));
    EXPECT_EQ(packets[0].pid, 0) << what << ": first packet is not the PAT";
    EXPECT_EQ(packets[1].pid, kPmtPid) << what << ": second packet is not the PMT";
}

class TsCutterShapes : public ::testing::TestWithParam<StreamShape> {};

TEST_P(TsCutterShapes, CutsAtKeyframesOnTheSegmentGridAndKeepsEveryByte) {
    const StreamShape& shape = GetParam();
    const std::string stream = MakeStream(shape);
    CutResult r;
    Cut(r, stream, 65536);

    const std::vector<double>& starts = shape.starts;
    ASSERT_EQ(r.segments.size(), starts.size());
    for (size_t i = 0; i < r.segments.size(); ++i) {
        const std::string what = std::string(shape.name) + " segment " + std::to_string(i + 1);
        EXPECT_EQ(r.sink.numbers[i], i + 1);
        ExpectStartsWithTables(r.sink.files[i], what);
        uint64_t pts = 0;
        bool key = false;
        ASSERT_TRUE(FirstVideoFrame(r.sink.files[i], pts, key)) << what;
        EXPECT_TRUE(key) << what;
        EXPECT_TRUE(r.segments[i].startsWithKeyframe) << what;
        const uint64_t sinceFirst = (pts - shape.firstPts) & ((uint64_t(1) << 33) - 1);  // the clock is 33 bits
        EXPECT_NEAR(double(sinceFirst) / kHz, starts[i], 1e-6) << what;
        const double end = i + 1 < starts.size() ? starts[i + 1] : shape.seconds;
        EXPECT_NEAR(r.segments[i].seconds, end - starts[i], 1e-6) << what;
        EXPECT_EQ(r.segments[i].bytes, r.sink.files[i].size());
    }
    EXPECT_TRUE(mediatest::SameBytes(Payload(r), stream));
    // Tables right before the keyframe are used as they stand; copies only where none are at hand.
    for (size_t i = 1; i < r.segments.size(); ++i) {
        EXPECT_EQ(r.segments[i].injectedBytes, shape.tablesBeforeKeys ? 0u : 2u * 188) << "segment " << i + 1;
    }
    EXPECT_EQ(r.segments[0].injectedBytes, shape.sdtFirst ? 2u * 188 : 0u);
    EXPECT_FALSE(r.sink.open());
}

INSTANTIATE_TEST_SUITE_P(
    Streams, TsCutterShapes,
    ::testing::Values(StreamShape{"ffmpeg_like", 23, 5, true, true, true, 126000, {0, 5, 10, 15, 20}},
                      StreamShape{"key_every_second", 23, 1, true, false, true, 0, {0, 5, 10, 15, 20}},
                      StreamShape{"no_tables_at_keys", 17, 1, false, false, true, 900, {0, 5, 10, 15}},
                      // Late keyframes: the cut waits for one, and the next cut is back on the 5 s grid.
                      StreamShape{"key_every_3s", 25, 3, true, true, true, 126000, {0, 6, 12, 15, 21}},
                      StreamShape{"unflagged_idr", 12, 1, false, true, false, 126000, {0, 5, 10}},
                      StreamShape{"clock_wraps", 16, 1, true, false, true, (uint64_t(1) << 33) - 7 * kHz,
                                  {0, 5, 10, 15}}),
    [](const ::testing::TestParamInfo<StreamShape>& info) { return std::string(info.param.name); });

TEST(TsCutter, ChunkSizesDoNotChangeTheOutput) {
    const std::string stream = MakeStream({"x", 16, 1, true, true, true, 126000, {}});
    CutResult whole;
    Cut(whole, stream, stream.size());
    ASSERT_EQ(whole.segments.size(), 4u);
    for (size_t chunk : {size_t(1), size_t(187), size_t(189), size_t(4096)}) {
        CutResult r;
        Cut(r, stream, chunk);
        EXPECT_TRUE(mediatest::SameFiles(r.sink.files, whole.sink.files)) << "chunk " << chunk;
    }
}

TEST(TsCutter, NumbersFromTheFirstNumberAndHonoursTheLength) {
    const std::string stream = MakeStream({"x", 20, 1, true, false, true, 0, {}});
    CutResult r;
    Cut(r, stream, 10000, 4, 7);
    EXPECT_EQ(r.sink.numbers, (std::vector<uint32_t>{7, 8, 9, 10, 11}));
    EXPECT_TRUE(mediatest::SameBytes(Payload(r), stream));
}

TEST(TsCutter, GarbageAndATrailingPartialPacketPassThrough) {
    std::string stream = "junk!" + MakeStream({"x", 11, 1, true, false, true, 0, {}});
    stream.insert(stream.size() / 2 / 188 * 188 + 5, "\x01\x02\x03");  // out of step in the middle
    stream += std::string(100, '\x47');                                // cut off at the end
    CutResult r;
    Cut(r, stream, 777);
    ASSERT_EQ(r.segments.size(), 3u);
    EXPECT_TRUE(mediatest::SameBytes(Payload(r), stream));
}

TEST(TsCutter, AudioOnlyStreamIsCutAtAudioFrames) {
    StreamBuilder b(false);
    b.Pat();
    b.Pmt();
    for (int f = 0; f < 12 * 20; ++f) b.Frame(kAudioPid, uint64_t(f) * 4500, false, 1);
    CutResult r;
    Cut(r, b.bytes, 5000);
    ASSERT_EQ(r.segments.size(), 3u);
    EXPECT_NEAR(r.segments[0].seconds, 5.0, 1e-6);
    EXPECT_NEAR(r.segments[1].seconds, 5.0, 1e-6);
    EXPECT_NEAR(r.segments[2].seconds, 2.0, 1e-6);
    EXPECT_TRUE(mediatest::SameBytes(Payload(r), b.bytes));
}

TEST(TsCutter, EmptyInputMakesNoSegment) {
    CutResult r;
    Cut(r, std::string(), 1);
    EXPECT_TRUE(r.sink.numbers.empty());
}

TEST(TsCutter, PlaylistListsClosedSegmentsWithTheirLengths) {
    std::vector<tscut::SegmentInfo> segments(3);
    segments[0].number = 4;
    segments[0].seconds = 5.005;
    segments[1].number = 5;
    segments[1].seconds = 5.4;
    segments[2].number = 6;
    segments[2].seconds = 1.25;
    EXPECT_EQ(tscut::BuildPlaylist(segments, 5, "http://h/video/stream/ab12/", "segment", true),
              "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:5\n#EXT-X-MEDIA-SEQUENCE:4\n"
              "#EXTINF:5.005,\nhttp://h/video/stream/ab12/segment-4.ts\n"
              "#EXTINF:5.400,\nhttp://h/video/stream/ab12/segment-5.ts\n"
              "#EXTINF:1.250,\nhttp://h/video/stream/ab12/segment-6.ts\n#EXT-X-ENDLIST\n");
    segments[1].seconds = 5.6;  // rounds to 6: the target duration follows
    EXPECT_NE(tscut::BuildPlaylist(segments, 5, "", "s", false).find("#EXT-X-TARGETDURATION:6\n"), std::string::npos);
    EXPECT_EQ(tscut::BuildPlaylist(segments, 5, "", "s", false).find("ENDLIST"), std::string::npos);
}

// On a real encoder's output every segment starts with a keyframe and lasts 5 +- 0.2 s.
TEST(TsCutter, RealEncoderOutput) {
    const std::string clip = mediatest::MakeTsClip("cutter.ts", 17);
    const std::string stream = mediatest::ReadAll(clip);
    CutResult r;
    Cut(r, stream, 32768);
    ASSERT_EQ(r.segments.size(), 4u);
    EXPECT_TRUE(mediatest::SameBytes(Payload(r), stream));
    testsupport::TempDir dir;
    for (size_t i = 0; i < r.segments.size(); ++i) {
        const std::string what = "segment " + std::to_string(i + 1);
        ExpectStartsWithTables(r.sink.files[i], what);
        if (i + 1 < r.segments.size()) {
            EXPECT_NEAR(r.segments[i].seconds, 5.0, 0.2) << what;
        }
        const std::string path = dir.file("s" + std::to_string(i) + ".ts");
        testsupport::WriteFile(path, r.sink.files[i]);
        // ffprobe's own reading: the segment's first video packet is a keyframe.
        const std::string flags = mediatest::Probe({"-select_streams", "v", "-show_entries", "packet=flags",
                                                    "-of", "csv=p=0", path});
        EXPECT_EQ(flags.substr(0, 1), "K") << what << ": " << flags;
    }
    EXPECT_NEAR(r.segments.back().seconds, 2.0, 0.2);
}

}  // namespace
