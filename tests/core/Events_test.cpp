// The events object: announces, the client-change callback, PINs, un-authorisation and time-outs.
#include "core/Events.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StateTestSupport.h"
#include "core/State.h"
#include "support/TestSupport.h"

using statetest::LogCapture;
using statetest::TempStore;
using testsupport::PathExists;
using testsupport::ReadFile;

namespace {

// Stopwatches that read a clock the test moves by hand.
class FakeClock : public ITimerFactory {
public:
    class FakeTimer : public ITimer {
    public:
        explicit FakeTimer(FakeClock& clock) : clock_(clock), start_(clock.now) {}
        uint32_t GetElapsedMs() override { return clock_.now - start_; }
        virtual ~FakeTimer() = default;

    private:
        FakeClock& clock_;
        uint32_t start_;
    };
    boost::shared_ptr<ITimer> CreateTimer() override {
        ++made;
        return boost::shared_ptr<ITimer>(new FakeTimer(*this));
    }
    std::atomic<uint32_t> now{0};
    std::atomic<int> made{0};
};

// Records every report of the callback.
struct Reports {
    static void Callback(void* self, uint64_t sessionId) {
        Reports* reports = static_cast<Reports*>(self);
        std::lock_guard<std::mutex> guard(reports->mutex);
        reports->ids.push_back(sessionId);
    }
    std::vector<uint64_t> Ids() {
        std::lock_guard<std::mutex> guard(mutex);
        return ids;
    }
    std::mutex mutex;
    std::vector<uint64_t> ids;
};

class EventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(store.state);
        events = Events::GetInstance(store.state.get(), &clock);
        ASSERT_TRUE(events);
    }
    ClientSession Announce(const std::wstring& id) {
        events->ClientAnnounced(L"Device " + id, id);
        return store.state->GetOrCreateSession(L"", id);
    }
    void Listen() { events->SetClientEventCallback(&Reports::Callback, &reports); }

    TempStore store;
    FakeClock clock;
    Reports reports;
    boost::shared_ptr<IEvents> events;
};

}  // namespace

TEST_F(EventsTest, FirstAnnounceIsReportedOnce) {
    Listen();
    const ClientSession s = Announce(L"a");
    EXPECT_TRUE(store.state->IsClientConnected(s.SessionId));
    Announce(L"a");
    EXPECT_EQ(std::vector<uint64_t>{s.SessionId}, reports.Ids());
    EXPECT_EQ(2, clock.made.load()) << "every announce restarts the stopwatch";
}

TEST_F(EventsTest, AnnounceBeforeTheCallbackIsReportedAtTheNextOne) {
    const ClientSession s = Announce(L"early");
    EXPECT_TRUE(reports.Ids().empty());
    Listen();
    Announce(L"early");
    Announce(L"early");
    EXPECT_EQ(std::vector<uint64_t>{s.SessionId}, reports.Ids());
}

TEST_F(EventsTest, SilenceExpiresOnlyBeyondTheTimeOut) {
    Listen();
    const ClientSession s = Announce(L"quiet");
    ASSERT_TRUE(store.state->AuthorizeClient(s.SessionId));
    clock.now = 300000;
    events->CheckClientTimeouts();
    EXPECT_TRUE(store.state->IsClientConnected(s.SessionId)) << "exactly the time-out is not yet silent";
    clock.now = 300001;
    events->CheckClientTimeouts();
    EXPECT_FALSE(store.state->IsClientConnected(s.SessionId));
    EXPECT_TRUE(store.state->IsSessionAuthorized(s.SessionId)) << "the session and its authorisation stay";
    EXPECT_EQ(1u, reports.Ids().size()) << "expiry reports nothing";

    Announce(L"quiet");
    EXPECT_TRUE(store.state->IsClientConnected(s.SessionId));
    EXPECT_EQ(1u, reports.Ids().size()) << "coming back is not reported again";
}

TEST_F(EventsTest, SilenceIsMeasuredFromTheLastAnnounce) {
    const ClientSession s = Announce(L"chatty");
    clock.now = 200000;
    Announce(L"chatty");
    clock.now = 400000;
    events->CheckClientTimeouts();
    EXPECT_TRUE(store.state->IsClientConnected(s.SessionId));
    clock.now = 500001;
    events->CheckClientTimeouts();
    EXPECT_FALSE(store.state->IsClientConnected(s.SessionId));
}

TEST_F(EventsTest, OneSilentSessionPerCheckLowestIdFirst) {
    std::vector<uint64_t> ids;
    for (const wchar_t* id : {L"x", L"y", L"z"}) ids.push_back(Announce(id).SessionId);
    std::sort(ids.begin(), ids.end());
    clock.now = 400000;
    for (size_t check = 0; check < ids.size(); ++check) {
        events->CheckClientTimeouts();
        for (size_t i = 0; i < ids.size(); ++i)
            EXPECT_EQ(i > check, store.state->IsClientConnected(ids[i])) << "check " << check << " id " << i;
    }
}

TEST_F(EventsTest, AWaitingSessionEndsWhenItsPinTimesOutAnAuthorisedOneStays) {
    const ClientSession waiting = Announce(L"waiting");
    const ClientSession paired = Announce(L"paired");
    ASSERT_TRUE(events->SubmitPin(paired.Pin, paired.SessionId));
    Listen();
    clock.now = 300001;
    std::set<uint64_t> expired;
    for (int check = 0; check < 2; ++check) expired.insert(events->CheckClientTimeouts());
    EXPECT_EQ((std::set<uint64_t>{waiting.SessionId, paired.SessionId}), expired) << "each check names its session";
    EXPECT_EQ(0u, events->CheckClientTimeouts()) << "nothing is left to expire";

    EXPECT_THROW(store.state->GetSession(waiting.SessionId), std::runtime_error);
    EXPECT_FALSE(store.state->IsClientConnected(waiting.SessionId));
    EXPECT_TRUE(store.state->IsSessionAuthorized(paired.SessionId));
    EXPECT_EQ(std::vector<uint64_t>{0}, reports.Ids()) << "the window learns once that a device went";

    const ClientSession back = Announce(L"waiting");
    EXPECT_NE(waiting.SessionId, back.SessionId) << "a new session, with a new PIN drawn";
    EXPECT_EQ((std::vector<uint64_t>{0, back.SessionId}), reports.Ids());
}

// Announces with ever new unique ids: the state store keeps the newest 64 waiting sessions, and the
// events object forgets the ones it let go instead of keeping a stopwatch for each.
TEST_F(EventsTest, AnAnnounceFloodLeavesNoStopwatchOfTheSessionsPushedOut) {
    Listen();
    for (int i = 0; i < 10000; ++i) events->ClientAnnounced(L"flood", L"flood-" + std::to_wstring(i));
    std::list<ClientSession> sessions;
    store.state->GetSessions(sessions);
    EXPECT_EQ(State::kMaxWaitingSessions, sessions.size());
    EXPECT_EQ(10000u, reports.Ids().size());

    clock.now = 300001;
    size_t expiries = 0;
    while (events->CheckClientTimeouts() != 0 && expiries < 20000) ++expiries;
    EXPECT_GE(expiries, State::kMaxWaitingSessions);
    EXPECT_LE(expiries, 300u) << "stopwatches of sessions that are gone were kept";
    store.state->GetSessions(sessions);
    EXPECT_TRUE(sessions.empty());
}

TEST_F(EventsTest, RightPinAuthorisesSavesAndReports) {
    const ClientSession s = Announce(L"pair-me");
    Listen();
    ASSERT_GE(s.Pin, 1000u);
    EXPECT_FALSE(PathExists(store.File()));
    EXPECT_TRUE(events->SubmitPin(s.Pin, s.SessionId));
    EXPECT_TRUE(store.state->IsSessionAuthorized(s.SessionId));
    EXPECT_NE(std::string::npos, ReadFile(store.File()).find("<UniqueID>pair-me</UniqueID>"));
    EXPECT_EQ(std::vector<uint64_t>{s.SessionId}, reports.Ids());
}

TEST_F(EventsTest, WrongPinIsLoggedAndChangesNothing) {
    const ClientSession s = Announce(L"typo");
    Listen();
    const uint32_t wrong = s.Pin == 9999 ? 1000 : s.Pin + 1;
    LogCapture log;
    EXPECT_FALSE(events->SubmitPin(wrong, s.SessionId));
    EXPECT_TRUE(log.Contains("PIN submitted (" + std::to_string(wrong) + ") does not match correct PIN (" +
                             std::to_string(s.Pin) + ")"))
        << log.Text();
    EXPECT_FALSE(store.state->IsSessionAuthorized(s.SessionId));
    EXPECT_FALSE(PathExists(store.File())) << "nothing saved";
    EXPECT_TRUE(reports.Ids().empty());
    EXPECT_TRUE(events->SubmitPin(s.Pin, s.SessionId)) << "the device may try again";
}

TEST_F(EventsTest, PinForAGoneSessionIsLogged) {
    LogCapture log;
    EXPECT_FALSE(events->SubmitPin(1234, 42));
    EXPECT_TRUE(log.Contains("Session not found"));
}

TEST_F(EventsTest, UnauthoriseReportsZeroAndSaves) {
    const ClientSession s = Announce(L"leaving");
    ASSERT_TRUE(events->SubmitPin(s.Pin, s.SessionId));
    Listen();
    EXPECT_TRUE(events->Unauthorize(s.SessionId));
    EXPECT_EQ(std::vector<uint64_t>{0}, reports.Ids());
    EXPECT_EQ(std::string::npos, ReadFile(store.File()).find("leaving"));
    EXPECT_THROW(store.state->GetSession(s.SessionId), std::runtime_error);

    LogCapture log;
    std::filesystem::remove(store.File());
    EXPECT_TRUE(events->Unauthorize(s.SessionId)) << "the result is the save's";
    EXPECT_TRUE(log.Contains("UnauthorizeClient failed"));
    EXPECT_EQ((std::vector<uint64_t>{0, 0}), reports.Ids());
    EXPECT_TRUE(PathExists(store.File()));
}

TEST_F(EventsTest, UnauthoriseGivesTheSaveResult) {
    const ClientSession s = Announce(L"x");
    ASSERT_TRUE(events->SubmitPin(s.Pin, s.SessionId));
    std::filesystem::create_directory(store.File("state.xml.tmp"));  // no save can succeed now
    EXPECT_FALSE(events->Unauthorize(s.SessionId));
}

namespace {

// Runs fn on a thread of its own; a test that deadlocks ends the program instead of hanging it.
void WithinSeconds(int seconds, const std::function<void()>& fn) {
    std::packaged_task<void()> task(fn);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        fprintf(stderr, "deadlock: a lock is held while the callback runs\n");
        std::_Exit(1);
    }
    runner.join();
    done.get();
}

struct Reentrant {
    static void Callback(void* self, uint64_t sessionId) {
        Reentrant* r = static_cast<Reentrant*>(self);
        // Both objects are free while the callback runs: it may call either one.
        std::list<ClientSession> sessions;
        r->state->GetSessions(sessions);
        r->events->SetClientEventCallback(&Callback, self);
        r->events->CheckClientTimeouts();
        r->seen.push_back(sessionId);
    }
    State* state;
    IEvents* events;
    std::vector<uint64_t> seen;
};

}  // namespace

TEST_F(EventsTest, CallbackRunsWithoutAnyLock) {
    Reentrant r{store.state.get(), events.get(), {}};
    events->SetClientEventCallback(&Reentrant::Callback, &r);
    WithinSeconds(20, [&] {
        const ClientSession s = Announce(L"re");
        events->SubmitPin(s.Pin, s.SessionId);
        events->Unauthorize(s.SessionId);
        events->FireClientEvent(7);
    });
    EXPECT_EQ(4u, r.seen.size());
}

namespace {

// The real store, except that marking a device connected lets a time-out check run on another thread
// at that very moment.
class RacingState : public IState {
public:
    RacingState(State& real, IEvents*& events) : real_(real), events_(events) {}
    std::list<FinishedConversion> GetFinishedConversions() override { return real_.GetFinishedConversions(); }
    void AddFinishedConversion(const FinishedConversion& c) override { real_.AddFinishedConversion(c); }
    ClientSession GetOrCreateSession(const std::wstring& n, const std::wstring& u) override {
        return real_.GetOrCreateSession(n, u);
    }
    ClientSession GetSession(uint64_t id) override { return real_.GetSession(id); }
    bool AuthorizeClient(uint64_t id) override { return real_.AuthorizeClient(id); }
    bool UnauthorizeClient(uint64_t id) override { return real_.UnauthorizeClient(id); }
    void SetClientConnected(uint64_t id, bool connected) override {
        real_.SetClientConnected(id, connected);
        if (connected && race && !checker.joinable()) {
            checker = std::thread([this] { events_->CheckClientTimeouts(); });
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // it runs now, if nothing stops it
        }
    }
    bool EndWaitingSession(uint64_t id) override { return real_.EndWaitingSession(id); }
    uint32_t GetClientTimeoutMs() override { return real_.GetClientTimeoutMs(); }
    std::wstring GetCacheFolder() override { return real_.GetCacheFolder(); }
    bool GetExternalAccess() override { return real_.GetExternalAccess(); }
    int GetExternalPort() override { return real_.GetExternalPort(); }
    uint32_t GetHttpPort() override { return real_.GetHttpPort(); }
    std::wstring GetLookupName() override { return real_.GetLookupName(); }
    void SetLookupName(const std::wstring& n) override { real_.SetLookupName(n); }
    bool Save() override { return real_.Save(); }

    bool race = false;
    std::thread checker;

private:
    State& real_;
    IEvents*& events_;
};

}  // namespace

TEST(Events, AnnounceRacingTheTimeOutLeavesTheDeviceConnected) {
    TempStore store;
    FakeClock clock;
    IEvents* raw = nullptr;
    RacingState racing(*store.state, raw);
    boost::shared_ptr<IEvents> events = Events::GetInstance(&racing, &clock);
    raw = events.get();
    events->ClientAnnounced(L"d", L"racer");
    const uint64_t id = store.state->GetOrCreateSession(L"", L"racer").SessionId;
    clock.now = 400000;  // its stopwatch is long expired when it announces again
    racing.race = true;
    events->ClientAnnounced(L"d", L"racer");
    racing.checker.join();
    EXPECT_TRUE(store.state->IsClientConnected(id));
    events->CheckClientTimeouts();
    EXPECT_TRUE(store.state->IsClientConnected(id)) << "its new stopwatch has only just started";
}

TEST(Events, FactoryNeedsBothParts) {
    TempStore store;
    FakeClock clock;
    EXPECT_FALSE(Events::GetInstance(nullptr, &clock));
    EXPECT_FALSE(Events::GetInstance(store.state.get(), nullptr));
}

// Connection threads announce, the GUI thread pairs and removes devices and the worker expires
// silent ones, all at once; under ThreadSanitizer this also checks the lock order.
TEST(Events, ConcurrentUse) {
    TempStore store;
    FakeClock clock;
    boost::shared_ptr<IEvents> events = Events::GetInstance(store.state.get(), &clock);
    Reports reports;
    events->SetClientEventCallback(&Reports::Callback, &reports);
    // Waiting sessions may all time out before the GUI thread sees one: one device is paired (and
    // saved) first, so there is always something to remove and a file to read.
    events->ClientAnnounced(L"n", L"steady");
    const ClientSession steady = store.state->GetOrCreateSession(L"n", L"steady");
    ASSERT_TRUE(events->SubmitPin(steady.Pin, steady.SessionId));
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) events->ClientAnnounced(L"n", L"d" + std::to_wstring((t * 200 + i) % 50));
        });
    }
    std::thread worker([&] {
        while (!done) {
            clock.now += 100000;
            events->CheckClientTimeouts();
        }
    });
    std::thread gui([&] {
        for (int i = 0; i < 30; ++i) {
            std::list<ClientSession> sessions;
            store.state->GetSessions(sessions);
            for (const ClientSession& s : sessions) {
                if (s.Authorized) events->Unauthorize(s.SessionId);
                else events->SubmitPin(s.Pin, s.SessionId);
                break;
            }
        }
    });
    for (std::thread& t : threads) t.join();
    gui.join();
    done = true;
    worker.join();
    const xml_element root = statetest::ParseXml(ReadFile(store.File()));
    EXPECT_EQ("CalvoroState", root.name);
    EXPECT_FALSE(reports.Ids().empty());
}
