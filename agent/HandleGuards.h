// Small owners for what an agent operation acquires: each releases on every path unless the
// operation hands the handle on (Release).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "kernel/CertificateLists.h"

// Releases the list's references.
struct ListGuard {
    CertificateList list;
    ~ListGuard() { ReleaseCertificateList(list); }
};

// Closes the store unless it was handed on.
struct StoreGuard {
    HCERTSTORE hStore = NULL;
    ~StoreGuard()
    {
        if (hStore != NULL) CertCloseStore(hStore, 0);
    }
    HCERTSTORE Release()
    {
        HCERTSTORE h = hStore;
        hStore = NULL;
        return h;
    }
};

// Frees the certificate unless it was handed on.
struct CertGuard {
    PCCERT_CONTEXT pCert = NULL;
    ~CertGuard()
    {
        if (pCert != NULL) CertFreeCertificateContext(pCert);
    }
    PCCERT_CONTEXT Release()
    {
        PCCERT_CONTEXT p = pCert;
        pCert = NULL;
        return p;
    }
};
