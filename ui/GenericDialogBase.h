// The one dialog class of the window: a plain top-level dialog whose user puts one panel into its
// vertical sizer and fits the dialog to it.
#pragma once

#include <wx/dialog.h>

class wxBoxSizer;

class GenericDialogBase : public wxDialog {
public:
    GenericDialogBase(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos = wxDefaultPosition,
                      const wxSize& size = wxDefaultSize, long style = wxDEFAULT_DIALOG_STYLE);

    // Measures every control again and fits the dialog to them; runs as the dialog is shown, when the
    // toolkit's measures hold.
    void FitToContents();

    // The dialog's sizer (owned by the dialog).
    wxBoxSizer* bSizer;

private:
    void OnShow(wxShowEvent& event);
    void OnCharHook(wxKeyEvent& event);
};
