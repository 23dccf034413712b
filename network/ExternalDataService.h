// The requests of the master-server protocol: register, announce, the connection e-mail and the
// issue report, each sent through one HTTP client the caller owns.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"

class kiv_http;

// The master server does not know the lookup key; the caller registers anew. Not a std::exception,
// so only a handler of this very type takes it.
class BadKeyException {
public:
    std::string text;  // always empty
};

constexpr uint32_t kMasterRequestTimeoutMs = 5000;
constexpr uint32_t kMasterHeadWaitMs = 5000;   // the whole wait for a reply head
constexpr uint32_t kMasterHeadPollMs = 100;
constexpr uint32_t kMasterBodyTimeoutMs = 5000;
constexpr uint32_t kMasterUploadWriteMs = 1000;
constexpr size_t kMasterUploadBlock = 4096;
extern const char* const kReportBoundary;

// Texts are UTF-8. Every failure is a std::runtime_error, and Announce's unknown key a BadKeyException.
class IExternalDataService {
public:
    // Uploads the log file with the description and the e-mail; fails unless the server answers 200.
    virtual void SendReport(const std::string& logFilePath, const std::string& description,
                            const std::string& email) = 0;
    virtual void SendConnectionAssistEmail(const std::string& ip, const std::string& port,
                                           const std::string& email) = 0;
    // The key the server handed out (its reply body, as it came).
    virtual std::string Register(bool enabled, uint32_t port) = 0;
    // Returns when the server knows the key.
    virtual void Announce(const std::string& key, bool enabled, uint32_t port) = 0;

protected:
    ~IExternalDataService() = default;
};

class ExternalDataService final : public IExternalDataService, public KivDeleter {
public:
    // http is not owned; empty without one.
    static boost::shared_ptr<IExternalDataService> GetInstance(kiv_http* http);

    void SendReport(const std::string& logFilePath, const std::string& description,
                    const std::string& email) override;
    void SendConnectionAssistEmail(const std::string& ip, const std::string& port, const std::string& email) override;
    std::string Register(bool enabled, uint32_t port) override;
    void Announce(const std::string& key, bool enabled, uint32_t port) override;
    void Destroy() override { delete this; }

private:
    explicit ExternalDataService(kiv_http* http) : http_(http) {}
    ~ExternalDataService() = default;
    // Sends a GET and returns the body of its 200 reply.
    std::string Exchange(const std::string& path);
    void AwaitReplyHead();
    void WriteWhole(const char* bytes, size_t length);

    kiv_http* http_;
};

class IExternalDataServiceFactory {
public:
    virtual boost::shared_ptr<IExternalDataService> Create(kiv_http* http) = 0;

protected:
    ~IExternalDataServiceFactory() = default;
};

class ExternalDataServiceFactory : public IExternalDataServiceFactory {
public:
    boost::shared_ptr<IExternalDataService> Create(kiv_http* http) override { return ExternalDataService::GetInstance(http); }
};

// A query value: every byte but letters, digits, "-._~", "@" and "&" becomes %XX, so no value breaks
// the request line or adds a fragment ("&" stays: the server takes the value as it is).
std::string EncodeQueryValue(const std::string& value);
// A key in the path: bytes that would end or break the path (blank, controls, "%", "?", "#", bytes
// over 0x7E) become %XX; a valid key comes out as it is.
std::string EncodeKeyPath(const std::string& key);
// What we store as a lookup key: 1 to 64 printable ASCII bytes, no blank, "/", "?", "#", "%" or "&".
bool IsValidLookupKey(const std::string& key);
// The three leading parts and the closing delimiter of the report's body, and its announced length.
struct ReportBody {
    std::string p1, p2, p3, delimiter, extraHeaders;
    uint64_t ContentLength(uint64_t fileSize) const {
        return fileSize + p1.size() + p2.size() + p3.size() + delimiter.size();
    }
};
ReportBody BuildReportBody(const std::string& description, const std::string& email);
