// CertDuplicateCertificateContext, CertFreeCertificateContext and CertCloseStore.
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/CertObjects.h"

using npk::crypt32::CertContextObject;
using npk::crypt32::CertStoreObject;

extern "C" PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext)
{
    CertContextObject* object = CertContextObject::FromHandle(pCertContext);
    if (object == nullptr) return nullptr;
    object->AddRef();
    return pCertContext;
}

extern "C" BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext)
{
    if (pCertContext == nullptr) return TRUE;
    CertContextObject* object = CertContextObject::FromHandle(pCertContext);
    if (object == nullptr || object->References() <= 0) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    object->Release();
    return TRUE;
}

extern "C" BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags)
{
    if (hCertStore == nullptr) return TRUE;
    CertStoreObject* store = CertStoreObject::FromHandle(hCertStore);
    if (store == nullptr || store->OpenCount() <= 0) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    // Contexts still held by callers keep the store alive, with or without
    // CERT_CLOSE_STORE_FORCE_FLAG: freeing them under the caller would leave dangling handles.
    LONG outstanding = store->CloseOpen();
    if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) != 0 && outstanding > 0) {
        SetLastError(static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
        return FALSE;
    }
    return TRUE;
}
