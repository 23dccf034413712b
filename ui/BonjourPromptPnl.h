// The prompt shown when the DNS-SD service is missing: what it is for, where to learn how to start it,
// and a box to never be told again.
#pragma once

#include <wx/panel.h>

class State;
class wxButton;
class wxCheckBox;
class wxHyperlinkCtrl;
class wxStaticText;

// The prompt's controls and the connection of its one button.
class BonjourPromptPnlBase : public wxPanel {
public:
    BonjourPromptPnlBase(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
                         const wxSize& size = wxSize(321, 169), long style = wxTAB_TRAVERSAL);
    ~BonjourPromptPnlBase() override;

protected:
    virtual void OnOkClick(wxCommandEvent& event) { event.Skip(); }

    wxStaticText* m_explanation;
    wxHyperlinkCtrl* m_link;
    wxCheckBox* m_doNotShow;
    wxButton* m_ok;
};

class BonjourPromptPnl : public BonjourPromptPnlBase {
public:
    // state is not owned.
    BonjourPromptPnl(wxWindow* parent, State* state);

    wxCheckBox* GetDoNotShowBox() const { return m_doNotShow; }
    wxButton* GetOkButton() const { return m_ok; }
    wxHyperlinkCtrl* GetLink() const { return m_link; }

protected:
    void OnOkClick(wxCommandEvent& event) override;

private:
    State* state_;
};
