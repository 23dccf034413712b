#include "ui/ConnectionAssPnl.h"

#include <iterator>

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statline.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/dialog.h>
#include <wx/toplevel.h>

#include "core/IState.h"
#include "kivlib/kiv_text.h"
#include "network/ExternalDataServiceManager.h"
#include "platform/SystemFacts.h"
#include "ui/MasterServerCall.h"
#include "ui/ModalScope.h"
#include "ui/UiCommon.h"

namespace {

const int kTextWidth = 460;

// The client applications by entry of the choice, and their URL schemes.
const char* const kAppNames[] = {"Select App", "Calvoro", "Ostrevan"};
const char* const kAppSchemes[] = {"", "calvoro", "ostrevan"};

}  // namespace

std::string ConnectionUrl(const std::string& scheme, const std::string& address, const std::string& port) {
    if (scheme.empty()) return std::string();
    return scheme + "://connect/" + address + ":" + port;
}

ConnectionAssPnlBase::ConnectionAssPnlBase(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                                           long style)
    : wxPanel(parent, id, pos, size, style) {
    wxBoxSizer* top = new wxBoxSizer(wxVERTICAL);

    m_instructions = new MeasuredText(
        this,
        "To manually connect to the server enter the following URL into Safari on your iPhone or iPad. \n\n"
        "Please select the iOS application you have installed on your device and then enter the URL into the "
        "Mobile Safari address bar.\n\nOnce entered into Safari press 'Go' to connect.\n",
        kTextWidth);
    top->Add(m_instructions, 0, wxALL, 20);

    wxBoxSizer* urlRow = new wxBoxSizer(wxHORIZONTAL);
    m_appChoice = new wxChoice(this, wxID_ANY);
    urlRow->Add(m_appChoice, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    m_urlText = new wxTextCtrl(this, wxID_ANY, "example", wxDefaultPosition, wxSize(350, -1),
                               wxTE_READONLY | wxTE_CENTRE | wxBORDER_NONE);
    m_urlText->SetFont(BoldGuiFont());
    m_urlText->SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE));
    urlRow->Add(m_urlText, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    top->Add(urlRow, 0, wxLEFT | wxRIGHT, 15);

    top->Add(new wxStaticLine(this, wxID_ANY), 0, wxEXPAND | wxTOP | wxBOTTOM, 15);

    m_emailInstructions = new MeasuredText(
        this, "To email the above links to your device enter your email address and click Send:", kTextWidth);
    top->Add(m_emailInstructions, 0, wxALL, 10);

    wxBoxSizer* emailRow = new wxBoxSizer(wxHORIZONTAL);
    m_emailLabel = new wxStaticText(this, wxID_ANY, "Email:");
    m_emailLabel->SetFont(BoldGuiFont());
    emailRow->Add(m_emailLabel, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    m_emailText = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(300, -1));
    emailRow->Add(m_emailText, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    m_send = new wxButton(this, wxID_ANY, "Send");
    emailRow->Add(m_send, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
    top->Add(emailRow, 0, wxLEFT | wxRIGHT | wxBOTTOM, 5);

    SetSizer(top);
    // The built size is the least: the dialog is fitted to the panel, which must hold all its controls.
    KeepBuiltSizeAsLeast(this, size);
    m_send->Bind(wxEVT_BUTTON, &ConnectionAssPnlBase::CallOnSendClick, this);
}

ConnectionAssPnlBase::~ConnectionAssPnlBase() {
    m_send->Unbind(wxEVT_BUTTON, &ConnectionAssPnlBase::CallOnSendClick, this);
}

ConnectionAssPnl::ConnectionAssPnl(wxWindow* parent, IState* state, uint32_t listeningPort)
    : ConnectionAssPnlBase(parent), state_(state), port_(numstr::ToStr(listeningPort, 10)) {
    FillAppChoice();
}

ConnectionAssPnl::~ConnectionAssPnl() { m_appChoice->Unbind(wxEVT_CHOICE, &ConnectionAssPnl::OnAppChoice, this); }

void ConnectionAssPnl::FillAppChoice() {
    m_appChoice->Clear();
    for (const char* name : kAppNames) m_appChoice->Append(name);
    m_appChoice->Unbind(wxEVT_CHOICE, &ConnectionAssPnl::OnAppChoice, this);
    m_appChoice->Bind(wxEVT_CHOICE, &ConnectionAssPnl::OnAppChoice, this);
    m_appChoice->SetSelection(0);  // raises no event: the address stays unknown until a choice
    m_urlText->SetValue(wxEmptyString);
}

bool ConnectionAssPnl::ReadPrimaryAddress(std::string& address) {
    sysfacts::InterfaceInfo primary;
    if (!sysfacts::ReadPrimaryInterface(primary) || primary.address.empty()) return false;
    address = primary.address;
    return true;
}

void ConnectionAssPnl::OnAppChoice(wxCommandEvent&) {
    address_.clear();
    if (!ReadPrimaryAddress(address_)) address_ = "Unknown";
    const int selection = m_appChoice->GetSelection();
    const std::string scheme = selection > 0 && selection < static_cast<int>(std::size(kAppSchemes)) ? kAppSchemes[selection] : "";
    m_urlText->SetValue(kivm::str_conv(ConnectionUrl(scheme, address_, port_)));
}

void ConnectionAssPnl::OnSendClick(wxCommandEvent&) {
    const std::string email = kivm::ToUTF8Ex(m_emailText->GetValue().ToStdWstring());
    const std::string port = port_;
    const std::string address = address_;
    const bool sent = RunMasterServerCall(this, m_send, state_, [&](ExternalDataServiceManager& manager) {
        manager.SendConnectionAssistEmail(address, port, email);
    });
    if (!sent) return;  // the dialog stays open with what was typed
    // Ask the dialog to close; its modal loop ends once this handler returns.
    if (wxDialog* dialog = wxDynamicCast(wxGetTopLevelParent(this), wxDialog)) dialog->Close();
    // Over the dialog beneath (the preferences), which stays on screen: the assistant's own dialog is
    // going, and a message that belongs to a window going away opens without the focus.
    TellUser(ModalScope::InnermostDialog(),
             "An email has been sent. Open this email on your device and tap the embedded link to connect Calvoro "
             "to your server.",
             "Calvoro", wxOK | wxCENTRE);
}
