// CryptEncryptMessage and CryptDecryptMessage: recipient kinds, algorithms, the size pattern,
// store searches, and malformed input; checked against OpenSSL's CMS code in the process.
#include "CertTestSupport.h"
#include "CmsWriting.h"

#include "crypt32/CertKeyLink.h"
#include "crypt32/Der.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using certtest::Bytes;
namespace der = npk::der;

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Recipient {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT cert = nullptr;
    EVP_PKEY* key = nullptr;
    Bytes der;
};

class EnvelopeTest : public certtest::IsolatedHome {
protected:
    void TearDown() override
    {
        for (Recipient& r : m_recipients) {
            CertFreeCertificateContext(r.cert);
            CertCloseStore(r.store, 0);
        }
        IsolatedHome::TearDown();
    }

    // A certificate in a memory store of its own; with linkKey its private key is available.
    Recipient& Make(int keyIndex, const std::string& subject, bool ski = true, bool linkKey = true,
                    Bytes serial = {0x01, 0x02, 0x03})
    {
        certtest::CertSpec spec;
        spec.key = certtest::SharedKey(keyIndex);
        spec.subject = subject;
        spec.subjectKeyId = ski;
        spec.keyId = {0x10, static_cast<BYTE>(keyIndex), 0x20, 0x30, static_cast<BYTE>(subject.size())};
        spec.serial = serial;
        Recipient r;
        r.key = spec.key;
        r.der = certtest::MakeCertificate(spec);
        r.store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
        EXPECT_NE(r.store, nullptr);
        EXPECT_TRUE(CertAddEncodedCertificateToStore(r.store, kEnc, r.der.data(), static_cast<DWORD>(r.der.size()),
                                                     CERT_STORE_ADD_ALWAYS, &r.cert));
        if (linkKey) {
            EXPECT_TRUE(NpkLinkCertificateToKey(r.cert, spec.key, false)) << std::hex << GetLastError();
        }
        m_recipients.push_back(r);
        return m_recipients.back();
    }

    static CRYPT_ENCRYPT_MESSAGE_PARA Para(const char* oid, DWORD flags = 0)
    {
        CRYPT_ENCRYPT_MESSAGE_PARA para{};
        para.cbSize = sizeof para;
        para.dwMsgEncodingType = kEnc;
        para.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(oid);
        para.dwFlags = flags;
        return para;
    }

    // The two-call pattern; an empty result with *phr set on failure.
    static Bytes Encrypt(std::vector<PCCERT_CONTEXT> certs, const char* oid, DWORD flags, const Bytes& data,
                         HRESULT* phr = nullptr)
    {
        CRYPT_ENCRYPT_MESSAGE_PARA para = Para(oid, flags);
        DWORD cb = 0;
        HRESULT hr = S_OK;
        Bytes out;
        if (!CryptEncryptMessage(&para, static_cast<DWORD>(certs.size()), certs.data(), data.data(),
                                 static_cast<DWORD>(data.size()), nullptr, &cb)) {
            hr = static_cast<HRESULT>(GetLastError());
        } else {
            out.resize(cb);
            if (!CryptEncryptMessage(&para, static_cast<DWORD>(certs.size()), certs.data(), data.data(),
                                     static_cast<DWORD>(data.size()), out.data(), &cb)) {
                hr = static_cast<HRESULT>(GetLastError());
                out.clear();
            } else {
                EXPECT_EQ(cb, out.size());
            }
        }
        if (phr != nullptr) *phr = hr;
        return out;
    }

    static Bytes Decrypt(std::vector<HCERTSTORE> stores, const Bytes& msg, HRESULT* phr = nullptr,
                         Bytes* xchgDer = nullptr)
    {
        CRYPT_DECRYPT_MESSAGE_PARA para{};
        para.cbSize = 16;  // the four members, as the system fills them
        para.dwMsgAndCertEncodingType = kEnc;
        para.cCertStore = static_cast<DWORD>(stores.size());
        para.rghCertStore = stores.data();
        DWORD cb = 0;
        HRESULT hr = S_OK;
        Bytes out;
        if (!CryptDecryptMessage(&para, msg.data(), static_cast<DWORD>(msg.size()), nullptr, &cb, nullptr)) {
            hr = static_cast<HRESULT>(GetLastError());
        } else {
            out.resize(cb);
            PCCERT_CONTEXT xchg = nullptr;
            if (!CryptDecryptMessage(&para, msg.data(), static_cast<DWORD>(msg.size()), out.data(), &cb, &xchg)) {
                hr = static_cast<HRESULT>(GetLastError());
                out.clear();
                EXPECT_EQ(xchg, nullptr);
            } else {
                EXPECT_EQ(cb, out.size());
                EXPECT_NE(xchg, nullptr);
                if (xchg != nullptr && xchgDer != nullptr)
                    xchgDer->assign(xchg->pbCertEncoded, xchg->pbCertEncoded + xchg->cbCertEncoded);
                CertFreeCertificateContext(xchg);
            }
        }
        if (phr != nullptr) *phr = hr;
        return out;
    }

    static Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

    std::deque<Recipient> m_recipients;  // references to its members stay valid
};

// Walks the outer layers of our own (DER) output: ContentInfo -> EnvelopedData's members.
struct Layout {
    int version = -1;
    std::vector<der::Element> recipientInfos;
    der::Element encryptedContentInfo;
};

Layout Parse(const Bytes& msg)
{
    Layout out;
    der::Element ci, oid, explicit0, ed, e;
    EXPECT_EQ(der::ReadWhole(msg.data(), msg.size(), 0x30, ci), S_OK);
    der::Reader r(ci.content, ci.contentLen);
    EXPECT_EQ(r.Expect(0x06, oid), S_OK);
    EXPECT_EQ(r.Expect(0xA0, explicit0), S_OK);
    EXPECT_EQ(der::ReadWhole(explicit0.content, explicit0.contentLen, 0x30, ed), S_OK);
    der::Reader m(ed.content, ed.contentLen);
    EXPECT_EQ(m.Expect(0x02, e), S_OK);
    out.version = e.contentLen == 1 ? e.content[0] : -1;
    der::Element set;
    EXPECT_EQ(m.Expect(0x31, set), S_OK);
    der::Reader ri(set.content, set.contentLen);
    while (!ri.AtEnd()) {
        EXPECT_EQ(ri.Next(e), S_OK);
        out.recipientInfos.push_back(e);
    }
    EXPECT_EQ(m.Expect(0x30, out.encryptedContentInfo), S_OK);
    EXPECT_TRUE(m.AtEnd());
    return out;
}

// ---------------------------------------------------------------------------
// Round trips and layout
// ---------------------------------------------------------------------------

TEST_F(EnvelopeTest, BothAlgorithmsBothRecipientKindsManySizes)
{
    Recipient& alice = Make(0, "Alice");
    for (const char* oid : {szOID_RSA_RC4, szOID_RSA_DES_EDE3_CBC}) {
        for (DWORD flags : {DWORD(0), DWORD(CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG)}) {
            for (size_t size : {0, 1, 7, 8, 9, 16, 1000, 100003}) {
                Bytes data(size);
                for (size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i * 31 + 7);
                HRESULT hr = E_FAIL;
                Bytes msg = Encrypt({alice.cert}, oid, flags, data, &hr);
                ASSERT_EQ(hr, S_OK) << oid << " " << flags << " " << size;
                Bytes xchg;
                Bytes plain = Decrypt({alice.store}, msg, &hr, &xchg);
                ASSERT_EQ(hr, S_OK) << oid << " " << flags << " " << size;
                EXPECT_EQ(plain, data);
                EXPECT_EQ(xchg, alice.der);
            }
        }
    }
}

TEST_F(EnvelopeTest, IssuerAndSerialRecipientsAreVersionZero)
{
    Recipient& alice = Make(0, "Alice");
    Bytes msg = Encrypt({alice.cert}, szOID_RSA_DES_EDE3_CBC, 0, Text("hello"));
    Layout l = Parse(msg);
    EXPECT_EQ(l.version, 0);
    ASSERT_EQ(l.recipientInfos.size(), 1u);
    der::Reader ri(l.recipientInfos[0].content, l.recipientInfos[0].contentLen);
    der::Element v, rid, issuer, serial;
    ASSERT_EQ(ri.Expect(0x02, v), S_OK);
    EXPECT_EQ(v.content[0], 0);
    ASSERT_EQ(ri.Expect(0x30, rid), S_OK);
    der::Reader ias(rid.content, rid.contentLen);
    ASSERT_EQ(ias.Expect(0x30, issuer), S_OK);
    EXPECT_EQ(Bytes(issuer.header, issuer.header + issuer.totalLen),
              Bytes(alice.cert->pCertInfo->Issuer.pbData,
                    alice.cert->pCertInfo->Issuer.pbData + alice.cert->pCertInfo->Issuer.cbData));
    ASSERT_EQ(ias.Expect(0x02, serial), S_OK);
    EXPECT_EQ(Bytes(serial.content, serial.content + serial.contentLen), (Bytes{0x01, 0x02, 0x03}));
}

TEST_F(EnvelopeTest, KeyIdRecipientsAreVersionTwoWithImplicitTag)
{
    Recipient& alice = Make(0, "Alice");
    Bytes msg = Encrypt({alice.cert}, szOID_RSA_RC4, CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG, Text("hello"));
    Layout l = Parse(msg);
    EXPECT_EQ(l.version, 2);
    der::Reader ri(l.recipientInfos[0].content, l.recipientInfos[0].contentLen);
    der::Element v, rid;
    ASSERT_EQ(ri.Expect(0x02, v), S_OK);
    EXPECT_EQ(v.content[0], 2);
    ASSERT_EQ(ri.Expect(0x80, rid), S_OK);
    EXPECT_EQ(Bytes(rid.content, rid.content + rid.contentLen), (Bytes{0x10, 0x00, 0x20, 0x30, 0x05}));
}

TEST_F(EnvelopeTest, ContentAlgorithmParameters)
{
    Recipient& alice = Make(0, "Alice");
    auto algorithmOf = [&](const Bytes& msg) {
        Layout l = Parse(msg);
        der::Reader eci(l.encryptedContentInfo.content, l.encryptedContentInfo.contentLen);
        der::Element type, alg, content;
        EXPECT_EQ(eci.Expect(0x06, type), S_OK);
        EXPECT_EQ(eci.Expect(0x30, alg), S_OK);
        EXPECT_EQ(eci.Expect(0x80, content), S_OK);
        return Bytes(alg.header, alg.header + alg.totalLen);
    };
    const Bytes rc4 = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04, 0x04, 0x00};
    EXPECT_EQ(algorithmOf(Encrypt({alice.cert}, szOID_RSA_RC4, 0, Text("x"))), rc4);

    Bytes a = algorithmOf(Encrypt({alice.cert}, szOID_RSA_DES_EDE3_CBC, 0, Text("x")));
    Bytes b = algorithmOf(Encrypt({alice.cert}, szOID_RSA_DES_EDE3_CBC, 0, Text("x")));
    const Bytes prefix = {0x30, 0x14, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07, 0x04, 0x08};
    ASSERT_EQ(a.size(), prefix.size() + 8);
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), a.begin()));
    EXPECT_NE(a, b);  // a fresh IV each time
}

TEST_F(EnvelopeTest, TwoRecipientsEachKeyOpensTheSameEnvelope)
{
    Recipient& alice = Make(0, "Alice");
    Recipient& bob = Make(1, "Bob", true, true, {0x7F});
    for (DWORD flags : {DWORD(0), DWORD(CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG)}) {
        Bytes msg = Encrypt({alice.cert, bob.cert}, szOID_RSA_DES_EDE3_CBC, flags, Text("for both"));
        EXPECT_EQ(Parse(msg).recipientInfos.size(), 2u);
        HRESULT hr = E_FAIL;
        Bytes xchg;
        EXPECT_EQ(Decrypt({bob.store}, msg, &hr, &xchg), Text("for both"));
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(xchg, bob.der);
        EXPECT_EQ(Decrypt({alice.store}, msg, &hr, &xchg), Text("for both"));
        EXPECT_EQ(xchg, alice.der);
        // Among several stores the first that holds a key for any entry opens it.
        EXPECT_EQ(Decrypt({nullptr, bob.store, alice.store}, msg, &hr), Text("for both"));
        EXPECT_EQ(hr, S_OK);
    }
}

// ---------------------------------------------------------------------------
// Encryption failures and the size pattern
// ---------------------------------------------------------------------------

TEST_F(EnvelopeTest, KeyIdFlagNeedsASubjectKeyIdentifierOnEveryRecipient)
{
    Recipient& alice = Make(0, "Alice");
    Recipient& plain = Make(1, "No Key Id", false);
    HRESULT hr = S_OK;
    EXPECT_TRUE(Encrypt({alice.cert, plain.cert}, szOID_RSA_RC4, CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG, Text("x"), &hr)
                    .empty());
    EXPECT_EQ(hr, CRYPT_E_NOT_FOUND);
    Bytes msg = Encrypt({alice.cert, plain.cert}, szOID_RSA_RC4, 0, Text("x"), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Decrypt({plain.store}, msg, &hr), Text("x"));
}

TEST_F(EnvelopeTest, UnknownContentAlgorithmsAreRefusedInBothCalls)
{
    Recipient& alice = Make(0, "Alice");
    Bytes data = Text("data");
    for (const char* oid : {"1.2.840.113549.3.7 ", "1.2.840.113549.3.77", "1.2.840.113549.3.2", "",
                            static_cast<const char*>(nullptr)}) {
        CRYPT_ENCRYPT_MESSAGE_PARA para = Para(oid);
        DWORD cb = 0;
        EXPECT_FALSE(CryptEncryptMessage(&para, 1, &alice.cert, data.data(), 4, nullptr, &cb));
        EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_UNKNOWN_ALGO);
        BYTE buffer[4096];
        cb = sizeof buffer;
        EXPECT_FALSE(CryptEncryptMessage(&para, 1, &alice.cert, data.data(), 4, buffer, &cb));
        EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_UNKNOWN_ALGO);
    }
}

TEST_F(EnvelopeTest, EncryptSizeQueryShortAndLargeBuffers)
{
    Recipient& alice = Make(0, "Alice");
    Bytes data = Text("twenty-three bytes long");
    CRYPT_ENCRYPT_MESSAGE_PARA para = Para(szOID_RSA_DES_EDE3_CBC);
    DWORD needed = 0;
    ASSERT_TRUE(CryptEncryptMessage(&para, 1, &alice.cert, data.data(), 23, nullptr, &needed));
    ASSERT_GT(needed, 256u + 24u);

    Bytes buffer(needed + 100, 0xEE);
    DWORD cb = needed - 1;
    EXPECT_FALSE(CryptEncryptMessage(&para, 1, &alice.cert, data.data(), 23, buffer.data(), &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(cb, needed);
    EXPECT_EQ(buffer[0], 0xEE);  // nothing written

    cb = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(CryptEncryptMessage(&para, 1, &alice.cert, data.data(), 23, buffer.data(), &cb));
    EXPECT_EQ(cb, needed);
    EXPECT_EQ(buffer[needed], 0xEE);
    buffer.resize(cb);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Decrypt({alice.store}, buffer, &hr), data);
}

TEST_F(EnvelopeTest, EncryptArgumentChecks)
{
    Recipient& alice = Make(0, "Alice");
    BYTE data[1] = {1};
    DWORD cb = 0;
    CRYPT_ENCRYPT_MESSAGE_PARA para = Para(szOID_RSA_RC4);
    EXPECT_FALSE(CryptEncryptMessage(&para, 0, &alice.cert, data, 1, nullptr, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_FALSE(CryptEncryptMessage(&para, 1, &alice.cert, data, 1, nullptr, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_FALSE(CryptEncryptMessage(nullptr, 1, &alice.cert, data, 1, nullptr, &cb));
    CRYPT_ENCRYPT_MESSAGE_PARA small = para;
    small.cbSize = 8;
    EXPECT_FALSE(CryptEncryptMessage(&small, 1, &alice.cert, data, 1, nullptr, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    CRYPT_ENCRYPT_MESSAGE_PARA x509Only = para;
    x509Only.dwMsgEncodingType = X509_ASN_ENCODING;
    EXPECT_FALSE(CryptEncryptMessage(&x509Only, 1, &alice.cert, data, 1, nullptr, &cb));
    PCCERT_CONTEXT none[1] = {nullptr};
    EXPECT_FALSE(CryptEncryptMessage(&para, 1, none, data, 1, nullptr, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
}

// ---------------------------------------------------------------------------
// Decryption: store searches and the size pattern
// ---------------------------------------------------------------------------

TEST_F(EnvelopeTest, NoStoreWithAMatchingKeyGivesNoDecryptCert)
{
    Recipient& alice = Make(0, "Alice");
    Recipient& bob = Make(1, "Bob", true, true, {0x09});
    Recipient& keyless = Make(2, "Keyless", true, false, {0x0A});
    for (DWORD flags : {DWORD(0), DWORD(CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG)}) {
        Bytes msg = Encrypt({alice.cert}, szOID_RSA_RC4, flags, Text("secret"));
        HRESULT hr = S_OK;
        EXPECT_TRUE(Decrypt({bob.store}, msg, &hr).empty());
        EXPECT_EQ(hr, CRYPT_E_NO_DECRYPT_CERT);
        EXPECT_TRUE(Decrypt({}, msg, &hr).empty());
        EXPECT_EQ(hr, CRYPT_E_NO_DECRYPT_CERT);
        // The recipient's certificate without its private key cannot open it either.
        Bytes keylessMsg = Encrypt({keyless.cert}, szOID_RSA_RC4, flags, Text("secret"));
        EXPECT_TRUE(Decrypt({keyless.store, bob.store}, keylessMsg, &hr).empty());
        EXPECT_EQ(hr, CRYPT_E_NO_DECRYPT_CERT);
    }
}

TEST_F(EnvelopeTest, SameIssuerAndSerialWithAnotherKeyDoesNotOpen)
{
    Recipient& alice = Make(0, "Alice");
    // A second certificate claiming the same issuer and serial, with its own key.
    Recipient& impostor = Make(1, "Alice");
    Bytes msg = Encrypt({alice.cert}, szOID_RSA_DES_EDE3_CBC, 0, Text("secret"));
    HRESULT hr = S_OK;
    Bytes plain = Decrypt({impostor.store}, msg, &hr);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_TRUE(plain.empty());
    EXPECT_EQ(Decrypt({impostor.store, alice.store}, msg, &hr), Text("secret"));
    EXPECT_EQ(hr, S_OK);
}

TEST_F(EnvelopeTest, DecryptSizeQueryShortBufferAndOptionalOutputs)
{
    Recipient& alice = Make(0, "Alice");
    Bytes msg = Encrypt({alice.cert}, szOID_RSA_DES_EDE3_CBC, 0, Text("0123456789"));
    CRYPT_DECRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = kEnc;
    para.cCertStore = 1;
    para.rghCertStore = &alice.store;
    DWORD cb = 0;
    PCCERT_CONTEXT xchg = reinterpret_cast<PCCERT_CONTEXT>(1);
    ASSERT_TRUE(CryptDecryptMessage(&para, msg.data(), static_cast<DWORD>(msg.size()), nullptr, &cb, nullptr));
    EXPECT_EQ(cb, 10u);
    BYTE buffer[32];
    std::memset(buffer, 0xEE, sizeof buffer);
    cb = 9;
    EXPECT_FALSE(CryptDecryptMessage(&para, msg.data(), static_cast<DWORD>(msg.size()), buffer, &cb, &xchg));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(cb, 10u);
    EXPECT_EQ(xchg, nullptr);
    EXPECT_EQ(buffer[0], 0xEE);
    cb = sizeof buffer;
    ASSERT_TRUE(CryptDecryptMessage(&para, msg.data(), static_cast<DWORD>(msg.size()), buffer, &cb, &xchg));
    EXPECT_EQ(cb, 10u);
    EXPECT_EQ(std::memcmp(buffer, "0123456789", 10), 0);
    EXPECT_EQ(buffer[10], 0xEE);
    ASSERT_NE(xchg, nullptr);
    EXPECT_EQ(Bytes(xchg->pbCertEncoded, xchg->pbCertEncoded + xchg->cbCertEncoded), alice.der);
    CertFreeCertificateContext(xchg);

    CRYPT_DECRYPT_MESSAGE_PARA bad = para;
    bad.dwMsgAndCertEncodingType = X509_ASN_ENCODING;
    EXPECT_FALSE(CryptDecryptMessage(&bad, msg.data(), static_cast<DWORD>(msg.size()), nullptr, &cb, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    bad = para;
    bad.rghCertStore = nullptr;
    EXPECT_FALSE(CryptDecryptMessage(&bad, msg.data(), static_cast<DWORD>(msg.size()), nullptr, &cb, nullptr));
    EXPECT_FALSE(CryptDecryptMessage(&para, nullptr, 0, nullptr, &cb, nullptr));
}

// ---------------------------------------------------------------------------
// Malformed input
// ---------------------------------------------------------------------------

TEST_F(EnvelopeTest, TruncatedMessagesFailCleanly)
{
    Recipient& alice = Make(0, "Alice");
    Bytes msg = Encrypt({alice.cert}, szOID_RSA_DES_EDE3_CBC, 0, Text("truncate me, please"));
    for (size_t n = 1; n < msg.size(); ++n) {
        Bytes cut(msg.begin(), msg.begin() + static_cast<long>(n));
        HRESULT hr = S_OK;
        EXPECT_TRUE(Decrypt({alice.store}, cut, &hr).empty()) << n;
        EXPECT_EQ(hr, CRYPT_E_ASN1_EOD) << n;
    }
    Bytes longer = msg;
    longer.push_back(0);
    HRESULT hr = S_OK;
    Decrypt({alice.store}, longer, &hr);
    EXPECT_EQ(hr, CRYPT_E_ASN1_CORRUPT);
}

TEST_F(EnvelopeTest, CorruptedMessagesGiveClearCodes)
{
    Recipient& alice = Make(0, "Alice");
    Bytes msg = Encrypt({alice.cert}, szOID_RSA_DES_EDE3_CBC, 0, Text("corrupt me"));
    HRESULT hr = S_OK;

    Bytes signedType = msg;
    size_t oidAt = 4;  // 30 82 LL LL 06 09 ... : the content type's last byte
    while (signedType[oidAt] != 0x06) ++oidAt;
    signedType[oidAt + 10] = 0x02;  // 1.2.840.113549.1.7.2: signed data
    Decrypt({alice.store}, signedType, &hr);
    EXPECT_EQ(hr, CRYPT_E_UNEXPECTED_MSG_TYPE);

    Bytes des3Oid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};
    auto at = std::search(msg.begin(), msg.end(), des3Oid.begin(), des3Oid.end());
    ASSERT_NE(at, msg.end());
    Bytes rc5 = msg;  // 1.2.840.113549.3.9: RC5-CBC-Pad, which Windows does not open either
    rc5[static_cast<size_t>(at - msg.begin()) + 7] = 0x09;
    Decrypt({alice.store}, rc5, &hr);
    EXPECT_EQ(hr, CRYPT_E_UNKNOWN_ALGO);

    Bytes notSequence = msg;
    notSequence[0] = 0x31;
    Decrypt({alice.store}, notSequence, &hr);
    EXPECT_EQ(hr, CRYPT_E_ASN1_BADTAG);

    // The last ciphertext block changed: its padding no longer checks out (or, rarely, it
    // does and the text differs); never the original text.
    Bytes lastBlock = msg;
    lastBlock[lastBlock.size() - 1] ^= 0x5A;
    Bytes plain = Decrypt({alice.store}, lastBlock, &hr);
    EXPECT_NE(plain, Text("corrupt me"));

    // Every single-byte change fails or decrypts, but never crashes or reads out of bounds.
    for (size_t i = 0; i < msg.size(); ++i) {
        Bytes changed = msg;
        changed[i] ^= 0xFF;
        Decrypt({alice.store}, changed, &hr);
    }
}

TEST_F(EnvelopeTest, DeeplyNestedIndefiniteLengthsAreRefused)
{
    Recipient& alice = Make(0, "Alice");
    Bytes nested;
    for (int i = 0; i < 5000; ++i) {
        nested.push_back(0x30);
        nested.push_back(0x80);
    }
    for (int i = 0; i < 5000; ++i) {
        nested.push_back(0);
        nested.push_back(0);
    }
    HRESULT hr = S_OK;
    Decrypt({alice.store}, nested, &hr);
    EXPECT_EQ(hr, CRYPT_E_ASN1_CORRUPT);
    // An indefinite length on a primitive value is not BER.
    Bytes primitive = {0x04, 0x80, 0x00, 0x00};
    Decrypt({alice.store}, primitive, &hr);
    EXPECT_EQ(hr, CRYPT_E_ASN1_CORRUPT);
}

// ---------------------------------------------------------------------------
// Messages written by OpenSSL's CMS code, and ours read by it
// ---------------------------------------------------------------------------

class EnvelopeOpenSslTest : public EnvelopeTest {
protected:
    void SetUp() override
    {
        EnvelopeTest::SetUp();
        m_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        m_default = OSSL_PROVIDER_load(nullptr, "default");
    }
    void TearDown() override
    {
        if (m_legacy != nullptr) OSSL_PROVIDER_unload(m_legacy);
        if (m_default != nullptr) OSSL_PROVIDER_unload(m_default);
        EnvelopeTest::TearDown();
    }

    static X509* ToX509(const Recipient& r)
    {
        const unsigned char* p = r.der.data();
        return d2i_X509(nullptr, &p, static_cast<long>(r.der.size()));
    }

    // flags: CMS_USE_KEYID, CMS_STREAM (indefinite-length BER).
    static Bytes OpenSslEncrypt(const std::vector<const Recipient*>& to, const EVP_CIPHER* cipher,
                                const Bytes& data, unsigned flags)
    {
        STACK_OF(X509)* certs = sk_X509_new_null();
        for (const Recipient* r : to) sk_X509_push(certs, ToX509(*r));
        BIO* in = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
        CMS_ContentInfo* cms = CMS_encrypt(nullptr, in, cipher, CMS_BINARY | CMS_PARTIAL | (flags & CMS_STREAM));
        Bytes out;
        if (cms != nullptr) {
            for (int i = 0; i < sk_X509_num(certs); ++i)
                CMS_add1_recipient_cert(cms, sk_X509_value(certs, i), flags & CMS_USE_KEYID);
            out = certtest::FinishCms(cms, in, flags);
            CMS_ContentInfo_free(cms);
        }
        BIO_free(in);
        sk_X509_pop_free(certs, X509_free);
        return out;
    }

    static Bytes OpenSslDecrypt(const Recipient& r, const Bytes& msg)
    {
        const unsigned char* p = msg.data();
        CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(msg.size()));
        Bytes out;
        if (cms == nullptr) return out;
        X509* cert = ToX509(r);
        BIO* mem = BIO_new(BIO_s_mem());
        if (CMS_decrypt(cms, r.key, cert, nullptr, mem, CMS_BINARY) == 1) {
            char* q = nullptr;
            long n = BIO_get_mem_data(mem, &q);
            out.assign(q, q + n);
        }
        BIO_free(mem);
        X509_free(cert);
        CMS_ContentInfo_free(cms);
        return out;
    }

    OSSL_PROVIDER* m_legacy = nullptr;
    OSSL_PROVIDER* m_default = nullptr;
};

TEST_F(EnvelopeOpenSslTest, WeOpenWhatOpenSslWrites)
{
    ASSERT_NE(m_legacy, nullptr);
    Recipient& alice = Make(0, "Alice");
    Recipient& bob = Make(1, "Bob", true, true, {0x42});
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i ^ 0x3C);
    for (const EVP_CIPHER* cipher : {EVP_rc4(), EVP_des_ede3_cbc()}) {
        for (unsigned flags : {0u, unsigned(CMS_USE_KEYID), unsigned(CMS_STREAM),
                               unsigned(CMS_STREAM | CMS_USE_KEYID)}) {
            Bytes msg = OpenSslEncrypt({&alice, &bob}, cipher, data, flags);
            ASSERT_FALSE(msg.empty()) << EVP_CIPHER_get0_name(cipher) << " " << flags;
            HRESULT hr = E_FAIL;
            EXPECT_EQ(Decrypt({alice.store}, msg, &hr), data) << EVP_CIPHER_get0_name(cipher) << " " << flags;
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(Decrypt({bob.store}, msg, &hr), data);
            EXPECT_EQ(hr, S_OK);
        }
    }
}

TEST_F(EnvelopeOpenSslTest, OpenSslOpensWhatWeWrite)
{
    ASSERT_NE(m_legacy, nullptr);
    Recipient& alice = Make(0, "Alice");
    Recipient& bob = Make(1, "Bob", true, true, {0x42});
    Bytes data = Text("Interoperable content, more than one block long.");
    for (const char* oid : {szOID_RSA_RC4, szOID_RSA_DES_EDE3_CBC}) {
        for (DWORD flags : {DWORD(0), DWORD(CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG)}) {
            Bytes msg = Encrypt({alice.cert, bob.cert}, oid, flags, data);
            EXPECT_EQ(OpenSslDecrypt(alice, msg), data) << oid << " " << flags;
            EXPECT_EQ(OpenSslDecrypt(bob, msg), data) << oid << " " << flags;
        }
    }
}

// RC4 keys shorter than 128 bits, with and without a salt in the parameters, and RC4 with
// absent or NULL parameters: messages assembled here from their parts.
TEST_F(EnvelopeOpenSslTest, Rc4KeyLengthsSaltsAndParameterForms)
{
    ASSERT_NE(m_legacy, nullptr);
    Recipient& alice = Make(0, "Alice");
    Bytes data = Text("short keys still open");

    auto build = [&](const Bytes& wrappedPart, const Bytes& params, bool hasParams, const Bytes& fullKey) {
        // Key transport of wrappedPart to Alice.
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(alice.key, nullptr);
        EVP_PKEY_encrypt_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        size_t n = 0;
        EVP_PKEY_encrypt(ctx, nullptr, &n, wrappedPart.data(), wrappedPart.size());
        Bytes wrapped(n);
        EVP_PKEY_encrypt(ctx, wrapped.data(), &n, wrappedPart.data(), wrappedPart.size());
        wrapped.resize(n);
        EVP_PKEY_CTX_free(ctx);
        // RC4 with the whole key.
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex2(c, EVP_rc4(), nullptr, nullptr, nullptr);
        EVP_CIPHER_CTX_set_key_length(c, static_cast<int>(fullKey.size()));
        EVP_EncryptInit_ex2(c, nullptr, fullKey.data(), nullptr, nullptr);
        Bytes ct(data.size());
        int len = 0;
        EVP_EncryptUpdate(c, ct.data(), &len, data.data(), static_cast<int>(data.size()));
        EVP_CIPHER_CTX_free(c);

        Bytes ri = {0x02, 0x01, 0x00};
        const CERT_INFO* info = alice.cert->pCertInfo;
        Bytes ias(info->Issuer.pbData, info->Issuer.pbData + info->Issuer.cbData);
        der::Append(ias, Bytes{0x02, 0x03, 0x01, 0x02, 0x03});
        der::Append(ri, der::Tlv(0x30, ias));
        der::Append(ri, Bytes{0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00});
        der::Append(ri, der::Tlv(0x04, wrapped));
        Bytes alg = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04};
        if (hasParams) der::Append(alg, params);
        Bytes eci = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
        der::Append(eci, der::Tlv(0x30, alg));
        der::Append(eci, der::Tlv(0x80, ct));
        Bytes ed = {0x02, 0x01, 0x00};
        der::Append(ed, der::Tlv(0x31, der::Tlv(0x30, ri)));
        der::Append(ed, der::Tlv(0x30, eci));
        Bytes outer = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
        der::Append(outer, der::Tlv(0xA0, der::Tlv(0x30, ed)));
        return der::Tlv(0x30, outer);
    };

    Bytes key16(16), key5(5), salt11(11);
    RAND_bytes(key16.data(), 16);
    RAND_bytes(key5.data(), 5);
    RAND_bytes(salt11.data(), 11);
    Bytes salted = key5;
    der::Append(salted, salt11);
    HRESULT hr = E_FAIL;

    EXPECT_EQ(Decrypt({alice.store}, build(key16, {}, false, key16), &hr), data);  // absent
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Decrypt({alice.store}, build(key16, {0x05, 0x00}, true, key16), &hr), data);  // NULL
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Decrypt({alice.store}, build(key5, {0x04, 0x00}, true, key5), &hr), data);  // 40 bits
    EXPECT_EQ(hr, S_OK);
    Bytes saltParam = der::Tlv(0x04, salt11);
    EXPECT_EQ(Decrypt({alice.store}, build(key5, saltParam, true, salted), &hr), data);  // 40 bits, salted
    EXPECT_EQ(hr, S_OK);
    Bytes key8(key16.begin(), key16.begin() + 8);
    EXPECT_EQ(Decrypt({alice.store}, build(key8, {}, false, key8), &hr), data);  // 64 bits
    EXPECT_EQ(hr, S_OK);

    // Keys outside 40 to 128 bits are refused.
    Bytes key4(key16.begin(), key16.begin() + 4);
    Decrypt({alice.store}, build(key4, {}, false, key4), &hr);
    EXPECT_EQ(hr, NTE_BAD_KEY);
    Bytes key17 = key16;
    key17.push_back(1);
    Decrypt({alice.store}, build(key17, {}, false, key16), &hr);
    EXPECT_EQ(hr, NTE_BAD_KEY);
}

}  // namespace
