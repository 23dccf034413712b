// Escape closes every dialog of the window as its close box does. The test program's X server has no
// window manager, so there is no close box, and the preferences and the two support dialogs have no
// button that closes them: without Escape they could not be left.
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/dialog.h>
#include <wx/dirdlg.h>
#include <wx/uiaction.h>

#include "UiTestSupport.h"
#include "ui/BonjourPromptPnl.h"
#include "ui/CalvoroForm.h"
#include "ui/GenericDialogBase.h"
#include "ui/ModalScope.h"
#include "ui/PreferencesPnl.h"
#include "ui/TaskBarIcon.h"

namespace {

using namespace std::chrono_literals;
using uitest::PumpUntil;

// The folder chooser keeps its title with the toolkit's own dialog: it is the chooser's message.
wxString TitleOf(wxDialog* dialog) {
    if (wxDirDialog* chooser = wxDynamicCast(dialog, wxDirDialog)) return chooser->GetMessage();
    return dialog->GetTitle();
}

// Presses Escape on the keyboard as a person does once the dialog is on screen; true when that ended
// the dialog's loop. A dialog that stays open is ended here, so the test goes on.
bool EscapeCloses(wxDialog* dialog) {
    EXPECT_TRUE(PumpUntil([dialog] { return dialog->IsShownOnScreen(); }));
    // The simulator gives the X focus to the toolkit's active window: until the dialog's focus event has
    // been handled that is still the window below, and the key would go there.
    const std::string title = TitleOf(dialog).ToStdString(wxConvUTF8);
    EXPECT_TRUE(uitest::WaitUntilActive(dialog, title)) << title << " never had the focus";
    wxUIActionSimulator().Char(WXK_ESCAPE);
    if (PumpUntil([dialog] { return !dialog->IsModal(); })) return true;
    dialog->EndModal(wxID_CANCEL);
    return false;
}

// Runs action from inside the loop of the innermost dialog of ours once one titled title runs.
void WhenDialogTitled(const wxString& title, std::function<void(wxDialog*)> action) {
    uitest::RunLater(50ms, [title, action]() {
        wxDialog* dialog = ModalScope::InnermostDialog();
        if (dialog && TitleOf(dialog) == title) action(dialog);
        else WhenDialogTitled(title, action);
    });
}

class DialogKeys : public uitest::WindowTest {
protected:
    boost::shared_ptr<State> Stored() {
        boost::shared_ptr<State> stored = State::GetInstance(data_.wpath());
        stored->Load();
        return stored;
    }
};

TEST_F(DialogKeys, EscapeClosesThePreferencesAndAppliesThem) {
    CalvoroForm* window = OpenWindow();
    bool closed = false;
    WhenDialogTitled("Calvoro Preferences", [&](wxDialog* dialog) {
        window->GetPreferencesPanel()->GetInternetAccessBox()->SetValue(true);
        closed = EscapeCloses(dialog);
    });
    CalvoroForm::PostShowPreferences(window);
    window->GetEventHandler()->ProcessPendingEvents();  // returns once the dialog has closed
    EXPECT_TRUE(closed);
    // As its close box: what the dialog showed is applied and saved.
    EXPECT_TRUE(Stored()->GetExternalAccess());
    // The window takes clicks and keys again.
    EXPECT_TRUE(window->IsEnabled());
    EXPECT_FALSE(ModalScope::Active());
}

TEST_F(DialogKeys, EscapeClosesTheSupportDialogsOneAtATime) {
    CalvoroForm* window = OpenWindow();
    bool preferencesClosed = false;
    std::vector<std::string> closedOverThePreferences;
    WhenDialogTitled("Calvoro Preferences", [&](wxDialog* preferences) {
        PreferencesPnl* panel = window->GetPreferencesPanel();
        const std::pair<const char*, wxButton*> dialogs[] = {
            {"Connection Assistant", panel->GetConnectionAssistantButton()},
            {"Send Report", panel->GetSendReportButton()},
        };
        for (const auto& opened : dialogs) {
            const std::string title = opened.first;
            WhenDialogTitled(title, [&, title](wxDialog* dialog) {
                if (EscapeCloses(dialog) && preferences->IsModal()) closedOverThePreferences.push_back(title);
            });
            uitest::PressButton(opened.second);  // returns once its dialog has closed
        }
        preferencesClosed = EscapeCloses(preferences);
    });
    CalvoroForm::PostShowPreferences(window);
    window->GetEventHandler()->ProcessPendingEvents();
    EXPECT_EQ((std::vector<std::string>{"Connection Assistant", "Send Report"}), closedOverThePreferences);
    EXPECT_TRUE(preferencesClosed);
    EXPECT_TRUE(window->IsEnabled());
}

TEST_F(DialogKeys, EscapeClosesTheDnsSdPromptAndStoresNothing) {
    CalvoroForm* window = OpenWindow();
    bool closed = false;
    WhenDialogTitled("Calvoro", [&](wxDialog* dialog) {
        window->GetBonjourPanel()->GetDoNotShowBox()->SetValue(true);
        closed = EscapeCloses(dialog);
    });
    CalvoroForm::PostBonjourPrompt(window);
    window->GetEventHandler()->ProcessPendingEvents();
    EXPECT_TRUE(closed);
    // As its close box: the box is not stored, the prompt comes again at the next start.
    EXPECT_FALSE(Stored()->GetDoNotShowBonjourLink());
    EXPECT_TRUE(window->IsEnabled());
}

TEST_F(DialogKeys, EscapeClosesMessagesQuestionsAndTheFolderChooser) {
    CalvoroForm* window = OpenWindow();
    struct Case {
        const char* title;
        std::function<bool()> show;  // the answer, as the caller sees it
    };
    const Case cases[] = {
        {"Calvoro Error", [window] { TellUser(window, "Something failed.", "Calvoro Error", wxOK | wxICON_ERROR); return false; }},
        {"Calvoro", [] { TaskBarIcon::ShowUpdateCheck(); return false; }},
        {"Remove?", [window] { return AskYesNo(window, "Remove the folder?", "Remove?"); }},
        {"Choose Video Folder", [window] {
             std::wstring path;
             return ChooseFolder(window, "Choose Video Folder", path);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        bool closed = false;
        WhenDialogTitled(c.title, [&](wxDialog* dialog) { closed = EscapeCloses(dialog); });
        // A question's Escape is its No; the chooser's, its Cancel.
        EXPECT_FALSE(c.show());
        EXPECT_TRUE(closed);
    }
}

}  // namespace
