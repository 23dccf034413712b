// Layout of the two device panels: controls only, with virtual handlers that pass events on.
#pragma once

#include <wx/panel.h>

class wxButton;
class wxScrolledWindow;
class wxStaticBitmap;
class wxStaticText;

class EnterDigitsPnlBase : public wxPanel {
public:
    EnterDigitsPnlBase(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size, long style);
    ~EnterDigitsPnlBase() override;

protected:
    virtual void OnChar(wxKeyEvent& event) { event.Skip(); }
    virtual void OnInnerPanelChar(wxKeyEvent& event) { event.Skip(); }

    wxStaticText* m_title;
    wxStaticText* m_prompt;
    wxStaticBitmap* m_digits[4];
    wxScrolledWindow* m_inner;

private:
    void CallOnChar(wxKeyEvent& event) { OnChar(event); }
    void CallOnInnerPanelChar(wxKeyEvent& event) { OnInnerPanelChar(event); }
};

class AuthorizedPnlBase : public wxPanel {
public:
    AuthorizedPnlBase(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size, long style);
    ~AuthorizedPnlBase() override;

protected:
    virtual void OnUnauthorizeClick(wxCommandEvent& event) { event.Skip(); }

    wxStaticText* m_title;
    wxStaticBitmap* m_picture;
    wxStaticText* m_name;
    wxStaticText* m_version;
    wxStaticBitmap* m_statusImage;
    wxStaticText* m_status;
    wxButton* m_unauthorize;

private:
    void CallOnUnauthorizeClick(wxCommandEvent& event) { OnUnauthorizeClick(event); }
};
