#include "ui/TaskBarIcon.h"

#include <wx/dialog.h>
#include <wx/frame.h>
#include <wx/icon.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/utils.h>

#include "core/Log.h"
#include "platform/Updater.h"
#include "ui/CalvoroForm.h"
#include "ui/ModalScope.h"
#include "ui/UiCommon.h"

namespace {

const char kVersion[] = "1.0.3.3";
const char kHelpPage[] = "https://www.calvoro.invalid/help/";

}  // namespace

// GTK reports a left press (a double click only when that is not handled) and a right click, never
// the releases: both open the menu, and "Show Server" stands in for the double click.
wxBEGIN_EVENT_TABLE(TaskBarIcon, wxTaskBarIcon)
    EVT_MENU(TaskBarIcon::IdAbout, TaskBarIcon::OnAbout)
    EVT_MENU(TaskBarIcon::IdHelp, TaskBarIcon::OnHelp)
    EVT_MENU(TaskBarIcon::IdShowServer, TaskBarIcon::OnShowServer)
    EVT_MENU(TaskBarIcon::IdPreferences, TaskBarIcon::OnPreferences)
    EVT_MENU(TaskBarIcon::IdCheckForUpdates, TaskBarIcon::OnCheckForUpdates)
    EVT_MENU(TaskBarIcon::IdQuit, TaskBarIcon::OnQuit)
    EVT_TASKBAR_RIGHT_UP(TaskBarIcon::OnShowMenu)
    EVT_TASKBAR_LEFT_UP(TaskBarIcon::OnShowMenu)
    EVT_TASKBAR_LEFT_DOWN(TaskBarIcon::OnShowMenu)
    EVT_TASKBAR_CLICK(TaskBarIcon::OnShowMenu)
    EVT_TASKBAR_LEFT_DCLICK(TaskBarIcon::OnLeftDoubleClick)
wxEND_EVENT_TABLE()

TaskBarIcon::TaskBarIcon(CalvoroForm* form) : form_(form) {
    // GdkPixbuf reads the icon file itself and takes its largest image.
    wxIcon icon;
    {
        wxLogNull quiet;  // no error box of the toolkit's own: a missing file is logged below
        icon.LoadFile(wxString(GetImagePath(L"CA.ICO")), wxBITMAP_TYPE_ICO);
    }
    if (!icon.IsOk()) KIV_LOG("WARNING: the program's icon CA.ICO could not be loaded");
    const wxString tooltip = ToUiText(GetUiString(UiString::ProductName)) + " v" + kVersion;
    // SetIcon succeeds even with no notification area; whether there is one the toolkit answers apart.
    if (!wxTaskBarIcon::IsAvailable()) {
        KIV_LOG("No notification area: the window carries the menu and its close box quits");
        PutMenuOnWindow();
        return;
    }
    inTray_ = icon.IsOk() && SetIcon(icon, tooltip);
    if (!inTray_) {
        // A notification area that refuses the icon: said once; the window then shows at start and its
        // close box quits, since nothing would bring it back.
        KIV_LOG("Could not set new icon in systray.");
        TellUser(nullptr, "Could not set new icon in systray.", "Message", wxOK | wxCENTRE);
    }
}

TaskBarIcon::~TaskBarIcon() {
    if (menuBar_ && form_) {
        for (int id = IdAbout; id <= IdQuit; ++id) form_->Unbind(wxEVT_MENU, &TaskBarIcon::ProcessMenuOfWindow, this, id);
    }
    if (IsIconInstalled()) RemoveIcon();
}

bool TaskBarIcon::IsInNotificationArea() const { return inTray_; }

wxMenu* TaskBarIcon::BuildMenu() {
    wxMenu* menu = new wxMenu();
    menu->Append(IdAbout, "&About");
    menu->Append(IdHelp, "&Help");
    menu->Append(IdPreferences, "&Preferences");
    menu->AppendSeparator();
    menu->Append(IdCheckForUpdates, "&Check For Updates");
    menu->AppendSeparator();
    menu->Append(IdShowServer, "&Show Server");
    menu->AppendSeparator();
    menu->Append(IdQuit, "&Quit Calvoro");
    return menu;
}

void TaskBarIcon::PutMenuOnWindow() {
    if (!form_) return;
    menuBar_ = new wxMenuBar();
    menuBar_->Append(BuildMenu(), ToUiText(GetUiString(UiString::ProductName)));
    form_->SetMenuBar(menuBar_);
    for (int id = IdAbout; id <= IdQuit; ++id) form_->Bind(wxEVT_MENU, &TaskBarIcon::ProcessMenuOfWindow, this, id);
}

void TaskBarIcon::ProcessMenuOfWindow(wxCommandEvent& event) { ProcessEvent(event); }

void TaskBarIcon::ShowServer() { CalvoroForm::PostShowWindow(form_); }

void TaskBarIcon::OnAbout(wxCommandEvent&) { wxLaunchDefaultBrowser(kProductWebPage); }

void TaskBarIcon::OnHelp(wxCommandEvent&) { wxLaunchDefaultBrowser(kHelpPage); }

void TaskBarIcon::OnShowServer(wxCommandEvent&) { ShowServer(); }

void TaskBarIcon::OnPreferences(wxCommandEvent&) {
    ShowServer();
    CalvoroForm::PostShowPreferences(form_);
}

void TaskBarIcon::OnCheckForUpdates(wxCommandEvent&) {
    // After the menu has closed: the item arrives while it is still open, and the icon opens no new menu
    // until it has, so a message shown from here would leave the icon without one (no Quit).
    CallAfter(&TaskBarIcon::ShowUpdateCheck);
}

void TaskBarIcon::ShowUpdateCheck() {
    // As every other message: it takes the keyboard, so Escape closes it also with no window manager.
    TellUser(nullptr, wxString::FromUTF8(Updater::CheckWithUi()), ToUiText(GetUiString(UiString::ProductName)),
             wxOK | wxCENTRE);
}

void TaskBarIcon::OnQuit(wxCommandEvent&) { CalvoroForm::PostQuit(form_); }

void TaskBarIcon::OnShowMenu(wxTaskBarIconEvent&) {
    if (openMenu_) return;
    wxMenu* menu = BuildMenu();
    // The toolkit drops the chosen item of a menu shown from a window that a modal dialog has disabled,
    // as the icon's own window is then. Shown from that dialog, the items arrive, at the menu itself.
    menu->Bind(wxEVT_MENU, &TaskBarIcon::ProcessMenuOfWindow, this);
    openMenu_ = menu;
    {
        ModalScope scope;
        if (wxDialog* dialog = ModalScope::InnermostDialog()) dialog->PopupMenu(menu);
        else PopupMenu(menu);
    }
    openMenu_ = nullptr;
    delete menu;
}

void TaskBarIcon::OnLeftDoubleClick(wxTaskBarIconEvent&) { ShowServer(); }
