// Key handles: generated key pairs, a container's keys, imported public keys and their export.
#include "advapi32/CryptObjects.h"
#include "advapi32/CryptKeyContainers.h"

#include "crypt32/LibContext.h"

#include <cstring>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace {

const DWORD kMinKeyBits = 512;  // the smallest RSA key OpenSSL 3 generates
const DWORD kMaxKeyBits = 16384;

DWORD SpecOfAlgId(ALG_ID algId)
{
    switch (algId) {
    case AT_KEYEXCHANGE:
    case CALG_RSA_KEYX: return AT_KEYEXCHANGE;
    case AT_SIGNATURE:
    case CALG_RSA_SIGN: return AT_SIGNATURE;
    default: return 0;
    }
}

ALG_ID AlgIdOfSpec(DWORD spec) { return spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX; }

BOOL HandOut(std::shared_ptr<CryptProvider> provider, EVP_PKEY* key, ALG_ID algId, HCRYPTKEY* phKey)
{
    auto object = std::make_shared<CryptKey>();
    object->Provider = std::move(provider);
    object->Key = key;  // takes the reference
    object->AlgId = algId;
    *phKey = NpkRegisterCryptObject(object);
    return TRUE;
}

// One DER element: tag, then its length; false with the ASN.1 code Windows' decoder reports.
HRESULT ReadElement(const BYTE*& p, const BYTE* end, BYTE tag, size_t& length)
{
    if (p >= end)
        return CRYPT_E_ASN1_EOD;
    if (*p != tag)
        return CRYPT_E_ASN1_BADTAG;
    ++p;
    if (p >= end)
        return CRYPT_E_ASN1_EOD;
    BYTE first = *p++;
    if (first < 0x80) {
        length = first;
    } else {
        size_t count = first & 0x7F;
        if (count == 0 || count > 4)
            return CRYPT_E_ASN1_CORRUPT;  // indefinite or oversized: not DER
        if (static_cast<size_t>(end - p) < count)
            return CRYPT_E_ASN1_EOD;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | *p++;
    }
    if (static_cast<size_t>(end - p) < length)
        return CRYPT_E_ASN1_EOD;
    return S_OK;
}

// Checks the RSAPublicKey structure (SEQUENCE of two INTEGERs) before OpenSSL sees it.
HRESULT CheckRsaPublicKey(const BYTE* data, size_t size)
{
    const BYTE* p = data;
    const BYTE* end = data + size;
    size_t length = 0;
    HRESULT hr = ReadElement(p, end, 0x30, length);
    if (FAILED(hr))
        return hr;
    const BYTE* seqEnd = p + length;
    if (seqEnd != end)
        return CRYPT_E_ASN1_CORRUPT;
    for (int i = 0; i < 2; ++i) {
        hr = ReadElement(p, seqEnd, 0x02, length);
        if (FAILED(hr))
            return hr;
        if (length == 0)
            return CRYPT_E_ASN1_CORRUPT;
        if ((p[0] & 0x80) != 0)
            return NTE_BAD_PUBLIC_KEY;  // a negative modulus or exponent
        p += length;
    }
    return p == seqEnd ? S_OK : CRYPT_E_ASN1_CORRUPT;
}

void PutLength(std::vector<BYTE>& out, size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<BYTE>(length));
        return;
    }
    BYTE bytes[sizeof(size_t)];
    int n = 0;
    for (size_t v = length; v != 0; v >>= 8)
        bytes[n++] = static_cast<BYTE>(v);
    out.push_back(static_cast<BYTE>(0x80 | n));
    while (n > 0)
        out.push_back(bytes[--n]);
}

// SubjectPublicKeyInfo DER for an RSA public key: the algorithm rsaEncryption with NULL
// parameters, and the key as the bit string.
std::vector<BYTE> BuildRsaSpki(const BYTE* key, size_t keySize)
{
    static const BYTE algorithm[] = {0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7,
                                     0x0d, 0x01, 0x01, 0x01, 0x05, 0x00};
    std::vector<BYTE> bitString;
    bitString.push_back(0x03);
    PutLength(bitString, keySize + 1);
    bitString.push_back(0x00);
    bitString.insert(bitString.end(), key, key + keySize);
    std::vector<BYTE> out;
    out.push_back(0x30);
    PutLength(out, sizeof algorithm + bitString.size());
    out.insert(out.end(), algorithm, algorithm + sizeof algorithm);
    out.insert(out.end(), bitString.begin(), bitString.end());
    return out;
}

} // namespace

extern "C" {

BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey)
{
    if (phKey == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phKey = 0;
    auto provider = NpkLookup<CryptProvider>(hProv, CryptObjectKind::Provider);
    if (provider == nullptr)
        return NpkFail(NTE_BAD_UID);
    DWORD spec = SpecOfAlgId(Algid);
    if (spec == 0)
        return NpkFail(NTE_BAD_ALGID);
    DWORD bits = dwFlags >> 16;
    if (bits == 0)
        bits = provider->Info->Type == PROV_RSA_FULL &&
                       lstrcmpW(provider->Info->WideName, MS_DEF_PROV_W) == 0
                   ? 512
                   : 1024;
    if (bits < kMinKeyBits || bits > kMaxKeyBits || bits % 8 != 0)
        return NpkFail(NTE_BAD_FLAGS);

    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(NpkLibContext(), "RSA", nullptr);
    bool ok = ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(bits)) == 1 &&
              EVP_PKEY_keygen(ctx, &key) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) {
        EVP_PKEY_free(key);
        return NpkFail(NTE_FAIL);
    }
    // The key replaces the container's key of that key spec (written through to the
    // container's file when it is persistent).
    DWORD error = NpkContainerSetKey(*provider->Container, spec, key);
    if (error != 0) {
        EVP_PKEY_free(key);
        return NpkFail(error);
    }
    return HandOut(provider, key, AlgIdOfSpec(spec), phKey);
}

BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey)
{
    if (phUserKey == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phUserKey = 0;
    auto provider = NpkLookup<CryptProvider>(hProv, CryptObjectKind::Provider);
    if (provider == nullptr)
        return NpkFail(NTE_BAD_UID);
    EVP_PKEY* key = NpkContainerGetKey(*provider->Container, dwKeySpec);
    if (key == nullptr)
        return NpkFail(NTE_NO_KEY);
    return HandOut(provider, key, AlgIdOfSpec(dwKeySpec), phUserKey);
}

BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                                     PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey)
{
    if (phKey == nullptr || pInfo == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phKey = 0;
    auto provider = NpkLookup<CryptProvider>(hCryptProv, CryptObjectKind::Provider);
    if (provider == nullptr)
        return NpkFail(NTE_BAD_UID);
    if ((GET_CERT_ENCODING_TYPE(dwCertEncodingType) & X509_ASN_ENCODING) == 0)
        return NpkFail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // no decoder for that encoding
    if (pInfo->Algorithm.pszObjId == nullptr ||
        std::strcmp(pInfo->Algorithm.pszObjId, szOID_RSA_RSA) != 0)
        return NpkFail(NTE_BAD_ALGID);
    if (pInfo->PublicKey.pbData == nullptr && pInfo->PublicKey.cbData != 0)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (pInfo->PublicKey.cUnusedBits != 0)
        return NpkFail(CRYPT_E_ASN1_CORRUPT);
    HRESULT hr = CheckRsaPublicKey(pInfo->PublicKey.pbData, pInfo->PublicKey.cbData);
    if (FAILED(hr))
        return NpkFail(hr);
    std::vector<BYTE> spki = BuildRsaSpki(pInfo->PublicKey.pbData, pInfo->PublicKey.cbData);
    const unsigned char* p = spki.data();
    EVP_PKEY* key = d2i_PUBKEY_ex(nullptr, &p, static_cast<long>(spki.size()), NpkLibContext(), nullptr);
    if (key == nullptr)
        return NpkFail(NTE_BAD_PUBLIC_KEY);
    return HandOut(provider, key, CALG_RSA_KEYX, phKey);
}

BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                           BYTE* pbData, DWORD* pdwDataLen)
{
    auto key = NpkLookup<CryptKey>(hKey, CryptObjectKind::Key);
    if (key == nullptr)
        return NpkFail(NTE_BAD_KEY);
    if (pdwDataLen == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwBlobType != PUBLICKEYBLOB)
        return NpkFail(NTE_BAD_TYPE);
    if (hExpKey != 0)
        return NpkFail(NTE_BAD_KEY);
    if (dwFlags != 0)
        return NpkFail(NTE_BAD_FLAGS);

    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    if (EVP_PKEY_get_bn_param(key->Key, OSSL_PKEY_PARAM_RSA_N, &n) != 1 ||
        EVP_PKEY_get_bn_param(key->Key, OSSL_PKEY_PARAM_RSA_E, &e) != 1 || BN_num_bits(e) > 32) {
        BN_free(n);
        BN_free(e);
        return NpkFail(NTE_BAD_KEY);
    }
    DWORD modulusBytes = static_cast<DWORD>(BN_num_bytes(n));
    DWORD size = static_cast<DWORD>(sizeof(PUBLICKEYSTRUC) + sizeof(RSAPUBKEY)) + modulusBytes;
    std::vector<BYTE> blob(size);
    PUBLICKEYSTRUC header = {PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, key->AlgId};
    RSAPUBKEY rsa = {0x31415352, static_cast<DWORD>(BN_num_bits(n)), static_cast<DWORD>(BN_get_word(e))};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, &rsa, sizeof rsa);
    // The modulus least significant byte first, as the blob format has it.
    BN_bn2lebinpad(n, blob.data() + sizeof header + sizeof rsa, static_cast<int>(modulusBytes));
    BN_free(n);
    BN_free(e);
    return NpkCopyOut(blob.data(), size, pbData, pdwDataLen);
}

BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                             DWORD dwFlags)
{
    auto key = NpkLookup<CryptKey>(hKey, CryptObjectKind::Key);
    if (key == nullptr)
        return NpkFail(NTE_BAD_KEY);
    if (dwFlags != 0)
        return NpkFail(NTE_BAD_FLAGS);
    DWORD value = 0;
    switch (dwParam) {
    case KP_ALGID: value = key->AlgId; break;
    case KP_KEYLEN:
    case KP_BLOCKLEN: value = static_cast<DWORD>(EVP_PKEY_get_bits(key->Key)); break;
    default: return NpkFail(NTE_BAD_TYPE);
    }
    return NpkCopyOut(&value, sizeof value, pbData, pdwDataLen);
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey)
{
    if (!NpkUnregisterCryptObject(hKey, CryptObjectKind::Key))
        return NpkFail(NTE_BAD_KEY);
    return TRUE;
}

} // extern "C"
