// The drop target of the folder list, its rows and the side bar's "Video Folders" entry.
#pragma once

#include <wx/dnd.h>

class wxWindow;

// Called with the target's user data and the dropped paths.
typedef void (*FileDropCallback)(wxWindow* userData, const wxArrayString& paths);

class MyFileDropTarget : public wxFileDropTarget {
public:
    MyFileDropTarget(FileDropCallback callback, wxWindow* userData);
    bool OnDropFiles(wxCoord x, wxCoord y, const wxArrayString& paths) override;

private:
    FileDropCallback callback_;
    wxWindow* userData_;
};
