// PKCS#1 v1.5 signatures over a hash object. The CryptoAPI writes and reads signatures
// least significant byte first, the reverse of PKCS#1's order.
#include "advapi32/CryptObjects.h"
#include "advapi32/CryptKeyContainers.h"

#include "crypt32/LibContext.h"
#include "pkcs11/TokenProvider.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <openssl/rsa.h>

namespace {

// A signing or verifying context for the key with PKCS#1 v1.5 padding; with a digest the
// DigestInfo of that digest is what gets padded, without one the bare value is.
EVP_PKEY_CTX* PrepareContext(EVP_PKEY* key, const EVP_MD* md, bool sign)
{
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(NpkLibContext(), key, nullptr);
    if (ctx == nullptr)
        return nullptr;
    bool ok = (sign ? EVP_PKEY_sign_init(ctx) : EVP_PKEY_verify_init(ctx)) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              (md == nullptr || EVP_PKEY_CTX_set_signature_md(ctx, md) == 1);
    if (!ok) {
        EVP_PKEY_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

} // namespace

extern "C" {

BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                           BYTE* pbSignature, DWORD* pdwSigLen)
{
    auto hash = NpkLookup<CryptHash>(hHash, CryptObjectKind::Hash);
    if (hash == nullptr)
        return NpkFail(NTE_BAD_HASH);
    if (pdwSigLen == nullptr)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if ((dwFlags & ~(DWORD)CRYPT_NOHASHOID) != 0)
        return NpkFail(NTE_BAD_FLAGS);
    // The description is obsolete; Windows ignores it too.
    EVP_PKEY* key = NpkContainerGetKey(*hash->Provider->Container, dwKeySpec);
    if (key == nullptr)
        return NpkFail(NTE_NO_KEY);
    DWORD size = static_cast<DWORD>(EVP_PKEY_get_size(key));
    if (pbSignature == nullptr || *pdwSigLen < size) {
        EVP_PKEY_free(key);
        return NpkCopyOut(nullptr, size, pbSignature, pdwSigLen);
    }

    std::lock_guard<std::mutex> guard(hash->Lock);
    if (!hash->FinishLocked()) {
        EVP_PKEY_free(key);
        return FALSE;
    }
    const EVP_MD* md = (dwFlags & CRYPT_NOHASHOID) != 0 ? nullptr : hash->Md;
    KeyContainer& container = *hash->Provider->Container;
    EVP_PKEY_CTX* ctx = NpkContainerTakeSignContext(container, dwKeySpec, md);
    if (ctx == nullptr || EVP_PKEY_CTX_get0_pkey(ctx) != key) {
        // The key was replaced since it was read above: sign with the one whose size was given.
        EVP_PKEY_CTX_free(ctx);
        ctx = PrepareContext(key, md, true);
    }
    size_t written = size;
    bool ok = ctx != nullptr &&
              EVP_PKEY_sign(ctx, pbSignature, &written, hash->Value, hash->ValueSize) == 1;
    if (ok)
        NpkContainerReleaseSignContext(container, dwKeySpec, md, ctx);
    else
        EVP_PKEY_CTX_free(ctx);  // a context that failed once is not trusted again
    EVP_PKEY_free(key);
    if (!ok)
        return NpkFail(NpkTakeTokenError(NTE_FAIL));  // a token key says why: PIN, removal
    std::reverse(pbSignature, pbSignature + written);
    *pdwSigLen = static_cast<DWORD>(written);
    return TRUE;
}

BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                  HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags)
{
    auto hash = NpkLookup<CryptHash>(hHash, CryptObjectKind::Hash);
    if (hash == nullptr)
        return NpkFail(NTE_BAD_HASH);
    auto key = NpkLookup<CryptKey>(hPubKey, CryptObjectKind::Key);
    if (key == nullptr)
        return NpkFail(NTE_BAD_KEY);
    if ((dwFlags & ~(DWORD)CRYPT_NOHASHOID) != 0)
        return NpkFail(NTE_BAD_FLAGS);
    if (pbSignature == nullptr && dwSigLen != 0)
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    std::lock_guard<std::mutex> guard(hash->Lock);
    if (!hash->FinishLocked())
        return FALSE;
    if (dwSigLen != static_cast<DWORD>(EVP_PKEY_get_size(key->Key)))
        return NpkFail(NTE_BAD_SIGNATURE);
    std::vector<BYTE> signature(pbSignature, pbSignature + dwSigLen);
    std::reverse(signature.begin(), signature.end());
    const EVP_MD* md = (dwFlags & CRYPT_NOHASHOID) != 0 ? nullptr : hash->Md;
    EVP_PKEY_CTX* ctx = PrepareContext(key->Key, md, false);
    if (ctx == nullptr)
        return NpkFail(NTE_BAD_KEY);
    int result = EVP_PKEY_verify(ctx, signature.data(), signature.size(), hash->Value, hash->ValueSize);
    EVP_PKEY_CTX_free(ctx);
    if (result != 1)
        return NpkFail(NTE_BAD_SIGNATURE);
    return TRUE;
}

} // extern "C"
