// The "State" section of the system report: what the state store holds.
#include <list>

#include "core/IState.h"
#include "core/LogReport.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"

namespace {

void LogSessions(ThreadSafeLog& log, State& state) {
    std::list<ClientSession> sessions;
    state.GetSessions(sessions);
    for (const ClientSession& session : sessions) {
        LogField(log, "Client     ", kivm::ToUTF8Ex(session.Name));
        // The session id and an authorised unique id are each a device's whole credential, and the report
        // goes out with issue reports: neither is shown.
        LogField(log, "  |_ SID: ", "(hidden)");
        LogIntField(log, "  |_ Auth:", session.Authorized ? 1 : 0);
        LogField(log, "  |_ UDID:", "(hidden)");
        LogField(log, "  |_ DVer:", kivm::ToUTF8Ex(session.Version));
        LogField(log, "  |_ Type:", kivm::ToUTF8Ex(session.DeviceType));
    }
}

}  // namespace

void LogStateSection(ThreadSafeLog& log, IState* state) {
    if (!state) return;
    // Folders, sessions, the UPnP switch and the data folder are the store's own, beyond IState.
    State* store = dynamic_cast<State*>(state);
    if (store) {
        std::list<FolderEntry> folders;
        store->GetFolders(folders);
        for (const FolderEntry& folder : folders) LogField(log, "Folder:", kivm::ToUTF8Ex(folder.Path));
        LogSessions(log, *store);
    }
    LogIntField(log, "HTTP Port", static_cast<int32_t>(state->GetHttpPort()));
    LogIntField(log, "External Access Enabled", state->GetExternalAccess() ? 1 : 0);
    if (store) LogIntField(log, "UPNP Enabled", store->GetUpnpEnabled() ? 1 : 0);
    LogIntField(log, "Client Timeout ms", static_cast<int32_t>(state->GetClientTimeoutMs()));
    LogField(log, "Lookup Name", kivm::ToUTF8Ex(state->GetLookupName()));
    if (store) LogField(log, "Home Folder", kivm::ToUTF8Ex(store->GetDataFolder()));
    LogField(log, "Cache Folder", kivm::ToUTF8Ex(state->GetCacheFolder()));
}
