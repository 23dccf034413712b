#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "api/StreamRequest.h"
#include "media/FfmpegMetadataParser.h"
#include "media/TranscodeParams.h"

namespace {

TEST(StreamRequest, EveryElementFillsItsField) {
    TranscodeParams p;
    ParseStreamRequest(p,
                       "<?xml version=\"1.0\"?><Play><Streams Video=\"3\" Audio=\"5\" Subtitle=\"7\"/>"
                       "<Resolution width=\"1280\" height=\"720\" aspect=\"1.7777\"/><PlayWithoutConversion/>"
                       "<ClientIdentifier>K\xC3\xBChlschrank</ClientIdentifier>"
                       "<Bitrate target=\"2500\" tolerance=\"3000\"/></Play>");
    EXPECT_EQ(3, p.VideoIndex);
    EXPECT_EQ(5, p.AudioIndex);
    EXPECT_EQ(7, p.SubtitleIndex);
    EXPECT_EQ(1280, p.Width);
    EXPECT_EQ(720, p.Height);
    EXPECT_DOUBLE_EQ(1.7777, p.Aspect);
    EXPECT_TRUE(p.PlayWithoutConversion);
    EXPECT_EQ(L"K\u00fchlschrank", p.ClientIdentifier);
    EXPECT_EQ(2500u, p.TargetBitrate);
    EXPECT_EQ(3000, p.BitrateTolerance);
}

TEST(StreamRequest, AnEmptyDocumentKeepsTheDefaultsAndClearsTheAspect) {
    TranscodeParams p;
    p.Aspect = 2.5;  // whatever it held, 0 now means "not given"
    ParseStreamRequest(p, "<Anything><Unknown Video=\"9\"/></Anything>");
    EXPECT_EQ(-1, p.VideoIndex);
    EXPECT_EQ(-1, p.AudioIndex);
    EXPECT_EQ(-1, p.SubtitleIndex);
    EXPECT_EQ(320, p.Width);
    EXPECT_EQ(240, p.Height);
    EXPECT_EQ(0.0, p.Aspect);
    EXPECT_FALSE(p.PlayWithoutConversion);
    EXPECT_EQ(1200u, p.TargetBitrate);
    EXPECT_EQ(1300, p.BitrateTolerance);
}

TEST(StreamRequest, AttributeNamesAreExactAndNegativeNumbersAreNotTracks) {
    TranscodeParams p;
    // Letter case counts; "-1" must not become track 1.
    ParseStreamRequest(p, "<P><Streams video=\"4\" Audio=\"-1\"/><Resolution WIDTH=\"999\" height=\"480\"/></P>");
    EXPECT_EQ(-1, p.VideoIndex);
    EXPECT_EQ(-1, p.AudioIndex);
    EXPECT_EQ(320, p.Width);
    EXPECT_EQ(480, p.Height);
}

TEST(StreamRequest, APictureLargerThanAnyScreenIsCutDown) {
    TranscodeParams p;
    ParseStreamRequest(p, "<P><Resolution width=\"16000\" height=\"3840\"/></P>");
    EXPECT_EQ(4096, p.Width);
    EXPECT_EQ(3840, p.Height);
}

TEST(StreamRequest, ADocumentThatDoesNotParseThrows) {
    for (const char* body : {"", "not xml", "<Play><Streams></Play>"}) {
        TranscodeParams p;
        EXPECT_THROW(ParseStreamRequest(p, body), std::runtime_error) << body;
    }
}

TEST(StreamRequest, ThreadsFollowTheShareOfTheCpus) {
    const struct {
        int32_t width, height;
        uint32_t small, large;
        int cpus;
        int32_t threads;
    } cases[] = {
        {320, 240, 50, 100, 4, 2},   {1280, 720, 50, 100, 4, 4}, {800, 480, 50, 100, 4, 2},  // 480 < 528
        {700, 720, 50, 100, 4, 2},   {768, 528, 50, 100, 4, 4},  {320, 240, 0, 100, 4, 1},
        {1920, 1080, 50, 0, 8, 1},   {320, 240, 30, 100, 3, 1},  {320, 240, 40, 100, 3, 2},  // ceil(1.2)
        {320, 240, 250, 100, 2, 5},  {320, 240, 50, 100, 1, 1},  {-1, -1, 50, 100, 4, 4},    // negative: large
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.threads, ThreadsForShare(StreamCoreShare(c.width, c.height, c.small, c.large), c.cpus))
            << c.width << "x" << c.height << " shares " << c.small << "/" << c.large << " on " << c.cpus;
    }
}

class CountingFactory : public IMetadataFactory {
public:
    boost::shared_ptr<IMetadata> ParseProcess(KivProcess&, const std::wstring& path) override { return GetMetadata(path); }
    boost::shared_ptr<IMetadata> GetMetadata(const std::wstring& path) override {
        ++probes;
        asked = path;
        return empty ? boost::shared_ptr<IMetadata>() : Metadata::GetInstance(facts);
    }
    Metadata::Facts facts;
    bool empty = false;
    int probes = 0;
    std::wstring asked;
};

StreamInfo Track(const std::string& id) {
    StreamInfo t;
    t.id = id;
    return t;
}

class TrackChoice : public ::testing::Test {
protected:
    TrackChoice() {
        factory.facts.duration = 60;
        factory.facts.width = 1280;
        factory.facts.height = 720;
        factory.facts.video = {Track("2"), Track("4")};
        factory.facts.audio = {Track("1"), Track("3")};
    }
    CountingFactory factory;
};

TEST_F(TrackChoice, EitherTrackLeftOpenReplacesBoth) {
    const struct {
        int32_t video, audio;
    } given[] = {{-1, -1}, {4, -1}, {-1, 3}};
    for (const auto& g : given) {
        TranscodeParams p;
        p.VideoIndex = g.video;
        p.AudioIndex = g.audio;
        p.Aspect = 1.5;
        ChooseTracksAndAspect(p, L"/v/film.mkv", &factory);
        EXPECT_EQ(2, p.VideoIndex) << g.video << "," << g.audio;
        EXPECT_EQ(1, p.AudioIndex) << g.video << "," << g.audio;
        EXPECT_DOUBLE_EQ(1.5, p.Aspect);
    }
    EXPECT_EQ(L"/v/film.mkv", factory.asked);
}

TEST_F(TrackChoice, AnAspectLeftOpenIsWidthOverHeight) {
    TranscodeParams p;
    p.VideoIndex = 4;
    p.AudioIndex = 3;
    ChooseTracksAndAspect(p, L"/v/film.mkv", &factory);
    EXPECT_DOUBLE_EQ(1280.0 / 720.0, p.Aspect);
    EXPECT_EQ(4, p.VideoIndex);
    EXPECT_EQ(3, p.AudioIndex);
}

TEST_F(TrackChoice, NothingOpenAsksNothing) {
    TranscodeParams p;
    p.VideoIndex = 0;
    p.AudioIndex = 0;
    p.Aspect = 1.25;
    ChooseTracksAndAspect(p, L"/v/film.mkv", nullptr);
    EXPECT_EQ(0, factory.probes);
    EXPECT_EQ(0, p.VideoIndex);
    EXPECT_DOUBLE_EQ(1.25, p.Aspect);
}

TEST_F(TrackChoice, AFileWithoutTracksKeepsTheIndexes) {
    factory.facts.video.clear();
    factory.facts.audio.clear();
    factory.facts.height = 0;  // no picture height: the aspect stays open rather than infinite
    TranscodeParams p;
    ChooseTracksAndAspect(p, L"/v/a.mp3", &factory);
    EXPECT_EQ(-1, p.VideoIndex);
    EXPECT_EQ(-1, p.AudioIndex);
    EXPECT_EQ(0.0, p.Aspect);
}

TEST_F(TrackChoice, NoFactsThrow) {
    factory.empty = true;
    for (IMetadataFactory* f : {static_cast<IMetadataFactory*>(&factory), static_cast<IMetadataFactory*>(nullptr)}) {
        TranscodeParams p;
        try {
            ChooseTracksAndAspect(p, L"/v/broken.mkv", f);
            ADD_FAILURE() << "nothing thrown";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ("Cannot instantiate metaData - corrupt file?", e.what());
        }
    }
}

}  // namespace
