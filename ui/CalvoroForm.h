// The program's one main window: the side bar of the library and the devices, the content panel of
// the selected entry, and the bottom bar with plus and minus.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/CalvoroBase.h"
#include "ui/NotificationIcon.h"
#include "ui/SideBarEntry.h"

class BonjourPromptPnl;
class IWorkerRequests;
class PreferencesPnl;
class GenericDialogBase;
class IEvents;
class MyFileDropTarget;
class State;
class VideoFoldersScroller;
class wxThreadEvent;

enum class SideBarEntryType : int {
    Library = 0,
    UnknownDevice = 1,
    IPhone = 2,
    IPad = 3,
    IPod = 4,
};

struct SideBarEntryInfo {
    SideBarEntryType type = SideBarEntryType::Library;
    SideBarEntry* window = nullptr;
};

class CalvoroForm : public CalvoroBase {
public:
    // Throws std::runtime_error while another window exists. Neither pointer is owned.
    CalvoroForm(State* state, IEvents* events, wxWindow* parent);
    ~CalvoroForm() override;

    // The window, or null when there is none.
    static CalvoroForm* GetInstance();

    static void PostShowWindow(wxWindow* window);
    static void PostQuit(wxWindow* window);
    static void PostBonjourPrompt(wxWindow* window);
    static void PostShowPreferences(wxWindow* window);

    // The events object's callback; any thread. It only queues the session id to the application.
    static void OnClientEvent(void* userData, uint64_t sessionId);
    // The application's handler of that queued event (GUI thread): hands it to the window, if any.
    static void DeliverClientEvent(wxThreadEvent& event);
    // Makes the application object hand client events to the window; called once at start.
    static void RouteClientEvents(wxEvtHandler* application);

    void RebuildSideBar(uint64_t sessionIdToSelect);
    void SelectEntry(int entryId);
    void ShowEntryContent(int entryId);
    void AddOneEntry(int entryId, const std::wstring& label, SideBarEntryType type, bool initiallySelected);

    static void OnSideBarEntryClick(int entryId);
    static void OnLibraryDrop(wxWindow* userData, const wxArrayString& paths);

    // The window owns its icon. With an icon in the notification area the close box only hides.
    void SetNotificationIcon(std::unique_ptr<INotificationIcon> icon);
    bool HasNotificationIcon() const;

    int GetSelectedEntryId() const { return selectedEntryId_; }
    wxWindow* GetContent() const { return content_; }
    VideoFoldersScroller* GetFolderList() const { return folderList_; }
    std::vector<SideBarEntry*> GetEntries() const;
    // The session of a device entry; 0 for "Video Folders" or an unknown id.
    uint64_t GetEntrySession(int entryId) const;
    // What the preferences ask of the worker (not owned); none: they ask nothing.
    void SetWorkerRequests(IWorkerRequests* worker) { workerRequests_ = worker; }
    // The preferences, null until they were first asked for.
    GenericDialogBase* GetPreferencesDialog() const { return prefsDialog_; }
    PreferencesPnl* GetPreferencesPanel() const { return prefsPanel_; }
    // The DNS-SD prompt, null until it was first shown.
    GenericDialogBase* GetBonjourDialog() const { return bonjourDialog_; }
    BonjourPromptPnl* GetBonjourPanel() const { return bonjourPanel_; }

protected:
    void OnAddFolderClick(wxMouseEvent& event) override;
    void OnRemoveFolderClick(wxMouseEvent& event) override;

private:
    void OnClientChanged(uint64_t sessionId);
    // The side bar afresh, selecting the session's entry ("Video Folders" for 0 or one that is gone);
    // with keepContent, a content panel that shows the same entry stays.
    void RebuildEntries(uint64_t sessionIdToSelect, bool keepContent);
    void OnShowWindow(wxCommandEvent& event);
    void OnQuit(wxCommandEvent& event);
    void OnBonjourPrompt(wxCommandEvent& event);
    void OnShowPreferences(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnShown(wxShowEvent& event);
    void KeepPanelsWhole();
    void ReplaceContent(wxWindow* content);

    State* state_;
    IEvents* events_;
    std::map<int, SideBarEntryInfo> entries_;
    std::map<int, uint64_t> sessions_;
    VideoFoldersScroller* folderList_ = nullptr;
    wxWindow* content_ = nullptr;
    MyFileDropTarget* libraryDropTarget_ = nullptr;
    int selectedEntryId_ = 0;
    std::unique_ptr<INotificationIcon> icon_;
    GenericDialogBase* bonjourDialog_ = nullptr;
    BonjourPromptPnl* bonjourPanel_ = nullptr;
    GenericDialogBase* prefsDialog_ = nullptr;
    PreferencesPnl* prefsPanel_ = nullptr;
    IWorkerRequests* workerRequests_ = nullptr;
    // Keys of the two kinds of waiting work (see ModalScope).
    char rebuildKey_ = 0;
    char showKey_ = 0;
    char closeKey_ = 0;

    wxDECLARE_EVENT_TABLE();
};
