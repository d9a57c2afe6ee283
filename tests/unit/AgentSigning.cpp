// The agent's file selections, signing and verification, called directly on a CCryptoAgent
// with the committed fixtures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "agent/CryptoAgent.h"
#include "unit/AgentTestSupport.h"
#include "platform/CertTestSupport.h"
#include "platform/crypt32/CertObjects.h"

namespace {

using namespace agenttest;

namespace fs = std::filesystem;

class AgentSigningTest : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        certtest::IsolatedHome::SetUp();
        m_contexts = npk::crypt32::CertStoreObject::LiveContexts();
    }
    void TearDown() override
    {
        // The agent of each test has gone: nothing it held may remain.
        EXPECT_EQ(npk::crypt32::CertStoreObject::LiveContexts(), m_contexts);
        certtest::IsolatedHome::TearDown();
    }

    std::string WriteFile(const std::string& name, const std::string& content)
    {
        std::string path = m_root + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    void SelectSigner(TestAgent& agent)
    {
        Text subject;
        ASSERT_EQ(agent.SelectSignCertificateByPFXFile(Arg(Fixture("signer.pfx")), Arg("npkeystrand"), &subject), S_OK);
        ASSERT_EQ(subject.str(), kSigner);
    }

    LONG m_contexts = 0;
};

TEST_F(AgentSigningTest, PfxSelectionsReturnTheSubjectAndKeepOnlyKeyBearingCertificates)
{
    TestAgent agent;
    for (const char* file : {"signer.pfx", "signer-legacy.pfx"}) {
        Text subject;
        EXPECT_EQ(agent.SelectSignCertificateByPFXFile(Arg(Fixture(file)), Arg("npkeystrand"), &subject), S_OK) << file;
        EXPECT_EQ(subject.str(), kSigner);
        EXPECT_EQ(agent.SignCerts().size(), 1u) << "the CA certificate has no key";
    }
    Text subject;
    EXPECT_EQ(agent.SelectSignCertificateByPFXFile(Arg(Fixture("signer-nopass.pfx")), nullptr, &subject), S_OK);

    Text decrypt;
    EXPECT_EQ(agent.SelectDecryptCertificateByPFXFile(Arg(Fixture("recipient.pfx")), Arg("npkeystrand"), &decrypt),
              S_OK);
    EXPECT_EQ(decrypt.str(), kRecipient);
    EXPECT_EQ(agent.DecryptStores().size(), 1u);
    EXPECT_EQ(agent.SignCerts().size(), 1u) << "a decryption choice leaves the signing choice alone";
}

TEST_F(AgentSigningTest, APfxWithTwoKeyBearingCertificatesKeepsBothAndSignsWithTheFirst)
{
    TestAgent agent;
    Text subject;
    ASSERT_EQ(agent.SelectSignCertificateByPFXFile(Arg(Fixture("pair.pfx")), Arg("npkeystrand"), &subject), S_OK);
    EXPECT_EQ(subject.str(), kSigner);
    ASSERT_EQ(agent.SignCerts().size(), 2u);
    Text signature;
    ASSERT_EQ(agent.SignMessagePKCS1(Arg("two keys"), Arg("SHA-1"), &signature), S_OK);

    // The signature is the first certificate's: a certificate file of it alone verifies it.
    TestAgent verifier;
    Text chosen;
    ASSERT_EQ(verifier.SelectSignCertificateWithoutPrivateKey(Arg(Fixture("signer.cer")), &chosen), S_OK);
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(verifier.VerifyMessageSignaturePKCS1(signature.bstr, Arg("two keys"), Arg("SHA-1"), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
}

TEST_F(AgentSigningTest, FailedSelectionsLeaveThePreviousChoice)
{
    TestAgent agent;
    SelectSigner(agent);
    PCCERT_CONTEXT before = agent.SignCerts()[0];

    Text subject;
    EXPECT_EQ(agent.SelectSignCertificateByPFXFile(Arg(Fixture("signer.pfx")), Arg("wrong"), &subject),
              HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD));
    EXPECT_EQ(subject.str(), "");
    EXPECT_EQ(agent.LastError(), HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD));
    // A certificate file holds no key: nothing to sign with.
    Text none;
    EXPECT_EQ(agent.SelectSignCertificateByPFXFile(Arg(Fixture("signer.cer")), Arg("npkeystrand"), &none),
              static_cast<HRESULT>(CRYPT_E_ASN1_BADTAG));
    Text empty;
    EXPECT_EQ(agent.SelectSignCertificateByPFXFile(Arg(""), Arg("npkeystrand"), &empty), E_INVALIDARG);
    Text refused;
    EXPECT_EQ(agent.SelectSignCertificateByPFXFile(Arg("/etc/hostname"), Arg("x"), &refused),
              static_cast<HRESULT>(0xA0071006L));
    ASSERT_EQ(agent.SignCerts().size(), 1u);
    EXPECT_EQ(agent.SignCerts()[0], before);
}

TEST_F(AgentSigningTest, CertificateFilesInDerOrBase64)
{
    TestAgent agent;
    for (const char* file : {"recipient.cer", "recipient.b64"}) {
        Text subject;
        EXPECT_EQ(agent.SelectEncryptCertificateByCERFile(Arg(Fixture(file)), &subject), S_OK) << file;
        EXPECT_EQ(subject.str(), kRecipient) << file;
        EXPECT_EQ(agent.EncryptCerts().size(), 1u);
    }
    // PEM armour is not Base64 alone: its header letters decode as symbols too.
    Text pem;
    EXPECT_EQ(agent.SelectEncryptCertificateByCERFile(Arg(Fixture("recipient.pem")), &pem),
              static_cast<HRESULT>(CRYPT_E_ASN1_BADTAG));
    std::string junk = WriteFile("junk.cer", "this is no certificate");
    Text subject;
    EXPECT_TRUE(FAILED(agent.SelectEncryptCertificateByCERFile(Arg(junk), &subject)));
    EXPECT_EQ(agent.EncryptCerts().size(), 1u);

    // Usage 4 is refused only after the file passed its checks and was read.
    Text usage;
    EXPECT_EQ(agent.SelectCertificateByFile(4, Arg(Fixture("recipient.cer")), nullptr, &usage),
              static_cast<HRESULT>(0xA0072021L));
    EXPECT_EQ(agent.SelectCertificateByFile(4, Arg(""), nullptr, &usage), E_INVALIDARG);
}

TEST_F(AgentSigningTest, HashNamesAreCheckedAfterTheCertificate)
{
    TestAgent agent;
    Text r1, r2, r3, r4;
    EXPECT_EQ(agent.SignMessagePKCS1(Arg("m"), Arg("sha-256"), &r1), static_cast<HRESULT>(0xA0072001L));
    EXPECT_EQ(agent.SignMessagePKCS1(Arg("m"), Arg("SHA256"), &r2), static_cast<HRESULT>(0xA0072001L));
    SelectSigner(agent);
    EXPECT_EQ(agent.SignMessagePKCS1(Arg("m"), Arg("sha-256"), &r3), S_OK);
    EXPECT_EQ(agent.SignMessagePKCS1(Arg("m"), Arg("SHA256"), &r4), static_cast<HRESULT>(0xA0072020L));
    EXPECT_EQ(r4.str(), "");

    // The lower-case name signed with SHA-256: it verifies as SHA-256 and not as SHA-1.
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(agent.VerifyMessageSignaturePKCS1(r3.bstr, Arg("m"), Arg("SHA-256"), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_TRUE(FAILED(agent.VerifyMessageSignaturePKCS1(r3.bstr, Arg("m"), Arg("SHA-1"), &ok)));
    EXPECT_EQ(ok, VARIANT_FALSE);
    // Numbers beyond the page's names reach SHA-512 through the general operation.
    Text r5;
    EXPECT_EQ(agent.SignMessage(Arg("m"), 1, 5, VARIANT_FALSE, &r5), S_OK);
    EXPECT_EQ(agent.VerifyMessageSignature(r5.bstr, Arg("m"), 1, 5, VARIANT_FALSE), S_OK);
    EXPECT_EQ(agent.SignMessage(Arg("m"), 3, 2, VARIANT_FALSE, &r5), static_cast<HRESULT>(0xA0072022L));
}

TEST_F(AgentSigningTest, AttachedDetachedAndPkcs1RoundTrips)
{
    TestAgent agent;
    SelectSigner(agent);
    for (const char* hash : {"MD-5", "SHA-1", "SHA-256"}) {
        Text attached, detached;
        ASSERT_EQ(agent.SignMessage(Arg("hello, page"), Arg(hash), &attached), S_OK) << hash;
        ASSERT_EQ(agent.SignMessageDetached(Arg("hello, page"), Arg(hash), &detached), S_OK) << hash;
        EXPECT_GT(attached.str().size(), detached.str().size());

        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(agent.VerifyMessageSignature(attached.bstr, &ok), S_OK);
        EXPECT_EQ(ok, VARIANT_TRUE);
        EXPECT_EQ(agent.VerifyMessageSignatureDetached(detached.bstr, Arg("hello, page"), &ok), S_OK);
        EXPECT_EQ(agent.VerifyMessageSignatureDetached(detached.bstr, Arg("hello, Page"), &ok),
                  static_cast<HRESULT>(NTE_BAD_SIGNATURE));
        EXPECT_EQ(ok, VARIANT_FALSE);

        Text content;
        EXPECT_EQ(agent.VerifyMessageSignaturePKCS7(attached.bstr, &content), S_OK);
        EXPECT_EQ(content.str(), "hello, page");
    }
}

TEST_F(AgentSigningTest, TheSignerIsRememberedOnlyAfterAPkcs7Verification)
{
    TestAgent agent;
    SelectSigner(agent);
    Text attached, pkcs1, content;
    ASSERT_EQ(agent.SignMessage(Arg("remember me"), Arg("SHA-1"), &attached), S_OK);
    ASSERT_EQ(agent.SignMessagePKCS1(Arg("remember me"), Arg("SHA-1"), &pkcs1), S_OK);

    ASSERT_EQ(agent.VerifyMessageSignaturePKCS7(attached.bstr, &content), S_OK);
    ASSERT_NE(agent.SignatureCert(), nullptr);
    Text dn;
    EXPECT_EQ(agent.GetSignaturePublicCertDN(&dn), S_OK);
    EXPECT_EQ(dn.str(), kSigner);

    // An empty signature fails its argument test before the signer is dropped.
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(agent.VerifyMessageSignature(Arg(""), &ok), E_INVALIDARG);
    EXPECT_NE(agent.SignatureCert(), nullptr);

    // A PKCS#1 verification drops it, even when it succeeds.
    EXPECT_EQ(agent.VerifyMessageSignaturePKCS1(pkcs1.bstr, Arg("remember me"), Arg("SHA-1"), &ok), S_OK);
    EXPECT_EQ(agent.SignatureCert(), nullptr);
    Text after;
    EXPECT_EQ(agent.GetSignaturePublicCertDN(&after), static_cast<HRESULT>(0xA0072001L));

    // A failed PKCS#7 verification leaves none either.
    ASSERT_EQ(agent.VerifyMessageSignaturePKCS7(attached.bstr, &content), S_OK);
    Text truncated;
    std::string text = attached.str();
    EXPECT_TRUE(FAILED(agent.VerifyMessageSignaturePKCS7(Arg(text.substr(0, text.size() / 2)), &truncated)));
    EXPECT_EQ(agent.SignatureCert(), nullptr);
}

TEST_F(AgentSigningTest, FilesAreSignedAndVerifiedBothWays)
{
    TestAgent agent;
    SelectSigner(agent);
    std::string path = WriteFile("document.bin", std::string(40000, 'd'));
    Text detached, pkcs1;
    ASSERT_EQ(agent.SignFileDetached(Arg(path), Arg("SHA-256"), &detached), S_OK);
    ASSERT_EQ(agent.SignFilePKCS1(Arg(path), Arg("SHA-256"), &pkcs1), S_OK);

    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(agent.VerifyFileSignatureDetached(detached.bstr, Arg(path), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_NE(agent.SignatureCert(), nullptr);
    EXPECT_EQ(agent.VerifyFileSignaturePKCS1(pkcs1.bstr, Arg(path), Arg("SHA-256"), &ok), S_OK);

    // The file as signed equals the text as signed.
    Text same;
    ASSERT_EQ(agent.SignMessageDetached(Arg(std::string(40000, 'd')), Arg("SHA-256"), &same), S_OK);
    EXPECT_EQ(same.str(), detached.str());

    WriteFile("document.bin", std::string(40000, 'e'));
    EXPECT_EQ(agent.VerifyFileSignatureDetached(detached.bstr, Arg(path), &ok), static_cast<HRESULT>(NTE_BAD_SIGNATURE));
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_EQ(agent.SignatureCert(), nullptr);

    // A missing file fails with the code the existence test leaves, not as a bad argument.
    Text missing;
    HRESULT hr = agent.SignFileDetached(Arg(m_root + "/absent.bin"), Arg("SHA-256"), &missing);
    EXPECT_EQ(static_cast<DWORD>(hr) & 0xFFFF0000u, 0x80070000u);
    EXPECT_NE(hr, E_INVALIDARG);
    std::string empty = WriteFile("empty.bin", "");
    EXPECT_EQ(agent.SignFileDetached(Arg(empty), Arg("SHA-256"), &missing), static_cast<HRESULT>(0xA0071007L));
}

TEST_F(AgentSigningTest, ACertificateWithoutItsKeyVerifiesPkcs1ButCannotSign)
{
    TestAgent signer;
    SelectSigner(signer);
    Text pkcs1;
    ASSERT_EQ(signer.SignMessagePKCS1(Arg("public check"), Arg("MD-5"), &pkcs1), S_OK);

    TestAgent verifier;
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(verifier.VerifyMessageSignaturePKCS1(pkcs1.bstr, Arg("public check"), Arg("MD-5"), &ok),
              static_cast<HRESULT>(0xA0072001L));
    Text subject;
    ASSERT_EQ(verifier.SelectSignCertificateWithoutPrivateKey(Arg(Fixture("signer.cer")), &subject), S_OK);
    EXPECT_EQ(subject.str(), kSigner);
    EXPECT_EQ(verifier.VerifyMessageSignaturePKCS1(pkcs1.bstr, Arg("public check"), Arg("MD-5"), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    Text cannot;
    EXPECT_EQ(verifier.SignMessagePKCS1(Arg("x"), Arg("MD-5"), &cannot), static_cast<HRESULT>(CRYPT_E_NO_KEY_PROPERTY));
}

}  // namespace
