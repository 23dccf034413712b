// state.xml: its layout, the round trip of every value, the loader's rules and the atomic save.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ostream>
#include <filesystem>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StateTestSupport.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

using statetest::ChildNames;
using statetest::ChildText;
using statetest::LogCapture;
using statetest::ParseXml;
using statetest::StateXml;
using statetest::TempStore;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

const std::vector<std::string> kRootOrder = {
    "VideoFolders", "Authorized",   "FinishedConv",         "HttpPort",      "CacheFolder",
    "ExternalAccess", "LookupName", "UpnpEnabled",          "StartAtLogin",  "DoNotShowBonjourLink",
    "SDCorePercent", "HDCorePercent", "CCorePercent",       "ShowAllConversions"};

// Loads the text as state.xml into a fresh store.
struct LoadedStore : TempStore {
    explicit LoadedStore(const std::string& xml) {
        WriteFile(File(), xml);
        loaded = state->Load();
    }
    bool loaded = false;
};

std::list<std::wstring> FolderPaths(State& state) {
    std::list<FolderEntry> folders;
    state.GetFolders(folders);
    std::list<std::wstring> paths;
    for (const FolderEntry& f : folders) paths.push_back(f.Alias + L"=" + f.Path);
    return paths;
}

}  // namespace

TEST(StateFile, EmptyStoreWritesEveryElementInOrder) {
    TempStore store;
    ASSERT_TRUE(store.state->Save());
    const xml_element root = ParseXml(ReadFile(store.File()));
    EXPECT_EQ("CalvoroState", root.name);
    EXPECT_EQ(kRootOrder, ChildNames(root));
    for (const char* list : {"VideoFolders", "Authorized", "FinishedConv"})
        EXPECT_TRUE(kiv_xml::find_child(root, list, true)->children.empty());
    EXPECT_EQ("8683", ChildText(root, "HttpPort"));
    EXPECT_EQ(kivm::ToUTF8Ex(store.state->GetCacheFolder()), ChildText(root, "CacheFolder"));
    EXPECT_EQ("0", ChildText(root, "ExternalAccess"));
    EXPECT_EQ("", ChildText(root, "LookupName"));
    EXPECT_EQ("1", ChildText(root, "UpnpEnabled"));
    EXPECT_EQ("0", ChildText(root, "StartAtLogin"));
    EXPECT_EQ("0", ChildText(root, "DoNotShowBonjourLink"));
    EXPECT_EQ("50", ChildText(root, "SDCorePercent"));
    EXPECT_EQ("100", ChildText(root, "HDCorePercent"));
    EXPECT_EQ("100", ChildText(root, "CCorePercent"));
    EXPECT_EQ("0", ChildText(root, "ShowAllConversions"));
    for (const xml_element& child : root.children) EXPECT_TRUE(child.attributes.empty());
    EXPECT_FALSE(PathExists(store.File("state.xml.tmp"))) << "no temporary file stays behind";
}

TEST(StateFile, EveryValueSurvivesSaveAndLoad) {
    TempStore store;
    State& s = *store.state;
    const std::wstring odd = L"Filme \u00c4rger \u65e5\u672c <&>\"' ]]>";
    ASSERT_TRUE(s.AddFolder(FolderEntry{L"/m/" + odd, L"Alias " + odd}));
    ASSERT_TRUE(s.AddFolder(FolderEntry{L"/srv/plain", L"plain"}));
    for (const std::wstring& id : {std::wstring(L"dev-\u00e9"), std::wstring(L"<id&>")}) {
        ASSERT_TRUE(s.AuthorizeClient(s.GetOrCreateSession(L"n", id).SessionId));
    }
    FinishedConversion big;
    big.FilePath = s.GetCacheFolder() + L"/offline/" + odd + L".mp4";
    big.ClientIdentifier = L"client \u00fc\t";
    big.SrcVirtualPath = "Alias/\xc3\xa4 & <b>.mkv";
    big.DstVirtualPath = "offline/\r\nodd\t.mp4";
    big.TotalBytes = (5ULL << 30) + 7;  // above 4 GiB
    s.AddFinishedConversion(big);
    FinishedConversion huge;
    huge.TotalBytes = UINT64_MAX;
    s.AddFinishedConversion(huge);
    s.SetHttpPort(9123);
    s.SetCacheFolder(s.GetDataFolder() + L"/\u00e4 cache");
    s.SetExternalAccess(true);
    s.SetLookupName(L"key <&> \u00df");
    s.SetUpnpEnabled(false);
    s.SetStartAtLogin(true);
    s.SetDoNotShowBonjourLink(true);
    s.SetSDCorePercent(25);
    s.SetHDCorePercent(75);
    s.SetCCorePercent(33);
    s.SetShowAllConversions(true);
    ASSERT_TRUE(s.Save());
    const std::string first = ReadFile(store.File());

    boost::shared_ptr<State> t = State::GetInstance(s.GetDataFolder());
    ASSERT_TRUE(t->Load());
    EXPECT_EQ(FolderPaths(s), FolderPaths(*t));
    EXPECT_TRUE(t->GetOrCreateSession(L"n", L"dev-\u00e9").Authorized);
    EXPECT_TRUE(t->GetOrCreateSession(L"n", L"<id&>").Authorized);
    const std::list<FinishedConversion> conversions = t->GetFinishedConversions();
    ASSERT_EQ(2u, conversions.size());
    EXPECT_EQ(big, conversions.front());
    EXPECT_EQ(big.ClientIdentifier, conversions.front().ClientIdentifier);
    EXPECT_EQ(UINT64_MAX, conversions.back().TotalBytes);
    EXPECT_EQ(9123u, t->GetHttpPort());
    EXPECT_EQ(s.GetDataFolder() + L"/\u00e4 cache", t->GetCacheFolder());
    EXPECT_TRUE(t->GetExternalAccess());
    EXPECT_EQ(L"key <&> \u00df", t->GetLookupName());
    EXPECT_FALSE(t->GetUpnpEnabled());
    EXPECT_TRUE(t->GetStartAtLogin());
    EXPECT_TRUE(t->GetDoNotShowBonjourLink());
    EXPECT_EQ(25u, t->GetSDCorePercent());
    EXPECT_EQ(75u, t->GetHDCorePercent());
    EXPECT_EQ(33u, t->GetCCorePercent());
    EXPECT_TRUE(t->GetShowAllConversions());

    ASSERT_TRUE(t->Save());
    EXPECT_EQ(first, ReadFile(store.File())) << "save, load and save again give the same file";
}

TEST(StateFile, ClientTextsThatXmlCannotHoldAreStoredAsTheyWillReadBack) {
    TempStore store;
    FinishedConversion c;
    c.SrcVirtualPath = std::string("bad \xff\xfe utf8 \xc3", 13);
    c.DstVirtualPath = std::string("nul\0byte", 8);
    c.ClientIdentifier = std::wstring(L"id") + L'\0' + static_cast<wchar_t>(0xDFFF) + L"a\x01" L"b\x7f" +
                         static_cast<wchar_t>(0xFFFF) + static_cast<wchar_t>(0xFFFE) + L"\x1f\t\r\n";
    c.FilePath = L"/cache/offline/\x0b.mp4";
    store.state->AddFinishedConversion(c);
    const FinishedConversion stored = store.state->GetFinishedConversions().front();
    EXPECT_TRUE(kivm::IsValidUtf8(stored.SrcVirtualPath));
    EXPECT_EQ(std::string::npos, stored.DstVirtualPath.find('\0'));
    // XML 1.0 carries tab, line feed, carriage return and U+007F, and nothing else below U+0020.
    EXPECT_EQ(L"id\uFFFD\uFFFDa\uFFFDb\x7f\uFFFD\uFFFD\uFFFD\t\r\n", stored.ClientIdentifier);
    EXPECT_EQ(L"/cache/offline/\uFFFD.mp4", stored.FilePath);
    ASSERT_TRUE(store.state->Save());
    ParseXml(ReadFile(store.File()));
    EXPECT_EQ("", testsupport::XmlLintComplaint(ReadFile(store.File())));

    boost::shared_ptr<State> t = State::GetInstance(store.state->GetDataFolder());
    ASSERT_TRUE(t->Load());
    const FinishedConversion back = t->GetFinishedConversions().front();
    EXPECT_EQ(stored, back);
    EXPECT_EQ(stored.ClientIdentifier, back.ClientIdentifier);
}

// A state.xml written before (or by hand) may hold characters XML 1.0 forbids, as references or raw;
// our parser reads them, and what is read and saved again is clean for any standard parser.
TEST(StateFile, AFileHoldingWhatXmlForbidsIsReadAndWrittenBackClean) {
    TempStore store;
    const std::string bad = "a&#1;b&#x7f;c&#xFFFF;d\x02" "e\xEF\xBF\xBE";
    WriteFile(store.File(), "<?xml version=\"1.0\"?>\n<CalvoroState><Authorized><UniqueID>dev" + bad +
                                "</UniqueID></Authorized><FinishedConv><Entry><DstVirtualPath>/video/cache/offline/x" +
                                bad + "</DstVirtualPath><ClientIdentifier>" + bad +
                                "</ClientIdentifier><TotalBytes>5</TotalBytes></Entry></FinishedConv><LookupName>" +
                                bad + "</LookupName></CalvoroState>\n");
    ASSERT_NE("", testsupport::XmlLintComplaint(ReadFile(store.File()))) << "the fixture holds what XML forbids";
    ASSERT_TRUE(store.state->Load());
    const std::wstring clean = L"a\uFFFDb\x7f" L"c\uFFFDd\uFFFDe\uFFFD";
    EXPECT_EQ(clean, store.state->GetLookupName());
    const std::list<FinishedConversion> conversions = store.state->GetFinishedConversions();
    ASSERT_EQ(1u, conversions.size());
    EXPECT_EQ(clean, conversions.front().ClientIdentifier);
    EXPECT_EQ("/video/cache/offline/x" + kivm::ToUTF8Ex(clean), conversions.front().DstVirtualPath);
    EXPECT_TRUE(store.state->GetOrCreateSession(L"n", L"dev" + clean).Authorized);

    ASSERT_TRUE(store.state->Save());
    const std::string saved = ReadFile(store.File());
    EXPECT_EQ("", testsupport::XmlLintComplaint(saved)) << saved;
    boost::shared_ptr<State> again = State::GetInstance(store.state->GetDataFolder());
    ASSERT_TRUE(again->Load());
    EXPECT_EQ(clean, again->GetLookupName());
    EXPECT_EQ(conversions, again->GetFinishedConversions());
}

// A path may hold bytes that are not UTF-8, which wide text carries as U+DC80..U+DCFF: the folder is
// made under its real name, and state.xml stays UTF-8 all the same (such a byte is stored as U+FFFD). A
// folder with such a path is not shared at all: stored as U+FFFD it would name a folder that is not there.
TEST(StateFile, PathBytesThatAreNotUtf8StillGiveAValidFile) {
    TempStore store;
    const std::string latin1 = store.dir.path() + "/caf\xE9";
    store.state->SetCacheFolder(kivm::FromUTF8ExW(latin1));
    EXPECT_TRUE(std::filesystem::is_directory(latin1));
    ASSERT_TRUE(store.state->ShareFolder(L"/srv/plain"));
    LogCapture log;
    EXPECT_FALSE(store.state->ShareFolder(kivm::FromUTF8ExW(latin1 + "/\xC0 voir")));
    EXPECT_FALSE(store.state->AddFolder(FolderEntry{kivm::FromUTF8ExW(latin1), L"Cafe"}));
    EXPECT_FALSE(store.state->AddFolder(FolderEntry{std::wstring(L"/srv/nul\0here", 13), L"Nul"}));
    EXPECT_TRUE(log.Contains("Cannot share " + store.dir.path() + "/caf\xEF\xBF\xBD/\xEF\xBF\xBD voir: its name holds"))
        << log.Text();
    EXPECT_NE("", State::FolderPathProblem(kivm::FromUTF8ExW(latin1)));
    EXPECT_EQ("", State::FolderPathProblem(L"/srv/Filme \u00c4rger <&>"));

    const std::string text = ReadFile(store.File());
    EXPECT_TRUE(kivm::IsValidUtf8(text)) << text;
    const xml_element root = ParseXml(text);
    EXPECT_EQ(store.dir.path() + "/caf\xEF\xBF\xBD", ChildText(root, "CacheFolder"));
    std::list<FolderEntry> folders;
    store.state->GetFolders(folders);
    ASSERT_EQ(1u, folders.size());
    EXPECT_EQ(L"/srv/plain", folders.front().Path);
}

TEST(StateFile, LoadAcceptsAnyRootAndReadsWhatIsThere) {
    LoadedStore store(StateXml("<HttpPort>9001</HttpPort><LookupName>k</LookupName>", "SomethingElse"));
    EXPECT_TRUE(store.loaded);
    EXPECT_EQ(9001u, store.state->GetHttpPort());
    EXPECT_EQ(L"k", store.state->GetLookupName());
    EXPECT_TRUE(store.state->GetUpnpEnabled()) << "a missing element keeps its value";
}

TEST(StateFile, FourValuesResetToTheirDefaultsWhenMissing) {
    TempStore store;
    State& s = *store.state;
    s.SetSDCorePercent(1);
    s.SetHDCorePercent(2);
    s.SetCCorePercent(3);
    s.SetDoNotShowBonjourLink(true);
    s.SetHttpPort(9999);
    s.SetStartAtLogin(true);
    WriteFile(store.File(), StateXml(""));
    ASSERT_TRUE(s.Load());
    EXPECT_EQ(50u, s.GetSDCorePercent());
    EXPECT_EQ(100u, s.GetHDCorePercent());
    EXPECT_EQ(100u, s.GetCCorePercent());
    EXPECT_FALSE(s.GetDoNotShowBonjourLink());
    EXPECT_EQ(9999u, s.GetHttpPort()) << "the others keep what they held";
    EXPECT_TRUE(s.GetStartAtLogin());
}

TEST(StateFile, FoldersThatAreIncompleteOrMisnamedAreSkipped) {
    LogCapture log;
    LoadedStore store(StateXml("<VideoFolders>"
                               "<Folder><Alias>noPath</Alias></Folder>"
                               "<Folder><Path>/no/alias</Path></Folder>"
                               "<Directory><Path>/x</Path><Alias>x</Alias></Directory>"
                               "<Folder><Path>/first</Path><Alias>dup</Alias></Folder>"
                               "<Folder><Path>/second</Path><Alias>dup</Alias></Folder>"
                               "<Folder><Path>//a\\\\b/</Path><Alias>ok</Alias></Folder>"
                               "</VideoFolders>"));
    EXPECT_TRUE(store.loaded);
    // Standard form: doubled and trailing "/" go, the backslashes are part of the name.
    EXPECT_EQ((std::list<std::wstring>{L"dup=/first", L"ok=/a\\\\b"}), FolderPaths(*store.state));
    EXPECT_TRUE(log.Contains("did not contain Path, so this element will be ignored."));
    EXPECT_TRUE(log.Contains("did not contain Alias, so this element will be ignored."));
    EXPECT_TRUE(log.Contains("which was not named Folder.  It was named:"));
    EXPECT_TRUE(log.Contains("Directory"));
    EXPECT_TRUE(log.Contains("Sharing folder /first"));
    EXPECT_FALSE(log.Contains("Sharing folder /second"));
}

TEST(StateFile, EveryFinishedConvChildBecomesAConversion) {
    LoadedStore store(StateXml("<FinishedConv><Entry><TotalBytes>4294967296</TotalBytes>"
                               "<SrcVirtualPath>s</SrcVirtualPath></Entry><Other/><Entry></Entry>"
                               "</FinishedConv><Authorized><UniqueID>a</UniqueID><Stray>b</Stray></Authorized>"));
    const std::list<FinishedConversion> list = store.state->GetFinishedConversions();
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(4294967296ULL, list.front().TotalBytes);
    EXPECT_EQ("s", list.front().SrcVirtualPath);
    EXPECT_EQ(FinishedConversion(), list.back());
    EXPECT_TRUE(store.state->GetOrCreateSession(L"n", L"a").Authorized);
    EXPECT_FALSE(store.state->GetOrCreateSession(L"n", L"b").Authorized);
    store.state->Load();
    EXPECT_EQ(3u, store.state->GetFinishedConversions().size()) << "a second load replaces, never doubles";
}

TEST(StateFile, CacheFolderThatCannotBeMadeKeepsTheDefaultAndReadsOn) {
    testsupport::TempDir elsewhere;
    WriteFile(elsewhere.file("plain"), "x");
    LogCapture log;
    LoadedStore store(StateXml("<CacheFolder>" + elsewhere.file("plain") + "/cache</CacheFolder>"
                               "<LookupName>key</LookupName><UpnpEnabled>0</UpnpEnabled>"
                               "<StartAtLogin>1</StartAtLogin><ShowAllConversions>7</ShowAllConversions>"));
    EXPECT_TRUE(store.loaded);
    EXPECT_TRUE(store.state->IsDefaultCacheFolder());
    EXPECT_TRUE(log.Contains("Unable to create desired cache folder"));
    EXPECT_EQ(L"key", store.state->GetLookupName());
    EXPECT_FALSE(store.state->GetUpnpEnabled());
    EXPECT_TRUE(store.state->GetStartAtLogin());
    EXPECT_TRUE(store.state->GetShowAllConversions()) << "any number but 0 is true";
}

struct PortCase {
    std::string text;
    uint32_t expected;
    bool warned;
};

static void PrintTo(const PortCase& c, std::ostream* out) { *out << "HttpPort \"" << c.text << "\""; }

class HttpPortText : public ::testing::TestWithParam<PortCase> {};

TEST_P(HttpPortText, OnlyAPortNumberIsTaken) {
    LogCapture log;
    LoadedStore store(StateXml("<HttpPort>" + GetParam().text + "</HttpPort><SDCorePercent>20</SDCorePercent>"));
    EXPECT_TRUE(store.loaded);
    EXPECT_EQ(GetParam().expected, store.state->GetHttpPort());
    EXPECT_EQ(GetParam().warned, log.Contains("WARNING: Load() ignored HttpPort")) << log.Text();
    EXPECT_EQ(20u, store.state->GetSDCorePercent()) << "reading goes on";
}

INSTANTIATE_TEST_SUITE_P(StateFile, HttpPortText,
                         ::testing::Values(PortCase{"8080", 8080, false}, PortCase{"1", 1, false},
                                           PortCase{"65535", 65535, false}, PortCase{" 9000\n", 9000, false},
                                           PortCase{"0", 8683, true}, PortCase{"65536", 8683, true},
                                           PortCase{"4294967297", 8683, true}, PortCase{"abc", 8683, true},
                                           PortCase{"", 8683, true}, PortCase{"-80", 8683, true},
                                           PortCase{"80x", 8683, true}, PortCase{"8 0", 8683, true}));

TEST(StateFile, MissingFileLeavesTheDefaults) {
    TempStore store;
    LogCapture log;
    EXPECT_FALSE(store.state->Load());
    EXPECT_TRUE(log.Contains("CPU Count "));
    EXPECT_TRUE(log.Contains("Load() could not open output XML file"));
    EXPECT_EQ(8683u, store.state->GetHttpPort());
    EXPECT_GE(store.state->GetCpuCount(), 1);
}

TEST(StateFile, UnparsableFileIsKeptAside) {
    for (const std::string& bad : {std::string("<CalvoroState><HttpPort>9000</HttpPort>"), std::string(""),
                                   std::string("\x00\x01garbage", 9), StateXml("<A></B>")}) {
        TempStore store;
        WriteFile(store.File(), bad);
        LogCapture log;
        EXPECT_FALSE(store.state->Load());
        EXPECT_TRUE(log.Contains("Load() failed to parse file"));
        EXPECT_TRUE(log.Contains("WARNING: Load() could not parse")) << log.Text();
        EXPECT_TRUE(log.Contains("state.xml.corrupt"));
        EXPECT_EQ(bad, ReadFile(store.File("state.xml.corrupt")));
        EXPECT_FALSE(PathExists(store.File()));
        EXPECT_EQ(8683u, store.state->GetHttpPort());

        ASSERT_TRUE(store.state->Save());  // the shutdown save no longer destroys what the user had
        EXPECT_EQ(bad, ReadFile(store.File("state.xml.corrupt")));
        EXPECT_EQ("CalvoroState", ParseXml(ReadFile(store.File())).name);
    }
}

// A state.xml that is there but cannot be read is the user's as much as one that does not parse: it is
// kept aside, not replaced by the next save. A missing one is simply a first start.
TEST(StateFile, UnreadableFileIsKeptAside) {
    struct Case {
        const char* name;
        void (*make)(const std::string& path);
        void (*expectKept)(const std::string& kept);
    };
    const Case cases[] = {
        {"a folder",
         [](const std::string& path) {
             std::filesystem::create_directory(path);
             WriteFile(path + "/inside", "mine");
         },
         [](const std::string& kept) { EXPECT_EQ("mine", ReadFile(kept + "/inside")); }},
        {"a link to itself", [](const std::string& path) { ASSERT_EQ(0, symlink("state.xml", path.c_str())); },
         [](const std::string& kept) { EXPECT_EQ("state.xml", std::filesystem::read_symlink(kept).string()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempStore store;
        c.make(store.File());
        LogCapture log;
        EXPECT_FALSE(store.state->Load());
        EXPECT_TRUE(log.Contains("Load() could not open output XML file"));
        EXPECT_TRUE(log.Contains("WARNING: Load() could not read " + store.File() + "; it was kept as " +
                                 store.File("state.xml.corrupt")))
            << log.Text();
        EXPECT_FALSE(PathExists(store.File()));
        c.expectKept(store.File("state.xml.corrupt"));

        ASSERT_TRUE(store.state->Save());
        c.expectKept(store.File("state.xml.corrupt"));
        EXPECT_EQ("CalvoroState", ParseXml(ReadFile(store.File())).name);
    }

    TempStore fresh;
    EXPECT_FALSE(fresh.state->Load());
    EXPECT_FALSE(PathExists(fresh.File("state.xml.corrupt"))) << "a missing file keeps nothing aside";
}

// Each bad start keeps its own file: a later one never overwrites what an earlier one kept.
TEST(StateFile, EachBadStartKeepsItsFileUnderANewName) {
    TempStore store;
    const std::vector<std::pair<std::string, std::string>> starts = {
        {"<first", "state.xml.corrupt"}, {"<second", "state.xml.corrupt-2"}, {"<third", "state.xml.corrupt-3"}};
    for (const auto& start : starts) {
        WriteFile(store.File(), start.first);
        LogCapture log;
        EXPECT_FALSE(store.state->Load());
        EXPECT_TRUE(log.Contains("WARNING: Load() could not parse " + store.File() + "; it was kept as " +
                                 store.File(start.second)))
            << log.Text();
        ASSERT_TRUE(store.state->Save());
    }
    for (const auto& start : starts) EXPECT_EQ(start.first, ReadFile(store.File(start.second))) << start.second;
}

TEST(StateFile, FailedSaveLeavesTheOldFile) {
    TempStore store;
    ASSERT_TRUE(store.state->Save());
    const std::string old = ReadFile(store.File());
    store.state->SetHttpPort(9999);

    // The temporary file is the disk that is full: the write fails, nothing is renamed.
    ASSERT_EQ(0, symlink("/dev/full", store.File("state.xml.tmp").c_str()));
    LogCapture log;
    EXPECT_FALSE(store.state->Save());
    EXPECT_TRUE(log.Contains("Save() could not write")) << log.Text();
    EXPECT_EQ(old, ReadFile(store.File()));
    EXPECT_FALSE(PathExists(store.File("state.xml.tmp")));

    // The temporary file cannot be made at all.
    std::filesystem::create_directory(store.File("state.xml.tmp"));
    EXPECT_FALSE(store.state->Save());
    EXPECT_TRUE(log.Contains("Save() could not create output XML file"));
    EXPECT_EQ(old, ReadFile(store.File()));
    std::filesystem::remove(store.File("state.xml.tmp"));

    EXPECT_TRUE(store.state->Save());
    EXPECT_EQ("9999", ChildText(ParseXml(ReadFile(store.File())), "HttpPort"));
}

TEST(StateFile, SaveIntoAMissingFolderFails) {
    TempStore store;
    EXPECT_FALSE(store.state->Save(store.WFile("missing/state.xml")));
}

// Writers change the store and save while another thread loads it; a reader checks every file that
// is ever at the path, and each one is a whole document of one moment.
TEST(StateFile, ConcurrentSavesNeverShowAPartialFile) {
    TempStore store;
    State& s = *store.state;
    ASSERT_TRUE(s.Save());
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> bad{0};

    std::thread reader([&] {
        while (!done) {
            const std::string bytes = ReadFile(store.File());
            kiv_xml parser;
            std::string error;
            if (!parser.parse(bytes.data(), bytes.size(), error) ||
                ChildNames(*parser.get_parsed_element()) != kRootOrder)
                ++bad;
            ++reads;
        }
    });
    std::thread loader([&] {
        while (!done) s.Load();
    });
    const int kWriters = 4, kRounds = 25;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kRounds; ++i) {
                const std::wstring tag = L"w" + std::to_wstring(w) + L"-" + std::to_wstring(i);
                FinishedConversion c;
                c.FilePath = L"/c/" + tag + std::wstring(200, L'x');
                c.TotalBytes = static_cast<uint64_t>(i) << 33;
                s.AddFinishedConversion(c);
                s.SetLookupName(tag);
                s.ShareFolder(L"/media/" + tag);
                const ClientSession session = s.GetOrCreateSession(L"n", tag);
                s.AuthorizeClient(session.SessionId);
                EXPECT_TRUE(s.Save());
                if (i % 5 == 0) s.UnauthorizeClient(session.SessionId);
            }
        });
    }
    for (std::thread& t : writers) t.join();
    done = true;
    loader.join();
    reader.join();
    EXPECT_EQ(0, bad.load()) << "of " << reads.load() << " reads";
    EXPECT_GT(reads.load(), 0);

    // The last save shows the store as it is now.
    ASSERT_TRUE(s.Save());
    boost::shared_ptr<State> t = State::GetInstance(s.GetDataFolder());
    ASSERT_TRUE(t->Load());
    EXPECT_EQ(FolderPaths(s), FolderPaths(*t));
    EXPECT_EQ(s.GetFinishedConversions().size(), t->GetFinishedConversions().size());
    EXPECT_EQ(s.GetLookupName(), t->GetLookupName());
}
