// The rows of the shared-folder list: a folder (with its expander and pop-up menu) or a video file.
#pragma once

#include <string>

#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/panel.h>

#include "ui/SideBarEntry.h"

class wxPaintEvent;

// One row is one window that draws its own expander, icon and label: a folder of thousands of videos
// makes thousands of rows, and a window per image and label (each with its own style) made opening,
// changing and closing such a list take seconds.
class GenericEntry : public wxPanel {
public:
    // expanderPath empty: no expander image.
    GenericEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, const std::wstring& iconPath,
                 const wxColour& selectedColour, const wxColour& normalColour, int indentPixels, bool selected,
                 EntryClickCallback rowCallback, int rowUserData, const std::wstring& expanderPath,
                 EntryClickCallback expanderCallback, int expanderUserData);

    std::wstring GetPath() const { return path_; }
    bool IsSelected() const { return selected_; }
    wxString GetLabelText() const { return label_; }
    // Where the expander image (a file's spacer) is drawn, in the row's coordinates; empty without one.
    wxRect GetExpanderRect() const;
    // The colour the row is painted in: the selected colour or its normal one.
    wxColour GetRowColour() const { return selected_ ? selectedColour_ : normalColour_; }

    // The look changes in place, without a new row; each repaints the row only when it changed.
    void SetSelected(bool selected);
    void SetNormalColour(const wxColour& colour);
    // The user data of both callbacks (the row's id, which moves when rows are added above it).
    void SetUserData(int userData);

protected:
    void SetExpanderBitmap(const wxBitmap& bitmap);
    wxSize DoGetBestSize() const override;

private:
    void OnPaint(wxPaintEvent& event);
    void OnLeftDown(wxMouseEvent& event);
    int LabelX() const;

    wxString label_;
    std::wstring path_;
    wxBitmap icon_;
    wxBitmap expander_;
    bool hasExpander_;
    int indent_;
    bool selected_;
    wxColour selectedColour_;
    wxColour normalColour_;
    EntryClickCallback rowCallback_;
    int rowUserData_;
    EntryClickCallback expanderCallback_;
    int expanderUserData_;

    wxDECLARE_CLASS(GenericEntry);
};

class FolderListEntry : public GenericEntry {
public:
    FolderListEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, bool selected, bool expanded,
                    bool odd, int depth, EntryClickCallback rowCallback, int rowUserData,
                    EntryClickCallback expanderCallback, int expanderUserData);

    bool IsExpanded() const { return expanded_; }
    void SetExpanded(bool expanded);

private:
    void OnRightDown(wxMouseEvent& event);
    void OnDeleteMenu(wxCommandEvent& event);

    bool expanded_;

    wxDECLARE_CLASS(FolderListEntry);
};

class FileEntry : public GenericEntry {
public:
    FileEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, bool selected, bool odd, int depth,
              EntryClickCallback rowCallback, int rowUserData);
};

// The normal background of the row at a place of the list: rows alternate from the top.
wxColour FolderRowColour(bool odd);
