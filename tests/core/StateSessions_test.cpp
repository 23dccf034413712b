// Client sessions: session ids, PINs, authorisation and the connected set.
#include <ctime>
#include <list>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int.hpp>
#include <boost/random/variate_generator.hpp>
#include <gtest/gtest.h>

#include "StateTestSupport.h"
#include "core/State.h"
#include "support/TestSupport.h"

using statetest::TempStore;
using testsupport::PathExists;
using testsupport::ReadFile;

namespace {

// A store whose authorised set already holds the given unique id, as a start with that state.xml gives.
void AuthoriseOnDisk(TempStore& store, const std::string& uniqueId) {
    testsupport::WriteFile(store.File(), statetest::StateXml("<Authorized><UniqueID>" + uniqueId +
                                                             "</UniqueID></Authorized>"));
    ASSERT_TRUE(store.state->Load());
}

std::string SessionError(State& state, uint64_t id) {
    try {
        state.GetSession(id);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

}  // namespace

TEST(StateSessions, SecondAnnounceGivesTheSameSession) {
    TempStore store;
    const ClientSession first = store.state->GetOrCreateSession(L"Kitchen pad", L"device-1");
    const ClientSession again = store.state->GetOrCreateSession(L"Renamed", L"device-1");
    EXPECT_EQ(first.SessionId, again.SessionId);
    EXPECT_EQ(first.Pin, again.Pin);
    EXPECT_EQ(L"Kitchen pad", again.Name);
    EXPECT_NE(0u, first.SessionId);
    EXPECT_FALSE(first.Authorized);
    EXPECT_EQ(L"Unknown Device", first.DeviceType);
    EXPECT_EQ(L"Unknown Version", first.Version);
    EXPECT_NE(first.SessionId, store.state->GetOrCreateSession(L"x", L"DEVICE-1").SessionId)
        << "unique ids compare exactly";
}

TEST(StateSessions, AuthorisedDeviceGetsNoPin) {
    TempStore store;
    AuthoriseOnDisk(store, "known");
    const ClientSession session = store.state->GetOrCreateSession(L"Phone", L"known");
    EXPECT_TRUE(session.Authorized);
    EXPECT_EQ(0u, session.Pin);
    EXPECT_TRUE(store.state->IsSessionAuthorized(session.SessionId));
}

TEST(StateSessions, PinIsDrawnFromTheCurrentSecond) {
    TempStore store;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const time_t before = time(nullptr);
        const ClientSession a = store.state->GetOrCreateSession(L"a", L"pin-a-" + std::to_wstring(attempt));
        const ClientSession b = store.state->GetOrCreateSession(L"b", L"pin-b-" + std::to_wstring(attempt));
        if (time(nullptr) != before) continue;  // a second boundary passed; try again
        EXPECT_EQ(a.Pin, b.Pin) << "sessions made within one second share their PIN";
        boost::mt19937 generator(static_cast<uint32_t>(before));
        boost::uniform_int<uint32_t> range(1000, 9999);
        boost::variate_generator<boost::mt19937&, boost::uniform_int<uint32_t>> draw(generator, range);
        EXPECT_EQ(draw(), a.Pin);
        return;
    }
    FAIL() << "never stayed within one second";
}

TEST(StateSessions, SessionIdsAreNonZeroUniqueAndAscending) {
    TempStore store;
    std::set<uint64_t> ids;
    for (int i = 0; i < 500; ++i) {
        const ClientSession s = store.state->GetOrCreateSession(L"n", L"id-" + std::to_wstring(i));
        EXPECT_NE(0u, s.SessionId);
        EXPECT_GE(s.Pin, 1000u);
        EXPECT_LE(s.Pin, 9999u);
        ids.insert(s.SessionId);
    }
    EXPECT_EQ(500u, ids.size());
    std::list<ClientSession> sessions{ClientSession()};
    store.state->GetSessions(sessions);
    ASSERT_EQ(State::kMaxWaitingSessions, sessions.size()) << "only the newest waiting sessions are kept";
    uint64_t previous = 0;
    for (const ClientSession& s : sessions) {
        EXPECT_GT(s.SessionId, previous);
        previous = s.SessionId;
    }
}

// Announces with ever new unique ids keep at most 64 sessions waiting for their PIN: each new one
// replaces the oldest waiting one; authorised devices stay whatever comes.
TEST(StateSessions, WaitingSessionsAreCappedOldestFirstAndAuthorisedOnesStay) {
    TempStore store;
    State& s = *store.state;
    AuthoriseOnDisk(store, "paired-on-disk");
    const ClientSession onDisk = s.GetOrCreateSession(L"Old phone", L"paired-on-disk");
    const ClientSession pinned = s.GetOrCreateSession(L"Tablet", L"paired-now");
    ASSERT_TRUE(s.AuthorizeClient(pinned.SessionId));

    std::vector<ClientSession> waiting;
    for (size_t i = 0; i < State::kMaxWaitingSessions; ++i)
        waiting.push_back(s.GetOrCreateSession(L"w", L"waiting-" + std::to_wstring(i)));
    s.SetClientConnected(waiting[0].SessionId, true);
    // Authorising one frees its place: the next newcomer pushes nobody out.
    ASSERT_TRUE(s.AuthorizeClient(waiting[5].SessionId));
    waiting.push_back(s.GetOrCreateSession(L"w", L"waiting-64"));
    EXPECT_NO_THROW(s.GetSession(waiting[0].SessionId));

    waiting.push_back(s.GetOrCreateSession(L"w", L"waiting-65"));
    EXPECT_EQ("Session not found", SessionError(s, waiting[0].SessionId)) << "the oldest waiting one goes";
    EXPECT_FALSE(s.IsClientConnected(waiting[0].SessionId));
    EXPECT_NO_THROW(s.GetSession(waiting[1].SessionId));

    // A flood of newcomers: authorised sessions stay, the waiting ones are the newest 64.
    for (int i = 0; i < 1000; ++i) s.GetOrCreateSession(L"flood", L"flood-" + std::to_wstring(i));
    std::list<ClientSession> sessions;
    s.GetSessions(sessions);
    size_t waitingCount = 0;
    std::set<uint64_t> ids;
    for (const ClientSession& session : sessions) {
        ids.insert(session.SessionId);
        if (!session.Authorized) ++waitingCount;
    }
    EXPECT_EQ(State::kMaxWaitingSessions, waitingCount);
    EXPECT_EQ(State::kMaxWaitingSessions + 3, sessions.size());
    for (const ClientSession& kept : {onDisk, pinned, waiting[5]}) {
        EXPECT_TRUE(ids.count(kept.SessionId)) << "an authorised session was pushed out";
        EXPECT_TRUE(s.IsSessionAuthorized(kept.SessionId));
    }
    EXPECT_TRUE(ids.count(s.GetOrCreateSession(L"", L"flood-999").SessionId));

    // A device pushed out announces again: a new session and a new id.
    const ClientSession again = s.GetOrCreateSession(L"w", L"waiting-1");
    EXPECT_NE(waiting[1].SessionId, again.SessionId);
    EXPECT_FALSE(again.Authorized);
}

TEST(StateSessions, OnlyAWaitingSessionEndsWhenItsPinTimesOut) {
    TempStore store;
    State& s = *store.state;
    const ClientSession waiting = s.GetOrCreateSession(L"w", L"waiting");
    const ClientSession paired = s.GetOrCreateSession(L"p", L"paired");
    ASSERT_TRUE(s.AuthorizeClient(paired.SessionId));
    s.SetClientConnected(waiting.SessionId, true);

    EXPECT_FALSE(s.EndWaitingSession(paired.SessionId));
    EXPECT_TRUE(s.IsSessionAuthorized(paired.SessionId));
    EXPECT_FALSE(s.EndWaitingSession(paired.SessionId + 1)) << "an unknown id";
    EXPECT_TRUE(s.EndWaitingSession(waiting.SessionId));
    EXPECT_EQ("Session not found", SessionError(s, waiting.SessionId));
    EXPECT_FALSE(s.IsClientConnected(waiting.SessionId));
    EXPECT_FALSE(s.EndWaitingSession(waiting.SessionId));

    // Its place in the waiting line is free again: 64 newcomers push nobody else out.
    const ClientSession first = s.GetOrCreateSession(L"w", L"first");
    for (size_t i = 1; i < State::kMaxWaitingSessions; ++i) s.GetOrCreateSession(L"w", L"n-" + std::to_wstring(i));
    EXPECT_NO_THROW(s.GetSession(first.SessionId));
}

TEST(StateSessions, AuthoriseThenUnauthorise) {
    TempStore store;
    State& s = *store.state;
    const ClientSession session = s.GetOrCreateSession(L"Phone", L"dev-7");
    EXPECT_FALSE(s.IsSessionAuthorized(session.SessionId));
    EXPECT_FALSE(s.AuthorizeClient(session.SessionId + 1));
    ASSERT_TRUE(s.AuthorizeClient(session.SessionId));
    EXPECT_TRUE(s.IsSessionAuthorized(session.SessionId));
    EXPECT_TRUE(s.GetSession(session.SessionId).Authorized);
    EXPECT_FALSE(PathExists(store.File())) << "authorising leaves the save to the caller";
    ASSERT_TRUE(s.Save());
    EXPECT_NE(std::string::npos, ReadFile(store.File()).find("<UniqueID>dev-7</UniqueID>"));

    EXPECT_TRUE(s.UnauthorizeClient(session.SessionId));
    EXPECT_FALSE(s.IsSessionAuthorized(session.SessionId));
    EXPECT_EQ("Session not found", SessionError(s, session.SessionId));
    EXPECT_EQ(std::string::npos, ReadFile(store.File()).find("dev-7")) << "the un-authorisation was saved";

    const ClientSession next = s.GetOrCreateSession(L"Phone", L"dev-7");
    EXPECT_NE(session.SessionId, next.SessionId);
    EXPECT_FALSE(next.Authorized);
    EXPECT_GE(next.Pin, 1000u);
}

TEST(StateSessions, UnauthorisingAnUnauthorisedSessionKeepsItAndStillSaves) {
    TempStore store;
    const ClientSession session = store.state->GetOrCreateSession(L"Phone", L"dev-8");
    EXPECT_FALSE(store.state->UnauthorizeClient(session.SessionId));
    EXPECT_NO_THROW(store.state->GetSession(session.SessionId));
    EXPECT_TRUE(PathExists(store.File()));
    EXPECT_FALSE(store.state->UnauthorizeClient(12345));
}

TEST(StateSessions, DeviceTypeAndVersion) {
    TempStore store;
    State& s = *store.state;
    const ClientSession session = s.GetOrCreateSession(L"Phone", L"dev-9");
    s.SetDeviceType(session.SessionId, L"iPad");
    s.SetDeviceVersion(session.SessionId, L"2.1");
    EXPECT_EQ(L"iPad", s.GetSession(session.SessionId).DeviceType);
    EXPECT_EQ(L"2.1", s.GetSession(session.SessionId).Version);
    for (auto set : {&State::SetDeviceType, &State::SetDeviceVersion}) {
        try {
            (s.*set)(session.SessionId + 1, L"x");
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ("Unknown session ID", e.what());
        }
    }
    std::list<ClientSession> sessions;
    s.GetSessions(sessions);
    EXPECT_EQ(1u, sessions.size());
}

TEST(StateSessions, ConnectedSetIsIndependentOfSessions) {
    TempStore store;
    State& s = *store.state;
    EXPECT_FALSE(s.IsClientConnected(77));
    s.SetClientConnected(77, false);
    EXPECT_FALSE(s.IsClientConnected(77));
    s.SetClientConnected(77, true);
    EXPECT_TRUE(s.IsClientConnected(77)) << "an id with no session may be connected";
    s.SetClientConnected(77, true);
    s.SetClientConnected(77, false);
    EXPECT_FALSE(s.IsClientConnected(77));
}

TEST(StateSessions, AuthorisationSurvivesARestartWithoutAPin) {
    TempStore store;
    const ClientSession before = store.state->GetOrCreateSession(L"Phone", L"dev-10");
    ASSERT_TRUE(store.state->AuthorizeClient(before.SessionId));
    ASSERT_TRUE(store.state->Save());

    boost::shared_ptr<State> restarted = State::GetInstance(store.state->GetDataFolder());
    ASSERT_TRUE(restarted->Load());
    const ClientSession after = restarted->GetOrCreateSession(L"Phone", L"dev-10");
    EXPECT_TRUE(after.Authorized);
    EXPECT_EQ(0u, after.Pin);
}

// Unique ids come from clients; whatever they hold, an authorised device is still known after a
// restart, and the file stays readable.
TEST(StateSessions, HostileUniqueIdsSurviveARestart) {
    const std::wstring ids[] = {
        L"ctl\x01\x02\x1f\x7f",
        L"cr\r\nlf\ttab",
        L"<&>\"' ]]> &amp;",
        std::wstring(L"nul") + L'\0' + L"inside",
        std::wstring(L"surrogate") + static_cast<wchar_t>(0xD800),
        std::wstring(L"beyond") + static_cast<wchar_t>(0x110000),
        L"  blanks  ",
        L"\U0001F600 emoji",
    };
    TempStore store;
    for (const std::wstring& id : ids) {
        const ClientSession s = store.state->GetOrCreateSession(L"n", id);
        ASSERT_TRUE(store.state->AuthorizeClient(s.SessionId));
    }
    ASSERT_TRUE(store.state->Save());
    const std::string saved = ReadFile(store.File());
    statetest::ParseXml(saved);

    boost::shared_ptr<State> restarted = State::GetInstance(store.state->GetDataFolder());
    ASSERT_TRUE(restarted->Load());
    for (const std::wstring& id : ids) {
        EXPECT_TRUE(restarted->GetOrCreateSession(L"n", id).Authorized) << kivm::ToUTF8Ex(id);
    }
    ASSERT_TRUE(restarted->Save());
    EXPECT_EQ(saved, ReadFile(store.File())) << "what was loaded is what is saved again";
}
