// The shared-folder list: plus and minus, rows and expanders, drops, and events that arrive while the
// list's own dialogs run.
#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include <wx/dataobj.h>
#include <wx/dnd.h>
#include <wx/statbmp.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include "UiTestSupport.h"
#include "kivlib/kiv_text.h"
#include "ui/CalvoroForm.h"
#include "ui/DevicePanels.h"
#include "ui/FolderRows.h"
#include "ui/GenericDialogBase.h"
#include "ui/ModalScope.h"
#include "ui/TaskBarIcon.h"
#include "ui/UiCommon.h"
#include "ui/VideoFoldersList.h"

namespace {

using namespace std::chrono_literals;
using uitest::ClickOn;
using uitest::Pump;
using uitest::PumpUntil;

// The plus (first) or minus (second) image of the bottom bar.
wxWindow* BottomBarImage(CalvoroForm* window, size_t which) {
    for (wxWindow* child : window->GetChildren()) {
        std::vector<wxWindow*> images;
        for (wxWindow* inner : child->GetChildren())
            if (wxDynamicCast(inner, wxStaticBitmap) && inner->GetSize() == wxSize(22, 22)) images.push_back(inner);
        if (images.size() == 2) return images[which];
    }
    return nullptr;
}

std::vector<std::wstring> SharedPaths(State& state) {
    std::list<FolderEntry> folders;
    state.GetFolders(folders);
    std::vector<std::wstring> paths;
    for (const FolderEntry& folder : folders) paths.push_back(folder.Path);
    std::sort(paths.begin(), paths.end());
    return paths;
}

class FolderList : public uitest::WindowTest {
protected:
    void TearDown() override {
        VideoFoldersList::SetFolderChooser(nullptr);
        WindowTest::TearDown();
    }
    VideoFoldersList* List() { return window_->GetFolderList() ? window_->GetFolderList()->GetList() : nullptr; }
    bool RowsAre(size_t count) { return List() && List()->GetRows().size() == count; }
    // The place of the row of the path (the directory lists in no particular order).
    size_t IndexOf(const std::wstring& path) {
        const std::vector<GenericEntry*>& rows = List()->GetRows();
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i]->GetPath() == path) return i;
        ADD_FAILURE() << "no row for " << kivm::str_conv(path);
        return 0;
    }
    void ClickOnExpander(size_t row) {
        const wxRect expander = List()->GetRows()[row]->GetExpanderRect();
        uitest::ClickOnRow(List(), row, wxPoint(expander.x + expander.width / 2, expander.y + expander.height / 2));
    }
    // Selects a row the way a person does and waits until it is highlighted.
    void SelectRow(size_t row) {
        const std::wstring path = List()->GetRows()[row]->GetPath();
        uitest::ClickOnRow(List(), row);
        ASSERT_TRUE(PumpUntil([&] {
            return List()->GetRows().size() > row && List()->GetRows()[row]->IsSelected() &&
                   List()->GetRows()[row]->GetPath() == path;
        }));
    }
};

TEST_F(FolderList, PlusSharesTheChosenFolderAndMinusRemovesItAfterAYes) {
    const std::wstring movies = MakeVideoFolder("Movies");
    CalvoroForm* window = OpenWindow();
    // Plus while a device is selected selects "Video Folders" first.
    AnnounceFromThread(L"Phone", L"device-1");
    ASSERT_EQ(nullptr, window->GetFolderList());
    int chooserCalls = 0;
    VideoFoldersList::SetFolderChooser([&](wxWindow*, std::wstring& path) {
        ++chooserCalls;
        path = movies;
        return true;
    });
    ClickOn(BottomBarImage(window, 0));
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(1); }));
    EXPECT_EQ(1, chooserCalls);
    EXPECT_EQ(0, window->GetSelectedEntryId());
    EXPECT_EQ(std::vector<std::wstring>{movies}, SharedPaths(*state_));
    EXPECT_EQ(ToUiText(movies), List()->GetRows()[0]->GetLabelText());

    // Minus with nothing selected asks nothing (an unexpected dialog fails the test).
    ClickOn(BottomBarImage(window, 1));
    SelectRow(0);
    EXPECT_EQ(0, List()->GetSelectedRowId());
    const wxString question = "Are you sure you wish to stop sharing \"Movies\"?";
    wxTEST_DIALOG(ClickOn(BottomBarImage(window, 1)), wxExpectModal<wxGenericMessageDialog>(wxID_NO, question));
    Pump(100ms);
    EXPECT_EQ(1u, SharedPaths(*state_).size());
    wxTEST_DIALOG(ClickOn(BottomBarImage(window, 1)), wxExpectModal<wxGenericMessageDialog>(wxID_YES, question));
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(0); }));
    EXPECT_TRUE(SharedPaths(*state_).empty());
}

TEST_F(FolderList, ACancelledChooserChangesNothing) {
    OpenWindow();
    VideoFoldersList::SetFolderChooser([](wxWindow*, std::wstring&) { return false; });
    ClickOn(BottomBarImage(window_, 0));
    Pump(100ms);
    EXPECT_TRUE(SharedPaths(*state_).empty());
}

TEST_F(FolderList, AChosenFolderTheStoreCannotKeepIsReported) {
    const std::string notText = media_.path() + "/caf\xE9";
    std::filesystem::create_directories(notText);
    testsupport::WriteFile(notText + "/clip.mp4", "v");
    OpenWindow();
    VideoFoldersList::SetFolderChooser([&](wxWindow*, std::wstring& path) {
        path = kivm::str_conv(notText);
        return true;
    });
    const wxString report = "The folder " + ToUiText(kivm::str_conv(notText)) + " could not be shared.";
    wxTEST_DIALOG(
        {
            ClickOn(BottomBarImage(window_, 0));
            Pump(300ms);
        },
        wxExpectModal<wxGenericMessageDialog>(wxID_OK, report));
    EXPECT_TRUE(SharedPaths(*state_).empty());
}

TEST_F(FolderList, ExpandingShowsTheContentsAndSelectionFollowsThePath) {
    const std::wstring movies = MakeVideoFolder("Movies");
    std::filesystem::create_directories(media_.path() + "/Movies/Season 1");
    testsupport::WriteFile(media_.path() + "/Movies/Season 1/e1.mkv", "v");
    testsupport::WriteFile(media_.path() + "/Movies/notes.txt", "not a video");
    MakeVideoFolder("Other");
    ASSERT_TRUE(state_->ShareFolder(movies));
    ASSERT_TRUE(state_->ShareFolder(media_.wpath() + L"/Other"));
    OpenWindow();
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(2); }));
    SelectRow(0);

    // The expander of the first row opens it: its video and its sub-folder follow it, indented.
    ClickOnExpander(0);
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(4); }));
    std::vector<GenericEntry*> rows = List()->GetRows();
    EXPECT_TRUE(rows[0]->IsSelected()) << "the selection survives the expansion";
    EXPECT_NE(nullptr, wxDynamicCast(rows[1], FolderListEntry));
    EXPECT_EQ("Season 1", rows[1]->GetLabelText().ToStdString());
    EXPECT_EQ(nullptr, wxDynamicCast(rows[2], FolderListEntry));
    EXPECT_EQ("clip.mp4", rows[2]->GetLabelText().ToStdString());
    EXPECT_GT(rows[1]->GetExpanderRect().x, rows[0]->GetExpanderRect().x);
    // Rows alternate white and light blue from the top, whatever their depth; the selected one is blue.
    EXPECT_EQ(wxColour(71, 137, 204), rows[0]->GetRowColour());
    EXPECT_EQ(wxColour(237, 243, 255), rows[1]->GetRowColour());
    EXPECT_EQ(wxColour(255, 255, 255), rows[2]->GetRowColour());
    EXPECT_EQ(wxColour(237, 243, 255), rows[3]->GetRowColour());

    // A file row is highlighted but gives minus nothing to remove.
    SelectRow(2);
    EXPECT_EQ(-1, List()->GetSelectedRowId());
    EXPECT_FALSE(List()->GetRows()[0]->IsSelected());
    ClickOn(BottomBarImage(window_, 1));
    Pump(100ms);
    EXPECT_EQ(2u, SharedPaths(*state_).size());

    ClickOnExpander(0);
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(2); }));
}

// The rows on screen are the store's tree, row for row: kind, label (the full path of a shared folder,
// else the name), path, expander, and the colour of their place (selected: blue).
void ExpectRowsAreTheTree(State& state, VideoFoldersList* list, const std::wstring& selectedPath) {
    std::list<FolderTreeRow> tree;
    state.GetFolderTree(tree);
    const std::vector<GenericEntry*> rows = list->GetRows();
    ASSERT_EQ(tree.size(), rows.size());
    size_t i = 0;
    for (const FolderTreeRow& row : tree) {
        GenericEntry* entry = rows[i];
        const FolderListEntry* folder = wxDynamicCast(entry, FolderListEntry);
        EXPECT_EQ(row.IsFolder, folder != nullptr) << i;
        EXPECT_EQ(ToUiText(row.Depth == 0 ? row.Path : row.Name), entry->GetLabelText()) << i;
        EXPECT_EQ(row.Path, entry->GetPath()) << i;
        if (folder) {
            EXPECT_EQ(row.Expanded, folder->IsExpanded()) << i;
        }
        const wxColour place = row.Path == selectedPath ? wxColour(71, 137, 204) : FolderRowColour(i % 2 == 1);
        EXPECT_EQ(place, entry->GetRowColour()) << i;
        ++i;
    }
}

// A point of the row's background, right of its label, inside what the list shows.
wxPoint BackgroundOf(wxWindow* shown, VideoFoldersList* list, size_t row) {
    const wxRect rect = uitest::RowScreenRect(list, row);
    return wxPoint(std::min(rect.GetRight(), shown->GetScreenRect().GetRight()) - 40, rect.y + rect.height / 2);
}

// A click that only moves the selection makes and deletes no row: the same rows, the two rows that
// changed painted anew, and no window in the list.
TEST_F(FolderList, ASelectionClickKeepsEveryRow) {
    const std::wstring big = MakeVideoFolder("Big");
    for (int i = 0; i < 40; ++i) testsupport::WriteFile(media_.path() + "/Big/part-" + std::to_string(100 + i) + ".mp4", "v");
    ASSERT_TRUE(state_->ShareFolder(big));
    state_->ToggleFolderExpanded(big);
    OpenWindow();
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(42); }));
    SelectRow(0);
    const std::vector<GenericEntry*> before = List()->GetRows();
    const size_t children = List()->GetChildren().size();
    EXPECT_EQ(0u, children) << "the rows are drawn by the list, not windows of their own";

    SelectRow(3);
    EXPECT_EQ(before, List()->GetRows());
    EXPECT_EQ(children, List()->GetChildren().size());
    EXPECT_FALSE(before[0]->IsSelected());
    EXPECT_EQ(-1, List()->GetSelectedRowId()) << "a file gives minus nothing to remove";
    ExpectRowsAreTheTree(*state_, List(), before[3]->GetPath());
    // What the screen shows: the new row in the selection colour, the old one in its place's colour.
    wxWindow* shown = window_->GetFolderList();
    EXPECT_TRUE(PumpUntil([&] { return uitest::ScreenColour(BackgroundOf(shown, List(), 3)) == wxColour(71, 137, 204); }));
    EXPECT_TRUE(PumpUntil([&] { return uitest::ScreenColour(BackgroundOf(shown, List(), 0)) == wxColour(255, 255, 255); }));

    // Back to the shared folder: minus knows it again, and still no row was made.
    SelectRow(0);
    EXPECT_EQ(0, List()->GetSelectedRowId());
    EXPECT_EQ(before, List()->GetRows());
    const wxString question = "Are you sure you wish to stop sharing \"Big\"?";
    wxTEST_DIALOG(ClickOn(BottomBarImage(window_, 1)), wxExpectModal<wxGenericMessageDialog>(wxID_NO, question));
}

// An expansion adds just the folder's contents right below it, a collapse takes just them away; the
// other rows are kept, and every row shows the tree's order, texts and alternating colours
// (an odd number of new rows moves the colours of those below). Row ids follow the places.
TEST_F(FolderList, AnExpansionAddsAndACollapseRemovesOnlyTheFoldersOwnRows) {
    const std::wstring movies = MakeVideoFolder("Movies");
    std::filesystem::create_directories(media_.path() + "/Movies/Season 1");
    testsupport::WriteFile(media_.path() + "/Movies/Season 1/e1.mkv", "v");
    testsupport::WriteFile(media_.path() + "/Movies/Season 1/e2.mkv", "v");
    testsupport::WriteFile(media_.path() + "/Movies/Season 1/e3.mkv", "v");
    testsupport::WriteFile(media_.path() + "/Movies/b.avi", "v");
    const std::wstring series = MakeVideoFolder("Series");
    ASSERT_TRUE(state_->ShareFolder(movies));
    ASSERT_TRUE(state_->ShareFolder(series));
    state_->ToggleFolderExpanded(movies);
    OpenWindow();
    // Movies, Season 1, b.avi, clip.mp4, Series
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(5); }));
    SelectRow(4);
    const std::vector<GenericEntry*> before = List()->GetRows();
    ExpectRowsAreTheTree(*state_, List(), series);

    // "Season 1" opens: its three videos follow it, nothing else is made anew.
    const size_t season = IndexOf(movies + L"/Season 1");
    ClickOnExpander(season);
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(8); }));
    const std::vector<GenericEntry*> after = List()->GetRows();
    EXPECT_EQ(std::vector<GenericEntry*>(before.begin(), before.begin() + season + 1),
              std::vector<GenericEntry*>(after.begin(), after.begin() + season + 1));
    EXPECT_EQ(std::vector<GenericEntry*>(before.begin() + season + 1, before.end()),
              std::vector<GenericEntry*>(after.begin() + season + 4, after.end()));
    std::set<std::string> added;
    for (size_t i = season + 1; i < season + 4; ++i) {
        EXPECT_EQ(before.end(), std::find(before.begin(), before.end(), after[i])) << "row " << i << " is new";
        added.insert(after[i]->GetLabelText().ToStdString());
    }
    EXPECT_EQ((std::set<std::string>{"e1.mkv", "e2.mkv", "e3.mkv"}), added);
    ExpectRowsAreTheTree(*state_, List(), series);
    EXPECT_EQ(7, List()->GetSelectedRowId()) << "the selected shared folder moved down";
    // The moved rows answer to their new places: minus asks about "Series", a click on a moved row
    // selects that row.
    wxTEST_DIALOG(ClickOn(BottomBarImage(window_, 1)),
                  wxExpectModal<wxGenericMessageDialog>(wxID_NO, "Are you sure you wish to stop sharing \"Series\"?"));
    SelectRow(IndexOf(movies + L"/clip.mp4"));
    SelectRow(7);

    // Closed again: the same rows as before it opened.
    ClickOnExpander(season);
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(5); }));
    EXPECT_EQ(before, List()->GetRows());
    ExpectRowsAreTheTree(*state_, List(), series);

    // A folder below opens while a file appeared on disk above it: the list shows the tree as it is.
    testsupport::WriteFile(media_.path() + "/Movies/a.mp4", "v");
    ClickOnExpander(IndexOf(series));
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(7); }));
    ExpectRowsAreTheTree(*state_, List(), series);
    EXPECT_EQ(before[0], List()->GetRows()[0]);
}

// The pop-up menu of any folder row stops sharing the selected shared folder, after the confirmation
// that names it.
TEST_F(FolderList, TheDeleteItemOfAFolderRowRemovesTheSelectedSharedFolder) {
    const std::wstring movies = MakeVideoFolder("Movies");
    std::filesystem::create_directories(media_.path() + "/Movies/Season 1");
    testsupport::WriteFile(media_.path() + "/Movies/Season 1/e1.mkv", "v");
    ASSERT_TRUE(state_->ShareFolder(movies));
    ASSERT_TRUE(state_->ShareFolder(MakeVideoFolder("Other")));
    state_->ToggleFolderExpanded(movies);
    OpenWindow();
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(4); }));
    SelectRow(3);  // "Other", the second shared folder
    uitest::FocusForTyping(window_);

    // Right-click the sub-folder row of "Movies" and choose the menu's one item with the keyboard.
    ASSERT_NE(nullptr, wxDynamicCast(List()->GetRows()[1], FolderListEntry));
    const wxPoint subFolder = uitest::RowScreenRect(List(), 1).GetPosition() + wxPoint(60, 8);
    bool chose = false;
    uitest::RunLater(300ms, [&]() {
        wxUIActionSimulator keys;
        keys.Char(WXK_DOWN);
        keys.Char(WXK_RETURN);
        chose = true;
    });
    wxTEST_DIALOG(
        {
            wxUIActionSimulator sim;
            sim.MouseMove(subFolder);
            Pump(50ms);
            sim.MouseClick(wxMOUSE_BTN_RIGHT);
            ASSERT_TRUE(PumpUntil([&] { return chose; }));
            Pump(300ms);
        },
        wxExpectModal<wxGenericMessageDialog>(wxID_YES, "Are you sure you wish to stop sharing \"Other\"?"));
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(3); }));
    EXPECT_EQ(std::vector<std::wstring>{movies}, SharedPaths(*state_));
}

// Every place of the list answers its own button: left on a row selects it, left on a folder's
// expander opens it (above), and nothing else changes anything: a file's spacer, the space below the
// last row, a right click anywhere but on a folder row. A right click on a folder row, at any depth and
// anywhere on it, opens its menu and leaves the selection as it was.
TEST_F(FolderList, EachPlaceOfTheListAnswersOnlyItsOwnClick) {
    const std::wstring movies = MakeVideoFolder("Movies");
    std::filesystem::create_directories(media_.path() + "/Movies/Season 1");
    testsupport::WriteFile(media_.path() + "/Movies/Season 1/e1.mkv", "v");
    const std::wstring other = MakeVideoFolder("Other");
    ASSERT_TRUE(state_->ShareFolder(movies));
    ASSERT_TRUE(state_->ShareFolder(other));
    state_->ToggleFolderExpanded(movies);
    OpenWindow();
    // Movies, Season 1, clip.mp4, Other
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(4); }));
    SelectRow(3);
    uitest::FocusForTyping(window_);
    const std::vector<GenericEntry*> rows = List()->GetRows();
    ASSERT_EQ(nullptr, wxDynamicCast(rows[2], FolderListEntry));
    ASSERT_LT(List()->GetRowRect(3).GetBottom() + 20, List()->GetClientSize().y) << "room below the last row";

    // A menu that opens is seen (our scope around it) and closed with Escape.
    bool menuSeen = false;
    wxTimer watcher;
    watcher.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (!ModalScope::Active() || menuSeen) return;
        menuSeen = true;
        wxUIActionSimulator().Char(WXK_ESCAPE);
    });
    watcher.Start(20);
    // The pointer's moves that reach the list: one after a click tells that the click was handled
    // (an open menu would have taken it instead).
    wxPoint lastMove;
    List()->Bind(wxEVT_MOTION, [&](wxMouseEvent& event) {
        lastMove = event.GetPosition();
        event.Skip();
    });

    enum Place { Middle, Expander, Below };
    const struct {
        const char* what;
        size_t row;
        Place place;
        int button;
        bool menu;
    } cases[] = {
        {"left on a file's spacer", 2, Expander, wxMOUSE_BTN_LEFT, false},
        {"left below the last row", 3, Below, wxMOUSE_BTN_LEFT, false},
        {"right below the last row", 3, Below, wxMOUSE_BTN_RIGHT, false},
        {"right on a file row", 2, Middle, wxMOUSE_BTN_RIGHT, false},
        {"right on a sub-folder row", 1, Middle, wxMOUSE_BTN_RIGHT, true},
        {"right on a shared folder's expander", 0, Expander, wxMOUSE_BTN_RIGHT, true},
        {"right on the selected shared folder", 3, Middle, wxMOUSE_BTN_RIGHT, true},
    };
    int marker = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        menuSeen = false;
        const wxRect row = List()->GetRowRect(c.row);
        const wxRect expander = rows[c.row]->GetExpanderRect();
        wxPoint at(row.width / 2, row.y + row.height / 2);
        if (c.place == Expander) at = row.GetPosition() + expander.GetPosition() + wxPoint(6, 6);
        if (c.place == Below) at = wxPoint(60, row.GetBottom() + 10);
        uitest::ClickOn(List(), at, c.button);
        if (c.menu) {
            ASSERT_TRUE(PumpUntil([&] { return menuSeen && !ModalScope::Active(); }));
        } else {
            const wxPoint moved(100 + marker++, row.GetBottom() + 15);
            wxUIActionSimulator().MouseMove(List()->ClientToScreen(moved));
            ASSERT_TRUE(PumpUntil([&] { return lastMove == moved; }));
            EXPECT_FALSE(menuSeen);
        }
        Pump(50ms);
        EXPECT_EQ(rows, List()->GetRows()) << "no rebuild, no row toggled open or closed";
        for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(i == 3, rows[i]->IsSelected()) << i;
        EXPECT_EQ(3, List()->GetSelectedRowId());
        std::list<FolderTreeRow> tree;
        state_->GetFolderTree(tree);
        EXPECT_EQ(4u, tree.size()) << "the store's expansion is as it was";
        EXPECT_EQ(2u, SharedPaths(*state_).size());
    }
    watcher.Stop();

    // The same pointer and list select a file with a left click on its label.
    uitest::ClickOnRow(List(), 2, wxPoint(List()->GetRowRect(2).width / 2, 8));
    EXPECT_TRUE(PumpUntil([&] { return rows[2]->IsSelected() && !rows[3]->IsSelected(); }));
    EXPECT_EQ(-1, List()->GetSelectedRowId());
}

// The window's pixels now, through a screenshot of it (screenshots/NAME.png).
wxImage WindowPixels(const std::string& name) {
    uitest::Screenshot("Calvoro - v1.0.3.3", name);
    wxImage image;
    image.LoadFile(std::string(CALVORO_SCREENSHOT_DIR) + "/" + name + ".png", wxBITMAP_TYPE_PNG);
    return image;
}

// How many pixels of area (in later's coordinates) differ from earlier's pixel at that place + shift.
int DifferingAfterMove(const wxImage& earlier, const wxImage& later, const wxRect& area, const wxPoint& shift) {
    if (!earlier.IsOk() || !later.IsOk()) return -1;
    int differing = 0;
    for (int y = area.y; y <= area.GetBottom(); ++y) {
        for (int x = area.x; x <= area.GetRight(); ++x) {
            const int ex = x + shift.x, ey = y + shift.y;
            differing += earlier.GetRed(ex, ey) != later.GetRed(x, y) || earlier.GetGreen(ex, ey) != later.GetGreen(x, y) ||
                         earlier.GetBlue(ex, ey) != later.GetBlue(x, y);
        }
    }
    return differing;
}

// The wheel scrolls the rows as the scroller's bars do, and a label wider than the list is scrolled to
// sideways: what the list shows afterwards is what it showed before, moved by the distance scrolled.
TEST_F(FolderList, TheWheelAndTheScrollBarsScrollTheRows) {
    const std::string longName(120, 'w');
    const std::wstring wide = MakeVideoFolder(longName);
    for (int i = 0; i < 100; ++i)
        testsupport::WriteFile(media_.path() + "/" + longName + "/v" + std::to_string(100 + i) + ".mp4", "v");
    ASSERT_TRUE(state_->ShareFolder(wide));
    state_->ToggleFolderExpanded(wide);
    OpenWindow();
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(102); }));
    VideoFoldersScroller* scroller = window_->GetFolderList();
    ASSERT_EQ(wxPoint(0, 0), scroller->GetViewStart());
    const wxSize client = List()->GetClientSize();
    const wxPoint origin = window_->ScreenToClient(List()->GetScreenPosition());
    // Clear of the bars, which the toolkit lays over the right and bottom edges while scrolling.
    const int margin = 12;
    wxWindow* shown = window_->GetFolderList();
    const wxPoint firstFile(shown->GetScreenRect().GetRight() - 40, uitest::RowScreenRect(List(), 1).y + 10);
    ASSERT_TRUE(PumpUntil([&] { return uitest::ScreenColour(firstFile) == FolderRowColour(true); }));
    const wxImage top = WindowPixels("folders-top");

    // A turn of the wheel down, over the list.
    const wxPoint middle = List()->ClientToScreen(wxPoint(client.x / 2, client.y / 2));
    const std::string wheel = "xdotool mousemove " + std::to_string(middle.x) + " " + std::to_string(middle.y) + " click 5";
    ASSERT_EQ(0, system(wheel.c_str()));
    ASSERT_TRUE(PumpUntil([&] { return scroller->GetViewStart().y > 0; }));
    const int down = List()->GetRowRect(0).y * -1;
    ASSERT_GT(down, 0);
    ASSERT_LT(down, client.y / 2);
    EXPECT_EQ(5 * scroller->GetViewStart().y, down);
    const wxRect kept(origin.x, origin.y, client.x - margin, client.y - down - margin);
    EXPECT_TRUE(PumpUntil([&] { return DifferingAfterMove(top, WindowPixels("folders-wheeled"), kept, wxPoint(0, down)) == 0; }));

    // The shared folder's label (its full path) is wider than the list. Selected (so in bold, as wide
    // as the row is measured for) and scrolled 100 pixels sideways, the rows move left by as much.
    scroller->Scroll(0, 0);
    uitest::ClickOnRow(List(), 0, wxPoint(60, 8));
    ASSERT_TRUE(PumpUntil([&] { return List()->GetRows()[0]->IsSelected(); }));
    const wxPoint selectedSpot = uitest::RowScreenRect(List(), 0).GetPosition() + wxPoint(client.x - 40, 4);
    ASSERT_TRUE(PumpUntil([&] { return uitest::ScreenColour(selectedSpot) == wxColour(71, 137, 204); }));
    ASSERT_GT(List()->GetRowRect(0).width, client.x);
    const wxImage left = WindowPixels("folders-selected-wide");
    scroller->Scroll(20, 0);
    EXPECT_EQ(-100, List()->GetRowRect(0).x);
    const wxRect moved(origin.x, origin.y, client.x - 100 - margin, client.y - margin);
    EXPECT_TRUE(PumpUntil([&] {
        return DifferingAfterMove(left, WindowPixels("folders-scrolled-sideways"), moved, wxPoint(100, 0)) == 0;
    }));

    // Scrolled to its right end (in steps of 5 pixels), the row reaches the list's right edge.
    scroller->Scroll(List()->GetRowRect(0).width, 0);
    const wxRect end = List()->GetRowRect(0);
    EXPECT_LT(end.x, -100);
    EXPECT_GE(end.GetRight(), client.x - 1);
    EXPECT_LT(end.GetRight(), client.x + 5);
}

// A drop as the toolkit delivers it: a text/uri-list turned into file names by wxFileDataObject.
wxArrayString DroppedNames(const std::string& uriList) {
    wxFileDataObject data;
    data.SetData(uriList.size(), uriList.data());
    return data.GetFilenames();
}

TEST_F(FolderList, ADropSharesExactlyTheFoldersThatCanBeShared) {
    const std::wstring blank = MakeVideoFolder("two words");
    const std::wstring plain = MakeVideoFolder("plain");
    const std::string notText = media_.path() + "/caf\xFF";
    std::filesystem::create_directories(notText);
    testsupport::WriteFile(notText + "/clip.mp4", "v");
    testsupport::WriteFile(media_.path() + "/loose.mp4", "v");
    OpenWindow();
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(0); }));

    const std::string base = "file://" + media_.path();
    const wxArrayString names =
        DroppedNames(base + "/two%20words\r\n" + base + "/caf%FF\r\n" + base + "/plain\r\n" + base + "/loose.mp4\r\n");
    ASSERT_EQ(4u, names.size());
    // The names reach the store with their bytes: the blank as it is, 0xFF as U+DCFF.
    EXPECT_EQ(blank, FromToolkitFileName(names[0]));
    EXPECT_EQ(kivm::str_conv(notText), FromToolkitFileName(names[1]));

    const wxString refused = "These could not be shared:\n" + ToUiText(kivm::str_conv(notText)) + "\n" +
                             ToUiText(media_.wpath() + L"/loose.mp4");
    wxTEST_DIALOG(
        {
            static_cast<wxFileDropTarget*>(List()->GetDropTarget())->OnDropFiles(5, 5, names);
            ASSERT_TRUE(PumpUntil([&] { return RowsAre(2); }));
            Pump(200ms);
        },
        wxExpectModal<wxGenericMessageDialog>(wxID_OK, refused));
    const std::vector<std::wstring> expected = {plain, blank};
    EXPECT_EQ(expected, SharedPaths(*state_));
    // Under every row lies the list itself, whose target takes the drop.
    for (size_t i = 0; i < 2; ++i) {
        const wxRect row = uitest::RowScreenRect(List(), i);
        EXPECT_EQ(List(), wxFindWindowAtPoint(wxPoint(row.x + row.width / 2, row.y + row.height / 2))) << i;
    }
}

TEST_F(FolderList, ADropOnVideoFoldersSharesAndShowsTheWindowWithTheList) {
    const std::wstring movies = MakeVideoFolder("Movies");
    CalvoroForm* window = OpenWindow();
    AnnounceFromThread(L"Phone", L"device-1");
    window->Show(false);
    wxArrayString names;
    names.Add(wxString(kivm::str_conv(movies).c_str(), *wxConvFileName));
    static_cast<wxFileDropTarget*>(window->GetEntries()[0]->GetDropTarget())->OnDropFiles(5, 5, names);
    ASSERT_TRUE(PumpUntil([&] { return window->IsShown() && RowsAre(1); }));
    EXPECT_EQ(0, window->GetSelectedEntryId());
    EXPECT_EQ(std::vector<std::wstring>{movies}, SharedPaths(*state_));
}

// A client event while the confirmation runs must not rebuild the window under the running handler:
// it is applied once the dialog has returned.
TEST_F(FolderList, AClientEventWhileTheConfirmationIsOpenWaitsForIt) {
    ASSERT_TRUE(state_->ShareFolder(MakeVideoFolder("Movies")));
    CalvoroForm* window = OpenWindow();
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(1); }));
    SelectRow(0);
    wxWindow* const listBefore = window->GetContent();

    bool sawDialog = false;
    bool contentKept = false;
    uitest::WhenModalDialog([&](wxDialog* dialog) {
        sawDialog = true;
        // From a connection thread, while the dialog's own loop runs.
        std::thread connection([this]() { events_->ClientAnnounced(L"Phone", L"device-1"); });
        connection.join();
        uitest::RunLater(300ms, [&, dialog]() {
            contentKept = window->GetContent() == listBefore;
            dialog->EndModal(wxID_YES);
        });
    });
    ClickOn(BottomBarImage(window, 1));
    ASSERT_TRUE(PumpUntil([&] { return sawDialog && SharedPaths(*state_).empty(); }));
    EXPECT_TRUE(contentKept);
    // Then the event is applied: the device is selected with its PIN panel.
    ASSERT_TRUE(PumpUntil([&] { return dynamic_cast<EnterDigitsPnl*>(window->GetContent()) != nullptr; }));
}

TEST_F(FolderList, QuitWhileTheConfirmationIsOpenEndsItFirst) {
    ASSERT_TRUE(state_->ShareFolder(MakeVideoFolder("Movies")));
    CalvoroForm* window = OpenWindow();
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(1); }));
    SelectRow(0);
    uitest::WhenModalDialog([window](wxDialog*) { CalvoroForm::PostQuit(window); });
    ClickOn(BottomBarImage(window, 1));
    ASSERT_TRUE(PumpUntil([] { return CalvoroForm::GetInstance() == nullptr; }));
    EXPECT_EQ(1u, SharedPaths(*state_).size()) << "an ended confirmation removes nothing";
}

// Behind a dialog that was not opened from the list, the list shows the shared folders.
TEST_F(FolderList, BehindThePreferencesFromTheIconsMenuTheFoldersShow) {
    ASSERT_TRUE(state_->ShareFolder(MakeVideoFolder("Movies")));
    ASSERT_TRUE(state_->ShareFolder(MakeVideoFolder("Series")));
    OpenWindow();
    window_->SetNotificationIcon(std::make_unique<TaskBarIcon>(window_));
    window_->Show(false);
    Pump(100ms);
    bool rowsBehind = false;
    uitest::WhenModalDialog([&](wxDialog* dialog) {
        rowsBehind = PumpUntil([&] { return window_->IsShownOnScreen() && RowsAre(2); });
        dialog->Move(window_->GetScreenRect().GetRight() + 10, 0);
        Pump(500ms);
        uitest::Screenshot("root", "folders-behind-preferences");
        dialog->EndModal(wxID_CANCEL);
    });
    wxCommandEvent choose(wxEVT_MENU, TaskBarIcon::IdPreferences);
    window_->GetEventHandler()->ProcessEvent(choose);
    ASSERT_TRUE(PumpUntil([this] {
        return window_->GetPreferencesDialog() && !window_->GetPreferencesDialog()->IsModal();
    }, 30s));
    EXPECT_TRUE(rowsBehind);
}

TEST_F(FolderList, BehindTheMessageAfterADropTheFoldersShow) {
    const std::wstring movies = MakeVideoFolder("Movies");
    CalvoroForm* window = OpenWindow();
    window->Show(false);
    wxArrayString names;
    names.Add(wxString(kivm::str_conv(movies).c_str(), *wxConvFileName));
    names.Add(wxString((media_.path() + "/missing").c_str(), *wxConvFileName));
    bool rowsBehind = false;
    uitest::WhenModalDialog([&](wxDialog* dialog) {
        rowsBehind = PumpUntil([&] { return window->IsShownOnScreen() && RowsAre(1); });
        dialog->EndModal(wxID_OK);
    });
    static_cast<wxFileDropTarget*>(window->GetEntries()[0]->GetDropTarget())->OnDropFiles(5, 5, names);
    ASSERT_TRUE(PumpUntil([&] { return rowsBehind; }, 30s));
}

}  // namespace
