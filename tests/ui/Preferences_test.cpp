// The preferences dialog: its pages and the values they load, the sliders' snapping, every preference
// applied on close and saved, the restart notice, refused ports, a cache folder that cannot be made,
// the autostart entry, the worker's two requests, and a quit while the dialog is open.
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <vector>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/image.h>
#include <wx/notebook.h>
#include <wx/slider.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>

#include "UiTestSupport.h"
#include "support/TrayWindowManager.h"
#include "kivlib/kiv_text.h"
#include "platform/Autostart.h"
#include "platform/ProgramFolder.h"
#include "ui/CalvoroForm.h"
#include "ui/GenericDialogBase.h"
#include "ui/PreferencesPnl.h"
#include "ui/TaskBarIcon.h"
#include "ui/UiCommon.h"
#include "ui/WorkerRequests.h"

namespace {

using testsupport::ScopedEnv;
using namespace std::chrono_literals;
using uitest::Pump;
using uitest::PumpUntil;

const char kRestart[] = "The server must be restarted to apply any changes.";
enum Page { General = 0, Performance = 1, Advanced = 2, Support = 3 };

class CountingWorker : public IWorkerRequests {
public:
    void RequestExternalAccessCheck() override { ++checks; }
    void RedoPortMapping() override { ++mappings; }
    int checks = 0;
    int mappings = 0;
};

// What a person's click or drag makes the toolkit send, for a dialog that wxTEST_DIALOG does not show.
void Toggle(wxCheckBox* box) {
    box->SetValue(!box->GetValue());
    wxCommandEvent event(wxEVT_CHECKBOX, box->GetId());
    event.SetInt(box->GetValue() ? 1 : 0);
    event.SetEventObject(box);
    box->GetEventHandler()->ProcessEvent(event);
}

void Drag(wxSlider* slider, int value) {
    slider->SetValue(value);
    wxScrollEvent event(wxEVT_SCROLL_THUMBTRACK, slider->GetId(), value, wxHORIZONTAL);
    event.SetEventObject(slider);
    slider->GetEventHandler()->ProcessEvent(event);
}

std::string Text(const wxString& text) { return text.ToStdString(wxConvUTF8); }

// The preferences dialog as wxTEST_DIALOG meets it: the user's changes are made on its panel, then it
// is closed.
class ExpectPreferences : public wxExpectModalBase<GenericDialogBase, ExpectPreferences> {
public:
    explicit ExpectPreferences(std::function<void(PreferencesPnl*)> change) : change_(std::move(change)) {}

protected:
    int OnInvoked(GenericDialogBase* dialog) const override {
        EXPECT_EQ("Calvoro Preferences", Text(dialog->GetTitle()));
        change_(CalvoroForm::GetInstance()->GetPreferencesPanel());
        return wxID_CANCEL;
    }
    wxString GetDefaultDescription() const override { return "the preferences dialog"; }

private:
    std::function<void(PreferencesPnl*)> change_;
};

wxExpectModal<wxGenericMessageDialog> Says(const std::string& text) {
    return wxExpectModal<wxGenericMessageDialog>(wxID_OK, wxString::FromUTF8(text));
}

class Preferences : public uitest::WindowTest {
protected:
    void SetUp() override {
        uitest::WindowTest::SetUp();
        PreferencesPnl::SetFolderChooser(nullptr);
    }
    void TearDown() override {
        PreferencesPnl::SetFolderChooser(nullptr);
        uitest::WindowTest::TearDown();
    }

    CalvoroForm* Open() {
        CalvoroForm* window = OpenWindow();
        window->SetWorkerRequests(&worker_);
        return window;
    }

    // Asks for the preferences as the icon's menu does.
    void ShowPreferences() {
        CalvoroForm::PostShowPreferences(window_);
        // Runs the handler now; it returns once the dialog has closed and been applied.
        window_->GetEventHandler()->ProcessPendingEvents();
        ASSERT_NE(nullptr, window_->GetPreferencesDialog());
        EXPECT_FALSE(window_->GetPreferencesDialog()->IsModal());
    }

    // Shows the dialog for real and runs action from inside its modal loop once it is on screen; the
    // action closes it.
    void ShowAndDo(std::function<void(GenericDialogBase*, PreferencesPnl*)> action) {
        uitest::WhenModalDialog([this, action](wxDialog*) {
            GenericDialogBase* dialog = window_->GetPreferencesDialog();
            PumpUntil([dialog] { return dialog->IsShownOnScreen(); });
            Pump(200ms);
            action(dialog, window_->GetPreferencesPanel());
        });
        ShowPreferences();
    }

    // The store as the next start loads it.
    boost::shared_ptr<State> Stored() {
        boost::shared_ptr<State> stored = State::GetInstance(data_.wpath());
        EXPECT_TRUE(stored->Load());
        return stored;
    }

    // Writes the page's pixels to screenshots/NAME.png; every text and button is whole.
    void Screenshot(GenericDialogBase* dialog, const std::string& name) {
        Pump(300ms);
        EXPECT_EQ(dialog->GetClientSize(), uitest::Screenshot("^Calvoro Preferences$", name));
        uitest::ExpectControlsWhole(dialog);
    }

    CountingWorker worker_;
};

TEST_F(Preferences, OpensOnSupportWithTheStoresValuesOnEveryPage) {
    const std::wstring cache = media_.wpath() + L"/Calvoro Cache";
    state_->SetSDCorePercent(30);
    state_->SetHDCorePercent(0);
    state_->SetCCorePercent(100);
    state_->SetExternalAccess(true);
    state_->SetHttpPort(9000);
    state_->SetUpnpEnabled(false);
    state_->SetCacheFolder(cache);
    state_->SetShowAllConversions(true);
    Open();
    ShowAndDo([&](GenericDialogBase* dialog, PreferencesPnl* panel) {
        EXPECT_EQ("Calvoro Preferences", Text(dialog->GetTitle()));
        EXPECT_EQ(nullptr, dialog->GetParent());
        wxNotebook* pages = panel->GetNotebook();
        ASSERT_EQ(4u, pages->GetPageCount());
        EXPECT_EQ(Support, pages->GetSelection());
        const char* names[] = {"General", "Performance", "Advanced", "Support"};
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(names[i], Text(pages->GetPageText(i)));
        // The dialog holds the whole panel.
        EXPECT_GE(dialog->GetClientSize().x, 500);
        EXPECT_GE(dialog->GetClientSize().y, 380);
        EXPECT_EQ(wxColour(0, 19, 255), panel->GetWebText()->GetForegroundColour());
        EXPECT_EQ("Connection Assistant", Text(panel->GetConnectionAssistantButton()->GetLabel()));
        EXPECT_EQ("Send Report", Text(panel->GetSendReportButton()->GetLabel()));
        Screenshot(dialog, "preferences-support");

        EXPECT_FALSE(panel->GetStartAtLoginBox()->GetValue());
        EXPECT_TRUE(panel->GetInternetAccessBox()->GetValue());
        pages->SetSelection(General);
        Screenshot(dialog, "preferences-general");

        // The caption is replaced at load (and wrapped to the page).
        wxString caption = panel->GetPerformanceCaption()->GetLabel();
        caption.Replace("\n", " ");
        EXPECT_EQ("Adjust what percentage of your computer resources you would prefer to use.", Text(caption));
        const int values[] = {30, 0, 100};
        const char* labels[] = {"30%", "Low", "100%"};
        for (int i = 0; i < PreferencesPnl::SliderCount; ++i) {
            // Shown as stored, not snapped.
            EXPECT_EQ(0, panel->GetSlider(i)->GetMin());
            EXPECT_EQ(100, panel->GetSlider(i)->GetMax());
            EXPECT_EQ(25, panel->GetSlider(i)->GetLineSize());
            EXPECT_EQ(25, panel->GetSlider(i)->GetPageSize());
            EXPECT_EQ(values[i], panel->GetSlider(i)->GetValue()) << i;
            EXPECT_EQ(labels[i], Text(panel->GetSliderLabel(i)->GetLabel())) << i;
        }
        pages->SetSelection(Performance);
        Screenshot(dialog, "preferences-performance");

        EXPECT_TRUE(panel->GetCustomPortBox()->GetValue());
        EXPECT_EQ("9000", Text(panel->GetPortField()->GetValue()));
        EXPECT_TRUE(panel->GetPortField()->IsEnabled());
        EXPECT_FALSE(panel->GetMapPortBox()->GetValue());
        EXPECT_TRUE(panel->GetCustomPathBox()->GetValue());
        EXPECT_TRUE(panel->GetSelectButton()->IsEnabled());
        EXPECT_EQ(kivm::str_conv(cache), Text(panel->GetPathLabel()->GetLabel()));
        EXPECT_TRUE(panel->GetShowAllConversionsBox()->GetValue());
        pages->SetSelection(Advanced);
        Screenshot(dialog, "preferences-advanced");

        // A second request while the dialog is open only brings it to the front.
        CalvoroForm::PostShowPreferences(window_);
        Pump(300ms);
        EXPECT_TRUE(dialog->IsModal());
        dialog->Close();
    });
    // Nothing changed: no notice (wxTEST_DIALOG is not watching, so one would stay open and the
    // handler would not have returned), and the store was saved.
    EXPECT_EQ(0, worker_.checks);
    EXPECT_EQ(0, worker_.mappings);
    boost::shared_ptr<State> stored = Stored();
    EXPECT_EQ(30u, stored->GetSDCorePercent());
    EXPECT_EQ(0u, stored->GetHDCorePercent());
    EXPECT_EQ(9000u, stored->GetHttpPort());
    EXPECT_EQ(cache, stored->GetCacheFolder());
}

TEST_F(Preferences, ASliderRestsOnTheNearestStepAndArrowKeysMoveAWholeStep) {
    Open();
    ShowAndDo([&](GenericDialogBase* dialog, PreferencesPnl* panel) {
        panel->GetNotebook()->SetSelection(Performance);
        Pump(100ms);
        const struct {
            int dragged;
            int rest;
            const char* label;
        } table[] = {{0, 0, "Low"},   {9, 0, "Low"},   {10, 25, "25%"}, {36, 25, "25%"},  {37, 50, "50%"},
                     {61, 50, "50%"}, {62, 75, "75%"}, {86, 75, "75%"}, {87, 100, "100%"}, {100, 100, "100%"}};
        for (int i = 0; i < PreferencesPnl::SliderCount; ++i) {
            for (const auto& row : table) {
                Drag(panel->GetSlider(i), row.dragged);
                EXPECT_EQ(row.rest, panel->GetSlider(i)->GetValue()) << i << " " << row.dragged;
                EXPECT_EQ(row.label, Text(panel->GetSliderLabel(i)->GetLabel())) << i << " " << row.dragged;
            }
        }
        // The keyboard, as a person uses it.
        wxSlider* hd = panel->GetSlider(1);
        Drag(hd, 50);
        const std::string focus =
            "timeout 30 xdotool windowfocus --sync \"$(xdotool search --onlyvisible --name '^Calvoro Preferences$' | head -1)\"";
        EXPECT_EQ(0, system(focus.c_str())) << focus;
        hd->SetFocus();
        EXPECT_TRUE(PumpUntil([hd] { return hd->HasFocus(); }));
        wxUIActionSimulator().Char(WXK_RIGHT);
        EXPECT_TRUE(PumpUntil([hd] { return hd->GetValue() == 75; })) << hd->GetValue();
        EXPECT_EQ("75%", Text(panel->GetSliderLabel(1)->GetLabel()));
        dialog->Close();
    });
    boost::shared_ptr<State> stored = Stored();
    EXPECT_EQ(100u, stored->GetSDCorePercent());
    EXPECT_EQ(75u, stored->GetHDCorePercent());
    EXPECT_EQ(100u, stored->GetCCorePercent());
}

TEST_F(Preferences, RealClicksOnTheAdvancedPage) {
    state_->SetHttpPort(9000);
    Open();
    ShowAndDo([&](GenericDialogBase* dialog, PreferencesPnl* panel) {
        panel->GetNotebook()->SetSelection(Advanced);
        Pump(200ms);
        // Unticking the custom port puts the default back into the field and disables it.
        uitest::ClickOn(panel->GetCustomPortBox(), wxPoint(8, panel->GetCustomPortBox()->GetSize().y / 2));
        ASSERT_TRUE(PumpUntil([panel] { return !panel->GetCustomPortBox()->GetValue(); }));
        EXPECT_EQ("8683", Text(panel->GetPortField()->GetValue()));
        EXPECT_FALSE(panel->GetPortField()->IsEnabled());
        // Ticking "Custom Path" enables "Select"; the label keeps its text.
        const std::string label = Text(panel->GetPathLabel()->GetLabel());
        uitest::ClickOn(panel->GetCustomPathBox(), wxPoint(8, panel->GetCustomPathBox()->GetSize().y / 2));
        ASSERT_TRUE(PumpUntil([panel] { return panel->GetSelectButton()->IsEnabled(); }));
        EXPECT_EQ(label, Text(panel->GetPathLabel()->GetLabel()));
        // "Show conversions on all devices" takes effect at once, before the dialog closes.
        uitest::ClickOn(panel->GetShowAllConversionsBox(),
                        wxPoint(8, panel->GetShowAllConversionsBox()->GetSize().y / 2));
        EXPECT_TRUE(PumpUntil([this] { return state_->GetShowAllConversions(); }));
        // Custom Path ticked again, no folder chosen: nothing to apply there. Back to the default port
        // does need a restart; the notice is answered from its own loop.
        uitest::ClickOn(panel->GetCustomPathBox(), wxPoint(8, panel->GetCustomPathBox()->GetSize().y / 2));
        uitest::WhenModalDialog([](wxDialog* notice) {
            auto* message = dynamic_cast<wxGenericMessageDialog*>(notice);
            ASSERT_NE(nullptr, message);
            EXPECT_EQ(kRestart, Text(message->GetMessage()));
            notice->EndModal(wxID_OK);
        });
        dialog->Close();
    });
    EXPECT_TRUE(Stored()->IsDefaultHttpPort());
    EXPECT_TRUE(Stored()->GetShowAllConversions());
    EXPECT_TRUE(Stored()->IsDefaultCacheFolder());
}

TEST_F(Preferences, EveryPreferenceIsAppliedOnCloseAndSaved) {
    testsupport::TempDir config;
    const ScopedEnv configHome("XDG_CONFIG_HOME", (config.path() + "/config home").c_str());
    const std::wstring chosen = media_.wpath() + L"/new cache";
    PreferencesPnl::SetFolderChooser([&](wxWindow*, std::wstring& path) {
        path = chosen;
        return true;
    });
    Open();
    ASSERT_TRUE(state_->GetUpnpEnabled());
    wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([&](PreferencesPnl* panel) {
                      Toggle(panel->GetStartAtLoginBox());
                      Toggle(panel->GetInternetAccessBox());
                      Drag(panel->GetSlider(0), 80);
                      Drag(panel->GetSlider(1), 20);
                      Drag(panel->GetSlider(2), 5);
                      Toggle(panel->GetCustomPortBox());
                      EXPECT_TRUE(panel->GetPortField()->IsEnabled());
                      panel->GetPortField()->SetValue("9100");
                      Toggle(panel->GetMapPortBox());
                      Toggle(panel->GetCustomPathBox());
                      uitest::PressButton(panel->GetSelectButton());
                      EXPECT_EQ(kivm::str_conv(chosen), Text(panel->GetPathLabel()->GetLabel()));
                      // Chosen, not yet applied.
                      EXPECT_TRUE(state_->IsDefaultCacheFolder());
                      Toggle(panel->GetShowAllConversionsBox());
                  }),
                  Says(kRestart));
    boost::shared_ptr<State> stored = Stored();
    EXPECT_TRUE(stored->GetStartAtLogin());
    EXPECT_TRUE(stored->GetExternalAccess());
    EXPECT_EQ(75u, stored->GetSDCorePercent());
    EXPECT_EQ(25u, stored->GetHDCorePercent());
    EXPECT_EQ(0u, stored->GetCCorePercent());
    EXPECT_EQ(9100u, stored->GetHttpPort());
    EXPECT_FALSE(stored->GetUpnpEnabled());
    EXPECT_EQ(chosen, stored->GetCacheFolder());
    EXPECT_TRUE(std::filesystem::is_directory(kivm::str_conv(chosen)));
    EXPECT_TRUE(stored->GetShowAllConversions());
    // The side effects: the autostart entry, and one contact asked of the worker (mapping was switched
    // off, so no new mapping).
    EXPECT_TRUE(std::filesystem::exists(config.path() + "/config home/autostart/calvoro.desktop"));
    EXPECT_EQ(1, worker_.checks);
    EXPECT_EQ(0, worker_.mappings);
}

TEST_F(Preferences, ThePortTakesEffectAtTheNextStartAndTheUserIsToldSo) {
    Open();
    // Ticked, 9000 typed: the port is 9000, a restart is needed.
    wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([](PreferencesPnl* panel) {
                      Toggle(panel->GetCustomPortBox());
                      panel->GetPortField()->SetValue("9000");
                  }),
                  Says(kRestart));
    EXPECT_EQ(9000u, Stored()->GetHttpPort());
    // Opened again and unticked: the field shows 8683, the port goes back, the notice again.
    wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([](PreferencesPnl* panel) {
                      EXPECT_TRUE(panel->GetCustomPortBox()->GetValue());
                      Toggle(panel->GetCustomPortBox());
                      EXPECT_EQ("8683", Text(panel->GetPortField()->GetValue()));
                  }),
                  Says(kRestart));
    EXPECT_EQ(8683u, Stored()->GetHttpPort());
    // The same port typed again changes nothing: no notice (any dialog not expected fails the test).
    wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([](PreferencesPnl* panel) {
                      Toggle(panel->GetCustomPortBox());
                      panel->GetPortField()->SetValue("08683");
                  }));
    EXPECT_EQ(8683u, Stored()->GetHttpPort());
}

TEST_F(Preferences, APortThatIsNoNumberFrom1To65535IsRefusedAndTheOldOneStays) {
    state_->SetHttpPort(9000);
    Open();
    for (const std::string typed : {"0", "70000", "65536", "abc", "80a", "", "-1"}) {
        wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([&](PreferencesPnl* panel) {
                          panel->GetPortField()->SetValue(wxString::FromUTF8(typed));
                      }),
                      Says("The port \"" + typed + "\" is not a number from 1 to 65535; the server keeps port 9000."));
        PreferencesPnl* panel = window_->GetPreferencesPanel();
        EXPECT_EQ("9000", Text(panel->GetPortField()->GetValue())) << typed;
        EXPECT_TRUE(panel->GetCustomPortBox()->GetValue()) << typed;
        EXPECT_EQ(9000u, Stored()->GetHttpPort()) << typed;
    }
    // The bounds themselves are ports.
    for (const uint32_t port : {1u, 65535u}) {
        wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([port](PreferencesPnl* panel) {
                          panel->GetPortField()->SetValue(std::to_string(port));
                      }),
                      Says(kRestart));
        EXPECT_EQ(port, Stored()->GetHttpPort());
    }
    // With a new port waiting for the restart, the message names both: the one in use now, and the next.
    wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([](PreferencesPnl* panel) {
                      panel->GetPortField()->SetValue("x");
                  }),
                  Says("The port \"x\" is not a number from 1 to 65535; the server listens on port 9000 until it is "
                       "restarted, then on port 65535."));
}

TEST_F(Preferences, ACacheFolderThatCannotBeMadeIsReportedAndTheRestStillApplies) {
    const std::wstring before = state_->GetCacheFolder();
    testsupport::WriteFile(media_.path() + "/a file", "not a folder");
    const std::wstring impossible = media_.wpath() + L"/a file/cache";
    PreferencesPnl::SetFolderChooser([&](wxWindow*, std::wstring& path) {
        path = impossible;
        return true;
    });
    Open();
    wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([&](PreferencesPnl* panel) {
                      Drag(panel->GetSlider(0), 90);
                      Toggle(panel->GetCustomPortBox());
                      panel->GetPortField()->SetValue("9200");
                      Toggle(panel->GetCustomPathBox());
                      uitest::PressButton(panel->GetSelectButton());
                  }),
                  Says("Unable to create desired cache folder: " + kivm::str_conv(impossible)), Says(kRestart));
    boost::shared_ptr<State> stored = Stored();
    EXPECT_EQ(before, stored->GetCacheFolder());
    EXPECT_EQ(100u, stored->GetSDCorePercent());
    EXPECT_EQ(9200u, stored->GetHttpPort());
    // The old folder shows again, as the store has it.
    PreferencesPnl* panel = window_->GetPreferencesPanel();
    EXPECT_EQ(kivm::str_conv(before), Text(panel->GetPathLabel()->GetLabel()));
    EXPECT_FALSE(panel->GetCustomPathBox()->GetValue());
}

TEST_F(Preferences, UntickingCustomPathReturnsToTheDefaultCacheFolder) {
    const std::wstring custom = media_.wpath() + L"/custom";
    state_->SetCacheFolder(custom);
    Open();
    wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([](PreferencesPnl* panel) {
                      EXPECT_TRUE(panel->GetCustomPathBox()->GetValue());
                      Toggle(panel->GetCustomPathBox());
                      EXPECT_FALSE(panel->GetSelectButton()->IsEnabled());
                  }));
    EXPECT_TRUE(Stored()->IsDefaultCacheFolder());
    EXPECT_EQ(kivm::str_conv(state_->GetCacheFolder()),
              Text(window_->GetPreferencesPanel()->GetPathLabel()->GetLabel()));
}

TEST_F(Preferences, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    testsupport::TempDir config;
    const std::string home = config.path() + "/config home";
    const ScopedEnv configHome("XDG_CONFIG_HOME", home.c_str());
    const std::string entry = home + "/autostart/calvoro.desktop";
    Open();
    wxTEST_DIALOG(ShowPreferences(),
                  ExpectPreferences([](PreferencesPnl* panel) { Toggle(panel->GetStartAtLoginBox()); }));
    ASSERT_TRUE(std::filesystem::exists(entry));
    const std::string text = testsupport::ReadFile(entry);
    EXPECT_NE(std::string::npos, text.find("\nExec=" + Autostart::QuoteExecArgument(ProgramPath()) + "\n")) << text;
    const std::string validate = "desktop-file-validate '" + entry + "' 2>&1";
    EXPECT_EQ(0, system(validate.c_str())) << validate;
    EXPECT_TRUE(Stored()->GetStartAtLogin());

    wxTEST_DIALOG(ShowPreferences(),
                  ExpectPreferences([](PreferencesPnl* panel) { Toggle(panel->GetStartAtLoginBox()); }));
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_FALSE(Stored()->GetStartAtLogin());
}

TEST_F(Preferences, AnAutostartEntryThatCannotBeWrittenIsReportedAndNotClaimed) {
    testsupport::TempDir config;
    // The configuration folder is a file: nothing can be made under it.
    testsupport::WriteFile(config.path() + "/blocked", "");
    const ScopedEnv configHome("XDG_CONFIG_HOME", (config.path() + "/blocked").c_str());
    Open();
    wxTEST_DIALOG(ShowPreferences(),
                  ExpectPreferences([](PreferencesPnl* panel) { Toggle(panel->GetStartAtLoginBox()); }),
                  Says("Start at login: could not make the folder " + config.path() +
                       "/blocked/autostart: Not a directory"));
    EXPECT_FALSE(Stored()->GetStartAtLogin());
    EXPECT_FALSE(window_->GetPreferencesPanel()->GetStartAtLoginBox()->GetValue());
    const std::string log = std::string(getenv("XDG_DATA_HOME")) + "/Calvoro/CalvoroLog.txt";
    EXPECT_NE(std::string::npos, testsupport::ReadFile(log).find("could not make the folder " + config.path()));
}

TEST_F(Preferences, TheWorkerIsAskedExactlyWhenTheSwitchesSayIt) {
    const struct {
        bool accessBefore;
        bool toggleAccess;
        bool mappingBefore;
        bool toggleMapping;
        int checks;
        int mappings;
    } table[] = {
        {false, true, true, false, 1, 0},   // access switched on: a contact
        {true, true, true, false, 1, 0},    // and off: a contact, which tells the master server so
        {false, false, true, false, 0, 0},  // nothing switched: nothing asked
        {true, false, false, true, 0, 1},   // mapping switched on: map again
        {true, false, true, true, 0, 0},    // mapping switched off: nothing to map
    };
    for (const auto& row : table) {
        state_->SetExternalAccess(row.accessBefore);
        state_->SetUpnpEnabled(row.mappingBefore);
        worker_ = CountingWorker();
        Open();
        wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([&](PreferencesPnl* panel) {
                          if (row.toggleAccess) Toggle(panel->GetInternetAccessBox());
                          if (row.toggleMapping) Toggle(panel->GetMapPortBox());
                      }));
        EXPECT_EQ(row.checks, worker_.checks) << row.accessBefore << row.mappingBefore;
        EXPECT_EQ(row.mappings, worker_.mappings) << row.accessBefore << row.mappingBefore;
        EXPECT_EQ(row.accessBefore != row.toggleAccess, Stored()->GetExternalAccess());
        EXPECT_EQ(row.mappingBefore != row.toggleMapping, Stored()->GetUpnpEnabled());
        uitest::DestroyWindow();
    }
}

TEST_F(Preferences, WithNoWorkerTheSwitchesStillApply) {
    OpenWindow();
    wxTEST_DIALOG(ShowPreferences(), ExpectPreferences([](PreferencesPnl* panel) {
                      Toggle(panel->GetInternetAccessBox());
                      Toggle(panel->GetMapPortBox());
                      Toggle(panel->GetMapPortBox());
                  }));
    EXPECT_TRUE(Stored()->GetExternalAccess());
}

TEST_F(Preferences, FromTheIconsMenuTheWindowShowsFirst) {
    Open();
    window_->SetNotificationIcon(std::make_unique<TaskBarIcon>(window_));
    window_->Show(false);
    Pump(100ms);
    bool shownFirst = false;
    wxTEST_DIALOG(
        {
            wxCommandEvent choose(wxEVT_MENU, TaskBarIcon::IdPreferences);
            window_->GetEventHandler()->ProcessEvent(choose);
            ASSERT_TRUE(PumpUntil([this] { return window_->GetPreferencesDialog() != nullptr; }));
            Pump(100ms);
        },
        ExpectPreferences([&](PreferencesPnl*) { shownFirst = window_->IsShown(); }));
    EXPECT_TRUE(shownFirst);
}

// A start hidden in a desktop's tray, the preferences chosen from the icon's menu before any window of
// the program was on screen: every text and button is as tall as it asks, on each page.
TEST_F(Preferences, FromTheIconsMenuAtAHiddenStartEveryPageIsWhole) {
    testsupport::TrayWindowManager windowManager(getenv("DISPLAY"));
    ASSERT_TRUE(windowManager.WaitUntilReady());
    window_ = new CalvoroForm(state_.get(), events_.get(), nullptr);
    window_->SetWorkerRequests(&worker_);
    auto owned = std::make_unique<TaskBarIcon>(window_);
    TaskBarIcon* icon = owned.get();
    window_->SetNotificationIcon(std::move(owned));
    ASSERT_TRUE(window_->HasNotificationIcon());
    bool checked = false;
    uitest::WhenModalDialog([&](wxDialog*) {
        GenericDialogBase* dialog = window_->GetPreferencesDialog();
        PumpUntil([dialog] { return dialog->IsShownOnScreen(); });
        Pump(200ms);
        wxNotebook* pages = window_->GetPreferencesPanel()->GetNotebook();
        for (size_t page = 0; page < pages->GetPageCount(); ++page) {
            pages->SetSelection(page);
            Pump(100ms);
            SCOPED_TRACE(pages->GetPageText(page).ToStdString());
            uitest::ExpectControlsWhole(dialog);
        }
        pages->SetSelection(pages->GetPageCount() - 1);
        Screenshot(dialog, "preferences-hidden-start");
        checked = true;
        dialog->EndModal(wxID_CANCEL);
    });
    wxCommandEvent choose(wxEVT_MENU, TaskBarIcon::IdPreferences);
    icon->ProcessEvent(choose);
    EXPECT_TRUE(PumpUntil([&] { return checked && !window_->GetPreferencesDialog()->IsModal(); }, 20s));
}

// Hidden in a desktop's tray at first, then with the window shown: the dialog and its port field come
// up the same size at every opening (the field once grew at each one).
TEST_F(Preferences, TheSameSizeAtEveryOpeningWhetherTheWindowWasShownOrNot) {
    testsupport::TrayWindowManager windowManager(getenv("DISPLAY"));
    ASSERT_TRUE(windowManager.WaitUntilReady());
    window_ = new CalvoroForm(state_.get(), events_.get(), nullptr);
    std::vector<std::string> dialogs, clients, fields;
    const auto dims = [](const wxSize& size) { return std::to_string(size.x) + "x" + std::to_string(size.y); };
    for (int opening = 0; opening < 3; ++opening) {
        if (opening == 1) {
            window_->Show(true);
            ASSERT_TRUE(PumpUntil([this] { return window_->IsShownOnScreen(); }));
        }
        ShowAndDo([&](GenericDialogBase* dialog, PreferencesPnl* panel) {
            panel->GetNotebook()->SetSelection(Advanced);
            Pump(200ms);
            dialogs.push_back(dims(dialog->GetSize()));
            clients.push_back(dims(dialog->GetClientSize()));
            fields.push_back(dims(panel->GetPortField()->GetSize()));
            Screenshot(dialog, "preferences-advanced-opening-" + std::to_string(opening + 1));
            dialog->Close();
        });
    }
    ASSERT_EQ(3u, dialogs.size());
    for (size_t i = 1; i < dialogs.size(); ++i) {
        EXPECT_EQ(dialogs[0], dialogs[i]) << "opening " << i + 1;
        EXPECT_EQ(clients[0], clients[i]) << "opening " << i + 1;
        EXPECT_EQ(fields[0], fields[i]) << "opening " << i + 1;
    }
}

TEST_F(Preferences, AQuitWhileTheyAreOpenAppliesThemAndEndsTheWindowWithoutAQuestion) {
    Open();
    uitest::WhenModalDialog([this](wxDialog*) {
        PreferencesPnl* panel = window_->GetPreferencesPanel();
        Drag(panel->GetSlider(2), 30);
        Toggle(panel->GetCustomPortBox());
        panel->GetPortField()->SetValue("9300");
        CalvoroForm::PostQuit(window_);
    });
    CalvoroForm::PostShowPreferences(window_);
    // A restart notice would hold the quit until answered.
    EXPECT_TRUE(PumpUntil([] { return CalvoroForm::GetInstance() == nullptr; }, 20s));
    boost::shared_ptr<State> stored = Stored();
    EXPECT_EQ(25u, stored->GetCCorePercent());
    EXPECT_EQ(9300u, stored->GetHttpPort());
}

}  // namespace
