#include "ui/ReportIssuePnl.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/dialog.h>
#include <wx/toplevel.h>

#include "kivlib/kiv_text.h"
#include "network/ExternalDataServiceManager.h"
#include "ui/MasterServerCall.h"
#include "ui/UiCommon.h"

ReportIssuePnlBase::ReportIssuePnlBase(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                                       long style)
    : wxPanel(parent, id, pos, size, style) {
    wxBoxSizer* top = new wxBoxSizer(wxVERTICAL);
    m_intro = new wxStaticText(this, wxID_ANY,
                               "If you are having any issues with the Calvoro server please let us know \n"
                               "by entering a short description of the issue\n\n");
    top->Add(m_intro, 0, wxALL, 5);
    m_descriptionLabel = new wxStaticText(this, wxID_ANY, "Description of Issue");
    top->Add(m_descriptionLabel, 0, wxALL, 5);
    m_descriptionText = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(480, 80));
    top->Add(m_descriptionText, 0, wxALL, 5);
    m_emailLabel = new wxStaticText(this, wxID_ANY, "Email (Optional)");
    top->Add(m_emailLabel, 0, wxALL, 5);
    m_emailText = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(480, -1));
    top->Add(m_emailText, 0, wxALL, 5);
    m_sendReport = new wxButton(this, wxID_ANY, "Send Report");
    top->Add(m_sendReport, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 5);

    SetSizer(top);
    KeepBuiltSizeAsLeast(this, size);
    m_sendReport->Bind(wxEVT_BUTTON, &ReportIssuePnlBase::CallOnSendReportClick, this);
}

ReportIssuePnlBase::~ReportIssuePnlBase() {
    m_sendReport->Unbind(wxEVT_BUTTON, &ReportIssuePnlBase::CallOnSendReportClick, this);
}

ReportIssuePnl::ReportIssuePnl(wxWindow* parent, IState* state) : ReportIssuePnlBase(parent), state_(state) {}

void ReportIssuePnl::OnSendReportClick(wxCommandEvent&) {
    const std::string description = kivm::ToUTF8Ex(m_descriptionText->GetValue().ToStdWstring());
    const std::string email = kivm::ToUTF8Ex(m_emailText->GetValue().ToStdWstring());
    const bool sent = RunMasterServerCall(
        this, m_sendReport, state_, [&](ExternalDataServiceManager& manager) { manager.SendReport(description, email); });
    if (!sent) return;  // the dialog stays open with what was typed
    // Ask the dialog to close; its modal loop ends once this handler returns.
    if (wxDialog* dialog = wxDynamicCast(wxGetTopLevelParent(this), wxDialog)) dialog->Close();
}
