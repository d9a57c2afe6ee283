// Envelopes under the content ciphers that other writers choose (AES-128/192/256-CBC, DES-CBC,
// RC2-CBC at 40, 64 and 128 bits), written by OpenSSL's CMS code in the process and opened
// both in one call (CryptDecryptMessage) and streamed (CryptMsg with a stream), and key
// identifiers computed for certificates without a subject key identifier extension.
#include "CertTestSupport.h"
#include "CmsWriting.h"

#include "crypt32/CertKeyLink.h"
#include "crypt32/Der.h"
#include "crypt32/MessageObjects.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using certtest::Bytes;
namespace der = npk::der;

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Party {
    Bytes der;
    EVP_PKEY* key = nullptr;
    PCCERT_CONTEXT cert = nullptr;
    HCERTSTORE store = nullptr;
};

struct Cipher {
    const char* name;   // OpenSSL's
    size_t rc2Bits;     // RC2's effective key bits, else 0
};

const Cipher kCiphers[] = {
    {"AES-128-CBC", 0}, {"AES-192-CBC", 0}, {"AES-256-CBC", 0}, {"DES-CBC", 0},
    {"RC2-40-CBC", 40}, {"RC2-64-CBC", 64}, {"RC2-CBC", 128},
};

BOOL WINAPI Collect(const void* pvArg, BYTE* pb, DWORD cb, BOOL)
{
    Bytes* out = static_cast<Bytes*>(const_cast<void*>(pvArg));
    if (cb != 0) out->insert(out->end(), pb, pb + cb);
    return TRUE;
}

class EnvelopeCiphers : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        m_default = OSSL_PROVIDER_load(nullptr, "default");
        ASSERT_NE(m_legacy, nullptr);
    }
    void TearDown() override
    {
        for (Party& p : m_parties) {
            CertFreeCertificateContext(p.cert);
            CertCloseStore(p.store, 0);
        }
        m_parties.clear();
        EXPECT_EQ(npk::crypt32::MessageObject::LiveMessages(), 0);
        if (m_legacy != nullptr) OSSL_PROVIDER_unload(m_legacy);
        if (m_default != nullptr) OSSL_PROVIDER_unload(m_default);
        IsolatedHome::TearDown();
    }

    // A certificate in a memory store of its own, linked to its private key.
    Party& Make(int keyIndex, bool ski, Bytes keyId = {0x44, 0x55, 0x66})
    {
        certtest::CertSpec spec;
        spec.key = certtest::SharedKey(keyIndex);
        spec.subject = "Cipher Recipient " + std::to_string(keyIndex);
        spec.serial = {0x33, static_cast<BYTE>(keyIndex)};
        spec.subjectKeyId = ski;
        spec.keyId = keyId;
        Party p;
        p.key = spec.key;
        p.der = certtest::MakeCertificate(spec);
        p.store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
        EXPECT_TRUE(CertAddEncodedCertificateToStore(p.store, kEnc, p.der.data(), static_cast<DWORD>(p.der.size()),
                                                     CERT_STORE_ADD_ALWAYS, &p.cert));
        EXPECT_TRUE(NpkLinkCertificateToKey(p.cert, spec.key, false));
        m_parties.push_back(p);
        return m_parties.back();
    }

    // flags: CMS_USE_KEYID, CMS_STREAM (indefinite-length BER).
    static Bytes OpenSslEncrypt(const Party& to, const char* cipherName, const Bytes& data, unsigned flags)
    {
        EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, cipherName, nullptr);
        const unsigned char* p = to.der.data();
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(to.der.size()));
        static const BYTE kNothing = 0;  // a memory BIO refuses a null buffer even when empty
        BIO* in = BIO_new_mem_buf(data.empty() ? &kNothing : data.data(), static_cast<int>(data.size()));
        Bytes out;
        CMS_ContentInfo* cms = cipher != nullptr && cert != nullptr
                                   ? CMS_encrypt(nullptr, in, cipher, CMS_BINARY | CMS_PARTIAL | (flags & CMS_STREAM))
                                   : nullptr;
        if (cms != nullptr && CMS_add1_recipient_cert(cms, cert, flags & CMS_USE_KEYID) != nullptr) {
            out = certtest::FinishCms(cms, in, flags);
        }
        CMS_ContentInfo_free(cms);
        BIO_free(in);
        X509_free(cert);
        EVP_CIPHER_free(cipher);
        return out;
    }

    static Bytes Decrypt(HCERTSTORE store, const Bytes& msg, HRESULT* phr)
    {
        CRYPT_DECRYPT_MESSAGE_PARA para{};
        para.cbSize = sizeof para;
        para.dwMsgAndCertEncodingType = kEnc;
        para.cCertStore = 1;
        para.rghCertStore = &store;
        DWORD cb = 0;
        *phr = S_OK;
        if (!CryptDecryptMessage(&para, msg.data(), static_cast<DWORD>(msg.size()), nullptr, &cb, nullptr)) {
            *phr = static_cast<HRESULT>(GetLastError());
            return {};
        }
        Bytes out(cb);
        if (!CryptDecryptMessage(&para, msg.data(), static_cast<DWORD>(msg.size()), out.data(), &cb, nullptr)) {
            *phr = static_cast<HRESULT>(GetLastError());
            return {};
        }
        out.resize(cb);
        return out;
    }

    // Streamed in pieces of `chunk` bytes; the recipient is looked up in the party's store by
    // its CERT_ID, and decryption asked for as soon as the header is there.
    static Bytes StreamDecrypt(const Party& with, const Bytes& msg, size_t chunk, HRESULT* phr)
    {
        Bytes plain;
        *phr = S_OK;
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &plain};
        HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream);
        if (h == nullptr) {
            *phr = static_cast<HRESULT>(GetLastError());
            return {};
        }
        HCRYPTPROV prov = 0;
        DWORD keySpec = 0;
        bool decrypting = false;
        for (size_t at = 0; at < msg.size() && *phr == S_OK;) {
            const size_t n = std::min(chunk, msg.size() - at);
            const bool final = at + n == msg.size();
            if (!CryptMsgUpdate(h, msg.data() + at, static_cast<DWORD>(n), final)) {
                *phr = static_cast<HRESULT>(GetLastError());
                break;
            }
            at += n;
            if (decrypting) continue;
            DWORD cb = 0;
            if (!CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cb)) {
                if (GetLastError() != static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY) || final)
                    *phr = static_cast<HRESULT>(GetLastError());
                continue;
            }
            cb = 0;
            if (!CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, 0, nullptr, &cb)) {
                *phr = static_cast<HRESULT>(GetLastError());
                break;
            }
            Bytes block(cb);
            CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, 0, block.data(), &cb);
            auto* info = reinterpret_cast<CMSG_CMS_RECIPIENT_INFO*>(block.data());
            PCCERT_CONTEXT found = CertFindCertificateInStore(with.store, kEnc, 0, CERT_FIND_CERT_ID,
                                                              &info->pKeyTrans->RecipientId, nullptr);
            if (found == nullptr) {
                *phr = static_cast<HRESULT>(GetLastError());
                break;
            }
            BOOL ok = CryptAcquireCertificatePrivateKey(found, 0, nullptr, &prov, &keySpec, nullptr);
            CertFreeCertificateContext(found);
            if (!ok) {
                *phr = static_cast<HRESULT>(GetLastError());
                break;
            }
            CMSG_CTRL_DECRYPT_PARA para{};
            para.cbSize = sizeof para;
            para.hCryptProv = prov;
            para.dwKeySpec = keySpec;
            if (!CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para)) {
                *phr = static_cast<HRESULT>(GetLastError());
                break;
            }
            decrypting = true;
        }
        if (prov != 0) CryptReleaseContext(prov, 0);
        CryptMsgClose(h);
        return plain;
    }

    // A message of our own making: one recipient by issuer and serial number (with the given
    // key transported), the content algorithm given whole, the ciphertext given.
    static Bytes Assemble(const Party& to, const Bytes& contentKey, const Bytes& algorithm, const Bytes& cipherText)
    {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(to.key, nullptr);
        EVP_PKEY_encrypt_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        size_t n = 0;
        EVP_PKEY_encrypt(ctx, nullptr, &n, contentKey.data(), contentKey.size());
        Bytes wrapped(n);
        EVP_PKEY_encrypt(ctx, wrapped.data(), &n, contentKey.data(), contentKey.size());
        wrapped.resize(n);
        EVP_PKEY_CTX_free(ctx);

        const CERT_INFO* info = to.cert->pCertInfo;
        Bytes ias(info->Issuer.pbData, info->Issuer.pbData + info->Issuer.cbData);
        Bytes serial(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData);
        std::reverse(serial.begin(), serial.end());
        der::Append(ias, der::Tlv(0x02, serial));
        Bytes ri = {0x02, 0x01, 0x00};
        der::Append(ri, der::Tlv(0x30, ias));
        der::Append(ri, Bytes{0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00});
        der::Append(ri, der::Tlv(0x04, wrapped));
        Bytes eci = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
        der::Append(eci, algorithm);
        der::Append(eci, der::Tlv(0x80, cipherText));
        Bytes ed = {0x02, 0x01, 0x00};
        der::Append(ed, der::Tlv(0x31, der::Tlv(0x30, ri)));
        der::Append(ed, der::Tlv(0x30, eci));
        Bytes outer = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
        der::Append(outer, der::Tlv(0xA0, der::Tlv(0x30, ed)));
        return der::Tlv(0x30, outer);
    }

    static Bytes CbcEncrypt(const char* name, const Bytes& key, const Bytes& iv, const Bytes& data, size_t rc2Bits = 0)
    {
        EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex2(c, cipher, nullptr, nullptr, nullptr);
        EVP_CIPHER_CTX_set_key_length(c, static_cast<int>(key.size()));
        if (rc2Bits != 0) EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_SET_RC2_KEY_BITS, static_cast<int>(rc2Bits), nullptr);
        EVP_EncryptInit_ex2(c, nullptr, key.data(), iv.data(), nullptr);
        Bytes out(data.size() + 32);
        int a = 0, b = 0;
        EVP_EncryptUpdate(c, out.data(), &a, data.data(), static_cast<int>(data.size()));
        EVP_EncryptFinal_ex(c, out.data() + a, &b);
        out.resize(static_cast<size_t>(a + b));
        EVP_CIPHER_CTX_free(c);
        EVP_CIPHER_free(cipher);
        return out;
    }

    std::deque<Party> m_parties;
    OSSL_PROVIDER* m_legacy = nullptr;
    OSSL_PROVIDER* m_default = nullptr;
};

Bytes Content(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>((i * 7) ^ (i >> 5));
    return b;
}

TEST_F(EnvelopeCiphers, EveryCipherBothRecipientFormsInOneCallAndStreamed)
{
    Party& alice = Make(0, true);
    // Around the block sizes, and more than one 64 KiB piece of the decrypter.
    for (size_t size : {size_t(0), size_t(1), size_t(15), size_t(16), size_t(17), size_t(70000)}) {
        const Bytes data = Content(size);
        for (const Cipher& c : kCiphers) {
            for (unsigned flags : {0u, unsigned(CMS_USE_KEYID), unsigned(CMS_STREAM | CMS_USE_KEYID)}) {
                SCOPED_TRACE(std::string(c.name) + " flags " + std::to_string(flags) + " size " + std::to_string(size));
                const Bytes msg = OpenSslEncrypt(alice, c.name, data, flags);
                ASSERT_FALSE(msg.empty());
                HRESULT hr = E_FAIL;
                EXPECT_EQ(Decrypt(alice.store, msg, &hr), data);
                EXPECT_EQ(hr, S_OK) << std::hex << hr;
                // In one piece, and in small pieces that split the header and every block.
                for (size_t chunk : {msg.size(), size > 20 ? size_t(4096) : size_t(7)}) {
                    EXPECT_EQ(StreamDecrypt(alice, msg, chunk, &hr), data) << chunk;
                    EXPECT_EQ(hr, S_OK) << std::hex << hr;
                }
            }
        }
    }
}

TEST_F(EnvelopeCiphers, AlgorithmParametersAreReadAsWindowsWritesThem)
{
    Party& alice = Make(0, true);
    const Bytes data = Content(100);
    const Bytes aesOid = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2A};
    const Bytes rc2Oid = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x02};
    Bytes key32(32), key16(16), key5(5), iv16(16), iv8(8);
    for (Bytes* b : {&key32, &key16, &key5, &iv16, &iv8}) RAND_bytes(b->data(), static_cast<int>(b->size()));
    HRESULT hr = E_FAIL;

    auto alg = [](const Bytes& oid, const Bytes& params) {
        Bytes content = oid;
        der::Append(content, params);
        return der::Tlv(0x30, content);
    };

    // AES-256 with its IV.
    const Bytes aesCt = CbcEncrypt("AES-256-CBC", key32, iv16, data);
    EXPECT_EQ(Decrypt(alice.store, Assemble(alice, key32, alg(aesOid, der::Tlv(0x04, iv16)), aesCt), &hr), data);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    // An IV of the wrong length, or none at all, is refused rather than guessed at.
    Bytes shortIv(iv16.begin(), iv16.begin() + 8);
    Decrypt(alice.store, Assemble(alice, key32, alg(aesOid, der::Tlv(0x04, shortIv)), aesCt), &hr);
    EXPECT_EQ(hr, NTE_BAD_DATA);
    Decrypt(alice.store, Assemble(alice, key32, alg(aesOid, {}), aesCt), &hr);
    EXPECT_EQ(hr, CRYPT_E_ASN1_EOD);
    // A key of another length than the cipher's is not padded or cut.
    Decrypt(alice.store, Assemble(alice, key16, alg(aesOid, der::Tlv(0x04, iv16)), aesCt), &hr);
    EXPECT_EQ(hr, NTE_BAD_KEY);
    // A wrong IV decrypts to other bytes or fails its padding; never the content.
    Bytes otherIv = iv16;
    otherIv[0] ^= 1;
    EXPECT_NE(Decrypt(alice.store, Assemble(alice, key32, alg(aesOid, der::Tlv(0x04, otherIv)), aesCt), &hr), data);
    // A damaged last block fails the padding check.
    Bytes damaged = aesCt;
    damaged.back() ^= 0x5A;
    Decrypt(alice.store, Assemble(alice, key32, alg(aesOid, der::Tlv(0x04, iv16)), damaged), &hr);
    EXPECT_EQ(hr, NTE_BAD_DATA);

    // RC2: the version names the effective key bits (160: 40 bits, 58: 128 bits, 256 on: the
    // count itself); a bare IV means the key's own length.
    auto rc2Params = [&](int version) {
        Bytes seq;
        if (version >= 0) {
            if (version < 128)
                seq = {0x02, 0x01, static_cast<BYTE>(version)};
            else if (version < 0x8000)
                seq = {0x02, 0x02, static_cast<BYTE>(version >> 8), static_cast<BYTE>(version)};
        }
        der::Append(seq, der::Tlv(0x04, iv8));
        return der::Tlv(0x30, seq);
    };
    const Bytes ct40 = CbcEncrypt("RC2-CBC", key5, iv8, data, 40);
    EXPECT_EQ(Decrypt(alice.store, Assemble(alice, key5, alg(rc2Oid, rc2Params(160)), ct40), &hr), data);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    EXPECT_EQ(Decrypt(alice.store, Assemble(alice, key5, alg(rc2Oid, rc2Params(-1)), ct40), &hr), data);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    EXPECT_EQ(Decrypt(alice.store, Assemble(alice, key5, alg(rc2Oid, der::Tlv(0x04, iv8)), ct40), &hr), data);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    const Bytes ct128 = CbcEncrypt("RC2-CBC", key16, iv8, data, 128);
    EXPECT_EQ(Decrypt(alice.store, Assemble(alice, key16, alg(rc2Oid, rc2Params(58)), ct128), &hr), data);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    const Bytes ct300 = CbcEncrypt("RC2-CBC", key16, iv8, data, 300);
    EXPECT_EQ(Decrypt(alice.store, Assemble(alice, key16, alg(rc2Oid, rc2Params(300)), ct300), &hr), data);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    // The effective bits matter: the 128-bit ciphertext does not open as 40 bits.
    EXPECT_NE(Decrypt(alice.store, Assemble(alice, key16, alg(rc2Oid, rc2Params(160)), ct128), &hr), data);
    // A version that names no key size is refused.
    Decrypt(alice.store, Assemble(alice, key16, alg(rc2Oid, rc2Params(100)), ct128), &hr);
    EXPECT_EQ(hr, NTE_BAD_DATA);

    // AES in another mode (GCM) is still a cipher this layer does not know.
    const Bytes gcmOid = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2E};
    Decrypt(alice.store, Assemble(alice, key32, alg(gcmOid, der::Tlv(0x04, iv16)), aesCt), &hr);
    EXPECT_EQ(hr, CRYPT_E_UNKNOWN_ALGO);
}

TEST_F(EnvelopeCiphers, MessagesAreStillWrittenWithRc4And3DesOnly)
{
    Party& alice = Make(0, true);
    const Bytes data = Content(40);
    PCCERT_CONTEXT to[] = {alice.cert};
    for (const char* oid : {szOID_RSA_RC4, szOID_RSA_DES_EDE3_CBC}) {
        CRYPT_ENCRYPT_MESSAGE_PARA para{};
        para.cbSize = sizeof para;
        para.dwMsgEncodingType = kEnc;
        para.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(oid);
        DWORD cb = 0;
        ASSERT_TRUE(CryptEncryptMessage(&para, 1, to, data.data(), static_cast<DWORD>(data.size()), nullptr, &cb));
        Bytes msg(cb);
        ASSERT_TRUE(CryptEncryptMessage(&para, 1, to, data.data(), static_cast<DWORD>(data.size()), msg.data(), &cb));
        msg.resize(cb);
        HRESULT hr = E_FAIL;
        EXPECT_EQ(Decrypt(alice.store, msg, &hr), data) << oid;
    }
}

// A key identifier recipient whose certificate has no subject key identifier extension: the
// identifier is the SHA-1 of the certificate's public key bits, in the one-call decryption
// and in the store lookup the streamed decryption uses.
TEST_F(EnvelopeCiphers, ComputedKeyIdentifiersFindCertificatesWithoutTheExtension)
{
    Party& bare = Make(1, false);
    const CRYPT_BIT_BLOB& bits = bare.cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    Bytes computed(20);
    unsigned int len = 0;
    EVP_Digest(bits.pbData, bits.cbData, computed.data(), &len, EVP_sha1(), nullptr);

    // The same key in a certificate that carries the computed identifier as its extension:
    // OpenSSL addresses the recipient with it.
    Party& twin = Make(1, true, computed);
    const Bytes data = Content(3000);
    const Bytes msg = OpenSslEncrypt(twin, "AES-256-CBC", data, CMS_USE_KEYID);
    ASSERT_FALSE(msg.empty());
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Decrypt(bare.store, msg, &hr), data);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    EXPECT_EQ(StreamDecrypt(bare, msg, 500, &hr), data);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;

    CERT_ID id{};
    id.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
    id.KeyId = {static_cast<DWORD>(computed.size()), computed.data()};
    PCCERT_CONTEXT found = CertFindCertificateInStore(bare.store, kEnc, 0, CERT_FIND_CERT_ID, &id, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->cbCertEncoded, bare.der.size());
    CertFreeCertificateContext(found);

    // A certificate that has the extension is known by the extension's identifier alone.
    Party& other = Make(2, true, {0x01, 0x02, 0x03, 0x04});
    const CRYPT_BIT_BLOB& otherBits = other.cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    Bytes otherComputed(20);
    EVP_Digest(otherBits.pbData, otherBits.cbData, otherComputed.data(), &len, EVP_sha1(), nullptr);
    id.KeyId = {static_cast<DWORD>(otherComputed.size()), otherComputed.data()};
    SetLastError(0);
    EXPECT_EQ(CertFindCertificateInStore(other.store, kEnc, 0, CERT_FIND_CERT_ID, &id, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    BYTE ext[] = {0x01, 0x02, 0x03, 0x04};
    id.KeyId = {sizeof ext, ext};
    found = CertFindCertificateInStore(other.store, kEnc, 0, CERT_FIND_CERT_ID, &id, nullptr);
    EXPECT_NE(found, nullptr);
    CertFreeCertificateContext(found);
    // A prefix of the computed identifier is not it.
    id.KeyId = {19, computed.data()};
    EXPECT_EQ(CertFindCertificateInStore(bare.store, kEnc, 0, CERT_FIND_CERT_ID, &id, nullptr), nullptr);
}

}  // namespace
