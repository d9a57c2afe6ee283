// What the token tests share: a SoftHSM2 token of the test's own, made by make-token.sh in the
// test's temporary directory and selected with SOFTHSM2_CONF (so no real token is touched),
// holding Alice's signing key (CKA_ID 01) and Bob's encryption key (CKA_ID 02) with their
// certificates. The PIN reaches the plug-in through the test-only variable unless a test
// drives the PIN dialog itself.
#pragma once

#include "integration/PageSupport.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace npk::test {

constexpr char kTokenLabel[] = "Test Token";
constexpr char kTokenPin[] = "1234";
constexpr char kTestPinVariable[] = "NPKEYSTRAND_TEST_ONLY_SOFTHSM_PIN";
constexpr char kSoftHsmModule[] = "/usr/lib/softhsm/libsofthsm2.so";
// The container names the "MY" store gives the two token keys.
constexpr char kAliceContainer[] = "\\\\.\\Test Token\\01";
constexpr char kBobContainer[] = "\\\\.\\Test Token\\02";

inline bool HaveTokenTools()
{
    return std::filesystem::exists(kSoftHsmModule) && RunProgram({"/bin/sh", "-c", "command -v pkcs11-tool"}, {}, 10).status == 0 &&
           RunProgram({"/bin/sh", "-c", "command -v softhsm2-util"}, {}, 10).status == 0;
}

class TokenTest : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        if (HasFatalFailure()) return;
        if (!HaveTokenTools()) GTEST_SKIP() << "softhsm2 and opensc are needed (make test-tokens installs them)";
        MakeToken(Dir() / "softhsm", kTokenLabel);
        if (HasFatalFailure()) return;
        Use(Dir() / "softhsm");
        Env()[kTestPinVariable] = kTokenPin;
        // Through p11-kit's proxy, as a user's browser would reach the token.
        Env()["NPKEYSTRAND_PKCS11_MODULE"] = "";
    }

    void MakeToken(const std::filesystem::path& dir, const std::string& label)
    {
        std::string script = std::string(NPK_DEFAULT_SOURCE_DIR) + "/tests/token/make-token.sh";
        HostResult made = RunProgram({"/bin/sh", script, dir.string(), label, kTokenPin, DataDir() + "signer.key",
                                      DataDir() + "signer.cer", "01", DataDir() + "recipient.key",
                                      DataDir() + "recipient.cer", "02"},
                                     {}, 60);
        ASSERT_EQ(made.status, 0) << made.out << made.err;
    }

    // Points this process and the hosts it starts at a token store.
    void Use(const std::filesystem::path& dir)
    {
        std::string conf = (dir / "softhsm2.conf").string();
        Env()["SOFTHSM2_CONF"] = conf;
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    }

    std::string Tool(const std::string& shellCommand, int* status = nullptr)
    {
        std::map<std::string, std::string> env = Env();
        HostResult r = RunProgram({"/bin/sh", "-c", shellCommand}, env, 120);
        if (status != nullptr) *status = r.status;
        return r.out + r.err;
    }
};

}  // namespace npk::test
