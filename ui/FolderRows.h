// The rows of the shared-folder list: a folder (with its expander and pop-up menu) or a video file.
#pragma once

#include <string>

#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/gdicmn.h>
#include <wx/object.h>

#include "ui/SideBarEntry.h"

class wxDC;
class wxWindow;

// A row is no window: the list it belongs to draws it and passes it the clicks that land on it. A
// folder of thousands of videos makes thousands of rows, and the toolkit's cost of making and taking
// apart a window grows with the number of its siblings (a quit with 2,000 row windows took 100 ms).
// Coordinates are the row's own: (0, 0) is its top left corner.
class GenericEntry : public wxObject {
public:
    // parent: the window the row is drawn in (its list); it measures the label. expanderPath empty: no
    // expander image.
    GenericEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, const std::wstring& iconPath,
                 const wxColour& selectedColour, const wxColour& normalColour, int indentPixels, bool selected,
                 EntryClickCallback rowCallback, int rowUserData, const std::wstring& expanderPath,
                 EntryClickCallback expanderCallback, int expanderUserData);
    GenericEntry(const GenericEntry&) = delete;
    GenericEntry& operator=(const GenericEntry&) = delete;

    std::wstring GetPath() const { return path_; }
    bool IsSelected() const { return selected_; }
    wxString GetLabelText() const { return label_; }
    wxWindow* GetParent() const { return parent_; }
    // What the row needs: as wide as its label ends, as high as its tallest part with its borders. The
    // list gives every row this height and its own width.
    wxSize GetBestSize() const { return best_; }
    // Where the expander image (a file's spacer) is drawn; empty without one.
    wxRect GetExpanderRect() const;
    // The colour the row is painted in: the selected colour or its normal one.
    wxColour GetRowColour() const { return selected_ ? selectedColour_ : normalColour_; }

    // The look changes in place; each is true when the row has to be drawn again.
    bool SetSelected(bool selected);
    bool SetNormalColour(const wxColour& colour);
    // The user data of both callbacks (the row's id, which moves when rows are added above it).
    void SetUserData(int userData);

    // Draws the row into dc filling rect (the row's place in dc's coordinates).
    void Draw(wxDC& dc, const wxRect& rect) const;
    // Left button down at a point of the row: the expander's callback inside the expander, else the
    // row's. A click on a file's spacer image does nothing.
    void OnLeftDown(const wxPoint& at);
    // Right button down; where: the point in the parent's coordinates. Nothing but for a folder.
    virtual void OnRightDown(const wxPoint& where);

protected:
    // True when the image changed.
    bool SetExpanderBitmap(const wxBitmap& bitmap);

private:
    int LabelX() const;
    int IconX() const;

    wxWindow* parent_;
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
    wxSize best_;

    wxDECLARE_CLASS(GenericEntry);
};

class FolderListEntry : public GenericEntry {
public:
    FolderListEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, bool selected, bool expanded,
                    bool odd, int depth, EntryClickCallback rowCallback, int rowUserData,
                    EntryClickCallback expanderCallback, int expanderUserData);

    bool IsExpanded() const { return expanded_; }
    // True when the expander image changed.
    bool SetExpanded(bool expanded);

    // The pop-up menu with its one item, "&Delete", at where.
    void OnRightDown(const wxPoint& where) override;

private:
    void OnDeleteMenu();

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
