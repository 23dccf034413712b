// The retry rule of a UPnP mapping and the manager's hold on one, over a router of the test's own.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "network/UpnpFunctions.h"
#include "network/UpnpManager.h"

namespace {

struct RetryCase {
    const char* name;
    int internal;
    int external;
    std::vector<int> answers;  // the router's answer to each attempt in turn (then 0)
    int mapped;                // 0: the call throws
    std::string thrown;        // the end of the thrown text
    int attempts;              // made on the external ports from the asked one upwards
};

TEST(UpnpRetries, MovesOnOnlyForInvalidArgsAndConflictsUpTo100AttemptsAndPort65535) {
    const std::vector<int> hundredConflicts(100, 718);
    const RetryCase cases[] = {
        {"free port", 8683, 8683, {}, 8683, "", 1},
        {"conflicts", 8683, 8683, {718, 718}, 8685, "", 3},
        {"invalid args", 8683, 8683, {402}, 8684, "", 2},
        {"other refusal", 8683, 8683, {501}, 0, "(8683, 8683, 192.168.1.2) failed with code 501", 1},
        {"negative library code", 8683, 8683, {-3}, 0, "failed with code -3", 1},
        {"every attempt refused", 8683, 8683, hundredConflicts, 0, "(8782, 8683, 192.168.1.2) failed with code 718", 100},
        {"top of the port range", 8683, 65534, {718, 718, 718}, 0, "(65535, 8683, 192.168.1.2) failed with code 718", 2},
        {"internal below 1024", 80, 8683, {}, 0, "Invalid Internal Port ", 0},
        {"external below 1024", 8683, 1023, {}, 0, "Invalid External Port ", 0},
        {"external above 65535", 8683, 70000, {}, 0, "Invalid External Port ", 0},
    };
    for (const RetryCase& c : cases) {
        std::vector<int> asked;
        const UpnpAddRequest router = [&](int external) {
            asked.push_back(external);
            return asked.size() <= c.answers.size() ? c.answers[asked.size() - 1] : 0;
        };
        if (c.mapped) {
            EXPECT_EQ(c.mapped, AddPortMappingWithRetries(c.internal, c.external, "192.168.1.2", router)) << c.name;
        } else {
            try {
                AddPortMappingWithRetries(c.internal, c.external, "192.168.1.2", router);
                ADD_FAILURE() << c.name << ": no exception";
            } catch (const std::runtime_error& e) {
                const std::string text = e.what();
                EXPECT_GE(text.size(), c.thrown.size()) << c.name;
                EXPECT_EQ(c.thrown, text.substr(text.size() - std::min(text.size(), c.thrown.size()))) << c.name;
            }
        }
        ASSERT_EQ(static_cast<size_t>(c.attempts), asked.size()) << c.name;
        for (size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(c.external + static_cast<int>(i), asked[i]) << c.name;
    }
}

// A router that maps by the retry rule and records what it was asked.
struct FakeIgd : IUpnpFunctions {
    int AddPortMapping(int internal, int external, bool udp) override {
        adds.push_back({internal, external, udp});
        if (refuse) throw std::runtime_error("refused");
        return external + shift;
    }
    void DeletePortMapping(int external, bool udp) override {
        deletes.push_back({0, external, udp});
        if (deleteFails) throw std::runtime_error("UPNP_DeletePortMapping() failed with return value : -3");
    }
    struct Call {
        int internal, external;
        bool udp;
    };
    std::vector<Call> adds, deletes;
    bool refuse = false;
    bool deleteFails = false;
    int shift = 0;
};

struct FakeFactory : IUpnpFunctionsFactory {
    boost::shared_ptr<IUpnpFunctions> Create() override {
        ++creates;
        if (!present) return boost::shared_ptr<IUpnpFunctions>();
        return boost::shared_ptr<IUpnpFunctions>(&igd, [](IUpnpFunctions*) {});
    }
    FakeIgd igd;
    bool present = true;
    int creates = 0;
};

boost::shared_ptr<FakeFactory> MakeFactory() { return boost::shared_ptr<FakeFactory>(new FakeFactory()); }

TEST(UpnpManager, HoldsTheMappedPortAndDeletesExactlyThatOnRelease) {
    auto factory = MakeFactory();
    factory->igd.shift = 2;  // the router moved it on twice
    for (bool udp : {false, true}) {
        factory->igd.adds.clear();
        factory->igd.deletes.clear();
        boost::shared_ptr<UpnpManager> manager = UpnpManager::GetInstance(factory, 8683, 8683, udp);
        ASSERT_TRUE(manager);
        EXPECT_EQ(8685, manager->GetExternalPort());
        ASSERT_EQ(1u, factory->igd.adds.size());
        EXPECT_EQ(8683, factory->igd.adds[0].internal);
        EXPECT_EQ(udp, factory->igd.adds[0].udp);
        EXPECT_TRUE(factory->igd.deletes.empty());
        manager.reset();
        ASSERT_EQ(1u, factory->igd.deletes.size());
        EXPECT_EQ(8685, factory->igd.deletes[0].external);
        EXPECT_EQ(udp, factory->igd.deletes[0].udp);
    }
}

TEST(UpnpManager, NoRouterOrARefusalGivesNothingAndLeavesTheRouterAlone) {
    auto absent = MakeFactory();
    absent->present = false;
    EXPECT_FALSE(UpnpManager::GetInstance(absent, 8683, 8683, false));
    EXPECT_EQ(1, absent->creates);
    EXPECT_FALSE(UpnpManager::GetInstance(boost::shared_ptr<IUpnpFunctionsFactory>(), 8683, 8683, false));

    auto refusing = MakeFactory();
    refusing->igd.refuse = true;
    EXPECT_FALSE(UpnpManager::GetInstance(refusing, 8683, 8683, false));
    EXPECT_EQ(1u, refusing->igd.adds.size());
    EXPECT_TRUE(refusing->igd.deletes.empty());
}

TEST(UpnpManager, AReleaseWhoseDeletionIsRefusedDoesNotThrow) {
    auto factory = MakeFactory();
    factory->igd.deleteFails = true;
    boost::shared_ptr<UpnpManager> manager = UpnpManager::GetInstance(factory, 8683, 8683, false);
    ASSERT_TRUE(manager);
    EXPECT_NO_THROW(manager.reset());
    EXPECT_EQ(1u, factory->igd.deletes.size());
}

}  // namespace
