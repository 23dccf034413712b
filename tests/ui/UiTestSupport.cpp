#include "UiTestSupport.h"

#include <filesystem>
#include <thread>

#include <stdlib.h>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/image.h>
#include <wx/stattext.h>
#include <wx/evtloop.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "core/Events.h"
#include "kivlib/kiv_text.h"
#include "ui/CalvoroForm.h"
#include "ui/VideoFoldersList.h"

namespace uitest {

namespace {
void PumpOnce() {
    if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->YieldFor(wxEVT_CATEGORY_ALL);
    wxTheApp->ProcessPendingEvents();
    wxTheApp->ProcessIdle();
}
}  // namespace

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        PumpOnce();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void Pump(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

namespace {
// The name of the top-level X window that has the keyboard: the X focus, or with the focus following
// the pointer, the window under the pointer; empty when none.
std::string KeyboardWindowName() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return std::string();
    const Window root = DefaultRootWindow(display);
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == PointerRoot) {
        Window pointerRoot = 0, child = None;
        int rootX = 0, rootY = 0, x = 0, y = 0;
        unsigned int mask = 0;
        XQueryPointer(display, root, &pointerRoot, &child, &rootX, &rootY, &x, &y, &mask);
        focus = child;
    }
    // Up to the child of the root: the top-level window the focus lies in.
    while (focus != None && focus != root) {
        Window parentOfRoot = 0, parent = None, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, focus, &parentOfRoot, &parent, &children, &count)) break;
        if (children) XFree(children);
        if (parent == root) break;
        focus = parent;
    }
    std::string name;
    char* fetched = nullptr;
    if (focus != None && focus != root && XFetchName(display, focus, &fetched) && fetched) {
        name = fetched;
        XFree(fetched);
    }
    XCloseDisplay(display);
    return name;
}
}  // namespace

bool WaitUntilActive(wxWindow* top, const std::string& name) {
    return PumpUntil([top, name] {
        // The simulator moves the X focus to the toolkit's active window when there is one (ours); a
        // dialog of the toolkit's own has none, and the key goes to the window with the X focus.
        if (wxWindow* active = wxGetActiveWindow()) return wxGetTopLevelParent(active) == top;
        return KeyboardWindowName() == name;
    });
}

void ClickOn(wxWindow* window, wxPoint offset, int button) {
    static std::chrono::steady_clock::time_point lastClick;
    // Longer than the toolkit's double-click time.
    const auto apart = lastClick + std::chrono::milliseconds(600);
    if (std::chrono::steady_clock::now() < apart) Pump(std::chrono::duration_cast<std::chrono::milliseconds>(apart - std::chrono::steady_clock::now()));
    const wxPoint at = offset == wxDefaultPosition ? wxPoint(window->GetSize().x / 2, window->GetSize().y / 2) : offset;
    wxUIActionSimulator sim;
    sim.MouseMove(window->GetScreenRect().GetPosition() + at);
    Pump(std::chrono::milliseconds(50));
    sim.MouseClick(button);
    lastClick = std::chrono::steady_clock::now();
    Pump(std::chrono::milliseconds(100));
}

void ClickOnRow(VideoFoldersList* list, size_t index, wxPoint offset, int button) {
    const wxRect row = list->GetRowRect(index);
    const wxPoint within = offset == wxDefaultPosition ? wxPoint(row.width / 2, row.height / 2) : offset;
    ClickOn(list, row.GetPosition() + within, button);
}

wxRect RowScreenRect(VideoFoldersList* list, size_t index) {
    wxRect row = list->GetRowRect(index);
    row.SetPosition(list->ClientToScreen(row.GetPosition()));
    return row;
}

void FocusForTyping(wxWindow* window) {
    // There is no window manager to give the window the input focus (and with it the toolkit's focus
    // events, which its character input needs): set it on the top-level window under the pointer.
    window->Raise();
    wxUIActionSimulator sim;
    sim.MouseMove(window->GetScreenRect().GetPosition() + wxPoint(window->GetSize().x / 2, window->GetSize().y / 2));
    Pump(std::chrono::milliseconds(100));
    if (Display* display = XOpenDisplay(nullptr)) {
        Window root = 0, child = 0;
        int rootX = 0, rootY = 0, x = 0, y = 0;
        unsigned int mask = 0;
        if (XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask) && child)
            XSetInputFocus(display, child, RevertToPointerRoot, CurrentTime);
        XSync(display, False);
        XCloseDisplay(display);
    }
    wxWindow* top = wxGetTopLevelParent(window);
    EXPECT_TRUE(WaitUntilActive(top, top->GetLabel().ToStdString(wxConvUTF8))) << "the window never had the focus";
}

void RunLater(std::chrono::milliseconds delay, std::function<void()> action) {
    wxTimer* timer = new wxTimer();
    timer->Bind(wxEVT_TIMER, [timer, action](wxTimerEvent&) {
        action();
        // The timer goes once its handler has returned.
        wxTheApp->CallAfter([timer]() { delete timer; });
    });
    timer->StartOnce(static_cast<int>(delay.count()));
}

void WhenModalDialog(std::function<void(wxDialog*)> action) {
    RunLater(std::chrono::milliseconds(50), [action]() {
        for (wxWindow* top : wxTopLevelWindows) {
            wxDialog* dialog = dynamic_cast<wxDialog*>(top);
            if (dialog && dialog->IsModal()) {
                action(dialog);
                return;
            }
        }
        WhenModalDialog(action);
    });
}

wxSize Screenshot(const std::string& namePattern, const std::string& name) {
    const std::string folder = CALVORO_SCREENSHOT_DIR;
    std::filesystem::create_directories(folder);
    const std::string file = folder + "/" + name + ".png";
    std::filesystem::remove(file);
    const std::string window =
        namePattern == "root" ? "root" : "\"$(xdotool search --onlyvisible --name '" + namePattern + "' | head -1)\"";
    const std::string command = "import -window " + window + " " + file;
    EXPECT_EQ(0, system(command.c_str())) << command;
    wxImage image;
    if (!image.LoadFile(file, wxBITMAP_TYPE_PNG)) {
        ADD_FAILURE() << "no screenshot in " << file;
        return wxSize();
    }
    return image.GetSize();
}

wxColour ScreenColour(const wxPoint& at) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return wxColour();
    wxColour colour;
    if (XImage* image = XGetImage(display, DefaultRootWindow(display), at.x, at.y, 1, 1, AllPlanes, ZPixmap)) {
        const unsigned long pixel = XGetPixel(image, 0, 0);
        colour = wxColour((pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
        XDestroyImage(image);
    }
    XCloseDisplay(display);
    return colour;
}

void PressButton(wxButton* button) {
    wxCommandEvent click(wxEVT_BUTTON, button->GetId());
    click.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(click);
}

void ExpectControlsWhole(wxWindow* top) {
    for (wxWindow* child : top->GetChildren()) {
        if (child->IsTopLevel() || !child->IsShown()) continue;
        ExpectControlsWhole(child);
        if (!wxDynamicCast(child, wxStaticText) && !wxDynamicCast(child, wxButton)) continue;
        child->InvalidateBestSize();
        EXPECT_GE(child->GetSize().y, child->GetBestSize().y)
            << child->GetClassInfo()->GetClassName() << " \"" << child->GetLabel().ToStdString(wxConvUTF8) << "\"";
    }
}

void DestroyWindow() {
    if (CalvoroForm* window = CalvoroForm::GetInstance()) window->Destroy();
    PumpUntil([] { return CalvoroForm::GetInstance() == nullptr; });
}

void WindowTest::SetUp() {
    state_ = State::GetInstance(data_.wpath());
    ASSERT_TRUE(state_);
    events_ = Events::GetInstance(state_.get(), &timers_);
    ASSERT_TRUE(events_);
}

void WindowTest::TearDown() {
    DestroyWindow();
    EXPECT_EQ(nullptr, CalvoroForm::GetInstance());
    Pump(std::chrono::milliseconds(20));
}

CalvoroForm* WindowTest::OpenWindow() {
    window_ = new CalvoroForm(state_.get(), events_.get(), nullptr);
    window_->Show(true);
    PumpUntil([this] { return window_->IsShownOnScreen(); });
    Pump(std::chrono::milliseconds(100));
    return window_;
}

uint64_t WindowTest::AnnounceFromThread(const std::wstring& name, const std::wstring& uniqueId) {
    IEvents* events = events_.get();
    std::thread connection([events, name, uniqueId]() { events->ClientAnnounced(name, uniqueId); });
    connection.join();
    const uint64_t sessionId = SessionOf(uniqueId).SessionId;
    PumpUntil([this, sessionId] {
        return CalvoroForm::GetInstance() && window_->GetEntrySession(window_->GetSelectedEntryId()) == sessionId;
    });
    return sessionId;
}

ClientSession WindowTest::SessionOf(const std::wstring& uniqueId) {
    std::list<ClientSession> sessions;
    state_->GetSessions(sessions);
    for (const ClientSession& session : sessions)
        if (session.UniqueId == uniqueId) return session;
    ADD_FAILURE() << "no session for " << kivm::str_conv(uniqueId);
    return ClientSession();
}

std::wstring WindowTest::MakeVideoFolder(const std::string& name) {
    const std::string path = media_.path() + "/" + name;
    std::filesystem::create_directories(path);
    testsupport::WriteFile(path + "/clip.mp4", "v");
    return kivm::str_conv(path);
}

}  // namespace uitest
