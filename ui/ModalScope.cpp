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
    std::function<void()> action;
};

// GUI thread only.
int gDepth = 0;
std::vector<wxDialog*> gDialogs;
std::vector<Waiting> gWaiting;
bool gFlushPosted = false;
bool gEnding = false;

void Flush() {
    gFlushPosted = false;
    while (!ModalScope::Active() && !gWaiting.empty()) {
        Waiting next = std::move(gWaiting.front());
        gWaiting.erase(gWaiting.begin());
        next.action();
    }
}

void PostFlush() {
    if (gFlushPosted || gWaiting.empty() || !wxTheApp) return;
    gFlushPosted = true;
    wxTheApp->CallAfter(&Flush);
}

}  // namespace

ModalScope::ModalScope(wxDialog* dialog) : dialog_(dialog) {
    ++gDepth;
    if (dialog_) gDialogs.push_back(dialog_);
}

ModalScope::~ModalScope() {
    if (dialog_) gDialogs.erase(std::remove(gDialogs.begin(), gDialogs.end(), dialog_), gDialogs.end());
    if (--gDepth == 0) PostFlush();
}

bool ModalScope::Active() { return gDepth > 0; }

void ModalScope::RunWhenClear(const void* owner, std::function<void()> action) {
    if (!Active()) {
        Forget(owner);
        action();
        return;
    }
    for (Waiting& waiting : gWaiting) {
        if (waiting.owner == owner) {
            waiting.action = std::move(action);
            return;
        }
    }
    gWaiting.push_back(Waiting{owner, std::move(action)});
}

void ModalScope::Forget(const void* owner) {
    gWaiting.erase(std::remove_if(gWaiting.begin(), gWaiting.end(),
                                  [owner](const Waiting& waiting) { return waiting.owner == owner; }),
                   gWaiting.end());
}

bool ModalScope::EndModalDialogs() {
    bool ended = false;
    for (wxDialog* dialog : gDialogs) {
        if (dialog->IsModal()) {
            dialog->EndModal(wxID_CANCEL);
            ended = true;
        }
    }
    return ended;
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

void TellUser(wxWindow* parent, const wxString& message, const wxString& caption, long style) {
    // The generic dialog runs the toolkit's own modal loop, so a quit can end it.
    wxGenericMessageDialog dialog(parent, message, caption, style);
    ModalScope scope(&dialog);
    dialog.ShowModal();
}

bool ChooseFolder(wxWindow* parent, const wxString& message, std::wstring& path) {
    wxDirDialog dialog(parent, message, wxEmptyString, wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
    ModalScope scope(&dialog);
    if (dialog.ShowModal() != wxID_OK) return false;
    path = FromToolkitFileName(dialog.GetPath());
    return true;
}

bool AskYesNo(wxWindow* parent, const wxString& message, const wxString& caption) {
    // The generic dialog runs the toolkit's own modal loop, so a quit can end it.
    wxGenericMessageDialog dialog(parent, message, caption, wxYES_NO);
    ModalScope scope(&dialog);
    return dialog.ShowModal() == wxID_YES;
}

void ShowUiError(wxWindow* parent, const wxString& message) {
    if (!wxTheApp) return;
    wxWeakRef<wxWindow> weakParent(parent);
    wxTheApp->CallAfter(
        [weakParent, message]() { TellUser(weakParent.get(), message, "Calvoro Error", wxOK | wxICON_ERROR); });
}
