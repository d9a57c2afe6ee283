// Providers and algorithm identifiers: the hash table that ties ALG_IDs to their digest and
// signature OIDs, the provider chosen for an algorithm, and small provider helpers.
// Strings handed out are new[] buffers owned by the caller (delete[]).
#pragma once

#include <windows.h>
#include <wincrypt.h>

// 1 and both OIDs assigned for one of the five hash ALG_IDs; 0 (outputs untouched) otherwise.
BOOL GetAlgorithmIdentifiers(LPCSTR* ppszDigestOID, LPCSTR* ppszSignatureOID, ALG_ID algId);
// S_OK and the ALG_ID of an exactly equal digest OID; NTE_BAD_ALGID with 0 otherwise.
HRESULT GetHashALGID(LPCSTR pszDigestOID, ALG_ID* pAlgId);
// A verify-only provider context suited to the algorithm; released with CryptReleaseContext.
HRESULT CryptAcquireContextbyAlgorithm(HCRYPTPROV* phProv, ALG_ID algId);
// The name of the first PROV_RSA_AES provider, or null with E_FAIL when there is none.
HRESULT GetAESProviderName(LPWSTR* ppwszName);
// The provider's name as 8-bit text; *pcbName is its size in bytes, terminator included.
HRESULT GetProviderInfo(HCRYPTPROV hProv, char** ppszName, DWORD* pcbName);
