// A minimal DER encoder and the PKCS#7 signedData message built around a finished signature.
// Every output buffer is allocated with new[] by the function and owned by the caller
// (delete[]), also when the function fails after allocating it.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

// The definite-form length octets of cbLength (1 to 5 bytes); E_FAIL for 0.
HRESULT CalculateASNValueLength(DWORD cbLength, BYTE** ppbLength, DWORD* pcbLength);

// tag || length || value for one of the tags 02 04 06 13 1E 30 31 80 A0; E_FAIL for any other
// tag or an empty value.
HRESULT ASN1Encode(DWORD dwTag, const BYTE* pbValue, DWORD cbValue, BYTE** ppbElement, DWORD* pcbElement);

// The DER of a platform structure (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING).
HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, BYTE** ppbEncoded, DWORD* pcbEncoded);

// The Base64 text of a signedData ContentInfo that carries the signer's certificate and one
// SignerInfo without attributes. pbSignature is most significant byte first. The content is
// inside the message when bAttached is non-zero. *pbstrBase64 receives a new BSTR (SysFreeString)
// and *pcchBase64 its length, both only on success.
HRESULT EncapsulatePKCS7(PCCERT_CONTEXT pCert, LPCSTR pszDigestOID, LPCSTR pszSignatureOID, const BYTE* pbContent,
                         DWORD cbContent, const BYTE* pbSignature, DWORD cbSignature, BSTR* pbstrBase64,
                         DWORD* pcchBase64, BOOL bAttached, DWORD dwBase64Flags);
