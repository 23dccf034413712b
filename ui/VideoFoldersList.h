// The shared-folder list: the scrolled container the main window shows for "Video Folders", and the
// panel of rows inside it. The list keeps no folder data: every rebuild asks the state store.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <wx/panel.h>
#include <wx/scrolwin.h>

class GenericEntry;
class wxBoxSizer;
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
    // The rows on screen, top to bottom.
    const std::vector<GenericEntry*>& GetRows() const { return rows_; }

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
    void RebuildRows();
    GenericEntry* MakeRow(const FolderTreeRow& row, const RowKey& key, int rowId);
    // Highlights the rows of the selected path and finds the selected shared folder's row.
    void ApplySelection();

    State* state_;
    wxBoxSizer* sizer_;
    int selectedRowId_ = -1;
    std::wstring selectedPath_;
    std::vector<GenericEntry*> rows_;
    std::vector<RowKey> keys_;

    wxDECLARE_CLASS(VideoFoldersList);
    wxDECLARE_EVENT_TABLE();
};
