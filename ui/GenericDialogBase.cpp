#include "ui/GenericDialogBase.h"

#include <wx/sizer.h>
#include <wx/textctrl.h>

#include "ui/ModalScope.h"
#include "ui/UiCommon.h"

namespace {

void Remeasure(wxWindow* window) {
    for (wxWindow* child : window->GetChildren()) {
        if (!child->IsTopLevel()) Remeasure(child);
    }
    if (MeasuredText* text = dynamic_cast<MeasuredText*>(window)) text->Remeasure();
    // A text field keeps the measure it was built with: measured again once on screen, it asks for
    // more than its current height, and so grew at every showing.
    if (!wxDynamicCast(window, wxTextCtrl)) window->InvalidateBestSize();
}

}  // namespace

GenericDialogBase::GenericDialogBase(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos,
                                     const wxSize& size, long style)
    : wxDialog(parent, id, title, pos, size, style, "dialog") {
    SetSizeHints(wxDefaultSize, wxDefaultSize);
    bSizer = new wxBoxSizer(wxVERTICAL);
    SetSizer(bSizer);
    Layout();
    Fit();
    Bind(wxEVT_SHOW, &GenericDialogBase::OnShow, this);
    Bind(wxEVT_CHAR_HOOK, &GenericDialogBase::OnCharHook, this);
}

void GenericDialogBase::FitToContents() {
    Remeasure(this);
    Layout();
    Fit();
}

void GenericDialogBase::OnShow(wxShowEvent& event) {
    if (event.IsShown()) {
        FitToContents();
        TakeKeyboard(this);
    }
    event.Skip();
}

void GenericDialogBase::OnCharHook(wxKeyEvent& event) {
    // The toolkit's own Escape presses a Cancel or OK button, and our dialogs have none; without a
    // window manager there is no close box either. Escape closes as the close box does.
    if (event.GetKeyCode() == WXK_ESCAPE && event.GetModifiers() == wxMOD_NONE) {
        Close();
        return;
    }
    event.Skip();
}
