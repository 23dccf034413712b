#include "ui/VideoFoldersList.h"

#include <exception>
#include <list>
#include <map>
#include <vector>

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
    GenericEntry* row = nullptr;
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
}

void VideoFoldersScroller::AddFolder() { list_->AddFolder(); }

void VideoFoldersScroller::RemoveSelectedFolder() { list_->RemoveSelectedFolder(); }

wxIMPLEMENT_CLASS(VideoFoldersList, wxPanel);

wxBEGIN_EVENT_TABLE(VideoFoldersList, wxPanel)
    EVT_COMMAND(wxID_ANY, EVT_FOLDERS_CHANGED, VideoFoldersList::OnFoldersChanged)
wxEND_EVENT_TABLE()

VideoFoldersList::VideoFoldersList(VideoFoldersScroller* parent, State* state)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxBORDER_NONE), state_(state) {
    SetBackgroundColour(*wxWHITE);
    SetDropTarget(new MyFileDropTarget(&VideoFoldersList::OnFilesDropped, this));
    sizer_ = new wxBoxSizer(wxVERTICAL);
    SetSizer(sizer_);
    PostFoldersChanged();
}

VideoFoldersList::~VideoFoldersList() {
    ModalScope::Forget(this);
    for (auto it = Rows().begin(); it != Rows().end();) {
        if (it->second.list == this) it = Rows().erase(it);
        else ++it;
    }
    // The rows go first to last: the toolkit's own deletion of the children checks, for every child,
    // the whole list of those left, which for thousands of rows held up a quit.
    sizer_->Clear(true);
    rows_.clear();
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

// The rows that stand for the same as before at the top and at the bottom keep their windows; only the
// ones between them go or come (an expansion adds just the folder's contents). Every row then takes its
// id, its place's colour, its expander and its selection from the tree, each redrawn only if changed.
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
    for (size_t i = top; i < goneEnd; ++i) {
        sizer_->Detach(static_cast<int>(top));
        rows_[i]->Destroy();
    }
    rows_.erase(rows_.begin() + top, rows_.begin() + goneEnd);
    const size_t newEnd = keys.size() - bottom;
    std::vector<GenericEntry*> added;
    added.reserve(newEnd - top);
    for (size_t i = top; i < newEnd; ++i) {
        added.push_back(MakeRow(tree[i], keys[i], static_cast<int>(i)));
        sizer_->Insert(i, added.back(), 0, wxEXPAND, 0);
    }
    rows_.insert(rows_.begin() + top, added.begin(), added.end());
    keys_.swap(keys);
    const bool placesChanged = goneEnd > top || newEnd > top;

    Rows().clear();
    size_t index = 0;
    for (const FolderTreeRow& row : tree) {
        GenericEntry* entry = rows_[index];
        entry->SetUserData(static_cast<int>(index));
        entry->SetNormalColour(FolderRowColour(index % 2 == 1));
        if (FolderListEntry* folder = wxDynamicCast(entry, FolderListEntry)) folder->SetExpanded(row.Expanded);
        RowInfo info;
        info.list = this;
        info.Alias = row.Alias;
        info.Path = row.Path;
        info.row = entry;
        Rows()[static_cast<int>(index)] = info;
        ++index;
    }
    ApplySelection();
    if (placesChanged) {
        Layout();
        if (wxScrolledWindow* scroller = wxDynamicCast(GetParent(), wxScrolledWindow)) scroller->FitInside();
    }
}

GenericEntry* VideoFoldersList::MakeRow(const FolderTreeRow& row, const RowKey& key, int rowId) {
    const bool selected = row.Path == selectedPath_;
    const bool odd = rowId % 2 == 1;
    GenericEntry* entry = nullptr;
    if (row.IsFolder) {
        entry = new FolderListEntry(this, key.Label, row.Path, selected, row.Expanded, odd, row.Depth,
                                    &VideoFoldersList::OnRowClick, rowId, &VideoFoldersList::OnExpanderClick, rowId);
    } else {
        entry = new FileEntry(this, key.Label, row.Path, selected, odd, row.Depth, &VideoFoldersList::OnRowClick, rowId);
    }
    // A drop on any row counts as a drop on the list.
    entry->SetDropTarget(new MyFileDropTarget(&VideoFoldersList::OnFilesDropped, this));
    return entry;
}

void VideoFoldersList::ApplySelection() {
    selectedRowId_ = -1;
    for (size_t i = 0; i < rows_.size(); ++i) {
        const bool selected = keys_[i].Path == selectedPath_;
        rows_[i]->SetSelected(selected);
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
