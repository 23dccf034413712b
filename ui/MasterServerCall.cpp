#include "ui/MasterServerCall.h"

#include <exception>
#include <stdexcept>

#include <wx/utils.h>

#include "network/ExternalDataServiceManager.h"
#include "ui/ModalScope.h"

bool RunMasterServerCall(wxWindow* panel, IState* state, const std::function<void(ExternalDataServiceManager&)>& call) {
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
        return false;
    }
}
