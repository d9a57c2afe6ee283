// Releasing the shared certificate and store lists.
#include "kernel/CertificateLists.h"

void ReleaseCertificateList(CertificateList& list)
{
    for (PCCERT_CONTEXT& pContext : list) {
        if (pContext != NULL) {
            CertFreeCertificateContext(pContext);
            pContext = NULL;
        }
    }
    list.clear();
}

void CloseStoreList(StoreList& list)
{
    for (HCERTSTORE& hStore : list) {
        if (hStore != NULL) {
            CertCloseStore(hStore, 0);
            hStore = NULL;
        }
    }
    list.clear();
}
