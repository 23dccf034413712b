// Thumbnails from real ffmpeg runs on small lavfi clips, scaled by the application's image operations.
#include "media/Thumbnail.h"

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/image.h>
#include <wx/init.h>

#include "MediaFakes.h"
#include "MediaTestSupport.h"
#include "ThumbnailEnvironment.h"
#include "core/Util.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/MediaRunSlot.h"

namespace {

using testsupport::TempDir;

::testing::Environment* const g_images =
    ::testing::AddGlobalTestEnvironment(new mediatest::ThumbnailEnvironment);

std::string WideClip() {  // 16:9, 6 s
    return mediatest::MakeClip("thumb-wide.mp4", {"-f", "lavfi", "-i", "testsrc=size=640x360:rate=25:duration=6",
                                                  "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
}
std::string ShortClip() {  // 4:3, 2 s: shorter than the default offset of 4 s
    return mediatest::MakeClip("thumb-short.mp4", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=2",
                                                   "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
}

struct Picture {
    int width = 0, height = 0;
    std::string gray;  // one byte per pixel, rows top to bottom
    int At(int x, int y) const { return static_cast<unsigned char>(gray[size_t(y) * size_t(width) + size_t(x)]); }
    // Mean brightness of a rectangle.
    double Mean(int x0, int y0, int x1, int y1) const {
        double sum = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) sum += At(x, y);
        return sum / double((x1 - x0) * (y1 - y0));
    }
};

// What ffmpeg itself decodes from an image file (independent of the code under test).
Picture Decode(const std::string& path) {
    Picture p;
    const std::string size = mediatest::Probe({"-select_streams", "v:0", "-show_entries", "stream=width,height,codec_name",
                                               "-of", "default=nw=1", path});
    EXPECT_NE(std::string::npos, size.find("codec_name=mjpeg")) << size;
    sscanf(size.c_str() + size.find("width="), "width=%d", &p.width);
    sscanf(size.c_str() + size.find("height="), "height=%d", &p.height);
    p.gray = mediatest::Run({"ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "gray", "-"}).out;
    EXPECT_EQ(size_t(p.width) * size_t(p.height), p.gray.size());
    return p;
}

class ThumbnailTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetImageResizeCallback(ResizeImage);
        SetImageSizeCallback(GetImageSize);
        ClearMetadataCache();
        metadataHolder = MetadataFactory::GetInstance();
    }
    void TearDown() override {
        SetImageResizeCallback(ResizeImage);
        SetImageSizeCallback(GetImageSize);
    }
    std::wstring W(const std::string& path) const { return kivm::FromUTF8ExW(path); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
        return names;
    }

    TempDir dir;
    boost::shared_ptr<IMetadataFactory> metadataHolder;
};

TEST(ThumbnailArguments, SeekBeforeTheInputOnePictureUnderItsOwnName) {
    EXPECT_EQ((std::vector<std::string>{"-y", "-threads", "1", "-ss", "7", "-i", "file:/v/a %d.avi", "-vcodec", "png", "-frames:v", "1",
                                        "-update", "1", "-an", "-f", "image2", "file:/c/temp-1.jpg.png"}),
              Thumbnail::GrabArguments(L"/c/temp-1.jpg.png", L"/v/a %d.avi", 7));
}

TEST_F(ThumbnailTest, AWideFrameIsLetterboxedOnACanvasOfTheBoxSize) {
    const std::string jpeg = dir.file("out.jpg");
    boost::shared_ptr<Thumbnail> thumbnail = Thumbnail::GetInstance(metadataHolder.get());
    ASSERT_TRUE(thumbnail->CreateJPEG(W(jpeg), W(WideClip()), 320, 240, 1));
    EXPECT_EQ(L"", thumbnail->GetLastError());
    const Picture p = Decode(jpeg);
    ASSERT_EQ(320, p.width);
    ASSERT_EQ(240, p.height);
    // 320 x 180 at 30 pixels from the top: black bands above and below, the test picture between.
    EXPECT_LT(p.Mean(0, 0, 320, 27), 8.0);
    EXPECT_LT(p.Mean(0, 213, 320, 240), 8.0);
    EXPECT_GT(p.Mean(0, 35, 320, 205), 40.0);
    // Only the JPEG is left: the intermediate picture is gone.
    EXPECT_EQ(std::vector<std::string>{"out.jpg"}, Files());
}

TEST_F(ThumbnailTest, TheGrabFillsTheMetadataCacheFromItsOwnRun) {
    // The grab must take the facts from its own run, never from a probe of its own.
    class ParseOnly : public IMetadataFactory {
    public:
        boost::shared_ptr<IMetadata> ParseProcess(KivProcess& p, const std::wstring& path) override {
            ++parsed;
            return MetadataFactory::GetInstance()->ParseProcess(p, path);
        }
        boost::shared_ptr<IMetadata> GetMetadata(const std::wstring&) override {
            ++probed;
            return boost::shared_ptr<IMetadata>();
        }
        int parsed = 0, probed = 0;
    } factory;
    ASSERT_TRUE(Thumbnail::GetInstance(&factory)->CreateJPEG(W(dir.file("a.jpg")), W(WideClip()), 160, 120, 1));
    EXPECT_EQ(1, factory.parsed);
    EXPECT_EQ(0, factory.probed);
    boost::shared_ptr<IMetadata> cached = metadataHolder->GetMetadata(W(WideClip()));
    ASSERT_TRUE(cached);
    EXPECT_EQ(640, cached->GetWidth());
}

TEST_F(ThumbnailTest, AnOffsetPastTheEndTakesTheFirstFrame) {
    const std::string jpeg = dir.file("short.jpg");
    ASSERT_TRUE(Thumbnail::GetInstance(metadataHolder.get())->CreateJPEG(W(jpeg), W(ShortClip()), 320, 240, 4));
    const Picture p = Decode(jpeg);
    EXPECT_EQ(320, p.width);
    EXPECT_EQ(240, p.height);
    EXPECT_GT(p.Mean(0, 0, 320, 240), 40.0);  // a 4:3 picture fills the box
}

TEST_F(ThumbnailTest, NamesWithPercentSignsAndAnOldOutputAreNoObstacle) {
    const std::string folder = dir.file("100%d films");
    std::filesystem::create_directories(folder);
    const std::string jpeg = folder + "/t.jpg";
    testsupport::WriteFile(jpeg + ".png", "left over by an earlier run");
    ASSERT_TRUE(Thumbnail::GetInstance(metadataHolder.get())->CreateJPEG(W(jpeg), W(WideClip()), 64, 48, 0));
    std::filesystem::copy_file(jpeg, dir.file("plain.jpg"));  // ffprobe itself would expand the "%d"
    EXPECT_EQ(64, Decode(dir.file("plain.jpg")).width);
    EXPECT_FALSE(testsupport::PathExists(jpeg + ".png"));
}

TEST_F(ThumbnailTest, AFileFfmpegCannotReadFailsWithoutLastErrorAndLeavesNothing) {
    testsupport::WriteFile(dir.file("notes.avi"), "not a video");
    boost::shared_ptr<Thumbnail> thumbnail = Thumbnail::GetInstance(metadataHolder.get());
    EXPECT_FALSE(thumbnail->CreateJPEG(W(dir.file("x.jpg")), W(dir.file("notes.avi")), 320, 240, 4));
    EXPECT_EQ(L"", thumbnail->GetLastError());
    EXPECT_EQ(std::vector<std::string>{"notes.avi"}, Files());
}

TEST_F(ThumbnailTest, NoFactsFromTheRunIsAMetadataFailureAndLeavesNothing) {
    mediatest::FakeMetadataFactory factory;
    factory.fail = true;
    boost::shared_ptr<Thumbnail> thumbnail = Thumbnail::GetInstance(&factory);
    EXPECT_FALSE(thumbnail->CreateJPEG(W(dir.file("x.jpg")), W(WideClip()), 320, 240, 1));
    EXPECT_EQ(L"Metadata parse failed", thumbnail->GetLastError());
    EXPECT_TRUE(Files().empty());
}

TEST_F(ThumbnailTest, WithoutResizeCallbackTheGrabbedFrameStandsAsItIs) {
    SetImageResizeCallback(nullptr);
    const std::string out = dir.file("raw.jpg");
    ASSERT_TRUE(Thumbnail::GetInstance(metadataHolder.get())->CreateJPEG(W(out), W(WideClip()), 320, 240, 1));
    EXPECT_NE(std::string::npos, mediatest::Probe({"-show_entries", "stream=codec_name,width", "-of", "default=nw=1", out})
                                     .find("codec_name=png\nwidth=640"));
}

TEST_F(ThumbnailTest, AGrabThatOutlivesItsLimitIsStopped) {
    // ffmpeg waits for a writer that never comes.
    const std::string fifo = dir.file("stalled.mp4");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    MediaRunSlot::SetTimeLimitMs(500);
    boost::shared_ptr<Thumbnail> thumbnail = Thumbnail::GetInstance(metadataHolder.get());
    const bool made = thumbnail->CreateJPEG(W(dir.file("x.jpg")), W(fifo), 320, 240, 4);
    MediaRunSlot::SetTimeLimitMs(60000);
    EXPECT_FALSE(made);
    EXPECT_EQ(L"", thumbnail->GetLastError());
    EXPECT_TRUE(mediatest::ProcessesNaming(fifo).empty());
    EXPECT_EQ(std::vector<std::string>{"stalled.mp4"}, Files());
}

TEST_F(ThumbnailTest, ResizeFitsAPictureByItsShape) {
    // 100 x 100 in a 320 x 240 box: 240 x 240 at left 40.
    const std::string square = dir.file("square.png");
    mediatest::Run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=white:size=100x100", "-frames:v", "1", square});
    const std::string out = dir.file("out.jpg");
    boost::shared_ptr<Thumbnail> thumbnail = Thumbnail::GetInstance(metadataHolder.get());
    ASSERT_TRUE(thumbnail->ResizeJPEG(W(out), W(square), 320, 240));
    const Picture p = Decode(out);
    ASSERT_EQ(320, p.width);
    ASSERT_EQ(240, p.height);
    EXPECT_LT(p.Mean(0, 0, 37, 240), 8.0);
    EXPECT_LT(p.Mean(283, 0, 320, 240), 8.0);
    EXPECT_GT(p.Mean(43, 0, 277, 240), 240.0);
}

TEST_F(ThumbnailTest, ResizeFailuresAndTheirTexts) {
    boost::shared_ptr<Thumbnail> thumbnail = Thumbnail::GetInstance(metadataHolder.get());
    EXPECT_FALSE(thumbnail->ResizeJPEG(W(dir.file("o.jpg")), W(dir.file("missing.png")), 320, 240));
    EXPECT_EQ(L"", thumbnail->GetLastError());
    testsupport::WriteFile(dir.file("fake.png"), "no picture");
    EXPECT_FALSE(thumbnail->ResizeJPEG(W(dir.file("o.jpg")), W(dir.file("fake.png")), 320, 240));
    EXPECT_EQ(L"Image size fetch operation failed", thumbnail->GetLastError());
    EXPECT_FALSE(testsupport::PathExists(dir.file("o.jpg")));
}

TEST(MediaRunSlot, NoMoreRunsThanCoresAtOnce) {
    const uint32_t limit = MediaRunSlot::Limit();
    ASSERT_GE(limit, 1u);
    std::atomic<uint32_t> inside{0}, most{0};
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < limit * 3; ++i) {
        threads.emplace_back([&] {
            MediaRunSlot slot;
            const uint32_t now = ++inside;
            uint32_t seen = most;
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            --inside;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_LE(most.load(), limit);
    EXPECT_GE(most.load(), 1u);
    EXPECT_EQ(0u, MediaRunSlot::Taken());
}

}  // namespace
