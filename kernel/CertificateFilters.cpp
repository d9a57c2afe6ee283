// Certificate filters, and certificates copied out of stores into lists.
#include "kernel/CertificateFilters.h"

#include <shlwapi.h>

#include <cstring>

#include "agent/ErrorCodes.h"
#include "kernel/CertificateQueries.h"
#include "trace/Trace.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Passes when any token occurs in the name, ignoring case; an empty token matches anything.
HRESULT MatchTokens(LPCWSTR pwszName, const FilterTokenList& tokens)
{
    for (const std::basic_string<WCHAR>& token : tokens) {
        if (token.empty() || StrStrIW(pwszName, token.c_str()) != NULL) return S_OK;
    }
    return E_FAIL;
}

// Exact comparison of an attribute's bytes with the expectation.
bool SameBytes(const BYTE* pbActual, DWORD cbActual, const BYTE* pbExpected, DWORD cbExpected)
{
    return cbActual == cbExpected && (cbActual == 0 || std::memcmp(pbActual, pbExpected, cbActual) == 0);
}

bool HasPrivateKey(PCCERT_CONTEXT pCert)
{
    HCRYPTPROV hProv = 0;
    DWORD dwKeySpec = 0;
    BOOL ok = CryptAcquireCertificatePrivateKey(pCert, 0, NULL, &hProv, &dwKeySpec, NULL);
    if (hProv != 0) CryptReleaseContext(hProv, 0);
    if (ok != TRUE) {
        TraceStep(HResultFromFailedCall(), TEXT("CryptAcquireCertificatePrivateKey"));
        return false;
    }
    return true;
}

}  // namespace

void ParseFilters(LPCWSTR pwszFilter, FilterTokenList& tokens)
{
    TraceHelper trace("ParseFilters");
    if (pwszFilter == NULL) return;
    LPCWSTR p = pwszFilter;
    for (;;) {
        LPCWSTR end = p;
        while (*end != 0 && *end != '#') ++end;
        size_t cch = static_cast<size_t>(end - p);
        if (cch > NPK_FILTER_TOKEN_CHARS) cch = NPK_FILTER_TOKEN_CHARS;
        tokens.emplace_back(p, cch);
        NPK_TRACE(TRACE_INFORMATION, TraceMsgW(TRACE_GUID_CERTIFICATES, 17, tokens.back().c_str()));
        if (*end == 0) break;
        p = end + 1;
    }
}

HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCert, DWORD dwNameForm, const FilterTokenList& tokens)
{
    TraceHelper trace("CheckCertSubjectName");
    if (tokens.empty()) return S_OK;
    LPWSTR pwszName = NULL;
    HRESULT hr = GetCertSubject(pCert, &pwszName, NULL, dwNameForm);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("GetCertSubjectName"));
        return hr;
    }
    hr = MatchTokens(pwszName, tokens);
    delete[] pwszName;
    return hr;
}

HRESULT CheckCertIssuer(PCCERT_CONTEXT pCert, const FilterTokenList& tokens)
{
    TraceHelper trace("CheckCertIssuer");
    if (tokens.empty()) return S_OK;
    LPWSTR pwszName = NULL;
    HRESULT hr = GetCertIssuer(pCert, &pwszName, NULL);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("GetCertIssuer"));
        return hr;
    }
    hr = MatchTokens(pwszName, tokens);
    delete[] pwszName;
    return hr;
}

HRESULT CheckCertKeyUsage(DWORD dwRequired, PCCERT_CONTEXT pCert)
{
    TraceHelper trace("CheckCertKeyUsage");
    if (dwRequired == 0) return S_OK;
    DWORD dwUsage = 0;
    HRESULT hr = GetCertKeyUsage(pCert, &dwUsage, NULL);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("GetCertKeyUsage FAILED"));
        return hr;
    }
    return (dwUsage & dwRequired) != 0 ? S_OK : E_FAIL;
}

HRESULT CheckCertSubjectKeyID(const BYTE* pbExpected, DWORD cbExpected, PCCERT_CONTEXT pCert)
{
    TraceHelper trace("CheckCertSubjectKeyID");
    if (pbExpected == NULL) return S_OK;
    BYTE* pbId = NULL;
    DWORD cbId = 0;
    HRESULT hr = GetCertSubjectKeyID(pCert, &pbId, &cbId);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("GetCertSubjectKeyID"));
        delete[] pbId;
        return hr;
    }
    hr = SameBytes(pbId, cbId, pbExpected, cbExpected) ? S_OK : E_FAIL;
    delete[] pbId;
    return hr;
}

HRESULT CheckCertSerialNumber(const BYTE* pbExpected, DWORD cbExpected, PCCERT_CONTEXT pCert)
{
    TraceHelper trace("CheckCertSerialNumber");
    if (pbExpected == NULL) return S_OK;
    BYTE* pbSerial = NULL;
    DWORD cbSerial = 0;
    HRESULT hr = GetCertSerialNumber(pCert, &pbSerial, &cbSerial);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("QueryCertContextInfo"));
        delete[] pbSerial;
        return hr;
    }
    hr = SameBytes(pbSerial, cbSerial, pbExpected, cbExpected) ? S_OK : E_FAIL;
    delete[] pbSerial;
    return hr;
}

HRESULT FilterCertificates(const CertificateFilter* pFilter, CertificateList& output, CertificateList input)
{
    TraceHelper trace("FilterCertificates");
    const CertificateFilter neutral = {};
    const CertificateFilter& filter = pFilter != NULL ? *pFilter : neutral;
    const bool requireKey = filter.requirePrivateKey == 1;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgWI32(TRACE_GUID_CERTIFICATES, 18, requireKey ? TEXT("TRUE") : TEXT("FALSE"),
                                              static_cast<LONG>(filter.keyUsage)));

    FilterTokenList subjectTokens;
    FilterTokenList issuerTokens;
    ParseFilters(filter.subjectFilter, subjectTokens);
    ParseFilters(filter.issuerFilter, issuerTokens);

    HRESULT hr = S_OK;
    for (PCCERT_CONTEXT pCert : input) {
        // A hole in the list is no certificate: it cannot pass, and must not abort the others.
        if (pCert == NULL) continue;
        if (CheckCertSubjectName(pCert, CERT_X500_NAME_STR, subjectTokens) != S_OK) continue;
        if (CheckCertIssuer(pCert, issuerTokens) != S_OK) continue;
        if (CheckCertKeyUsage(filter.keyUsage, pCert) != S_OK) continue;
        if (CheckCertSubjectKeyID(filter.subjectKeyID, filter.cbSubjectKeyID, pCert) != S_OK) continue;
        if (CheckCertSerialNumber(filter.serialNumber, filter.cbSerialNumber, pCert) != S_OK) continue;
        if (requireKey && !HasPrivateKey(pCert)) continue;

        PCCERT_CONTEXT pCopy = CertDuplicateCertificateContext(pCert);
        if (pCopy == NULL) {
            hr = HResultFromFailedCall();
            TraceStep(hr, TEXT("CertDuplicateCertificateContext"));
            break;
        }
        output.push_back(pCopy);
    }

    if (FAILED(hr)) ReleaseCertificateList(output);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32x2(TRACE_GUID_CERTIFICATES, 19, static_cast<LONG>(output.size()),
                                               static_cast<LONG>(input.size())));
    return hr;
}

HRESULT FilterCertificatesFromStore(HCERTSTORE hStore, const CertificateFilter* pFilter, CertificateList& output)
{
    TraceHelper trace("FilterCertificatesFromStore");
    CertificateList extracted;
    HRESULT hr = ExtractCertificatesFromStore(hStore, extracted);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("ExtractCertificatesFromStore FAILED."));
    } else {
        hr = FilterCertificates(pFilter, output, extracted);
        if (FAILED(hr)) TraceStep(hr, TEXT("ExtractCertificatesFromStore FAILED."));
    }
    ReleaseCertificateList(extracted);
    return hr;
}

HRESULT ExtractCertificatesFromStore(HCERTSTORE hStore, CertificateList& list)
{
    TraceHelper trace("ExtractCertificatesFromStore");
    if (hStore == NULL) {
        ReleaseCertificateList(list);
        TraceStep(E_INVALIDARG, TEXT("ExtractCertificatesFromStore"));
        return E_INVALIDARG;
    }
    LONG count = 0;
    PCCERT_CONTEXT pCert = NULL;
    // Every certificate is taken: validity, usage and key are the filters' business.
    while ((pCert = CertEnumCertificatesInStore(hStore, pCert)) != NULL) {
        PCCERT_CONTEXT pCopy = CertDuplicateCertificateContext(pCert);
        if (pCopy == NULL) {
            HRESULT hr = HResultFromFailedCall();
            TraceStep(hr, TEXT("CertDuplicateCertificateContext"));
            CertFreeCertificateContext(pCert);
            ReleaseCertificateList(list);
            return hr;
        }
        list.push_back(pCopy);
        ++count;
    }
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_CERTIFICATES, 20, count));
    return S_OK;
}

HRESULT ExtractCertificatesFromLocalStore(LPCWSTR pwszStoreName, CertificateList& list)
{
    TraceHelper trace("ExtractCertificatesFromLocalStore");
    if (pwszStoreName == NULL) {
        ReleaseCertificateList(list);
        TraceStep(E_INVALIDARG, TEXT("ExtractCertificatesFromLocalStore"));
        return E_INVALIDARG;
    }
    NPK_TRACE(TRACE_INFORMATION, TraceMsgW(TRACE_GUID_CERTIFICATES, 21, pwszStoreName));
    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, pwszStoreName);
    if (hStore == NULL) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CertOpenStore"));
        ReleaseCertificateList(list);
        return hr;
    }
    HRESULT hr = ExtractCertificatesFromStore(hStore, list);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("ExtractCertificatesFromStore FAILED."));
        ReleaseCertificateList(list);
    }
    // The extracted references outlive the store.
    CertCloseStore(hStore, 0);
    return hr;
}
