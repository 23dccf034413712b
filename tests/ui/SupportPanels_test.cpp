// The connection assistant and the issue report in their own modal dialogs, as the preferences open
// them: the URLs, the e-mail and the report reaching a stand-in master server on loopback, and a master
// server that cannot be reached leaving either dialog open with what was typed.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/image.h>
#include <wx/sizer.h>
#include <wx/textctrl.h>

#include "UiTestSupport.h"
#include "network/ExternalDataService.h"
#include "support/FakeMasterServer.h"
#include "support/TrayWindowManager.h"
#include "ui/ConnectionAssPnl.h"
#include "ui/GenericDialogBase.h"
#include "ui/ModalScope.h"
#include "ui/PreferencesPnl.h"
#include "ui/ReportIssuePnl.h"

namespace {

using namespace std::chrono_literals;
using testsupport::FakeMasterServer;
using testsupport::MasterReply;
using testsupport::MasterRequest;
using uitest::Pump;
using uitest::PumpUntil;

const char* const kEmailSent =
    "An email has been sent. Open this email on your device and tap the embedded link to connect Calvoro to your "
    "server.";

template <class Panel>
Panel* PanelIn(wxWindow* dialog);

// The assistant on a machine whose primary interface is at a known address.
class AssistantAt : public ConnectionAssPnl {
public:
    AssistantAt(wxWindow* parent, IState* state, const std::string& address)
        : ConnectionAssPnl(parent, state, 8683), address_(address) {}

protected:
    bool ReadPrimaryAddress(std::string& address) override {
        if (address_.empty()) return false;
        address = address_;
        return true;
    }

private:
    std::string address_;
};

// A message box the handler opens, answered with OK; counts the boxes that came and checks the text.
class ExpectMessage : public wxExpectModalBase<wxGenericMessageDialog> {
public:
    ExpectMessage(const std::string& message, const std::string& caption, int* seen)
        : message_(message), caption_(caption), seen_(seen) {}

protected:
    int OnInvoked(wxGenericMessageDialog* dialog) const override {
        EXPECT_EQ(message_, dialog->GetMessage().ToStdString(wxConvUTF8));
        EXPECT_EQ(caption_, dialog->GetTitle().ToStdString(wxConvUTF8));
        ++*seen_;
        return wxID_OK;
    }

private:
    std::string message_, caption_;
    int* seen_;
};

void Choose(wxChoice* choice, int entry) {
    choice->SetSelection(entry);
    wxCommandEvent event(wxEVT_CHOICE, choice->GetId());
    event.SetEventObject(choice);
    event.SetInt(entry);
    choice->GetEventHandler()->ProcessEvent(event);
}

std::string Text(wxTextCtrl* field) { return field->GetValue().ToStdString(wxConvUTF8); }

class SupportPanels : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = State::GetInstance(data_.wpath());
        ASSERT_TRUE(state_);
        state_->SetHttpPort(8683);
    }

    void Serve(FakeMasterServer::Handler handler) {
        master_.reset(new FakeMasterServer(std::move(handler)));
        address_.reset(new testsupport::ScopedEnvironment("CALVORO_MASTER_HOST", master_->Address()));
    }
    // A master server address where nothing listens.
    void Unreachable() {
        address_.reset(new testsupport::ScopedEnvironment(
            "CALVORO_MASTER_HOST", "127.0.0.1:" + std::to_string(testsupport::FreePort())));
    }

    // Shows panel in a modal dialog titled title, as the preferences do, and runs action inside the
    // dialog's loop once it is on screen. True when the dialog closed by itself (the action did not
    // have to end it).
    template <class Panel>
    bool RunDialog(const wxString& title, std::function<Panel*(wxWindow*)> make,
                   std::function<void(GenericDialogBase*, Panel*)> action) {
        GenericDialogBase dialog(nullptr, wxID_ANY, title);
        Panel* panel = make(&dialog);
        dialog.bSizer->Add(panel, 1, 0, 0);
        dialog.Layout();
        dialog.Fit();
        bool endedByTest = false;
        uitest::WhenModalDialog([&](wxDialog*) {
            PumpUntil([&] { return dialog.IsShownOnScreen(); });
            Pump(200ms);
            action(&dialog, panel);
            Pump(200ms);
            if (dialog.IsModal()) {
                endedByTest = true;
                dialog.EndModal(wxID_CANCEL);
            }
        });
        dialog.ShowModal();
        return !endedByTest;
    }

    void Screenshot(const std::string& title, const std::string& name) { uitest::Screenshot("^" + title + "$", name); }

    testsupport::TempDir data_;
    boost::shared_ptr<State> state_;
    std::unique_ptr<testsupport::ScopedEnvironment> address_;  // before master_: goes after it
    std::unique_ptr<FakeMasterServer> master_;
};

TEST_F(SupportPanels, AssistantShowsTheUrlOfTheChosenApplication) {
    bool closed = RunDialog<AssistantAt>(
        "Connection Assistant", [&](wxWindow* parent) { return new AssistantAt(parent, state_.get(), "192.168.1.20"); },
        [&](GenericDialogBase* dialog, AssistantAt* panel) {
            EXPECT_EQ("Select App", panel->GetAppChoice()->GetStringSelection().ToStdString());
            EXPECT_EQ(3u, panel->GetAppChoice()->GetCount());
            EXPECT_EQ("", Text(panel->GetUrlText()));
            EXPECT_EQ("", panel->GetAddressText());
            // The whole panel shows: the dialog is fitted to it.
            EXPECT_GE(dialog->GetClientSize().x, panel->GetBestSize().x);
            EXPECT_GE(dialog->GetClientSize().y, panel->GetBestSize().y);
            Choose(panel->GetAppChoice(), 1);
            EXPECT_EQ("calvoro://connect/192.168.1.20:8683", Text(panel->GetUrlText()));
            Choose(panel->GetAppChoice(), 2);
            EXPECT_EQ("ostrevan://connect/192.168.1.20:8683", Text(panel->GetUrlText()));
            Pump(200ms);
            Screenshot("Connection Assistant", "connection-assistant");
            Choose(panel->GetAppChoice(), 0);
            EXPECT_EQ("", Text(panel->GetUrlText()));
            EXPECT_EQ("192.168.1.20", panel->GetAddressText());
        });
    EXPECT_FALSE(closed);
}

TEST_F(SupportPanels, AssistantWithoutAnInterfaceShowsUnknown) {
    // This test runs where only loopback exists, so the machine has no primary interface.
    REQUIRE_ISOLATED_NETWORK();
    RunDialog<ConnectionAssPnl>(
        "Connection Assistant", [&](wxWindow* parent) { return new ConnectionAssPnl(parent, state_.get(), 8683); },
        [&](GenericDialogBase*, ConnectionAssPnl* panel) {
            Choose(panel->GetAppChoice(), 1);
            EXPECT_EQ("calvoro://connect/Unknown:8683", Text(panel->GetUrlText()));
        });
}

TEST_F(SupportPanels, AssistantSendsTheEmailThenClosesAndSaysSo) {
    REQUIRE_ISOLATED_NETWORK();
    Serve([](const MasterRequest&) { return MasterReply::Ok("ok"); });
    int messages = 0;
    const bool closed = RunDialog<AssistantAt>(
        "Connection Assistant", [&](wxWindow* parent) { return new AssistantAt(parent, state_.get(), "192.168.1.20"); },
        [&](GenericDialogBase*, AssistantAt* panel) {
            Choose(panel->GetAppChoice(), 1);
            panel->GetEmailText()->SetValue(wxString::FromUTF8("zo\xc3\xab@example.com"));
            wxTEST_DIALOG(uitest::ClickOn(panel->GetSendButton()), ExpectMessage(kEmailSent, "Calvoro", &messages));
            // Sent: the closing dialog takes no second click.
            EXPECT_FALSE(panel->GetSendButton()->IsEnabled());
        });
    EXPECT_TRUE(closed);
    EXPECT_EQ(1, messages);
    ASSERT_EQ(1u, master_->Requests().size());
    EXPECT_EQ("/server/send_manual_connect_email?ip=192.168.1.20&port=8683&email=zo%C3%AB@example.com",
              master_->Requests()[0].target);
}

// The shown top-level window of class T whose title is title, or null.
template <class T>
T* ShownWindow(const wxString& title) {
    for (wxWindow* top : wxTopLevelWindows) {
        T* window = dynamic_cast<T*>(top);
        if (window && window->IsShownOnScreen() && window->GetTitle() == title) return window;
    }
    return nullptr;
}

// On a desktop with a window manager: the assistant opened from the preferences' button, the e-mail
// sent, and the message that says so comes up over the preferences, which stay, with the keyboard focus.
TEST_F(SupportPanels, TheEmailMessageComesUpFocusedOverThePreferences) {
    REQUIRE_ISOLATED_NETWORK();
    testsupport::TrayWindowManager windowManager(getenv("DISPLAY"));
    ASSERT_TRUE(windowManager.WaitUntilReady());
    Serve([](const MasterRequest&) { return MasterReply::Ok("ok"); });
    GenericDialogBase preferences(nullptr, wxID_ANY, "Calvoro Preferences");
    PreferencesPnl* panel = new PreferencesPnl(&preferences, state_.get(), nullptr);
    preferences.bSizer->Add(panel, 1, 0, 0);
    preferences.Layout();
    preferences.Fit();
    bool sent = false, focused = false;
    uitest::WhenModalDialog([&](wxDialog*) {
        PumpUntil([&] { return preferences.IsShownOnScreen(); });
        Pump(200ms);
        uitest::RunLater(100ms, [&]() {
            GenericDialogBase* assistant = nullptr;
            PumpUntil([&] { return (assistant = ShownWindow<GenericDialogBase>("Connection Assistant")) != nullptr; });
            ASSERT_NE(nullptr, assistant);
            Pump(300ms);
            ConnectionAssPnl* form = nullptr;
            for (wxWindow* child : assistant->GetChildren())
                if (!form) form = dynamic_cast<ConnectionAssPnl*>(child);
            ASSERT_NE(nullptr, form);
            form->GetEmailText()->SetValue("me@example.com");
            uitest::RunLater(100ms, [&]() {
                wxGenericMessageDialog* message = nullptr;
                PumpUntil([&] { return (message = ShownWindow<wxGenericMessageDialog>("Calvoro")) != nullptr; });
                ASSERT_NE(nullptr, message);
                sent = message->GetMessage() == kEmailSent;
                focused = PumpUntil([&] { return message->IsActive(); });
                Pump(200ms);
                uitest::Screenshot("root", "email-sent");
                message->EndModal(wxID_OK);
            });
            uitest::PressButton(form->GetSendButton());
        });
        uitest::PressButton(panel->GetConnectionAssistantButton());
        preferences.EndModal(wxID_CANCEL);
    });
    {
        ModalScope scope(&preferences);
        preferences.ShowModal();
    }
    EXPECT_TRUE(sent);
    EXPECT_TRUE(focused);
    EXPECT_EQ(1u, master_->Requests().size());
}

// A port changed in the preferences waits for the restart: until then the assistant shows, and has
// e-mailed, the port the server listens on.
TEST_F(SupportPanels, AfterAPortChangeTheAssistantNamesThePortTheServerListensOn) {
    REQUIRE_ISOLATED_NETWORK();
    Serve([](const MasterRequest&) { return MasterReply::Ok("ok"); });
    GenericDialogBase preferences(nullptr, wxID_ANY, "Calvoro Preferences");
    PreferencesPnl* panel = new PreferencesPnl(&preferences, state_.get(), nullptr);
    preferences.bSizer->Add(panel, 1, 0, 0);
    preferences.Fit();
    panel->GetCustomPortBox()->SetValue(true);
    panel->UpdateEnabledStates();
    panel->GetPortField()->SetValue("9100");
    ASSERT_TRUE(panel->Apply()) << "the change asks for a restart";
    ASSERT_EQ(9100u, state_->GetHttpPort());

    std::string url;
    int messages = 0;
    uitest::WhenModalDialog([&](wxDialog* dialog) {
        ConnectionAssPnl* assistant = PanelIn<ConnectionAssPnl>(dialog);
        ASSERT_NE(nullptr, assistant);
        PumpUntil([&] { return dialog->IsShownOnScreen(); });
        Choose(assistant->GetAppChoice(), 1);
        url = Text(assistant->GetUrlText());
        Pump(300ms);
        Screenshot("Connection Assistant", "assistant-after-port-change");
        assistant->GetEmailText()->SetValue("me@example.com");
        wxTEST_DIALOG(uitest::PressButton(assistant->GetSendButton()), ExpectMessage(kEmailSent, "Calvoro", &messages));
    });
    uitest::PressButton(panel->GetConnectionAssistantButton());
    EXPECT_EQ(1, messages);
    EXPECT_EQ(":8683", url.substr(url.rfind(':')));
    ASSERT_EQ(1u, master_->Requests().size());
    EXPECT_NE(std::string::npos, master_->Requests()[0].target.find("&port=8683&")) << master_->Requests()[0].target;
}

TEST_F(SupportPanels, SendBeforeAnyChoiceSendsAnEmptyAddress) {
    REQUIRE_ISOLATED_NETWORK();
    Serve([](const MasterRequest&) { return MasterReply::Ok("ok"); });
    int messages = 0;
    RunDialog<AssistantAt>(
        "Connection Assistant", [&](wxWindow* parent) { return new AssistantAt(parent, state_.get(), "10.1.2.3"); },
        [&](GenericDialogBase*, AssistantAt* panel) {
            panel->GetEmailText()->SetValue("a@b.c");
            wxTEST_DIALOG(uitest::ClickOn(panel->GetSendButton()), ExpectMessage(kEmailSent, "Calvoro", &messages));
        });
    ASSERT_EQ(1u, master_->Requests().size());
    EXPECT_EQ("/server/send_manual_connect_email?ip=&port=8683&email=a@b.c", master_->Requests()[0].target);
}

TEST_F(SupportPanels, UnreachableMasterLeavesTheAssistantOpenWithTheInput) {
    REQUIRE_ISOLATED_NETWORK();
    Unreachable();
    int errors = 0;
    const bool closed = RunDialog<AssistantAt>(
        "Connection Assistant", [&](wxWindow* parent) { return new AssistantAt(parent, state_.get(), "192.168.1.20"); },
        [&](GenericDialogBase* dialog, AssistantAt* panel) {
            Choose(panel->GetAppChoice(), 2);
            panel->GetEmailText()->SetValue("me@example.com");
            wxTEST_DIALOG(
                {
                    uitest::ClickOn(panel->GetSendButton());
                    PumpUntil([&] { return errors > 0; });
                },
                ExpectMessage("OpenConnection failed", "Calvoro Error", &errors));
            EXPECT_TRUE(dialog->IsModal());
            EXPECT_EQ("me@example.com", Text(panel->GetEmailText()));
            EXPECT_EQ("ostrevan://connect/192.168.1.20:8683", Text(panel->GetUrlText()));
            // The button was off during the call and is on again for another try.
            EXPECT_TRUE(PumpUntil([&] { return panel->GetSendButton()->IsEnabled(); }));
        });
    EXPECT_FALSE(closed);
    EXPECT_EQ(1, errors);
}

TEST_F(SupportPanels, ReportGoesToTheMasterAndTheDialogCloses) {
    REQUIRE_ISOLATED_NETWORK();
    Serve([](const MasterRequest&) { return MasterReply::Ok(""); });
    const bool closed = RunDialog<ReportIssuePnl>(
        "Send Report", [&](wxWindow* parent) { return new ReportIssuePnl(parent, state_.get()); },
        [&](GenericDialogBase* dialog, ReportIssuePnl* panel) {
            EXPECT_GE(dialog->GetClientSize().x, panel->GetBestSize().x);
            EXPECT_GE(dialog->GetClientSize().y, panel->GetBestSize().y);
            panel->GetDescriptionText()->SetValue("Playback stops after a minute");
            panel->GetEmailText()->SetValue("ann@example.com");
            Pump(200ms);
            Screenshot("Send Report", "send-report");
            uitest::ClickOn(panel->GetSendReportButton());  // no message box follows
        });
    EXPECT_TRUE(closed);
    ASSERT_EQ(1u, master_->Requests().size());
    const MasterRequest request = master_->Requests()[0];
    EXPECT_EQ("/server/issue/", request.target);
    const ReportBody parts = BuildReportBody("Playback stops after a minute", "ann@example.com");
    EXPECT_EQ(0u, request.body.find(parts.p1 + parts.p2 + parts.p3)) << request.head << "\n" << request.body.substr(0, 400);
    EXPECT_EQ(request.body.size(), std::stoull(request.Header("Content-Length")));
}

TEST_F(SupportPanels, UnreachableMasterLeavesTheReportOpenWithTheInput) {
    REQUIRE_ISOLATED_NETWORK();
    Unreachable();
    int errors = 0;
    const bool closed = RunDialog<ReportIssuePnl>(
        "Send Report", [&](wxWindow* parent) { return new ReportIssuePnl(parent, state_.get()); },
        [&](GenericDialogBase* dialog, ReportIssuePnl* panel) {
            panel->GetDescriptionText()->SetValue("It crashed");
            panel->GetEmailText()->SetValue("ann@example.com");
            wxTEST_DIALOG(
                {
                    uitest::ClickOn(panel->GetSendReportButton());
                    PumpUntil([&] { return errors > 0; });
                },
                ExpectMessage("OpenConnection failed", "Calvoro Error", &errors));
            EXPECT_TRUE(dialog->IsModal());
            EXPECT_EQ("It crashed", Text(panel->GetDescriptionText()));
            EXPECT_EQ("ann@example.com", Text(panel->GetEmailText()));
            EXPECT_TRUE(PumpUntil([&] { return panel->GetSendReportButton()->IsEnabled(); }));
        });
    EXPECT_FALSE(closed);
    EXPECT_EQ(1, errors);
}

// A master server that never stops sending (trailer lines after the reply, or interim replies) holds
// neither panel: the click fails at the client's caps at once, with the failure shown and the input kept.
TEST_F(SupportPanels, AMasterThatNeverStopsSendingFreezesNeitherPanel) {
    REQUIRE_ISOLATED_NETWORK();
    struct Case {
        std::string name;
        bool report;
        std::string bytes, repeat, failure;
    };
    const std::string trailers = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nKEY\r\n0\r\n";
    const std::vector<Case> cases = {
        {"assistant, trailers", false, trailers, "X-T: v\r\n", "Error trying to get 'server code'"},
        {"assistant, interim replies", false, "", "HTTP/1.1 100 Continue\r\n\r\n", "Error getting HTTP headers"},
        {"report, interim replies", true, "", "HTTP/1.1 100 Continue\r\n\r\n", "Error getting HTTP headers"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        // The last case's address goes back first, so that it cannot put itself back over this one's.
        address_.reset();
        master_.reset();
        Serve([item](const MasterRequest&) { return MasterReply::Flood(item.bytes, item.repeat); });
        int errors = 0;
        double seconds = -1;
        const auto click = [&](GenericDialogBase* dialog, wxButton* send, wxTextCtrl* email) {
            email->SetValue("me@example.com");
            const auto start = std::chrono::steady_clock::now();
            wxTEST_DIALOG(
                {
                    uitest::ClickOn(send);
                    PumpUntil([&] { return errors > 0; }, 30s);
                },
                ExpectMessage(item.failure, "Calvoro Error", &errors));
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            EXPECT_TRUE(dialog->IsModal());
            EXPECT_EQ("me@example.com", Text(email));
            EXPECT_TRUE(PumpUntil([&] { return send->IsEnabled(); }));
        };
        const bool closed =
            item.report
                ? RunDialog<ReportIssuePnl>(
                      "Send Report", [&](wxWindow* parent) { return new ReportIssuePnl(parent, state_.get()); },
                      [&](GenericDialogBase* dialog, ReportIssuePnl* panel) {
                          click(dialog, panel->GetSendReportButton(), panel->GetEmailText());
                      })
                : RunDialog<AssistantAt>(
                      "Connection Assistant",
                      [&](wxWindow* parent) { return new AssistantAt(parent, state_.get(), "192.168.1.20"); },
                      [&](GenericDialogBase* dialog, AssistantAt* panel) {
                          click(dialog, panel->GetSendButton(), panel->GetEmailText());
                      });
        EXPECT_FALSE(closed);
        EXPECT_EQ(1, errors);
        ASSERT_EQ(1u, master_->Requests().size());
        // The caps are reached in milliseconds; 5 s is the wait for a reply head.
        EXPECT_GE(seconds, 0.0);
        EXPECT_LT(seconds, 5.0);
        EXPECT_LT(master_->FloodedBytes(), 64ull << 20);
    }
}

// The dialog a Support button opens, answered at once; check sees it before it goes.
class ExpectSupportDialog : public wxExpectModalBase<GenericDialogBase, ExpectSupportDialog> {
public:
    ExpectSupportDialog(const std::string& title, std::function<void(GenericDialogBase*)> check)
        : title_(title), check_(std::move(check)) {}

protected:
    int OnInvoked(GenericDialogBase* dialog) const override {
        EXPECT_EQ(title_, dialog->GetTitle().ToStdString(wxConvUTF8));
        check_(dialog);
        return wxID_CANCEL;
    }
    wxString GetDefaultDescription() const override { return "the dialog \"" + title_ + "\""; }

private:
    std::string title_;
    std::function<void(GenericDialogBase*)> check_;
};

template <class Panel>
Panel* PanelIn(wxWindow* dialog) {
    for (wxWindow* child : dialog->GetChildren()) {
        if (Panel* panel = dynamic_cast<Panel*>(child)) return panel;
    }
    return nullptr;
}

TEST_F(SupportPanels, TheSupportPageOpensEachPanelInItsOwnDialog) {
    state_->SetHttpPort(9123);
    GenericDialogBase preferences(nullptr, wxID_ANY, "Calvoro Preferences");
    PreferencesPnl* panel = new PreferencesPnl(&preferences, state_.get());
    preferences.bSizer->Add(panel, 1, 0, 0);
    preferences.Fit();
    wxTEST_DIALOG(uitest::PressButton(panel->GetConnectionAssistantButton()),
                  ExpectSupportDialog("Connection Assistant", [](GenericDialogBase* dialog) {
                      ConnectionAssPnl* assistant = PanelIn<ConnectionAssPnl>(dialog);
                      ASSERT_NE(nullptr, assistant);
                      EXPECT_GE(dialog->GetClientSize().x, assistant->GetBestSize().x);
                      // The panel reads the preferences' store: its port is in the URL.
                      Choose(assistant->GetAppChoice(), 1);
                      EXPECT_NE(std::string::npos, Text(assistant->GetUrlText()).find(":9123"));
                  }));
    wxTEST_DIALOG(uitest::PressButton(panel->GetSendReportButton()), ExpectSupportDialog("Send Report", [](GenericDialogBase* dialog) {
                      ReportIssuePnl* report = PanelIn<ReportIssuePnl>(dialog);
                      ASSERT_NE(nullptr, report);
                      EXPECT_GE(dialog->GetClientSize().y, report->GetBestSize().y);
                  }));
}

}  // namespace
