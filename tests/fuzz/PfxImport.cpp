// PFX files come from pages: whatever the bytes, PFXImportCertStore either gives a store whose
// certificates are all readable and whose keys belong to them, or fails with one of the codes
// its callers expect, and leaves no store or context behind. The fixture PFX files of
// tests/data make a good seed corpus.
#include <cstdlib>
#include <vector>

#include <windows.h>
#include <wincrypt.h>

#include "advapi32/CryptKeyContainers.h"
#include "advapi32/CryptObjects.h"
#include "crypt32/CertObjects.h"

namespace {

using npk::crypt32::CertStoreObject;

void Check(bool condition)
{
    if (!condition) std::abort();
}

bool ExpectedFailure(DWORD code)
{
    const HRESULT hr = static_cast<HRESULT>(code);
    return code == ERROR_INVALID_PASSWORD || hr == CRYPT_E_ASN1_EOD || hr == CRYPT_E_ASN1_BADTAG ||
           hr == CRYPT_E_ASN1_CORRUPT || hr == CRYPT_E_ASN1_LARGE || hr == CRYPT_E_INVALID_MSG_TYPE ||
           hr == NTE_BAD_DATA || hr == NTE_BAD_ALGID || hr == NTE_BAD_PUBLIC_KEY || hr == NTE_BAD_KEY ||
           hr == E_OUTOFMEMORY;
}

// Memory-only key containers live as long as the process; the fuzzer's process imports
// without end, so it drops the ones each import made.
void CheckAndRelease(HCERTSTORE store)
{
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
        Check(c->pCertInfo != nullptr && c->cbCertEncoded > 0);
        DWORD cb = 0;
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) continue;
        std::vector<BYTE> block(cb);
        Check(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &cb));
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
        HCRYPTPROV prov = 0;
        BOOL callerFree = FALSE;
        DWORD keySpec = 0;
        // A key is linked only to the certificate whose public key it matches.
        Check(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &keySpec, &callerFree));
        if (callerFree) CryptReleaseContext(prov, 0);
        NpkDeleteKeyContainer(NpkToUtf8(info->pwszContainerName), false);
    }
    Check(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    std::vector<BYTE> copy(data, data + size);
    const LONG stores = CertStoreObject::LiveStores();
    const LONG contexts = CertStoreObject::LiveContexts();
    for (LPCWSTR password : {static_cast<LPCWSTR>(TEXT("npkeystrand")), static_cast<LPCWSTR>(nullptr)}) {
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(copy.size()), copy.empty() ? nullptr : copy.data()};
        HCERTSTORE store = PFXImportCertStore(&blob, password, CRYPT_USER_KEYSET);
        if (store == nullptr) {
            Check(ExpectedFailure(GetLastError()));
        } else {
            CheckAndRelease(store);
        }
        Check(CertStoreObject::LiveStores() == stores && CertStoreObject::LiveContexts() == contexts);
    }
    return 0;
}
