// The shared-folder list: plus and minus, rows and expanders, drops, and events that arrive while the
// list's own dialogs run.
#include <filesystem>
#include <thread>

#include <wx/dataobj.h>
#include <wx/dnd.h>
#include <wx/statbmp.h>
#include <wx/uiaction.h>

#include "UiTestSupport.h"
#include "kivlib/kiv_text.h"
#include "ui/CalvoroForm.h"
#include "ui/DevicePanels.h"
#include "ui/FolderRows.h"
#include "ui/GenericDialogBase.h"
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
    // Selects a row the way a person does and waits for the rebuild that highlights it.
    void SelectRow(size_t row) {
        const std::wstring path = List()->GetRows()[row]->GetPath();
        ClickOn(List()->GetRows()[row]);
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
    ClickOn(List()->GetRows()[0]->GetExpander());
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(4); }));
    std::vector<GenericEntry*> rows = List()->GetRows();
    EXPECT_TRUE(rows[0]->IsSelected()) << "the selection survives the expansion";
    EXPECT_NE(nullptr, wxDynamicCast(rows[1], FolderListEntry));
    EXPECT_EQ("Season 1", rows[1]->GetLabelText().ToStdString());
    EXPECT_EQ(nullptr, wxDynamicCast(rows[2], FolderListEntry));
    EXPECT_EQ("clip.mp4", rows[2]->GetLabelText().ToStdString());
    EXPECT_GT(rows[1]->GetExpander()->GetPosition().x, rows[0]->GetExpander()->GetPosition().x);
    // Rows alternate white and light blue from the top, whatever their depth; the selected one is blue.
    EXPECT_EQ(wxColour(71, 137, 204), rows[0]->GetBackgroundColour());
    EXPECT_EQ(wxColour(237, 243, 255), rows[1]->GetBackgroundColour());
    EXPECT_EQ(wxColour(255, 255, 255), rows[2]->GetBackgroundColour());
    EXPECT_EQ(wxColour(237, 243, 255), rows[3]->GetBackgroundColour());

    // A file row is highlighted but gives minus nothing to remove.
    SelectRow(2);
    EXPECT_EQ(-1, List()->GetSelectedRowId());
    EXPECT_FALSE(List()->GetRows()[0]->IsSelected());
    ClickOn(BottomBarImage(window_, 1));
    Pump(100ms);
    EXPECT_EQ(2u, SharedPaths(*state_).size());

    ClickOn(List()->GetRows()[0]->GetExpander());
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(2); }));
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
    wxWindow* subFolder = List()->GetRows()[1];
    ASSERT_NE(nullptr, wxDynamicCast(subFolder, FolderListEntry));
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
            sim.MouseMove(subFolder->GetScreenRect().GetPosition() + wxPoint(60, 8));
            Pump(50ms);
            sim.MouseClick(wxMOUSE_BTN_RIGHT);
            ASSERT_TRUE(PumpUntil([&] { return chose; }));
            Pump(300ms);
        },
        wxExpectModal<wxGenericMessageDialog>(wxID_YES, "Are you sure you wish to stop sharing \"Other\"?"));
    ASSERT_TRUE(PumpUntil([&] { return RowsAre(3); }));
    EXPECT_EQ(std::vector<std::wstring>{movies}, SharedPaths(*state_));
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
