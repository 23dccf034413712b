#include "ui/CalvoroForm.h"

#include <algorithm>
#include <exception>
#include <list>
#include <stdexcept>

#include <wx/app.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>

#include "core/IEvents.h"
#include "core/Log.h"
#include "core/State.h"
#include "ui/BonjourPromptPnl.h"
#include "ui/DevicePanels.h"
#include "ui/FileDropTarget.h"
#include "ui/GenericDialogBase.h"
#include "ui/ModalScope.h"
#include "ui/PreferencesPnl.h"
#include "ui/UiCommon.h"
#include "ui/VideoFoldersList.h"

namespace {

const char kVersion[] = "1.0.3.3";

// GUI thread only.
CalvoroForm* gInstance = nullptr;

// Refuses a second window before anything of it is built.
wxWindow* ParentOfOnlyWindow(wxWindow* parent) {
    if (gInstance) throw std::runtime_error("Only one instance of CalvoroForm allowed!");
    return parent;
}

SideBarEntryType TypeOfDevice(const std::wstring& deviceType) {
    if (deviceType == L"iphone") return SideBarEntryType::IPhone;
    if (deviceType == L"ipad") return SideBarEntryType::IPad;
    if (deviceType == L"ipod") return SideBarEntryType::IPod;
    return SideBarEntryType::UnknownDevice;
}

void PostTo(wxWindow* window, wxEventType type) {
    if (!window) return;
    wxCommandEvent event(type, window->GetId());
    event.SetEventObject(window);
    window->GetEventHandler()->AddPendingEvent(event);
}

}  // namespace

wxBEGIN_EVENT_TABLE(CalvoroForm, CalvoroBase)
    EVT_COMMAND(wxID_ANY, EVT_SHOW_WINDOW, CalvoroForm::OnShowWindow)
    EVT_COMMAND(wxID_ANY, EVT_QUIT, CalvoroForm::OnQuit)
    EVT_COMMAND(wxID_ANY, EVT_BONJOUR_PROMPT, CalvoroForm::OnBonjourPrompt)
    EVT_COMMAND(wxID_ANY, EVT_SHOW_PREFERENCES, CalvoroForm::OnShowPreferences)
    EVT_CLOSE(CalvoroForm::OnClose)
wxEND_EVENT_TABLE()

CalvoroForm::CalvoroForm(State* state, IEvents* events, wxWindow* parent)
    : CalvoroBase(ParentOfOnlyWindow(parent), wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(765, 393),
                  wxDEFAULT_FRAME_STYLE | wxCLIP_CHILDREN),
      state_(state),
      events_(events) {
    gInstance = this;
    SetTitle(ToUiText(GetUiString(UiString::ProductName)) + " - v" + kVersion);
    m_libraryHeader->SetBitmap(LoadUiBitmap(L"images/library.png"));
    m_devicesHeader->SetBitmap(LoadUiBitmap(L"images/devices.png"));
    m_plus->SetBitmap(LoadUiBitmap(L"images/plus.png"));
    m_minus->SetBitmap(LoadUiBitmap(L"images/minus.png"));
    RebuildSideBar(0);
    events_->SetClientEventCallback(&CalvoroForm::OnClientEvent, this);
    Bind(wxEVT_SHOW, &CalvoroForm::OnShown, this);
}

CalvoroForm::~CalvoroForm() {
    // No callback may reach a window that is gone; what is already queued finds no window.
    events_->SetClientEventCallback(nullptr, nullptr);
    ModalScope::Forget(&rebuildKey_);
    ModalScope::Forget(&showKey_);
    ModalScope::Forget(&closeKey_);
    icon_.reset();
    if (prefsDialog_) prefsDialog_->Destroy();
    if (bonjourDialog_) bonjourDialog_->Destroy();
    if (gInstance == this) gInstance = nullptr;
}

CalvoroForm* CalvoroForm::GetInstance() { return gInstance; }

void CalvoroForm::PostShowWindow(wxWindow* window) { PostTo(window, EVT_SHOW_WINDOW); }

void CalvoroForm::PostQuit(wxWindow* window) { PostTo(window, EVT_QUIT); }

void CalvoroForm::PostBonjourPrompt(wxWindow* window) { PostTo(window, EVT_BONJOUR_PROMPT); }

void CalvoroForm::PostShowPreferences(wxWindow* window) { PostTo(window, EVT_SHOW_PREFERENCES); }

void CalvoroForm::OnClientEvent(void*, uint64_t sessionId) {
    // Any thread: touches no window, only queues the id to the application object.
    wxAppConsole* application = wxTheApp;
    if (!application) return;
    wxThreadEvent* event = new wxThreadEvent(EVT_CLIENT_CHANGED);
    event->SetPayload<uint64_t>(sessionId);
    wxQueueEvent(application, event);
}

void CalvoroForm::DeliverClientEvent(wxThreadEvent& event) {
    if (gInstance) gInstance->OnClientChanged(event.GetPayload<uint64_t>());
}

void CalvoroForm::RouteClientEvents(wxEvtHandler* application) {
    application->Bind(EVT_CLIENT_CHANGED, &CalvoroForm::DeliverClientEvent);
}

void CalvoroForm::OnClientChanged(uint64_t sessionId) {
    ModalScope::RunWhenClearOf(&rebuildKey_, this, [this, sessionId]() {
        // 0: a device went away (timed out or unauthorised). The side bar stays where the user is and
        // moves to "Video Folders" only when the entry that went was the selected one.
        if (sessionId == 0) RebuildEntries(GetEntrySession(selectedEntryId_), true);
        else RebuildSideBar(sessionId);
    });
}

void CalvoroForm::RebuildSideBar(uint64_t sessionIdToSelect) { RebuildEntries(sessionIdToSelect, false); }

void CalvoroForm::RebuildEntries(uint64_t sessionIdToSelect, bool keepContent) {
    m_sideBar->Freeze();
    try {
        m_librarySection->Clear(true);
        m_devicesSection->Clear(true);
        entries_.clear();
        sessions_.clear();
        libraryDropTarget_ = nullptr;

        int selected = 0;
        AddOneEntry(0, GetUiString(UiString::VideoFolders), SideBarEntryType::Library, true);
        std::list<ClientSession> sessions;
        state_->GetSessions(sessions);
        int entryId = 1;
        for (const ClientSession& session : sessions) {
            AddOneEntry(entryId, session.Name, TypeOfDevice(session.DeviceType), false);
            if (session.SessionId == sessionIdToSelect) selected = entryId;
            sessions_[entryId] = session.SessionId;
            ++entryId;
        }
        m_sideBarSizer->Layout();
        m_sideBar->FitInside();
        // The same entry selected again keeps its content (a half-typed PIN, a selected folder).
        const bool same = content_ && (selected != 0 || sessionIdToSelect == 0);
        if (keepContent && same) {
            for (auto& entry : entries_) entry.second.window->SetSelected(entry.first == selected);
            selectedEntryId_ = selected;
        } else {
            SelectEntry(selected);
        }
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Side bar rebuild failed: ") + e.what());
        ShowUiError(this, wxString::FromUTF8(e.what()));
    }
    m_sideBar->Thaw();
}

void CalvoroForm::AddOneEntry(int entryId, const std::wstring& label, SideBarEntryType type, bool initiallySelected) {
    std::wstring icon;
    switch (type) {
        case SideBarEntryType::Library: icon = L"images/icon_video.png"; break;
        case SideBarEntryType::UnknownDevice: icon = L"images/icon_unknown.png"; break;
        case SideBarEntryType::IPhone: icon = L"images/icon_iphone.png"; break;
        case SideBarEntryType::IPad: icon = L"images/icon_ipad.png"; break;
        case SideBarEntryType::IPod: icon = L"images/icon_ipod.png"; break;
        default: KIV_LOG("Unknown type in AddOneEntry - should never happen"); break;
    }
    SideBarEntry* entry = new SideBarEntry(m_sideBar, label, icon.empty() ? icon : GetImagePath(icon),
                                           initiallySelected, &CalvoroForm::OnSideBarEntryClick, entryId);
    if (type == SideBarEntryType::Library) {
        m_librarySection->Add(entry, 0, wxEXPAND, 0);
        libraryDropTarget_ = new MyFileDropTarget(&CalvoroForm::OnLibraryDrop, entry);
        entry->SetDropTarget(libraryDropTarget_);
    } else {
        m_devicesSection->Add(entry, 0, wxEXPAND, 0);
    }
    SideBarEntryInfo info;
    info.type = type;
    info.window = entry;
    entries_[entryId] = info;
}

void CalvoroForm::SelectEntry(int entryId) {
    for (auto& entry : entries_) entry.second.window->SetSelected(entry.first == entryId);
    selectedEntryId_ = entryId;
    ShowEntryContent(entryId);
}

void CalvoroForm::ShowEntryContent(int entryId) {
    ReplaceContent(nullptr);
    const auto entry = entries_.find(entryId);
    if (entry == entries_.end()) return;
    if (entry->second.type == SideBarEntryType::Library) {
        folderList_ = new VideoFoldersScroller(this, state_);
        ReplaceContent(folderList_);
        return;
    }
    const auto session = sessions_.find(entryId);
    const uint64_t sessionId = session == sessions_.end() ? 0 : session->second;
    if (!state_->IsSessionAuthorized(sessionId)) {
        // A device that must pair brings the window up with its PIN panel, focused for typing.
        EnterDigitsPnl* panel = new EnterDigitsPnl(events_, sessionId, this);
        ReplaceContent(panel);
        panel->SetFocus();
        Show(true);
        return;
    }
    ReplaceContent(new AuthorizedPnl(state_, events_, sessionId, this));
}

// Deletes the old content panel and adds the new one (if any) once.
void CalvoroForm::ReplaceContent(wxWindow* content) {
    if (!content) {
        m_contentSizer->Clear(true);
        folderList_ = nullptr;
        content_ = nullptr;
        return;
    }
    content_ = content;
    m_contentSizer->Add(content, 1, wxEXPAND, 0);
    Layout();
}

void CalvoroForm::OnSideBarEntryClick(int entryId) {
    if (gInstance) gInstance->SelectEntry(entryId);
}

void CalvoroForm::OnLibraryDrop(wxWindow*, const wxArrayString& paths) {
    if (!gInstance) return;
    const wxString refused = ShareDroppedFolders(gInstance->state_, paths);
    PostShowWindow(gInstance);
    if (!refused.empty()) ShowUiError(gInstance, refused);
}

void CalvoroForm::OnAddFolderClick(wxMouseEvent&) {
    if (!folderList_) SelectEntry(0);
    if (folderList_) folderList_->AddFolder();
}

void CalvoroForm::OnRemoveFolderClick(wxMouseEvent&) {
    if (folderList_) folderList_->RemoveSelectedFolder();
}

void CalvoroForm::OnShowWindow(wxCommandEvent&) {
    // Up at once, also over an open dialog; only the rebuild waits for what was opened from inside.
    Show(true);
    Raise();
    ModalScope::RunWhenClearOf(&showKey_, this, [this]() { RebuildSideBar(0); });
}

void CalvoroForm::OnQuit(wxCommandEvent&) { Close(true); }

void CalvoroForm::OnBonjourPrompt(wxCommandEvent&) {
    if (!bonjourDialog_) {
        bonjourDialog_ = new GenericDialogBase(nullptr, wxID_ANY, GetUiString(UiString::ProductName));
        bonjourPanel_ = new BonjourPromptPnl(bonjourDialog_, state_);
        bonjourDialog_->bSizer->Add(bonjourPanel_, 1, 0, 0);
        bonjourDialog_->Layout();
        bonjourDialog_->Fit();
    }
    ModalScope scope(bonjourDialog_);
    bonjourDialog_->ShowModal();
}

void CalvoroForm::OnShowPreferences(wxCommandEvent&) {
    if (!prefsDialog_) {
        prefsDialog_ = new GenericDialogBase(nullptr, wxID_ANY, "Calvoro Preferences");
        prefsPanel_ = new PreferencesPnl(prefsDialog_, state_, workerRequests_);
        prefsDialog_->bSizer->Add(prefsPanel_, 1, 0, 0);
        prefsDialog_->Layout();
        prefsDialog_->Fit();
    }
    if (prefsDialog_->IsShown()) {
        prefsDialog_->Raise();
        return;
    }
    {
        ModalScope scope(prefsDialog_);
        prefsDialog_->ShowModal();
    }
    // Every close applies, also the one a quit makes; the quit then waits for no question.
    bool restart = false;
    std::vector<std::string> problems;
    try {
        restart = prefsPanel_->Apply();
        problems = prefsPanel_->TakeProblems();
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Preferences could not be applied: ") + e.what());
        problems.push_back(e.what());
    }
    for (const std::string& problem : problems) {
        if (ModalScope::Ending()) return;
        TellUser(this, wxString::FromUTF8(problem), "Calvoro Error", wxOK | wxICON_ERROR | wxCENTRE);
    }
    if (restart && !ModalScope::Ending())
        TellUser(this, ToUiText(GetUiString(UiString::RestartRequired)), wxEmptyString, wxOK | wxCENTRE);
}

void CalvoroForm::OnClose(wxCloseEvent& event) {
    if (event.CanVeto() && HasNotificationIcon()) {
        Show(false);
        event.Veto();
        return;
    }
    // The real close: a dialog of ours still running ends first; the window and what it owns go once
    // the handler that opened it has returned (the dialog's parent must outlive it).
    EndDialogsThen(&closeKey_, [this]() {
        icon_.reset();
        // The dialogs have no parent, so they go with the window by hand.
        if (prefsDialog_) prefsDialog_->Destroy();
        prefsDialog_ = nullptr;
        prefsPanel_ = nullptr;
        if (bonjourDialog_) {
            KIV_LOG("Deleteing Bonjour Panel");
            bonjourDialog_->Destroy();
        }
        bonjourDialog_ = nullptr;
        bonjourPanel_ = nullptr;
        Destroy();
    });
}

void CalvoroForm::OnShown(wxShowEvent& event) {
    // Measured as the window shows, with its menu bar (if any) in place.
    if (event.IsShown()) KeepPanelsWhole();
    event.Skip();
}

// The window never gets smaller than the side bar, the bottom bar and the largest content panel need.
void CalvoroForm::KeepPanelsWhole() {
    const wxSize content = LeastDevicePanelSize(this);
    const wxSize bottomBar = m_bottomBar->GetBestSize();
    const int sideBar = m_sideBar->GetMinSize().x + 2;  // and its border
    SetMinClientSize(wxSize(std::max(sideBar + content.x, bottomBar.x), content.y + bottomBar.y));
}

void CalvoroForm::SetNotificationIcon(std::unique_ptr<INotificationIcon> icon) { icon_ = std::move(icon); }

bool CalvoroForm::HasNotificationIcon() const { return icon_ && icon_->IsInNotificationArea(); }

std::vector<SideBarEntry*> CalvoroForm::GetEntries() const {
    std::vector<SideBarEntry*> entries;
    for (const auto& entry : entries_) entries.push_back(entry.second.window);
    return entries;
}

uint64_t CalvoroForm::GetEntrySession(int entryId) const {
    const auto it = sessions_.find(entryId);
    return it == sessions_.end() ? 0 : it->second;
}
