// The agent's state, its shared frame, and what every operation hands out when it fails.
#include <gtest/gtest.h>

#include "platform/CertTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/AgentFrame.h"
#include "agent/CryptoAgent.h"
#include "crypt32/CertObjects.h"

using npk::crypt32::CertificateData;
using npk::crypt32::CertStoreObject;

namespace {

const HRESULT kNotAvailable = static_cast<HRESULT>(0x80004001L);

// Reaches the agent's state, as a later selection would fill it.
class TestAgent : public CCryptoAgent {
public:
    CertificateList& SignCerts() { return m_vecSignCerts; }
    CertificateList& EncryptCerts() { return m_vecEncryptCerts; }
    StoreList& DecryptStores() { return m_vecDecryptStores; }
    PCCERT_CONTEXT& SignatureCert() { return m_pSignatureCert; }
};

std::shared_ptr<CertificateData> Data(BYTE tag)
{
    auto data = std::make_shared<CertificateData>();
    data->encoded = {0x30, 0x03, 0x02, 0x01, tag};
    return data;
}

BSTR Junk() { return reinterpret_cast<BSTR>(0x1); }

struct TextOp {
    const char* name;
    std::function<HRESULT(CCryptoAgent&, BSTR*)> call;
};
struct FlagOp {
    const char* name;
    std::function<HRESULT(CCryptoAgent&, VARIANT_BOOL*)> call;
};
struct PlainOp {
    const char* name;
    std::function<HRESULT(CCryptoAgent&)> call;
};

BSTR s(const WCHAR* text) { return const_cast<BSTR>(text); }

std::vector<TextOp> TextOperations()
{
    BSTR a = s(TEXT("a"));
    return {
        {"SelectCertificate", [=](CCryptoAgent& g, BSTR* r) { return g.SelectCertificate(1, a, a, r); }},
        {"SelectCertificateByFile", [=](CCryptoAgent& g, BSTR* r) { return g.SelectCertificateByFile(1, a, a, r); }},
        {"SignMessage/2", [=](CCryptoAgent& g, BSTR* r) { return g.SignMessage(a, a, r); }},
        {"SignMessage/4", [=](CCryptoAgent& g, BSTR* r) { return g.SignMessage(a, 2, 2, VARIANT_TRUE, r); }},
        {"SignFile", [=](CCryptoAgent& g, BSTR* r) { return g.SignFile(a, 2, 2, r); }},
        {"EncryptMessage", [=](CCryptoAgent& g, BSTR* r) { return g.EncryptMessage(a, 1, a, r); }},
        {"DecryptMessage", [=](CCryptoAgent& g, BSTR* r) { return g.DecryptMessage(a, r); }},
        {"SelectSignCertificate", [=](CCryptoAgent& g, BSTR* r) { return g.SelectSignCertificate(a, a, r); }},
        {"SelectSignCertificateWithoutPrivateKey", [=](CCryptoAgent& g, BSTR* r) { return g.SelectSignCertificateWithoutPrivateKey(a, r); }},
        {"SelectEncryptCertificate", [=](CCryptoAgent& g, BSTR* r) { return g.SelectEncryptCertificate(a, a, r); }},
        {"SelectDecryptCertificates", [=](CCryptoAgent& g, BSTR* r) { return g.SelectDecryptCertificates(r); }},
        {"SelectSignCertificateByPFXFile", [=](CCryptoAgent& g, BSTR* r) { return g.SelectSignCertificateByPFXFile(a, a, r); }},
        {"SelectEncryptCertificateByCERFile", [=](CCryptoAgent& g, BSTR* r) { return g.SelectEncryptCertificateByCERFile(a, r); }},
        {"SelectDecryptCertificateByPFXFile", [=](CCryptoAgent& g, BSTR* r) { return g.SelectDecryptCertificateByPFXFile(a, a, r); }},
        {"SignMessageDetached", [=](CCryptoAgent& g, BSTR* r) { return g.SignMessageDetached(a, a, r); }},
        {"SignMessagePKCS1", [=](CCryptoAgent& g, BSTR* r) { return g.SignMessagePKCS1(a, a, r); }},
        {"SignFileDetached", [=](CCryptoAgent& g, BSTR* r) { return g.SignFileDetached(a, a, r); }},
        {"SignFilePKCS1", [=](CCryptoAgent& g, BSTR* r) { return g.SignFilePKCS1(a, a, r); }},
        {"EncryptMessageasEnvelope", [=](CCryptoAgent& g, BSTR* r) { return g.EncryptMessageasEnvelope(a, r); }},
        {"EncryptMessageasEnvelopePKCS7", [=](CCryptoAgent& g, BSTR* r) { return g.EncryptMessageasEnvelopePKCS7(a, r); }},
        {"DecryptEnvelopeMessage", [=](CCryptoAgent& g, BSTR* r) { return g.DecryptEnvelopeMessage(a, r); }},
        {"DecryptEnvelopeMessagePKCS7", [=](CCryptoAgent& g, BSTR* r) { return g.DecryptEnvelopeMessagePKCS7(a, r); }},
        {"VerifyMessageSignaturePKCS7", [=](CCryptoAgent& g, BSTR* r) { return g.VerifyMessageSignaturePKCS7(a, r); }},
        {"GetCSPNameofSignCert", [=](CCryptoAgent& g, BSTR* r) { return g.GetCSPNameofSignCert(r); }},
        {"GetSignaturePublicCertDN", [=](CCryptoAgent& g, BSTR* r) { return g.GetSignaturePublicCertDN(r); }},
        {"GetSignaturePublicCertSN", [=](CCryptoAgent& g, BSTR* r) { return g.GetSignaturePublicCertSN(r); }},
        {"EncryptMessageasEnvelope_3DES", [=](CCryptoAgent& g, BSTR* r) { return g.EncryptMessageasEnvelope_3DES(a, r); }},
        {"EncryptMessageasEnvelopePKCS7_3DES", [=](CCryptoAgent& g, BSTR* r) { return g.EncryptMessageasEnvelopePKCS7_3DES(a, r); }},
    };
}

std::vector<FlagOp> FlagOperations()
{
    BSTR a = s(TEXT("a"));
    return {
        {"VerifyMessageSignature/1", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.VerifyMessageSignature(a, r); }},
        {"VerifyMessageSignatureDetached", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.VerifyMessageSignatureDetached(a, a, r); }},
        {"VerifyMessageSignaturePKCS1", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.VerifyMessageSignaturePKCS1(a, a, a, r); }},
        {"VerifyFileSignatureDetached", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.VerifyFileSignatureDetached(a, a, r); }},
        {"VerifyFileSignaturePKCS1", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.VerifyFileSignaturePKCS1(a, a, a, r); }},
        {"EncryptAsEnvelopeFilePKCS7", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.EncryptAsEnvelopeFilePKCS7(a, a, r); }},
        {"EncryptAsEnvelopeFile", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.EncryptAsEnvelopeFile(a, a, r); }},
        {"DecryptEnvelopeFilePKCS7", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.DecryptEnvelopeFilePKCS7(a, a, r); }},
        {"DecryptEnvelopeFile", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.DecryptEnvelopeFile(a, a, r); }},
        {"EncryptAsEnvelopeFilePKCS7_3DES", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.EncryptAsEnvelopeFilePKCS7_3DES(a, a, r); }},
        {"EncryptAsEnvelopeFile_3DES", [=](CCryptoAgent& g, VARIANT_BOOL* r) { return g.EncryptAsEnvelopeFile_3DES(a, a, r); }},
    };
}

std::vector<PlainOp> PlainOperations()
{
    BSTR a = s(TEXT("a"));
    return {
        {"VerifyMessageSignature/5", [=](CCryptoAgent& g) { return g.VerifyMessageSignature(a, a, 2, 2, VARIANT_TRUE); }},
        {"VerifyFileSignature", [=](CCryptoAgent& g) { return g.VerifyFileSignature(a, a, 2, 2); }},
        {"EncryptFileW", [=](CCryptoAgent& g) { return g.EncryptFileW(a, a, 1, a); }},
        {"DecryptFileW", [=](CCryptoAgent& g) { return g.DecryptFileW(a, a); }},
    };
}

}  // namespace

TEST(CryptoAgentState, FreshAgentHasNoErrorAndNoCertificates)
{
    TestAgent agent;
    EXPECT_EQ(agent.LastError(), S_OK);
    EXPECT_TRUE(agent.SignCerts().empty());
    EXPECT_TRUE(agent.EncryptCerts().empty());
    EXPECT_TRUE(agent.DecryptStores().empty());
    EXPECT_EQ(agent.SignatureCert(), nullptr);
}

TEST(CryptoAgentState, DestructionReleasesEveryHeldReference)
{
    LONG stores = CertStoreObject::LiveStores();
    LONG contexts = CertStoreObject::LiveContexts();
    {
        TestAgent agent;
        CertStoreObject* store = new CertStoreObject();
        agent.SignCerts().push_back(store->AddContext(Data(1), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
        agent.SignCerts().push_back(store->AddContext(Data(2), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
        agent.EncryptCerts().push_back(CertDuplicateCertificateContext(agent.SignCerts()[0]));
        agent.SignatureCert() = CertDuplicateCertificateContext(agent.SignCerts()[1]);
        agent.DecryptStores().push_back(store->Handle());  // the agent takes over the open handle
        agent.DecryptStores().push_back(new CertStoreObject());
        EXPECT_EQ(CertStoreObject::LiveStores(), stores + 2);
        EXPECT_EQ(CertStoreObject::LiveContexts(), contexts + 2);
    }
    EXPECT_EQ(CertStoreObject::LiveStores(), stores);
    EXPECT_EQ(CertStoreObject::LiveContexts(), contexts);
}

// A fresh agent in an empty home: every operation fails (nothing is chosen, no argument names a
// real file or signature), and each still hands out what its kind of result promises.
class CryptoAgentResults : public certtest::IsolatedHome {};

TEST_F(CryptoAgentResults, TextOperationsFailWithAnAllocatedEmptyString)
{
    EXPECT_EQ(TextOperations().size() + FlagOperations().size() + PlainOperations().size(), 43u);
    for (const TextOp& op : TextOperations()) {
        TestAgent agent;
        BSTR result = Junk();
        HRESULT hr = op.call(agent, &result);
        EXPECT_EQ(agent.LastError(), hr) << op.name;
        ASSERT_NE(result, nullptr) << op.name;
        ASSERT_NE(result, Junk()) << op.name;
        EXPECT_EQ(SysStringLen(result), 0u) << op.name;
        EXPECT_EQ(result[0], 0) << op.name;
        SysFreeString(result);
        // Choosing the user's "MY" store for decryption succeeds even when it is empty.
        if (std::string(op.name) == "SelectDecryptCertificates") {
            EXPECT_EQ(hr, S_OK);
        } else {
            EXPECT_TRUE(FAILED(hr)) << op.name;
            EXPECT_NE(hr, kNotAvailable) << op.name;
        }
    }
}

TEST_F(CryptoAgentResults, FlagOperationsFailWithFalse)
{
    for (const FlagOp& op : FlagOperations()) {
        TestAgent agent;
        VARIANT_BOOL result = VARIANT_TRUE;
        HRESULT hr = op.call(agent, &result);
        EXPECT_TRUE(FAILED(hr)) << op.name;
        EXPECT_NE(hr, kNotAvailable) << op.name;
        EXPECT_EQ(result, VARIANT_FALSE) << op.name;
        EXPECT_EQ(agent.LastError(), hr) << op.name;
    }
}

TEST_F(CryptoAgentResults, OperationsWithoutResultStillRecordTheCode)
{
    for (const PlainOp& op : PlainOperations()) {
        TestAgent agent;
        HRESULT hr = op.call(agent);
        EXPECT_TRUE(FAILED(hr)) << op.name;
        EXPECT_NE(hr, kNotAvailable) << op.name;
        EXPECT_EQ(agent.LastError(), hr) << op.name;
    }
}

TEST_F(CryptoAgentResults, TheThreadsLastErrorIsLeftAlone)
{
    TestAgent agent;
    BSTR result = nullptr;
    SetLastError(1234);
    // Fails before any platform call: only the frame and its trace run.
    agent.SignMessage(s(TEXT("m")), s(TEXT("SHA-1")), &result);
    EXPECT_EQ(GetLastError(), 1234u);
    SysFreeString(result);
}

// The frame that the later operations fill with steps.
TEST(CryptoAgentFrame, SuccessHandsOutTheResultText)
{
    HRESULT last = E_FAIL;
    BSTR result = Junk();
    {
        CAgentFrame frame(last, NPK_AGENT_OPERATION("Test"), &result);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(frame.Step(S_OK, TEXT("first step")), S_OK);
        frame.SetResultText(TEXT("CN=Someone"));
        EXPECT_EQ(frame.Finish(S_OK), S_OK);
    }
    EXPECT_EQ(last, S_OK);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(std::basic_string<WCHAR>(result), std::basic_string<WCHAR>(TEXT("CN=Someone")));
    SysFreeString(result);
    EXPECT_EQ(std::basic_string<WCHAR>(CAgentFrame(last, NPK_AGENT_OPERATION("Name")).Name()),
              std::basic_string<WCHAR>(TEXT("CCryptoAgent::Name")));
}

TEST(CryptoAgentFrame, FailureDiscardsThePreparedText)
{
    HRESULT last = S_OK;
    BSTR result = nullptr;
    {
        CAgentFrame frame(last, NPK_AGENT_OPERATION("Test"), &result);
        frame.SetResultText(TEXT("partial"));
        HRESULT hr = frame.Step(static_cast<HRESULT>(0xA0072001L), TEXT("Certificate is not ready."));
        EXPECT_EQ(frame.Finish(hr), static_cast<HRESULT>(0xA0072001L));
    }
    EXPECT_EQ(last, static_cast<HRESULT>(0xA0072001L));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(SysStringLen(result), 0u);
    SysFreeString(result);
}

TEST(CryptoAgentFrame, SuccessWithoutTextGivesTheEmptyString)
{
    HRESULT last = E_FAIL;
    BSTR result = nullptr;
    CAgentFrame(last, NPK_AGENT_OPERATION("Test"), &result).Finish(S_FALSE);
    EXPECT_EQ(last, S_FALSE);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(SysStringLen(result), 0u);
    SysFreeString(result);
}

TEST(CryptoAgentFrame, FlagIsTrueOnlyOnSuccessAndKeepCanLeaveTheCode)
{
    HRESULT last = E_FAIL;
    VARIANT_BOOL flag = VARIANT_FALSE;
    CAgentFrame(last, NPK_AGENT_OPERATION("Ok"), &flag).Finish(S_OK);
    EXPECT_EQ(flag, VARIANT_TRUE);
    CAgentFrame(last, NPK_AGENT_OPERATION("Bad"), &flag).Finish(E_INVALIDARG);
    EXPECT_EQ(flag, VARIANT_FALSE);
    EXPECT_EQ(last, E_INVALIDARG);

    BSTR result = nullptr;
    CAgentFrame(last, NPK_AGENT_OPERATION("Keep"), &result, CAgentFrame::LastError::Keep).Finish(S_OK);
    EXPECT_EQ(last, E_INVALIDARG);
    SysFreeString(result);
}
