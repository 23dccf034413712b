#include "core/Util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/log.h>

#include "core/FileMaker.h"
#include "core/Log.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

using testsupport::PathExists;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// The image operations need only the image handlers, never a display: no wxApp, no DISPLAY.
class ImageEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        ASSERT_TRUE(wxInitialize());
        wxInitAllImageHandlers();
    }
    void TearDown() override { wxUninitialize(); }
};
::testing::Environment* const imageEnvironment = ::testing::AddGlobalTestEnvironment(new ImageEnvironment);

// ---- extension tests

struct ExtensionCase {
    std::wstring path;
    bool video;
};

TEST(IsVideoFile, TestsTheTextAfterTheLastDotInLowerCase) {
    const std::set<std::wstring> videos = {L"avi", L"mkv", L"mp4", L"dvr-ms"};
    const ExtensionCase cases[] = {
        {L"Movie.AVI", true},
        {L"/media/films/Movie.mkv", true},
        {L"Show.Dvr-Ms", true},
        {L"Movie", false},
        {L"/media/my.films/Movie", false},  // the last dot is in a folder name
        {L"/media/my.avi/Movie", false},     // "avi/Movie" is not an extension
        {L"Movie.", false},
        {L"Movie.avi.txt", false},
        {L"Movie.txt.avi", true},
        {L"", false},
    };
    for (const ExtensionCase& c : cases) {
        EXPECT_EQ(IsVideoFile(c.path, videos), c.video) << kivm::ToUTF8Ex(c.path);
    }
}

TEST(IsSubtitleFile, UsesTheSetItIsGiven) {
    const std::set<std::wstring> subtitles = {L"srt", L"ssa", L"ass"};
    EXPECT_TRUE(IsSubtitleFile(L"/v/Film.SRT", subtitles));
    EXPECT_TRUE(IsSubtitleFile(L"/v/subs/Film.en.ass", subtitles));
    EXPECT_FALSE(IsSubtitleFile(L"/v/Film.avi", subtitles));
    EXPECT_FALSE(IsSubtitleFile(L"/v/Film.srt/readme", subtitles));
    EXPECT_FALSE(IsVideoFile(L"/v/Film.srt", {}));
}

// ---- box fitting

struct Fit {
    uint32_t width, height, top, left;
};

bool operator==(const Fit& a, const Fit& b) {
    return a.width == b.width && a.height == b.height && a.top == b.top && a.left == b.left;
}

std::ostream& operator<<(std::ostream& out, const Fit& f) {
    return out << f.width << "x" << f.height << " top " << f.top << " left " << f.left;
}

struct BoxCase {
    uint32_t boxWidth, boxHeight, sourceWidth, sourceHeight;
    Fit expected;
};

TEST(FitToBox, FitsByTheWiderSideAndCentres) {
    const BoxCase cases[] = {
        {320, 240, 1920, 1080, {320, 180, 30, 0}},  // 1778 against 1333 thousandths: by width
        {320, 240, 720, 960, {180, 240, 0, 70}},    // taller than the box: by height
        {320, 240, 640, 480, {320, 240, 0, 0}},     // the same shape
        {320, 240, 321, 240, {320, 239, 0, 0}},     // 1338 against 1333: by width, height truncated
        {320, 240, 16, 9, {320, 180, 30, 0}},       // a display aspect ratio as the source
        {100, 100, 3, 1, {100, 33, 33, 0}},         // truncating division for size and offset
        {320, 240, 4000000000u, 3000000000u, {320, 240, 0, 0}},  // no overflow with huge sizes
        {320, 240, 4000000000u, 1000000000u, {320, 80, 80, 0}},
        {1, 1, 16, 9, {1, 1, 0, 0}},                // thin boxes: no side rounds to 0
        {1, 100, 16, 9, {1, 1, 49, 0}},
        {100, 1, 9, 16, {1, 1, 0, 49}},
        {1000, 10, 1, 4000, {1, 10, 0, 499}},
    };
    for (const BoxCase& c : cases) {
        Fit fit{1, 1, 1, 1};
        EXPECT_TRUE(FitToBox(fit.width, fit.height, fit.top, fit.left, c.boxWidth, c.boxHeight, c.sourceWidth,
                             c.sourceHeight));
        EXPECT_EQ(fit, c.expected) << c.sourceWidth << "x" << c.sourceHeight << " in " << c.boxWidth << "x"
                                   << c.boxHeight;
    }
}

TEST(FitToBox, AZeroSizeGivesTheWholeBox) {
    const BoxCase cases[] = {
        {320, 240, 0, 1080, {320, 240, 0, 0}},
        {320, 240, 1920, 0, {320, 240, 0, 0}},
        {320, 240, 0, 0, {320, 240, 0, 0}},
        {320, 0, 1920, 1080, {320, 0, 0, 0}},
        {0, 240, 1920, 1080, {0, 240, 0, 0}},
    };
    for (const BoxCase& c : cases) {
        Fit fit{1, 1, 1, 1};
        EXPECT_TRUE(FitToBox(fit.width, fit.height, fit.top, fit.left, c.boxWidth, c.boxHeight, c.sourceWidth,
                             c.sourceHeight));
        EXPECT_EQ(fit, c.expected) << c.sourceWidth << "x" << c.sourceHeight << " in " << c.boxWidth << "x"
                                   << c.boxHeight;
    }
}

struct RatioCase {
    uint32_t boxWidth, boxHeight;
    double ratio;
    Fit expected;
};

TEST(FitToBoxByRatio, FitsTheGivenShape) {
    const RatioCase cases[] = {
        {320, 240, 2.0, {320, 160, 40, 0}},
        {320, 240, 0.75, {180, 240, 0, 70}},
        {320, 240, 4.0 / 3.0, {320, 240, 0, 0}},
        {320, 240, 1.3334, {320, 240, 0, 0}},      // the same thousandths count as the same shape
        {320, 240, 1.3383, {320, 239, 0, 0}},      // 320 / 1.3383 = 239.1, truncated
        {320, 240, 1e-9, {1, 240, 0, 159}},        // a sliver keeps a pixel, centred
        {320, 240, 1e12, {320, 1, 119, 0}},
        {1, 1, 16.0 / 9.0, {1, 1, 0, 0}},          // thin boxes: no side rounds to 0
        {1, 100, 1.5, {1, 1, 49, 0}},
        {100, 1, 0.5, {1, 1, 0, 49}},
    };
    for (const RatioCase& c : cases) {
        Fit fit{1, 1, 1, 1};
        EXPECT_TRUE(FitToBoxByRatio(fit.width, fit.height, fit.top, fit.left, c.boxWidth, c.boxHeight, c.ratio));
        EXPECT_EQ(fit, c.expected) << c.ratio;
    }
}

TEST(FitToBoxByRatio, ARatioThatIsNotAboveZeroGivesTheWholeBox) {
    const double ratios[] = {0.0, -2.0, std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity()};
    for (double ratio : ratios) {
        Fit fit{1, 1, 1, 1};
        EXPECT_TRUE(FitToBoxByRatio(fit.width, fit.height, fit.top, fit.left, 320, 240, ratio));
        EXPECT_EQ(fit, (Fit{320, 240, 0, 0})) << ratio;
    }
    Fit fit{1, 1, 1, 1};
    FitToBoxByRatio(fit.width, fit.height, fit.top, fit.left, 320, 0, 2.0);
    EXPECT_EQ(fit, (Fit{320, 0, 0, 0}));
}

// ---- longest common prefix

TEST(FindLongestCommonPrefix, PicksTheMemberSharingTheMostLeadingBytes) {
    struct Case {
        std::set<std::string> members;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {{"/media/a", "/media/films", "/music"}, "/media/films/x.avi", "/media/films"},
        {{"/media/films", "/media/films/kids"}, "/media/films/kids/a.avi", "/media/films/kids"},
        {{"/media/films/kids"}, "/media/f", "/media/films/kids"},  // shares 8 bytes, though longer than the text
        {{"ab1", "ab2"}, "abz", "ab1"},                            // a tie goes to the first in the set's order
        {{"x", "y"}, "abc", ""},
        {{}, "abc", ""},
        {{"abc"}, "", ""},
        {{"caf\xc3\xa9/1", "caf\xc3\xa8/2"}, "caf\xc3\xa8/2/v.avi", "caf\xc3\xa8/2"},  // bytes, not characters
    };
    for (const Case& c : cases) EXPECT_EQ(FindLongestCommonPrefix(c.members, c.text), c.expected) << c.text;
}

// ---- cache clean-up

// Forwards to the real file service and records what it removes, in order.
class RecordingFileMaker : public IFileMaker {
public:
    boost::shared_ptr<IBlockingStream> OpenForWrite(const std::wstring& p) override { return real_->OpenForWrite(p); }
    boost::shared_ptr<IBlockingStream> OpenForRead(const std::wstring& p) override { return real_->OpenForRead(p); }
    bool Exists(const std::wstring& p) override { return real_->Exists(p); }
    std::string GetModifiedTime(const std::wstring& p) override { return real_->GetModifiedTime(p); }
    uint64_t GetFileSize(const std::wstring& p) override { return real_->GetFileSize(p); }
    bool DeleteFile(const std::wstring& p) override {
        removed.push_back(kivm::ToUTF8Ex(p));
        return real_->DeleteFile(p);
    }
    void MakeDirectory(const std::wstring& p) override { real_->MakeDirectory(p); }
    void RemoveDirectory(const std::wstring& p) override {
        removed.push_back(kivm::ToUTF8Ex(p) + "/");
        real_->RemoveDirectory(p);
    }

    std::vector<std::string> removed;

private:
    boost::shared_ptr<IFileMaker> real_ = FileMaker::GetInstance();
};

void MakeFolder(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

void MakeStreamFolder(const std::string& path) {
    MakeFolder(path);
    WriteFile(path + "/" + kivm::ToUTF8Ex(kStreamFolderMarker), "");
}

class CacheCleanUp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(store);
        store->SetCacheFolder(kivm::FromUTF8ExW(cache));
    }

    TempDir dir;
    std::string cache = dir.file("cache");
    boost::shared_ptr<State> store = State::GetInstance(dir.wpath() + L"/data");
    KivFileFinderFactory finders;
    RecordingFileMaker files;
};

TEST_F(CacheCleanUp, RemovesOnlyMarkedStreamFoldersWithTheirContents) {
    MakeStreamFolder(cache + "/0a1b2c");
    WriteFile(cache + "/0a1b2c/segment-1.ts", "ts");
    WriteFile(cache + "/0a1b2c/index.m3u8", "#EXTM3U");
    MakeStreamFolder(cache + "/0a1b2c/ff00");  // a marked stream folder inside one goes as well
    WriteFile(cache + "/0a1b2c/ff00/segment-2.ts", "ts");
    MakeFolder(cache + "/deadbeef");  // hex-named, but the server did not make it
    WriteFile(cache + "/deadbeef/keep.txt", "mine");
    MakeStreamFolder(cache + "/ABC123");  // upper case is not a stream id
    MakeFolder(cache + "/offline");
    WriteFile(cache + "/offline/film.mp4", "film");
    MakeStreamFolder(cache + "/0a1b\nc");  // a line break must not pass for the end of the name
    WriteFile(cache + "/note.txt", "note");

    CleanCacheFolder(store.get(), &finders, &files);

    EXPECT_FALSE(PathExists(cache + "/0a1b2c"));
    EXPECT_TRUE(PathExists(cache + "/deadbeef/keep.txt"));
    EXPECT_TRUE(PathExists(cache + "/ABC123/" + kivm::ToUTF8Ex(kStreamFolderMarker)));
    EXPECT_TRUE(PathExists(cache + "/offline/film.mp4"));
    EXPECT_TRUE(PathExists(cache + "/0a1b\nc"));
    EXPECT_TRUE(PathExists(cache + "/note.txt"));
}

TEST_F(CacheCleanUp, NeverFollowsSymbolicLinks) {
    const std::string precious = dir.file("precious");
    MakeStreamFolder(precious);  // even a marked folder is safe behind a link
    WriteFile(precious + "/photo.jpg", "photo");
    ASSERT_EQ(symlink(precious.c_str(), (cache + "/abcdef").c_str()), 0);
    MakeStreamFolder(cache + "/0a1b2c");
    ASSERT_EQ(symlink(precious.c_str(), (cache + "/0a1b2c/link").c_str()), 0);
    ASSERT_EQ(symlink((precious + "/photo.jpg").c_str(), (cache + "/0a1b2c/photo-link").c_str()), 0);

    CleanCacheFolder(store.get(), &finders, &files);

    EXPECT_FALSE(PathExists(cache + "/0a1b2c"));  // its links went, as links
    EXPECT_TRUE(PathExists(cache + "/abcdef"));   // a link at the top is left alone
    EXPECT_TRUE(PathExists(precious + "/photo.jpg"));
    EXPECT_TRUE(PathExists(precious + "/" + kivm::ToUTF8Ex(kStreamFolderMarker)));
    EXPECT_EQ(testsupport::ReadFile(precious + "/photo.jpg"), "photo");
}

TEST_F(CacheCleanUp, RemovesTheMarkerLastSoAnInterruptedCleanUpIsResumed) {
    WriteFile(cache + "/" + kivm::ToUTF8Ex(kStreamFolderMarker), "");  // ignored in the cache folder itself
    MakeStreamFolder(cache + "/0a1b2c");
    WriteFile(cache + "/0a1b2c/segment-1.ts", "ts");
    WriteFile(cache + "/0a1b2c/segment-2.ts", "ts");

    CleanCacheFolder(store.get(), &finders, &files);

    ASSERT_EQ(files.removed.size(), 4u);
    EXPECT_EQ(files.removed[2], cache + "/0a1b2c/" + kivm::ToUTF8Ex(kStreamFolderMarker));
    EXPECT_EQ(files.removed[3], cache + "/0a1b2c/");
    EXPECT_TRUE(PathExists(cache + "/" + kivm::ToUTF8Ex(kStreamFolderMarker)));
}

TEST_F(CacheCleanUp, AFolderThatCannotBeRemovedStopsTheCleanUpWithItsPath) {
    MakeStreamFolder(cache + "/0a1b2c");
    MakeFolder(cache + "/0a1b2c/Keep");  // not a stream folder: left alone, so its parent cannot go

    try {
        CleanFolder(kivm::FromUTF8ExW(cache), &finders, &files, false);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Removal failed for directory: " + cache + "/0a1b2c");
    }
    EXPECT_TRUE(PathExists(cache + "/0a1b2c/Keep"));
    // It keeps its marker, so every later clean-up tries again, and says so in the log.
    EXPECT_TRUE(PathExists(cache + "/0a1b2c/" + kivm::ToUTF8Ex(kStreamFolderMarker)));
    const std::string log = kivm::ToUTF8Ex(GetLogFilePath());
    const size_t before = testsupport::ReadFile(log).size();
    EXPECT_NO_THROW(CleanCacheFolder(store.get(), &finders, &files));
    EXPECT_NE(testsupport::ReadFile(log).substr(before).find("Removal failed for directory: " + cache + "/0a1b2c"),
              std::string::npos);
}

TEST_F(CacheCleanUp, DeleteFilesFlagRemovesThePlainFilesOfTheFolder) {
    WriteFile(cache + "/a.ts", "a");
    MakeFolder(cache + "/sub");
    WriteFile(cache + "/sub/b.ts", "b");

    CleanFolder(kivm::FromUTF8ExW(cache), &finders, &files, true);

    EXPECT_FALSE(PathExists(cache + "/a.ts"));
    EXPECT_TRUE(PathExists(cache + "/sub/b.ts"));
}

TEST(CleanCacheFolder, AMissingCacheFolderIsNoError) {
    TempDir dir;
    boost::shared_ptr<State> store = State::GetInstance(dir.wpath() + L"/data");
    ASSERT_TRUE(store);
    store->SetCacheFolder(dir.wpath() + L"/cache");
    ASSERT_EQ(rmdir(dir.file("cache").c_str()), 0);
    KivFileFinderFactory finders;
    boost::shared_ptr<IFileMaker> files = FileMaker::GetInstance();
    EXPECT_NO_THROW(CleanCacheFolder(store.get(), &finders, files.get()));
    EXPECT_NO_THROW(CleanCacheFolder(nullptr, &finders, files.get()));
}

// ---- image operations

void WriteImage(const std::string& path, int width, int height, unsigned char r, unsigned char g, unsigned char b,
                wxBitmapType type = wxBITMAP_TYPE_PNG) {
    wxImage image(width, height, false);
    image.SetRGB(wxRect(0, 0, width, height), r, g, b);
    ASSERT_TRUE(image.SaveFile(wxString::FromUTF8(path.c_str()), type)) << path;
}

bool LoadImage(const std::string& path, wxImage& image) {
    return image.LoadFile(wxString::FromUTF8(path.c_str()), wxBITMAP_TYPE_ANY) && image.IsOk();
}

// JPEG is lossy: a channel counts as "off" below 40 and "full" above 215.
void ExpectColour(const wxImage& image, int x, int y, bool red, bool green, bool blue) {
    const int r = image.GetRed(x, y), g = image.GetGreen(x, y), b = image.GetBlue(x, y);
    EXPECT_TRUE(red ? r > 215 : r < 40) << "red " << r << " at " << x << "," << y;
    EXPECT_TRUE(green ? g > 215 : g < 40) << "green " << g << " at " << x << "," << y;
    EXPECT_TRUE(blue ? b > 215 : b < 40) << "blue " << b << " at " << x << "," << y;
}

TEST(GetImageSize, ReadsTheSizeOfPngAndJpegFiles) {
    TempDir dir;
    WriteImage(dir.file("wide.png"), 40, 20, 255, 0, 0);
    WriteImage(dir.file("tall.jpg"), 12, 30, 0, 255, 0, wxBITMAP_TYPE_JPEG);
    int32_t width = 0, height = 0;
    EXPECT_TRUE(GetImageSize(kivm::FromUTF8ExW(dir.file("wide.png")), width, height));
    EXPECT_EQ(width, 40);
    EXPECT_EQ(height, 20);
    EXPECT_TRUE(GetImageSize(kivm::FromUTF8ExW(dir.file("tall.jpg")), width, height));
    EXPECT_EQ(width, 12);
    EXPECT_EQ(height, 30);
}

TEST(GetImageSize, IsFalseWithZeroSizeForWhatIsNotAnImage) {
    TempDir dir;
    WriteFile(dir.file("notes.png"), "not an image at all");
    for (const std::string& name : {std::string("notes.png"), std::string("missing.png")}) {
        int32_t width = 7, height = 7;
        EXPECT_FALSE(GetImageSize(kivm::FromUTF8ExW(dir.file(name)), width, height)) << name;
        EXPECT_EQ(width, 0);
        EXPECT_EQ(height, 0);
    }
}

TEST(ResizeImage, ScalesOntoABlackCanvasOfTheBoxSizeAsJpeg) {
    TempDir dir;
    WriteImage(dir.file("wide.png"), 40, 20, 255, 0, 0);
    uint32_t width = 0, height = 0, top = 0, left = 0;
    FitToBoxByRatio(width, height, top, left, 320, 240, 2.0);  // 320 x 160 at top 40

    ASSERT_TRUE(ResizeImage(kivm::FromUTF8ExW(dir.file("thumb.jpg")), kivm::FromUTF8ExW(dir.file("wide.png")),
                            static_cast<int32_t>(width), static_cast<int32_t>(height), 320, 240,
                            static_cast<int32_t>(top), static_cast<int32_t>(left)));

    const std::string bytes = testsupport::ReadFile(dir.file("thumb.jpg"));
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(bytes.substr(0, 3), "\xFF\xD8\xFF");  // a JPEG file, whatever the destination's name says
    wxImage thumb;
    ASSERT_TRUE(LoadImage(dir.file("thumb.jpg"), thumb));
    EXPECT_EQ(thumb.GetWidth(), 320);
    EXPECT_EQ(thumb.GetHeight(), 240);
    ExpectColour(thumb, 160, 10, false, false, false);   // above the picture
    ExpectColour(thumb, 160, 120, true, false, false);   // the picture
    ExpectColour(thumb, 5, 60, true, false, false);
    ExpectColour(thumb, 160, 230, false, false, false);  // below it
}

TEST(ResizeImage, PlacesThePictureAtTheLeftOffset) {
    TempDir dir;
    WriteImage(dir.file("tall.png"), 30, 40, 0, 0, 255);
    ASSERT_TRUE(ResizeImage(kivm::FromUTF8ExW(dir.file("thumb.jpg")), kivm::FromUTF8ExW(dir.file("tall.png")), 180,
                            240, 320, 240, 0, 70));
    wxImage thumb;
    ASSERT_TRUE(LoadImage(dir.file("thumb.jpg"), thumb));
    EXPECT_EQ(thumb.GetWidth(), 320);
    EXPECT_EQ(thumb.GetHeight(), 240);
    ExpectColour(thumb, 30, 120, false, false, false);
    ExpectColour(thumb, 160, 120, false, false, true);
    ExpectColour(thumb, 300, 120, false, false, false);
}

TEST(ResizeImage, ASourceThatIsNotAnImageGivesFalseAndWritesNothing) {
    TempDir dir;
    WriteFile(dir.file("fake.png"), "plain text");
    EXPECT_FALSE(ResizeImage(kivm::FromUTF8ExW(dir.file("out.jpg")), kivm::FromUTF8ExW(dir.file("fake.png")), 320,
                             240, 320, 240, 0, 0));
    EXPECT_FALSE(ResizeImage(kivm::FromUTF8ExW(dir.file("out.jpg")), kivm::FromUTF8ExW(dir.file("missing.png")),
                             320, 240, 320, 240, 0, 0));
    EXPECT_FALSE(PathExists(dir.file("out.jpg")));
}

// Counts what reaches the framework's log.
class CountingLog : public wxLog {
public:
    int records = 0;
    std::string texts;

protected:
    void DoLogRecord(wxLogLevel, const wxString& message, const wxLogRecordInfo&) override {
        ++records;
        texts += message.utf8_string() + "\n";
    }
};

TEST(ResizeImage, FailuresNeverReachTheFrameworksLog) {
    TempDir dir;
    WriteImage(dir.file("good.png"), 40, 20, 255, 0, 0);
    const std::string png = testsupport::ReadFile(dir.file("good.png"));
    WriteFile(dir.file("cut.png"), png.substr(0, png.size() / 2));  // a PNG head, then nothing
    WriteFile(dir.file("text.png"), "plain text");
    CountingLog* counting = new CountingLog;
    wxLog* previous = wxLog::SetActiveTarget(counting);

    int32_t width = 0, height = 0;
    EXPECT_FALSE(GetImageSize(kivm::FromUTF8ExW(dir.file("cut.png")), width, height));
    EXPECT_FALSE(ResizeImage(kivm::FromUTF8ExW(dir.file("out.jpg")), kivm::FromUTF8ExW(dir.file("cut.png")), 32,
                             16, 32, 16, 0, 0));
    EXPECT_FALSE(ResizeImage(kivm::FromUTF8ExW(dir.file("out.jpg")), kivm::FromUTF8ExW(dir.file("text.png")), 32,
                             16, 32, 16, 0, 0));
    EXPECT_FALSE(ResizeImage(kivm::FromUTF8ExW(dir.file("no/such/out.jpg")), kivm::FromUTF8ExW(dir.file("good.png")),
                             32, 16, 32, 16, 0, 0));
    EXPECT_FALSE(PathExists(dir.file("out.jpg")));

    wxLog::FlushActive();  // what other threads logged reaches the target here
    wxLog::SetActiveTarget(previous);
    EXPECT_EQ(counting->records, 0) << counting->texts;
    delete counting;
}

TEST(ResizeImage, RunsOnSeveralThreadsAtOnce) {
    TempDir dir;
    WriteImage(dir.file("src.png"), 64, 36, 0, 255, 0);
    std::vector<std::thread> threads;
    std::vector<int> results(4, 0);
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            const std::wstring out = kivm::FromUTF8ExW(dir.file("out" + std::to_string(i) + ".jpg"));
            results[i] = ResizeImage(out, kivm::FromUTF8ExW(dir.file("src.png")), 160, 90, 160, 120, 15, 0) ? 1 : 0;
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i], 1);
        int32_t width = 0, height = 0;
        EXPECT_TRUE(GetImageSize(kivm::FromUTF8ExW(dir.file("out" + std::to_string(i) + ".jpg")), width, height));
        EXPECT_EQ(width, 160);
        EXPECT_EQ(height, 120);
    }
}

}  // namespace
