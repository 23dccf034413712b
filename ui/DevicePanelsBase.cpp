#include "ui/DevicePanelsBase.h"

#include <wx/button.h>
#include <wx/scrolwin.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include "ui/UiCommon.h"


EnterDigitsPnlBase::EnterDigitsPnlBase(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                                       long style)
    : wxPanel(parent, id, pos, size, style) {
    SetBackgroundColour(wxColour(255, 255, 255));
    wxBoxSizer* sizer = new wxBoxSizer(wxVERTICAL);

    m_title = new wxStaticText(this, wxID_ANY, "Add Device");
    m_title->SetFont(BoldGuiFont());
    m_title->SetForegroundColour(wxColour(127, 127, 127));
    sizer->Add(m_title, 0, wxTOP | wxLEFT, 20);

    wxStaticBoxSizer* box = new wxStaticBoxSizer(new wxStaticBox(this, wxID_ANY, wxEmptyString), wxVERTICAL);
    m_prompt = new wxStaticText(box->GetStaticBox(), wxID_ANY,
                                "Please enter the passcode displayed on your Device to allow it to stream videos",
                                wxDefaultPosition, wxDefaultSize, wxALIGN_CENTRE_HORIZONTAL);
    m_prompt->Wrap(300);
    // Its least size is the wrapped text's, not the one line it was made with.
    m_prompt->SetMinSize(wxDefaultSize);
    m_prompt->InvalidateBestSize();
    box->Add(m_prompt, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 15);
    wxBoxSizer* row = new wxBoxSizer(wxHORIZONTAL);
    for (wxStaticBitmap*& digit : m_digits) {
        digit = new wxStaticBitmap(box->GetStaticBox(), wxID_ANY, wxNullBitmap, wxDefaultPosition, wxSize(40, 48));
        row->Add(digit, 0, wxALL, 5);
    }
    box->Add(row, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 15);
    sizer->Add(box, 0, wxEXPAND | wxALL, 20);

    m_inner = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                   wxHSCROLL | wxVSCROLL | wxBORDER_NONE | wxWANTS_CHARS);
    m_inner->SetScrollRate(5, 5);
    sizer->Add(m_inner, 1, wxEXPAND, 0);
    SetSizer(sizer);
    Layout();

    Bind(wxEVT_CHAR, &EnterDigitsPnlBase::CallOnChar, this);
    m_inner->Bind(wxEVT_CHAR, &EnterDigitsPnlBase::CallOnInnerPanelChar, this);
}

EnterDigitsPnlBase::~EnterDigitsPnlBase() {
    Unbind(wxEVT_CHAR, &EnterDigitsPnlBase::CallOnChar, this);
    m_inner->Unbind(wxEVT_CHAR, &EnterDigitsPnlBase::CallOnInnerPanelChar, this);
}

AuthorizedPnlBase::AuthorizedPnlBase(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                                     long style)
    : wxPanel(parent, id, pos, size, style) {
    SetBackgroundColour(wxColour(255, 255, 255));
    wxBoxSizer* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->AddStretchSpacer(1);

    m_title = new wxStaticText(this, wxID_ANY, "Unknown Device");
    m_title->SetFont(wxFont(12, wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_BOLD));
    sizer->Add(m_title, 0, wxALL, 5);

    wxBoxSizer* row = new wxBoxSizer(wxHORIZONTAL);
    wxBoxSizer* pictureSizer = new wxBoxSizer(wxVERTICAL);
    m_picture = new wxStaticBitmap(this, wxID_ANY, wxNullBitmap, wxDefaultPosition, wxSize(96, 128));
    pictureSizer->Add(m_picture, 0, wxALIGN_RIGHT | wxALL, 5);
    row->Add(pictureSizer, 1, wxEXPAND, 0);

    wxBoxSizer* factsSizer = new wxBoxSizer(wxVERTICAL);
    wxFlexGridSizer* grid = new wxFlexGridSizer(2, 0, 0);
    grid->SetFlexibleDirection(wxBOTH);
    auto addLabel = [&](const char* text) {
        wxStaticText* label = new wxStaticText(this, wxID_ANY, text);
        label->SetFont(BoldGuiFont());
        grid->Add(label, 0, wxALIGN_RIGHT | wxALL, 5);
    };
    addLabel("Name:");
    m_name = new wxStaticText(this, wxID_ANY, "?");
    grid->Add(m_name, 0, wxALL, 5);
    addLabel("Software Version:");
    m_version = new wxStaticText(this, wxID_ANY, "?");
    grid->Add(m_version, 0, wxALL, 5);
    addLabel("Status:");
    wxBoxSizer* statusRow = new wxBoxSizer(wxHORIZONTAL);
    m_statusImage = new wxStaticBitmap(this, wxID_ANY, wxNullBitmap, wxDefaultPosition, wxSize(12, 12));
    statusRow->Add(m_statusImage, 0, wxALL | wxALIGN_CENTER_VERTICAL, 5);
    m_status = new wxStaticText(this, wxID_ANY, "?");
    statusRow->Add(m_status, 0, wxALL | wxALIGN_CENTER_VERTICAL, 5);
    grid->Add(statusRow, 1, wxEXPAND, 0);
    factsSizer->Add(grid, 0, 0, 0);
    row->Add(factsSizer, 1, wxEXPAND, 0);
    sizer->Add(row, 0, wxEXPAND, 0);

    wxBoxSizer* buttonRow = new wxBoxSizer(wxHORIZONTAL);
    buttonRow->AddStretchSpacer(1);
    m_unauthorize = new wxButton(this, wxID_ANY, "Unauthorize");
    buttonRow->Add(m_unauthorize, 0, wxALL, 5);
    buttonRow->AddStretchSpacer(1);
    sizer->Add(buttonRow, 0, wxEXPAND, 0);
    sizer->AddStretchSpacer(2);
    SetSizer(sizer);
    Layout();

    m_unauthorize->Bind(wxEVT_BUTTON, &AuthorizedPnlBase::CallOnUnauthorizeClick, this);
}

AuthorizedPnlBase::~AuthorizedPnlBase() {
    m_unauthorize->Unbind(wxEVT_BUTTON, &AuthorizedPnlBase::CallOnUnauthorizeClick, this);
}
