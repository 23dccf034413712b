// The preferences: start at login, access over the Internet, the share of the processors streams and
// conversions may use, the HTTP port, automatic port mapping, the cache folder, conversions on all
// devices; its last page opens the connection assistant and the issue report. The panel sits in the
// preferences dialog, which has no OK or Cancel: closing it applies every control, saves and carries
// out the side effects.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <wx/panel.h>

#include "ui/UiCommon.h"

class IWorkerRequests;
class State;
class wxButton;
class wxCheckBox;
class wxNotebook;
class wxScrollEvent;
class wxSlider;
class wxStaticText;
class wxTextCtrl;

// The controls of the four pages and the connection of their events; each handler only skips.
class PreferencesPnlBase : public wxPanel {
public:
    PreferencesPnlBase(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
                       const wxSize& size = wxSize(500, 380), long style = wxTAB_TRAVERSAL);
    ~PreferencesPnlBase() override;

    // The three sliders, in page order: SD streaming, HD streaming, conversions.
    enum { SliderCount = 3 };

protected:
    virtual void OnStartAtLoginClick(wxCommandEvent& event) { event.Skip(); }
    virtual void OnInternetAccessClick(wxCommandEvent& event) { event.Skip(); }
    virtual void OnSliderScroll(wxScrollEvent& event);
    virtual void OnCustomPortClick(wxCommandEvent& event) { event.Skip(); }
    virtual void OnPortText(wxCommandEvent& event) { event.Skip(); }
    virtual void OnMapPortClick(wxCommandEvent& event) { event.Skip(); }
    virtual void OnCustomPathClick(wxCommandEvent& event) { event.Skip(); }
    virtual void OnSelectPathClick(wxCommandEvent& event) { event.Skip(); }
    virtual void OnShowAllConversionsClick(wxCommandEvent& event) { event.Skip(); }
    virtual void OnWebTextMouse(wxMouseEvent& event) { event.Skip(); }
    virtual void OnConnectionAssistantClick(wxCommandEvent& event) { event.Skip(); }
    virtual void OnSendReportClick(wxCommandEvent& event) { event.Skip(); }

    // Makes the panel at least as large as its pages need (and as its built size).
    void KeepPagesWhole();

    wxNotebook* m_notebook;
    // General
    wxCheckBox* m_startAtLogin;
    wxCheckBox* m_internetAccess;
    // Performance
    MeasuredText* m_performanceCaption;
    wxSlider* m_sliders[SliderCount];
    wxStaticText* m_sliderLabels[SliderCount];
    // Advanced
    wxCheckBox* m_customPort;
    wxTextCtrl* m_portText;
    wxCheckBox* m_mapPort;
    wxCheckBox* m_customPath;
    wxButton* m_selectPath;
    wxStaticText* m_txtPath;
    wxCheckBox* m_showAllConversions;
    // Support
    wxStaticText* m_webText;
    wxButton* m_connectionAssistant;
    wxButton* m_sendReport;

private:
    wxSize builtSize_;
    wxWindow* AddGeneralPage();
    wxWindow* AddPerformancePage();
    wxWindow* AddAdvancedPage();
    wxWindow* AddSupportPage();
    void ConnectEvents(bool connect);
};

class PreferencesPnl : public PreferencesPnlBase {
public:
    // Picks a folder for the cache; false when the user cancels. The toolkit's folder chooser unless
    // replaced (tests).
    typedef std::function<bool(wxWindow* parent, std::wstring& path)> FolderChooser;

    // Neither pointer is owned; worker may be null (then the two requests do nothing).
    PreferencesPnl(wxWindow* parent, State* state, IWorkerRequests* worker = nullptr);

    void LoadValues();
    // Writes the controls to the store, carries out the side effects and saves; true when the server
    // must be restarted for a change (the port) to take effect. What could not be applied is logged and
    // kept for TakeProblems.
    bool Apply();
    // What the last Apply could not do, as texts for the user; emptied by the call.
    std::vector<std::string> TakeProblems();
    void UpdateEnabledStates();
    void UpdateRunAtLogon();
    void RequestExternalAccessCheck();
    void RedoPortMapping();

    static void SetFolderChooser(FolderChooser chooser);

    // The value label's text: "Low" for 0, else the value and "%".
    static wxString CorePercentLabel(int percent);
    // Where a moved slider comes to rest: 0, 25, 50, 75 or 100.
    static int SnapCorePercent(int value);

    wxNotebook* GetNotebook() const { return m_notebook; }
    wxCheckBox* GetStartAtLoginBox() const { return m_startAtLogin; }
    wxCheckBox* GetInternetAccessBox() const { return m_internetAccess; }
    wxStaticText* GetPerformanceCaption() const { return m_performanceCaption; }
    wxSlider* GetSlider(int index) const { return m_sliders[index]; }
    wxStaticText* GetSliderLabel(int index) const { return m_sliderLabels[index]; }
    wxCheckBox* GetCustomPortBox() const { return m_customPort; }
    wxTextCtrl* GetPortField() const { return m_portText; }
    wxCheckBox* GetMapPortBox() const { return m_mapPort; }
    wxCheckBox* GetCustomPathBox() const { return m_customPath; }
    wxButton* GetSelectButton() const { return m_selectPath; }
    wxStaticText* GetPathLabel() const { return m_txtPath; }
    wxCheckBox* GetShowAllConversionsBox() const { return m_showAllConversions; }
    wxStaticText* GetWebText() const { return m_webText; }
    wxButton* GetConnectionAssistantButton() const { return m_connectionAssistant; }
    wxButton* GetSendReportButton() const { return m_sendReport; }

protected:
    void OnStartAtLoginClick(wxCommandEvent& event) override;
    void OnInternetAccessClick(wxCommandEvent& event) override;
    void OnSliderScroll(wxScrollEvent& event) override;
    void OnCustomPortClick(wxCommandEvent& event) override;
    void OnPortText(wxCommandEvent& event) override;
    void OnMapPortClick(wxCommandEvent& event) override;
    void OnCustomPathClick(wxCommandEvent& event) override;
    void OnSelectPathClick(wxCommandEvent& event) override;
    void OnShowAllConversionsClick(wxCommandEvent& event) override;
    void OnConnectionAssistantClick(wxCommandEvent& event) override;
    void OnSendReportClick(wxCommandEvent& event) override;

    State* state_;

private:
    bool ApplyPort();
    void ApplyCacheFolder();
    void ShowPort();
    void ShowCacheFolder(const std::wstring& folder);
    void Report(const std::string& problem);

    IWorkerRequests* worker_;
    // The port the server listens on until it is restarted: the stored one when the panel is made,
    // since nothing but this panel changes it and it is made once per run.
    uint32_t portInUse_;
    // The folder the user chose (or the store's), kept as a path: the label may show it shortened.
    std::wstring cacheFolder_;
    std::vector<std::string> problems_;
};
