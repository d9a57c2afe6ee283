// One card of the certificate picker: the certificate and the four lines drawn for it.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#define CERTIFICATE_ITEM_NAME_CHARS 128
#define CERTIFICATE_ITEM_LINE_CHARS 256

struct CertificateItem {
    // Not a reference of its own: the dialog's certificate list keeps the certificate alive.
    PCCERT_CONTEXT pCertContext;
    // The subject's common name: the first line and the tooltip text.
    WCHAR wszDisplayName[CERTIFICATE_ITEM_NAME_CHARS];
    WCHAR wszIssuer[CERTIFICATE_ITEM_LINE_CHARS];      // "Issuer: ..."
    WCHAR wszSerialNumber[CERTIFICATE_ITEM_LINE_CHARS];  // "SN: ..."
    WCHAR wszValidDate[CERTIFICATE_ITEM_LINE_CHARS];   // "Valid From: ... to ..."
    // 1 when the private key is held by a hardware or removable provider.
    DWORD dwHardwareKey;
};
