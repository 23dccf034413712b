// The program's icon in the notification area and its menu: show the window, the preferences, the web
// and help pages, the updater, and quit. Without a notification area the main window carries the same
// menu as its menu bar, so every command stays reachable.
#pragma once

#include <wx/taskbar.h>

#include "ui/NotificationIcon.h"

class CalvoroForm;
class wxMenu;
class wxMenuBar;

class TaskBarIcon : public wxTaskBarIcon, public INotificationIcon {
public:
    enum MenuId { IdAbout = 0, IdHelp = 1, IdPreferences = 2, IdCheckForUpdates = 3, IdShowServer = 4, IdQuit = 5 };

    // form is not owned; it owns this icon.
    explicit TaskBarIcon(CalvoroForm* form);
    ~TaskBarIcon() override;

    bool IsInNotificationArea() const override;
    void ShowServer();
    // The icon's menu, new each time (the caller owns it).
    static wxMenu* BuildMenu();
    // "Check For Updates": what the updater says, in a message; returns once it is closed.
    static void ShowUpdateCheck();
    // The menu shown by the last click, while it is open; null otherwise.
    wxMenu* GetOpenMenu() const { return openMenu_; }

private:
    void OnAbout(wxCommandEvent& event);
    void OnHelp(wxCommandEvent& event);
    void OnShowServer(wxCommandEvent& event);
    void OnPreferences(wxCommandEvent& event);
    void OnCheckForUpdates(wxCommandEvent& event);
    void OnQuit(wxCommandEvent& event);
    void OnShowMenu(wxTaskBarIconEvent& event);
    void OnLeftDoubleClick(wxTaskBarIconEvent& event);
    // Without a notification area: the menu as the window's menu bar, its items handled here.
    void PutMenuOnWindow();
    void ProcessMenuOfWindow(wxCommandEvent& event);

    CalvoroForm* form_;
    bool inTray_ = false;
    wxMenu* openMenu_ = nullptr;
    wxMenuBar* menuBar_ = nullptr;

    wxDECLARE_EVENT_TABLE();
};
