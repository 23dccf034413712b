#include "ui/FolderRows.h"

#include <algorithm>
#include <map>

#include <wx/dc.h>
#include <wx/menu.h>
#include <wx/settings.h>
#include <wx/window.h>

#include "ui/ModalScope.h"
#include "ui/UiCommon.h"
#include "ui/VideoFoldersList.h"

namespace {
const wxColour kSelected(71, 137, 204);
const wxColour kOddRow(237, 243, 255);
const wxColour kEvenRow(255, 255, 255);
const int kIndentPerDepth = 21;
const int kDeleteItem = 0;
// The places of the row: a border of 3 around the expander (12 x 12), the icon (16 x 16) and the label.
const int kBorder = 3;
const int kExpanderSize = 12;
const int kIconSize = 16;

// Each image file is read once: a big folder would read the same three files for every row.
// GUI thread only; kept to the end of the process.
const wxBitmap& RowBitmap(const std::wstring& path) {
    static std::map<std::wstring, wxBitmap>* const cache = new std::map<std::wstring, wxBitmap>();
    auto it = cache->find(path);
    if (it == cache->end()) it = cache->emplace(path, LoadBitmapFile(path)).first;
    return it->second;
}

wxFont LabelFont(bool bold) {
    const wxFont normal = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    return wxFont(normal.GetPointSize(), wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL,
                  bold ? wxFONTWEIGHT_BOLD : wxFONTWEIGHT_NORMAL);
}

// An image in the middle of its box.
void DrawCentred(wxDC& dc, const wxBitmap& bitmap, const wxRect& box) {
    if (!bitmap.IsOk()) return;
    dc.DrawBitmap(bitmap, box.x + (box.width - bitmap.GetWidth()) / 2, box.y + (box.height - bitmap.GetHeight()) / 2,
                  true);
}
}  // namespace

wxColour FolderRowColour(bool odd) { return odd ? kOddRow : kEvenRow; }

wxIMPLEMENT_CLASS(GenericEntry, wxObject);

GenericEntry::GenericEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path,
                           const std::wstring& iconPath, const wxColour& selectedColour, const wxColour& normalColour,
                           int indentPixels, bool selected, EntryClickCallback rowCallback, int rowUserData,
                           const std::wstring& expanderPath, EntryClickCallback expanderCallback, int expanderUserData)
    : parent_(parent),
      label_(ToUiText(label)),
      path_(path),
      icon_(RowBitmap(iconPath)),
      hasExpander_(!expanderPath.empty()),
      indent_(indentPixels),
      selected_(selected),
      selectedColour_(selectedColour),
      normalColour_(normalColour),
      rowCallback_(rowCallback),
      rowUserData_(rowUserData),
      expanderCallback_(expanderCallback),
      expanderUserData_(expanderUserData) {
    if (hasExpander_) expander_ = RowBitmap(expanderPath);
    // Measured in bold, the wider of the two: a row keeps its size when it is selected. The list
    // measures, so its rows share its text context instead of making one each.
    wxCoord width = 0, height = 0;
    const wxFont bold = LabelFont(true);
    parent_->GetTextExtent(label_, &width, &height, nullptr, nullptr, &bold);
    const int inner = std::max({kExpanderSize, kIconSize, static_cast<int>(height)});
    best_ = wxSize(LabelX() + width + kBorder, inner + 2 * kBorder);
}

wxRect GenericEntry::GetExpanderRect() const {
    if (!hasExpander_) return wxRect();
    return wxRect(indent_ + kBorder, (best_.y - kExpanderSize) / 2, kExpanderSize, kExpanderSize);
}

int GenericEntry::IconX() const { return indent_ + (hasExpander_ ? kExpanderSize + 2 * kBorder : 0) + kBorder; }

int GenericEntry::LabelX() const { return IconX() + kIconSize + kBorder + kBorder; }

void GenericEntry::Draw(wxDC& dc, const wxRect& rect) const {
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(GetRowColour()));
    dc.DrawRectangle(rect);
    if (hasExpander_) {
        wxRect expander = GetExpanderRect();
        expander.Offset(rect.GetPosition());
        DrawCentred(dc, expander_, expander);
    }
    DrawCentred(dc, icon_, wxRect(rect.x + IconX(), rect.y + (rect.height - kIconSize) / 2, kIconSize, kIconSize));
    dc.SetFont(LabelFont(selected_));
    dc.SetTextForeground(selected_ ? *wxWHITE : *wxBLACK);
    const wxSize text = dc.GetTextExtent(label_);
    dc.DrawText(label_, rect.x + LabelX(), rect.y + (rect.height - text.y) / 2);
}

bool GenericEntry::SetSelected(bool selected) {
    if (selected == selected_) return false;
    selected_ = selected;
    return true;
}

bool GenericEntry::SetNormalColour(const wxColour& colour) {
    if (colour == normalColour_) return false;
    normalColour_ = colour;
    return !selected_;
}

void GenericEntry::SetUserData(int userData) {
    rowUserData_ = userData;
    expanderUserData_ = userData;
}

bool GenericEntry::SetExpanderBitmap(const wxBitmap& bitmap) {
    if (bitmap.IsSameAs(expander_)) return false;
    expander_ = bitmap;
    return true;
}

// Both callbacks only record what was clicked, change looks or queue a rebuild: the row is still alive
// after them.
void GenericEntry::OnLeftDown(const wxPoint& at) {
    if (GetExpanderRect().Contains(at)) {
        if (expanderCallback_) expanderCallback_(expanderUserData_);
    } else if (rowCallback_) {
        rowCallback_(rowUserData_);
    }
}

void GenericEntry::OnRightDown(const wxPoint&) {}

wxIMPLEMENT_CLASS(FolderListEntry, GenericEntry);

FolderListEntry::FolderListEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, bool selected,
                                 bool expanded, bool odd, int depth, EntryClickCallback rowCallback, int rowUserData,
                                 EntryClickCallback expanderCallback, int expanderUserData)
    : GenericEntry(parent, label, path, GetImagePath(L"images/folder.png"), kSelected, FolderRowColour(odd),
                   kIndentPerDepth * depth, selected, rowCallback, rowUserData,
                   GetImagePath(expanded ? L"images/expanded.png" : L"images/collapsed.png"), expanderCallback,
                   expanderUserData),
      expanded_(expanded) {}

bool FolderListEntry::SetExpanded(bool expanded) {
    if (expanded == expanded_) return false;
    expanded_ = expanded;
    return SetExpanderBitmap(RowBitmap(GetImagePath(expanded ? L"images/expanded.png" : L"images/collapsed.png")));
}

void FolderListEntry::OnRightDown(const wxPoint& where) {
    wxMenu menu;
    menu.Append(kDeleteItem, "&Delete");
    // Rebuilds of the list wait while the menu (and the confirmation it may open) runs: they would
    // delete this row.
    ModalScope scope(nullptr, GetParent());
    if (GetParent()->GetPopupMenuSelectionFromUser(menu, where) == kDeleteItem) OnDeleteMenu();
}

void FolderListEntry::OnDeleteMenu() {
    // The item stops sharing the list's selected shared folder, whichever row was right-clicked.
    if (VideoFoldersList* list = wxDynamicCast(GetParent(), VideoFoldersList)) list->RemoveSelectedFolder();
}

FileEntry::FileEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, bool selected, bool odd,
                     int depth, EntryClickCallback rowCallback, int rowUserData)
    : GenericEntry(parent, label, path, GetImagePath(L"images/icon_video.png"), kSelected, FolderRowColour(odd),
                   kIndentPerDepth * depth, selected, rowCallback, rowUserData, GetImagePath(L"images/file_spacer.png"),
                   nullptr, 0) {}
