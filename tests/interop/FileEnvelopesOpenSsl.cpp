// File envelopes between the agent's file methods and the openssl command line, both ways:
// openssl cms -decrypt opens what the four encryption methods write, and the decryption methods
// open what openssl cms and smime -encrypt write (RC4 and Triple DES, with and without -keyid
// and -stream).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "FixtureData.h"
#include "agent/CryptoAgent.h"
#include "platform/CertTestSupport.h"

namespace {

namespace fs = std::filesystem;
using WString = std::basic_string<WCHAR>;

constexpr size_t kChunk = 0x400000;
const char* const kLegacy = " -provider legacy -provider default";

bool HaveOpenssl()
{
    return std::system("command -v openssl >/dev/null 2>&1") == 0;
}

WString Wide(const std::string& s)
{
    WString w;
    for (unsigned char c : s) w += static_cast<WCHAR>(c);
    return w;
}

std::string Fixture(const char* name)
{
    return npk::test::FixtureDir() + name;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Arg {
public:
    explicit Arg(const std::string& s) : m_bstr(SysAllocString(Wide(s).c_str())) {}
    ~Arg() { SysFreeString(m_bstr); }
    Arg(const Arg&) = delete;
    Arg& operator=(const Arg&) = delete;
    operator BSTR() const { return m_bstr; }

private:
    BSTR m_bstr;
};

class FileEnvelopesOpenSsl : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        if (!HaveOpenssl()) GTEST_SKIP() << "openssl is not installed";
        m_dir = m_root + "/files/";
        fs::create_directories(m_dir);
        BSTR bstr = nullptr;
        ASSERT_EQ(m_agent.SelectEncryptCertificateByCERFile(Arg(Fixture("recipient.cer")), &bstr), S_OK);
        SysFreeString(bstr);
        bstr = nullptr;
        ASSERT_EQ(m_agent.SelectDecryptCertificateByPFXFile(Arg(Fixture("recipient.pfx")), Arg("npkeystrand"), &bstr),
                  S_OK);
        SysFreeString(bstr);
    }

    std::string Plain(const std::string& name, size_t size)
    {
        std::string data(size, '\0');
        uint32_t x = 77;
        for (size_t i = 0; i < size; ++i) {
            x = x * 1103515245u + 12345u;
            data[i] = static_cast<char>(x >> 16);
        }
        std::ofstream(m_dir + name, std::ios::binary) << data;
        return m_dir + name;
    }

    int OpensslDecrypt(const std::string& env, const std::string& out, bool legacy)
    {
        std::string cmd = "openssl cms -decrypt -inform DER -recip '" + Fixture("recipient.pem") + "' -inkey '" +
                          Fixture("recipient.key") + "' -in '" + env + "' -out '" + out + "'" +
                          (legacy ? kLegacy : "") + " 2>" + m_dir + "openssl.err";
        return std::system(cmd.c_str());
    }

    std::string m_dir;
    CCryptoAgent m_agent;
};

TEST_F(FileEnvelopesOpenSsl, OpensslOpensEveryEncryptionMethod)
{
    struct Method {
        const char* name;
        HRESULT (CCryptoAgent::*encrypt)(BSTR, BSTR, VARIANT_BOOL*);
        bool rc4;
    } methods[] = {
        {"EncryptAsEnvelopeFile", &CCryptoAgent::EncryptAsEnvelopeFile, true},
        {"EncryptAsEnvelopeFilePKCS7", &CCryptoAgent::EncryptAsEnvelopeFilePKCS7, true},
        {"EncryptAsEnvelopeFile_3DES", &CCryptoAgent::EncryptAsEnvelopeFile_3DES, false},
        {"EncryptAsEnvelopeFilePKCS7_3DES", &CCryptoAgent::EncryptAsEnvelopeFilePKCS7_3DES, false},
    };
    for (size_t size : {size_t(1), kChunk + 1}) {
        const std::string src = Plain("plain-" + std::to_string(size), size);
        for (const Method& m : methods) {
            const std::string tag = std::string(m.name) + "-" + std::to_string(size);
            SCOPED_TRACE(tag);
            VARIANT_BOOL ok = VARIANT_FALSE;
            ASSERT_EQ((m_agent.*m.encrypt)(Arg(src), Arg(m_dir + tag + ".p7m"), &ok), S_OK);
            EXPECT_EQ(ok, VARIANT_TRUE);
            ASSERT_EQ(OpensslDecrypt(m_dir + tag + ".p7m", m_dir + tag + ".out", m.rc4), 0)
                << ReadAll(m_dir + "openssl.err");
            EXPECT_TRUE(ReadAll(m_dir + tag + ".out") == ReadAll(src));
        }
    }
    // The key-identifier methods name the recipient by its key identifier: openssl finds the
    // key by it without a certificate to compare issuer and serial with.
    const std::string src = Plain("plain-kid", 1000);
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(m_agent.EncryptAsEnvelopeFile_3DES(Arg(src), Arg(m_dir + "kid.p7m"), &ok), S_OK);
    std::string cmd = "openssl cms -cmsout -print -inform DER -in '" + m_dir + "kid.p7m' > " + m_dir + "kid.txt";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string printed = ReadAll(m_dir + "kid.txt");
    EXPECT_NE(printed.find("subjectKeyIdentifier"), std::string::npos) << printed;
    EXPECT_NE(printed.find("des-ede3-cbc"), std::string::npos) << printed;
}

TEST_F(FileEnvelopesOpenSsl, DecryptionOpensWhatOpensslWrites)
{
    const std::string src = Plain("plain", kChunk + 777);
    int n = 0;
    for (const char* tool : {"cms", "smime"}) {
        for (const char* cipher : {"-rc4", "-des3"}) {
            for (bool keyId : {false, true}) {
                if (keyId && std::string(tool) == "smime") continue;  // smime has no -keyid
                for (bool stream : {false, true}) {
                    const std::string tag = std::string(tool) + cipher + (keyId ? "-keyid" : "") +
                                            (stream ? "-stream" : "") + "-" + std::to_string(++n);
                    SCOPED_TRACE(tag);
                    const std::string env = m_dir + tag + ".p7m";
                    std::string cmd = std::string("openssl ") + tool + " -encrypt -binary -outform DER " +
                                      (stream ? "-stream " : "") + (keyId ? "-keyid " : "") + cipher +
                                      (std::string(cipher) == "-rc4" ? kLegacy : "") + " -in '" + src +
                                      "' -out '" + env + "' '" + Fixture("recipient.pem") + "'";
                    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
                    VARIANT_BOOL ok = VARIANT_FALSE;
                    HRESULT hr = (n % 2 == 0) ? m_agent.DecryptEnvelopeFile(Arg(env), Arg(m_dir + tag + ".out"), &ok)
                                              : m_agent.DecryptEnvelopeFilePKCS7(Arg(env), Arg(m_dir + tag + ".out"), &ok);
                    ASSERT_EQ(hr, S_OK) << std::hex << hr;
                    EXPECT_EQ(ok, VARIANT_TRUE);
                    EXPECT_TRUE(ReadAll(m_dir + tag + ".out") == ReadAll(src));
                }
            }
        }
    }
}

}  // namespace
