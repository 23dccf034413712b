#include "ui/SideBarEntry.h"

#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "ui/UiCommon.h"

namespace {
const wxColour kSelectedBackground(71, 137, 204);
const wxColour kNormalBackground(218, 223, 232);
// The label takes what the row leaves; it never widens the side bar.
const int kLeastLabelWidth = 20;
}  // namespace

wxBEGIN_EVENT_TABLE(SideBarEntry, wxPanel)
    EVT_LEFT_DOWN(SideBarEntry::OnLeftDown)
wxEND_EVENT_TABLE()

SideBarEntry::SideBarEntry(wxWindow* parent, const std::wstring& label, const std::wstring& iconPath, bool selected,
                           EntryClickCallback callback, int userData)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxBORDER_NONE),
      selected_(selected),
      callback_(callback),
      userData_(userData) {
    wxBoxSizer* sizer = new wxBoxSizer(wxHORIZONTAL);
    sizer->AddSpacer(35);
    // An entry without an icon keeps an empty place.
    const wxBitmap bitmap = iconPath.empty() ? wxBitmap() : LoadBitmapFile(iconPath);
    icon_ = new wxStaticBitmap(this, wxID_ANY, bitmap, wxDefaultPosition, wxSize(16, 16));
    sizer->Add(icon_, 0, wxALL | wxALIGN_CENTER_VERTICAL, 3);
    // One line as wide as the row leaves: a longer name ends in an ellipsis and shows whole as the tip.
    // A device may send line breaks and tabs in its name; they show as spaces.
    label_ = new wxStaticText(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                              wxST_ELLIPSIZE_END | wxST_NO_AUTORESIZE);
    const wxString shown = ToOneLineUiText(label);
    label_->SetLabelText(shown);  // "&" is shown, never a mnemonic
    label_->SetToolTip(shown);
    label_->SetMinSize(wxSize(kLeastLabelWidth, -1));
    sizer->Add(label_, 1, wxALL | wxALIGN_CENTER_VERTICAL, 3);
    SetSizer(sizer);

    icon_->Bind(wxEVT_LEFT_DOWN, &SideBarEntry::OnLeftDown, this);
    label_->Bind(wxEVT_LEFT_DOWN, &SideBarEntry::OnLeftDown, this);

    const wxFont normal = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    label_->SetFont(wxFont(normal.GetPointSize(), wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL,
                           selected_ ? wxFONTWEIGHT_BOLD : wxFONTWEIGHT_NORMAL));
    // An entry built unselected keeps the side bar's colours.
    if (selected_) {
        label_->SetForegroundColour(*wxWHITE);
        SetBackgroundColour(kSelectedBackground);
    }
}

wxString SideBarEntry::GetLabelText() const { return label_->GetLabelText(); }

void SideBarEntry::SetSelected(bool selected) {
    if (selected == selected_) return;
    Freeze();
    selected_ = selected;
    ApplyLook();
    Refresh();
    Thaw();
}

void SideBarEntry::ApplyLook() {
    wxFont font = label_->GetFont();
    font.SetWeight(selected_ ? wxFONTWEIGHT_BOLD : wxFONTWEIGHT_NORMAL);
    label_->SetFont(font);
    label_->SetForegroundColour(selected_ ? *wxWHITE : *wxBLACK);
    SetBackgroundColour(selected_ ? kSelectedBackground : kNormalBackground);
    Layout();
}

void SideBarEntry::OnLeftDown(wxMouseEvent& event) {
    if (callback_) callback_(userData_);
    event.Skip();
}
