// The state store: its lock, its factory, the folders, the preferences and the finished conversions.
#include "core/State.h"

#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "core/Log.h"
#include "core/StateText.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"

namespace statetext {

std::wstring Stored(const std::wstring& text) { return kivm::ToXmlText(text); }

std::string Stored(const std::string& text) { return kivm::ToXmlText(text); }

}  // namespace statetext

State::State() = default;

boost::shared_ptr<State> State::GetInstance() {
    std::wstring dataFolder;
    if (!kivm::create_user_data_folder(dataFolder, L"Calvoro")) return boost::shared_ptr<State>();
    return GetInstance(dataFolder);
}

boost::shared_ptr<State> State::GetInstance(const std::wstring& dataFolder) {
    boost::shared_ptr<State> state(new State, KivDeleter::deleter());
    state->mutex_ = KivThreadMutex::GetInstance();
    state->saveMutex_ = KivThreadMutex::GetInstance();
    if (!state->mutex_ || !state->saveMutex_) return boost::shared_ptr<State>();
    if (!kiv_mkdir(kivm::str_conv(dataFolder))) return boost::shared_ptr<State>();
    state->dataFolder_ = dataFolder;
    try {
        state->SetDefaultCacheFolder();
    } catch (const std::exception& e) {
        KIV_LOG(e.what());
        return boost::shared_ptr<State>();
    }
    return state;
}

// ---- data and cache folders

std::wstring State::GetDataFolder() { return Read(dataFolder_); }

std::wstring State::GetCacheFolder() { return Read(cacheFolder_); }

void State::ApplyCacheFolder(const std::wstring& path) {
    if (!kiv_mkdir(kivm::str_conv(path))) throw std::runtime_error("Unable to create desired cache folder");
    cacheFolder_ = path;
}

void State::SetCacheFolder(const std::wstring& path) {
    bool made = false;
    {
        KivLock lock(*mutex_);
        made = kiv_mkdir(kivm::str_conv(path));
        if (made) cacheFolder_ = path;
    }
    // Thrown only once the lock is free again.
    if (!made) throw std::runtime_error("Unable to create desired cache folder");
}

void State::SetDefaultCacheFolder() {
    SetCacheFolder(GetDataFolder() + L"/cache");
}

bool State::IsDefaultCacheFolder() {
    KivLock lock(*mutex_);
    return cacheFolder_ == dataFolder_ + L"/cache";
}

// ---- preferences

uint32_t State::GetHttpPort() { return Read(httpPort_); }

void State::SetHttpPort(uint32_t port) { Write(httpPort_, port); }

void State::ResetHttpPort() { SetHttpPort(kDefaultHttpPort); }

bool State::IsDefaultHttpPort() { return GetHttpPort() == kDefaultHttpPort; }

bool State::GetExternalAccess() { return Read(externalAccess_); }

void State::SetExternalAccess(bool on) { Write(externalAccess_, on); }

std::wstring State::GetLookupName() { return Read(lookupName_); }

void State::SetLookupName(const std::wstring& name) { Write(lookupName_, statetext::Stored(name)); }

bool State::GetUpnpEnabled() { return Read(upnpEnabled_); }

void State::SetUpnpEnabled(bool on) { Write(upnpEnabled_, on); }

bool State::GetStartAtLogin() { return Read(startAtLogin_); }

void State::SetStartAtLogin(bool on) { Write(startAtLogin_, on); }

bool State::GetDoNotShowBonjourLink() { return Read(doNotShowBonjourLink_); }

void State::SetDoNotShowBonjourLink(bool on) { Write(doNotShowBonjourLink_, on); }

uint32_t State::GetSDCorePercent() { return Read(sdCorePercent_); }

void State::SetSDCorePercent(uint32_t percent) { Write(sdCorePercent_, percent); }

uint32_t State::GetHDCorePercent() { return Read(hdCorePercent_); }

void State::SetHDCorePercent(uint32_t percent) { Write(hdCorePercent_, percent); }

uint32_t State::GetCCorePercent() { return Read(cCorePercent_); }

void State::SetCCorePercent(uint32_t percent) { Write(cCorePercent_, percent); }

bool State::GetShowAllConversions() { return Read(showAllConversions_); }

void State::SetShowAllConversions(bool on) { Write(showAllConversions_, on); }

// ---- run-time values

int State::GetExternalPort() { return Read(externalPort_); }

void State::SetExternalPort(int port) { Write(externalPort_, port); }

void State::SetCheckExternalAccessFlag(bool raised) { Write(checkExternalAccess_, raised); }

bool State::GetCheckExternalAccessFlag() { return Read(checkExternalAccess_); }

int State::GetCpuCount() { return Read(cpuCount_); }

void State::CountProcessors() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    const int count = online < 2 ? 1 : static_cast<int>(online);
    Write(cpuCount_, count);
    KIV_LOG("CPU Count " + numstr::ToStr(static_cast<int32_t>(count), 10, 0));
}

// ---- finished conversions

std::list<FinishedConversion> State::GetFinishedConversions() { return Read(finishedConversions_); }

void State::AppendFinishedConversion(const FinishedConversion& conversion) {
    FinishedConversion stored;
    stored.FilePath = statetext::Stored(conversion.FilePath);
    stored.ClientIdentifier = statetext::Stored(conversion.ClientIdentifier);
    stored.SrcVirtualPath = statetext::Stored(conversion.SrcVirtualPath);
    stored.DstVirtualPath = statetext::Stored(conversion.DstVirtualPath);
    stored.TotalBytes = conversion.TotalBytes;
    finishedConversions_.push_back(stored);
}

void State::AddFinishedConversion(const FinishedConversion& conversion) {
    KivLock lock(*mutex_);
    AppendFinishedConversion(conversion);
}

void State::DeleteFinishedConversion(const FinishedConversion& conversion) {
    KivLock lock(*mutex_);
    // The entry may come from a client: only a file the list itself names is ever deleted.
    const auto found = std::find(finishedConversions_.begin(), finishedConversions_.end(), conversion);
    if (found == finishedConversions_.end()) return;
    kiv_delete(found->FilePath);  // a file that is already gone still leaves the list
    finishedConversions_.remove(conversion);
}
