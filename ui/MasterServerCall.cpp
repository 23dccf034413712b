#include "ui/MasterServerCall.h"

#include <exception>
#include <stdexcept>

#include <wx/utils.h>
#include <wx/window.h>

#include "network/ExternalDataServiceManager.h"
#include "ui/ModalScope.h"

bool RunMasterServerCall(wxWindow* panel, wxWindow* button, IState* state,
                         const std::function<void(ExternalDataServiceManager&)>& call) {
    button->Disable();
    ExternalDataServiceFactory services;
    ExternalDataConnectionFactory connections;
    try {
        boost::shared_ptr<ExternalDataServiceManager> manager =
            ExternalDataServiceManager::GetInstance(state, &connections, &services);
        if (!manager) throw std::runtime_error("Unable to make the master-server client");
        wxBusyCursor busy;
        call(*manager);
        return true;
    } catch (const std::exception& error) {
        ShowUiError(panel, wxString::FromUTF8(error.what()));
        // Later than the input queued meanwhile; a button that is gone by then takes its call with it.
        button->CallAfter([button]() { button->Enable(); });
        return false;
    }
}
