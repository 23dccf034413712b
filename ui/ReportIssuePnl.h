// The issue report: a short description and an optional e-mail address, sent to the master server
// with the server's log.
#pragma once

#include <wx/panel.h>

class IState;
class wxButton;
class wxStaticText;
class wxTextCtrl;

class ReportIssuePnlBase : public wxPanel {
public:
    ReportIssuePnlBase(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
                       const wxSize& size = wxSize(500, 300), long style = wxTAB_TRAVERSAL);
    ~ReportIssuePnlBase() override;

protected:
    virtual void OnSendReportClick(wxCommandEvent& event) { event.Skip(); }

    wxStaticText* m_intro;
    wxStaticText* m_descriptionLabel;
    wxTextCtrl* m_descriptionText;
    wxStaticText* m_emailLabel;
    wxTextCtrl* m_emailText;
    wxButton* m_sendReport;

private:
    void CallOnSendReportClick(wxCommandEvent& event) { OnSendReportClick(event); }
};

class ReportIssuePnl : public ReportIssuePnlBase {
public:
    // state is not owned.
    ReportIssuePnl(wxWindow* parent, IState* state);

    wxTextCtrl* GetDescriptionText() const { return m_descriptionText; }
    wxTextCtrl* GetEmailText() const { return m_emailText; }
    wxButton* GetSendReportButton() const { return m_sendReport; }

protected:
    void OnSendReportClick(wxCommandEvent& event) override;

private:
    IState* state_;
};
