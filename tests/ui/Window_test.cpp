// The main window: side bar, client events from other threads, device panels, closing and quitting.
#include <atomic>
#include <thread>

#include <wx/button.h>
#include <wx/statbmp.h>
#include <wx/uiaction.h>

#include "UiTestSupport.h"
#include "core/Events.h"
#include "ui/CalvoroForm.h"
#include "ui/DevicePanels.h"
#include "ui/VideoFoldersList.h"

namespace {

using namespace std::chrono_literals;
using uitest::ClickOn;
using uitest::PumpUntil;

class MainWindow : public uitest::WindowTest {};

class FakeIcon : public INotificationIcon {
public:
    bool IsInNotificationArea() const override { return true; }
};

TEST_F(MainWindow, StartsWithVideoFoldersSelectedAndTheTitle) {
    CalvoroForm* window = OpenWindow();
    EXPECT_EQ("Calvoro - v1.0.3.3", window->GetTitle().ToStdString());
    ASSERT_EQ(1u, window->GetEntries().size());
    EXPECT_EQ("Video Folders", window->GetEntries()[0]->GetLabelText().ToStdString());
    EXPECT_TRUE(window->GetEntries()[0]->IsSelected());
    EXPECT_NE(nullptr, window->GetFolderList());
}

TEST_F(MainWindow, OnlyOneWindowAtATime) {
    OpenWindow();
    EXPECT_THROW(CalvoroForm(state_.get(), events_.get(), nullptr), std::runtime_error);
    uitest::DestroyWindow();
    // Once the window is gone another may be made.
    OpenWindow();
    EXPECT_EQ(window_, CalvoroForm::GetInstance());
}

TEST_F(MainWindow, AClientEventFromAnotherThreadRebuildsTheSideBarAndSelectsTheDevice) {
    CalvoroForm* window = OpenWindow();
    state_->GetOrCreateSession(L"Earlier", L"earlier-id");
    const uint64_t id = AnnounceFromThread(L"Tom & Jerry's iPad", L"device-1");
    ASSERT_NE(0u, id);
    ASSERT_EQ(3u, window->GetEntries().size());
    const int selected = window->GetSelectedEntryId();
    EXPECT_EQ(id, window->GetEntrySession(selected));
    EXPECT_EQ("Tom & Jerry's iPad", window->GetEntries()[selected]->GetLabelText().ToStdString(wxConvUTF8));
    EXPECT_TRUE(window->GetEntries()[selected]->IsSelected());
    EXPECT_FALSE(window->GetEntries()[0]->IsSelected());
    // Not authorised: the PIN panel is the content.
    EnterDigitsPnl* pin = dynamic_cast<EnterDigitsPnl*>(window->GetContent());
    ASSERT_NE(nullptr, pin);
    EXPECT_EQ(id, pin->GetSessionId());
    EXPECT_EQ("ceee", pin->GetPlaces());
}

TEST_F(MainWindow, AFirstAnnounceShowsTheHiddenWindowForItsPin) {
    CalvoroForm* window = OpenWindow();
    window->Show(false);
    AnnounceFromThread(L"Phone", L"device-1");
    EXPECT_TRUE(window->IsShown());
}

TEST_F(MainWindow, TypedDigitsSubmitThePinAndOtherKeysDoNothing) {
    CalvoroForm* window = OpenWindow();
    // The panel typed into is not the first one the window made.
    AnnounceFromThread(L"Other", L"device-0");
    const uint64_t id = AnnounceFromThread(L"Phone", L"device-1");
    const std::string pin = std::to_string(SessionOf(L"device-1").Pin);
    ASSERT_EQ(4u, pin.size());
    EnterDigitsPnl* panel = dynamic_cast<EnterDigitsPnl*>(window->GetContent());
    ASSERT_NE(nullptr, panel);

    uitest::FocusForTyping(window);
    wxUIActionSimulator sim;
    sim.Char(pin[0]);
    sim.Char('a');
    sim.Char(WXK_HOME);
    sim.Char(pin[1]);
    sim.Char(WXK_BACK);
    sim.Char(pin[2]);
    ASSERT_TRUE(PumpUntil([&] { return panel->GetDigits().size() == 3; })) << panel->GetDigits();
    uitest::Pump(100ms);
    EXPECT_EQ(pin.substr(0, 3), panel->GetDigits());
    EXPECT_EQ("sssc", panel->GetPlaces());
    EXPECT_FALSE(state_->IsSessionAuthorized(id));

    sim.Char(pin[3]);
    ASSERT_TRUE(PumpUntil([&] { return dynamic_cast<AuthorizedPnl*>(window->GetContent()) != nullptr; }));
    EXPECT_TRUE(state_->IsSessionAuthorized(id));
    EXPECT_EQ(id, window->GetEntrySession(window->GetSelectedEntryId()));
}

TEST_F(MainWindow, AWrongPinOnlyEmptiesThePlaces) {
    CalvoroForm* window = OpenWindow();
    const uint64_t id = AnnounceFromThread(L"Phone", L"device-1");
    const uint32_t wrong = SessionOf(L"device-1").Pin == 9999 ? 1000 : SessionOf(L"device-1").Pin + 1;
    EnterDigitsPnl* panel = dynamic_cast<EnterDigitsPnl*>(window->GetContent());
    ASSERT_NE(nullptr, panel);
    uitest::FocusForTyping(window);
    wxUIActionSimulator sim;
    const std::string digits = std::to_string(wrong);
    sim.Text(digits.substr(0, 3).c_str());
    ASSERT_TRUE(PumpUntil([&] { return panel->GetPlaces() == "sssc"; }));
    sim.Char(digits[3]);
    ASSERT_TRUE(PumpUntil([&] { return panel->GetPlaces() == "ceee"; }));
    uitest::Pump(200ms);
    EXPECT_EQ(panel, window->GetContent());
    EXPECT_EQ("", panel->GetDigits());
    EXPECT_EQ("ceee", panel->GetPlaces());
    EXPECT_FALSE(state_->IsSessionAuthorized(id));
}

TEST_F(MainWindow, AnAuthorisedDeviceShowsItsFactsAndUnauthorizeReturnsToVideoFolders) {
    CalvoroForm* window = OpenWindow();
    const uint64_t id = AnnounceFromThread(L"Phone", L"device-1");
    state_->SetDeviceType(id, L"iphone");
    state_->SetDeviceVersion(id, L"4.2");
    ASSERT_TRUE(state_->AuthorizeClient(id));
    window->RebuildSideBar(id);
    AuthorizedPnl* panel = dynamic_cast<AuthorizedPnl*>(window->GetContent());
    ASSERT_NE(nullptr, panel);
    EXPECT_EQ("iPhone", panel->GetNameText().ToStdString());
    EXPECT_EQ("4.2", panel->GetVersionText().ToStdString());
    EXPECT_EQ("Connected", panel->GetStatusText().ToStdString());
    EXPECT_EQ(L"images/dev_iphone.png", panel->GetPicturePath());

    wxButton* button = nullptr;
    for (wxWindow* child : panel->GetChildren())
        if (wxButton* found = dynamic_cast<wxButton*>(child)) button = found;
    ASSERT_NE(nullptr, button);
    EXPECT_EQ("Unauthorize", button->GetLabel().ToStdString());
    ClickOn(button);
    ASSERT_TRUE(PumpUntil([&] { return window->GetEntries().size() == 1; }));
    EXPECT_EQ(0, window->GetSelectedEntryId());
    EXPECT_NE(nullptr, window->GetFolderList());
    EXPECT_FALSE(state_->IsSessionAuthorized(id));
}

TEST_F(MainWindow, AnUnknownDeviceTypeAndASilentDevice) {
    CalvoroForm* window = OpenWindow();
    const uint64_t id = AnnounceFromThread(L"Box", L"device-1");
    ASSERT_TRUE(state_->AuthorizeClient(id));
    state_->SetClientConnected(id, false);
    window->RebuildSideBar(id);
    AuthorizedPnl* panel = dynamic_cast<AuthorizedPnl*>(window->GetContent());
    ASSERT_NE(nullptr, panel);
    EXPECT_EQ("?", panel->GetNameText().ToStdString());
    EXPECT_EQ(L"images/dev_unknown.png", panel->GetPicturePath());
    EXPECT_EQ("Disconnected", panel->GetStatusText().ToStdString());
    EXPECT_EQ(L"images/disconnected.png", panel->GetStatusImagePath());
}

TEST_F(MainWindow, ASessionThatIsGoneShowsInThePanelInsteadOfEndingTheProgram) {
    CalvoroForm* window = OpenWindow();
    AuthorizedPnl panel(state_.get(), events_.get(), 12345, window);
    EXPECT_EQ("?", panel.GetNameText().ToStdString());
}

TEST_F(MainWindow, ClickingAnEntrySelectsIt) {
    CalvoroForm* window = OpenWindow();
    const uint64_t id = AnnounceFromThread(L"Phone", L"device-1");
    ASSERT_TRUE(state_->AuthorizeClient(id));
    window->RebuildSideBar(0);
    ASSERT_EQ(0, window->GetSelectedEntryId());
    ClickOn(window->GetEntries()[1]);
    ASSERT_TRUE(PumpUntil([&] { return window->GetSelectedEntryId() == 1; }));
    EXPECT_NE(nullptr, dynamic_cast<AuthorizedPnl*>(window->GetContent()));
    EXPECT_TRUE(window->GetEntries()[1]->IsSelected());
}

TEST_F(MainWindow, TheCloseBoxHidesWithAnIconAndQuitsWithout) {
    CalvoroForm* window = OpenWindow();
    window->SetNotificationIcon(std::unique_ptr<INotificationIcon>(new FakeIcon));
    window->Close();
    uitest::Pump(100ms);
    ASSERT_EQ(window, CalvoroForm::GetInstance());
    EXPECT_FALSE(window->IsShown());

    window->SetNotificationIcon(nullptr);
    window->Show(true);
    window->Close();
    EXPECT_TRUE(PumpUntil([] { return CalvoroForm::GetInstance() == nullptr; }));
}

TEST_F(MainWindow, QuitDestroysTheWindowAndLaterClientEventsFindNone) {
    CalvoroForm* window = OpenWindow();
    window->SetNotificationIcon(std::unique_ptr<INotificationIcon>(new FakeIcon));
    CalvoroForm::PostQuit(window);
    ASSERT_TRUE(PumpUntil([] { return CalvoroForm::GetInstance() == nullptr; }));
    // The callback went with the window: an announce now reaches nobody.
    std::thread connection([this]() { events_->ClientAnnounced(L"Late", L"late-id"); });
    connection.join();
    events_->FireClientEvent(0);
    uitest::Pump(100ms);
}

TEST(PinDigitBuffer, TakesAtMostFourDigitsAndNothingElse) {
    struct Case {
        std::vector<int> keys;
        std::string digits;
    };
    const Case cases[] = {
        {{'1', '2', '3'}, "123"},
        {{'1', '2', '3', '4', '5'}, "1234"},
        {{'a', ' ', WXK_BACK, WXK_HOME, WXK_END, '0'}, "0"},
        {{'/', ':', 0x100 + '5', WXK_NUMPAD5}, ""},
    };
    for (const Case& c : cases) {
        PinDigitBuffer buffer;
        for (int key : c.keys) buffer.AddDigit(key);
        EXPECT_EQ(c.digits, buffer.GetDigits());
    }
    PinDigitBuffer leadingZero;
    for (int key : {'0', '4', '2', '7'}) leadingZero.AddDigit(key);
    EXPECT_EQ(427u, leadingZero.GetValue());
}

// The clock of the silence timers, moved by the test.
std::atomic<uint32_t> gNowMs{0};

class TestTimer : public ITimer {
public:
    TestTimer() : start_(gNowMs) {}
    uint32_t GetElapsedMs() override { return gNowMs - start_; }

private:
    uint32_t start_;
};

class TestTimers : public ITimerFactory {
public:
    boost::shared_ptr<ITimer> CreateTimer() override { return boost::shared_ptr<ITimer>(new TestTimer()); }
};

TEST_F(MainWindow, ADeviceThatTimesOutMovesTheSideBarOnlyWhenItWasSelected) {
    static TestTimers timers;
    gNowMs = 0;
    events_ = Events::GetInstance(state_.get(), &timers);
    CalvoroForm* window = OpenWindow();
    const uint64_t phone = AnnounceFromThread(L"Phone", L"device-1");
    AnnounceFromThread(L"Tablet", L"device-2");
    // The user looks at the phone.
    CalvoroForm::OnSideBarEntryClick(window->GetEntrySession(1) == phone ? 1 : 2);
    ASSERT_EQ(phone, window->GetEntrySession(window->GetSelectedEntryId()));
    wxWindow* const pinPanel = window->GetContent();
    // The phone speaks again later; then the tablet's silence runs out.
    gNowMs = 200000;
    events_->ClientAnnounced(L"Phone", L"device-1");
    gNowMs = 310000;
    ASSERT_NE(0u, events_->CheckClientTimeouts());
    ASSERT_TRUE(PumpUntil([&] { return window->GetEntries().size() == 2; }));
    uitest::Pump(200ms);
    EXPECT_EQ(phone, window->GetEntrySession(window->GetSelectedEntryId()));
    EXPECT_EQ(pinPanel, window->GetContent()) << "the panel the user is typing in stays";
    // Now the phone's, and it was the one selected.
    gNowMs = 520000;
    ASSERT_NE(0u, events_->CheckClientTimeouts());
    ASSERT_TRUE(PumpUntil([&] { return window->GetEntries().size() == 1; }));
    EXPECT_EQ(0, window->GetSelectedEntryId());
    EXPECT_NE(nullptr, window->GetFolderList());
}

}  // namespace
