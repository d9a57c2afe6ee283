// Single facts read out of a certificate: names as text, serial number, subject key
// identifier, key usage, validity dates and the provider that holds its private key.
// Text and byte results are new[] buffers owned by the caller (delete[]); the certificate is
// only read, never freed.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// The query codes of QueryCertContextInfo.
enum CertInfoType : DWORD {
    SubjectDN = 1,     // LPWSTR*, X.500 form; length in characters with the NUL
    SubjectName = 2,   // LPWSTR*, simple form; length in characters with the NUL
    IssuerDN = 3,      // LPWSTR*, X.500 form; length in characters with the NUL
    SerialNumber = 4,  // BYTE*, least significant byte first; length in bytes
    ProviderName = 5,  // LPWSTR*; length in characters without the NUL
    ToDate = 6,        // the caller's SYSTEMTIME (UTC); length 16
    FromDate = 7,      // the caller's SYSTEMTIME (UTC); length 16
    SubjectKeyID = 8,  // BYTE* (the data pointer may be null: a test for the extension); length in bytes
    KeyUsage = 9,      // the caller's DWORD; length 4
};

// GetCertSubject's name forms.
#define NPK_NAME_FORM_SIMPLE CERT_SIMPLE_NAME_STR
#define NPK_NAME_FORM_X500   CERT_X500_NAME_STR

#ifndef NPK_E_QUERY_TYPE_NOT_SUPPORTED
#define NPK_E_QUERY_TYPE_NOT_SUPPORTED ((HRESULT)0xA0071003L)
#endif
#ifndef NPK_E_NO_KEY_USAGE
#define NPK_E_NO_KEY_USAGE ((HRESULT)0xA0071020L)
#endif
#ifndef NPK_E_NO_SUBJECT_KEY_ID
#define NPK_E_NO_SUBJECT_KEY_ID ((HRESULT)0xA0071021L)
#endif

// pvData points at the output of the query's type (see CertInfoType); the length is optional.
// An unknown type fails with NPK_E_QUERY_TYPE_NOT_SUPPORTED and touches neither output.
HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCert, CertInfoType type, void* pvData, DWORD* pcbData);

// Names in reverse RDN order, never quoted. *ppwszName must be null on entry; on failure it
// is released and left null.
HRESULT GetCertSubject(PCCERT_CONTEXT pCert, LPWSTR* ppwszName, DWORD* pcchName, DWORD dwNameForm);
HRESULT GetCertIssuer(PCCERT_CONTEXT pCert, LPWSTR* ppwszName, DWORD* pcchName);

HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCert, BYTE** ppbSerial, DWORD* pcbSerial);
// NPK_E_NO_SUBJECT_KEY_ID when the certificate has none; a null ppbKeyId only tests for it.
HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCert, BYTE** ppbKeyId, DWORD* pcbKeyId);
// The first key-usage byte; NPK_E_NO_KEY_USAGE when the certificate has no such extension.
HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCert, DWORD* pdwKeyUsage, DWORD* pcbKeyUsage);
// The name of the provider holding the certificate's private key.
HRESULT GetCertProviderName(PCCERT_CONTEXT pCert, LPWSTR* ppwszName, DWORD* pcchName);
// NotAfter and NotBefore, in UTC.
HRESULT GetCertToDate(PCCERT_CONTEXT pCert, SYSTEMTIME* pTime, DWORD* pcbTime);
HRESULT GetCertFromDate(PCCERT_CONTEXT pCert, SYSTEMTIME* pTime, DWORD* pcbTime);
