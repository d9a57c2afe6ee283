// The agent's state, its shared frame and the operations that are not available yet.
#include <gtest/gtest.h>

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
        {"SelectSignCertificate", [=](CCryptoAgent& g, BSTR* r) { return g.SelectSignCertificate(a, a, r); }},
        {"SelectEncryptCertificate", [=](CCryptoAgent& g, BSTR* r) { return g.SelectEncryptCertificate(a, a, r); }},
        {"SelectDecryptCertificates", [=](CCryptoAgent& g, BSTR* r) { return g.SelectDecryptCertificates(r); }},
    };
}

// Every flag and plain operation is built.
std::vector<FlagOp> FlagOperations()
{
    return {};
}

std::vector<PlainOp> PlainOperations()
{
    return {};
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

TEST(CryptoAgentPending, TextOperationsFailWithAnAllocatedEmptyString)
{
    for (const TextOp& op : TextOperations()) {
        TestAgent agent;
        BSTR result = Junk();
        EXPECT_EQ(op.call(agent, &result), kNotAvailable) << op.name;
        EXPECT_EQ(agent.LastError(), kNotAvailable) << op.name;
        ASSERT_NE(result, nullptr) << op.name;
        ASSERT_NE(result, Junk()) << op.name;
        EXPECT_EQ(SysStringLen(result), 0u) << op.name;
        EXPECT_EQ(result[0], 0) << op.name;
        SysFreeString(result);
    }
}

TEST(CryptoAgentPending, FlagOperationsFailWithFalse)
{
    for (const FlagOp& op : FlagOperations()) {
        TestAgent agent;
        VARIANT_BOOL result = VARIANT_TRUE;
        EXPECT_EQ(op.call(agent, &result), kNotAvailable) << op.name;
        EXPECT_EQ(result, VARIANT_FALSE) << op.name;
        EXPECT_EQ(agent.LastError(), kNotAvailable) << op.name;
    }
}

TEST(CryptoAgentPending, OperationsWithoutResultStillRecordTheCode)
{
    EXPECT_EQ(TextOperations().size() + FlagOperations().size() + PlainOperations().size(), 4u);
    for (const PlainOp& op : PlainOperations()) {
        TestAgent agent;
        EXPECT_EQ(op.call(agent), kNotAvailable) << op.name;
        EXPECT_EQ(agent.LastError(), kNotAvailable) << op.name;
    }
}

TEST(CryptoAgentPending, TheThreadsLastErrorIsLeftAlone)
{
    TestAgent agent;
    BSTR result = nullptr;
    SetLastError(1234);
    agent.SelectSignCertificate(s(TEXT("m")), s(TEXT("m")), &result);
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
