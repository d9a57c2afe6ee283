// The signed-data samples of RFC 4134 ("Examples of S/MIME Messages"). 4.2 and 4.5 are signed
// by Alice (RSA, SHA-1, no attributes) and verify. 4.4's own signer is Diane's DSA key, which
// the layer does not verify (RSA only: it answers NTE_BAD_ALGID); its counter-signature is
// Alice's RSA signature with authenticated attributes over Diane's signature value, and that
// one is checked through the same signer verification the messages use.
#include "platform/SignedMessageSupport.h"

#include "crypt32/MessageObjects.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using certtest::Bytes;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

Bytes Vector(const char* name)
{
    const std::string path = std::string(NPK_DEFAULT_SOURCE_DIR) + "/tests/data/rfc4134/" + name;
    std::ifstream f(path, std::ios::binary);
    EXPECT_TRUE(f.good()) << path;
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

Bytes SignerInfoBlock(HCRYPTMSG h, DWORD index = 0)
{
    DWORD cb = 0;
    EXPECT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_INFO_PARAM, index, nullptr, &cb));
    Bytes out(cb);
    EXPECT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_INFO_PARAM, index, out.data(), &cb));
    return out;
}

HCRYPTMSG Decode(const Bytes& msg)
{
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
    EXPECT_TRUE(CryptMsgUpdate(h, msg.data(), static_cast<DWORD>(msg.size()), TRUE)) << std::hex << GetLastError();
    return h;
}

class Rfc4134 : public ::testing::TestWithParam<const char*> {};

TEST_P(Rfc4134, AliceSignedWithRsaVerifies)
{
    const Bytes msg = Vector(GetParam());
    ASSERT_FALSE(msg.empty());
    msgtest::Verified r = msgtest::VerifyAttached(msg);
    ASSERT_TRUE(r.ok) << std::hex << r.error;
    EXPECT_EQ(r.content, Vector("ExContent.bin"));
    EXPECT_EQ(r.signerCert, Vector("AliceRSASignByCarl.cer"));

    // The same content, given separately, verifies the message as a detached signature.
    msgtest::Verified d = msgtest::VerifyDetached(msg, Vector("ExContent.bin"));
    EXPECT_TRUE(d.ok) << std::hex << d.error;
    Bytes other = Vector("ExContent.bin");
    other[0] = 't';
    msgtest::Verified bad = msgtest::VerifyDetached(msg, other);
    EXPECT_FALSE(bad.ok);
}

INSTANTIATE_TEST_SUITE_P(SignedData, Rfc4134, ::testing::Values("4.2.bin", "4.5.bin"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string("Example_") + (info.param[2] == '2' ? "4_2" : "4_5");
                         });

TEST(Rfc4134Decode, Example4_4DsaSignerIsRefusedAsAnUnsupportedAlgorithm)
{
    const Bytes msg = Vector("4.4.bin");
    msgtest::Verified r = msgtest::VerifyAttached(msg);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(NTE_BAD_ALGID));
}

TEST(Rfc4134Decode, Example4_2NoAttributesIssuerAndSerial)
{
    HCRYPTMSG h = Decode(Vector("4.2.bin"));
    Bytes block = SignerInfoBlock(h);
    const CMSG_SIGNER_INFO* si = reinterpret_cast<const CMSG_SIGNER_INFO*>(block.data());
    EXPECT_EQ(si->dwVersion, 1u);
    EXPECT_STREQ(si->HashAlgorithm.pszObjId, "1.3.14.3.2.26");
    EXPECT_STREQ(si->HashEncryptionAlgorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(si->AuthAttrs.cAttr, 0u);
    EXPECT_EQ(si->EncryptedHash.cbData, 128u);

    // The signer's certificate in the message store, by the CERT_INFO the decoder gives.
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
    DWORD cb = 0;
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &cb));
    Bytes info(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &cb));
    PCCERT_CONTEXT cert = CertGetSubjectCertificateFromStore(store, kEnc, reinterpret_cast<PCERT_INFO>(info.data()));
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded), Vector("AliceRSASignByCarl.cer"));
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    CryptMsgClose(h);
}

TEST(Rfc4134Decode, Example4_4AttributesAndCounterSignature)
{
    HCRYPTMSG h = Decode(Vector("4.4.bin"));
    Bytes block = SignerInfoBlock(h);
    const CMSG_SIGNER_INFO* si = reinterpret_cast<const CMSG_SIGNER_INFO*>(block.data());
    ASSERT_GE(si->AuthAttrs.cAttr, 2u);
    bool sawDigest = false;
    for (DWORD i = 0; i < si->AuthAttrs.cAttr; ++i)
        sawDigest |= std::strcmp(si->AuthAttrs.rgAttr[i].pszObjId, szOID_RSA_messageDigest) == 0;
    EXPECT_TRUE(sawDigest);
    EXPECT_STREQ(si->HashEncryptionAlgorithm.pszObjId, "1.2.840.10040.4.3");  // dsaWithSHA1
    ASSERT_EQ(si->UnauthAttrs.cAttr, 2u);
    const CRYPT_ATTRIBUTE* counter = nullptr;
    for (DWORD i = 0; i < si->UnauthAttrs.cAttr; ++i)
        if (std::strcmp(si->UnauthAttrs.rgAttr[i].pszObjId, "1.2.840.113549.1.9.6") == 0)
            counter = &si->UnauthAttrs.rgAttr[i];
    ASSERT_NE(counter, nullptr);
    ASSERT_EQ(counter->cValue, 1u);

    // Alice's counter-signature covers Diane's signature value, through its attributes.
    npk::crypt32::SignerData cs;
    ASSERT_EQ(npk::crypt32::ParseSignerInfo(counter->rgValue[0].pbData, counter->rgValue[0].cbData, &cs), 0u);
    EXPECT_TRUE(cs.hasAuthAttrs);
    PCCERT_CONTEXT alice = certtest::Create(Vector("AliceRSASignByCarl.cer"));
    ASSERT_NE(alice, nullptr);
    EXPECT_EQ(npk::crypt32::VerifySigner(cs, si->EncryptedHash.pbData, si->EncryptedHash.cbData, alice), 0u);
    Bytes changed(si->EncryptedHash.pbData, si->EncryptedHash.pbData + si->EncryptedHash.cbData);
    changed[5] ^= 1;
    EXPECT_EQ(npk::crypt32::VerifySigner(cs, changed.data(), changed.size(), alice),
              static_cast<DWORD>(CRYPT_E_HASH_VALUE));
    CertFreeCertificateContext(alice);

    DWORD count = 0, cb = sizeof(count);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CERT_COUNT_PARAM, 0, &count, &cb));
    EXPECT_EQ(count, 3u);  // the signers' certificates and their issuer's
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
    ASSERT_NE(store, nullptr) << std::hex << GetLastError();
    int n = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store, c))
        ++n;
    EXPECT_EQ(n, 3);
    CertCloseStore(store, 0);
    CryptMsgClose(h);
}

TEST(Rfc4134Decode, Example4_5SignerIdentifierAndTwoCertificates)
{
    HCRYPTMSG h = Decode(Vector("4.5.bin"));
    DWORD count = 0, cb = sizeof(count);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CERT_COUNT_PARAM, 0, &count, &cb));
    EXPECT_EQ(count, 2u);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_ID_PARAM, 0, nullptr, &cb));
    Bytes idBlock(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_ID_PARAM, 0, idBlock.data(), &cb));
    const CERT_ID* id = reinterpret_cast<const CERT_ID*>(idBlock.data());
    ASSERT_EQ(id->dwIdChoice, static_cast<DWORD>(CERT_ID_ISSUER_SERIAL_NUMBER));

    // The identifier finds Alice's certificate the way CERT_FIND_CERT_ID does.
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_CERT_ID, id, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(Bytes(found->pbCertEncoded, found->pbCertEncoded + found->cbCertEncoded),
              Vector("AliceRSASignByCarl.cer"));
    CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
    CryptMsgClose(h);
}

}  // namespace
