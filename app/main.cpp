// The application object: creates the server's services in a fixed order, runs the event loop (or,
// silent, waits for the end of the session) and takes everything down again in a fixed order.
#include <stdio.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <boost/shared_ptr.hpp>
#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/image.h>
#include <wx/log.h>

#include "api/HttpListener.h"
#include "api/HttpListenerContext.h"
#include "app/Worker.h"
#include "core/Events.h"
#include "core/FileMaker.h"
#include "core/Log.h"
#include "core/State.h"
#include "core/Timer.h"
#include "core/Util.h"
#include "kivlib/kiv_httpd_listener.h"
#include "kivlib/kiv_net.h"
#include "kivlib/kiv_text.h"
#include "media/FfmpegMetadataParser.h"
#include "media/MediaRunSlot.h"
#include "media/OfflineTranscode.h"
#include "media/StreamRegistry.h"
#include "media/Thumbnail.h"
#include "media/Transcode.h"
#include "platform/DnsSd.h"
#include "platform/ProgramFolder.h"
#include "platform/OpenFileLimit.h"
#include "platform/ShutdownSignals.h"
#include "platform/SingleInstance.h"
#include "platform/Updater.h"
#include "ui/CalvoroForm.h"
#include "ui/TaskBarIcon.h"
#include "ui/ModalScope.h"
#include "ui/WorkerRequests.h"

namespace {
const char* const kVersion = "1.0.3.3";
const char* const kAppcastUrl = "https://updates.calvoro.invalid/appcast.xml";
const int kDnsSdReplyWaitMs = 5000;
const char* const kNoDisplay = "No display found: Calvoro runs silent, with no window";

// The framework's parser accepts the switch as "-s" or "--silent"; the choice between a windowed and a
// windowless framework start has to be made before the parser runs, by the same rule.
bool SilentRequested(int argc, wxChar** argv) {
    for (int i = 1; i < argc; ++i) {
        const wxString argument(argv[i]);
        if (argument == "-s" || argument == "--silent") return true;
    }
    return false;
}

void DNSSD_API OnBonjourRegistered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType errorCode, const char* name,
                                   const char*, const char* domain, void*) {
    if (errorCode != kDNSServiceErr_NoError) {
        KIV_LOG("WARNING: registration with bonjour failed with error " + std::to_string(errorCode));
        return;
    }
    KIV_LOG(std::string("Sucessfully registered with Bonjour; name = ") + (name ? name : "") +
            "; domain = " + (domain ? domain : ""));
}
// The preferences' two requests, passed on to the worker while there is one.
class WorkerRequests final : public IWorkerRequests {
public:
    explicit WorkerRequests(Worker* const* worker) : worker_(worker) {}
    void RequestExternalAccessCheck() override {
        if (*worker_) (*worker_)->RequestExternalAccessCheck();
    }
    void RedoPortMapping() override {
        if (*worker_) (*worker_)->RedoPortMapping();
    }

private:
    Worker* const* worker_;
};
}  // namespace

class MyApp : public wxApp {
public:
    bool Initialize(int& argc, wxChar** argv) override;
    void CleanUp() override;
    bool OnInit() override;
    int OnRun() override;
    int OnExit() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;
    bool OnCmdLineHelp(wxCmdLineParser& parser) override;

    // The question whether the session may end: the shutdown runs at once and the answer is yes.
    void OnQueryEndSession();

    State* GetState() { return state_; }
    Worker* GetWorker() { return worker_; }

    // The window's preferences, over the window shown first; the window itself, shown and raised.
    void ShowPreferences();
    void ShowMainWindow();

private:
    // The framework's quit and preferences commands (a menu of the toolkit's own ids).
    void OnQuit(wxCommandEvent& event);
    void OnPreferences(wxCommandEvent& event);

    bool TakeDataFolder();
    void RegisterDnsSd();
    void SayWhereItServes();
    void ReleaseRunningServices();
    void CreateMainWindow();
    void EndSessionWithWindow();
    void DestroyMainWindow();

    // Members in the order of their creation; destruction runs in the reverse order.
    boost::shared_ptr<State> stateHolder_;
    State* state_ = nullptr;
    boost::shared_ptr<Worker> workerHolder_;
    Worker* worker_ = nullptr;
    WorkerRequests workerRequests_{&worker_};
    HttpListenerContext listenerContext_;
    boost::shared_ptr<kiv_httpd_listener> listener_;
    DNSServiceRef dnsSdRegistration_ = nullptr;
    boost::shared_ptr<ITranscodeFactory> transcodeFactory_;
    boost::shared_ptr<IFileMaker> fileMaker_;
    boost::shared_ptr<IOfflineTranscode> offlineTranscode_;
    boost::shared_ptr<IEvents> events_;
    boost::shared_ptr<IMetadataFactory> metadataFactory_;
    TimerFactory timerFactory_;
    SingleInstance instance_;
    bool silent_ = false;
    // Started for a window where no display could be opened: silent instead.
    bool noDisplay_ = false;
    bool dnsSdMissing_ = false;
    // The command line asked for the usage text only: nothing starts, and the run ends with status 0.
    bool helpOnly_ = false;

    wxDECLARE_EVENT_TABLE();
};

wxIMPLEMENT_APP_NO_MAIN(MyApp);

wxBEGIN_EVENT_TABLE(MyApp, wxApp)
    EVT_MENU(wxID_EXIT, MyApp::OnQuit)
    EVT_MENU(wxID_PREFERENCES, MyApp::OnPreferences)
wxEND_EVENT_TABLE()

void MyApp::OnQuit(wxCommandEvent&) {
    // With a window, its real close ends any open dialog first; the loop ends when it has gone.
    if (CalvoroForm* window = CalvoroForm::GetInstance()) CalvoroForm::PostQuit(window);
    else ExitMainLoop();
}

void MyApp::OnPreferences(wxCommandEvent&) { ShowPreferences(); }

void MyApp::ShowPreferences() {
    if (CalvoroForm* window = CalvoroForm::GetInstance()) CalvoroForm::PostShowPreferences(window);
}

void MyApp::ShowMainWindow() {
    if (CalvoroForm* window = CalvoroForm::GetInstance()) CalvoroForm::PostShowWindow(window);
}

bool MyApp::Initialize(int& argc, wxChar** argv) {
    // A server with no window must start where no display exists at all.
    silent_ = SilentRequested(argc, argv);
    if (silent_) return wxAppConsole::Initialize(argc, argv);
    {
        wxLogNull quiet;  // the framework's own complaint; the start says it in its words below
        if (wxApp::Initialize(argc, argv)) return true;
    }
    // No display to open (none set, or it refuses us): the server serves on without a window.
    noDisplay_ = silent_ = true;
    return wxAppConsole::Initialize(argc, argv);
}

void MyApp::CleanUp() {
    if (silent_) {
        wxAppConsole::CleanUp();
        return;
    }
    wxApp::CleanUp();
}

void MyApp::OnInitCmdLine(wxCmdLineParser& parser) {
    static const wxCmdLineEntryDesc kSwitches[] = {
        {wxCMD_LINE_SWITCH, "s", "silent", "disable the GUI", wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_SWITCH, "h", "help", "show this help and end", wxCMD_LINE_VAL_NONE, wxCMD_LINE_OPTION_HELP},
        {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, 0},
    };
    parser.SetDesc(kSwitches);
    parser.SetSwitchChars("-");
}

bool MyApp::OnCmdLineParsed(wxCmdLineParser& parser) {
    silent_ = parser.Found("s");
    return true;
}

// Asked for, the usage text goes to standard output (a refused command line gets it on standard error).
bool MyApp::OnCmdLineHelp(wxCmdLineParser& parser) {
    fputs(parser.GetUsageString().utf8_str(), stdout);
    fflush(stdout);
    helpOnly_ = true;
    return true;
}

// One server per data folder; a copy that cannot have it says why on standard error, and logs nothing.
bool MyApp::TakeDataFolder() {
    std::wstring dataFolder;
    if (!kivm::create_user_data_folder(dataFolder, L"Calvoro")) {
        fputs("Calvoro cannot make its data folder (under $XDG_DATA_HOME or ~/.local/share)\n", stderr);
        return false;
    }
    if (instance_.Acquire(dataFolder, L"CalvoroServerMutex")) return true;
    const std::string folder = kivm::ToUTF8Ex(dataFolder);
    if (instance_.HeldElsewhere())
        fprintf(stderr, "Another Calvoro is running with the data folder %s: this one ends\n", folder.c_str());
    else
        fprintf(stderr, "Calvoro cannot lock its data folder %s\n", folder.c_str());
    return false;
}

bool MyApp::OnInit() {
    fputs("Starting Calvoro\n", stdout);
    fflush(stdout);
    // A command line that the parser refuses ends the start: the framework has printed the usage text.
    const bool silentBeforeParse = silent_;
    if (!wxApp::OnInit()) return false;
    if (helpOnly_) return true;
    silent_ = silentBeforeParse;
    if (noDisplay_) {
        printf("%s\n", kNoDisplay);
        fflush(stdout);
    }

    if (!TakeDataFolder()) return false;

    // The programs it starts, "images/" and the tray icon lie beside the program.
    const std::string programFolder = ProgramFolder();
    const bool inProgramFolder = !programFolder.empty() && chdir(programFolder.c_str()) == 0;
    KIV_LOG(std::string("Calvoro started - Version ") + kVersion);
    if (noDisplay_) KIV_LOG(std::string("NOTE: ") + kNoDisplay);
    if (!inProgramFolder) KIV_LOG("WARNING: could not make the program's folder the working folder");

    SetImageResizeCallback(ResizeImage);
    SetImageSizeCallback(GetImageSize);
    net_init();
    MediaRunSlot::TimeLimitMs();  // reads CALVORO_MEDIA_RUN_LIMIT_MS now, so a refused value is logged at start
    RaiseOpenFileLimit();  // before the HTTP listener fits its connection cap to it

    bool result = false;
    try {
        stateHolder_ = State::GetInstance();
        state_ = stateHolder_.get();
        if (!state_) throw std::runtime_error("State store failed to instantiate");
        // A state file that could not be read names no conversion: the offline folder is then kept whole.
        const bool stateLoaded = state_->Load();
        SetLogState(state_);

        transcodeFactory_ = TranscodeFactory::GetInstance();
        fileMaker_ = FileMaker::GetInstance();
        if (transcodeFactory_ && fileMaker_) {
            // What a run cut off by a crash left behind goes before the queue can start a new one.
            KivFileFinderFactory finders;
            if (stateLoaded) CleanOfflineFolder(state_, &finders, fileMaker_.get());
            offlineTranscode_ = OfflineTranscode::GetInstance(state_, transcodeFactory_.get(), fileMaker_.get());
        }
        events_ = Events::GetInstance(state_, &timerFactory_);
        metadataFactory_ = MetadataFactory::GetInstance();
        if (!transcodeFactory_ || !fileMaker_ || !offlineTranscode_ || !events_ || !metadataFactory_)
            throw std::runtime_error("Server services failed to instantiate");

        workerHolder_ = Worker::GetInstance(state_, events_.get(), offlineTranscode_.get());
        worker_ = workerHolder_.get();
        if (!worker_) {
            KIV_LOG("Worker thread failed to instantiate");
            throw std::runtime_error("Worker thread failed to instantiate");
        }

        RegisterDnsSd();

        listenerContext_.State = state_;
        listenerContext_.OfflineTranscode = offlineTranscode_.get();
        listenerContext_.FileMaker = fileMaker_.get();
        listenerContext_.Events = events_.get();
        listenerContext_.MetadataFactory = metadataFactory_.get();

        wxImage::AddHandler(new wxPNGHandler);
        wxImage::AddHandler(new wxJPEGHandler);

        HttpdLimits limits;
        limits.Notice = HttpListenerNotice;
        listener_ = kiv_httpd_listener::GetInstance(static_cast<uint16_t>(state_->GetHttpPort()), HttpListenerThread,
                                                    &listenerContext_, limits);
        KIV_LOG("Started HTTP Listener");
        // Without a window nobody would see why the HTTP interface is missing.
        if (!listener_) KIV_LOG("WARNING: " + kiv_httpd_listener::GetLastGetInstanceError());
        SayWhereItServes();

        if (!silent_) CreateMainWindow();
        if (dnsSdMissing_ && !state_->GetDoNotShowBonjourLink() && CalvoroForm::GetInstance())
            CalvoroForm::PostBonjourPrompt(CalvoroForm::GetInstance());

        result = true;

        Updater::SetAppcastUrl(kAppcastUrl);
        Updater::Init();

        KIV_LOG("Bonjour Check Complete");
    } catch (const std::exception& e) {
        KIV_LOG(e.what());
    }
    if (!result) ReleaseRunningServices();
    return result;
}

void MyApp::CreateMainWindow() {
    CalvoroForm::RouteClientEvents(this);
    CalvoroForm* window = new CalvoroForm(state_, events_.get(), nullptr);
    window->SetNotificationIcon(std::make_unique<TaskBarIcon>(window));
    window->SetWorkerRequests(&workerRequests_);
    if (!listener_) {
        // As every other error message of the window: ours, with its icon, centred.
        TellUser(window,
                 kivm::FromUTF8ExW(kiv_httpd_listener::GetLastGetInstanceError() +
                                   "\nPlease change this in preferences and try again"),
                 L"Calvoro Error", wxOK | wxICON_ERROR | wxCENTRE);
    }
    KIV_LOG("Prepared UI");
    // Without an icon in a notification area the window is the only way in, so it shows at once.
    if (state_->GetFolderCount() == 0 || !window->HasNotificationIcon()) {
        window->Show(true);
        SetTopWindow(window);
    }
}

// The end of the session: dialogs first (each runs a loop of its own), then the services, the window
// and the main loop.
void MyApp::EndSessionWithWindow() {
    EndDialogsThen(this, [this]() {
        OnQueryEndSession();
        DestroyMainWindow();
        ExitMainLoop();
    });
}

// The window and what it owns go before the framework's clean-up.
void MyApp::DestroyMainWindow() {
    if (CalvoroForm* window = CalvoroForm::GetInstance()) window->Destroy();
    DeletePendingObjects();
}

void MyApp::RegisterDnsSd() {
    const uint16_t port = static_cast<uint16_t>(state_->GetHttpPort());
    DNSServiceRef registration = nullptr;
    const DNSServiceErrorType error = DnsSdRegister(registration, "_calvoro._tcp.", port, OnBonjourRegistered);
    if (error != kDNSServiceErr_NoError) {
        KIV_LOG("Bonjour Registration Failed: " + std::to_string(error));
        if (error == kDnsSdServiceMissing) dnsSdMissing_ = true;
        return;
    }
    KIV_LOG("Bonjour Registration Requested on port " + std::to_string(port));
    dnsSdRegistration_ = registration;
    if (DnsSdProcessResult(registration, kDnsSdReplyWaitMs) == kDnsSdTimeout)
        KIV_LOG("WARNING: no reply from the DNS-SD service");
}

// Standard output tells where the server serves and keeps its files; a listener that failed is said on
// standard error, which is all a server started with no window has to show it.
void MyApp::SayWhereItServes() {
    const std::string port = std::to_string(state_->GetHttpPort());
    if (listener_)
        printf("Calvoro serves on port %s: http://127.0.0.1:%s/ on this machine\n", port.c_str(), port.c_str());
    else
        fprintf(stderr, "Calvoro has no HTTP interface: %s\n", kiv_httpd_listener::GetLastGetInstanceError().c_str());
    printf("Data folder: %s\nLog: %s\n", kivm::ToUTF8Ex(state_->GetDataFolder()).c_str(),
           kivm::ToUTF8Ex(GetLogFilePath()).c_str());
    fflush(stdout);
}

int MyApp::OnRun() {
    if (helpOnly_) return 0;
    if (!silent_) {
        ShutdownSignals::Watch([this](int) { CallAfter([this]() { EndSessionWithWindow(); }); });
        return wxApp::OnRun();
    }
    // Silent: no window, no icon, nothing to quit from; the server runs until the session ends.
    ShutdownSignals::Wait();
    OnQueryEndSession();
    return 0;
}

void MyApp::OnQueryEndSession() {
    KIV_LOG("Shutdown Event Detected");
    OnExit();
}

// Releases what runs on threads of its own, before the objects those threads use; every step empties
// its holder, so running it again releases nothing twice.
void MyApp::ReleaseRunningServices() {
    // Media runs waiting for a slot leave their queue and running ones are killed, so no request thread
    // holds the listener's release below.
    MediaRunSlot::StopAll();
    RemoveAllStreams();
    // The release returns once every connection thread has ended.
    listener_.reset();
    // A play request that was still being served may have made a session after the first removal.
    RemoveAllStreams();
    // Stops and joins the worker thread, which cleans the cache folder on its way out.
    worker_ = nullptr;
    workerHolder_.reset();
}

int MyApp::OnExit() {
    if (helpOnly_) return 0;  // the usage text only: nothing was started, nothing is logged
    KIV_LOG("Application Closing, saving state");
    if (!silent_) DestroyMainWindow();
    ReleaseRunningServices();
    // The worker has stopped: nothing steps the queue any more.
    offlineTranscode_.reset();
    fileMaker_.reset();
    transcodeFactory_.reset();
    if (state_) state_->Save();
    if (dnsSdRegistration_) {
        DNSServiceRefDeallocate(dnsSdRegistration_);
        dnsSdRegistration_ = nullptr;
    }
    Updater::Cleanup();
    net_shutdown();
    return 0;
}

int main(int argc, char** argv) {
    ShutdownSignals::Block();
    DnsSdQuietNotice();  // before any thread starts or the DNS-SD library is used
    return wxEntry(argc, argv);
}
