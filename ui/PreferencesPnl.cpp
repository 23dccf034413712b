#include "ui/PreferencesPnl.h"

#include <exception>
#include <utility>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/notebook.h>
#include <wx/sizer.h>
#include <wx/slider.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "core/Log.h"
#include "core/State.h"
#include "core/StateText.h"
#include "kivlib/kiv_text.h"
#include "platform/Autostart.h"
#include "platform/ProgramFolder.h"
#include "ui/ConnectionAssPnl.h"
#include "ui/GenericDialogBase.h"
#include "ui/ModalScope.h"
#include "ui/ReportIssuePnl.h"
#include "ui/UiCommon.h"
#include "ui/WorkerRequests.h"

namespace {

const int kPageBorder = 25;
const int kTextWidth = 420;
const char* const kSliderHeadings[PreferencesPnlBase::SliderCount] = {"SD Streaming", "HD Streaming", "Conversions"};

// A page heading: the normal font in bold.
wxStaticText* NewHeading(wxWindow* page, const wxString& text) {
    MeasuredText* heading = new MeasuredText(page, text);
    heading->SetFont(BoldGuiFont());
    heading->Remeasure();
    return heading;
}

wxStaticText* AddHeading(wxWindow* page, wxSizer* column, const wxString& text, int flags = wxALL) {
    wxStaticText* heading = NewHeading(page, text);
    column->Add(heading, 0, flags, 2);
    return heading;
}

// A text of fixed width that wraps, at least the given height and as tall as its lines need.
wxStaticText* AddWrappedText(wxWindow* page, wxSizer* column, const wxString& text, int height) {
    wxStaticText* label = new MeasuredText(page, text, kTextWidth, height);
    column->Add(label, 0, wxALL, 2);
    return label;
}

// A heading, a text of two lines and the button it is about.
wxButton* AddButtonGroup(wxWindow* page, wxSizer* column, const wxString& heading, const wxString& text,
                         const wxString& label) {
    AddHeading(page, column, heading);
    AddWrappedText(page, column, text, 30);
    wxButton* button = new wxButton(page, wxID_ANY, label);
    column->Add(button, 0, wxALL, 5);
    return button;
}

wxPanel* NewPage(wxNotebook* notebook, wxBoxSizer*& column) {
    wxPanel* page = new wxPanel(notebook, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL);
    column = new wxBoxSizer(wxVERTICAL);
    wxBoxSizer* outer = new wxBoxSizer(wxVERTICAL);
    outer->Add(column, 1, wxEXPAND | wxALL, kPageBorder);
    page->SetSizer(outer);
    return page;
}

const wxEventType kScrollEvents[] = {wxEVT_SCROLL_TOP,      wxEVT_SCROLL_BOTTOM,     wxEVT_SCROLL_LINEUP,
                                     wxEVT_SCROLL_LINEDOWN, wxEVT_SCROLL_PAGEUP,     wxEVT_SCROLL_PAGEDOWN,
                                     wxEVT_SCROLL_THUMBTRACK, wxEVT_SCROLL_THUMBRELEASE, wxEVT_SCROLL_CHANGED};
const wxEventType kWebTextMouseEvents[] = {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_RIGHT_DOWN, wxEVT_RIGHT_UP};

// Binds or unbinds one handler, so the destructor undoes exactly what the constructor did.
template <typename Event>
void Wire(bool on, wxEvtHandler* source, wxEventType type, void (PreferencesPnlBase::*handler)(Event&),
          PreferencesPnlBase* panel) {
    const wxEventTypeTag<Event> tag(type);
    if (on) source->Bind(tag, handler, panel);
    else source->Unbind(tag, handler, panel);
}

// Arrow keys and clicks beside the thumb move a whole step; with a step of 1 every key press would
// snap back to where it was. The toolkit resets the steps with the range, so both are set together.
void SetSliderRange(wxSlider* slider, int min, int max) {
    slider->SetRange(min, max);
    slider->SetLineSize(25);
    slider->SetPageSize(25);
}

PreferencesPnl::FolderChooser& Chooser() {
    static PreferencesPnl::FolderChooser chooser;
    return chooser;
}

bool ChooseWithDialog(wxWindow* parent, std::wstring& path) {
    return ChooseFolder(parent, ToUiText(GetUiString(UiString::ChooseStorageFolder)), path);
}

// The port as typed: decimal digits only (blanks around them allowed), 1 to 65535; 0 otherwise.
uint32_t ReadPort(const wxString& typed) {
    wxString text = typed;
    text.Trim(true).Trim(false);
    if (text.empty() || text.length() > 5) return 0;
    for (const wxUniChar c : text) {
        if (c < '0' || c > '9') return 0;
    }
    const uint32_t port = numstr::ToUint32(text.ToStdString(), 10);
    return port <= 65535 ? port : 0;
}

}  // namespace

PreferencesPnlBase::PreferencesPnlBase(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                                       long style)
    : wxPanel(parent, id, pos, size, style), builtSize_(size) {
    SetBackgroundColour(wxColour(255, 255, 255));
    wxBoxSizer* sizer = new wxBoxSizer(wxVERTICAL);
    m_notebook = new wxNotebook(this, wxID_ANY);
    m_notebook->AddPage(AddGeneralPage(), "General", false);
    m_notebook->AddPage(AddPerformancePage(), "Performance", false);
    m_notebook->AddPage(AddAdvancedPage(), "Advanced", false);
    m_notebook->AddPage(AddSupportPage(), "Support", true);
    sizer->Add(m_notebook, 1, wxEXPAND | wxALL, 5);
    SetSizer(sizer);
    KeepPagesWhole();
    ConnectEvents(true);
}

void PreferencesPnlBase::KeepPagesWhole() {
    // The built size is the least; the dialog is fitted to the panel, which must hold every page.
    KeepBuiltSizeAsLeast(this, builtSize_);
}

PreferencesPnlBase::~PreferencesPnlBase() { ConnectEvents(false); }

void PreferencesPnlBase::OnSliderScroll(wxScrollEvent& event) { event.Skip(); }

wxWindow* PreferencesPnlBase::AddGeneralPage() {
    wxBoxSizer* column = nullptr;
    wxPanel* page = NewPage(m_notebook, column);
    AddHeading(page, column, "Server");
    m_startAtLogin = new wxCheckBox(page, wxID_ANY, "Start at login");
    column->Add(m_startAtLogin, 0, wxALL, 5);
    column->AddSpacer(10);
    AddHeading(page, column, "Internet");
    m_internetAccess = new wxCheckBox(page, wxID_ANY, "Enable access over Internet");
    column->Add(m_internetAccess, 0, wxALL, 5);
    return page;
}

wxWindow* PreferencesPnlBase::AddPerformancePage() {
    wxBoxSizer* column = nullptr;
    wxPanel* page = NewPage(m_notebook, column);
    m_performanceCaption = new MeasuredText(page, "Adjust how many CPU cores are used.", kTextWidth);
    column->Add(m_performanceCaption, 0, wxALL, 2);
    for (int i = 0; i < SliderCount; ++i) {
        column->AddSpacer(6);
        AddHeading(page, column, kSliderHeadings[i], wxLEFT | wxRIGHT | wxTOP);
        wxBoxSizer* row = new wxBoxSizer(wxHORIZONTAL);
        m_sliders[i] = new wxSlider(page, wxID_ANY, 50, 25, 100, wxDefaultPosition, wxSize(250, -1), wxSL_HORIZONTAL);
        SetSliderRange(m_sliders[i], 25, 100);
        row->Add(m_sliders[i], 1, wxALIGN_CENTER_VERTICAL | wxALL, 2);
        m_sliderLabels[i] = new wxStaticText(page, wxID_ANY, "50%", wxDefaultPosition, wxSize(50, -1),
                                             wxALIGN_RIGHT | wxST_NO_AUTORESIZE);
        row->Add(m_sliderLabels[i], 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
        column->Add(row, 0, wxEXPAND, 0);
    }
    AddWrappedText(page, column, " If you are experiencing buffering issues increasing the values may help.", 0);
    return page;
}

// Two columns: headings and check boxes on the left, the port field and "Select" beside their boxes.
wxWindow* PreferencesPnlBase::AddAdvancedPage() {
    wxBoxSizer* column = nullptr;
    wxPanel* page = NewPage(m_notebook, column);
    wxFlexGridSizer* grid = new wxFlexGridSizer(2, 0, 0);
    grid->AddGrowableCol(1);
    const auto row = [grid](wxWindow* left, int border, wxWindow* right = nullptr) {
        grid->Add(left, 0, wxALIGN_CENTER_VERTICAL | wxALL, border);
        if (right) grid->Add(right, 0, wxALIGN_CENTER_VERTICAL | wxALL, 2);
        else grid->AddStretchSpacer();
    };
    const auto heading = [page, &row](const wxString& text) { row(NewHeading(page, text), 2); };
    const auto gap = [grid](int height) {
        grid->Add(0, height);
        grid->Add(0, height);
    };

    heading("Server");
    m_customPort = new wxCheckBox(page, wxID_ANY, "Listen on custom port");
    m_portText = new wxTextCtrl(page, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(80, -1));
    m_portText->SetMaxLength(5);
    m_portText->Enable(false);
    row(m_customPort, 5, m_portText);
    gap(10);

    heading("Internet");
    m_mapPort = new wxCheckBox(page, wxID_ANY, "Automatically map port");
    row(m_mapPort, 5);
    gap(10);

    heading("Storage");
    m_customPath = new wxCheckBox(page, wxID_ANY, "Custom Path");
    m_selectPath = new wxButton(page, wxID_ANY, "Select");
    m_selectPath->Enable(false);
    row(m_customPath, 5, m_selectPath);
    // A long path is shortened in its middle instead of widening the dialog; its tip shows it whole.
    m_txtPath = new wxStaticText(page, wxID_ANY, "[m_txtPath]", wxDefaultPosition, wxDefaultSize,
                                 wxST_ELLIPSIZE_MIDDLE | wxST_NO_AUTORESIZE);
    m_txtPath->SetMinSize(wxSize(300, -1));
    grid->Add(m_txtPath, 0, wxEXPAND | wxALL, 5);
    grid->AddStretchSpacer();
    gap(30);

    heading("Conversions");
    m_showAllConversions = new wxCheckBox(page, wxID_ANY, "Show conversions on all devices");
    row(m_showAllConversions, 5);

    column->Add(grid, 1, wxEXPAND, 0);
    return page;
}

wxWindow* PreferencesPnlBase::AddSupportPage() {
    wxBoxSizer* column = nullptr;
    wxPanel* page = NewPage(m_notebook, column);
    AddHeading(page, column, "Web");
    column->Add(new wxStaticText(page, wxID_ANY, "For help guides and FAQ please see the Calvoro website at "), 0,
                wxALL, 2);
    m_webText = new wxStaticText(page, wxID_ANY, kProductWebPage);
    m_webText->SetForegroundColour(wxColour(0, 19, 255));
    column->Add(m_webText, 0, wxALL, 2);
    column->AddStretchSpacer();

    m_connectionAssistant = AddButtonGroup(
        page, column, "Connection Assistant",
        "For most users connections are automatic, however if you are having problems connecting to the server, "
        "the connection assistant gives a helping hand.",
        "Connection Assistant");
    column->AddStretchSpacer();
    m_sendReport = AddButtonGroup(page, column, "Bugs ",
                                  "If you are experiencing any issues with the Calvoro server or iPhone/ iPad client "
                                  "please let us know by sending a bug report",
                                  "Send Report");
    return page;
}

void PreferencesPnlBase::ConnectEvents(bool on) {
    Wire(on, m_startAtLogin, wxEVT_CHECKBOX, &PreferencesPnlBase::OnStartAtLoginClick, this);
    Wire(on, m_internetAccess, wxEVT_CHECKBOX, &PreferencesPnlBase::OnInternetAccessClick, this);
    for (wxSlider* slider : m_sliders) {
        for (const wxEventType type : kScrollEvents) Wire(on, slider, type, &PreferencesPnlBase::OnSliderScroll, this);
    }
    Wire(on, m_customPort, wxEVT_CHECKBOX, &PreferencesPnlBase::OnCustomPortClick, this);
    Wire(on, m_portText, wxEVT_TEXT, &PreferencesPnlBase::OnPortText, this);
    Wire(on, m_mapPort, wxEVT_CHECKBOX, &PreferencesPnlBase::OnMapPortClick, this);
    Wire(on, m_customPath, wxEVT_CHECKBOX, &PreferencesPnlBase::OnCustomPathClick, this);
    Wire(on, m_selectPath, wxEVT_BUTTON, &PreferencesPnlBase::OnSelectPathClick, this);
    Wire(on, m_showAllConversions, wxEVT_CHECKBOX, &PreferencesPnlBase::OnShowAllConversionsClick, this);
    for (const wxEventType type : kWebTextMouseEvents)
        Wire(on, m_webText, type, &PreferencesPnlBase::OnWebTextMouse, this);
    Wire(on, m_connectionAssistant, wxEVT_BUTTON, &PreferencesPnlBase::OnConnectionAssistantClick, this);
    Wire(on, m_sendReport, wxEVT_BUTTON, &PreferencesPnlBase::OnSendReportClick, this);
}

// ---- PreferencesPnl

PreferencesPnl::PreferencesPnl(wxWindow* parent, State* state, IWorkerRequests* worker)
    : PreferencesPnlBase(parent, wxID_ANY, wxDefaultPosition, wxSize(500, 380), wxTAB_TRAVERSAL),
      state_(state),
      worker_(worker),
      portInUse_(state->GetHttpPort()) {
    LoadValues();
}

void PreferencesPnl::SetFolderChooser(FolderChooser chooser) { Chooser() = std::move(chooser); }

wxString PreferencesPnl::CorePercentLabel(int percent) {
    if (percent == 0) return "Low";
    return wxString::Format("%d%%", percent);
}

int PreferencesPnl::SnapCorePercent(int value) {
    // Not the midpoints of the steps: 10 is the first value that rests on 25.
    if (value < 10) return 0;
    if (value <= 36) return 25;
    if (value <= 61) return 50;
    if (value <= 86) return 75;
    return 100;
}

void PreferencesPnl::LoadValues() {
    m_performanceCaption->SetText("Adjust what percentage of your computer resources you would prefer to use.");
    const uint32_t percents[SliderCount] = {state_->GetSDCorePercent(), state_->GetHDCorePercent(),
                                            state_->GetCCorePercent()};
    for (int i = 0; i < SliderCount; ++i) {
        SetSliderRange(m_sliders[i], 0, 100);
        // Shown as stored, without snapping.
        m_sliders[i]->SetValue(static_cast<int>(percents[i]));
        m_sliderLabels[i]->SetLabel(CorePercentLabel(static_cast<int>(percents[i])));
    }
    m_startAtLogin->SetValue(state_->GetStartAtLogin());
    m_internetAccess->SetValue(state_->GetExternalAccess());
    ShowPort();
    m_mapPort->SetValue(state_->GetUpnpEnabled());
    m_customPath->SetValue(!state_->IsDefaultCacheFolder());
    ShowCacheFolder(state_->GetCacheFolder());
    m_showAllConversions->SetValue(state_->GetShowAllConversions());
    UpdateEnabledStates();
    // The caption now takes two lines.
    KeepPagesWhole();
}

void PreferencesPnl::ShowPort() {
    m_customPort->SetValue(!state_->IsDefaultHttpPort());
    m_portText->ChangeValue(numstr::ToStr(state_->GetHttpPort(), 10));
    UpdateEnabledStates();
}

void PreferencesPnl::ShowCacheFolder(const std::wstring& folder) {
    cacheFolder_ = folder;
    m_txtPath->SetLabel(ToUiText(folder));
    m_txtPath->SetToolTip(ToUiText(folder));
}

void PreferencesPnl::UpdateEnabledStates() {
    m_portText->Enable(m_customPort->GetValue());
    m_selectPath->Enable(m_customPath->GetValue());
}

void PreferencesPnl::OnStartAtLoginClick(wxCommandEvent& event) { event.Skip(); }

void PreferencesPnl::OnInternetAccessClick(wxCommandEvent& event) { event.Skip(); }

void PreferencesPnl::OnSliderScroll(wxScrollEvent& event) {
    for (int i = 0; i < SliderCount; ++i) {
        if (event.GetEventObject() != m_sliders[i]) continue;
        const int snapped = SnapCorePercent(m_sliders[i]->GetValue());
        m_sliders[i]->SetValue(snapped);
        m_sliderLabels[i]->SetLabel(CorePercentLabel(snapped));
    }
}

void PreferencesPnl::OnCustomPortClick(wxCommandEvent&) {
    if (!m_customPort->GetValue()) m_portText->ChangeValue(numstr::ToStr(State::kDefaultHttpPort, 10));
    UpdateEnabledStates();
}

void PreferencesPnl::OnPortText(wxCommandEvent& event) { event.Skip(); }

void PreferencesPnl::OnMapPortClick(wxCommandEvent& event) { event.Skip(); }

void PreferencesPnl::OnCustomPathClick(wxCommandEvent&) { UpdateEnabledStates(); }

void PreferencesPnl::OnSelectPathClick(wxCommandEvent&) {
    std::wstring folder;
    const bool chosen = Chooser() ? Chooser()(this, folder) : ChooseWithDialog(this, folder);
    if (!chosen) return;
    // state.xml keeps only valid text: such a folder would come back as another path.
    if (statetext::Stored(folder) != folder) {
        ShowUiError(this, "The folder " + ToUiText(folder) +
                              " cannot hold the cache: its name holds bytes that are not UTF-8, which the state file "
                              "cannot keep.");
        return;
    }
    ShowCacheFolder(folder);
}

void PreferencesPnl::OnShowAllConversionsClick(wxCommandEvent& event) {
    state_->SetShowAllConversions(m_showAllConversions->GetValue());
    event.Skip();
}

bool PreferencesPnl::Apply() {
    if (m_internetAccess->GetValue() != state_->GetExternalAccess()) {
        state_->SetExternalAccess(m_internetAccess->GetValue());
        RequestExternalAccessCheck();
    }
    if (m_startAtLogin->GetValue() != state_->GetStartAtLogin()) {
        state_->SetStartAtLogin(m_startAtLogin->GetValue());
        UpdateRunAtLogon();
    }
    if (m_mapPort->GetValue() != state_->GetUpnpEnabled()) {
        state_->SetUpnpEnabled(m_mapPort->GetValue());
        RedoPortMapping();
    }
    state_->SetSDCorePercent(static_cast<uint32_t>(m_sliders[0]->GetValue()));
    state_->SetHDCorePercent(static_cast<uint32_t>(m_sliders[1]->GetValue()));
    state_->SetCCorePercent(static_cast<uint32_t>(m_sliders[2]->GetValue()));
    state_->SetShowAllConversions(m_showAllConversions->GetValue());
    const bool restart = ApplyPort();
    ApplyCacheFolder();
    if (!state_->Save()) Report("The preferences could not be saved to state.xml; they hold until the server ends.");
    return restart;
}

// True when the port changed (it takes effect at the next start).
bool PreferencesPnl::ApplyPort() {
    if (!m_customPort->GetValue()) {
        if (state_->IsDefaultHttpPort()) return false;
        state_->ResetHttpPort();
        return true;
    }
    const uint32_t port = ReadPort(m_portText->GetValue());
    if (port == 0) {
        // The store would keep a port the next start cannot use; the old one stays and shows again.
        const std::string inUse = numstr::ToStr(portInUse_, 10);
        const std::string next = numstr::ToStr(state_->GetHttpPort(), 10);
        Report("The port \"" + m_portText->GetValue().ToStdString(wxConvUTF8) +
               "\" is not a number from 1 to 65535; the server " +
               (next == inUse ? "keeps port " + inUse + "."
                              : "listens on port " + inUse + " until it is restarted, then on port " + next + "."));
        ShowPort();
        return false;
    }
    if (port == state_->GetHttpPort()) return false;
    state_->SetHttpPort(port);
    return true;
}

void PreferencesPnl::ApplyCacheFolder() {
    try {
        if (m_customPath->GetValue()) {
            if (cacheFolder_ != state_->GetCacheFolder()) state_->SetCacheFolder(cacheFolder_);
        } else if (!state_->IsDefaultCacheFolder()) {
            state_->SetDefaultCacheFolder();
        }
    } catch (const std::exception& e) {
        // The old folder stays, and shows again.
        Report(std::string(e.what()) + ": " + kivm::ToValidUtf8(kivm::str_conv(cacheFolder_)));
        m_customPath->SetValue(!state_->IsDefaultCacheFolder());
        UpdateEnabledStates();
    }
    ShowCacheFolder(state_->GetCacheFolder());
}

void PreferencesPnl::UpdateRunAtLogon() {
    const bool on = state_->GetStartAtLogin();
    const std::string problem = on ? Autostart::Enable(ProgramPath()) : Autostart::Disable();
    if (problem.empty()) return;
    Report(problem);
    // The store and the box say what the desktop will do at the next login.
    state_->SetStartAtLogin(!on);
    m_startAtLogin->SetValue(!on);
}

void PreferencesPnl::RequestExternalAccessCheck() {
    if (worker_) worker_->RequestExternalAccessCheck();
}

void PreferencesPnl::RedoPortMapping() {
    if (worker_ && state_->GetUpnpEnabled()) worker_->RedoPortMapping();
}

void PreferencesPnl::Report(const std::string& problem) {
    KIV_LOG(problem);
    problems_.push_back(problem);
}

std::vector<std::string> PreferencesPnl::TakeProblems() {
    std::vector<std::string> problems;
    problems.swap(problems_);
    return problems;
}

namespace {

// A support panel (made by make, in the dialog) in a dialog of its own, shown modally; dialog and panel
// go when this returns.
void ShowSupportDialog(const wxString& title, const std::function<wxWindow*(wxWindow* dialog)>& make) {
    GenericDialogBase dialog(nullptr, wxID_ANY, title);
    wxWindow* panel = make(&dialog);
    dialog.bSizer->Add(panel, 1, 0, 0);
    dialog.Layout();
    dialog.Fit();
    ModalScope scope(&dialog);
    dialog.ShowModal();
}

}  // namespace

void PreferencesPnl::OnConnectionAssistantClick(wxCommandEvent&) {
    // The port the server listens on, not one that waits for the restart.
    ShowSupportDialog("Connection Assistant",
                      [this](wxWindow* dialog) { return new ConnectionAssPnl(dialog, state_, portInUse_); });
}

void PreferencesPnl::OnSendReportClick(wxCommandEvent&) {
    ShowSupportDialog("Send Report", [this](wxWindow* dialog) { return new ReportIssuePnl(dialog, state_); });
}
