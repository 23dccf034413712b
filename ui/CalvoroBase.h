// Layout of the main window: side bar, content area and bottom bar; controls only, with virtual
// handlers that pass events on.
#pragma once

#include <wx/frame.h>

class wxBoxSizer;
class wxPanel;
class wxScrolledWindow;
class wxStaticBitmap;
class wxStaticText;

class CalvoroBase : public wxFrame {
public:
    CalvoroBase(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos, const wxSize& size,
                long style);
    ~CalvoroBase() override;

protected:
    virtual void OnChar(wxKeyEvent& event) { event.Skip(); }
    virtual void OnKeyDown(wxKeyEvent& event) { event.Skip(); }
    virtual void OnBottomBarChar(wxKeyEvent& event) { event.Skip(); }
    virtual void OnAddFolderClick(wxMouseEvent& event) { event.Skip(); }
    virtual void OnRemoveFolderClick(wxMouseEvent& event) { event.Skip(); }

    wxScrolledWindow* m_sideBar;
    wxBoxSizer* m_sideBarSizer;
    wxStaticBitmap* m_libraryHeader;
    wxBoxSizer* m_librarySection;
    wxStaticBitmap* m_devicesHeader;
    wxBoxSizer* m_devicesSection;
    wxBoxSizer* m_contentSizer;
    wxPanel* m_bottomBar;
    wxStaticBitmap* m_plus;
    wxStaticBitmap* m_minus;
    wxStaticText* m_hint;

private:
    void CallOnChar(wxKeyEvent& event) { OnChar(event); }
    void CallOnKeyDown(wxKeyEvent& event) { OnKeyDown(event); }
    void CallOnBottomBarChar(wxKeyEvent& event) { OnBottomBarChar(event); }
    void CallOnAddFolderClick(wxMouseEvent& event) { OnAddFolderClick(event); }
    void CallOnRemoveFolderClick(wxMouseEvent& event) { OnRemoveFolderClick(event); }
};
