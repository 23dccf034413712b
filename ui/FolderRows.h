// The rows of the shared-folder list: a folder (with its expander and pop-up menu) or a video file.
#pragma once

#include <string>

#include <wx/colour.h>
#include <wx/panel.h>

#include "ui/SideBarEntry.h"

class wxStaticBitmap;
class wxStaticText;

class GenericEntry : public wxPanel {
public:
    // expanderPath empty: no expander image. The look (selection, colours, indent) is fixed here;
    // a change of selection rebuilds the list.
    GenericEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, const std::wstring& iconPath,
                 const wxColour& selectedColour, const wxColour& normalColour, int indentPixels, bool selected,
                 EntryClickCallback rowCallback, int rowUserData, const std::wstring& expanderPath,
                 EntryClickCallback expanderCallback, int expanderUserData);

    std::wstring GetPath() const { return path_; }
    bool IsSelected() const { return selected_; }
    wxString GetLabelText() const;
    wxStaticBitmap* GetExpander() const { return expander_; }

protected:
    wxStaticText* Label() const { return label_; }

private:
    void OnLeftDown(wxMouseEvent& event);
    void OnExpanderLeftDown(wxMouseEvent& event);

    std::wstring path_;
    bool selected_;
    EntryClickCallback rowCallback_;
    int rowUserData_;
    EntryClickCallback expanderCallback_;
    int expanderUserData_;
    wxStaticBitmap* expander_ = nullptr;
    wxStaticBitmap* icon_ = nullptr;
    wxStaticText* label_ = nullptr;
};

class FolderListEntry : public GenericEntry {
public:
    FolderListEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, bool selected, bool expanded,
                    bool odd, int depth, EntryClickCallback rowCallback, int rowUserData,
                    EntryClickCallback expanderCallback, int expanderUserData);

private:
    void OnRightDown(wxMouseEvent& event);
    void OnDeleteMenu(wxCommandEvent& event);

    wxDECLARE_CLASS(FolderListEntry);
};

class FileEntry : public GenericEntry {
public:
    FileEntry(wxWindow* parent, const std::wstring& label, const std::wstring& path, bool selected, bool odd, int depth,
              EntryClickCallback rowCallback, int rowUserData);
};
