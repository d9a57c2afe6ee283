// In-memory envelopes: the parameter blocks, the key-transport recipient descriptions, and
// encryption and decryption through the platform with the committed fixtures (Bob and Alice
// carry a subject key identifier, Carol does not). Envelopes are also taken apart with
// OpenSSL's CMS decoder, so the recipient form is checked by a reader other than ours.
#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FixtureData.h"
#include "agent/CryptoAgent.h"
#include "kernel/CertificateQueries.h"
#include "kernel/Envelopes.h"
#include "platform/CertTestSupport.h"
#include "platform/crypt32/CertObjects.h"

namespace {

namespace fs = std::filesystem;
using certtest::Bytes;

constexpr char kRc4[] = "1.2.840.113549.3.4";
constexpr char kDes3[] = "1.2.840.113549.3.7";

Bytes ReadFixture(const char* name)
{
    fs::path p = npk::test::FixtureDir() + name;
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A PFX fixture as a store, and its one key-bearing certificate.
struct Party {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT cert = nullptr;

    explicit Party(const char* pfx)
    {
        Bytes bytes = ReadFixture(pfx);
        CRYPT_DATA_BLOB blob = {static_cast<DWORD>(bytes.size()), bytes.data()};
        store = PFXImportCertStore(&blob, TEXT("npkeystrand"), CRYPT_USER_KEYSET);
        if (store == nullptr) return;
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
            DWORD cb = 0;
            if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) {
                cert = CertDuplicateCertificateContext(c);
                CertFreeCertificateContext(c);
                break;
            }
        }
    }
    ~Party()
    {
        if (cert != nullptr) CertFreeCertificateContext(cert);
        if (store != nullptr) CertCloseStore(store, 0);
    }
    Party(const Party&) = delete;
    Party& operator=(const Party&) = delete;
};

// Owns a kernel buffer.
struct Buffer {
    BYTE* pb = nullptr;
    DWORD cb = 0;
    ~Buffer() { delete[] pb; }
    std::string str() const { return std::string(reinterpret_cast<const char*>(pb), cb); }
};

// What OpenSSL reads in an envelope: content algorithm and, per recipient, the identifier kind.
struct Parsed {
    bool ok = false;
    std::string contentOid;
    std::vector<std::string> recipients;  // "keyid:<hex>" or "serial:<hex>"
};

Parsed ParseWithOpenSsl(const Buffer& envelope)
{
    Parsed p;
    const unsigned char* in = envelope.pb;
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(envelope.cb));
    if (cms == nullptr) return p;
    if (OBJ_obj2nid(CMS_get0_type(cms)) == NID_pkcs7_enveloped) {
        p.ok = true;
        char oid[64] = {0};
        STACK_OF(CMS_RecipientInfo)* ris = CMS_get0_RecipientInfos(cms);
        for (int i = 0; i < sk_CMS_RecipientInfo_num(ris); ++i) {
            CMS_RecipientInfo* ri = sk_CMS_RecipientInfo_value(ris, i);
            ASN1_OCTET_STRING* keyid = nullptr;
            X509_NAME* issuer = nullptr;
            ASN1_INTEGER* serial = nullptr;
            if (CMS_RecipientInfo_ktri_get0_signer_id(ri, &keyid, &issuer, &serial) != 1) continue;
            if (keyid != nullptr) {
                p.recipients.push_back("keyid:" + certtest::Hex(Bytes(keyid->data, keyid->data + keyid->length)));
            } else {
                p.recipients.push_back("serial:" + certtest::Hex(Bytes(serial->data, serial->data + serial->length)));
            }
        }
        // OpenSSL has no getter for the content algorithm: look for its identifier's DER.
        unsigned char* der = nullptr;
        int n = i2d_CMS_ContentInfo(cms, &der);
        static const unsigned char rc4[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04};
        static const unsigned char des3[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};
        std::string all(reinterpret_cast<char*>(der), static_cast<size_t>(n > 0 ? n : 0));
        if (all.find(std::string(reinterpret_cast<const char*>(rc4), sizeof(rc4))) != std::string::npos)
            std::strcpy(oid, kRc4);
        if (all.find(std::string(reinterpret_cast<const char*>(des3), sizeof(des3))) != std::string::npos)
            std::strcpy(oid, kDes3);
        OPENSSL_free(der);
        p.contentOid = oid;
    }
    CMS_ContentInfo_free(cms);
    return p;
}

std::string KeyIdOf(PCCERT_CONTEXT cert)
{
    BYTE* pb = nullptr;
    DWORD cb = 0;
    if (FAILED(GetCertSubjectKeyID(cert, &pb, &cb))) return std::string();
    std::string s = "keyid:" + certtest::Hex(Bytes(pb, pb + cb));
    delete[] pb;
    return s;
}

class EnvelopesTest : public certtest::IsolatedHome {
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

    HRESULT Encrypt(const CertificateList& to, const std::string& text, Buffer& out, const char* alg, BOOL keyId)
    {
        return EncryptDatatoEnvelope(to, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()),
                                     &out.pb, &out.cb, alg, keyId);
    }
    HRESULT Decrypt(const StoreList& stores, const Buffer& envelope, Buffer& out)
    {
        return DecryptEnvelopeData(stores, envelope.pb, envelope.cb, &out.pb, &out.cb);
    }

    LONG m_contexts = 0;
};

TEST_F(EnvelopesTest, ParameterBlockNamesOnlyTheTwoAlgorithmsExactly)
{
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {kRc4, kRc4},
        {kDes3, kDes3},
        {"1.2.840.113549.3.7 ", nullptr},
        {"1.2.840.113549.3.77", nullptr},
        {"1.2.840.113549.3.", nullptr},
        {"1.2.840.113549.3.2", nullptr},  // RC2: real, but not one of ours
        {"", nullptr},
        {nullptr, nullptr},
    };
    for (const Case& c : cases) {
        for (BOOL keyId : {FALSE, TRUE}) {
            CRYPT_ENCRYPT_MESSAGE_PARA* para = nullptr;
            ASSERT_EQ(GetEncryptionParameters(c.text, keyId, &para), S_OK) << (c.text ? c.text : "null");
            ASSERT_NE(para, nullptr);
            EXPECT_EQ(para->cbSize, sizeof(CRYPT_ENCRYPT_MESSAGE_PARA));
            EXPECT_EQ(para->dwMsgEncodingType, 0x00010001u);
            EXPECT_EQ(para->hCryptProv, 0u);
            if (c.expected == nullptr) {
                EXPECT_EQ(para->ContentEncryptionAlgorithm.pszObjId, nullptr) << (c.text ? c.text : "null");
            } else {
                ASSERT_NE(para->ContentEncryptionAlgorithm.pszObjId, nullptr);
                EXPECT_STREQ(para->ContentEncryptionAlgorithm.pszObjId, c.expected);
            }
            EXPECT_EQ(para->ContentEncryptionAlgorithm.Parameters.cbData, 0u);
            EXPECT_EQ(para->pvEncryptionAuxInfo, nullptr);
            EXPECT_EQ(para->dwFlags, keyId ? 4u : 0u);
            EXPECT_EQ(para->dwInnerContentType, 0u);
            delete para;
        }
    }
}

TEST_F(EnvelopesTest, RecipientDescriptionCopiesKeyAndKeyIdentifier)
{
    Party bob("recipient.pfx");
    ASSERT_NE(bob.cert, nullptr);
    CMSG_RECIPIENT_ENCODE_INFO info;
    std::memset(&info, 0xCD, sizeof(info));
    ASSERT_EQ(GetCMSRecipientsInfo(&info, bob.cert), S_OK);
    EXPECT_EQ(info.dwRecipientChoice, static_cast<DWORD>(CMSG_KEY_TRANS_RECIPIENT));
    ASSERT_NE(info.pKeyTrans, nullptr);
    const CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO& kt = *info.pKeyTrans;
    EXPECT_EQ(kt.cbSize, sizeof(CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO));
    ASSERT_NE(kt.KeyEncryptionAlgorithm.pszObjId, nullptr);
    EXPECT_STREQ(kt.KeyEncryptionAlgorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(kt.KeyEncryptionAlgorithm.Parameters.cbData, 0u);
    EXPECT_EQ(kt.pvKeyEncryptionAuxInfo, nullptr);
    EXPECT_EQ(kt.hCryptProv, 0u);

    const CRYPT_BIT_BLOB& pub = bob.cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    ASSERT_EQ(kt.RecipientPublicKey.cbData, pub.cbData);
    EXPECT_NE(kt.RecipientPublicKey.pbData, pub.pbData) << "a private copy, not the certificate's bytes";
    EXPECT_EQ(std::memcmp(kt.RecipientPublicKey.pbData, pub.pbData, pub.cbData), 0);
    EXPECT_EQ(kt.RecipientPublicKey.cUnusedBits, 0u);

    EXPECT_EQ(kt.RecipientId.dwIdChoice, static_cast<DWORD>(CERT_ID_KEY_IDENTIFIER));
    std::string id = "keyid:" + certtest::Hex(Bytes(kt.RecipientId.KeyId.pbData,
                                                     kt.RecipientId.KeyId.pbData + kt.RecipientId.KeyId.cbData));
    EXPECT_EQ(id, KeyIdOf(bob.cert));

    RelaseCMSRecipientInfo(&info);
    EXPECT_EQ(info.pKeyTrans, nullptr);
    // Releasing twice, or an entry never filled, does nothing.
    RelaseCMSRecipientInfo(&info);
    RelaseCMSRecipientInfo(nullptr);
}

TEST_F(EnvelopesTest, RecipientDescriptionNeedsASubjectKeyIdentifier)
{
    Party carol("nokeyid.pfx");
    ASSERT_NE(carol.cert, nullptr);
    CMSG_RECIPIENT_ENCODE_INFO info;
    std::memset(&info, 0xCD, sizeof(info));
    EXPECT_EQ(GetCMSRecipientsInfo(&info, carol.cert), NPK_E_NO_SUBJECT_KEY_ID);
    EXPECT_EQ(info.pKeyTrans, nullptr) << "nothing was made, nothing to release";
    RelaseCMSRecipientInfo(&info);
}

TEST_F(EnvelopesTest, RoundTripsInBothRecipientFormsAndBothAlgorithms)
{
    Party bob("recipient.pfx");
    ASSERT_NE(bob.cert, nullptr);
    CertificateList to = {bob.cert};
    StoreList stores = {bob.store};
    const std::string text = "Pay 100 to account 42.";
    for (const char* alg : {kRc4, kDes3}) {
        for (BOOL keyId : {FALSE, TRUE}) {
            SCOPED_TRACE(std::string(alg) + (keyId ? " key id" : " issuer and serial"));
            Buffer envelope;
            ASSERT_EQ(Encrypt(to, text, envelope, alg, keyId), S_OK);
            ASSERT_NE(envelope.pb, nullptr);
            EXPECT_EQ(envelope.pb[envelope.cb], 0) << "one zero byte past the reported length";

            Parsed parsed = ParseWithOpenSsl(envelope);
            ASSERT_TRUE(parsed.ok);
            EXPECT_EQ(parsed.contentOid, alg);
            ASSERT_EQ(parsed.recipients.size(), 1u);
            if (keyId) {
                EXPECT_EQ(parsed.recipients[0], KeyIdOf(bob.cert));
            } else {
                EXPECT_EQ(parsed.recipients[0], "serial:0A");
            }
            EXPECT_EQ(envelope.str().find(text), std::string::npos) << "the text is encrypted";

            Buffer plain;
            ASSERT_EQ(Decrypt(stores, envelope, plain), S_OK);
            EXPECT_EQ(plain.str(), text);
            EXPECT_EQ(plain.pb[plain.cb], 0);
        }
    }
}

TEST_F(EnvelopesTest, BinaryContentKeepsItsExactLength)
{
    Party bob("recipient.pfx");
    std::string data("\0\x01\xFF\0tail\0", 9);
    data += std::string(70000, 'x');  // past any single-block or short-length form
    Buffer envelope, plain;
    ASSERT_EQ(Encrypt({bob.cert}, data, envelope, kDes3, FALSE), S_OK);
    ASSERT_EQ(Decrypt({bob.store}, envelope, plain), S_OK);
    EXPECT_EQ(plain.cb, data.size());
    EXPECT_EQ(plain.str(), data);
}

TEST_F(EnvelopesTest, TwoRecipientsEachOpenTheOneEnvelope)
{
    Party bob("recipient.pfx");
    Party alice("signer.pfx");
    ASSERT_NE(bob.cert, nullptr);
    ASSERT_NE(alice.cert, nullptr);
    for (BOOL keyId : {FALSE, TRUE}) {
        Buffer envelope;
        ASSERT_EQ(Encrypt({bob.cert, alice.cert}, "for both", envelope, kRc4, keyId), S_OK);
        Parsed parsed = ParseWithOpenSsl(envelope);
        ASSERT_EQ(parsed.recipients.size(), 2u);
        if (keyId) {
            // A SET OF: DER may sort its members, so only membership is fixed.
            std::sort(parsed.recipients.begin(), parsed.recipients.end());
            std::vector<std::string> expected = {KeyIdOf(bob.cert), KeyIdOf(alice.cert)};
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(parsed.recipients, expected);
        }
        // The second recipient alone, and the first alone, each decrypt it.
        for (HCERTSTORE store : {alice.store, bob.store}) {
            Buffer plain;
            EXPECT_EQ(Decrypt({store}, envelope, plain), S_OK);
            EXPECT_EQ(plain.str(), "for both");
        }
    }
}

TEST_F(EnvelopesTest, KeyIdentifierFormRefusesARecipientWithoutOneBeforeEncrypting)
{
    Party bob("recipient.pfx");
    Party carol("nokeyid.pfx");
    ASSERT_NE(carol.cert, nullptr);
    Buffer refused;
    EXPECT_EQ(Encrypt({bob.cert, carol.cert}, "text", refused, kDes3, TRUE), NPK_E_NO_SUBJECT_KEY_ID);
    EXPECT_EQ(refused.pb, nullptr) << "no envelope is made";
    EXPECT_EQ(refused.cb, 0u);

    // By issuer and serial number the same list is fine, and Carol opens it.
    Buffer envelope, plain;
    ASSERT_EQ(Encrypt({bob.cert, carol.cert}, "text", envelope, kDes3, FALSE), S_OK);
    Parsed parsed = ParseWithOpenSsl(envelope);
    ASSERT_EQ(parsed.recipients.size(), 2u);
    EXPECT_TRUE(parsed.recipients[0] == "serial:0B" || parsed.recipients[1] == "serial:0B");
    ASSERT_EQ(Decrypt({carol.store}, envelope, plain), S_OK);
    EXPECT_EQ(plain.str(), "text");
}

TEST_F(EnvelopesTest, UnknownAlgorithmFailsAsUnknownWithoutAnEnvelope)
{
    Party bob("recipient.pfx");
    for (const char* alg : {"1.2.840.113549.3.7 ", "1.2.840.113549.3.41", "3DES", ""}) {
        Buffer envelope;
        EXPECT_EQ(Encrypt({bob.cert}, "text", envelope, alg, FALSE), CRYPT_E_UNKNOWN_ALGO) << alg;
        EXPECT_EQ(envelope.pb, nullptr);
    }
    Buffer none;
    EXPECT_EQ(Encrypt({bob.cert}, "text", none, nullptr, TRUE), CRYPT_E_UNKNOWN_ALGO);
}

TEST_F(EnvelopesTest, DecryptionFailuresAreClearCodes)
{
    Party bob("recipient.pfx");
    Party carol("nokeyid.pfx");
    Buffer envelope;
    ASSERT_EQ(Encrypt({bob.cert}, "secret", envelope, kRc4, FALSE), S_OK);

    // Carol's key is not one of the recipients'.
    Buffer wrong;
    EXPECT_EQ(Decrypt({carol.store}, envelope, wrong), CRYPT_E_NO_DECRYPT_CERT);
    // Bob's certificate without his key opens nothing either.
    HCERTSTORE certOnly = CertOpenStore(CERT_STORE_PROV_MEMORY, 0x00010001, 0, 0, nullptr);
    Bytes der = ReadFixture("recipient.cer");
    ASSERT_TRUE(CertAddEncodedCertificateToStore(certOnly, 0x00010001, der.data(), static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_ALWAYS, nullptr));
    Buffer keyless;
    EXPECT_EQ(Decrypt({certOnly}, envelope, keyless), CRYPT_E_NO_DECRYPT_CERT);
    CertCloseStore(certOnly, 0);
    // Bob found in the second store of the list.
    Buffer second;
    EXPECT_EQ(Decrypt({carol.store, bob.store}, envelope, second), S_OK);
    EXPECT_EQ(second.str(), "secret");

    Buffer noStores;
    EXPECT_TRUE(FAILED(Decrypt({}, envelope, noStores)));

    // Cut short, or with a changed byte in its header: a failure, never a crash.
    Buffer cut = {new BYTE[envelope.cb / 2], envelope.cb / 2};
    std::memcpy(cut.pb, envelope.pb, cut.cb);
    Buffer fromCut;
    EXPECT_TRUE(FAILED(Decrypt({bob.store}, cut, fromCut)));
    Buffer bent = {new BYTE[envelope.cb], envelope.cb};
    std::memcpy(bent.pb, envelope.pb, bent.cb);
    bent.pb[0] = 0x31;
    Buffer fromBent;
    EXPECT_TRUE(FAILED(Decrypt({bob.store}, bent, fromBent)));
    Buffer empty, fromEmpty;
    EXPECT_TRUE(FAILED(Decrypt({bob.store}, empty, fromEmpty)));
}

TEST_F(EnvelopesTest, MissingOutputsAreRefusedNotDereferenced)
{
    Party bob("recipient.pfx");
    DWORD cb = 0;
    BYTE* pb = nullptr;
    EXPECT_EQ(EncryptDatatoEnvelope({bob.cert}, reinterpret_cast<const BYTE*>("x"), 1, nullptr, &cb, kRc4, FALSE),
              E_POINTER);
    EXPECT_EQ(EncryptDatatoEnvelope({bob.cert}, reinterpret_cast<const BYTE*>("x"), 1, &pb, nullptr, kRc4, FALSE),
              E_POINTER);
    EXPECT_EQ(DecryptEnvelopeData({bob.store}, reinterpret_cast<const BYTE*>("x"), 1, nullptr, &cb), E_POINTER);
    EXPECT_EQ(GetEncryptionParameters(kRc4, FALSE, nullptr), E_POINTER);
    // No recipients: the platform refuses, nothing is handed out.
    Buffer envelope;
    EXPECT_TRUE(FAILED(Encrypt({}, "x", envelope, kRc4, FALSE)));
    EXPECT_EQ(envelope.pb, nullptr);
}

}  // namespace
