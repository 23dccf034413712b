#include "ui/CalvoroBase.h"

#include <wx/panel.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

CalvoroBase::CalvoroBase(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos,
                         const wxSize& size, long style)
    : wxFrame(parent, id, title, pos, size, style, "frame") {
    SetBackgroundColour(wxColour(190, 190, 190));
    wxBoxSizer* frameSizer = new wxBoxSizer(wxVERTICAL);

    wxBoxSizer* upperRow = new wxBoxSizer(wxHORIZONTAL);
    m_sideBar = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxVSCROLL);
    m_sideBar->SetScrollRate(5, 5);
    m_sideBar->SetBackgroundColour(wxColour(218, 223, 232));
    m_sideBar->SetMinSize(wxSize(200, -1));
    m_sideBarSizer = new wxBoxSizer(wxVERTICAL);
    m_sideBarSizer->SetMinSize(wxSize(200, -1));
    // Each section: its header image, then its entries in a row of their own.
    auto addSection = [this](wxStaticBitmap*& header, wxBoxSizer*& section, int proportion) {
        header = new wxStaticBitmap(m_sideBar, wxID_ANY, wxNullBitmap, wxDefaultPosition, wxSize(190, 18));
        m_sideBarSizer->Add(header, 0, wxALL, 5);
        wxBoxSizer* row = new wxBoxSizer(wxHORIZONTAL);
        section = new wxBoxSizer(wxVERTICAL);
        row->Add(section, 1, wxEXPAND, 0);
        m_sideBarSizer->Add(row, proportion, wxEXPAND, 0);
    };
    addSection(m_libraryHeader, m_librarySection, 0);
    addSection(m_devicesHeader, m_devicesSection, 1);
    m_sideBar->SetSizer(m_sideBarSizer);
    upperRow->Add(m_sideBar, 0, wxEXPAND | wxALL, 1);

    m_contentSizer = new wxBoxSizer(wxVERTICAL);
    upperRow->Add(m_contentSizer, 1, wxEXPAND, 0);
    frameSizer->Add(upperRow, 1, wxEXPAND, 0);

    m_bottomBar = new wxPanel(this, wxID_ANY);
    m_bottomBar->SetBackgroundColour(wxColour(200, 200, 200));
    wxBoxSizer* bottomSizer = new wxBoxSizer(wxHORIZONTAL);
    bottomSizer->AddSpacer(5);
    m_plus = new wxStaticBitmap(m_bottomBar, wxID_ANY, wxNullBitmap, wxDefaultPosition, wxSize(22, 22));
    bottomSizer->Add(m_plus, 0, wxALL, 3);
    m_minus = new wxStaticBitmap(m_bottomBar, wxID_ANY, wxNullBitmap, wxDefaultPosition, wxSize(22, 22));
    bottomSizer->Add(m_minus, 0, wxALL, 3);
    bottomSizer->AddStretchSpacer(1);
    m_hint = new wxStaticText(m_bottomBar, wxID_ANY, "Drag folders into \"Video Folders\" to share them");
    bottomSizer->Add(m_hint, 0, wxALL | wxALIGN_CENTER_VERTICAL, 5);
    m_bottomBar->SetSizer(bottomSizer);
    frameSizer->Add(m_bottomBar, 0, wxEXPAND, 0);

    SetSizer(frameSizer);
    Layout();

    Bind(wxEVT_CHAR, &CalvoroBase::CallOnChar, this);
    Bind(wxEVT_KEY_DOWN, &CalvoroBase::CallOnKeyDown, this);
    m_bottomBar->Bind(wxEVT_CHAR, &CalvoroBase::CallOnBottomBarChar, this);
    m_plus->Bind(wxEVT_LEFT_DOWN, &CalvoroBase::CallOnAddFolderClick, this);
    m_minus->Bind(wxEVT_LEFT_DOWN, &CalvoroBase::CallOnRemoveFolderClick, this);
}

CalvoroBase::~CalvoroBase() {
    Unbind(wxEVT_CHAR, &CalvoroBase::CallOnChar, this);
    Unbind(wxEVT_KEY_DOWN, &CalvoroBase::CallOnKeyDown, this);
    m_bottomBar->Unbind(wxEVT_CHAR, &CalvoroBase::CallOnBottomBarChar, this);
    m_plus->Unbind(wxEVT_LEFT_DOWN, &CalvoroBase::CallOnAddFolderClick, this);
    m_minus->Unbind(wxEVT_LEFT_DOWN, &CalvoroBase::CallOnRemoveFolderClick, this);
}
