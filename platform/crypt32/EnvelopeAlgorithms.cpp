// Content keys and ciphers, key transport and recipient identifiers for enveloped messages.
#include "crypt32/EnvelopeAlgorithms.h"

#include "advapi32/CryptKeyContainers.h"
#include "advapi32/CryptObjects.h"
#include "crypt32/CertKeyLink.h"
#include "crypt32/CertObjects.h"
#include "crypt32/Der.h"
#include "crypt32/LibContext.h"
#include "pkcs11/TokenProvider.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/x509.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace npk::envelope {
namespace {

const size_t kRc4MaxKey = 16;
const size_t kRc4MinKey = 5;

// What each content cipher is called, how long its key and block are. keyLen 0: variable.
struct CipherSpec {
    ContentCipher cipher;
    BYTE oid[9];
    size_t oidLen;
    const char* name;  // OpenSSL's
    size_t keyLen;
    size_t block;      // 0 for the stream cipher
};

const CipherSpec kCiphers[] = {
    {ContentCipher::Rc4, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04}, 8, "RC4", 0, 0},
    {ContentCipher::Des3Cbc, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07}, 8, "DES-EDE3-CBC", 24, 8},
    {ContentCipher::DesCbc, {0x2B, 0x0E, 0x03, 0x02, 0x07}, 5, "DES-CBC", 8, 8},
    {ContentCipher::Rc2Cbc, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x02}, 8, "RC2-CBC", 0, 8},
    {ContentCipher::Aes128Cbc, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x02}, 9, "AES-128-CBC", 16, 16},
    {ContentCipher::Aes192Cbc, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x16}, 9, "AES-192-CBC", 24, 16},
    {ContentCipher::Aes256Cbc, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2A}, 9, "AES-256-CBC", 32, 16},
};

const CipherSpec& SpecOf(ContentCipher cipher)
{
    for (const CipherSpec& spec : kCiphers)
        if (spec.cipher == cipher) return spec;
    return kCiphers[0];
}

const CipherSpec* SpecOfOid(const BYTE* oid, size_t oidLen)
{
    for (const CipherSpec& spec : kCiphers)
        if (spec.oidLen == oidLen && std::memcmp(spec.oid, oid, oidLen) == 0) return &spec;
    return nullptr;
}

// RC2CBCParameter's version stands for the effective key bits: three small values have names
// of their own, and from 256 on the version is the bit count itself.
bool Rc2BitsFromVersion(uint32_t version, size_t* bits)
{
    switch (version) {
    case 160: *bits = 40; return true;
    case 120: *bits = 64; return true;
    case 58: *bits = 128; return true;
    default:
        if (version < 256 || version > 1024) return false;
        *bits = version;
        return true;
    }
}

uint32_t Rc2VersionFromBits(size_t bits)
{
    switch (bits) {
    case 40: return 160;
    case 64: return 120;
    case 128: return 58;
    default: return static_cast<uint32_t>(bits);
    }
}

// DES keys carry odd parity in the low bit of every byte.
void SetOddParity(Bytes& key)
{
    for (BYTE& b : key) {
        BYTE v = static_cast<BYTE>(b & 0xFE);
        int ones = 0;
        for (BYTE x = v; x != 0; x = static_cast<BYTE>(x >> 1)) ones += x & 1;
        b = static_cast<BYTE>(v | ((ones & 1) == 0 ? 1 : 0));
    }
}

bool RandomBytes(Bytes& out, size_t n)
{
    out.assign(n, 0);
    return RAND_bytes_ex(NpkLibContext(), out.data(), n, 0) == 1;
}

// An INTEGER's content as an unsigned 32-bit value; false when negative or larger.
bool SmallUnsigned(const der::Element& e, uint32_t* value)
{
    if (e.contentLen == 0 || (e.content[0] & 0x80) != 0) return false;
    size_t i = 0;
    while (i + 1 < e.contentLen && e.content[i] == 0) ++i;
    if (e.contentLen - i > 4) return false;
    uint32_t v = 0;
    for (; i < e.contentLen; ++i) v = (v << 8) | e.content[i];
    *value = v;
    return true;
}

// An IV given as one OCTET STRING of exactly one block.
HRESULT ReadIv(const BYTE* params, size_t paramsLen, size_t block, Bytes& iv)
{
    der::Element e;
    HRESULT hr = der::ReadWhole(params, paramsLen, 0x04, e);
    if (FAILED(hr)) return hr;
    if (e.contentLen != block) return NTE_BAD_DATA;
    iv.assign(e.content, e.content + e.contentLen);
    return S_OK;
}

// RC2CBCParameter ::= SEQUENCE { rc2ParameterVersion INTEGER OPTIONAL, iv OCTET STRING (8) },
// or the IV alone as some writers give it; without a version the key's length counts.
HRESULT ReadRc2Parameters(const BYTE* params, size_t paramsLen, ContentAlgorithm& out)
{
    if (params[0] == 0x04) return ReadIv(params, paramsLen, 8, out.parameter);
    der::Element seq;
    HRESULT hr = der::ReadWhole(params, paramsLen, 0x30, seq);
    if (FAILED(hr)) return hr;
    der::Reader r(seq.content, seq.contentLen);
    der::Element e;
    hr = r.Next(e);
    if (FAILED(hr)) return hr;
    if (e.tag == 0x02) {
        uint32_t version = 0;
        if (!SmallUnsigned(e, &version) || !Rc2BitsFromVersion(version, &out.rc2Bits)) return NTE_BAD_DATA;
        hr = r.Next(e);
        if (FAILED(hr)) return hr;
    }
    if (e.tag != 0x04) return CRYPT_E_ASN1_BADTAG;
    if (!r.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
    return ReadIv(e.header, e.totalLen, 8, out.parameter);
}

}  // namespace

ContentKey::~ContentKey()
{
    if (!key.empty()) OPENSSL_cleanse(key.data(), key.size());
}

HRESULT ContentCipherFromOid(LPCSTR pszOid, ContentCipher* cipher)
{
    if (pszOid == nullptr) return CRYPT_E_UNKNOWN_ALGO;
    if (std::strcmp(pszOid, szOID_RSA_RC4) == 0) {
        *cipher = ContentCipher::Rc4;
        return S_OK;
    }
    if (std::strcmp(pszOid, szOID_RSA_DES_EDE3_CBC) == 0) {
        *cipher = ContentCipher::Des3Cbc;
        return S_OK;
    }
    return CRYPT_E_UNKNOWN_ALGO;
}

HRESULT NewContentKey(ContentCipher cipher, ContentKey& out)
{
    const CipherSpec& spec = SpecOf(cipher);
    out.cipher = cipher;
    out.iv.clear();
    out.rc2Bits = 0;
    const size_t keyLen = spec.keyLen != 0 ? spec.keyLen : kRc4MaxKey;
    if (!RandomBytes(out.key, keyLen)) return NTE_FAIL;
    if (spec.block != 0 && !RandomBytes(out.iv, spec.block)) return NTE_FAIL;
    if (cipher == ContentCipher::Des3Cbc || cipher == ContentCipher::DesCbc) SetOddParity(out.key);
    return S_OK;
}

Bytes EncodeContentAlgorithm(const ContentKey& key)
{
    const CipherSpec& spec = SpecOf(key.cipher);
    Bytes content = der::Tlv(0x06, spec.oid, spec.oidLen);
    if (key.cipher == ContentCipher::Rc4) {
        // No salt with a 128-bit key: the salt's OCTET STRING is empty.
        der::Append(content, der::Tlv(0x04, nullptr, 0));
    } else if (key.cipher == ContentCipher::Rc2Cbc) {
        const uint32_t version = Rc2VersionFromBits(key.rc2Bits != 0 ? key.rc2Bits : key.key.size() * 8);
        const BYTE be[] = {static_cast<BYTE>(version >> 24), static_cast<BYTE>(version >> 16),
                           static_cast<BYTE>(version >> 8), static_cast<BYTE>(version)};
        Bytes parameter = der::Tlv(0x02, der::UnsignedContent(be, sizeof be));
        der::Append(parameter, der::Tlv(0x04, key.iv));
        der::Append(content, der::Tlv(0x30, parameter));
    } else {
        der::Append(content, der::Tlv(0x04, key.iv));
    }
    return der::Tlv(0x30, content);
}

HRESULT DecodeContentAlgorithm(const BYTE* oid, size_t oidLen, const BYTE* params, size_t paramsLen,
                               bool hasParams, ContentAlgorithm& out)
{
    out.parameter.clear();
    out.rc2Bits = 0;
    const CipherSpec* spec = SpecOfOid(oid, oidLen);
    if (spec == nullptr) return CRYPT_E_UNKNOWN_ALGO;
    out.cipher = spec->cipher;
    if (spec->cipher == ContentCipher::Rc4) {
        if (!hasParams) return S_OK;
        if (params[0] == 0x05) return paramsLen == 2 && params[1] == 0 ? S_OK : CRYPT_E_ASN1_CORRUPT;
        der::Element e;
        HRESULT hr = der::ReadWhole(params, paramsLen, 0x04, e);
        if (FAILED(hr)) return hr;
        if (e.contentLen > kRc4MaxKey - kRc4MinKey) return NTE_BAD_DATA;  // salt longer than a key
        out.parameter.assign(e.content, e.content + e.contentLen);
        return S_OK;
    }
    if (!hasParams || paramsLen == 0) return CRYPT_E_ASN1_EOD;  // no IV, nothing to decrypt with
    if (spec->cipher == ContentCipher::Rc2Cbc) return ReadRc2Parameters(params, paramsLen, out);
    return ReadIv(params, paramsLen, spec->block, out.parameter);
}

HRESULT ContentKeyFromUnwrapped(const ContentAlgorithm& algorithm, const Bytes& unwrapped, ContentKey& out)
{
    const CipherSpec& spec = SpecOf(algorithm.cipher);
    out.cipher = algorithm.cipher;
    out.iv.clear();
    out.rc2Bits = 0;
    if (algorithm.cipher == ContentCipher::Rc4) {
        size_t total = unwrapped.size() + algorithm.parameter.size();
        if (unwrapped.size() < kRc4MinKey || total > kRc4MaxKey) return NTE_BAD_KEY;
        out.key = unwrapped;
        der::Append(out.key, algorithm.parameter);
        return S_OK;
    }
    if (spec.keyLen != 0 ? unwrapped.size() != spec.keyLen
                         : unwrapped.size() < kRc4MinKey || unwrapped.size() > kRc4MaxKey)
        return NTE_BAD_KEY;
    out.key = unwrapped;
    out.iv = algorithm.parameter;
    out.rc2Bits = algorithm.rc2Bits;
    return S_OK;
}

ContentCrypter::~ContentCrypter()
{
    EVP_CIPHER_CTX_free(m_ctx);
}

HRESULT ContentCrypter::Init(const ContentKey& key, bool encrypt)
{
    const CipherSpec& spec = SpecOf(key.cipher);
    EVP_CIPHER_CTX_free(m_ctx);
    m_ctx = EVP_CIPHER_CTX_new();
    if (m_ctx == nullptr) return E_OUTOFMEMORY;
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(NpkLibContext(), spec.name, nullptr);
    if (cipher == nullptr) return NTE_BAD_ALGID;  // RC4, RC2, DES without the legacy provider
    const int enc = encrypt ? 1 : 0;
    bool ok = EVP_CipherInit_ex2(m_ctx, cipher, nullptr, nullptr, enc, nullptr) == 1;
    EVP_CIPHER_free(cipher);
    if (ok && EVP_CIPHER_CTX_get_key_length(m_ctx) != static_cast<int>(key.key.size()))
        ok = EVP_CIPHER_CTX_set_key_length(m_ctx, static_cast<int>(key.key.size())) == 1;
    if (ok && spec.block != 0 && key.iv.size() != spec.block) ok = false;
    if (ok && spec.keyLen != 0 && key.key.size() != spec.keyLen) ok = false;
    if (ok && key.cipher == ContentCipher::Rc2Cbc) {
        size_t bits = key.rc2Bits != 0 ? key.rc2Bits : key.key.size() * 8;
        OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_RC2_KEYBITS, &bits), OSSL_PARAM_END};
        ok = EVP_CIPHER_CTX_set_params(m_ctx, params) == 1;
    }
    if (ok)
        ok = EVP_CipherInit_ex2(m_ctx, nullptr, key.key.data(), key.iv.empty() ? nullptr : key.iv.data(), enc,
                                nullptr) == 1;
    if (!ok) {
        EVP_CIPHER_CTX_free(m_ctx);
        m_ctx = nullptr;
        return NTE_BAD_KEY;
    }
    return S_OK;
}

HRESULT ContentCrypter::Update(const BYTE* data, size_t len, Bytes& out)
{
    if (m_ctx == nullptr) return E_UNEXPECTED;
    // Pieces that stay in the cache: each is grown (zero-filled) and written while still hot, and
    // EVP's int lengths are never exceeded.
    const size_t kPiece = 64u << 10;
    while (len > 0) {
        size_t n = len < kPiece ? len : kPiece;
        size_t at = out.size();
        out.resize(at + n + EVP_MAX_BLOCK_LENGTH);
        int written = 0;
        if (EVP_CipherUpdate(m_ctx, out.data() + at, &written, data, static_cast<int>(n)) != 1) {
            out.resize(at);
            return NTE_BAD_DATA;
        }
        out.resize(at + static_cast<size_t>(written));
        data += n;
        len -= n;
    }
    return S_OK;
}

HRESULT ContentCrypter::Final(Bytes& out)
{
    if (m_ctx == nullptr) return E_UNEXPECTED;
    size_t at = out.size();
    out.resize(at + EVP_MAX_BLOCK_LENGTH);
    int written = 0;
    if (EVP_CipherFinal_ex(m_ctx, out.data() + at, &written) != 1) {
        out.resize(at);
        return NTE_BAD_DATA;
    }
    out.resize(at + static_cast<size_t>(written));
    return S_OK;
}

size_t ContentCrypter::EncryptedSize(ContentCipher cipher, size_t len)
{
    const size_t block = SpecOf(cipher).block;
    if (block == 0) return len;
    return (len / block + 1) * block;
}

size_t WrappedKeySize(EVP_PKEY* recipientPublicKey)
{
    if (recipientPublicKey == nullptr || !EVP_PKEY_is_a(recipientPublicKey, "RSA")) return 0;
    int n = EVP_PKEY_get_size(recipientPublicKey);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

HRESULT WrapContentKey(EVP_PKEY* recipientPublicKey, const Bytes& key, Bytes& out)
{
    if (WrappedKeySize(recipientPublicKey) == 0) return CRYPT_E_UNKNOWN_ALGO;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(NpkLibContext(), recipientPublicKey, nullptr);
    if (ctx == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = NTE_BAD_KEY;
    size_t n = 0;
    if (EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_encrypt(ctx, nullptr, &n, key.data(), key.size()) == 1) {
        out.assign(n, 0);
        if (EVP_PKEY_encrypt(ctx, out.data(), &n, key.data(), key.size()) == 1) {
            out.resize(n);
            hr = S_OK;
        }
    }
    EVP_PKEY_CTX_free(ctx);
    return hr;
}

HRESULT UnwrapContentKey(EVP_PKEY* privateKey, const BYTE* encrypted, size_t len, Bytes& out)
{
    if (privateKey == nullptr || !EVP_PKEY_is_a(privateKey, "RSA")) return CRYPT_E_UNKNOWN_ALGO;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(NpkLibContext(), privateKey, nullptr);
    if (ctx == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = NTE_BAD_DATA;
    size_t n = 0;
    if (EVP_PKEY_decrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_decrypt(ctx, nullptr, &n, encrypted, len) == 1) {
        out.assign(n, 0);
        if (EVP_PKEY_decrypt(ctx, out.data(), &n, encrypted, len) == 1) {
            out.resize(n);
            hr = S_OK;
        } else {
            OPENSSL_cleanse(out.data(), out.size());
            out.clear();
        }
    }
    EVP_PKEY_CTX_free(ctx);
    // A token key says why it failed (PIN, cancel, removal).
    if (FAILED(hr)) hr = static_cast<HRESULT>(NpkTakeTokenError(static_cast<DWORD>(hr)));
    return hr;
}

Bytes IssuerAndSerialOf(PCCERT_CONTEXT pCert)
{
    const CERT_INFO* info = pCert->pCertInfo;
    Bytes serial(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData);
    // CERT_INFO keeps the INTEGER's content least significant byte first.
    Bytes msbFirst(serial.rbegin(), serial.rend());
    if (msbFirst.empty()) msbFirst.push_back(0);
    Bytes content(info->Issuer.pbData, info->Issuer.pbData + info->Issuer.cbData);
    der::Append(content, der::Tlv(0x02, msbFirst));
    return der::Tlv(0x30, content);
}

bool SubjectKeyIdOf(PCCERT_CONTEXT pCert, Bytes& keyId)
{
    const CERT_INFO* info = pCert->pCertInfo;
    for (DWORD i = 0; i < info->cExtension; ++i) {
        const CERT_EXTENSION& ext = info->rgExtension[i];
        if (ext.pszObjId == nullptr || std::strcmp(ext.pszObjId, szOID_SUBJECT_KEY_IDENTIFIER) != 0) continue;
        der::Element e;
        if (FAILED(der::ReadWhole(ext.Value.pbData, ext.Value.cbData, 0x04, e))) return false;
        keyId.assign(e.content, e.content + e.contentLen);
        return true;
    }
    return false;
}

bool ComputedKeyIdOf(PCCERT_CONTEXT pCert, Bytes& keyId)
{
    const CRYPT_BIT_BLOB& bits = pCert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    BYTE digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!npk::crypt32::DigestBytes("SHA1", bits.pbData, bits.cbData, digest, &len)) return false;
    keyId.assign(digest, digest + len);
    return true;
}

EVP_PKEY* CertificatePrivateKey(PCCERT_CONTEXT pCert)
{
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
        return nullptr;
    }
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[cb]);
    if (!block) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, block.get(), &cb)) return nullptr;
    const CRYPT_KEY_PROV_INFO* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.get());
    if (info->pwszContainerName == nullptr) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
        return nullptr;
    }
    const bool machine = (info->dwFlags & CRYPT_MACHINE_KEYSET) != 0;
    EVP_PKEY* priv = NpkFindKeyInContainer(info->pwszContainerName, info->dwKeySpec, machine);
    if (priv == nullptr) return nullptr;
    // A container holding some other key must not open messages meant for this certificate.
    EVP_PKEY* pub = NpkCertificatePublicKey(pCert);
    const bool same = pub != nullptr && EVP_PKEY_eq(pub, priv) == 1;
    EVP_PKEY_free(pub);
    if (!same) {
        EVP_PKEY_free(priv);
        SetLastError(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
        return nullptr;
    }
    return priv;
}

EVP_PKEY* ProviderPrivateKey(HCRYPTPROV hProv, DWORD keySpec)
{
    auto provider = NpkLookup<CryptProvider>(hProv, CryptObjectKind::Provider);
    if (!provider || !provider->Container) {
        SetLastError(static_cast<DWORD>(NTE_BAD_UID));
        return nullptr;
    }
    EVP_PKEY* key = NpkContainerGetKey(*provider->Container, keySpec);
    if (key == nullptr) SetLastError(static_cast<DWORD>(NTE_NO_KEY));
    return key;
}

Bytes IssuerAndSerialOf(const CERT_NAME_BLOB& issuer, const CRYPT_INTEGER_BLOB& serialLsbFirst)
{
    Bytes msbFirst;
    for (DWORD i = serialLsbFirst.cbData; i > 0; --i) msbFirst.push_back(serialLsbFirst.pbData[i - 1]);
    if (msbFirst.empty()) msbFirst.push_back(0);
    Bytes content;
    if (issuer.cbData != 0) content.assign(issuer.pbData, issuer.pbData + issuer.cbData);
    der::Append(content, der::Tlv(0x02, msbFirst));
    return der::Tlv(0x30, content);
}

namespace {

EVP_PKEY* PublicKeyFromSpki(const Bytes& spki)
{
    const unsigned char* p = spki.data();
    return d2i_PUBKEY_ex(nullptr, &p, static_cast<long>(spki.size()), NpkLibContext(), nullptr);
}

Bytes SpkiOf(const Bytes& algorithm, const CRYPT_BIT_BLOB& bits)
{
    Bytes bitString(1, static_cast<BYTE>(bits.cUnusedBits & 7));
    if (bits.cbData != 0) bitString.insert(bitString.end(), bits.pbData, bits.pbData + bits.cbData);
    Bytes content = algorithm;
    der::Append(content, der::Tlv(0x03, bitString));
    return der::Tlv(0x30, content);
}

}  // namespace

EVP_PKEY* PublicKeyFromInfo(const CERT_PUBLIC_KEY_INFO& info)
{
    Bytes oid;
    if (!der::OidFromText(info.Algorithm.pszObjId, oid)) return nullptr;
    Bytes algorithm = der::Tlv(0x06, oid);
    if (info.Algorithm.Parameters.cbData != 0)
        algorithm.insert(algorithm.end(), info.Algorithm.Parameters.pbData,
                         info.Algorithm.Parameters.pbData + info.Algorithm.Parameters.cbData);
    return PublicKeyFromSpki(SpkiOf(der::Tlv(0x30, algorithm), info.PublicKey));
}

EVP_PKEY* RsaPublicKeyFromBits(const CRYPT_BIT_BLOB& bits)
{
    static const BYTE kRsa[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    if (bits.cbData == 0 || bits.pbData == nullptr) return nullptr;
    return PublicKeyFromSpki(SpkiOf(Bytes(kRsa, kRsa + sizeof kRsa), bits));
}

}  // namespace npk::envelope
