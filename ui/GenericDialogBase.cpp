#include "ui/GenericDialogBase.h"

#include <wx/sizer.h>

GenericDialogBase::GenericDialogBase(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos,
                                     const wxSize& size, long style)
    : wxDialog(parent, id, title, pos, size, style, "dialog") {
    SetSizeHints(wxDefaultSize, wxDefaultSize);
    bSizer = new wxBoxSizer(wxVERTICAL);
    SetSizer(bSizer);
    Layout();
    Fit();
}
