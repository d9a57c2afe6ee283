// The agent's certificate information operations, on an agent whose state the test fills.
#include "platform/CertTestSupport.h"

#include <oleauto.h>

#include <string>

#include "agent/CryptoAgent.h"
#include "crypt32/CertKeyLink.h"
#include "crypt32/CertObjects.h"

using namespace certtest;
using npk::crypt32::CertStoreObject;

namespace {

using WString = std::basic_string<WCHAR>;
const HRESULT kNotReady = static_cast<HRESULT>(0xA0072001L);

WString W(const char* text)
{
    WString out;
    for (const char* p = text; *p != 0; ++p) out += static_cast<WCHAR>(static_cast<unsigned char>(*p));
    return out;
}

class TestAgent : public CCryptoAgent {
public:
    CertificateList& SignCerts() { return m_vecSignCerts; }
    PCCERT_CONTEXT& SignatureCert() { return m_pSignatureCert; }
};

class CertificateInfoOperations : public IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_contexts = CertStoreObject::LiveContexts();
    }
    void TearDown() override
    {
        EXPECT_EQ(CertStoreObject::LiveContexts(), m_contexts);
        IsolatedHome::TearDown();
    }
    // The text result, which must be allocated whatever the outcome.
    static WString Take(BSTR result)
    {
        EXPECT_NE(result, nullptr);
        if (result == nullptr) return WString();
        WString out(result, SysStringLen(result));
        SysFreeString(result);
        return out;
    }
    LONG m_contexts = 0;
};

}  // namespace

TEST_F(CertificateInfoOperations, NothingChosenIsNotReady)
{
    TestAgent agent;
    BSTR result = nullptr;
    EXPECT_EQ(agent.GetCSPNameofSignCert(&result), kNotReady);
    EXPECT_EQ(Take(result), WString());
    EXPECT_EQ(agent.LastError(), kNotReady);
    EXPECT_EQ(agent.GetSignaturePublicCertDN(&result), kNotReady);
    EXPECT_EQ(Take(result), WString());
    EXPECT_EQ(agent.GetSignaturePublicCertSN(&result), kNotReady);
    EXPECT_EQ(Take(result), WString());
    EXPECT_EQ(agent.LastError(), kNotReady);
}

TEST_F(CertificateInfoOperations, ProviderNameOfTheSigningCertificate)
{
    TestAgent agent;
    PCCERT_CONTEXT cert = Create(MakeCertificate());
    ASSERT_TRUE(NpkLinkCertificateToKey(cert, SharedKey(0), false)) << std::hex << GetLastError();
    agent.SignCerts().push_back(cert);
    BSTR result = nullptr;
    EXPECT_EQ(agent.GetCSPNameofSignCert(&result), S_OK);
    EXPECT_EQ(Take(result), W("Microsoft Enhanced RSA and AES Cryptographic Provider"));
    EXPECT_EQ(agent.LastError(), S_OK);
    EXPECT_EQ(agent.SignCerts().size(), 1u);  // the selection is unchanged
}

TEST_F(CertificateInfoOperations, SigningCertificateWithoutKeyFailsWithTheAcquisitionCode)
{
    TestAgent agent;
    agent.SignCerts().push_back(Create(MakeCertificate()));
    BSTR result = nullptr;
    EXPECT_EQ(agent.GetCSPNameofSignCert(&result), static_cast<HRESULT>(CRYPT_E_NO_KEY_PROPERTY));
    EXPECT_EQ(Take(result), WString());
    EXPECT_EQ(agent.LastError(), static_cast<HRESULT>(CRYPT_E_NO_KEY_PROPERTY));
}

TEST_F(CertificateInfoOperations, SignerSubjectAndSerial)
{
    TestAgent agent;
    CertSpec spec;
    spec.subject = "Signer, Ltd";
    // Magnitude FD FF, negative: encoded FF 02 01, held as 01 02 FF.
    spec.serial = {0xFD, 0xFF};
    spec.negative = true;
    agent.SignatureCert() = Create(MakeCertificate(spec));
    ASSERT_NE(agent.SignatureCert(), nullptr);
    ASSERT_EQ(agent.SignatureCert()->pCertInfo->SerialNumber.cbData, 3u);
    ASSERT_EQ(agent.SignatureCert()->pCertInfo->SerialNumber.pbData[0], 0x01);

    BSTR result = nullptr;
    EXPECT_EQ(agent.GetSignaturePublicCertDN(&result), S_OK);
    EXPECT_EQ(Take(result), W("O=Keystrand, CN=Signer, Ltd"));
    EXPECT_EQ(agent.GetSignaturePublicCertSN(&result), S_OK);
    EXPECT_EQ(Take(result), W("ff0201"));
    EXPECT_EQ(agent.LastError(), S_OK);

    CertSpec plain;
    plain.serial = {0x01, 0x02, 0x03, 0xAB};
    CertFreeCertificateContext(agent.SignatureCert());
    agent.SignatureCert() = Create(MakeCertificate(plain));
    EXPECT_EQ(agent.GetSignaturePublicCertSN(&result), S_OK);
    EXPECT_EQ(Take(result), W("010203ab"));
    EXPECT_NE(agent.SignatureCert(), nullptr);  // the remembered signer stays
}
