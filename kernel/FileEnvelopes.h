// Enveloped-data files, streamed: a plaintext file is encrypted into a new envelope file and an
// envelope file decrypted into a new plaintext file, 4 MiB at a time, so that neither file is
// ever held in memory. Recipients and algorithms are those of the in-memory envelopes.
//
// Output files are created new (an existing file is never overwritten). When an operation
// fails after it created its output file, that file is removed: a partly written envelope or
// plaintext must never pass for a result.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "kernel/CertificateLists.h"

// Bytes read from the input file per CryptMsgUpdate.
#define NPK_ENVELOPE_FILE_CHUNK 0x400000

// The envelope of the plaintext file for every certificate of the list, in order; recipients by
// subject key identifier when bKeyIdRecipient, else by issuer and serial number. An algorithm
// text other than the RC4 or Triple DES identifier fails with CRYPT_E_UNKNOWN_ALGO before any
// file is touched.
HRESULT EncryptPlaintextFiletoEnvelopeFile(LPCWSTR pwszPlaintextFile, LPCWSTR pwszEnvelopeFile,
                                           const CertificateList& vecRecipientCerts, LPCSTR pszAlgorithm,
                                           BOOL bKeyIdRecipient);

// The plaintext of an envelope file, with the private key of a certificate found in the stores.
// CRYPT_E_NO_DECRYPT_CERT when no recipient of the envelope has a certificate with a usable
// private key in the stores.
HRESULT DecryptEnvelopeFiletoPlaintextFile(const StoreList& vecStores, LPCWSTR pwszEnvelopeFile,
                                           LPCWSTR pwszPlaintextFile);

// Feeds the whole plaintext file to an open encoding message; the last chunk is the final one.
HRESULT ProcessPlaintextFile(HCRYPTMSG hMsg, LPCWSTR pwszPlaintextFile);

// Feeds the whole envelope file to an open streamed decoding message, chooses the recipient once
// the header has arrived and starts the decryption.
HRESULT ProcessEnvelopeFile(HCRYPTMSG hMsg, LPCWSTR pwszEnvelopeFile, const StoreList& vecStores);

// The first certificate of the stores (in order) that the recipient entry names and whose
// private key can be acquired: *ppCert (freed by the caller), *phProv (released by the caller
// with CryptReleaseContext when *pfCallerFreeProv says so, or always when that is null) and
// *pdwKeySpec. E_FAIL when none.
HRESULT GetCertofRecipient(const CMSG_CMS_RECIPIENT_INFO* pRecipientInfo, const StoreList& vecStores,
                           PCCERT_CONTEXT* ppCert, HCRYPTPROV* phProv, DWORD* pdwKeySpec,
                           BOOL* pfCallerFreeProv = NULL);

// The stream output function: appends the bytes to the file whose handle is pvArg.
BOOL WINAPI CmsgStreamOutputCallback(const void* pvArg, BYTE* pbData, DWORD cbData, BOOL fFinal);
