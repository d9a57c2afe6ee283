// Signature verification: PKCS#7 over text (attached or detached) through the platform's
// message verification, PKCS#7 detached over files signer by signer, and PKCS#1 against a
// certificate's public key.
//
// Content handed out is a new[] buffer owned by the caller (delete[]), one zero byte longer
// than its length. A signer certificate handed out is owned by the caller
// (CertFreeCertificateContext).
#pragma once

#include <windows.h>
#include <wincrypt.h>

// Attached: *ppbContent and *pcbContent receive the content. Detached: the caller passes the
// content in *ppbContent and its length in *pcbContent.
HRESULT VerifySignature(DWORD* pcbContent, const BYTE* pbSignedMessage, DWORD cbSignedMessage, BOOL bAttached,
                        BYTE** ppbContent, PCCERT_CONTEXT* ppSignerCert);
HRESULT VerifySignatureBase64(LPCWSTR pwszSignature, BOOL bAttached, BYTE** ppbContent, DWORD* pcbContent,
                              PCCERT_CONTEXT* ppSignerCert);

// A detached PKCS#7 signature over a file; ppSignerCert may be null.
HRESULT VerifyFileSignature(PCCERT_CONTEXT* ppSignerCert, const BYTE* pbSignedMessage, DWORD cbSignedMessage,
                            LPCWSTR pwszFilePath);
HRESULT VerifyFileSignatureBase64(LPCWSTR pwszSignature, LPCWSTR pwszFilePath, PCCERT_CONTEXT* ppSignerCert);

// Feeds the whole file, in 16 KiB slices, into a hash object the caller created.
HRESULT CalculateFileHash(LPCWSTR pwszFilePath, HCRYPTHASH hHash);

// 0 when pbSignature (most significant byte first; reversed in place) is the signature of the
// data, or of the file when bFromFile, under the certificate's public key.
HRESULT VerifyHashSignedData(ALG_ID algId, PCCERT_CONTEXT pCert, const BYTE* pbData, DWORD cbData,
                             BYTE* pbSignature, DWORD cbSignature, LPCWSTR pwszFilePath, BOOL bFromFile);
