// The state store's factory, folders, preferences and finished conversions.
#include "core/State.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "StateTestSupport.h"
#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

using statetest::TempStore;
using testsupport::PathExists;
using testsupport::TempDir;

TEST(State, NewStoreHoldsTheDefaults) {
    TempStore store;
    ASSERT_TRUE(store.state);
    State& s = *store.state;
    EXPECT_EQ(8683u, s.GetHttpPort());
    EXPECT_TRUE(s.IsDefaultHttpPort());
    EXPECT_EQ(50u, s.GetSDCorePercent());
    EXPECT_EQ(100u, s.GetHDCorePercent());
    EXPECT_EQ(100u, s.GetCCorePercent());
    EXPECT_TRUE(s.GetUpnpEnabled());
    EXPECT_FALSE(s.GetExternalAccess());
    EXPECT_FALSE(s.GetStartAtLogin());
    EXPECT_FALSE(s.GetDoNotShowBonjourLink());
    EXPECT_FALSE(s.GetShowAllConversions());
    EXPECT_FALSE(s.GetCheckExternalAccessFlag());
    EXPECT_EQ(0, s.GetExternalPort());
    EXPECT_EQ(L"", s.GetLookupName());
    EXPECT_GE(s.GetCpuCount(), 1);
    EXPECT_EQ(300000u, s.GetClientTimeoutMs());
    EXPECT_EQ(store.dir.wpath() + L"/data", s.GetDataFolder());
    EXPECT_EQ(s.GetDataFolder() + L"/cache", s.GetCacheFolder());
    EXPECT_TRUE(s.IsDefaultCacheFolder());
    EXPECT_TRUE(PathExists(store.File("cache")));
    EXPECT_EQ(0, s.GetFolderCount());
    EXPECT_TRUE(s.GetFinishedConversions().empty());
    EXPECT_FALSE(PathExists(store.File())) << "making a store saves nothing";
}

TEST(State, DefaultFactoryUsesTheUserDataFolder) {
    const char* home = getenv("XDG_DATA_HOME");
    ASSERT_TRUE(home && home[0] == '/');
    boost::shared_ptr<State> state = State::GetInstance();
    ASSERT_TRUE(state);
    EXPECT_EQ(kivm::standardize_path(kivm::FromUTF8ExW(std::string(home) + "/Calvoro")), state->GetDataFolder());
    EXPECT_TRUE(PathExists(kivm::ToUTF8Ex(state->GetCacheFolder())));
}

TEST(State, FactoryFailsWhenTheDataFolderCannotBeMade) {
    TempDir dir;
    testsupport::WriteFile(dir.file("plain"), "x");
    EXPECT_FALSE(State::GetInstance(dir.wpath() + L"/plain/data"));
}

TEST(State, TwoStoresAreIndependent) {
    TempStore a, b;
    a.state->SetHttpPort(9000);
    a.state->SetLookupName(L"key");
    a.state->SetClientConnected(5, true);
    EXPECT_EQ(8683u, b.state->GetHttpPort());
    EXPECT_EQ(L"", b.state->GetLookupName());
    EXPECT_FALSE(b.state->IsClientConnected(5));
}

TEST(State, HttpPortDefaultAndReset) {
    TempStore store;
    store.state->SetHttpPort(8684);
    EXPECT_FALSE(store.state->IsDefaultHttpPort());
    EXPECT_EQ(8684u, store.state->GetHttpPort());
    store.state->ResetHttpPort();
    EXPECT_TRUE(store.state->IsDefaultHttpPort());
    EXPECT_EQ(8683u, store.state->GetHttpPort());
}

TEST(State, DefaultCacheFolderIsComparedAsExactText) {
    TempStore store;
    State& s = *store.state;
    const std::wstring def = s.GetDataFolder() + L"/cache";
    for (const std::wstring& other : {def + L"/", s.GetDataFolder() + L"/Cache", s.GetDataFolder() + L"/other"}) {
        s.SetCacheFolder(other);
        EXPECT_EQ(other, s.GetCacheFolder()) << "taken exactly as given";
        EXPECT_FALSE(s.IsDefaultCacheFolder()) << kivm::ToUTF8Ex(other);
    }
    EXPECT_TRUE(PathExists(store.File("other")));
    s.SetDefaultCacheFolder();
    EXPECT_TRUE(s.IsDefaultCacheFolder());
}

TEST(State, CacheFolderThatCannotBeMadeKeepsTheOldOne) {
    TempStore store;
    State& s = *store.state;
    testsupport::WriteFile(store.File("plain"), "x");
    const std::wstring before = s.GetCacheFolder();
    try {
        s.SetCacheFolder(store.WFile("plain/cache"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Unable to create desired cache folder", e.what());
    }
    EXPECT_EQ(before, s.GetCacheFolder());
    s.SetHttpPort(1234);  // the lock is free again
    EXPECT_EQ(1234u, s.GetHttpPort());
}

namespace {
FinishedConversion Conversion(const std::string& name, uint64_t bytes, const std::wstring& client = L"client") {
    FinishedConversion c;
    c.FilePath = L"/nowhere/" + kivm::FromUTF8ExW(name) + L".mp4";
    c.ClientIdentifier = client;
    c.SrcVirtualPath = "Videos/" + name + ".mkv";
    c.DstVirtualPath = "offline/" + name + ".mp4";
    c.TotalBytes = bytes;
    return c;
}
}  // namespace

TEST(State, ConversionEqualityIgnoresOnlyTheClient) {
    const FinishedConversion base = Conversion("a", 10);
    EXPECT_EQ(base, Conversion("a", 10, L"someone else"));
    FinishedConversion other = base;
    other.TotalBytes = 11;
    EXPECT_NE(base, other);
    other = base;
    other.FilePath += L"x";
    EXPECT_NE(base, other);
    other = base;
    other.SrcVirtualPath += "x";
    EXPECT_NE(base, other);
    other = base;
    other.DstVirtualPath += "x";
    EXPECT_NE(base, other);
}

TEST(State, FinishedConversionsKeepInsertionOrder) {
    TempStore store;
    store.state->AddFinishedConversion(Conversion("z", 1));
    store.state->AddFinishedConversion(Conversion("a", 2));
    store.state->AddFinishedConversion(Conversion("m", 3));
    std::list<FinishedConversion> list = store.state->GetFinishedConversions();
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ("Videos/z.mkv", list.front().SrcVirtualPath);
    EXPECT_EQ("Videos/m.mkv", list.back().SrcVirtualPath);
    EXPECT_FALSE(PathExists(store.File())) << "adding does not save";
}

TEST(State, DeleteRemovesTheFileAndEveryEqualEntry) {
    TempStore store;
    State& s = *store.state;
    FinishedConversion target = Conversion("a", 7, L"one");
    target.FilePath = store.WFile("cache/a.mp4");
    testsupport::WriteFile(store.File("cache/a.mp4"), "video");
    FinishedConversion twin = target;
    twin.ClientIdentifier = L"two";
    s.AddFinishedConversion(target);
    s.AddFinishedConversion(Conversion("b", 7));
    s.AddFinishedConversion(twin);

    s.DeleteFinishedConversion(twin);
    EXPECT_FALSE(PathExists(store.File("cache/a.mp4")));
    std::list<FinishedConversion> left = s.GetFinishedConversions();
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ("Videos/b.mkv", left.front().SrcVirtualPath);

    s.DeleteFinishedConversion(Conversion("b", 7));  // its file never existed
    EXPECT_TRUE(s.GetFinishedConversions().empty());
    EXPECT_FALSE(PathExists(store.File())) << "deleting does not save";
}

// The entry to delete comes from a client: one that is not in the list must not delete any file, neither
// one it names itself nor the file of a listed entry it resembles.
TEST(State, DeleteOfAnEntryNotInTheListDeletesNothing) {
    TempStore store;
    State& s = *store.state;
    FinishedConversion listed = Conversion("a", 7);
    listed.FilePath = store.WFile("cache/a.mp4");
    testsupport::WriteFile(store.File("cache/a.mp4"), "video");
    testsupport::WriteFile(store.File("victim.txt"), "precious");
    s.AddFinishedConversion(listed);

    FinishedConversion otherFile = listed;
    otherFile.FilePath = store.WFile("victim.txt");
    FinishedConversion otherSize = listed;
    otherSize.TotalBytes = 8;
    FinishedConversion otherSource = listed;
    otherSource.SrcVirtualPath = "Videos/b.mkv";
    for (const FinishedConversion& probe : {otherFile, otherSize, otherSource}) {
        s.DeleteFinishedConversion(probe);
        EXPECT_TRUE(PathExists(store.File("victim.txt")));
        EXPECT_TRUE(PathExists(store.File("cache/a.mp4")));
        EXPECT_EQ(1u, s.GetFinishedConversions().size());
    }
}
