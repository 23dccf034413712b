#include "ui/FolderRows.h"

#include <wx/menu.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "ui/ModalScope.h"
#include "ui/UiCommon.h"
#include "ui/VideoFoldersList.h"

namespace {
const wxColour kSelected(71, 137, 204);
const wxColour kOddRow(237, 243, 255);
const wxColour kEvenRow(255, 255, 255);
const int kIndentPerDepth = 21;
const int kDeleteItem = 0;
}  // namespace

GenericEntry::GenericEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path,
                           const std::wstring& iconPath, const wxColour& selectedColour, const wxColour& normalColour,
                           int indentPixels, bool selected, EntryClickCallback rowCallback, int rowUserData,
                           const std::wstring& expanderPath, EntryClickCallback expanderCallback, int expanderUserData)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxBORDER_NONE),
      path_(path),
      selected_(selected),
      rowCallback_(rowCallback),
      rowUserData_(rowUserData),
      expanderCallback_(expanderCallback),
      expanderUserData_(expanderUserData) {
    wxBoxSizer* sizer = new wxBoxSizer(wxHORIZONTAL);
    sizer->AddSpacer(indentPixels);
    if (!expanderPath.empty()) {
        expander_ = new wxStaticBitmap(this, wxID_ANY, LoadBitmapFile(expanderPath), wxDefaultPosition, wxSize(12, 12));
        sizer->Add(expander_, 0, wxALL | wxALIGN_CENTER_VERTICAL, 3);
        expander_->Bind(wxEVT_LEFT_DOWN, &GenericEntry::OnExpanderLeftDown, this);
    }
    icon_ = new wxStaticBitmap(this, wxID_ANY, LoadBitmapFile(iconPath), wxDefaultPosition, wxSize(16, 16));
    sizer->Add(icon_, 0, wxALL | wxALIGN_CENTER_VERTICAL, 3);
    label_ = new wxStaticText(this, wxID_ANY, wxEmptyString);
    label_->SetLabelText(ToUiText(label));
    sizer->Add(label_, 0, wxALL | wxALIGN_CENTER_VERTICAL, 3);
    SetSizer(sizer);

    const wxFont normal = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    label_->SetFont(wxFont(normal.GetPointSize(), wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL,
                           selected ? wxFONTWEIGHT_BOLD : wxFONTWEIGHT_NORMAL));
    label_->SetForegroundColour(selected ? *wxWHITE : *wxBLACK);
    SetBackgroundColour(selected ? selectedColour : normalColour);

    Bind(wxEVT_LEFT_DOWN, &GenericEntry::OnLeftDown, this);
    icon_->Bind(wxEVT_LEFT_DOWN, &GenericEntry::OnLeftDown, this);
    label_->Bind(wxEVT_LEFT_DOWN, &GenericEntry::OnLeftDown, this);
}

wxString GenericEntry::GetLabelText() const { return label_->GetLabelText(); }

// Both callbacks only record what was clicked and queue a rebuild, so the row is still alive after.
void GenericEntry::OnLeftDown(wxMouseEvent& event) {
    if (rowCallback_) rowCallback_(rowUserData_);
    event.Skip();
}

void GenericEntry::OnExpanderLeftDown(wxMouseEvent& event) {
    if (expanderCallback_) expanderCallback_(expanderUserData_);
    event.Skip();
}

wxIMPLEMENT_CLASS(FolderListEntry, GenericEntry);

FolderListEntry::FolderListEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, bool selected,
                                 bool expanded, bool odd, int depth, EntryClickCallback rowCallback, int rowUserData,
                                 EntryClickCallback expanderCallback, int expanderUserData)
    : GenericEntry(parent, label, path, GetImagePath(L"images/folder.png"), kSelected, odd ? kOddRow : kEvenRow,
                   kIndentPerDepth * depth, selected, rowCallback, rowUserData,
                   GetImagePath(expanded ? L"images/expanded.png" : L"images/collapsed.png"), expanderCallback,
                   expanderUserData) {
    Bind(wxEVT_RIGHT_DOWN, &FolderListEntry::OnRightDown, this);
    Label()->Bind(wxEVT_RIGHT_DOWN, &FolderListEntry::OnRightDown, this);
    Bind(wxEVT_MENU, &FolderListEntry::OnDeleteMenu, this, kDeleteItem);
}

void FolderListEntry::OnRightDown(wxMouseEvent&) {
    wxMenu menu;
    menu.Append(kDeleteItem, "&Delete");
    // Rebuilds wait while the menu (and the confirmation it may open) runs: they would delete this row.
    ModalScope scope(nullptr, this);
    PopupMenu(&menu);
}

void FolderListEntry::OnDeleteMenu(wxCommandEvent&) {
    // The item stops sharing the list's selected shared folder, whichever row was right-clicked.
    if (VideoFoldersList* list = wxDynamicCast(GetParent(), VideoFoldersList)) list->RemoveSelectedFolder();
}

FileEntry::FileEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, bool selected, bool odd,
                     int depth, EntryClickCallback rowCallback, int rowUserData)
    : GenericEntry(parent, label, path, GetImagePath(L"images/icon_video.png"), kSelected, odd ? kOddRow : kEvenRow,
                   kIndentPerDepth * depth, selected, rowCallback, rowUserData, GetImagePath(L"images/file_spacer.png"),
                   nullptr, 0) {}
