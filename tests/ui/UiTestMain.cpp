// The window tests run against a private X server of their own; listing them needs no display.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/init.h>

#include "UiTestSupport.h"
#include "support/TestSupport.h"
#include "ui/CalvoroForm.h"

namespace {

class TestApp : public wxApp {
public:
    bool OnInit() override {
        CalvoroForm::RouteClientEvents(this);
        return true;
    }
};

// A toolkit assertion fails the test that made it instead of opening its message box.
void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg) {
    ADD_FAILURE_AT(file.ToStdString(wxConvUTF8).c_str(), line)
        << "toolkit assertion in " << func.ToStdString(wxConvUTF8) << ": " << cond.ToStdString(wxConvUTF8) << " "
        << msg.ToStdString(wxConvUTF8);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    if (!testsupport::NetworkIsIsolated()) {
        fprintf(stderr, "run the window tests inside a private network namespace (scripts/common.sh: isolated)\n");
        return 1;
    }
    // The log and anything else of the data folder stay in a folder of this run.
    testsupport::TempDir dataHome;
    setenv("XDG_DATA_HOME", dataHome.path().c_str(), 1);
    // The images lie beside the programs, as for the server.
    if (chdir(CALVORO_BIN_DIR) != 0) return 1;

    testsupport::XServer display;
    if (!display.Start()) {
        fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    wxApp::SetInstance(new TestApp);
    int wxArgc = 1;
    char* wxArgv[] = {argv[0], nullptr};
    if (!wxEntryStart(wxArgc, wxArgv)) return 1;
    wxSetAssertHandler(&FailOnAssert);
    wxImage::AddHandler(new wxPNGHandler);
    wxTheApp->CallOnInit();
    int result = 0;
    {
        wxEventLoop loop;
        wxEventLoopActivator active(&loop);
        result = RUN_ALL_TESTS();
        uitest::DestroyWindow();
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
