// The hash algorithm table and the provider chosen for each algorithm.
#include "kernel/Providers.h"

#include <cstring>
#include <new>

#include "agent/ErrorCodes.h"
#include "trace/Trace.h"

namespace {

struct HashAlgorithm {
    ALG_ID algId;
    LPCSTR pszDigestOID;
    LPCSTR pszSignatureOID;
};

// The order is the order of comparison in GetHashALGID. SHA-1 is labelled plain
// rsaEncryption, as the signatures this system has always written are.
const HashAlgorithm kHashAlgorithms[] = {
    {CALG_SHA1, "1.3.14.3.2.26", "1.2.840.113549.1.1.1"},
    {CALG_SHA_256, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11"},
    {CALG_SHA_384, "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12"},
    {CALG_SHA_512, "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13"},
    {CALG_MD5, "1.2.840.113549.2.5", "1.2.840.113549.1.1.4"},
};

}  // namespace

BOOL GetAlgorithmIdentifiers(LPCSTR* ppszDigestOID, LPCSTR* ppszSignatureOID, ALG_ID algId)
{
    TraceHelper trace("GetAlgorithmIdentifiers");
    for (const HashAlgorithm& a : kHashAlgorithms) {
        if (a.algId != algId) continue;
        if (ppszDigestOID == NULL || ppszSignatureOID == NULL) {
            // Nothing could be assigned, so the pair is not known to the caller.
            NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_CRYPTO, 62));
            return FALSE;
        }
        *ppszDigestOID = a.pszDigestOID;
        *ppszSignatureOID = a.pszSignatureOID;
        NPK_TRACE(TRACE_INFORMATION, TraceMsgAI32(TRACE_GUID_CRYPTO, 61, a.pszDigestOID, static_cast<LONG>(algId)));
        return TRUE;
    }
    NPK_TRACE(TRACE_ERROR, TraceMsgI32(TRACE_GUID_CRYPTO, 60, static_cast<LONG>(algId)));
    return FALSE;
}

HRESULT GetHashALGID(LPCSTR pszDigestOID, ALG_ID* pAlgId)
{
    TraceHelper trace("GetHashALGID");
    if (pAlgId == NULL) return E_POINTER;
    *pAlgId = 0;
    if (pszDigestOID != NULL) {
        for (const HashAlgorithm& a : kHashAlgorithms) {
            if (std::strcmp(pszDigestOID, a.pszDigestOID) == 0) {
                *pAlgId = a.algId;
                NPK_TRACE(TRACE_INFORMATION, TraceMsgAI32(TRACE_GUID_CRYPTO, 64, pszDigestOID, static_cast<LONG>(a.algId)));
                return S_OK;
            }
        }
    }
    NPK_TRACE(TRACE_ERROR, TraceMsgA(TRACE_GUID_CRYPTO, 63, pszDigestOID));
    return NTE_BAD_ALGID;
}

HRESULT CryptAcquireContextbyAlgorithm(HCRYPTPROV* phProv, ALG_ID algId)
{
    TraceHelper trace("CryptAcquireContextbyAlgorithm");
    if (phProv == NULL) return E_POINTER;
    *phProv = 0;

    LPCWSTR pwszProvider = NULL;
    DWORD dwProvType = PROV_RSA_FULL;
    switch (algId) {
    case CALG_3DES:
    case CALG_3DES_112:
    case CALG_MD5:
    case CALG_SHA1:
        pwszProvider = MS_ENHANCED_PROV_W;
        break;
    case CALG_SHA_256:
    case CALG_SHA_384:
    case CALG_SHA_512: {
        // Only proves that a provider of the type exists; the context comes from the
        // system's default provider of that type.
        LPWSTR pwszAesName = NULL;
        HRESULT hr = GetAESProviderName(&pwszAesName);
        delete[] pwszAesName;
        if (FAILED(hr)) {
            TraceStep(hr, TEXT("GetAESProviderName"));
            return hr;
        }
        dwProvType = PROV_RSA_AES;
        break;
    }
    default:
        pwszProvider = MS_DEF_PROV_W;
        break;
    }
    NPK_TRACE(TRACE_INFORMATION, TraceMsgWI32(TRACE_GUID_FILES_PROVIDERS, 10, pwszProvider, static_cast<LONG>(dwProvType)));

    if (!CryptAcquireContextW(phProv, NULL, pwszProvider, dwProvType, CRYPT_VERIFYCONTEXT)) {
        HRESULT hr = HResultFromFailedCall();
        *phProv = 0;
        TraceStep(hr, TEXT("CryptAcquireContext"));
        return hr;
    }
    TraceStep(S_OK, TEXT("CryptAcquireContext"));
    return S_OK;
}

HRESULT GetAESProviderName(LPWSTR* ppwszName)
{
    TraceHelper trace("GetAESProviderName");
    if (ppwszName == NULL) return E_POINTER;
    *ppwszName = NULL;

    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD dwType = 0;
        DWORD cbName = 0;
        if (!CryptEnumProvidersW(dwIndex, NULL, 0, &dwType, NULL, &cbName)) break;
        if (dwType != PROV_RSA_AES) continue;

        // Twice the reported size, zero-filled: room to spare for the terminator.
        size_t cch = (2 * static_cast<size_t>(cbName)) / sizeof(WCHAR) + 1;
        LPWSTR pwszName = new (std::nothrow) WCHAR[cch];
        if (pwszName == NULL) {
            TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
            return E_OUTOFMEMORY;
        }
        std::memset(pwszName, 0, cch * sizeof(WCHAR));
        DWORD cbBuffer = static_cast<DWORD>((cch - 1) * sizeof(WCHAR));
        if (!CryptEnumProvidersW(dwIndex, NULL, 0, &dwType, pwszName, &cbBuffer)) {
            HRESULT hr = HResultFromFailedCall();
            delete[] pwszName;
            TraceStep(hr, TEXT("_GetAESProviderName-CryptEnumProviders"));
            return hr;
        }
        NPK_TRACE(TRACE_INFORMATION, TraceMsgW(TRACE_GUID_FILES_PROVIDERS, 11, pwszName));
        *ppwszName = pwszName;
        return S_OK;
    }
    NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_FILES_PROVIDERS, 12));
    return E_FAIL;
}

HRESULT GetProviderInfo(HCRYPTPROV hProv, char** ppszName, DWORD* pcbName)
{
    TraceHelper trace("GetProviderInfo");
    if (ppszName == NULL || pcbName == NULL) return E_POINTER;
    *ppszName = NULL;
    *pcbName = 0;

    DWORD cbName = 0;
    if (!CryptGetProvParam(hProv, PP_NAME, NULL, &cbName, 0)) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CryptGetProvParam"));
        return hr;
    }
    if (cbName == 0) {
        TraceStep(E_FAIL, TEXT("CryptGetProvParam"));
        return E_FAIL;
    }
    char* pszName = new (std::nothrow) char[cbName];
    if (pszName == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("New Memory"));
        return E_OUTOFMEMORY;
    }
    std::memset(pszName, 0, cbName);
    *ppszName = pszName;
    DWORD cbFilled = cbName;
    if (!CryptGetProvParam(hProv, PP_NAME, reinterpret_cast<BYTE*>(pszName), &cbFilled, 0)) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CryptGetProvParam"));
        return hr;
    }
    // The name stays terminated even if the provider filled the buffer to the last byte.
    pszName[cbName - 1] = '\0';
    *pcbName = cbFilled;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgA(TRACE_GUID_FILES_PROVIDERS, 13, pszName));
    return S_OK;
}
