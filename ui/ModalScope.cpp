#include "ui/ModalScope.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/weakref.h>

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

void EndDialogsThen(const void* owner, std::function<void()> finish) {
    ModalScope::EndModalDialogs();
    ModalScope::RunWhenClear(owner, std::move(finish));
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
    wxTheApp->CallAfter([weakParent, message]() {
        wxGenericMessageDialog dialog(weakParent.get(), message, "Calvoro Error", wxOK | wxICON_ERROR);
        ModalScope scope(&dialog);
        dialog.ShowModal();
    });
}
