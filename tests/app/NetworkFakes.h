// A router and a NAT-PMP gateway of the test's own for the worker's network thread, and a clock whose
// time the test sets; all of them may be used from the worker's threads and the test's at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/Worker.h"
#include "core/IEvents.h"
#include "network/NatPmp.h"
#include "network/UpnpFunctions.h"

namespace networkfakes {

// Maps as a router does (another computer's port is a conflict, 718) through the real retry rule, and
// records every add and delete in order ("add 8683", "delete 8683").
class FakeRouter : public IUpnpFunctionsFactory {
public:
    boost::shared_ptr<IUpnpFunctions> Create() override {
        ++discoveries;
        if (!present) return boost::shared_ptr<IUpnpFunctions>();
        return boost::shared_ptr<IUpnpFunctions>(new Igd(this));
    }

    void Occupy(int external) {
        std::lock_guard<std::mutex> hold(lock_);
        mappings_[external] = "other";
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    // External ports mapped to this computer.
    std::vector<int> Ours() {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<int> ports;
        for (const auto& m : mappings_)
            if (m.second == "self") ports.push_back(m.first);
        return ports;
    }

    std::atomic<bool> present{true};
    std::atomic<bool> refuse{false};  // every add is refused (501, no retry)
    std::atomic<int> discoveries{0};

private:
    struct Igd : IUpnpFunctions {
        explicit Igd(FakeRouter* router) : router(router) {}
        int AddPortMapping(int internal, int external, bool) override {
            return AddPortMappingWithRetries(internal, external, "192.168.77.2",
                                             [this](int port) { return router->Add(port); });
        }
        void DeletePortMapping(int external, bool) override { router->Delete(external); }
        FakeRouter* router;
    };

    int Add(int external) {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back("add " + std::to_string(external));
        if (refuse) return 501;
        auto it = mappings_.find(external);
        if (it != mappings_.end() && it->second != "self") return 718;
        mappings_[external] = "self";
        return 0;
    }
    void Delete(int external) {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back("delete " + std::to_string(external));
        if (!present || mappings_.erase(external) == 0)
            throw std::runtime_error("UPNP_DeletePortMapping() failed with return value : 714");
    }

    std::mutex lock_;
    std::map<int, std::string> mappings_;
    std::vector<std::string> events_;
};

struct NatPmpRequest {
    uint16_t internal, external;
    uint32_t lifetime;
    bool operator==(const NatPmpRequest& o) const {
        return internal == o.internal && external == o.external && lifetime == o.lifetime;
    }
};

class FakeGateway : public INatPmp {
public:
    NatPmpResult MapTcpPort(uint16_t internal, uint16_t external, uint32_t lifetime) override {
        // The answer's way back (a late answer moves the test's clock on).
        if (beforeAnswer) beforeAnswer();
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back({internal, external, lifetime});
        NatPmpResult result;
        if (!present) {
            result.error = -3;  // no gateway
            return result;
        }
        result.sent = true;
        if (silent) {
            result.error = kNatPmpTimedOut;
            return result;
        }
        result.internalPort = internal;
        if (lifetime == 0) {
            mapped_ = 0;
            return result;
        }
        // A gateway may hand out another external port than the one asked for.
        result.externalPort = mapped_ ? mapped_ : static_cast<uint16_t>(external + shift);
        result.lifetime = grantsNoLifetime ? 0 : grant ? grant.load() : lifetime;
        mapped_ = result.externalPort;
        return result;
    }
    std::vector<NatPmpRequest> Requests() {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }
    uint16_t Mapped() {
        std::lock_guard<std::mutex> hold(lock_);
        return mapped_;
    }

    std::atomic<bool> present{true};
    std::atomic<bool> silent{false};
    std::atomic<int> shift{0};
    std::atomic<uint32_t> grant{0};     // the lifetime granted; 0: the one asked for
    std::atomic<bool> grantsNoLifetime{false};  // every grant has a lifetime of 0
    std::function<void()> beforeAnswer;  // set before the worker starts

private:
    std::mutex lock_;
    std::vector<NatPmpRequest> requests_;
    uint16_t mapped_ = 0;
};

// Now in seconds as the test sets it; a sleep is short (a test never waits out a long one) and counted.
class ManualClock : public IWorkerClock {
public:
    int64_t NowSeconds() override { return now; }
    void Sleep(uint32_t ms, WakeSignal& wake) override {
        wake.Wait(std::min<uint32_t>(ms, 10));
        std::lock_guard<std::mutex> hold(lock_);
        ++sleeps_;
        changed_.notify_all();
    }
    // Waits until count more passes ended after the call.
    bool WaitForPasses(int count) {
        std::unique_lock<std::mutex> hold(lock_);
        const long until = sleeps_ + count;
        return changed_.wait_for(hold, std::chrono::seconds(30), [&] { return sleeps_ >= until; });
    }
    std::atomic<int64_t> now{1000};

private:
    std::mutex lock_;
    std::condition_variable changed_;
    long sleeps_ = 0;
};

// Events of no client at all.
class NoEvents : public IEvents {
public:
    uint64_t CheckClientTimeouts() override { return 0; }
    void ClientAnnounced(const std::wstring&, const std::wstring&) override {}
    bool Unauthorize(uint64_t) override { return true; }
    void SetClientEventCallback(ClientEventCallback, void*) override {}
    void FireClientEvent(uint64_t) override {}
    bool SubmitPin(uint32_t, uint64_t) override { return false; }
};

inline bool Within(std::chrono::seconds limit, const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace networkfakes
