// The one dialog class of the window: a plain top-level dialog whose user puts one panel into its
// vertical sizer and fits the dialog to it.
#pragma once

#include <wx/dialog.h>

class wxBoxSizer;

class GenericDialogBase : public wxDialog {
public:
    GenericDialogBase(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos = wxDefaultPosition,
                      const wxSize& size = wxDefaultSize, long style = wxDEFAULT_DIALOG_STYLE);

    // The dialog's sizer (owned by the dialog).
    wxBoxSizer* bSizer;
};
