// One row of the main window's side bar: icon and label; a click anywhere on it calls its callback.
#pragma once

#include <string>

#include <wx/panel.h>

class wxStaticBitmap;
class wxStaticText;

// Called with the user data given to the entry (its entry id).
typedef void (*EntryClickCallback)(int userData);

class SideBarEntry : public wxPanel {
public:
    SideBarEntry(wxWindow* parent, const std::wstring& label, const std::wstring& iconPath, bool selected,
                 EntryClickCallback callback, int userData);

    void SetSelected(bool selected);
    bool IsSelected() const { return selected_; }
    wxString GetLabelText() const;
    wxStaticText* GetLabelControl() const { return label_; }

private:
    void OnLeftDown(wxMouseEvent& event);
    void ApplyLook();

    bool selected_;
    EntryClickCallback callback_;
    int userData_;
    wxStaticBitmap* icon_;
    wxStaticText* label_;

    wxDECLARE_EVENT_TABLE();
};
