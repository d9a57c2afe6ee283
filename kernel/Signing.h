// Signing with the private key of a chosen certificate: raw PKCS#1 v1.5 signatures over bytes
// or a file, and PKCS#7 signedData messages over a text or a file as Base64.
//
// ppCert points at the caller's certificate context handle. A signature handed out is a new[]
// buffer (delete[]), most significant byte first, owned by the caller also when the function
// failed after allocating it. A BSTR handed out is the caller's (SysFreeString) and is stored
// only on success.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

// Data and files are hashed in slices of this size.
#define SIGNING_SLICE_SIZE 0x4000

HRESULT CalculateHashandSign(PCCERT_CONTEXT* ppCert, const BYTE* pbData, DWORD cbData, ALG_ID algId,
                             BYTE** ppbSignature, DWORD* pcbSignature);
HRESULT CalculateFileHashandSign(PCCERT_CONTEXT* ppCert, LPCWSTR pwszFilePath, ALG_ID algId, BYTE** ppbSignature,
                                 DWORD* pcbSignature);

// The UTF-8 bytes of the text, signed; the content is inside the message when bAttached.
HRESULT SignData(BSTR* pbstrResult, LPCWSTR pwszText, PCCERT_CONTEXT* ppCert, ALG_ID algId, BOOL bAttached);
// A detached message over the file's bytes.
HRESULT SignFile(BSTR* pbstrResult, LPCWSTR pwszFilePath, PCCERT_CONTEXT* ppCert, ALG_ID algId);
