// The agent's text envelopes, called directly on a CCryptoAgent with the committed fixtures:
// the order of the argument and selection checks, the four encrypting forms against the two
// decrypting ones, the recipient form each envelope type gives, and the last error a page
// reads afterwards.
#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "agent/CryptoAgent.h"
#include "unit/AgentTestSupport.h"
#include "platform/CertTestSupport.h"
#include "platform/crypt32/CertObjects.h"

namespace {

using namespace agenttest;

namespace fs = std::filesystem;

using Encrypt = HRESULT (CCryptoAgent::*)(BSTR, BSTR*);
struct EncryptForm {
    const char* name;
    Encrypt call;
    bool keyId;
    const char* oidDer;  // the content algorithm's identifier, as DER bytes
};
const char kRc4Der[] = "\x06\x08\x2A\x86\x48\x86\xF7\x0D\x03\x04";
const char kDes3Der[] = "\x06\x08\x2A\x86\x48\x86\xF7\x0D\x03\x07";
const EncryptForm kForms[] = {
    {"EncryptMessageasEnvelope", &CCryptoAgent::EncryptMessageasEnvelope, true, kRc4Der},
    {"EncryptMessageasEnvelopePKCS7", &CCryptoAgent::EncryptMessageasEnvelopePKCS7, false, kRc4Der},
    {"EncryptMessageasEnvelope_3DES", &CCryptoAgent::EncryptMessageasEnvelope_3DES, true, kDes3Der},
    {"EncryptMessageasEnvelopePKCS7_3DES", &CCryptoAgent::EncryptMessageasEnvelopePKCS7_3DES, false, kDes3Der},
};

std::string FromBase64(const std::string& text)
{
    std::string clean;
    for (char c : text)
        if (c != '\r' && c != '\n') clean += c;
    std::string out(clean.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
    if (n < 0 || clean.size() < 4) return std::string();
    out.resize(static_cast<size_t>(n) - (clean.back() == '=') - (clean[clean.size() - 2] == '='));
    return out;
}

// Whether OpenSSL reads the envelope's (single) recipient as identified by key identifier.
int RecipientIsKeyId(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size()));
    if (cms == nullptr) return -1;
    int result = -1;
    STACK_OF(CMS_RecipientInfo)* ris = CMS_get0_RecipientInfos(cms);
    if (ris != nullptr && sk_CMS_RecipientInfo_num(ris) == 1) {
        ASN1_OCTET_STRING* keyid = nullptr;
        X509_NAME* issuer = nullptr;
        ASN1_INTEGER* serial = nullptr;
        if (CMS_RecipientInfo_ktri_get0_signer_id(sk_CMS_RecipientInfo_value(ris, 0), &keyid, &issuer, &serial) == 1)
            result = keyid != nullptr ? 1 : 0;
    }
    CMS_ContentInfo_free(cms);
    return result;
}

class AgentEnvelopesTest : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        certtest::IsolatedHome::SetUp();
        m_contexts = npk::crypt32::CertStoreObject::LiveContexts();
    }
    void TearDown() override
    {
        EXPECT_EQ(npk::crypt32::CertStoreObject::LiveContexts(), m_contexts);
        certtest::IsolatedHome::TearDown();
    }

    static void Choose(TestAgent& agent, const char* cer, const char* pfx)
    {
        Text subject, store;
        if (cer != nullptr) {
            ASSERT_EQ(agent.SelectEncryptCertificateByCERFile(Arg(Fixture(cer)), &subject), S_OK);
        }
        if (pfx != nullptr) {
            ASSERT_EQ(agent.SelectDecryptCertificateByPFXFile(Arg(Fixture(pfx)), Arg("npkeystrand"), &store), S_OK);
        }
    }

    static std::string Description(CCryptoAgent& agent)
    {
        Text d;
        EXPECT_EQ(agent.GetLastErrorDesc(&d), S_OK);
        return d.str();
    }

    LONG m_contexts = 0;
};

TEST_F(AgentEnvelopesTest, EveryEncryptingFormOpensWithEitherDecryptingForm)
{
    TestAgent agent;
    Choose(agent, "recipient.cer", "recipient.pfx");
    // Chinese and Korean survive the UTF-8 round trip.
    const std::string message = "Pay \xE5\xBC\xA0\xE4\xB8\x89 100 \xEC\x9B\x90 now.";
    for (const EncryptForm& form : kForms) {
        SCOPED_TRACE(form.name);
        Text envelope;
        ASSERT_EQ((agent.*form.call)(Arg(message), &envelope), S_OK);
        EXPECT_EQ(agent.LastError(), S_OK);
        std::string der = FromBase64(envelope.str());
        ASSERT_FALSE(der.empty()) << envelope.str();
        EXPECT_EQ(RecipientIsKeyId(der), form.keyId ? 1 : 0);
        EXPECT_NE(der.find(std::string(form.oidDer, 10)), std::string::npos) << "content algorithm";

        Text plain1, plain2;
        ASSERT_EQ(agent.DecryptEnvelopeMessage(envelope.bstr, &plain1), S_OK);
        EXPECT_EQ(plain1.wstr(), Wide(message));
        ASSERT_EQ(agent.DecryptEnvelopeMessagePKCS7(envelope.bstr, &plain2), S_OK);
        EXPECT_EQ(plain2.wstr(), Wide(message));
    }
}

TEST_F(AgentEnvelopesTest, ArgumentsAreCheckedBeforeTheSelection)
{
    TestAgent agent;
    Text r;
    EXPECT_EQ(agent.EncryptMessageasEnvelope(Arg(""), &r), E_INVALIDARG);
    EXPECT_EQ(r.str(), "");
    EXPECT_EQ(agent.EncryptMessageasEnvelopePKCS7_3DES(nullptr, &r), E_INVALIDARG);
    EXPECT_EQ(agent.EncryptMessage(Arg("m"), 1, Arg(""), &r), E_INVALIDARG);
    EXPECT_EQ(agent.EncryptMessage(Arg("m"), 1, nullptr, &r), E_INVALIDARG);
    EXPECT_EQ(agent.EncryptMessageasEnvelope_3DES(Arg("m"), &r), NPK_E_CERT_NOT_READY);
    EXPECT_EQ(agent.LastError(), NPK_E_CERT_NOT_READY);
    EXPECT_EQ(r.str(), "");

    EXPECT_EQ(agent.DecryptEnvelopeMessage(Arg(""), &r), E_INVALIDARG);
    EXPECT_EQ(agent.DecryptEnvelopeMessagePKCS7(nullptr, &r), E_INVALIDARG);
    // No store: refused before the text is decoded, so even junk gives "not ready".
    EXPECT_EQ(agent.DecryptEnvelopeMessage(Arg("%%% not base64 %%%"), &r), NPK_E_CERT_NOT_READY);
    std::string d = Description(agent);
    EXPECT_EQ(d, "Certificate is not ready.\n(0xa0072001)");
}

TEST_F(AgentEnvelopesTest, EnvelopeTypeTwoAloneMeansKeyIdentifier)
{
    TestAgent agent;
    Choose(agent, "nokeyid.cer", "nokeyid.pfx");
    // Carol has no subject key identifier: type 2 fails, every other type is PKCS#7.
    Text r;
    EXPECT_EQ(agent.EncryptMessage(Arg("m"), 2, Arg("1.2.840.113549.3.7"), &r), NPK_E_NO_SUBJECT_KEY_ID);
    EXPECT_EQ(r.str(), "");
    EXPECT_EQ(agent.EncryptMessageasEnvelope(Arg("m"), &r), NPK_E_NO_SUBJECT_KEY_ID);
    EXPECT_EQ(agent.EncryptMessageasEnvelope_3DES(Arg("m"), &r), NPK_E_NO_SUBJECT_KEY_ID);
    EXPECT_EQ(Description(agent), "Specified certificate doesn't contain subject key ID attribute.\n(0xa0071021)");
    for (int type : {1, 0, 3, -1}) {
        Text envelope, plain;
        ASSERT_EQ(agent.EncryptMessage(Arg("m"), type, Arg("1.2.840.113549.3.7"), &envelope), S_OK) << type;
        EXPECT_EQ(RecipientIsKeyId(FromBase64(envelope.str())), 0) << type;
        ASSERT_EQ(agent.DecryptEnvelopeMessage(envelope.bstr, &plain), S_OK);
        EXPECT_EQ(plain.str(), "m");
    }
    Text pkcs7, plain;
    ASSERT_EQ(agent.EncryptMessageasEnvelopePKCS7(Arg("m"), &pkcs7), S_OK);
    ASSERT_EQ(agent.DecryptEnvelopeMessagePKCS7(pkcs7.bstr, &plain), S_OK);
    EXPECT_EQ(plain.str(), "m");
}

TEST_F(AgentEnvelopesTest, UnknownAlgorithmIsReportedAsUnknown)
{
    TestAgent agent;
    Choose(agent, "recipient.cer", nullptr);
    for (const char* alg : {"1.2.840.113549.3.7 ", "1.2.840.113549.3.71", "RC4"}) {
        Text r;
        EXPECT_EQ(agent.EncryptMessage(Arg("m"), 1, Arg(alg), &r), CRYPT_E_UNKNOWN_ALGO) << alg;
        EXPECT_EQ(r.str(), "");
    }
    EXPECT_EQ(agent.LastError(), CRYPT_E_UNKNOWN_ALGO);
    EXPECT_EQ(Description(agent), "Unknown cryptographic algorithm.\r\n\n(0x80091002)");
}

TEST_F(AgentEnvelopesTest, TwoEncryptionCertificatesGiveOneEnvelopeForBoth)
{
    TestAgent agent;
    Choose(agent, "recipient.cer", nullptr);
    // A page's selection holds one; a host that fills the list itself may give more.
    Text carol;
    TestAgent other;
    ASSERT_EQ(other.SelectEncryptCertificateByCERFile(Arg(Fixture("nokeyid.cer")), &carol), S_OK);
    agent.EncryptCerts().push_back(CertDuplicateCertificateContext(other.EncryptCerts()[0]));

    Text envelope;
    ASSERT_EQ(agent.EncryptMessageasEnvelopePKCS7(Arg("for Bob and Carol"), &envelope), S_OK);
    Text keyId;
    EXPECT_EQ(agent.EncryptMessageasEnvelope(Arg("for Bob and Carol"), &keyId), NPK_E_NO_SUBJECT_KEY_ID)
        << "the second recipient lacks a key identifier";

    for (const char* pfx : {"recipient.pfx", "nokeyid.pfx"}) {
        TestAgent reader;
        Choose(reader, nullptr, pfx);
        Text plain;
        ASSERT_EQ(reader.DecryptEnvelopeMessage(envelope.bstr, &plain), S_OK) << pfx;
        EXPECT_EQ(plain.str(), "for Bob and Carol");
    }
}

TEST_F(AgentEnvelopesTest, DecryptionFailuresLeaveAnEmptyResultAndTheirCode)
{
    TestAgent agent;
    Choose(agent, "recipient.cer", "nokeyid.pfx");
    Text envelope;
    ASSERT_EQ(agent.EncryptMessageasEnvelopePKCS7_3DES(Arg("only for Bob"), &envelope), S_OK);
    Text r;
    EXPECT_EQ(agent.DecryptEnvelopeMessage(envelope.bstr, &r), CRYPT_E_NO_DECRYPT_CERT);
    EXPECT_EQ(r.str(), "");
    EXPECT_EQ(agent.LastError(), CRYPT_E_NO_DECRYPT_CERT);

    Choose(agent, nullptr, "recipient.pfx");
    std::string text = envelope.str();
    EXPECT_TRUE(FAILED(agent.DecryptEnvelopeMessagePKCS7(Arg(text.substr(0, text.size() / 2)), &r)))
        << "truncated";
    EXPECT_EQ(r.str(), "");
    EXPECT_TRUE(FAILED(agent.DecryptEnvelopeMessage(Arg("bm90IGFuIGVudmVsb3Bl"), &r))) << "Base64 of other bytes";
    EXPECT_TRUE(FAILED(agent.DecryptEnvelopeMessage(Arg("@@@@"), &r)));
    // The selection is untouched by failures: the envelope still opens.
    ASSERT_EQ(agent.DecryptEnvelopeMessage(envelope.bstr, &r), S_OK);
    EXPECT_EQ(r.str(), "only for Bob");
    EXPECT_EQ(agent.LastError(), S_OK);
}

}  // namespace
