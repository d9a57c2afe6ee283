// Hash objects: MD5 and SHA-1 in every provider, SHA-2 only in the RSA/AES providers,
// as the Windows providers of type PROV_RSA_FULL refuse them; the smart-card provider, of that
// type too, hashes them as Windows' does.
#include "advapi32/CryptObjects.h"

#include "crypt32/LibContext.h"
#include "pkcs11/TokenProvider.h"

#include <cstring>

namespace {

bool ProviderOffers(const CryptProvider& provider, ALG_ID algId)
{
    switch (algId) {
    case CALG_MD5:
    case CALG_SHA1:
        return true;
    case CALG_SHA_256:
    case CALG_SHA_384:
    case CALG_SHA_512:
        return provider.Info->Type == PROV_RSA_AES || NpkIsTokenProvider(provider.Info);
    default:
        return false;
    }
}

} // namespace

CryptHash::~CryptHash()
{
    EVP_MD_CTX_free(Ctx);
    EVP_MD_free(Md);
}

bool CryptHash::FinishLocked()
{
    if (Finished)
        return true;
    if (EVP_DigestFinal_ex(Ctx, Value, &ValueSize) != 1)
        return NpkFail(NTE_FAIL);
    Finished = true;
    return true;
}

extern "C" {

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH* phHash)
{
    if (phHash == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phHash = 0;
    auto provider = NpkLookup<CryptProvider>(hProv, CryptObjectKind::Provider);
    if (provider == nullptr)
        return NpkFail(NTE_BAD_UID);
    if ((dwFlags & ~(DWORD)CRYPT_SECRETDIGEST) != 0)
        return NpkFail(NTE_BAD_FLAGS);
    if (!ProviderOffers(*provider, Algid))
        return NpkFail(NTE_BAD_ALGID);
    // These hashes take no key; only MACs do.
    if (hKey != 0)
        return NpkFail(NTE_BAD_KEY);

    auto hash = std::make_shared<CryptHash>();
    hash->Provider = provider;
    hash->AlgId = Algid;
    hash->Md = NpkFetchDigest(Algid);
    hash->Ctx = EVP_MD_CTX_new();
    if (hash->Md == nullptr)
        return NpkFail(NTE_BAD_ALGID);
    if (hash->Ctx == nullptr)
        return NpkFail(NTE_NO_MEMORY);
    if (EVP_DigestInit_ex(hash->Ctx, hash->Md, nullptr) != 1)
        return NpkFail(NTE_FAIL);
    *phHash = NpkRegisterCryptObject(hash);
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags)
{
    auto hash = NpkLookup<CryptHash>(hHash, CryptObjectKind::Hash);
    if (hash == nullptr)
        return NpkFail(NTE_BAD_HASH);
    const DWORD CRYPT_USERDATA = 1;
    if ((dwFlags & ~CRYPT_USERDATA) != 0)
        return NpkFail(NTE_BAD_FLAGS);
    if (pbData == nullptr && dwDataLen != 0)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::lock_guard<std::mutex> guard(hash->Lock);
    if (hash->Finished)
        return NpkFail(NTE_BAD_HASH_STATE);
    if (dwDataLen != 0 && EVP_DigestUpdate(hash->Ctx, pbData, dwDataLen) != 1)
        return NpkFail(NTE_FAIL);
    return TRUE;
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags)
{
    auto hash = NpkLookup<CryptHash>(hHash, CryptObjectKind::Hash);
    if (hash == nullptr)
        return NpkFail(NTE_BAD_HASH);
    if (dwFlags != 0)
        return NpkFail(NTE_BAD_FLAGS);
    if (pdwDataLen == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::lock_guard<std::mutex> guard(hash->Lock);
    switch (dwParam) {
    case HP_ALGID: {
        DWORD value = hash->AlgId;
        return NpkCopyOut(&value, sizeof value, pbData, pdwDataLen);
    }
    case HP_HASHSIZE: {
        DWORD value = static_cast<DWORD>(EVP_MD_get_size(hash->Md));
        return NpkCopyOut(&value, sizeof value, pbData, pdwDataLen);
    }
    case HP_HASHVAL: {
        DWORD size = static_cast<DWORD>(EVP_MD_get_size(hash->Md));
        // Asking for the size leaves the hash open; reading the value closes it.
        if (pbData == nullptr || *pdwDataLen < size)
            return NpkCopyOut(nullptr, size, pbData, pdwDataLen);
        if (!hash->FinishLocked())
            return FALSE;
        return NpkCopyOut(hash->Value, hash->ValueSize, pbData, pdwDataLen);
    }
    default:
        return NpkFail(NTE_BAD_TYPE);
    }
}

BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags)
{
    auto hash = NpkLookup<CryptHash>(hHash, CryptObjectKind::Hash);
    if (hash == nullptr)
        return NpkFail(NTE_BAD_HASH);
    if (dwFlags != 0)
        return NpkFail(NTE_BAD_FLAGS);
    if (dwParam != HP_HASHVAL)
        return NpkFail(NTE_BAD_TYPE);
    if (pbData == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::lock_guard<std::mutex> guard(hash->Lock);
    // The caller supplies a whole digest (the call has no length: it is the hash's size);
    // the hash is then finished and can be signed or verified.
    hash->ValueSize = static_cast<unsigned int>(EVP_MD_get_size(hash->Md));
    std::memcpy(hash->Value, pbData, hash->ValueSize);
    hash->Finished = true;
    return TRUE;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash)
{
    if (!NpkUnregisterCryptObject(hHash, CryptObjectKind::Hash))
        return NpkFail(NTE_BAD_HASH);
    return TRUE;
}

} // extern "C"
