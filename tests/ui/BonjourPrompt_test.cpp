// The DNS-SD prompt: its look, "OK" with and without the box, Enter, the close box, and a quit while
// it is open.
#include <stdlib.h>

#include <filesystem>
#include <regex>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/image.h>
#include <wx/uiaction.h>

#include "UiTestSupport.h"
#include "support/TrayWindowManager.h"
#include "core/Log.h"
#include "kivlib/kiv_text.h"
#include "ui/BonjourPromptPnl.h"
#include "ui/CalvoroForm.h"
#include "ui/GenericDialogBase.h"

namespace {

using namespace std::chrono_literals;
using uitest::Pump;
using uitest::PumpUntil;

// The prompt's X window (the main window's title only begins with the same word).
const std::string kFindPrompt = "xdotool search --onlyvisible --name '^Calvoro$' | head -1";

class BonjourPrompt : public uitest::WindowTest {
protected:
    // The stored preference as the next start reads it.
    bool StoredDoNotShow() {
        boost::shared_ptr<State> reloaded = State::GetInstance(data_.wpath());
        reloaded->Load();
        return reloaded->GetDoNotShowBonjourLink();
    }

    // Posts the prompt and runs action from inside its modal loop; true once the prompt has closed.
    bool Prompt(std::function<void(GenericDialogBase*, BonjourPromptPnl*)> action) {
        CalvoroForm* window = OpenWindow();
        bool returned = false;
        uitest::WhenModalDialog([&](wxDialog*) {
            // Waits until the dialog is on screen so clicks and keys reach it.
            PumpUntil([window] { return window->GetBonjourDialog()->IsShownOnScreen(); });
            Pump(200ms);
            action(window->GetBonjourDialog(), window->GetBonjourPanel());
        });
        CalvoroForm::PostBonjourPrompt(window);
        return PumpUntil([&] {
            returned = window->GetBonjourDialog() && !window->GetBonjourDialog()->IsModal();
            return returned;
        }, 20s);
    }
};

TEST_F(BonjourPrompt, OkWithTheBoxTickedStoresThePreferenceAtOnce) {
    ASSERT_TRUE(Prompt([this](GenericDialogBase* dialog, BonjourPromptPnl* panel) {
        EXPECT_EQ("Calvoro", dialog->GetTitle().ToStdString());
        EXPECT_EQ("dialog", dialog->GetName().ToStdString());
        EXPECT_FALSE(panel->GetDoNotShowBox()->GetValue());
        EXPECT_EQ(1001, panel->GetDoNotShowBox()->GetId());
        // The whole panel shows: the dialog is fitted to it.
        EXPECT_GE(dialog->GetClientSize().x, panel->GetBestSize().x);
        EXPECT_GE(dialog->GetClientSize().y, panel->GetBestSize().y);
        EXPECT_EQ(dialog->GetClientSize(), uitest::Screenshot("^Calvoro$", "dns-sd-prompt"));
        uitest::ExpectControlsWhole(dialog);
        uitest::ClickOn(panel->GetDoNotShowBox());
        EXPECT_TRUE(panel->GetDoNotShowBox()->GetValue());
        uitest::ClickOn(panel->GetOkButton());
    }));
    EXPECT_TRUE(StoredDoNotShow());
}

// A start hidden in the tray: the prompt is the first window of the program on screen, measured before
// any other was, under a window manager (whose frame sizes the toolkit learns from a first window).
// Its text still gets all its lines, and the dialog the size it has over a shown window.
TEST_F(BonjourPrompt, AtAStartHiddenInTheTrayTheTextIsWhole) {
    testsupport::TrayWindowManager windowManager(getenv("DISPLAY"));
    ASSERT_TRUE(windowManager.WaitUntilReady());
    window_ = new CalvoroForm(state_.get(), events_.get(), nullptr);
    wxSize hidden;
    uitest::WhenModalDialog([&](wxDialog*) {
        GenericDialogBase* dialog = window_->GetBonjourDialog();
        PumpUntil([dialog] { return dialog->IsShownOnScreen(); });
        Pump(200ms);
        EXPECT_FALSE(window_->IsShown());
        hidden = dialog->GetClientSize();
        EXPECT_EQ(hidden, uitest::Screenshot("^Calvoro$", "dns-sd-prompt-hidden-start"));
        uitest::ExpectControlsWhole(dialog);
        uitest::PressButton(window_->GetBonjourPanel()->GetOkButton());
    });
    CalvoroForm::PostBonjourPrompt(window_);
    ASSERT_TRUE(PumpUntil([&] { return window_->GetBonjourDialog() && !window_->GetBonjourDialog()->IsModal(); }, 20s));
    // The same prompt again, now that a window of the program has been on screen.
    uitest::DestroyWindow();
    OpenWindow();
    wxSize shown;
    uitest::WhenModalDialog([&](wxDialog*) {
        GenericDialogBase* dialog = window_->GetBonjourDialog();
        PumpUntil([dialog] { return dialog->IsShownOnScreen(); });
        Pump(200ms);
        shown = dialog->GetClientSize();
        uitest::PressButton(window_->GetBonjourPanel()->GetOkButton());
    });
    CalvoroForm::PostBonjourPrompt(window_);
    ASSERT_TRUE(PumpUntil([&] { return window_->GetBonjourDialog() && !window_->GetBonjourDialog()->IsModal(); }, 20s));
    EXPECT_EQ(shown, hidden);
}

TEST_F(BonjourPrompt, OkWithoutTheBoxStoresFalse) {
    state_->SetDoNotShowBonjourLink(true);
    ASSERT_TRUE(state_->Save());
    ASSERT_TRUE(Prompt([](GenericDialogBase*, BonjourPromptPnl* panel) {
        panel->GetDoNotShowBox()->SetValue(false);
        uitest::ClickOn(panel->GetOkButton());
    }));
    EXPECT_FALSE(StoredDoNotShow());
}

TEST_F(BonjourPrompt, EnterPressesOk) {
    ASSERT_TRUE(Prompt([](GenericDialogBase* dialog, BonjourPromptPnl* panel) {
        panel->GetDoNotShowBox()->SetValue(true);
        const std::string command = "timeout 30 xdotool windowfocus --sync \"$(" + kFindPrompt + ")\"";
        EXPECT_EQ(0, system(command.c_str())) << command;
        // Its focus event handled, the toolkit has the prompt as its active window: the key goes there.
        EXPECT_TRUE(uitest::WaitUntilActive(dialog, "Calvoro"));
        wxUIActionSimulator().Char(WXK_RETURN);
    }));
    EXPECT_TRUE(StoredDoNotShow());
}

TEST_F(BonjourPrompt, TheCloseBoxStoresNothing) {
    ASSERT_TRUE(Prompt([](GenericDialogBase* dialog, BonjourPromptPnl* panel) {
        panel->GetDoNotShowBox()->SetValue(true);
        dialog->Close();
    }));
    EXPECT_FALSE(std::filesystem::exists(data_.path() + "/state.xml") && StoredDoNotShow());
}

TEST_F(BonjourPrompt, AQuitWhileItIsOpenEndsItAndTheWindow) {
    CalvoroForm* window = OpenWindow();
    uitest::WhenModalDialog([window](wxDialog*) { CalvoroForm::PostQuit(window); });
    CalvoroForm::PostBonjourPrompt(window);
    EXPECT_TRUE(PumpUntil([] { return CalvoroForm::GetInstance() == nullptr; }, 20s));
    // The window's own line, as it deletes the prompt.
    const std::string log = testsupport::ReadFile(kivm::str_conv(GetLogFilePath()));
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(CalvoroForm\(\d+\): Deleteing Bonjour Panel)")));
}

}  // namespace
