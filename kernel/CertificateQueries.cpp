// Certificate attribute queries over the platform's certificate contexts.
#include "kernel/CertificateQueries.h"

#include <cstring>
#include <new>

#include "agent/ErrorCodes.h"
#include "kernel/Encoding.h"
#include "kernel/Providers.h"
#include "trace/Trace.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Relative names come out last-encoded first, and values are never put in quotes.
const DWORD kNameFlags = CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;

bool HasInfo(PCCERT_CONTEXT pCert)
{
    return pCert != NULL && pCert->pCertInfo != NULL;
}

// A name blob as text, in the two-call pattern; the buffer is the caller's on success.
HRESULT NameToText(LPCSTR pszFunction, PCERT_NAME_BLOB pName, DWORD dwStrType,
                   LPWSTR* ppwszName, DWORD* pcchName)
{
    HRESULT hr = S_OK;
    DWORD cch = CertNameToStrW(kEncoding, pName, dwStrType, NULL, 0);
    if (cch == 0) {
        hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CertNameToStr"));
    } else {
        LPWSTR pwsz = new (std::nothrow) WCHAR[cch];
        if (pwsz == NULL) {
            hr = E_OUTOFMEMORY;
            TraceStep(hr, TEXT("Dispatch memory failed."));
        } else {
            std::memset(pwsz, 0, sizeof(WCHAR) * cch);
            *ppwszName = pwsz;
            DWORD written = CertNameToStrW(kEncoding, pName, dwStrType, pwsz, cch);
            if (written == 0) {
                hr = HResultFromFailedCall();
                TraceStep(hr, TEXT("CertNameToStr"));
            } else {
                NPK_TRACE(TRACE_INFORMATION, TraceMsgAI32(TRACE_GUID_CERTIFICATES, 11, pszFunction,
                                                          static_cast<LONG>(written)));
                NPK_TRACE(TRACE_INFORMATION, TraceMsgW(TRACE_GUID_CERTIFICATES, 12, pwsz));
                if (pcchName != NULL) *pcchName = written;
            }
        }
    }
    if (FAILED(hr)) {
        delete[] *ppwszName;
        *ppwszName = NULL;
    }
    return hr;
}

// The extension, or null after tracing its absence with the code that names it.
PCERT_EXTENSION FindExtension(PCCERT_CONTEXT pCert, LPCSTR pszOid, HRESULT hrMissing)
{
    PCERT_EXTENSION pExt = CertFindExtension(pszOid, pCert->pCertInfo->cExtension, pCert->pCertInfo->rgExtension);
    if (pExt == NULL) {
        NPK_TRACE(TRACE_ERROR, TraceMsgAI32(TRACE_GUID_CERTIFICATES, 13, pszOid, static_cast<LONG>(GetLastError())));
        TraceStep(hrMissing, TEXT("CertFindExtension"));
    }
    return pExt;
}

// The extension decoded into a new zero-filled buffer (delete[]), in the two-call pattern.
HRESULT DecodeExtension(PCERT_EXTENSION pExt, BYTE** ppbDecoded)
{
    *ppbDecoded = NULL;
    DWORD cb = 0;
    if (!CryptDecodeObjectEx(kEncoding, pExt->pszObjId, pExt->Value.pbData, pExt->Value.cbData,
                             CRYPT_DECODE_NOCOPY_FLAG, NULL, NULL, &cb)) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CryptDecodeObjectEx"));
        return hr;
    }
    BYTE* pb = new (std::nothrow) BYTE[cb];
    if (pb == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("Dispatch memory failed."));
        return E_OUTOFMEMORY;
    }
    std::memset(pb, 0, cb);
    if (!CryptDecodeObjectEx(kEncoding, pExt->pszObjId, pExt->Value.pbData, pExt->Value.cbData,
                             CRYPT_DECODE_NOCOPY_FLAG, NULL, pb, &cb)) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CryptDecodeObjectEx"));
        delete[] pb;
        return hr;
    }
    *ppbDecoded = pb;
    return S_OK;
}

HRESULT ConvertDate(PCCERT_CONTEXT pCert, bool notAfter, SYSTEMTIME* pTime, DWORD* pcbTime)
{
    if (!HasInfo(pCert)) return E_INVALIDARG;
    if (pTime == NULL) return E_POINTER;
    if (pcbTime != NULL) *pcbTime = sizeof(SYSTEMTIME);
    // The certificate's times are UTC and stay so: no local-time conversion.
    FileTimeToSystemTime(notAfter ? &pCert->pCertInfo->NotAfter : &pCert->pCertInfo->NotBefore, pTime);
    return S_OK;
}

}  // namespace

HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCert, CertInfoType type, void* pvData, DWORD* pcbData)
{
    TraceHelper trace("QueryCertContextInfo");
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_CERTIFICATES, 10, static_cast<LONG>(type)));
    switch (type) {
    case SubjectDN:
        return GetCertSubject(pCert, static_cast<LPWSTR*>(pvData), pcbData, CERT_X500_NAME_STR);
    case SubjectName:
        return GetCertSubject(pCert, static_cast<LPWSTR*>(pvData), pcbData, CERT_SIMPLE_NAME_STR);
    case IssuerDN:
        return GetCertIssuer(pCert, static_cast<LPWSTR*>(pvData), pcbData);
    case SerialNumber:
        return GetCertSerialNumber(pCert, static_cast<BYTE**>(pvData), pcbData);
    case ProviderName:
        return GetCertProviderName(pCert, static_cast<LPWSTR*>(pvData), pcbData);
    case ToDate:
        return GetCertToDate(pCert, static_cast<SYSTEMTIME*>(pvData), pcbData);
    case FromDate:
        return GetCertFromDate(pCert, static_cast<SYSTEMTIME*>(pvData), pcbData);
    case SubjectKeyID:
        return GetCertSubjectKeyID(pCert, static_cast<BYTE**>(pvData), pcbData);
    case KeyUsage:
        return GetCertKeyUsage(pCert, static_cast<DWORD*>(pvData), pcbData);
    }
    TraceStep(NPK_E_QUERY_TYPE_NOT_SUPPORTED, TEXT("QueryCertContextInfo"));
    return NPK_E_QUERY_TYPE_NOT_SUPPORTED;
}

HRESULT GetCertSubject(PCCERT_CONTEXT pCert, LPWSTR* ppwszName, DWORD* pcchName, DWORD dwNameForm)
{
    TraceHelper trace("GetCertSubject");
    if (ppwszName == NULL) return E_POINTER;
    if (!HasInfo(pCert)) {
        delete[] *ppwszName;
        *ppwszName = NULL;
        return E_INVALIDARG;
    }
    return NameToText("GetCertSubject", &pCert->pCertInfo->Subject, dwNameForm | kNameFlags, ppwszName,
                      pcchName);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT pCert, LPWSTR* ppwszName, DWORD* pcchName)
{
    TraceHelper trace("GetCertIssuer");
    if (ppwszName == NULL) return E_POINTER;
    if (!HasInfo(pCert)) {
        delete[] *ppwszName;
        *ppwszName = NULL;
        return E_INVALIDARG;
    }
    return NameToText("GetCertIssuer", &pCert->pCertInfo->Issuer, CERT_X500_NAME_STR | kNameFlags, ppwszName,
                      pcchName);
}

HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCert, BYTE** ppbSerial, DWORD* pcbSerial)
{
    TraceHelper trace("GetCertSerialNumber");
    if (ppbSerial == NULL) return E_POINTER;
    if (!HasInfo(pCert)) return E_INVALIDARG;
    const CRYPT_INTEGER_BLOB& serial = pCert->pCertInfo->SerialNumber;
    BYTE* pb = new (std::nothrow) BYTE[serial.cbData + 1];
    if (pb == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("Dispatch memory failed."));
        return E_OUTOFMEMORY;
    }
    pb[serial.cbData] = 0;
    // Kept as the certificate structure holds it: least significant byte first.
    if (serial.cbData != 0) std::memcpy(pb, serial.pbData, serial.cbData);
    *ppbSerial = pb;
    if (pcbSerial != NULL) *pcbSerial = serial.cbData;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_CERTIFICATES, 14, static_cast<LONG>(serial.cbData)));
    return S_OK;
}

HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCert, BYTE** ppbKeyId, DWORD* pcbKeyId)
{
    TraceHelper trace("GetCertSubjectKeyID");
    if (!HasInfo(pCert)) return E_INVALIDARG;
    PCERT_EXTENSION pExt = FindExtension(pCert, szOID_SUBJECT_KEY_IDENTIFIER, NPK_E_NO_SUBJECT_KEY_ID);
    if (pExt == NULL) return NPK_E_NO_SUBJECT_KEY_ID;
    if (ppbKeyId == NULL) return S_OK;  // only a test for the extension
    *ppbKeyId = NULL;

    BYTE* pbDecoded = NULL;
    HRESULT hr = DecodeExtension(pExt, &pbDecoded);
    if (FAILED(hr)) return hr;
    const CRYPT_DATA_BLOB* pId = reinterpret_cast<const CRYPT_DATA_BLOB*>(pbDecoded);
    BYTE* pb = new (std::nothrow) BYTE[pId->cbData + 1];
    if (pb == NULL) {
        TraceStep(E_OUTOFMEMORY, TEXT("Dispatch memory failed."));
        delete[] pbDecoded;
        return E_OUTOFMEMORY;
    }
    pb[pId->cbData] = 0;
    if (pId->cbData != 0) std::memcpy(pb, pId->pbData, pId->cbData);
    *ppbKeyId = pb;
    if (pcbKeyId != NULL) *pcbKeyId = pId->cbData;
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_CERTIFICATES, 15, static_cast<LONG>(pId->cbData)));
    delete[] pbDecoded;
    return S_OK;
}

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCert, DWORD* pdwKeyUsage, DWORD* pcbKeyUsage)
{
    TraceHelper trace("GetCertKeyUsage");
    if (pdwKeyUsage == NULL) return E_POINTER;
    if (!HasInfo(pCert)) return E_INVALIDARG;
    PCERT_EXTENSION pExt = FindExtension(pCert, szOID_KEY_USAGE, NPK_E_NO_KEY_USAGE);
    if (pExt == NULL) return NPK_E_NO_KEY_USAGE;

    BYTE* pbDecoded = NULL;
    HRESULT hr = DecodeExtension(pExt, &pbDecoded);
    if (FAILED(hr)) return hr;
    const CRYPT_BIT_BLOB* pBits = reinterpret_cast<const CRYPT_BIT_BLOB*>(pbDecoded);
    // Only the first byte: the second holds nothing but decipher-only, which is not reported.
    *pdwKeyUsage = pBits->cbData != 0 ? pBits->pbData[0] : 0;
    if (pcbKeyUsage != NULL) *pcbKeyUsage = sizeof(DWORD);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_CERTIFICATES, 16, static_cast<LONG>(*pdwKeyUsage)));
    delete[] pbDecoded;
    return S_OK;
}

HRESULT GetCertProviderName(PCCERT_CONTEXT pCert, LPWSTR* ppwszName, DWORD* pcchName)
{
    TraceHelper trace("GetCertProviderName");
    if (ppwszName == NULL) return E_POINTER;
    if (pCert == NULL) return E_INVALIDARG;

    HCRYPTPROV hProv = 0;
    DWORD dwKeySpec = 0;
    if (!CryptAcquireCertificatePrivateKey(pCert, 0, NULL, &hProv, &dwKeySpec, NULL)) {
        HRESULT hr = HResultFromFailedCall();
        TraceStep(hr, TEXT("CryptAcquireCertificatePrivateKey FAILED."));
        return hr;
    }

    char* pszName = NULL;
    DWORD cbName = 0;
    HRESULT hr = GetProviderInfo(hProv, &pszName, &cbName);
    if (FAILED(hr)) {
        TraceStep(hr, TEXT("GetProviderInfo FAILED."));
    } else {
        LPWSTR pwszName = NULL;
        UINT cchName = 0;
        hr = UTF8ToUTF16(pszName, &pwszName, &cchName);
        if (hr == E_OUTOFMEMORY) TraceStep(hr, TEXT("New Memory"));
        if (SUCCEEDED(hr)) {
            *ppwszName = pwszName;
            if (pcchName != NULL) *pcchName = cchName;
        } else {
            delete[] pwszName;
        }
    }
    delete[] pszName;
    CryptReleaseContext(hProv, 0);
    return hr;
}

HRESULT GetCertToDate(PCCERT_CONTEXT pCert, SYSTEMTIME* pTime, DWORD* pcbTime)
{
    TraceHelper trace("GetCertToDate");
    return ConvertDate(pCert, true, pTime, pcbTime);
}

HRESULT GetCertFromDate(PCCERT_CONTEXT pCert, SYSTEMTIME* pTime, DWORD* pcbTime)
{
    TraceHelper trace("GetCertFromDate");
    return ConvertDate(pCert, false, pTime, pcbTime);
}
