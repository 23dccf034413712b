#include "ui/GenericDialogBase.h"

#include <wx/sizer.h>

#include "ui/UiCommon.h"

namespace {

void Remeasure(wxWindow* window) {
    for (wxWindow* child : window->GetChildren()) {
        if (!child->IsTopLevel()) Remeasure(child);
    }
    if (MeasuredText* text = dynamic_cast<MeasuredText*>(window)) text->Remeasure();
    window->InvalidateBestSize();
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
}

void GenericDialogBase::FitToContents() {
    Remeasure(this);
    Layout();
    Fit();
}

void GenericDialogBase::OnShow(wxShowEvent& event) {
    if (event.IsShown()) FitToContents();
    event.Skip();
}
