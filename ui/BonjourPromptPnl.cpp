#include "ui/BonjourPromptPnl.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/dialog.h>
#include <wx/hyperlink.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include "core/State.h"
#include "ui/UiCommon.h"

namespace {

const int kLinkId = 1000;
const int kCheckBoxId = 1001;
const int kTextWidth = 321;
const char kHelpPage[] = "https://www.calvoro.invalid/help/dns-sd";

}  // namespace

BonjourPromptPnlBase::BonjourPromptPnlBase(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                                           long style)
    : wxPanel(parent, id, pos, size, style) {
    wxBoxSizer* top = new wxBoxSizer(wxVERTICAL);

    wxBoxSizer* group = new wxBoxSizer(wxVERTICAL);
    group->SetMinSize(wxSize(-1, 50));
    m_explanation = new MeasuredText(
        this,
        "The Avahi service (avahi-daemon) does not seem to be running. If you are having issues connecting your "
        "device to the server please install and start avahi-daemon as the page below describes and then "
        "restart the server.",
        kTextWidth, 50, wxALIGN_CENTER_HORIZONTAL);
    m_explanation->SetMaxSize(wxSize(kTextWidth, -1));
    group->Add(m_explanation, 0, wxALL, 15);
    top->Add(group, 1, wxEXPAND, 5);

    m_link = new wxHyperlinkCtrl(this, kLinkId, "Starting the Avahi DNS-SD service", kHelpPage, wxDefaultPosition,
                                 wxDefaultSize, wxHL_ALIGN_LEFT | wxNO_BORDER | wxHL_CONTEXTMENU);
    top->Add(m_link, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 5);

    wxBoxSizer* row = new wxBoxSizer(wxHORIZONTAL);
    m_doNotShow = new wxCheckBox(this, kCheckBoxId, "Don't tell me about this ever again");
    row->Add(m_doNotShow, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    row->AddStretchSpacer();
    // Not wxID_OK: the dialog's close box and Escape "click" a button of that id, and closing must
    // store nothing.
    m_ok = new wxButton(this, wxID_ANY, "OK");
    m_ok->SetDefault();
    row->Add(m_ok, 0, wxALL, 5);
    top->Add(row, 0, wxEXPAND, 5);

    SetSizer(top);
    // The built size is the least: the dialog is fitted to the panel, which must hold all its controls.
    KeepBuiltSizeAsLeast(this, size);
    m_ok->Bind(wxEVT_BUTTON, &BonjourPromptPnlBase::OnOkClick, this);
}

BonjourPromptPnlBase::~BonjourPromptPnlBase() { m_ok->Unbind(wxEVT_BUTTON, &BonjourPromptPnlBase::OnOkClick, this); }

BonjourPromptPnl::BonjourPromptPnl(wxWindow* parent, State* state) : BonjourPromptPnlBase(parent), state_(state) {
    // With the focus on the link, Enter would open the link; on the box it presses the default "OK".
    m_doNotShow->SetFocus();
}

void BonjourPromptPnl::OnOkClick(wxCommandEvent&) {
    if (state_) {
        state_->SetDoNotShowBonjourLink(m_doNotShow->GetValue());
        state_->Save();
    }
    if (wxDialog* dialog = wxDynamicCast(wxGetTopLevelParent(this), wxDialog)) {
        if (dialog->IsModal()) dialog->EndModal(0);
    }
}
