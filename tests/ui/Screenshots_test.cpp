// Screenshots of the window as a person sees it, made with the X server's own pixels (import -window),
// into screenshots/ of the build folder.
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <vector>
#include <set>

#include <wx/image.h>
#include <wx/scrolwin.h>
#include <wx/uiaction.h>

#include "UiTestSupport.h"
#include "ui/CalvoroForm.h"
#include "ui/DevicePanels.h"
#include "ui/FolderRows.h"
#include "ui/SideBarEntry.h"
#include "ui/UiCommon.h"
#include "ui/VideoFoldersList.h"

namespace {

using namespace std::chrono_literals;
using uitest::Pump;
using uitest::PumpUntil;

class Screenshots : public uitest::WindowTest {
protected:
    // Writes the window's pixels to screenshots/NAME.png and checks it is the window's size.
    void Take(const std::string& name) {
        Pump(300ms);
        EXPECT_EQ(window_->GetClientSize(), uitest::Screenshot("Calvoro - v1.0.3.3", name));
    }

    void ShareTwoFoldersOneExpanded() {
        const std::wstring movies = MakeVideoFolder("Movies");
        std::filesystem::create_directories(media_.path() + "/Movies/Holiday 2024");
        testsupport::WriteFile(media_.path() + "/Movies/Holiday 2024/beach.mkv", "v");
        testsupport::WriteFile(media_.path() + "/Movies/Night & Day.avi", "v");
        ASSERT_TRUE(state_->ShareFolder(movies));
        ASSERT_TRUE(state_->ShareFolder(MakeVideoFolder("Series")));
        state_->ToggleFolderExpanded(movies);
    }

    // Shares a folder named name that holds clip.mp4 and videos more clip-NNNN.mp4, expanded, and opens
    // the window with the pointer out of the way; the list once all its rows are there (null when not).
    VideoFoldersList* OpenWithAnExpandedFolder(const std::string& name, int videos, CalvoroForm*& window) {
        const std::wstring folder = MakeVideoFolder(name);
        for (int i = 0; i < videos; ++i) {
            char file[48];
            snprintf(file, sizeof(file), "/clip-%04d.mp4", i);
            testsupport::WriteFile(media_.path() + "/" + name + file, "v");
        }
        if (!state_->ShareFolder(folder)) return nullptr;
        state_->ToggleFolderExpanded(folder);
        wxUIActionSimulator().MouseMove(900, 700);
        window = OpenWindow();
        VideoFoldersList* list = nullptr;
        const size_t rows = static_cast<size_t>(videos) + 2;  // the folder, clip.mp4 and the videos
        const bool listed = PumpUntil([&] {
            list = window->GetFolderList() ? window->GetFolderList()->GetList() : nullptr;
            return list && list->GetRowCount() == rows;
        }, 60s);
        return listed ? list : nullptr;
    }

    uint64_t Device(const std::wstring& name, const std::wstring& id, const std::wstring& type, bool authorised) {
        const ClientSession session = state_->GetOrCreateSession(name, id);
        state_->SetClientConnected(session.SessionId, true);
        if (!type.empty()) state_->SetDeviceType(session.SessionId, type);
        state_->SetDeviceVersion(session.SessionId, L"6.1");
        if (authorised) state_->AuthorizeClient(session.SessionId);
        return session.SessionId;
    }
};

TEST_F(Screenshots, FoldersAndDevicesPinPanelAndAuthorisedDevice) {
    ShareTwoFoldersOneExpanded();
    const uint64_t phone = Device(L"Anna's iPhone", L"d1", L"iphone", true);
    const uint64_t tablet = Device(L"Kitchen iPad", L"d2", L"ipad", false);
    Device(L"Tom & Jerry", L"d3", L"", false);

    CalvoroForm* window = OpenWindow();
    window->RebuildSideBar(0);
    ASSERT_TRUE(PumpUntil([&] {
        return window->GetFolderList() && window->GetFolderList()->GetList()->GetRows().size() == 5;
    }));
    uitest::ClickOnRow(window->GetFolderList()->GetList(), 0, wxPoint(60, 8));
    ASSERT_TRUE(PumpUntil([&] { return window->GetFolderList()->GetList()->GetSelectedRowId() == 0; }));
    Take("folders-and-devices");

    window->RebuildSideBar(tablet);
    EnterDigitsPnl* pin = dynamic_cast<EnterDigitsPnl*>(window->GetContent());
    ASSERT_NE(nullptr, pin);
    uitest::FocusForTyping(window);
    wxUIActionSimulator sim;
    sim.Text("27");
    ASSERT_TRUE(PumpUntil([&] { return pin->GetPlaces() == "ssce"; }));
    Take("pin-panel-two-digits");

    window->RebuildSideBar(phone);
    ASSERT_NE(nullptr, dynamic_cast<AuthorizedPnl*>(window->GetContent()));
    Take("authorised-device");
}

// Every control inside window lies inside its parent, and no two controls cover each other. What lies
// in a scrolled window scrolls, and counts only as the scrolled window itself.
void ExpectInsideAndApart(wxWindow* window) {
    std::vector<wxWindow*> controls;
    std::function<void(wxWindow*)> collect = [&](wxWindow* parent) {
        for (wxWindow* child : parent->GetChildren()) {
            if (child->IsTopLevel() || !child->IsShown()) continue;
            EXPECT_TRUE(parent->GetScreenRect().Contains(child->GetScreenRect()))
                << child->GetClassInfo()->GetClassName() << " \"" << child->GetLabel().ToStdString(wxConvUTF8)
                << "\" is cut by " << parent->GetClassInfo()->GetClassName();
            if (child->GetChildren().empty() || wxDynamicCast(child, wxScrolledWindow)) controls.push_back(child);
            else collect(child);
        }
    };
    collect(window);
    for (size_t i = 0; i < controls.size(); ++i) {
        for (size_t j = i + 1; j < controls.size(); ++j) {
            EXPECT_FALSE(controls[i]->GetScreenRect().Intersects(controls[j]->GetScreenRect()))
                << controls[i]->GetClassInfo()->GetClassName() << " \""
                << controls[i]->GetLabel().ToStdString(wxConvUTF8) << "\" covers "
                << controls[j]->GetClassInfo()->GetClassName() << " \""
                << controls[j]->GetLabel().ToStdString(wxConvUTF8) << "\"";
        }
    }
}

// Made as small as it lets itself be, the window still shows each content panel whole, with the side
// bar and the bottom bar beside and under it.
TEST_F(Screenshots, AtItsLeastSizeEveryPanelIsWhole) {
    ShareTwoFoldersOneExpanded();
    const uint64_t phone = Device(L"Anna's iPhone", L"d1", L"iphone", true);
    const uint64_t tablet = Device(L"Kitchen iPad", L"d2", L"ipad", false);
    CalvoroForm* window = OpenWindow();
    window->SetSize(wxSize(1, 1));
    Pump(300ms);
    const wxSize least = window->GetClientSize();
    EXPECT_EQ(window->GetMinClientSize(), least);
    EXPECT_LE(least.x, 765);
    EXPECT_LE(least.y, 393);
    const struct {
        uint64_t session;
        const char* name;
    } panels[] = {{0, "least-size-folders"}, {tablet, "least-size-pin-panel"}, {phone, "least-size-authorised-device"}};
    for (const auto& panel : panels) {
        SCOPED_TRACE(panel.name);
        window->RebuildSideBar(panel.session);
        Pump(300ms);
        // The content does not make the window grow: the least size holds for every panel.
        EXPECT_EQ(least, window->GetClientSize());
        uitest::ExpectControlsWhole(window);
        ExpectInsideAndApart(window);
        Take(panel.name);
    }
}

TEST_F(Screenshots, ALongDeviceNameEndsInAnEllipsisAndShowsWholeAsItsTip) {
    const std::vector<std::wstring> names = {L"Tom & <Jerry> Tablet", L"Living Room iPad of the Family"};
    Device(names[0], L"d1", L"ipad", true);
    Device(names[1], L"d2", L"", false);
    CalvoroForm* window = OpenWindow();
    window->RebuildSideBar(0);
    Pump(300ms);
    const std::vector<SideBarEntry*> entries = window->GetEntries();
    ASSERT_EQ(3u, entries.size());
    std::set<wxString> shown;
    for (size_t i = 1; i < entries.size(); ++i) {
        wxStaticText* label = entries[i]->GetLabelControl();
        const wxString name = label->GetLabelText();
        shown.insert(name);
        EXPECT_EQ(name, label->GetToolTipText());
        // One line, inside the side bar, narrower than the whole name: shortened, not wrapped.
        EXPECT_LT(label->GetSize().y, 2 * label->GetCharHeight()) << i;
        EXPECT_LE(label->GetScreenRect().GetRight(), entries[i]->GetScreenRect().GetRight()) << i;
        EXPECT_LT(label->GetSize().x, label->GetTextExtent(name).x) << i;
    }
    EXPECT_EQ((std::set<wxString>{ToUiText(names[0]), ToUiText(names[1])}), shown);
    Take("long-device-name");

    // The pointer resting on the shortened name brings up the whole name as its tip (its own window,
    // so the whole screen is taken).
    wxUIActionSimulator sim;
    sim.MouseMove(entries[1]->GetLabelControl()->GetScreenRect().GetPosition() + wxPoint(20, 5));
    Pump(1500ms);
    EXPECT_NE(wxSize(), uitest::Screenshot("root", "long-device-name-tip"));
}

// A shared folder of 2,000 videos, expanded, with a file selected: the top of the list, and its end
// scrolled to (far beyond the height an X window can have), painted row for row.
TEST_F(Screenshots, ABigFolderAtTheTopAndAtTheEnd) {
    CalvoroForm* window = nullptr;
    VideoFoldersList* list = OpenWithAnExpandedFolder("Big", 2000, window);
    ASSERT_NE(nullptr, list);
    uitest::ClickOnRow(list, 3, wxPoint(60, 8));
    ASSERT_TRUE(PumpUntil([&] { return list->GetRows()[3]->IsSelected(); }));
    Take("big-folder");

    VideoFoldersScroller* scroller = window->GetFolderList();
    scroller->Scroll(0, list->GetVirtualSize().y);
    Pump(300ms);
    const wxRect last = uitest::RowScreenRect(list, list->GetRowCount() - 1);
    const wxRect shown = scroller->GetScreenRect();
    ASSERT_TRUE(shown.Contains(last.GetTopLeft()));
    const wxPoint spot(shown.GetRight() - 40, last.y + last.height / 2);
    EXPECT_TRUE(PumpUntil([&] { return uitest::ScreenColour(spot) == FolderRowColour(true); }));
    Take("big-folder-end");
}

// The pixels of a screenshot that Take wrote.
wxImage ScreenshotImage(const std::string& name) {
    wxImage image;
    EXPECT_TRUE(image.LoadFile(std::string(CALVORO_SCREENSHOT_DIR) + "/" + name + ".png", wxBITMAP_TYPE_PNG)) << name;
    return image;
}

wxColour PixelAt(const wxImage& image, const wxPoint& at) {
    if (!image.IsOk() || at.x < 0 || at.y < 0 || at.x >= image.GetWidth() || at.y >= image.GetHeight())
        return wxColour();
    return wxColour(image.GetRed(at.x, at.y), image.GetGreen(at.x, at.y), image.GetBlue(at.x, at.y));
}

// How many pixels of the box differ from the colour.
int PixelsOtherThan(const wxImage& image, const wxRect& box, const wxColour& colour) {
    int other = 0;
    for (int y = box.y; y <= box.GetBottom(); ++y)
        for (int x = box.x; x <= box.GetRight(); ++x) other += PixelAt(image, wxPoint(x, y)) != colour;
    return other;
}

// The opaque pixels of the video icon are where a file row at depth 1 puts its icon: after the indent
// (21), the spacer image's box (a border of 3 around 12) and the icon's own border of 3, centred in
// the row's height.
void ExpectVideoIconAt(const wxImage& shot, const wxRect& row) {
    wxImage icon;
    ASSERT_TRUE(icon.LoadFile("images/icon_video.png", wxBITMAP_TYPE_PNG));
    ASSERT_EQ(wxSize(16, 16), icon.GetSize());
    const wxPoint origin(row.x + 21 + 3 + 12 + 3 + 3, row.y + (row.height - 16) / 2);
    int opaque = 0, wrong = 0;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            if (icon.HasAlpha() && icon.GetAlpha(x, y) != 255) continue;
            ++opaque;
            const wxColour want(icon.GetRed(x, y), icon.GetGreen(x, y), icon.GetBlue(x, y));
            wrong += PixelAt(shot, origin + wxPoint(x, y)) != want;
        }
    }
    EXPECT_GT(opaque, 50);
    EXPECT_EQ(0, wrong) << "of " << opaque << " icon pixels at " << origin.x << "," << origin.y;
}

// A long list scrolled to its end shows its last row whole, in its place: the row's colour from its
// top to its bottom, the icon and a black label where the row puts them, and the row before it just
// above in the other colour. 4,000 rows are far taller than an X window can be.
TEST_F(Screenshots, TheLastRowOfALongListIsDrawnInItsPlace) {
    for (const int rowCount : {600, 4000}) {
        SCOPED_TRACE(rowCount);
        CalvoroForm* window = nullptr;
        VideoFoldersList* list = OpenWithAnExpandedFolder("Long" + std::to_string(rowCount), rowCount - 2, window);
        ASSERT_NE(nullptr, list);
        VideoFoldersScroller* scroller = window->GetFolderList();
        // The rows' extent is what the scroller scrolls over.
        const wxRect firstRow = list->GetRowRect(0);
        EXPECT_EQ(list->GetRowRect(rowCount - 1).GetBottom() + 1 - firstRow.y, list->GetVirtualSize().y);
        scroller->Scroll(0, list->GetVirtualSize().y);
        // Once the list is laid out in what the scroller shows (a scroll bar may take its room first).
        wxRect last, before, shown;
        ASSERT_TRUE(PumpUntil([&] {
            last = uitest::RowScreenRect(list, rowCount - 1);
            before = uitest::RowScreenRect(list, rowCount - 2);
            shown = wxRect(scroller->ClientToScreen(wxPoint(0, 0)), scroller->GetClientSize());
            return shown.Contains(last);
        })) << "the end is reached by scrolling";
        ASSERT_EQ(before.height, last.height);
        ASSERT_EQ(last.y, before.GetBottom() + 1);
        // The last row (index rowCount - 1, odd) is light blue, the one before it white.
        const wxPoint spot(shown.GetRight() - 40, last.y + last.height / 2);
        ASSERT_TRUE(PumpUntil([&] { return uitest::ScreenColour(spot) == FolderRowColour(true); }));
        const std::string shot = "long-list-" + std::to_string(rowCount) + "-end";
        Take(shot);

        const wxImage image = ScreenshotImage(shot);
        const wxPoint client = window->ClientToScreen(wxPoint(0, 0));
        const wxRect row(last.GetPosition() - client, last.GetSize());
        const wxRect above(before.GetPosition() - client, before.GetSize());
        const int right = shown.GetRight() - client.x;
        // The colour bands, checked right of the labels, across the whole height of each row.
        EXPECT_EQ(0, PixelsOtherThan(image, wxRect(right - 60, row.y, 50, row.height), FolderRowColour(true)));
        EXPECT_EQ(0, PixelsOtherThan(image, wxRect(right - 60, above.y, 50, above.height), FolderRowColour(false)));
        ExpectVideoIconAt(image, row);
        ExpectVideoIconAt(image, above);
        // The label: black text right of the icon, within the row.
        const wxRect label(row.x + 63, row.y, 150, row.height);
        int dark = 0;
        for (int y = label.y; y <= label.GetBottom(); ++y)
            for (int x = label.x; x <= label.GetRight(); ++x) dark += PixelAt(image, wxPoint(x, y)).Red() < 60;
        EXPECT_GT(dark, 20) << "no label drawn in the last row";
        uitest::DestroyWindow();
        std::list<FolderEntry> folders;
        state_->GetFolders(folders);
        for (const FolderEntry& shared : folders) state_->RemoveFolder(shared.Alias);
    }
}

// Line breaks and tabs a device puts in its name show as spaces, on one line; the stored name keeps them.
TEST_F(Screenshots, ALineBreakInADeviceNameShowsAsASpace) {
    const std::wstring kitchen = L"Kitchen\niPad";
    const std::wstring family = L"Tom\r\nand\tJerry's Living Room Tablet";
    const uint64_t first = Device(kitchen, L"d1", L"ipad", true);
    Device(family, L"d2", L"", false);
    // The pointer away from the side bar, so no tip covers a name.
    wxUIActionSimulator().MouseMove(900, 700);
    CalvoroForm* window = OpenWindow();
    window->RebuildSideBar(first);
    Pump(300ms);
    const std::vector<SideBarEntry*> entries = window->GetEntries();
    ASSERT_EQ(3u, entries.size());
    std::set<wxString> shown;
    for (size_t i = 1; i < entries.size(); ++i) {
        wxStaticText* label = entries[i]->GetLabelControl();
        shown.insert(label->GetLabelText());
        EXPECT_EQ(label->GetLabelText(), label->GetToolTipText()) << i;
        EXPECT_LT(label->GetSize().y, 2 * label->GetCharHeight()) << i;
        EXPECT_LT(entries[i]->GetSize().y, 2 * label->GetCharHeight() + 6) << "the entry is one line high: " << i;
    }
    EXPECT_EQ((std::set<wxString>{"Kitchen iPad", "Tom and Jerry's Living Room Tablet"}), shown);
    EXPECT_EQ(kitchen, state_->GetSession(first).Name);
    Take("device-name-line-feed");
}

TEST(OneLineText, LineBreaksAndTabsBecomeSpaces) {
    const struct {
        const wchar_t* name;
        const char* shown;
    } cases[] = {
        {L"plain", "plain"},           {L"a\nb", "a b"},     {L"a\r\nb", "a b"},    {L"a\rb", "a b"},
        {L"a\n\nb", "a  b"},           {L"a\tb", "a b"},     {L"a\x2028" L"b", "a b"}, {L"a\x0085" L"b", "a b"},
        {L"\nlead and end\n", " lead and end "}, {L"a\vb\fc", "a b c"},
    };
    for (const auto& c : cases) EXPECT_EQ(wxString::FromUTF8(c.shown), ToOneLineUiText(c.name)) << c.shown;
}

}  // namespace
