// The notification-area icon: with no notification area (the test's X server has none) the window
// carries its menu and the close box quits; its menu items and clicks, driven through the toolkit's
// events.
#include <stdlib.h>


#include <wx/icon.h>
#include <wx/image.h>
#include <wx/menu.h>
#include <wx/uiaction.h>

#include "UiTestSupport.h"
#include "ui/CalvoroForm.h"
#include "ui/TaskBarIcon.h"

namespace {

using namespace std::chrono_literals;
using uitest::Pump;
using uitest::PumpUntil;

class NotificationIcon : public uitest::WindowTest {
protected:
    TaskBarIcon* OpenWithIcon() {
        CalvoroForm* window = OpenWindow();
        auto icon = std::make_unique<TaskBarIcon>(window);
        TaskBarIcon* raw = icon.get();
        window->SetNotificationIcon(std::move(icon));
        Pump(100ms);
        return raw;
    }

    static void Choose(wxEvtHandler* target, int id) {
        wxCommandEvent event(wxEVT_MENU, id);
        target->ProcessEvent(event);
    }
};

TEST_F(NotificationIcon, WithoutANotificationAreaTheWindowCarriesTheMenu) {
    TaskBarIcon* icon = OpenWithIcon();
    EXPECT_FALSE(wxTaskBarIcon::IsAvailable());
    EXPECT_FALSE(icon->IsInNotificationArea());
    EXPECT_FALSE(window_->HasNotificationIcon());
    wxMenuBar* bar = window_->GetMenuBar();
    ASSERT_NE(nullptr, bar);
    ASSERT_EQ(1u, bar->GetMenuCount());
    wxMenu* menu = bar->GetMenu(0);
    const std::vector<std::pair<int, std::string>> expected = {
        {0, "&About"}, {1, "&Help"}, {2, "&Preferences"}, {wxID_SEPARATOR, ""}, {3, "&Check For Updates"},
        {wxID_SEPARATOR, ""}, {4, "&Show Server"}, {wxID_SEPARATOR, ""}, {5, "&Quit Calvoro"}};
    ASSERT_EQ(expected.size(), menu->GetMenuItemCount());
    for (size_t i = 0; i < expected.size(); ++i) {
        const wxMenuItem* item = menu->FindItemByPosition(i);
        if (expected[i].first == wxID_SEPARATOR) {
            EXPECT_TRUE(item->IsSeparator()) << i;
        } else {
            EXPECT_EQ(expected[i].first, item->GetId()) << i;
            EXPECT_EQ(expected[i].second, item->GetItemLabel().ToStdString()) << i;
        }
    }
}

TEST_F(NotificationIcon, WithoutANotificationAreaTheCloseBoxQuits) {
    OpenWithIcon();
    window_->Close();
    EXPECT_TRUE(PumpUntil([] { return CalvoroForm::GetInstance() == nullptr; }));
}

TEST_F(NotificationIcon, ShowServerFromTheIconAndFromTheWindowsMenuBar) {
    TaskBarIcon* icon = OpenWithIcon();
    window_->Show(false);
    Pump(100ms);
    Choose(icon, TaskBarIcon::IdShowServer);
    EXPECT_TRUE(PumpUntil([this] { return window_->IsShown(); }));
    window_->Show(false);
    Pump(100ms);
    // The menu bar's item reaches the same handler.
    Choose(window_, TaskBarIcon::IdShowServer);
    EXPECT_TRUE(PumpUntil([this] { return window_->IsShown(); }));
    window_->Show(false);
    Pump(100ms);
    wxTaskBarIconEvent doubleClick(wxEVT_TASKBAR_LEFT_DCLICK, icon);
    icon->ProcessEvent(doubleClick);
    EXPECT_TRUE(PumpUntil([this] { return window_->IsShown(); }));
}

TEST_F(NotificationIcon, QuitEndsTheProgramEvenWithTheWindowHidden) {
    TaskBarIcon* icon = OpenWithIcon();
    window_->Show(false);
    Choose(icon, TaskBarIcon::IdQuit);
    EXPECT_TRUE(PumpUntil([] { return CalvoroForm::GetInstance() == nullptr; }));
}

TEST_F(NotificationIcon, CheckForUpdatesShowsTheUpdatersText) {
    TaskBarIcon* icon = OpenWithIcon();
    // The message comes once the menu's handler has returned (the menu has closed by then).
    wxTEST_DIALOG(
        {
            Choose(icon, TaskBarIcon::IdCheckForUpdates);
            Pump(100ms);
        },
        wxExpectModal<wxGenericMessageDialog>(wxID_OK, "The updater is not running."));
}

TEST_F(NotificationIcon, LeftAndRightClicksOpenTheMenu) {
    TaskBarIcon* icon = OpenWithIcon();
    for (const wxEventType type : {wxEVT_TASKBAR_LEFT_DOWN, wxEVT_TASKBAR_CLICK}) {
        bool opened = false;
        uitest::RunLater(700ms, [&] {
            opened = icon->GetOpenMenu() != nullptr;
            if (type == wxEVT_TASKBAR_CLICK) uitest::Screenshot("root", "icon-menu");
            // A shown menu takes the keyboard; Escape closes it.
            wxUIActionSimulator().Char(WXK_ESCAPE);
        });
        wxTaskBarIconEvent click(type, icon);
        icon->ProcessEvent(click);
        // The pop-up returns once the menu has closed.
        EXPECT_TRUE(opened);
        EXPECT_EQ(nullptr, icon->GetOpenMenu());
    }
}

// The icon file drawn at build time: three sizes for the image handler, the largest for the icon.
TEST(ProgramIcon, HoldsThreeSizesAndLoadsAsAnIcon) {
    if (!wxImage::FindHandler(wxBITMAP_TYPE_ICO)) wxImage::AddHandler(new wxICOHandler);
    EXPECT_EQ(3, wxImage::GetImageCount("./CA.ICO", wxBITMAP_TYPE_ICO));
    for (int index = 0; index < 3; ++index) {
        wxImage image;
        ASSERT_TRUE(image.LoadFile("./CA.ICO", wxBITMAP_TYPE_ICO, index)) << index;
        EXPECT_EQ(index == 2 ? 48 : 16 << index, image.GetWidth()) << index;
        EXPECT_TRUE(image.HasAlpha()) << index;
        // A see-through corner, an opaque middle.
        EXPECT_EQ(0, image.GetAlpha(0, 0)) << index;
        EXPECT_EQ(255, image.GetAlpha(image.GetWidth() / 2, image.GetHeight() / 2)) << index;
    }
    const wxIcon icon("./CA.ICO", wxBITMAP_TYPE_ICO);
    ASSERT_TRUE(icon.IsOk());
    EXPECT_EQ(48, icon.GetWidth());
}

}  // namespace
