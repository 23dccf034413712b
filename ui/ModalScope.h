// Keeps count of the modal things the window's handlers open (dialogs, the folder chooser, pop-up
// menus). While one runs, the toolkit goes on dispatching queued events inside it; a rebuild there
// would delete the panel or row whose handler is still running underneath. So a rebuild waits while a
// modal thing opened from inside what it rebuilds is open (and only then), and a quit first ends the
// dialogs.
#pragma once

#include <functional>
#include <string>

#include <wx/string.h>

class wxDialog;
class wxWindow;

class ModalScope {
public:
    // dialog: the modal dialog this scope runs, so a quit can end it; none for a pop-up menu.
    // opener: the window whose handler opens it, when a rebuild could delete that window meanwhile.
    explicit ModalScope(wxDialog* dialog = nullptr, const wxWindow* opener = nullptr);
    ~ModalScope();
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;

    static bool Active();
    // True while a modal thing opened from root or from a window inside it is open.
    static bool BusyWithin(const wxWindow* root);
    // The innermost of our modal dialogs that is running, or null.
    static wxDialog* InnermostDialog();
    // Runs action at once when nothing modal is open; otherwise once the last modal thing has closed
    // and its handler returned. A later action of the same owner replaces an earlier one.
    static void RunWhenClear(const void* owner, std::function<void()> action);
    // The same, waiting only while BusyWithin(root): what rebuilds root deletes only what lies in it.
    static void RunWhenClearOf(const void* owner, const wxWindow* root, std::function<void()> action);
    // Drops a waiting action of owner (an owner calls it as it goes).
    static void Forget(const void* owner);
    // Ends every modal dialog of ours with Cancel; true when one was running.
    static bool EndModalDialogs();
    // True from the moment a quit or the end of the session ended our dialogs until it is done: a
    // handler whose dialog was ended then asks the user nothing more.
    static bool Ending();

private:
    wxDialog* dialog_;
    const wxWindow* opener_;
};

// Ends our modal dialogs, then runs finish once every modal thing has closed and its handler returned,
// in the outermost event loop (ending that loop from inside a nested one would end only the nested one).
void EndDialogsThen(const void* owner, std::function<void()> finish);

// Shows a message in a modal dialog of ours (so a quit can end it) and waits for the user.
void TellUser(wxWindow* parent, const wxString& message, const wxString& caption, long style);
// The folder chooser with its message; false when the user cancels. The path in the server's form.
bool ChooseFolder(wxWindow* parent, const wxString& message, std::wstring& path);
// Asks a Yes/No question in a modal dialog of ours; true for Yes.
bool AskYesNo(wxWindow* parent, const wxString& message, const wxString& caption);
// Gives a dialog that is being shown the keyboard. A window manager does that for a new dialog; with
// none, the keys would go on to where they went before, or to where the pointer happens to be.
void TakeKeyboard(wxDialog* dialog);
// Tells the user about a failure once the current handler has returned (never from inside a drop or
// a dialog's handler).
void ShowUiError(wxWindow* parent, const wxString& message);
