// Folder list timing, run by bench/ui_bench.sh: one shared folder of FILES videos, expanded, in the
// real main window on the X server of DISPLAY. The window runs the toolkit's own main loop, as in the
// server; a second thread acts as the person: it clicks with the X server's test extension and watches
// the X server's pixels (its own connection), so nothing of the measuring runs in the window's loop.
//   open     from making the window until the first file row shows;
//   select   a click on a row until that row shows the selection colour;
//   collapse a click on the folder's expander until the place of its first file is list background;
//   expand   a click on it again until that place shows the first file row's colour;
//   quit     the Quit event (what the icon's Quit posts) until the main loop has ended.
// Prints "NAME MILLISECONDS" lines; -1 for a step whose result never showed (60 s).
//   ui_bench BIN_DIR FILES
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/init.h>

#include "core/Events.h"
#include "core/State.h"
#include "core/Timer.h"
#include "kivlib/kiv_text.h"
#include "ui/CalvoroForm.h"
#include "ui/VideoFoldersList.h"

// The test extension (libXtst), whose headers are not installed here.
extern "C" int XTestFakeButtonEvent(Display*, unsigned int button, Bool press, unsigned long delay);
extern "C" int XTestFakeMotionEvent(Display*, int screen, int x, int y, unsigned long delay);

namespace {

using Clock = std::chrono::steady_clock;

const wxColour kSelected(71, 137, 204);
const wxColour kOddRow(237, 243, 255);
const wxColour kWhite(255, 255, 255);

double Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

struct Bench {
    std::filesystem::path folder;
    size_t rows = 0;
    boost::shared_ptr<State> state;
    TimerFactory timers;
    boost::shared_ptr<IEvents> events;
    CalvoroForm* window = nullptr;
    Clock::time_point opening;
    std::atomic<bool> quitPosted{false};
    Clock::time_point quitAt;
    std::thread person;
};
Bench gBench;

// Runs fn on the GUI thread and waits for its result.
template <class T>
T OnGui(std::function<T()> fn) {
    std::promise<T> result;
    wxTheApp->CallAfter([&]() { result.set_value(fn()); });
    return result.get_future().get();
}

VideoFoldersList* List() {
    return gBench.window && gBench.window->GetFolderList() ? gBench.window->GetFolderList()->GetList() : nullptr;
}

// The person: its own X connection for clicks and pixels.
class Person {
public:
    Person() : display_(XOpenDisplay(nullptr)) {}
    ~Person() { XCloseDisplay(display_); }

    wxColour Pixel(const wxPoint& at) {
        XImage* image = XGetImage(display_, DefaultRootWindow(display_), at.x, at.y, 1, 1, AllPlanes, ZPixmap);
        if (!image) return wxColour();
        const unsigned long pixel = XGetPixel(image, 0, 0);
        XDestroyImage(image);
        return wxColour((pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
    }

    // Waits until the colour shows at the point; the moment it did, or none after 60 s.
    bool WaitFor(const wxPoint& at, const wxColour& colour, Clock::time_point& when) {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            if (Pixel(at) == colour) {
                when = Clock::now();
                return true;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return false;
    }

    // Milliseconds from the click to the colour at watch; -1 when it never showed.
    double Click(const wxPoint& at, const wxPoint& watch, const wxColour& colour) {
        XTestFakeMotionEvent(display_, DefaultScreen(display_), at.x, at.y, 0);
        XFlush(display_);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));  // no double click, nothing pending
        const auto start = Clock::now();
        XTestFakeButtonEvent(display_, 1, True, 0);
        XTestFakeButtonEvent(display_, 1, False, 0);
        XFlush(display_);
        Clock::time_point shown;
        if (!WaitFor(watch, colour, shown)) return -1;
        return Ms(start, shown);
    }

private:
    Display* display_;
};

// Where a row lies on the screen: the list draws its rows, so its place is the list's.
wxRect RowOnScreen(size_t row) {
    wxRect rect = List()->GetRowRect(row);
    rect.SetPosition(List()->ClientToScreen(rect.GetPosition()));
    return rect;
}

// A point of a row's background right of its label, inside what the list shows.
wxPoint RowSpot(size_t row) {
    return OnGui<wxPoint>([row]() {
        const wxRect shown = gBench.window->GetFolderList()->GetScreenRect();
        const wxRect rect = RowOnScreen(row);
        return wxPoint(std::min(rect.GetRight(), shown.GetRight()) - 40, rect.y + rect.height / 2);
    });
}

wxPoint OnRow(size_t row, const wxPoint& offset) {
    return OnGui<wxPoint>([row, offset]() { return RowOnScreen(row).GetPosition() + offset; });
}

// The middle of the shared folder's expander: a border of 3, then 12 x 12, centred in the row.
wxPoint OnExpander() {
    return OnGui<wxPoint>([]() {
        const wxRect row = RowOnScreen(0);
        return row.GetPosition() + wxPoint(3 + 6, row.height / 2);
    });
}

size_t RowCount() {
    return OnGui<size_t>([]() { return List() ? List()->GetRowCount() : size_t(0); });
}

bool WaitForRows(size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (RowCount() != count) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void Act() {
    Person person;
    const size_t rows = gBench.rows;
    if (!WaitForRows(rows)) {
        printf("open -1\n");
    } else {
        Clock::time_point shown;
        const bool ok = person.WaitFor(RowSpot(rows > 1 ? 1 : 0), rows > 1 ? kOddRow : kWhite, shown);
        printf("open %.1f\n", ok ? Ms(gBench.opening, shown) : -1.0);
        for (size_t row : {size_t(2), size_t(3), size_t(0)}) {
            if (row >= rows) continue;
            printf("select %.1f\n", person.Click(OnRow(row, wxPoint(60, 8)), RowSpot(row), kSelected));
        }
        if (rows > 1) {
            // The first file's place, below the folder row (selected, blue).
            const wxPoint firstFile = RowSpot(1);
            printf("collapse %.1f\n", person.Click(OnExpander(), firstFile, kWhite));
            WaitForRows(1);
            printf("expand %.1f\n", person.Click(OnExpander(), firstFile, kOddRow));
            WaitForRows(rows);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    fflush(stdout);
    gBench.quitAt = Clock::now();
    gBench.quitPosted = true;
    wxTheApp->CallAfter([]() { CalvoroForm::PostQuit(gBench.window); });
}

class BenchApp : public wxApp {
public:
    bool OnInit() override {
        wxImage::AddHandler(new wxPNGHandler);
        gBench.opening = Clock::now();
        gBench.window = new CalvoroForm(gBench.state.get(), gBench.events.get(), nullptr);
        gBench.window->Show(true);
        gBench.person = std::thread(Act);
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: ui_bench BIN_DIR FILES\n");
        return 2;
    }
    const int files = atoi(argv[2]);
    const std::filesystem::path scratch =
        std::filesystem::temp_directory_path() / ("calvoro-ui-bench-" + std::to_string(getpid()));
    gBench.folder = scratch / "media" / "Big";
    std::filesystem::create_directories(gBench.folder);
    std::filesystem::create_directories(scratch / "data");
    for (int i = 0; i < files; ++i) {
        char name[32];
        snprintf(name, sizeof(name), "clip-%04d.mp4", i);
        std::ofstream(gBench.folder / name) << "v";
    }
    gBench.rows = static_cast<size_t>(files) + 1;
    setenv("XDG_DATA_HOME", (scratch / "data").c_str(), 1);
    if (chdir(argv[1]) != 0) return 1;
    gBench.state = State::GetInstance(kivm::str_conv((scratch / "data").string()));
    gBench.events = Events::GetInstance(gBench.state.get(), &gBench.timers);
    const std::wstring path = kivm::str_conv(gBench.folder.string());
    gBench.state->ShareFolder(path);
    gBench.state->ToggleFolderExpanded(path);

    wxApp::SetInstance(new BenchApp);
    int wxArgc = 1;
    char* wxArgv[] = {argv[0], nullptr};
    if (!wxEntryStart(wxArgc, wxArgv)) return 1;
    if (!wxTheApp->CallOnInit()) return 1;
    wxTheApp->OnRun();  // the main loop, until the window is gone
    const auto ended = Clock::now();
    gBench.person.join();
    printf("quit %.1f\n", gBench.quitPosted ? Ms(gBench.quitAt, ended) : -1.0);
    wxTheApp->OnExit();
    wxEntryCleanup();
    std::filesystem::remove_all(scratch);
    return 0;
}
