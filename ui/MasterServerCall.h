// One call to the master server from a panel: the client is made for the click and goes with it, and
// a failure is shown to the user while the dialog stays open with what was typed.
#pragma once

#include <functional>

class ExternalDataServiceManager;
class IState;
class wxWindow;

// Runs call on a fresh master-server client, with a busy cursor (the call blocks the window for as
// long as the server takes, within the client's bounds). False when the client could not be made or
// call threw; the failure's text is then shown in an error box parented to panel.
// button, the one that started the call, is off meanwhile: clicks the window system queued during the
// call find it off, so an impatient second click sends nothing twice. It comes back on after a failure
// (once those clicks are gone); after a success the dialog closes.
bool RunMasterServerCall(wxWindow* panel, wxWindow* button, IState* state,
                         const std::function<void(ExternalDataServiceManager&)>& call);
