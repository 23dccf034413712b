// The shared-folder list: the scrolled container the main window shows for "Video Folders", and the
// panel inside it that draws the rows. The list keeps no folder data: every rebuild asks the state store.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <wx/panel.h>
#include <wx/scrolwin.h>

class GenericEntry;
class MyFileDropTarget;
class State;
struct FolderTreeRow;
class VideoFoldersList;

// Shares every dropped path that names a folder the store can list; the text that tells the user
// which ones could not be shared, empty when all were.
wxString ShareDroppedFolders(State* state, const wxArrayString& paths);

class VideoFoldersScroller : public wxScrolledWindow {
public:
    VideoFoldersScroller(wxWindow* parent, State* state);

    void AddFolder();
    void RemoveSelectedFolder();
    VideoFoldersList* GetList() const { return list_; }

private:
    VideoFoldersList* list_;
};

// The rows are no windows of their own: the list lays them out top to bottom, draws the ones a paint
// asks for and hands each click to the row under it. The list is the scroller's view: as large as what
// the scroller shows, with the rows' extent as its virtual size, and it draws them scrolled.
class VideoFoldersList : public wxPanel {
public:
    // Asks the user for a folder; true with the folder's path (server form), false when cancelled.
    typedef std::function<bool(wxWindow* parent, std::wstring& path)> FolderChooser;

    VideoFoldersList(VideoFoldersScroller* parent, State* state);
    ~VideoFoldersList() override;

    void AddFolder();
    void RemoveSelectedFolder();
    void Rebuild();
    // Queues a rebuild: it runs after the handler that made the change has returned.
    void PostFoldersChanged();

    static void OnRowClick(int rowId);
    static void OnExpanderClick(int rowId);
    static void OnFilesDropped(wxWindow* userData, const wxArrayString& paths);

    // The chooser behind the plus image; the toolkit's directory chooser unless replaced.
    static void SetFolderChooser(FolderChooser chooser);

    int GetSelectedRowId() const { return selectedRowId_; }
    // The rows on screen, top to bottom (owned by the list).
    std::vector<GenericEntry*> GetRows() const;
    size_t GetRowCount() const { return rows_.size(); }
    // Where the row at index lies in the list window, as scrolled now (outside it when scrolled away):
    // as wide as the widest row, at least to the list's right edge, as high as the row.
    wxRect GetRowRect(size_t index) const;
    // The index of the row at a point of the list window; -1 below the last row.
    int RowAt(const wxPoint& at) const;

    // What a row stands for; a row that stands for the same keeps its window across rebuilds.
    struct RowKey {
        bool IsFolder = false;
        int Depth = 0;
        std::wstring Path;
        std::wstring Alias;
        std::wstring Label;
        bool operator==(const RowKey& other) const;
    };

private:
    void OnFoldersChanged(wxCommandEvent& event);
    void OnPaint(wxPaintEvent& event);
    void OnLeftDown(wxMouseEvent& event);
    void OnRightDown(wxMouseEvent& event);
    void RebuildRows();
    std::unique_ptr<GenericEntry> MakeRow(const FolderTreeRow& row, const RowKey& key, int rowId);
    // Highlights the rows of the selected path and finds the selected shared folder's row.
    void ApplySelection();
    // The tops of the rows from the first one changed on, and the list's least size from them.
    void PlaceRows(size_t from);
    void RefreshRow(size_t index);
    // How far the drawing is scrolled: the place in the rows' layout shown at the list's top left.
    wxPoint ScrolledBy() const;
    // The row at a height of the rows' layout; -1 outside them.
    int RowAtHeight(int y) const;

    VideoFoldersScroller* scroller_;
    State* state_;
    int selectedRowId_ = -1;
    std::wstring selectedPath_;
    std::vector<std::unique_ptr<GenericEntry>> rows_;
    std::vector<RowKey> keys_;
    // tops_[i]: where row i begins in the rows' layout; one more entry, where the last row ends.
    std::vector<int> tops_{0};
    int widest_ = 0;

    wxDECLARE_CLASS(VideoFoldersList);
    wxDECLARE_EVENT_TABLE();
};
