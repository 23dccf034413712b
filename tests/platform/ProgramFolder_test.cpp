#include "platform/ProgramFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/DnsSd.h"
#include "support/TestSupport.h"

namespace {

TEST(ProgramFolder, IsTheFolderOfTheRunningProgram) {
    EXPECT_EQ(ProgramFolder(), std::filesystem::canonical(CALVORO_BIN_DIR).string());
}

void DNSSD_API IgnoreReply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType, const char*, const char*, const char*,
                           void*) {}

// No DNS-SD daemon runs here: the registration answers "missing" and holds nothing.
TEST(DnsSdRegister, WithoutADaemonAnswersMissing) {
    REQUIRE_ISOLATED_NETWORK();
    DNSServiceRef ref = reinterpret_cast<DNSServiceRef>(1);
    EXPECT_EQ(DnsSdRegister(ref, "_calvoro._tcp.", 8683, IgnoreReply), kDnsSdServiceMissing);
    EXPECT_EQ(ref, nullptr);
}

}  // namespace
