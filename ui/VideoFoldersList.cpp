#include "ui/VideoFoldersList.h"

#include <exception>
#include <list>
#include <map>

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
    Layout();
    if (wxScrolledWindow* scroller = wxDynamicCast(GetParent(), wxScrolledWindow)) scroller->FitInside();
    Thaw();
}

void VideoFoldersList::RebuildRows() {
    sizer_->Clear(true);
    Rows().clear();
    selectedRowId_ = -1;

    std::list<FolderTreeRow> tree;
    state_->GetFolderTree(tree);
    int rowId = 0;
    for (const FolderTreeRow& row : tree) {
        const bool selected = row.Path == selectedPath_;
        if (selected && row.Depth == 0) selectedRowId_ = rowId;
        const bool odd = rowId % 2 == 1;
        const std::wstring label = row.Depth == 0 ? row.Path : row.Name;
        GenericEntry* entry = nullptr;
        if (row.IsFolder) {
            entry = new FolderListEntry(this, label, row.Path, selected, row.Expanded, odd, row.Depth,
                                        &VideoFoldersList::OnRowClick, rowId, &VideoFoldersList::OnExpanderClick, rowId);
        } else {
            entry = new FileEntry(this, label, row.Path, selected, odd, row.Depth, &VideoFoldersList::OnRowClick, rowId);
        }
        // A drop on any row counts as a drop on the list.
        entry->SetDropTarget(new MyFileDropTarget(&VideoFoldersList::OnFilesDropped, this));
        sizer_->Add(entry, 0, wxEXPAND, 0);
        RowInfo info;
        info.list = this;
        info.Alias = row.Alias;
        info.Path = row.Path;
        info.row = entry;
        Rows()[rowId] = info;
        ++rowId;
    }
}

std::vector<GenericEntry*> VideoFoldersList::GetRows() const {
    std::vector<GenericEntry*> rows;
    for (wxSizerItem* item : sizer_->GetChildren())
        if (GenericEntry* row = wxDynamicCast(item->GetWindow(), GenericEntry)) rows.push_back(row);
    return rows;
}

void VideoFoldersList::OnRowClick(int rowId) {
    const auto it = Rows().find(rowId);
    if (it == Rows().end()) return;
    it->second.list->selectedPath_ = it->second.Path;
    it->second.list->PostFoldersChanged();
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
