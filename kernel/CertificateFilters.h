// Certificate filters and the extraction of certificates from stores into lists.
// Every certificate put into a list holds its own reference (CertDuplicateCertificateContext);
// the list's owner releases it with ReleaseCertificateList.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "kernel/CertificateLists.h"

// The tokens of a filter text, each at most NPK_FILTER_TOKEN_CHARS characters.
typedef std::vector<std::basic_string<WCHAR>> FilterTokenList;
#define NPK_FILTER_TOKEN_CHARS 255

// A null record, or a record of neutral fields (null, 0), lets every certificate pass.
struct CertificateFilter {
    LPCWSTR subjectFilter;  // "#"-separated tokens, any of which must occur in the subject
    LPCWSTR issuerFilter;   // "#"-separated tokens, any of which must occur in the issuer
    const BYTE* subjectKeyID;  // expected identifier, or null
    const BYTE* serialNumber;  // expected serial, least significant byte first, or null
    DWORD keyUsage;         // bits of which at least one must be present; 0 = any
    LONG requirePrivateKey;  // exactly 1: the private key must be obtainable
    // The sizes of the two expectations above: a certificate passes only on an exact match.
    DWORD cbSubjectKeyID;
    DWORD cbSerialNumber;
};

// Appends the tokens of the text: "#" separates, nothing is trimmed, an empty token is kept,
// a longer token is cut to its first 255 characters. A null text adds nothing.
void ParseFilters(LPCWSTR pwszFilter, FilterTokenList& tokens);

// S_OK when the certificate passes; E_FAIL when it does not; the failure of reading the
// attribute otherwise.
HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCert, DWORD dwNameForm, const FilterTokenList& tokens);
HRESULT CheckCertIssuer(PCCERT_CONTEXT pCert, const FilterTokenList& tokens);
HRESULT CheckCertKeyUsage(DWORD dwRequired, PCCERT_CONTEXT pCert);
HRESULT CheckCertSubjectKeyID(const BYTE* pbExpected, DWORD cbExpected, PCCERT_CONTEXT pCert);
HRESULT CheckCertSerialNumber(const BYTE* pbExpected, DWORD cbExpected, PCCERT_CONTEXT pCert);

// Appends a new reference to each input certificate that passes, in input order. Only a
// failed duplication aborts; the output list is then released whole (also what it held).
HRESULT FilterCertificates(const CertificateFilter* pFilter, CertificateList& output, CertificateList input);
// Extraction and filtering in one call.
HRESULT FilterCertificatesFromStore(HCERTSTORE hStore, const CertificateFilter* pFilter, CertificateList& output);

// Appends a reference to every certificate of the store, in enumeration order. On failure
// (a null store among them) the list is released whole.
HRESULT ExtractCertificatesFromStore(HCERTSTORE hStore, CertificateList& list);
// The same from the current user's system store of that name, opened read-only.
HRESULT ExtractCertificatesFromLocalStore(LPCWSTR pwszStoreName, CertificateList& list);
