// The agent's selections from the user's "MY" and "ADDRESSBOOK" stores, called directly on a
// CCryptoAgent with the committed fixtures placed in an isolated home. No display is
// available here, so every path that would need the picker must end with its clear failure.
#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "agent/CryptoAgent.h"
#include "unit/AgentTestSupport.h"
#include "picker/PickerBackend.h"
#include "picker/SelectCertificateDialog.h"
#include "platform/CertTestSupport.h"
#include "platform/crypt32/CertKeyLink.h"
#include "platform/crypt32/CertObjects.h"

namespace {

using namespace agenttest;

namespace fs = std::filesystem;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const HRESULT kNoDisplay = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

const char kCarol[] = "CN=Carol NoKeyId, O=npKeystrand, C=KR";

certtest::Bytes ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return certtest::Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool IsFixture(PCCERT_CONTEXT pCert, const char* name)
{
    certtest::Bytes der = ReadBytes(Fixture(std::string(name) + ".cer"));
    return pCert != nullptr && pCert->cbCertEncoded == der.size() &&
           std::equal(der.begin(), der.end(), pCert->pbCertEncoded);
}

class StoreSelections : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        certtest::IsolatedHome::SetUp();
        // The picker must find no display: several candidates then fail at once.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        m_contexts = npk::crypt32::CertStoreObject::LiveContexts();
    }
    void TearDown() override
    {
        EXPECT_EQ(npk::crypt32::CertStoreObject::LiveContexts(), m_contexts);
        certtest::IsolatedHome::TearDown();
    }

    // Adds the fixture NAME.cer to the user's store; with a key, NAME.key is linked to it on disk.
    void Put(const char* store, const char* name, bool withKey)
    {
        HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                                          Wide(store).c_str());
        ASSERT_NE(hStore, nullptr) << std::hex << GetLastError();
        PCCERT_CONTEXT pCert = certtest::Create(ReadBytes(Fixture(std::string(name) + ".cer")));
        ASSERT_NE(pCert, nullptr) << name;
        PCCERT_CONTEXT pStored = nullptr;
        EXPECT_TRUE(CertAddCertificateContextToStore(hStore, pCert, CERT_STORE_ADD_REPLACE_EXISTING, &pStored))
            << std::hex << GetLastError();
        CertFreeCertificateContext(pCert);
        if (withKey && pStored != nullptr) {
            FILE* f = std::fopen(Fixture(std::string(name) + ".key").c_str(), "r");
            ASSERT_NE(f, nullptr) << name;
            EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
            std::fclose(f);
            ASSERT_NE(key, nullptr) << name;
            EXPECT_TRUE(NpkLinkCertificateToKey(pStored, key, true)) << std::hex << GetLastError();
            EVP_PKEY_free(key);
        }
        if (pStored != nullptr) CertFreeCertificateContext(pStored);
        CertCloseStore(hStore, 0);
    }

    LONG m_contexts = 0;
};

TEST_F(StoreSelections, TheOnlySigningCandidateIsChosenWithoutThePicker)
{
    Put("MY", "signer", true);
    Put("MY", "recipient", true);   // no digital-signature usage
    Put("MY", "nokeyid", false);    // signs, but without a key it cannot
    TestAgent agent;
    Text subject;
    EXPECT_EQ(agent.SelectSignCertificate(nullptr, nullptr, &subject), S_OK);
    EXPECT_EQ(subject.str(), kSigner);
    EXPECT_EQ(agent.LastError(), S_OK);
    ASSERT_EQ(agent.SignCerts().size(), 1u);
    EXPECT_TRUE(IsFixture(agent.SignCerts()[0], "signer"));
    EXPECT_TRUE(agent.EncryptCerts().empty()) << "a signing choice leaves the encryption choice alone";
}

TEST_F(StoreSelections, FiltersNarrowSeveralCandidatesToOne)
{
    Put("MY", "signer", true);
    Put("MY", "nokeyid", true);
    TestAgent agent;
    Text subject;
    // Any token of the "#"-separated filter may match.
    EXPECT_EQ(agent.SelectSignCertificate(Arg("Nobody#Carol"), nullptr, &subject), S_OK);
    EXPECT_EQ(subject.str(), kCarol);
    EXPECT_EQ(agent.SelectSignCertificate(Arg("Alice"), Arg("npKeystrand Test CA"), &subject), S_OK);
    EXPECT_EQ(subject.str(), kSigner);
    ASSERT_EQ(agent.SignCerts().size(), 1u);
    EXPECT_TRUE(IsFixture(agent.SignCerts()[0], "signer"));
}

TEST_F(StoreSelections, NoCandidateFailsAndKeepsThePreviousChoice)
{
    Put("MY", "signer", true);
    Put("MY", "recipient", false);
    TestAgent agent;
    Text subject;
    ASSERT_EQ(agent.SelectSignCertificate(nullptr, nullptr, &subject), S_OK);
    ASSERT_EQ(agent.SelectEncryptCertificate(nullptr, nullptr, &subject), S_OK);
    PCCERT_CONTEXT signBefore = agent.SignCerts()[0];
    PCCERT_CONTEXT encryptBefore = agent.EncryptCerts()[0];

    EXPECT_EQ(agent.SelectSignCertificate(Arg("Nobody"), nullptr, &subject), NPK_E_NO_AVAILABLE_CERT);
    EXPECT_FALSE(subject.isNull());
    EXPECT_EQ(subject.str(), "");
    EXPECT_EQ(agent.LastError(), NPK_E_NO_AVAILABLE_CERT);
    EXPECT_EQ(agent.SelectEncryptCertificate(nullptr, Arg("Other CA"), &subject), NPK_E_NO_AVAILABLE_CERT);
    EXPECT_EQ(subject.str(), "");
    // The general operation reports the same without a wrapper.
    EXPECT_EQ(agent.SelectCertificate(1, Arg("Nobody"), nullptr, &subject), NPK_E_NO_AVAILABLE_CERT);

    ASSERT_EQ(agent.SignCerts().size(), 1u);
    EXPECT_EQ(agent.SignCerts()[0], signBefore);
    ASSERT_EQ(agent.EncryptCerts().size(), 1u);
    EXPECT_EQ(agent.EncryptCerts()[0], encryptBefore);
}

TEST_F(StoreSelections, EmptyStoresHaveNoCandidate)
{
    TestAgent agent;
    Text subject;
    EXPECT_EQ(agent.SelectSignCertificate(nullptr, nullptr, &subject), NPK_E_NO_AVAILABLE_CERT);
    EXPECT_EQ(agent.SelectEncryptCertificate(nullptr, nullptr, &subject), NPK_E_NO_AVAILABLE_CERT);
    EXPECT_EQ(subject.str(), "");
    EXPECT_TRUE(agent.SignCerts().empty());
    EXPECT_TRUE(agent.EncryptCerts().empty());
}

TEST_F(StoreSelections, ACertificateInBothStoresIsOneEncryptionCandidate)
{
    // Were it counted twice, the picker would be needed and would fail without a display.
    Put("MY", "recipient", false);
    Put("ADDRESSBOOK", "recipient", false);
    Put("ADDRESSBOOK", "signer", false);  // no encipherment usage
    TestAgent agent;
    Text subject;
    EXPECT_EQ(agent.SelectEncryptCertificate(nullptr, nullptr, &subject), S_OK);
    EXPECT_EQ(subject.str(), kRecipient);
    ASSERT_EQ(agent.EncryptCerts().size(), 1u);
    EXPECT_TRUE(IsFixture(agent.EncryptCerts()[0], "recipient"));
    EXPECT_TRUE(agent.SignCerts().empty());
}

TEST_F(StoreSelections, AnAddressBookCertificateIsACandidateWhenMyIsEmpty)
{
    Put("ADDRESSBOOK", "recipient", false);
    TestAgent agent;
    Text subject;
    EXPECT_EQ(agent.SelectEncryptCertificate(nullptr, nullptr, &subject), S_OK);
    EXPECT_EQ(subject.str(), kRecipient);
    ASSERT_EQ(agent.EncryptCerts().size(), 1u);
    // Only "MY" is searched for signing.
    EXPECT_EQ(agent.SelectSignCertificate(nullptr, nullptr, &subject), NPK_E_NO_AVAILABLE_CERT);
}

TEST_F(StoreSelections, EncryptionNeedsNoPrivateKeyButSigningDoes)
{
    Put("MY", "nokeyid", false);  // both usages, no key
    TestAgent agent;
    Text subject;
    EXPECT_EQ(agent.SelectSignCertificate(nullptr, nullptr, &subject), NPK_E_NO_AVAILABLE_CERT);
    EXPECT_EQ(agent.SelectEncryptCertificate(nullptr, nullptr, &subject), S_OK);
    EXPECT_EQ(subject.str(), kCarol);
}

TEST_F(StoreSelections, DecryptionSelectsTheStoreEvenWhenItIsEmpty)
{
    TestAgent agent;
    Text subject;
    EXPECT_EQ(agent.SelectDecryptCertificates(&subject), S_OK);
    EXPECT_FALSE(subject.isNull());
    EXPECT_EQ(subject.str(), "");
    EXPECT_EQ(agent.LastError(), S_OK);
    ASSERT_EQ(agent.DecryptStores().size(), 1u);
    HCERTSTORE first = agent.DecryptStores()[0];
    EXPECT_NE(first, nullptr);

    // The later selection replaces the earlier store; it sees what the store holds now.
    Put("MY", "recipient", true);
    EXPECT_EQ(agent.SelectDecryptCertificates(&subject), S_OK);
    ASSERT_EQ(agent.DecryptStores().size(), 1u);
    PCCERT_CONTEXT pFound = CertEnumCertificatesInStore(agent.DecryptStores()[0], nullptr);
    EXPECT_TRUE(IsFixture(pFound, "recipient"));
    if (pFound != nullptr) CertFreeCertificateContext(pFound);
    EXPECT_TRUE(agent.SignCerts().empty());
    EXPECT_TRUE(agent.EncryptCerts().empty());
}

TEST_F(StoreSelections, AnotherUsageDoesNothing)
{
    Put("MY", "signer", true);
    TestAgent agent;
    Text subject;
    for (int usage : {0, 4, -1}) {
        EXPECT_EQ(agent.SelectCertificate(usage, nullptr, nullptr, &subject), S_OK) << usage;
        EXPECT_FALSE(subject.isNull());
        EXPECT_EQ(subject.str(), "");
    }
    EXPECT_TRUE(agent.SignCerts().empty());
    EXPECT_TRUE(agent.EncryptCerts().empty());
    EXPECT_TRUE(agent.DecryptStores().empty());
}

TEST_F(StoreSelections, SeveralCandidatesWithoutADisplayFailClearlyAndKeepThePreviousChoice)
{
    Put("MY", "signer", true);
    Put("MY", "nokeyid", true);
    TestAgent agent;
    Text subject;
    ASSERT_EQ(agent.SelectSignCertificate(Arg("Alice"), nullptr, &subject), S_OK);
    PCCERT_CONTEXT before = agent.SignCerts()[0];

    EXPECT_EQ(agent.SelectSignCertificate(nullptr, nullptr, &subject), kNoDisplay);
    EXPECT_EQ(subject.str(), "");
    EXPECT_EQ(agent.LastError(), kNoDisplay);
    ASSERT_EQ(agent.SignCerts().size(), 1u);
    EXPECT_EQ(agent.SignCerts()[0], before);

    // The page is told why.
    Text description;
    EXPECT_EQ(agent.GetLastErrorDesc(&description), S_OK);
    EXPECT_EQ(description.str(), "The request is not supported.\r\n\n(0x80070032)");

    // Encryption candidates from both stores meet the same end.
    Put("ADDRESSBOOK", "recipient", false);
    EXPECT_EQ(agent.SelectEncryptCertificate(nullptr, nullptr, &subject), kNoDisplay);
    EXPECT_TRUE(agent.EncryptCerts().empty());
}

// A picker without a window: it initialises the dialog from the agent's store and answers as
// told, so the agent's side of the picker can be checked here.
int g_nPickRow = -1;  // the row OK chooses; -1 cancels
size_t g_nShownCards = 0;

class ScriptedBackend : public IPickerBackend {
public:
    INT_PTR DoModal(CSelectCertificateDlg& dlg, const SelectDialogParams* pParams) override
    {
        if (FAILED(dlg.OnInitDialog(pParams, 10))) return 2;
        g_nShownCards = dlg.GetItems().size();
        INT_PTR result = g_nPickRow >= 0 ? dlg.OnOK(g_nPickRow) : dlg.OnCancel();
        dlg.OnDestroy();
        return result;
    }
};

std::unique_ptr<IPickerBackend> MakeScriptedBackend() { return std::make_unique<ScriptedBackend>(); }

class StoreSelectionsWithPicker : public StoreSelections {
protected:
    void SetUp() override
    {
        StoreSelections::SetUp();
        m_previous = SetPickerBackendFactory(MakeScriptedBackend);
        g_nShownCards = 0;
    }
    void TearDown() override
    {
        SetPickerBackendFactory(m_previous);
        StoreSelections::TearDown();
    }
    PickerBackendFactory m_previous = nullptr;
};

TEST_F(StoreSelectionsWithPicker, TheCardChosenWithOkBecomesTheSelection)
{
    Put("MY", "signer", true);
    Put("MY", "nokeyid", true);
    Put("MY", "expired", true);
    TestAgent agent;
    Text subject;
    g_nPickRow = 1;  // cards are ordered by name: Alice, Carol, Dave
    EXPECT_EQ(agent.SelectSignCertificate(nullptr, nullptr, &subject), S_OK);
    EXPECT_EQ(g_nShownCards, 3u);
    EXPECT_EQ(subject.str(), kCarol);
    ASSERT_EQ(agent.SignCerts().size(), 1u);
    EXPECT_TRUE(IsFixture(agent.SignCerts()[0], "nokeyid"));
}

TEST_F(StoreSelectionsWithPicker, OnlyTheCandidatesAreShownAndACancelKeepsTheChoice)
{
    Put("MY", "recipient", false);
    Put("MY", "nokeyid", false);
    Put("ADDRESSBOOK", "recipient", false);
    Put("ADDRESSBOOK", "signer", false);  // not an encryption certificate
    TestAgent agent;
    Text subject;
    g_nPickRow = 0;
    ASSERT_EQ(agent.SelectEncryptCertificate(nullptr, nullptr, &subject), S_OK);
    EXPECT_EQ(g_nShownCards, 2u) << "the certificate of both stores is one card";
    EXPECT_EQ(subject.str(), kRecipient);
    PCCERT_CONTEXT before = agent.EncryptCerts()[0];

    g_nPickRow = -1;
    EXPECT_EQ(agent.SelectEncryptCertificate(nullptr, nullptr, &subject), NPK_E_USER_CANCELED);
    EXPECT_EQ(subject.str(), "");
    EXPECT_EQ(agent.LastError(), NPK_E_USER_CANCELED);
    ASSERT_EQ(agent.EncryptCerts().size(), 1u);
    EXPECT_EQ(agent.EncryptCerts()[0], before);
}

}  // namespace
