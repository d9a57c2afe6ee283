// The picker's cards made from certificates: the hardware-key test, the four text lines and
// the display order.
#pragma once

#include <vector>

#include "kernel/CertificateLists.h"
#include "picker/CertificateItem.h"

// 1 when the certificate's private key can be acquired and its provider reports a hardware
// or removable implementation (a mixed one counts). A key that cannot be acquired gives 0
// and S_OK; a provider that cannot say what it is fails.
HRESULT GetHardwareKeyFlag(PCCERT_CONTEXT pCert, DWORD* pdwHardwareKey);

// The value of the first "KEY=" relative name of an X.500 text, up to the next comma, into a
// buffer of cchValue characters. A value too long for the buffer is cut and ends in "...".
// Returns false (and an empty buffer) when the name has no such part.
bool CopyNameValue(LPCWSTR pwszName, LPCWSTR pwszKey, LPWSTR pwszValue, size_t cchValue);

// One card for the certificate, its texts formatted with strings 205 to 207 of the module.
// The item refers to the certificate without a reference of its own. On failure the label of
// the failed step is returned in *ppwszStep.
HRESULT BuildCertificateItem(PCCERT_CONTEXT pCert, HINSTANCE hResourceModule, CertificateItem* pItem,
                             LPCWSTR* ppwszStep);

// Hardware keys first, then by display name without regard to case.
bool CertificateItemComesBefore(const CertificateItem& a, const CertificateItem& b);
void SortCertificateItems(std::vector<CertificateItem>& items);
