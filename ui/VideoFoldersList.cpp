#include "ui/VideoFoldersList.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <list>
#include <map>
#include <vector>

#include <wx/dcclient.h>
#include <wx/sizer.h>

#include "core/Log.h"
#include "core/State.h"
#include "core/StateText.h"
#include "ui/FileDropTarget.h"
#include "ui/FolderRows.h"
#include "ui/ModalScope.h"
#include "ui/UiCommon.h"

namespace {

struct RowInfo {
    VideoFoldersList* list = nullptr;
    std::wstring Alias;
    std::wstring Path;
    GenericEntry* row = nullptr;  // owned by the list
};

// The rows on screen, by row id; GUI thread only.
std::map<int, RowInfo>& Rows() {
    static std::map<int, RowInfo> rows;
    return rows;
}

bool ChooseWithDialog(wxWindow* parent, std::wstring& path) {
    return ChooseFolder(parent, ToUiText(GetUiString(UiString::ChooseVideoFolder)), path);
}

// state.xml holds only valid text: the store would keep a name with bytes that are not UTF-8 as
// another path, one that does not exist. Such a folder is refused here instead of shared wrongly.
bool StoreKeepsPath(const std::wstring& path) { return statetext::Stored(path) == path; }

VideoFoldersList::FolderChooser& Chooser() {
    static VideoFoldersList::FolderChooser chooser = ChooseWithDialog;
    return chooser;
}

}  // namespace

VideoFoldersScroller::VideoFoldersScroller(wxWindow* parent, State* state)
    : wxScrolledWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxHSCROLL | wxVSCROLL) {
    SetScrollRate(5, 5);
    SetBackgroundColour(*wxWHITE);
    wxBoxSizer* sizer = new wxBoxSizer(wxVERTICAL);
    list_ = new VideoFoldersList(this, state);
    sizer->Add(list_, 1, wxEXPAND, 0);
    SetSizer(sizer);
    // The list is as large as what the scroller shows and scrolls its own drawing: a window as tall as
    // thousands of rows would pass the 32,767 pixels an X window's place and size can have.
    SetTargetWindow(list_);
}

void VideoFoldersScroller::AddFolder() { list_->AddFolder(); }

void VideoFoldersScroller::RemoveSelectedFolder() { list_->RemoveSelectedFolder(); }

wxIMPLEMENT_CLASS(VideoFoldersList, wxPanel);

wxBEGIN_EVENT_TABLE(VideoFoldersList, wxPanel)
    EVT_COMMAND(wxID_ANY, EVT_FOLDERS_CHANGED, VideoFoldersList::OnFoldersChanged)
wxEND_EVENT_TABLE()

VideoFoldersList::VideoFoldersList(VideoFoldersScroller* parent, State* state)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxBORDER_NONE),
      scroller_(parent),
      state_(state) {
    SetBackgroundColour(*wxWHITE);
    // The paint handler fills every part it is asked for: rows, and the list's background below them.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    // The rows are no windows: this one target takes a drop anywhere on the list, rows included.
    SetDropTarget(new MyFileDropTarget(&VideoFoldersList::OnFilesDropped, this));
    Bind(wxEVT_PAINT, &VideoFoldersList::OnPaint, this);
    Bind(wxEVT_LEFT_DOWN, &VideoFoldersList::OnLeftDown, this);
    Bind(wxEVT_RIGHT_DOWN, &VideoFoldersList::OnRightDown, this);
    PostFoldersChanged();
}

VideoFoldersList::~VideoFoldersList() {
    ModalScope::Forget(this);
    for (auto it = Rows().begin(); it != Rows().end();) {
        if (it->second.list == this) it = Rows().erase(it);
        else ++it;
    }
}

std::vector<GenericEntry*> VideoFoldersList::GetRows() const {
    std::vector<GenericEntry*> rows;
    rows.reserve(rows_.size());
    for (const auto& row : rows_) rows.push_back(row.get());
    return rows;
}

wxPoint VideoFoldersList::ScrolledBy() const { return scroller_->CalcUnscrolledPosition(wxPoint(0, 0)); }

wxRect VideoFoldersList::GetRowRect(size_t index) const {
    if (index >= rows_.size()) return wxRect();
    const wxPoint scrolled = ScrolledBy();
    // Every row reaches the right edge of what the list shows, however far it is scrolled sideways.
    return wxRect(-scrolled.x, tops_[index] - scrolled.y, std::max(widest_, scrolled.x + GetClientSize().x),
                  tops_[index + 1] - tops_[index]);
}

int VideoFoldersList::RowAtHeight(int y) const {
    if (rows_.empty() || y < 0 || y >= tops_.back()) return -1;
    // The last top at or above y.
    return static_cast<int>(std::upper_bound(tops_.begin(), tops_.end(), y) - tops_.begin()) - 1;
}

int VideoFoldersList::RowAt(const wxPoint& at) const { return RowAtHeight(at.y + ScrolledBy().y); }

void VideoFoldersList::PlaceRows(size_t from) {
    tops_.resize(rows_.size() + 1);
    for (size_t i = from; i < rows_.size(); ++i) tops_[i + 1] = tops_[i] + rows_[i]->GetBestSize().y;
    widest_ = 0;
    for (const auto& row : rows_) widest_ = std::max(widest_, row->GetBestSize().x);
    SetVirtualSize(widest_, tops_.back());
    // The scroller's bars follow the list's virtual size; it scrolls the list's drawing (not the list).
    scroller_->AdjustScrollbars();
}

void VideoFoldersList::RefreshRow(size_t index) {
    const wxRect rect = GetRowRect(index);
    if (rect.Intersects(GetClientRect())) RefreshRect(rect, false);
}

// Only the rows inside the part asked for, which lies within what the list shows, are drawn: a list of
// thousands of rows paints no more than a short one.
void VideoFoldersList::OnPaint(wxPaintEvent&) {
    wxPaintDC dc(this);
    const wxRegion& update = GetUpdateRegion();
    const wxRect box = update.GetBox().Intersect(GetClientRect());
    if (box.IsEmpty()) return;
    const int scrolledY = ScrolledBy().y;
    const int top = box.y + scrolledY;
    const int bottom = box.GetBottom() + scrolledY;
    const size_t first = top < 0 ? 0 : top >= tops_.back() ? rows_.size() : static_cast<size_t>(RowAtHeight(top));
    for (size_t i = first; i < rows_.size() && tops_[i] <= bottom; ++i) {
        const wxRect rect = GetRowRect(i);
        if (update.Contains(rect) != wxOutRegion) rows_[i]->Draw(dc, rect);
    }
    if (bottom >= tops_.back()) {
        // Below the last row: the list's own background.
        const int from = std::max(box.y, tops_.back() - scrolledY);
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.SetBrush(wxBrush(GetBackgroundColour()));
        dc.DrawRectangle(box.x, from, box.width, box.GetBottom() + 1 - from);
    }
}

// A click goes to the row under it, in the row's own coordinates; below the last row it does nothing.
void VideoFoldersList::OnLeftDown(wxMouseEvent& event) {
    const int index = RowAt(event.GetPosition());
    if (index >= 0) rows_[index]->OnLeftDown(event.GetPosition() - GetRowRect(index).GetPosition());
    event.Skip();
}

void VideoFoldersList::OnRightDown(wxMouseEvent& event) {
    const int index = RowAt(event.GetPosition());
    if (index >= 0) rows_[index]->OnRightDown(event.GetPosition());
}

void VideoFoldersList::SetFolderChooser(FolderChooser chooser) {
    Chooser() = chooser ? chooser : FolderChooser(ChooseWithDialog);
}

void VideoFoldersList::PostFoldersChanged() {
    wxCommandEvent event(EVT_FOLDERS_CHANGED, GetId());
    event.SetEventObject(this);
    GetEventHandler()->AddPendingEvent(event);
}

void VideoFoldersList::OnFoldersChanged(wxCommandEvent&) {
    // Not while a dialog or menu opened from the list or a row runs: the rebuild would delete that row.
    // Other dialogs (the preferences, a message) do not hold it back: the list shows the folders.
    ModalScope::RunWhenClearOf(this, this, [this]() { Rebuild(); });
}

void VideoFoldersList::Rebuild() {
    Freeze();
    try {
        RebuildRows();
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Folder list rebuild failed: ") + e.what());
        ShowUiError(this, wxString::FromUTF8(e.what()));
    }
    Thaw();
}

bool VideoFoldersList::RowKey::operator==(const RowKey& other) const {
    return IsFolder == other.IsFolder && Depth == other.Depth && Path == other.Path && Alias == other.Alias &&
           Label == other.Label;
}

// The rows that stand for the same as before at the top and at the bottom are kept; only the ones
// between them go or come (an expansion adds just the folder's contents). Every row then takes its id,
// its place's colour, its expander and its selection from the tree, each drawn again only if changed.
void VideoFoldersList::RebuildRows() {
    std::list<FolderTreeRow> listed;
    state_->GetFolderTree(listed);
    const std::vector<FolderTreeRow> tree(listed.begin(), listed.end());
    std::vector<RowKey> keys;
    keys.reserve(tree.size());
    for (const FolderTreeRow& row : tree)
        keys.push_back(RowKey{row.IsFolder, row.Depth, row.Path, row.Alias, row.Depth == 0 ? row.Path : row.Name});

    size_t top = 0;
    while (top < keys_.size() && top < keys.size() && keys_[top] == keys[top]) ++top;
    size_t bottom = 0;
    while (bottom < keys_.size() - top && bottom < keys.size() - top &&
           keys_[keys_.size() - 1 - bottom] == keys[keys.size() - 1 - bottom])
        ++bottom;

    const size_t goneEnd = keys_.size() - bottom;
    std::vector<std::unique_ptr<GenericEntry>> added;
    const size_t newEnd = keys.size() - bottom;
    added.reserve(newEnd - top);
    for (size_t i = top; i < newEnd; ++i) added.push_back(MakeRow(tree[i], keys[i], static_cast<int>(i)));
    // The registry still points at the rows that go: it is filled anew below, before anything can click.
    rows_.erase(rows_.begin() + top, rows_.begin() + goneEnd);
    rows_.insert(rows_.begin() + top, std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    keys_.swap(keys);
    const bool placesChanged = goneEnd > top || newEnd > top;

    Rows().clear();
    std::vector<size_t> changed;
    size_t index = 0;
    for (const FolderTreeRow& row : tree) {
        GenericEntry* entry = rows_[index].get();
        entry->SetUserData(static_cast<int>(index));
        bool redraw = entry->SetNormalColour(FolderRowColour(index % 2 == 1));
        if (FolderListEntry* folder = wxDynamicCast(entry, FolderListEntry)) redraw |= folder->SetExpanded(row.Expanded);
        if (redraw) changed.push_back(index);
        RowInfo info;
        info.list = this;
        info.Alias = row.Alias;
        info.Path = row.Path;
        info.row = entry;
        Rows()[static_cast<int>(index)] = info;
        ++index;
    }
    if (placesChanged) {
        PlaceRows(top);
        // What the list shows moved from the first row that came or went on (and all of it when the
        // shorter list is scrolled back): the few rows in sight are drawn again.
        Refresh(false);
    } else {
        for (size_t i : changed) RefreshRow(i);
    }
    ApplySelection();
}

std::unique_ptr<GenericEntry> VideoFoldersList::MakeRow(const FolderTreeRow& row, const RowKey& key, int rowId) {
    const bool selected = row.Path == selectedPath_;
    const bool odd = rowId % 2 == 1;
    if (row.IsFolder) {
        return std::make_unique<FolderListEntry>(this, key.Label, row.Path, selected, row.Expanded, odd, row.Depth,
                                                 &VideoFoldersList::OnRowClick, rowId,
                                                 &VideoFoldersList::OnExpanderClick, rowId);
    }
    return std::make_unique<FileEntry>(this, key.Label, row.Path, selected, odd, row.Depth,
                                       &VideoFoldersList::OnRowClick, rowId);
}

void VideoFoldersList::ApplySelection() {
    selectedRowId_ = -1;
    for (size_t i = 0; i < rows_.size(); ++i) {
        const bool selected = keys_[i].Path == selectedPath_;
        if (rows_[i]->SetSelected(selected)) RefreshRow(i);
        // With two shared folders of the same path, the later one is the one minus removes.
        if (selected && keys_[i].Depth == 0) selectedRowId_ = static_cast<int>(i);
    }
}

// A click only moves the highlight: no row is made or deleted, and the rows that change repaint.
void VideoFoldersList::OnRowClick(int rowId) {
    const auto it = Rows().find(rowId);
    if (it == Rows().end()) return;
    it->second.list->selectedPath_ = it->second.Path;
    it->second.list->ApplySelection();
}

void VideoFoldersList::OnExpanderClick(int rowId) {
    const auto it = Rows().find(rowId);
    if (it == Rows().end()) return;
    it->second.list->state_->ToggleFolderExpanded(it->second.row->GetPath());
    it->second.list->PostFoldersChanged();
}

void VideoFoldersList::AddFolder() {
    std::wstring path;
    if (!Chooser()(this, path)) return;
    try {
        if (!StoreKeepsPath(path) || !state_->ShareFolder(path))
            ShowUiError(this, "The folder " + ToUiText(path) + " could not be shared.");
    } catch (const std::exception& e) {
        ShowUiError(this, wxString::FromUTF8(e.what()));
    }
    PostFoldersChanged();
}

void VideoFoldersList::RemoveSelectedFolder() {
    if (selectedRowId_ == -1) return;
    const auto it = Rows().find(selectedRowId_);
    if (it == Rows().end()) return;
    const RowInfo info = it->second;
    const wxString question = "Are you sure you wish to stop sharing \"" + ToUiText(info.Alias) + "\"?";
    if (!AskYesNo(this, question, "Confirm") || info.Alias.empty()) return;
    try {
        state_->RemoveFolder(info.Alias);
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Removing a shared folder failed: ") + e.what());
        ShowUiError(this, "The folder " + ToUiText(info.Alias) + " could not be removed: " +
                              wxString::FromUTF8(e.what()));
    }
    PostFoldersChanged();
}

wxString ShareDroppedFolders(State* state, const wxArrayString& paths) {
    wxString refused;
    for (const wxString& dropped : paths) {
        const std::wstring path = FromToolkitFileName(dropped);
        bool shared = false;
        try {
            shared = StoreKeepsPath(path) && state->ShareExistingFolder(path);
        } catch (const std::exception& e) {
            KIV_LOG(std::string("Sharing a dropped folder failed: ") + e.what());
        }
        if (!shared) refused += "\n" + ToUiText(path);
    }
    return refused.empty() ? refused : "These could not be shared:" + refused;
}

void VideoFoldersList::OnFilesDropped(wxWindow* userData, const wxArrayString& paths) {
    VideoFoldersList* list = wxDynamicCast(userData, VideoFoldersList);
    if (!list) return;
    KIV_LOG("VideoFoldersList drop detected");
    const wxString refused = ShareDroppedFolders(list->state_, paths);
    list->PostFoldersChanged();
    if (!refused.empty()) ShowUiError(list, refused);
}
