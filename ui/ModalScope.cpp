#include "ui/ModalScope.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/dirdlg.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/weakref.h>

#include "ui/UiCommon.h"

namespace {

struct Waiting {
    const void* owner;
    const wxWindow* root;  // null: waits for every modal thing
    std::function<void()> action;
};

// GUI thread only.
int gDepth = 0;
std::vector<wxDialog*> gDialogs;
std::vector<const wxWindow*> gOpeners;
std::vector<Waiting> gWaiting;
bool gFlushPosted = false;
bool gEnding = false;

bool Clear(const Waiting& waiting) {
    return waiting.root ? !ModalScope::BusyWithin(waiting.root) : !ModalScope::Active();
}

void Flush() {
    gFlushPosted = false;
    for (;;) {
        const auto next = std::find_if(gWaiting.begin(), gWaiting.end(), Clear);
        if (next == gWaiting.end()) return;
        Waiting run = std::move(*next);
        gWaiting.erase(next);
        run.action();
    }
}

void PostFlush() {
    if (gFlushPosted || gWaiting.empty() || !wxTheApp) return;
    gFlushPosted = true;
    wxTheApp->CallAfter(&Flush);
}

}  // namespace

ModalScope::ModalScope(wxDialog* dialog, const wxWindow* opener) : dialog_(dialog), opener_(opener) {
    ++gDepth;
    if (dialog_) gDialogs.push_back(dialog_);
    if (opener_) gOpeners.push_back(opener_);
}

ModalScope::~ModalScope() {
    if (dialog_) gDialogs.erase(std::remove(gDialogs.begin(), gDialogs.end(), dialog_), gDialogs.end());
    if (opener_) gOpeners.erase(std::find(gOpeners.begin(), gOpeners.end(), opener_));
    --gDepth;
    // The keyboard goes back to the dialog beneath, which a window manager would activate again; with
    // none, it would go to where the pointer happens to be.
    if (dialog_ && !gEnding) {
        if (wxDialog* beneath = InnermostDialog()) TakeKeyboard(beneath);
    }
    // A quit goes on with the dialog under this one, from that dialog's own loop.
    if (gEnding && dialog_ && InnermostDialog() && wxTheApp) wxTheApp->CallAfter([]() {
        if (gEnding) ModalScope::EndModalDialogs();
    });
    PostFlush();
}

bool ModalScope::Active() { return gDepth > 0; }

bool ModalScope::BusyWithin(const wxWindow* root) {
    // An opener lives while its scope is open: its handler is still running.
    for (const wxWindow* opener : gOpeners) {
        for (const wxWindow* window = opener; window; window = window->GetParent()) {
            if (window == root) return true;
        }
    }
    return false;
}

wxDialog* ModalScope::InnermostDialog() {
    for (auto it = gDialogs.rbegin(); it != gDialogs.rend(); ++it) {
        if ((*it)->IsModal()) return *it;
    }
    return nullptr;
}

void ModalScope::RunWhenClear(const void* owner, std::function<void()> action) {
    RunWhenClearOf(owner, nullptr, std::move(action));
}

void ModalScope::RunWhenClearOf(const void* owner, const wxWindow* root, std::function<void()> action) {
    Waiting next{owner, root, std::move(action)};
    if (Clear(next)) {
        Forget(owner);
        next.action();
        return;
    }
    for (Waiting& waiting : gWaiting) {
        if (waiting.owner == owner) {
            waiting = std::move(next);
            return;
        }
    }
    gWaiting.push_back(std::move(next));
}

void ModalScope::Forget(const void* owner) {
    gWaiting.erase(std::remove_if(gWaiting.begin(), gWaiting.end(),
                                  [owner](const Waiting& waiting) { return waiting.owner == owner; }),
                   gWaiting.end());
}

bool ModalScope::EndModalDialogs() {
    // Only the innermost: ending an outer dialog's loop from inside an inner one would end the inner
    // one instead. The next one ends once this one's loop has returned (see the destructor).
    wxDialog* dialog = InnermostDialog();
    if (!dialog) return false;
    dialog->EndModal(wxID_CANCEL);
    return true;
}

bool ModalScope::Ending() { return gEnding; }

void EndDialogsThen(const void* owner, std::function<void()> finish) {
    gEnding = true;
    ModalScope::EndModalDialogs();
    ModalScope::RunWhenClear(owner, [finish = std::move(finish)]() {
        gEnding = false;
        finish();
    });
}

void TakeKeyboard(wxDialog* dialog) {
    // Raising asks the window manager to activate the dialog; with none, the toolkit gives it the
    // input focus itself.
    dialog->Raise();
}

namespace {

void TakeKeyboardWhenShown(wxDialog* dialog) {
    dialog->Bind(wxEVT_SHOW, [dialog](wxShowEvent& event) {
        if (event.IsShown()) TakeKeyboard(dialog);
        event.Skip();
    });
}

}  // namespace

void TellUser(wxWindow* parent, const wxString& message, const wxString& caption, long style) {
    // The generic dialog runs the toolkit's own modal loop, so a quit can end it.
    wxGenericMessageDialog dialog(parent, message, caption, style);
    TakeKeyboardWhenShown(&dialog);
    ModalScope scope(&dialog);
    dialog.ShowModal();
}

bool ChooseFolder(wxWindow* parent, const wxString& message, std::wstring& path) {
    wxDirDialog dialog(parent, message, wxEmptyString, wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
    TakeKeyboardWhenShown(&dialog);
    ModalScope scope(&dialog, parent);
    if (dialog.ShowModal() != wxID_OK) return false;
    path = FromToolkitFileName(dialog.GetPath());
    return true;
}

bool AskYesNo(wxWindow* parent, const wxString& message, const wxString& caption) {
    // The generic dialog runs the toolkit's own modal loop, so a quit can end it.
    wxGenericMessageDialog dialog(parent, message, caption, wxYES_NO);
    // Escape and the close box answer No; the toolkit's default would press the affirmative Yes.
    dialog.SetEscapeId(wxID_NO);
    TakeKeyboardWhenShown(&dialog);
    ModalScope scope(&dialog, parent);
    return dialog.ShowModal() == wxID_YES;
}

void ShowUiError(wxWindow* parent, const wxString& message) {
    if (!wxTheApp) return;
    wxWeakRef<wxWindow> weakParent(parent);
    wxTheApp->CallAfter(
        [weakParent, message]() { TellUser(weakParent.get(), message, "Calvoro Error", wxOK | wxICON_ERROR); });
}
