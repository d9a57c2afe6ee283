// The picker's cards made from certificates.
#include "picker/CertificateCards.h"

#include <shlwapi.h>
#include <strsafe.h>

#include <algorithm>

#include "agent/ErrorCodes.h"
#include "kernel/CertificateQueries.h"
#include "kernel/Encoding.h"
#include "resources/resource.h"
#include "trace/Trace.h"

#ifndef CRYPT_IMPL_REMOVABLE
#define CRYPT_IMPL_REMOVABLE 8
#endif

namespace {

// Formats string uId of the module with the arguments into the line; false when the module
// has no such string.
template <typename... Args>
bool FormatResourceLine(HINSTANCE hModule, UINT uId, LPWSTR pwszLine, size_t cchLine, Args... args)
{
    WCHAR wszFormat[CERTIFICATE_ITEM_LINE_CHARS] = {};
    if (LoadStringW(hModule, uId, wszFormat, static_cast<int>(ARRAYSIZE(wszFormat))) <= 0) return false;
    // A line too long for the card's buffer is cut; the card could not show more anyway.
    StringCchPrintfW(pwszLine, cchLine, wszFormat, args...);
    return true;
}

HRESULT FailedLoadString()
{
    return HResultFromFailedCall();
}

bool IsNameStart(LPCWSTR pwszName, LPCWSTR pwszAt)
{
    if (pwszAt == pwszName) return true;
    WCHAR c = pwszAt[-1];
    return c == ' ' || c == ',' || c == '+';
}

}  // namespace

HRESULT GetHardwareKeyFlag(PCCERT_CONTEXT pCert, DWORD* pdwHardwareKey)
{
    if (pdwHardwareKey == NULL) return E_POINTER;
    *pdwHardwareKey = 0;
    HCRYPTPROV hProv = 0;
    DWORD dwKeySpec = 0;
    BOOL fCallerFree = FALSE;
    if (CryptAcquireCertificatePrivateKey(pCert, 0, NULL, &hProv, &dwKeySpec, &fCallerFree) != TRUE) {
        return S_OK;  // no key to be had: listed as a software certificate
    }
    HRESULT hr = S_OK;
    DWORD dwImpType = 0;
    DWORD cbImpType = sizeof(dwImpType);
    if (!CryptGetProvParam(hProv, PP_IMPTYPE, reinterpret_cast<BYTE*>(&dwImpType), &cbImpType, 0)) {
        hr = HResultFromFailedCall();
    } else if ((dwImpType & (CRYPT_IMPL_HARDWARE | CRYPT_IMPL_REMOVABLE)) != 0) {
        *pdwHardwareKey = 1;
    }
    // A handle the certificate caches for itself is not ours to release.
    if (fCallerFree) CryptReleaseContext(hProv, 0);
    return hr;
}

bool CopyNameValue(LPCWSTR pwszName, LPCWSTR pwszKey, LPWSTR pwszValue, size_t cchValue)
{
    if (pwszValue == NULL || cchValue == 0) return false;
    pwszValue[0] = 0;
    if (pwszName == NULL || pwszKey == NULL) return false;
    int cchKey = lstrlenW(pwszKey);
    // Only a key that starts a relative name counts: "CN=" inside "O=ACN=x" is a value.
    LPCWSTR pwszAt = StrStrW(pwszName, pwszKey);
    while (pwszAt != NULL && !IsNameStart(pwszName, pwszAt)) pwszAt = StrStrW(pwszAt + 1, pwszKey);
    if (pwszAt == NULL) return false;
    LPCWSTR pwszStart = pwszAt + cchKey;
    size_t cch = 0;
    while (pwszStart[cch] != 0 && pwszStart[cch] != ',') ++cch;
    if (cch < cchValue) {
        for (size_t i = 0; i < cch; ++i) pwszValue[i] = pwszStart[i];
        pwszValue[cch] = 0;
        return true;
    }
    // Too long for the buffer: keep what fits and mark the cut.
    size_t cchKeep = cchValue - 1;
    for (size_t i = 0; i < cchKeep; ++i) pwszValue[i] = pwszStart[i];
    pwszValue[cchKeep] = 0;
    if (cchKeep >= 3) {
        for (size_t i = cchKeep - 3; i < cchKeep; ++i) pwszValue[i] = '.';
    }
    return true;
}

HRESULT BuildCertificateItem(PCCERT_CONTEXT pCert, HINSTANCE hResourceModule, CertificateItem* pItem,
                             LPCWSTR* ppwszStep)
{
    LPCWSTR pwszUnused = NULL;
    if (ppwszStep == NULL) ppwszStep = &pwszUnused;
    *ppwszStep = NULL;
    if (pItem == NULL) return E_POINTER;
    *pItem = CertificateItem{};
    if (pCert == NULL) {
        *ppwszStep = TEXT("Check certificate");
        return E_INVALIDARG;
    }

    HRESULT hr = GetHardwareKeyFlag(pCert, &pItem->dwHardwareKey);
    if (FAILED(hr)) {
        *ppwszStep = TEXT("CryptGetProvParam");
        return hr;
    }

    LPWSTR pwszSubject = NULL;
    hr = QueryCertContextInfo(pCert, SubjectDN, &pwszSubject, NULL);
    if (FAILED(hr)) {
        *ppwszStep = TEXT("QueryCertContextInfo (Subject)");
        return hr;
    }
    CopyNameValue(pwszSubject, TEXT("CN="), pItem->wszDisplayName, ARRAYSIZE(pItem->wszDisplayName));
    delete[] pwszSubject;

    LPWSTR pwszIssuer = NULL;
    hr = GetCertIssuer(pCert, &pwszIssuer, NULL);
    if (FAILED(hr)) {
        *ppwszStep = TEXT("QueryCertContextInfo (Issuer)");
        return hr;
    }
    WCHAR wszIssuerName[CERTIFICATE_ITEM_NAME_CHARS] = {};
    if (!CopyNameValue(pwszIssuer, TEXT("O="), wszIssuerName, ARRAYSIZE(wszIssuerName))) {
        CopyNameValue(pwszIssuer, TEXT("CN="), wszIssuerName, ARRAYSIZE(wszIssuerName));
    }
    delete[] pwszIssuer;
    if (!FormatResourceLine(hResourceModule, IDS_ISSUER_FORMAT, pItem->wszIssuer, ARRAYSIZE(pItem->wszIssuer),
                            static_cast<LPCWSTR>(wszIssuerName))) {
        *ppwszStep = TEXT("LoadString (Issuer)");
        return FailedLoadString();
    }

    BYTE* pbSerial = NULL;
    DWORD cbSerial = 0;
    hr = GetCertSerialNumber(pCert, &pbSerial, &cbSerial);
    if (FAILED(hr)) {
        *ppwszStep = TEXT("QueryCertContextInfo (Serial number");
        return hr;
    }
    LPWSTR pwszSerial = NULL;
    hr = ConvertBinaryDataToString(cbSerial, pbSerial, &pwszSerial);
    delete[] pbSerial;
    if (FAILED(hr)) {
        *ppwszStep = TEXT("FormatStringFromData (Serial number");
        return hr;
    }
    bool bFormatted = FormatResourceLine(hResourceModule, IDS_SERIAL_NUMBER_FORMAT, pItem->wszSerialNumber,
                                         ARRAYSIZE(pItem->wszSerialNumber), static_cast<LPCWSTR>(pwszSerial));
    delete[] pwszSerial;
    if (!bFormatted) {
        *ppwszStep = TEXT("LoadString (Serial number)");
        return FailedLoadString();
    }

    SYSTEMTIME stFrom = {};
    SYSTEMTIME stTo = {};
    DWORD cbTime = sizeof(SYSTEMTIME);
    hr = GetCertFromDate(pCert, &stFrom, &cbTime);
    if (FAILED(hr)) {
        *ppwszStep = TEXT("QueryCertContextInfo (From-date");
        return hr;
    }
    cbTime = sizeof(SYSTEMTIME);
    hr = GetCertToDate(pCert, &stTo, &cbTime);
    if (FAILED(hr)) {
        *ppwszStep = TEXT("QueryCertContextInfo (To-date");
        return hr;
    }
    if (!FormatResourceLine(hResourceModule, IDS_VALID_DATE_FORMAT, pItem->wszValidDate,
                            ARRAYSIZE(pItem->wszValidDate), static_cast<int>(stFrom.wMonth),
                            static_cast<int>(stFrom.wDay), static_cast<int>(stFrom.wYear),
                            static_cast<int>(stTo.wMonth), static_cast<int>(stTo.wDay),
                            static_cast<int>(stTo.wYear))) {
        *ppwszStep = TEXT("LoadString (Valid date)");
        return FailedLoadString();
    }

    pItem->pCertContext = pCert;
    return S_OK;
}

bool CertificateItemComesBefore(const CertificateItem& a, const CertificateItem& b)
{
    bool bHardA = a.dwHardwareKey == 1;
    bool bHardB = b.dwHardwareKey == 1;
    if (bHardA != bHardB) return bHardA;
    return lstrcmpiW(a.wszDisplayName, b.wszDisplayName) < 0;
}

void SortCertificateItems(std::vector<CertificateItem>& items)
{
    if (items.size() < 2) return;
    // Stable, so that certificates of the same kind and name keep the store's order.
    std::stable_sort(items.begin(), items.end(), CertificateItemComesBefore);
}
