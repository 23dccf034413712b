// Helpers of the window tests: the X server of the test program, event pumping, the window with a
// real state store and events object, and the expectation for our confirmation dialogs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>
#include <wx/colour.h>
#include <wx/gdicmn.h>
#include <wx/mousestate.h>
#include <gtest/gtest.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/testing.h>

#include "core/IEvents.h"
#include "core/State.h"
#include "core/Timer.h"
#include "support/TestSupport.h"
#include "support/XServer.h"

class CalvoroForm;
class VideoFoldersList;
class wxButton;
class wxDialog;

namespace uitest {

// Runs the toolkit's event handling (X events, queued events, idle work) until done() holds or the
// time is up; the result of done() at the end. The time only catches a hang: at load a window can take
// seconds to come.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(30));
// Runs the event handling for a while.
void Pump(std::chrono::milliseconds duration);
// Clicks a window with the real pointer, as a person would: in its middle, or at offset, with the
// button (wxMOUSE_BTN_LEFT, wxMOUSE_BTN_RIGHT). Clicks are kept apart in time, so two never make a
// double click.
void ClickOn(wxWindow* window, wxPoint offset = wxDefaultPosition, int button = wxMOUSE_BTN_LEFT);
// Clicks the row of the folder list at index with the real pointer, through the list window: in the
// row's middle, or at offset from its top left corner.
void ClickOnRow(VideoFoldersList* list, size_t index, wxPoint offset = wxDefaultPosition, int button = wxMOUSE_BTN_LEFT);
// Where the row of the folder list at index lies on the screen.
wxRect RowScreenRect(VideoFoldersList* list, size_t index);
// Runs the event handling until keys pressed now go to top, named name on the X server: the toolkit
// has taken the focus into it (its focus event handled), as the simulator moves the X focus to that
// window; false when that did not come.
bool WaitUntilActive(wxWindow* top, const std::string& name);
// Gives the window the keyboard: the X input focus (there is no window manager) and the pointer.
void FocusForTyping(wxWindow* window);
// Runs action (from the dialog's own loop) once a modal dialog of ours is showing.
void WhenModalDialog(std::function<void(wxDialog*)> action);
// Runs action later from the event loop that is running then (also a dialog's own loop).
void RunLater(std::chrono::milliseconds delay, std::function<void()> action);
// Writes the pixels of the first shown X window whose name matches the pattern (xdotool's) to
// screenshots/NAME.png, "root" for the whole screen; the image's size, empty when none was written.
wxSize Screenshot(const std::string& namePattern, const std::string& name);
// The colour the X server shows at a point of the screen: what is painted there.
wxColour ScreenColour(const wxPoint& at);
// Presses the button as its click would: its event, from the button.
void PressButton(wxButton* button);
// Every text and button inside top is at least as tall as it asks to be, measured afresh.
void ExpectControlsWhole(wxWindow* top);

// A state store in a temporary folder, an events object over it, and the main window (created by
// OpenWindow, shown). The window goes with the fixture.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    CalvoroForm* OpenWindow();
    // Announces a device as a connection thread would (on its own thread) and waits until the window
    // has taken the event in. The session's id.
    uint64_t AnnounceFromThread(const std::wstring& name, const std::wstring& uniqueId);
    ClientSession SessionOf(const std::wstring& uniqueId);
    // A folder under the temporary folder holding one video, so it can be listed and shared.
    std::wstring MakeVideoFolder(const std::string& name);

    testsupport::TempDir data_;
    testsupport::TempDir media_;
    boost::shared_ptr<State> state_;
    TimerFactory timers_;
    boost::shared_ptr<IEvents> events_;
    CalvoroForm* window_ = nullptr;
};

// Destroys the window if it still exists and lets the toolkit delete it.
void DestroyWindow();

}  // namespace uitest

// Answers our Yes/No confirmation (a generic message dialog) and checks its text when one is given.
template <>
class wxExpectModal<wxGenericMessageDialog> : public wxExpectModalBase<wxGenericMessageDialog> {
public:
    explicit wxExpectModal(int answer, const wxString& message = wxString()) : answer_(answer), message_(message) {}

protected:
    int OnInvoked(wxGenericMessageDialog* dialog) const override {
        if (!message_.empty()) {
            EXPECT_EQ(message_.ToStdString(wxConvUTF8), dialog->GetMessage().ToStdString(wxConvUTF8));
        }
        return answer_;
    }

private:
    int answer_;
    wxString message_;
};
