#include "UiTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/timer.h>

#include "core/Events.h"
#include "kivlib/kiv_text.h"
#include "ui/CalvoroForm.h"

namespace uitest {

XServer::~XServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

bool XServer::Start() {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        close(pipeFds[0]);
        const int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            dup2(devNull, 1);
            dup2(devNull, 2);
        }
        const std::string fd = std::to_string(pipeFds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    // Xvfb writes its display number once it accepts clients.
    std::string number;
    pollfd readable{pipeFds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&readable, 1, 20000) > 0) {
        char buffer[16];
        const ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        number.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) return false;
    setenv("DISPLAY", (":" + number.substr(0, number.find('\n'))).c_str(), 1);
    return true;
}

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

void RunLater(std::chrono::milliseconds delay, std::function<void()> action) {
    wxTimer* timer = new wxTimer();
    timer->Bind(wxEVT_TIMER, [timer, action](wxTimerEvent&) {
        action();
        // The timer goes once its handler has returned.
        wxTheApp->CallAfter([timer]() { delete timer; });
    });
    timer->StartOnce(static_cast<int>(delay.count()));
}

void DestroyWindow() {
    if (CalvoroForm* window = CalvoroForm::GetInstance()) window->Destroy();
    PumpUntil([] { return CalvoroForm::GetInstance() == nullptr; }, std::chrono::seconds(5));
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
