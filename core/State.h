// The server's one store of shared and durable state, guarded by one lock and kept in state.xml.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <set>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/IState.h"
#include "core/KivDeleter.h"
#include "core/StateTypes.h"
#include "kivlib/kiv_thread.h"

struct xml_element;

class State final : public IState, public KivDeleter {
public:
    static const uint32_t kDefaultHttpPort = 8683;
    static const uint32_t kClientTimeoutMs = 300000;
    // Sessions of devices that are not authorised (each waiting for its PIN) kept at once; a new one
    // replaces the oldest, so announces with ever new unique ids cannot fill the memory.
    static constexpr size_t kMaxWaitingSessions = 64;

    // A new, independent store in the per-user data folder "Calvoro"; empty on failure. The pointer
    // converts to a boost::shared_ptr<IState> for holders that need only the interface.
    static boost::shared_ptr<State> GetInstance();
    // The same with the data folder given (made when missing); used where the folder is chosen elsewhere.
    static boost::shared_ptr<State> GetInstance(const std::wstring& dataFolder);

    void Destroy() override { delete this; }

    // ---- IState
    std::list<FinishedConversion> GetFinishedConversions() override;
    void AddFinishedConversion(const FinishedConversion& conversion) override;
    ClientSession GetOrCreateSession(const std::wstring& deviceName, const std::wstring& uniqueId) override;
    ClientSession GetSession(uint64_t sessionId) override;
    bool AuthorizeClient(uint64_t sessionId) override;
    bool UnauthorizeClient(uint64_t sessionId) override;
    void SetClientConnected(uint64_t sessionId, bool connected) override;
    bool EndWaitingSession(uint64_t sessionId) override;
    uint32_t GetClientTimeoutMs() override { return kClientTimeoutMs; }
    std::wstring GetCacheFolder() override;
    bool GetExternalAccess() override;
    int GetExternalPort() override;
    uint32_t GetHttpPort() override;
    std::wstring GetLookupName() override;
    void SetLookupName(const std::wstring& name) override;
    bool Save() override;

    // ---- data and cache folders
    std::wstring GetDataFolder();
    // Makes the folder and takes it; throws std::runtime_error "Unable to create desired cache folder".
    void SetCacheFolder(const std::wstring& path);
    void SetDefaultCacheFolder();
    bool IsDefaultCacheFolder();

    // ---- preferences (no setter saves)
    void SetHttpPort(uint32_t port);
    void ResetHttpPort();
    bool IsDefaultHttpPort();
    void SetExternalAccess(bool on);
    bool GetUpnpEnabled();
    void SetUpnpEnabled(bool on);
    bool GetStartAtLogin();
    void SetStartAtLogin(bool on);
    bool GetDoNotShowBonjourLink();
    void SetDoNotShowBonjourLink(bool on);
    uint32_t GetSDCorePercent();
    void SetSDCorePercent(uint32_t percent);
    uint32_t GetHDCorePercent();
    void SetHDCorePercent(uint32_t percent);
    uint32_t GetCCorePercent();
    void SetCCorePercent(uint32_t percent);
    bool GetShowAllConversions();
    void SetShowAllConversions(bool on);

    // ---- run-time values (never saved)
    void SetExternalPort(int port);
    void SetCheckExternalAccessFlag(bool raised);
    bool GetCheckExternalAccessFlag();
    int GetCpuCount();

    // ---- finished conversions
    // Deletes the file, then every equal entry; does not save.
    void DeleteFinishedConversion(const FinishedConversion& conversion);

    // ---- shared folders
    bool ShareFolder(const std::wstring& path);
    bool ShareExistingFolder(const std::wstring& path);
    // False, with FolderPathProblem logged and nothing saved, for a path that state.xml cannot hold exactly.
    bool AddFolder(const FolderEntry& entry);
    // Why a folder cannot be shared under its path (a text to show the user); empty when it can.
    static std::string FolderPathProblem(const std::wstring& path);
    // Result of the save; throws std::runtime_error "Alias not found to be removed".
    bool RemoveFolder(const std::wstring& alias);
    void GetFolders(std::list<FolderEntry>& folders);
    int GetFolderCount();
    void GetFolderTree(std::list<FolderTreeRow>& rows);
    void ToggleFolderExpanded(const std::wstring& path);
    static void GetVideoExtensions(std::set<std::wstring>& extensions);

    // ---- client sessions
    bool IsClientConnected(uint64_t sessionId);
    bool IsSessionAuthorized(uint64_t sessionId);
    void GetSessions(std::list<ClientSession>& sessions);
    // Both throw std::runtime_error "Unknown session ID".
    void SetDeviceType(uint64_t sessionId, const std::wstring& type);
    void SetDeviceVersion(uint64_t sessionId, const std::wstring& version);

    // ---- state file
    bool Load();
    bool Load(const std::wstring& path);
    bool Save(const std::wstring& path);

private:
    State();
    ~State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // One field read or written under the store's lock, so a getter or setter is one line.
    template <typename T>
    T Read(const T& field) {
        KivLock lock(*mutex_);
        return field;
    }
    template <typename T>
    void Write(T& field, const T& value) {
        KivLock lock(*mutex_);
        field = value;
    }

    // These need the lock held by the caller.
    bool InsertFolder(const FolderEntry& entry);
    void AppendFinishedConversion(const FinishedConversion& conversion);
    void ApplyCacheFolder(const std::wstring& path);  // throws std::runtime_error
    void AppendFolderContents(const std::wstring& folder, int depth, const std::set<std::wstring>& extensions,
                              std::list<FolderTreeRow>& rows);
    uint64_t DrawSessionId();
    void ForgetWaiting(uint64_t sessionId);
    std::string BuildStateText();
    void ReadStateElement(const xml_element& root);
    void ReadHttpPort(const xml_element& root);
    void CountProcessors();

    std::map<std::wstring, FolderEntry> folders_;
    std::set<std::wstring> expandedPaths_;
    std::set<std::wstring> authorizedIds_;
    std::map<uint64_t, ClientSession> sessions_;
    // The sessions not authorised, oldest first (at most kMaxWaitingSessions).
    std::deque<uint64_t> waiting_;
    std::set<uint64_t> connected_;
    boost::shared_ptr<KivThreadMutex> mutex_;
    std::wstring dataFolder_;
    std::wstring cacheFolder_;
    std::list<FinishedConversion> finishedConversions_;
    int externalPort_ = 0;
    uint32_t httpPort_ = kDefaultHttpPort;
    int cpuCount_ = 1;
    uint32_t sdCorePercent_ = 50;
    uint32_t hdCorePercent_ = 100;
    uint32_t cCorePercent_ = 100;
    bool externalAccess_ = false;
    std::wstring lookupName_;
    bool checkExternalAccess_ = false;
    bool upnpEnabled_ = true;
    bool startAtLogin_ = false;
    bool doNotShowBonjourLink_ = false;
    bool showAllConversions_ = false;

    // Every session id that was ever authorised in this run, so none that opened the HTTP interface is
    // ever handed out again.
    std::set<uint64_t> authorisedSessionIds_;
    // Serialises whole saves (build, write, rename); taken before the store's lock, never inside it.
    boost::shared_ptr<KivThreadMutex> saveMutex_;
};
