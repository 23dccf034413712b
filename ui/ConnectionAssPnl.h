// The connection assistant: the URL that, typed into a device's browser, opens the chosen client
// application and connects it to this server, and a request to have the links e-mailed.
#pragma once

#include <cstdint>
#include <string>

#include <wx/panel.h>

class IState;
class wxButton;
class wxChoice;
class wxStaticText;
class wxTextCtrl;

class ConnectionAssPnlBase : public wxPanel {
public:
    ConnectionAssPnlBase(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
                         const wxSize& size = wxSize(500, 300), long style = wxTAB_TRAVERSAL);
    ~ConnectionAssPnlBase() override;

protected:
    virtual void OnSendClick(wxCommandEvent& event) { event.Skip(); }

    wxStaticText* m_instructions;
    wxChoice* m_appChoice;
    wxTextCtrl* m_urlText;
    wxStaticText* m_emailInstructions;
    wxStaticText* m_emailLabel;
    wxTextCtrl* m_emailText;
    wxButton* m_send;

private:
    void CallOnSendClick(wxCommandEvent& event) { OnSendClick(event); }
};

class ConnectionAssPnl : public ConnectionAssPnlBase {
public:
    // state is not owned. listeningPort: the port the server listens on now, which the URL and the
    // e-mail name; a port changed in the preferences waits for the restart, so the store's may differ.
    ConnectionAssPnl(wxWindow* parent, IState* state, uint32_t listeningPort);
    ~ConnectionAssPnl() override;

    void FillAppChoice();

    wxChoice* GetAppChoice() const { return m_appChoice; }
    wxTextCtrl* GetUrlText() const { return m_urlText; }
    wxTextCtrl* GetEmailText() const { return m_emailText; }
    wxButton* GetSendButton() const { return m_send; }
    const std::string& GetAddressText() const { return address_; }

protected:
    void OnAppChoice(wxCommandEvent& event);
    void OnSendClick(wxCommandEvent& event) override;
    // The IPv4 address of the primary network interface, dotted; false when there is none.
    virtual bool ReadPrimaryAddress(std::string& address);

private:
    IState* state_;
    std::string port_;     // listeningPort in decimal
    std::string address_;  // empty until the first choice, then the address it found (or "Unknown")
};

// The URL for a client application's scheme; empty without a scheme.
std::string ConnectionUrl(const std::string& scheme, const std::string& address, const std::string& port);
